#include "store/store_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "convert/plain_file.h"
#include "store/store_codes.h"

namespace karvex {
namespace {

constexpr off_t kWriterByte = 0;
constexpr off_t kPresenceByte = 1;
// A lock file removed and made anew by others between our open and our lock is tried again; more
// turns than that means something keeps replacing it.
constexpr int kAttempts = 8;

// Locks of the open file description (not of the process): two store objects of one process exclude
// each other like two processes, and closing some other descriptor of the file does not drop them.
bool TryLock(int fd, short type, off_t byte) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = byte;
    fl.l_len = 1;
    return ::fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

// True when `fd` is still the file at `path`: another process may have removed the lock file after we
// opened it, and a lock on a removed file protects nothing.
bool StillAtPath(int fd, const std::filesystem::path& path) {
    struct stat a {
    }, b{};
    if (::fstat(fd, &a) != 0 || ::stat(path.c_str(), &b) != 0) return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string LockRefusal(int err) {
    if (err == ELOOP) return "是符号链接，拒绝使用";
    if (err == EINVAL) return "不是普通文件，拒绝使用";
    if (err == EPERM) return "属于其他用户，拒绝使用";
    return std::strerror(err);
}

std::string ProgramName(long pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

// "进程 1234 karvex-host" from what the holder wrote, or empty when the file says nothing useful.
std::string HolderOf(int fd) {
    char buf[256] = {};
    const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
    if (n <= 0) return {};
    const long pid = std::strtol(buf, nullptr, 10);
    if (pid <= 0) return {};
    std::string name = ProgramName(pid);
    if (name.empty()) {
        const char* space = std::strchr(buf, ' ');
        if (space != nullptr) name.assign(space + 1, std::strcspn(space + 1, "\n"));
    }
    std::string text = "进程 " + std::to_string(pid);
    if (!name.empty()) text += " " + name;
    return text;
}

}  // namespace

std::filesystem::path StoreLock::LockPathOf(const std::filesystem::path& storeFile) {
    return storeFile.string() + ".lock";
}

std::int32_t StoreLock::AcquireWriter(const std::filesystem::path& storeFile, std::string& why) {
    Release();
    const std::filesystem::path path = LockPathOf(storeFile);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        // Never through a link, and never another user's file: the holder's name is written into it.
        const int fd = OpenPlainFile(path.string(), O_RDWR | O_CREAT);
        if (fd < 0) {
            const int err = errno;
            why = "无法建立数据库锁文件 " + path.string() + "：" + LockRefusal(err);
            return err == ELOOP || err == EINVAL || err == EPERM ? result::kUnsafeStoreFile : result::kStoreOpenFailed;
        }
        if (!TryLock(fd, F_WRLCK, kWriterByte)) {
            const int err = errno;
            if (!StillAtPath(fd, path)) {  // its writer was just leaving and removed it
                ::close(fd);
                continue;
            }
            if (err != EAGAIN && err != EACCES) {
                ::close(fd);
                why = "无法锁定数据库 " + storeFile.string() + "：" + std::strerror(err);
                return result::kStoreOpenFailed;
            }
            const std::string holder = HolderOf(fd);
            ::close(fd);
            why = "数据库正被另一程序使用" + (holder.empty() ? std::string() : "（" + holder + "）") + "：" +
                  storeFile.string();
            return result::kStoreInUse;
        }
        if (!StillAtPath(fd, path)) {
            ::close(fd);
            continue;
        }
        // A writer's presence cannot be refused: readers only ever hold the byte shared, and only a
        // writer takes it exclusively.
        TryLock(fd, F_RDLCK, kPresenceByte);
        const std::string text = std::to_string(::getpid()) + " " + ProgramName(::getpid()) + "\n";
        if (::ftruncate(fd, 0) == 0) {
            [[maybe_unused]] ssize_t n = ::pwrite(fd, text.data(), text.size(), 0);
        }
        fd_ = fd;
        writer_ = true;
        path_ = path;
        return result::kSuccess;
    }
    why = "无法锁定数据库 " + storeFile.string() + "：锁文件不断被替换";
    return result::kStoreOpenFailed;
}

void StoreLock::AcquireReader(const std::filesystem::path& storeFile) {
    Release();
    const std::filesystem::path path = LockPathOf(storeFile);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        int fd = OpenPlainFile(path.string(), O_RDWR | O_CREAT);
        if (fd < 0 && errno == EACCES) fd = OpenPlainFile(path.string(), O_RDONLY);
        if (fd < 0) return;
        // Refused only while the writer compacts; the reader then opens whichever file is in place,
        // both are whole stores.
        if (!TryLock(fd, F_RDLCK, kPresenceByte) || !StillAtPath(fd, path)) {
            const bool replaced = !StillAtPath(fd, path);
            ::close(fd);
            if (replaced) continue;
            return;
        }
        fd_ = fd;
        writer_ = false;
        path_ = path;
        return;
    }
}

bool StoreLock::BeginAlone() { return fd_ >= 0 && writer_ && TryLock(fd_, F_WRLCK, kPresenceByte); }

void StoreLock::EndAlone() {
    if (fd_ >= 0) TryLock(fd_, F_RDLCK, kPresenceByte);
}

void StoreLock::Release() {
    if (fd_ < 0) return;
    if (writer_ && TryLock(fd_, F_WRLCK, kPresenceByte)) {
        // No one else has the file open or locked: it can go without a newcomer losing its lock with
        // it (a newcomer that opened it meanwhile sees it gone and makes a new one).
        ::unlink(path_.c_str());
    } else if (writer_) {
        // Readers stay: the file stays, without a writer's name in it.
        [[maybe_unused]] int r = ::ftruncate(fd_, 0);
    }
    ::close(fd_);
    fd_ = -1;
    writer_ = false;
    path_.clear();
}

}  // namespace karvex
