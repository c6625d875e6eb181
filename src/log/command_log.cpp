#include "log/command_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "convert/conversions.h"
#include "convert/plain_file.h"

namespace karvex {

namespace {
constexpr const char* kWaitingLine = "等待税控器应答......";
constexpr const char* kStampGap = "   ";
constexpr std::size_t kHeldLimit = 64 * 1024;
}  // namespace

void LogViewerList::Append(std::string line) {
    lines_.push_back(std::move(line));
    Notify(Change::Appended);
}

void LogViewerList::ReplaceLast(std::string line) {
    if (lines_.empty()) {
        Append(std::move(line));
        return;
    }
    lines_.back() = std::move(line);
    Notify(Change::ReplacedLast);
}

void LogViewerList::Clear() {
    lines_.clear();
    selected_ = -1;
    Notify(Change::Cleared);
}

void LogViewerList::Load(std::deque<std::string> lines) {
    lines_ = std::move(lines);
    Notify(Change::Reloaded);
}

int LogViewerList::Trim() {
    int last = static_cast<int>(lines_.size()) - 1;
    if (last > static_cast<int>(kMaxEntries) - 1) {
        lines_.pop_front();
        --last;
        Notify(Change::RemovedFirst);
    }
    selected_ = last;
    return last;
}

CommandLog::CommandLog(std::string path, std::function<std::string()> stamp)
    : path_(std::move(path)), stamp_(std::move(stamp)) {
    if (!stamp_) stamp_ = [] { return NowStamp(); };
}

CommandLog::~CommandLog() { Close(); }

int CommandLog::Open() {
    if (fd_ >= 0) return 0;
    fd_ = OpenPlainFile(path_, O_WRONLY | O_CREAT | O_APPEND);
    return fd_ >= 0 ? 0 : errno;
}

void CommandLog::Close() {
    FlushFile();
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

std::string CommandLog::StampedLine(const std::string& text) const { return stamp_() + kStampGap + text; }

void CommandLog::AppendToFile(const std::string& line) {
    if (lineObserver_) lineObserver_(line);
    Bytes gbk;
    Utf8ToGbk(line, gbk);
    gbk.push_back('\r');
    gbk.push_back('\n');
    if (holding_) {
        held_.insert(held_.end(), gbk.begin(), gbk.end());
        if (held_.size() >= kHeldLimit) FlushFile();
        return;
    }
    WriteOut(gbk);
}

void CommandLog::HoldFileWrites(bool hold) {
    if (!hold) FlushFile();
    holding_ = hold;
}

void CommandLog::FlushFile() {
    if (held_.empty()) return;
    Bytes lines;
    lines.swap(held_);
    WriteOut(lines);
}

void CommandLog::WriteOut(const Bytes& gbk) {
    if (fd_ < 0 && Open() != 0) return;  // a log that cannot be written must never stop a command
    // One write per line (or per gathered lines) on an O_APPEND descriptor: the lines are in the file
    // when this returns, and a second writer on the same file cannot split them.
    const std::uint8_t* p = gbk.data();
    std::size_t left = gbk.size();
    while (left > 0) {
        ssize_t n = ::write(fd_, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (left == 0 || left == gbk.size()) return;
    // A full disk took only the head of the line: it is cut off again, so the file never holds half a
    // line (the next line would be glued to it). After an O_APPEND write the offset is the file's end.
    const off_t end = ::lseek(fd_, 0, SEEK_CUR);
    const off_t written = static_cast<off_t>(gbk.size() - left);
    if (end >= written && ::ftruncate(fd_, end - written) != 0) {
        // Nothing more can be done for a file that cannot even be shortened.
    }
}

LogViewerList& CommandLog::Viewer() {
    if (!viewer_) {
        FlushFile();  // the tail read back must hold every line written so far
        viewer_ = std::make_unique<LogViewerList>();
        viewer_->Load(ReadTail(path_, LogViewerList::kLoadedLines));
    }
    return *viewer_;
}

void CommandLog::WriteLogLine(const std::string& text) {
    std::string line = StampedLine(text);
    Viewer().Append(line);
    AppendToFile(line);
    TrimLogViewer();
}

void CommandLog::ShowViewerLine(const std::string& text) {
    Viewer().Append(text);
    TrimLogViewer();
}

void CommandLog::ReplaceLastLogLine(const std::string& text) {
    TrimLogViewer();
    std::string line = StampedLine(text);
    Viewer().ReplaceLast(line);
    AppendToFile(line);
}

int CommandLog::TrimLogViewer() { return Viewer().Trim(); }

void CommandLog::LogSentCommand(const std::string& text) {
    WriteLogLine(text);
    ShowViewerLine(kWaitingLine);
    TrimLogViewer();
}

void CommandLog::ClearList() {
    held_.clear();  // lines of the log being cleared
    Viewer().Clear();
    Close();
    if (::unlink(path_.c_str()) != 0) {
        // Could not delete (e.g. no permission on the folder): start the file over instead.
        int fd = OpenPlainFile(path_, O_WRONLY | O_TRUNC);
        if (fd >= 0) ::close(fd);
    }
    Open();
}

std::deque<std::string> CommandLog::ReadTail(const std::string& path, std::size_t maxLines) {
    std::deque<std::string> out;
    if (maxLines == 0) return out;
    int fd = OpenPlainFile(path, O_RDONLY);
    if (fd < 0) return out;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return out;
    }
    // Read backwards in blocks until enough line ends are seen, so a long-lived log opens quickly.
    off_t end = st.st_size;
    off_t pos = end;
    std::vector<char> tail;
    std::size_t newlines = 0;
    constexpr off_t kBlock = 64 * 1024;
    while (pos > 0 && newlines <= maxLines) {
        off_t start = pos > kBlock ? pos - kBlock : 0;
        std::vector<char> block(static_cast<std::size_t>(pos - start));
        ssize_t n = ::pread(fd, block.data(), block.size(), start);
        if (n != static_cast<ssize_t>(block.size())) break;
        for (char c : block)
            if (c == '\n') ++newlines;
        tail.insert(tail.begin(), block.begin(), block.end());
        pos = start;
    }
    ::close(fd);

    std::vector<std::string> lines;
    std::string current;
    for (char c : tail) {
        if (c == '\n') {
            if (!current.empty() && current.back() == '\r') current.pop_back();
            lines.push_back(std::move(current));
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty()) lines.push_back(std::move(current));
    // When reading stopped part-way through the file, the first collected line may be a fragment.
    std::size_t first = 0;
    if (pos > 0 && !lines.empty()) first = 1;
    if (lines.size() - first > maxLines) first = lines.size() - maxLines;
    for (std::size_t i = first; i < lines.size(); ++i) {
        std::string utf8;
        GbkToUtf8(std::string_view(lines[i]), utf8);
        out.push_back(std::move(utf8));
    }
    return out;
}

}  // namespace karvex

namespace karvex {
std::string PadPacketNumber(int n) {
    std::string s = std::to_string(n);
    if (n < 10) return s + "   ";
    if (n < 100) return s + "  ";
    return s + " ";
}
}  // namespace karvex
