#include "convert/plain_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace karvex {

int OpenPlainFile(const std::string& path, int flags, mode_t mode) {
    // Without O_NONBLOCK opening a pipe waits for its other end; with it, a plain file behaves the same, and
    // the flag is taken off again once the file is known to be plain.
    const int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    const int status = ::fcntl(fd, F_GETFL);
    if (status >= 0) ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
    return fd;
}

std::string ReadPlainFileHead(const std::string& path, std::size_t size) {
    std::string head(size, '\0');
    const int fd = OpenPlainFile(path, O_RDONLY);
    if (fd < 0) return {};
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t n = ::read(fd, head.data() + filled, size - filled);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        filled += static_cast<std::size_t>(n);
    }
    ::close(fd);
    head.resize(filled);
    return head;
}

}  // namespace karvex
