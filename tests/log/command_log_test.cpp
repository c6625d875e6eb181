#include "log/command_log.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;
using karvex::CommandLog;
using karvex::LogViewerList;

namespace {

class CommandLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/karvex-log-XXXXXX";
        dir_ = mkdtemp(tmpl);
        path_ = dir_ + "/CommandFM.Vrm";
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string ReadFile() const {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    static std::string FixedStamp() {
        return "20050315 09\xEF\xBC\x9A"
               "05\xEF\xBC\x9A"
               "07";
    }

    std::string dir_;
    std::string path_;
};

// Only a plain file is written or read as the log: a pipe in its place (open for writing, it would wait for
// a reader; for reading, for a writer) is left alone, and a command's line never waits on it.
TEST_F(CommandLogTest, APipeInTheLogsPlaceIsNeitherWrittenNorReadNorWaitedOn) {
    ASSERT_EQ(::mkfifo(path_.c_str(), 0600), 0);
    CommandLog log(path_, FixedStamp);
    EXPECT_NE(log.Open(), 0);
    log.WriteLogLine("联机成功");
    EXPECT_TRUE(CommandLog::ReadTail(path_, 10).empty());
    const int reader = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_NE(log.Open(), 0) << "a pipe with a reader is refused too";
    ::close(reader);
}

// A disk that fills up in the middle of a line: the line is taken back whole, never left half written
// for the next line to be glued to. The child process runs under a file size limit (and ignores the
// signal the limit sends), so the parent's files are untouched.
TEST_F(CommandLogTest, ALineThatDoesNotFitIsNotLeftHalfWritten) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        CommandLog log(path_, FixedStamp);
        if (log.Open() != 0) ::_exit(2);
        log.WriteLogLine("联机成功");
        const off_t size = ::lseek(::open(path_.c_str(), O_RDONLY), 0, SEEK_END);
        struct rlimit limit {
            static_cast<rlim_t>(size + 10), static_cast<rlim_t>(size + 10)
        };
        ::setrlimit(RLIMIT_FSIZE, &limit);
        log.WriteLogLine(std::string(100, 'x'));  // 10 bytes fit
        log.WriteLogLine(std::string(100, 'y'));  // nothing fits
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::string text = ReadFile();
    EXPECT_EQ(text.find('x'), std::string::npos) << text;
    EXPECT_EQ(text.size() >= 2 ? text.substr(text.size() - 2) : text, "\r\n");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
}

TEST_F(CommandLogTest, SentAndResultLinesAreStampedGbkWithCrLf) {
    CommandLog log(path_, FixedStamp);
    ASSERT_EQ(log.Open(), 0);
    log.LogSentCommand("发送联机命令");
    log.ReplaceLastLogLine("联机成功");

    // "20050315 09：05：07" in GBK: the full-width colon is A3 BA.
    const std::string stamp =
        "20050315 09\xA3\xBA"
        "05\xA3\xBA"
        "07";
    // 发送联机命令 = B7 A2 CB CD C1 AA BB FA C3 FC C1 EE; 联机成功 = C1 AA BB FA B3 C9 B9 A6
    const std::string expected = stamp + "   " + "\xB7\xA2\xCB\xCD\xC1\xAA\xBB\xFA\xC3\xFC\xC1\xEE" + "\r\n" + stamp +
                                 "   " + "\xC1\xAA\xBB\xFA\xB3\xC9\xB9\xA6" + "\r\n";
    EXPECT_EQ(ReadFile(), expected);

    // The waiting line was replaced in the list, never written to the file.
    auto& v = log.Viewer();
    ASSERT_EQ(v.Size(), 2u);
    EXPECT_EQ(v.At(0), FixedStamp() + "   发送联机命令");
    EXPECT_EQ(v.At(1), FixedStamp() + "   联机成功");
    EXPECT_EQ(v.Selected(), 1);
}

TEST_F(CommandLogTest, ViewerOnlyLinesNeverReachTheFile) {
    CommandLog log(path_, FixedStamp);
    log.Open();
    log.ShowViewerLine("处理第一个数据包...");
    EXPECT_EQ(ReadFile(), "");
    EXPECT_EQ(log.Viewer().Size(), 1u);
}

TEST_F(CommandLogTest, LinesReachTheFileBeforeTheWriterReturns) {
    CommandLog log(path_, FixedStamp);
    log.Open();
    log.WriteLogLine("A");
    // 19 stamp bytes (each full-width colon is two GBK bytes), three blanks, "A", CR LF.
    EXPECT_EQ(ReadFile().size(), 25u);
}

