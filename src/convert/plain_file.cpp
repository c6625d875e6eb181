#include "convert/plain_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace karvex {

namespace {

std::string DirectoryOf(const std::string& path) {
    const std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace

FileOwner OwnerFor(const std::string& dir) {
    FileOwner owner{::geteuid(), ::getegid(), false};
    struct stat st {};
    if (owner.uid == 0 && ::stat(dir.empty() ? "." : dir.c_str(), &st) == 0 && st.st_uid != 0) {
        owner = {st.st_uid, st.st_gid, true};
    }
    return owner;
}

int OpenPlainFile(const std::string& path, int flags, mode_t) {
    // Without O_NONBLOCK opening a pipe waits for its other end; with it, a plain file behaves the same, and
    // the flag is taken off again once the file is known to be plain.
    const int base = (flags & ~(O_CREAT | O_EXCL)) | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW;
    // Truncation waits until the file is known to be ours.
    int fd = ::open(path.c_str(), base & ~O_TRUNC);
    bool created = false;
    if (fd < 0 && errno == ENOENT && (flags & O_CREAT) != 0) {
        fd = ::open(path.c_str(), base | O_CREAT | O_EXCL, 0600);
        created = fd >= 0;
    }
    if (fd < 0) return -1;
    const FileOwner owner = OwnerFor(DirectoryOf(path));
    struct stat st {};
    int refusal = 0;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        refusal = EINVAL;
    } else if (created) {
        // Whatever the umask: what the library writes is tax data or what protects it.
        if (::fchmod(fd, 0600) != 0 || (owner.change && ::fchown(fd, owner.uid, owner.gid) != 0)) refusal = errno;
    } else if (st.st_uid != owner.uid) {
        refusal = EPERM;
    }
    if (refusal == 0 && (flags & O_TRUNC) != 0 && ::ftruncate(fd, 0) != 0) refusal = errno;
    if (refusal != 0) {
        ::close(fd);
        if (created) ::unlink(path.c_str());
        errno = refusal;
        return -1;
    }
    const int status = ::fcntl(fd, F_GETFL);
    if (status >= 0 && (flags & O_NONBLOCK) == 0) ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
    return fd;
}

}  // namespace karvex
