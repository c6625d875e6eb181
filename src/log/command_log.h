#pragma once
// The command log: a GBK text file that grows line by line (CommandFM.Vrm) and the viewer's list of the
// most recent lines. Every exchange with the processor leaves its trace here.
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "convert/conversions.h"

namespace karvex {

// The viewer's list: oldest line first, at most kMaxEntries lines, the last one selected so that it stays
// in view. Widgets observe it through the change callback.
class LogViewerList {
public:
    static constexpr std::size_t kMaxEntries = 10001;
    static constexpr std::size_t kLoadedLines = 10000;

    enum class Change { Appended, RemovedFirst, ReplacedLast, Cleared, Reloaded };
    using Observer = std::function<void(Change)>;

    std::size_t Size() const { return lines_.size(); }
    const std::string& At(std::size_t i) const { return lines_.at(i); }
    const std::deque<std::string>& Lines() const { return lines_; }
    int Selected() const { return selected_; }

    void SetObserver(Observer observer) { observer_ = std::move(observer); }

    void Append(std::string line);
    // Replaces the last line, or appends when the list is empty.
    void ReplaceLast(std::string line);
    void Clear();
    void Load(std::deque<std::string> lines);
    // Drops the oldest line when the list is over its cap and selects the last one; returns its index
    // (-1 for an empty list).
    int Trim();

private:
    void Notify(Change c) {
        if (observer_) observer_(c);
    }
    std::deque<std::string> lines_;
    int selected_ = -1;
    Observer observer_;
};

class CommandLog {
public:
    // `stamp` builds the time stamp of each line; the default is NowStamp.
    explicit CommandLog(std::string path, std::function<std::string()> stamp = {});
    ~CommandLog();
    CommandLog(const CommandLog&) = delete;
    CommandLog& operator=(const CommandLog&) = delete;

    // Opens (creating it when missing) the file for appending; 0 or the system's errno.
    int Open();
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    const std::string& Path() const { return path_; }

    void WriteLogLine(const std::string& text);
    void ShowViewerLine(const std::string& text);
    void ReplaceLastLogLine(const std::string& text);
    int TrimLogViewer();
    void LogSentCommand(const std::string& text);
    // Empties the list and starts a new, empty file of the same name.
    void ClearList();

    // While held, the lines for the file are gathered and written together by FlushFile(), when 64 KB
    // wait or when the hold ends: the thousands of packet lines of a long answer then cost a few writes
    // instead of one each. The viewer and the line observer still get every line at once.
    void HoldFileWrites(bool hold);
    void FlushFile();

    // The viewer's list, created (and filled from the tail of the file) on first use.
    LogViewerList& Viewer();
    bool HasViewer() const { return viewer_ != nullptr; }
    // Drops the viewer; the next write creates it anew from the file.
    void CloseViewer() { viewer_.reset(); }

    // Told every stamped line as it goes to the file (a local service streams them to its clients).
    void SetLineObserver(std::function<void(const std::string&)> observer) { lineObserver_ = std::move(observer); }

    // The stamped form of a text, as it goes to the file (UTF-8, without the line end).
    std::string StampedLine(const std::string& text) const;

    // The last `maxLines` lines of a GBK log file, converted to UTF-8.
    static std::deque<std::string> ReadTail(const std::string& path, std::size_t maxLines);

private:
    void AppendToFile(const std::string& line);
    // Writes whole lines in one write; a write the disk cuts short is cut off again, so the file never
    // holds half a line.
    void WriteOut(const Bytes& lines);

    std::string path_;
    std::function<std::string()> stamp_;
    int fd_ = -1;
    bool holding_ = false;
    Bytes held_;
    std::unique_ptr<LogViewerList> viewer_;
    std::function<void(const std::string&)> lineObserver_;
};

}  // namespace karvex

namespace karvex {
// A packet number for the progress lines: the decimal digits, then blanks up to four characters (at least
// one): 7 -> "7   ", 123 -> "123 ".
std::string PadPacketNumber(int n);
}  // namespace karvex