// Held lines (a long answer's packet lines) reach the file together, in order, none lost: at a flush, when
// the hold ends, and before a viewer opened meanwhile reads the file's tail. The viewer has them at once.
TEST_F(CommandLogTest, HeldLinesReachTheFileInOrderWhenFlushedOrReleased) {
    CommandLog log(path_, FixedStamp);
    log.Open();
    const std::size_t line = 25;  // stamp, blanks, one letter, CR LF
    log.HoldFileWrites(true);
    log.WriteLogLine("A");
    log.ReplaceLastLogLine("B");
    EXPECT_EQ(ReadFile(), "");
    EXPECT_EQ(log.Viewer().At(log.Viewer().Size() - 1), FixedStamp() + "   B");
    log.FlushFile();
    EXPECT_EQ(ReadFile().size(), 2 * line);
    log.WriteLogLine("C");
    log.CloseViewer();
    ASSERT_EQ(log.Viewer().Size(), 3u) << "the reopened viewer reads the held line";
    log.WriteLogLine("D");
    log.HoldFileWrites(false);
    const std::string text = ReadFile();
    ASSERT_EQ(text.size(), 4 * line);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(text[i * line + line - 3], "ABCD"[i]);
    log.WriteLogLine("E");
    EXPECT_EQ(ReadFile().size(), 5 * line) << "not held any more";
}

TEST_F(CommandLogTest, ViewerIsCappedAtTenThousandAndOneLines) {
    CommandLog log(path_, FixedStamp);
    log.Open();
    for (int i = 0; i < 10001; ++i) log.ShowViewerLine(std::to_string(i));
    EXPECT_EQ(log.Viewer().Size(), 10001u);
    EXPECT_EQ(log.Viewer().At(0), "0");
    log.WriteLogLine("next");
    EXPECT_EQ(log.Viewer().Size(), 10001u);
    EXPECT_EQ(log.Viewer().At(0), "1");
    EXPECT_EQ(log.Viewer().Selected(), 10000);
}

TEST_F(CommandLogTest, ViewerLoadsTheLastTenThousandLinesOfALongFile) {
    {
        std::ofstream out(path_, std::ios::binary);
        for (int i = 1; i <= 10500; ++i) out << "line " << i << "\r\n";
    }
    CommandLog log(path_, FixedStamp);
    log.Open();
    auto& v = log.Viewer();
    ASSERT_EQ(v.Size(), 10000u);
    EXPECT_EQ(v.At(0), "line 501");
    EXPECT_EQ(v.At(9999), "line 10500");
    // The first write lands after the old lines.
    log.WriteLogLine("new");
    EXPECT_EQ(v.At(10000), FixedStamp() + "   new");
}

TEST_F(CommandLogTest, ShortFileIsShownWholeWithChineseConvertedBack) {
    {
        std::ofstream out(path_, std::ios::binary);
        out << "a\r\n\xC1\xAA\xBB\xFA\r\nlast without end";
    }
    auto lines = CommandLog::ReadTail(path_, 10000);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "联机");
    EXPECT_EQ(lines[2], "last without end");
    EXPECT_TRUE(CommandLog::ReadTail(dir_ + "/missing", 10).empty());
}

TEST_F(CommandLogTest, ClearListStartsANewFile) {
    CommandLog log(path_, FixedStamp);
    log.Open();
    log.WriteLogLine("old");
    log.ClearList();
    EXPECT_EQ(log.Viewer().Size(), 0u);
    EXPECT_EQ(ReadFile(), "");
    log.WriteLogLine("B");
    EXPECT_EQ(log.Viewer().Size(), 1u);
    EXPECT_EQ(ReadFile().substr(ReadFile().size() - 3), "B\r\n");
}

TEST_F(CommandLogTest, ReplaceOnEmptyListAppends) {
    CommandLog log(path_, FixedStamp);
    log.Open();
    log.ReplaceLastLogLine("通讯超时            Fail");
    ASSERT_EQ(log.Viewer().Size(), 1u);
    EXPECT_EQ(log.Viewer().At(0), FixedStamp() + "   通讯超时            Fail");
}

TEST_F(CommandLogTest, ReopenedViewerRereadsTheFile) {
    CommandLog log(path_, FixedStamp);
    log.Open();
    log.WriteLogLine("one");
    log.ShowViewerLine("transient");
    log.CloseViewer();
    log.WriteLogLine("two");
    ASSERT_EQ(log.Viewer().Size(), 2u);
    EXPECT_EQ(log.Viewer().At(0), FixedStamp() + "   one");
}

}  // namespace
