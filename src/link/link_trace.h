#pragma once
// A record of the link's traffic, for bringing a problem seen at a shop home: every request frame written
// and every fragment read from the port, each with its time since the trace began. `karvex-sim --replay`
// plays the processor from such a file.
//
// A trace holds tax data (invoices, amounts, the taxpayer's name and numbers) in the clear: it is kept only
// while the settings name a trace file (KARVEX_TRACE, or the tool's --trace FILE).
//
// Format: text lines, appended. Each session of the link starts with "karvex-trace 1"; then
//   <milliseconds since the session began> ">" <bytes in hexadecimal>   a request written to the processor
//   <milliseconds since the session began> "<" <bytes in hexadecimal>   bytes read from the processor
// Lines starting with "#" are notes: the port opened, a time-out, bytes the link dropped unseen
// ("<milliseconds> # <bytes>" after a "#" of its own).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "convert/bytes.h"

namespace karvex {

class LinkTrace {
public:
    // Appends to `path`, starting a new session there; nullptr when the file cannot be opened (a trace must
    // never keep the control from working; the reason goes to `error` when given).
    static std::unique_ptr<LinkTrace> Open(const std::string& path, std::string* error = nullptr);

    ~LinkTrace();
    LinkTrace(const LinkTrace&) = delete;
    LinkTrace& operator=(const LinkTrace&) = delete;

    // Every line is flushed at once, so that a trace of a session that crashed is complete up to the crash.
    void Sent(const std::uint8_t* data, std::size_t size) { Write('>', data, size); }
    void Sent(const Bytes& frame) { Sent(frame.data(), frame.size()); }
    void Received(const std::uint8_t* data, std::size_t size) { Write('<', data, size); }
    // Bytes read but dropped unseen (left over from an earlier request, or arriving while no answer is
    // awaited): a "#" note with the bytes, which a replay does not send.
    void Dropped(const std::uint8_t* data, std::size_t size) { Write('#', data, size); }
    // A free-text note ("# " + text): port opened, closed, time-out.
    void Note(const std::string& text);

private:
    explicit LinkTrace(std::FILE* file);
    void Write(char direction, const std::uint8_t* data, std::size_t size);

    std::FILE* file_;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace karvex
