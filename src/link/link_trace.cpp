#include "link/link_trace.h"

#include <cerrno>
#include <cstring>

namespace karvex {

std::unique_ptr<LinkTrace> LinkTrace::Open(const std::string& path, std::string* error) {
    std::FILE* file = std::fopen(path.c_str(), "a");
    if (file == nullptr) {
        if (error) *error = path + ": " + std::strerror(errno);
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
    static const char digits[] = "0123456789ABCDEF";
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
    std::string line;
    line.reserve(24 + size * 3);
    char head[32];
    std::snprintf(head, sizeof head, "%.3f %c", ms, direction);
    line += head;
    for (std::size_t i = 0; i < size; ++i) {
        line += ' ';
        line += digits[data[i] >> 4];
        line += digits[data[i] & 15];
    }
    line += '\n';
    std::fputs(line.c_str(), file_);
    std::fflush(file_);
}

}  // namespace karvex
