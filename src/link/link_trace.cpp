#include "link/link_trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "convert/conversions.h"
#include "convert/plain_file.h"

namespace karvex {

std::unique_ptr<LinkTrace> LinkTrace::Open(const std::string& path, std::string* error) {
    const int fd = OpenPlainFile(path, O_WRONLY | O_CREAT | O_APPEND);
    std::FILE* file = fd >= 0 ? ::fdopen(fd, "a") : nullptr;
    if (file == nullptr) {
        const int reason = errno;
        if (fd >= 0) ::close(fd);
        if (error) *error = path + ": " + (fd < 0 && reason == EINVAL ? "not a plain file" : std::strerror(reason));
        return nullptr;
    }
    std::unique_ptr<LinkTrace> trace(new LinkTrace(file));
    std::fputs("karvex-trace 1\n# traffic with the tax-control processor: holds tax data\n", file);
    std::fflush(file);
    return trace;
}

LinkTrace::LinkTrace(std::FILE* file) : file_(file), start_(std::chrono::steady_clock::now()) {}

LinkTrace::~LinkTrace() { std::fclose(file_); }

void LinkTrace::Note(const std::string& text) {
    std::fprintf(file_, "# %s\n", text.c_str());
    std::fflush(file_);
}

void LinkTrace::Write(char direction, const std::uint8_t* data, std::size_t size) {
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
    std::string line;
    line.reserve(24 + size * 3);
    char head[32];
    std::snprintf(head, sizeof head, "%.3f %c", ms, direction);
    line += head;
    if (size > 0) {
        std::string bytes;
        BytesToSpacedHex(ByteView(data, size), bytes);
        line += ' ' + bytes;
    }
    line += '\n';
    std::fputs(line.c_str(), file_);
    std::fflush(file_);
}

}  // namespace karvex
