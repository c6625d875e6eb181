#include "store/store_file.h"

#include <fcntl.h>
#include <pwd.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <sqlcipher/sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>
#include <vector>

#include "store/store_codes.h"
#include "store/store_key.h"

namespace karvex {
namespace {

// The engine's own open, kept to be called from the guard.
sqlite3_syscall_ptr g_engineOpen = nullptr;

int GuardedOpen(const char* path, int flags, int mode) {
    auto open = reinterpret_cast<int (*)(const char*, int, int)>(g_engineOpen);
    const int fd = open(path, flags | O_NOFOLLOW | O_NONBLOCK, mode);
    if (fd < 0) {
        // The directory the engine syncs after making a file may well be reached through a link (an
        // installation's choice); a file never is. O_DIRECTORY lets only a directory through.
        if (errno == ELOOP && (flags & O_ACCMODE) == O_RDONLY && (flags & O_CREAT) == 0)
            return open(path, flags | O_DIRECTORY, mode);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode) || S_ISCHR(st.st_mode))) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    if ((flags & O_NONBLOCK) == 0) {
        const int status = ::fcntl(fd, F_GETFL);
        if (status >= 0) ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
    }
    return fd;
}

// The engine resolves a link in place of a database to its target before opening it; refusing to read the
// link refuses the file.
ssize_t RefusedReadlink(const char*, char*, size_t) {
    errno = ELOOP;
    return -1;
}

std::string UserName(uid_t uid) {
    struct passwd pw {};
    struct passwd* found = nullptr;
    std::vector<char> buf(4096);
    if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr)
        return std::string(found->pw_name) + "（" + std::to_string(uid) + "）";
    return std::to_string(uid);
}

std::string ModeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

}  // namespace

void GuardEngineOpens() {
    static std::once_flag once;
    std::call_once(once, [] {
        sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
        if (vfs == nullptr || vfs->iVersion < 3 || vfs->xGetSystemCall == nullptr) return;
        g_engineOpen = vfs->xGetSystemCall(vfs, "open");
        if (g_engineOpen != nullptr)
            vfs->xSetSystemCall(vfs, "open", reinterpret_cast<sqlite3_syscall_ptr>(&GuardedOpen));
        if (vfs->xGetSystemCall(vfs, "readlink") != nullptr)
            vfs->xSetSystemCall(vfs, "readlink", reinterpret_cast<sqlite3_syscall_ptr>(&RefusedReadlink));
    });
}

std::string ReadStoreHead(const std::filesystem::path& file, std::size_t size) {
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    GuardEngineOpens();
    sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
    if (vfs == nullptr) return {};
    // The engine reads its own parameters after a file name's terminating zero, up to an empty one.
    std::string name = file.string();
    name.append(3, '\0');
    std::vector<unsigned char> handle(static_cast<std::size_t>(vfs->szOsFile));
    auto* f = reinterpret_cast<sqlite3_file*>(handle.data());
    int outFlags = 0;
    if (vfs->xOpen(vfs, name.c_str(), f, SQLITE_OPEN_READONLY | SQLITE_OPEN_MAIN_DB, &outFlags) != SQLITE_OK) {
        if (f->pMethods != nullptr) f->pMethods->xClose(f);
        return {};
    }
    sqlite3_int64 length = 0;
    std::string head;
    if (f->pMethods->xFileSize(f, &length) == SQLITE_OK && length > 0) {
        head.assign(std::min<std::size_t>(size, static_cast<std::size_t>(length)), '\0');
        if (f->pMethods->xRead(f, head.data(), static_cast<int>(head.size()), 0) != SQLITE_OK) head.clear();
    }
    f->pMethods->xClose(f);
    return head;
}

std::int32_t CheckOwnFile(const std::filesystem::path& path, std::string& why) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return result::kSuccess;
        why = "无法检查文件 " + path.string() + "：" + std::strerror(errno);
        return result::kUnsafeStoreFile;
    }
    if (S_ISLNK(st.st_mode)) {
        why = "文件 " + path.string() + " 是符号链接，拒绝使用";
        return result::kUnsafeStoreFile;
    }
    if (!S_ISREG(st.st_mode)) {
        why = "文件 " + path.string() + " 不是普通文件，拒绝使用";
        return result::kUnsafeStoreFile;
    }
    const FileOwner owner = OwnerFor(path.parent_path().string());
    if (st.st_uid != owner.uid) {
        why = "文件 " + path.string() + " 属于用户 " + UserName(st.st_uid) + "，不属于 " + UserName(owner.uid) +
              "，拒绝使用";
        return result::kUnsafeStoreFile;
    }
    return result::kSuccess;
}

std::int32_t SettleNewFile(int fd, const std::filesystem::path& dir, std::string& why) {
    const FileOwner owner = OwnerFor(dir.string());
    if (::fchmod(fd, 0600) != 0 || (owner.change && ::fchown(fd, owner.uid, owner.gid) != 0)) {
        why = "无法设置文件的权限或属主（" + std::string(std::strerror(errno)) + "）";
        return result::kUnsafeStoreFile;
    }
    return result::kSuccess;
}

std::int32_t PrepareDataDirectory(const std::filesystem::path& dir, std::string& why) {
    const std::string path = dir.empty() ? std::string(".") : dir.string();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            why = "数据目录 " + path + " 不能使用：" + std::strerror(errno);
            return result::kStoreOpenFailed;
        }
        // Parents are made as the umask says (they are not ours to close); the data directory itself is
        // the owner's alone from the start, with no moment at which others could reach it.
        std::error_code ec;
        if (dir.has_parent_path()) std::filesystem::create_directories(dir.parent_path(), ec);
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
            why = "无法建立数据目录 " + path + "：" + std::strerror(errno);
            return result::kStoreOpenFailed;
        }
        if (::stat(path.c_str(), &st) != 0) {
            why = "数据目录 " + path + " 不能使用：" + std::strerror(errno);
            return result::kStoreOpenFailed;
        }
        ::chmod(path.c_str(), 0700);
        const FileOwner owner = OwnerFor(dir.parent_path().string());
        if (owner.change && st.st_uid != owner.uid) {
            [[maybe_unused]] int r = ::chown(path.c_str(), owner.uid, owner.gid);
        }
        ::stat(path.c_str(), &st);
    }
    if (!S_ISDIR(st.st_mode)) {
        why = "数据目录 " + path + " 不能使用：不是目录";
        return result::kStoreOpenFailed;
    }
    const uid_t me = ::geteuid();
    if (me != 0 && st.st_uid != me) {
        why = "数据目录 " + path + " 属于用户 " + UserName(st.st_uid) + "（权限 " + ModeText(st.st_mode) +
              "），不属于当前用户 " + UserName(me) + "，拒绝使用";
        return result::kUnsafeDataDirectory;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        why = "数据目录 " + path + "（属于用户 " + UserName(st.st_uid) + "，权限 " + ModeText(st.st_mode) +
              "）可被其他用户写入，拒绝使用；请改为 0700";
        return result::kUnsafeDataDirectory;
    }
    return result::kSuccess;
}

namespace {

constexpr std::size_t kKeyTextSize = 67;  // x'<64 hex digits>'

std::string ReadKeyFile(const std::filesystem::path& path, std::string& why) {
    const int fd = OpenPlainFile(path.string(), O_RDONLY);
    if (fd < 0) {
        why = "存储密钥文件 " + path.string() + " 无法读取（" + std::strerror(errno) + "）";
        return {};
    }
    std::string text(kKeyTextSize + 2, '\0');
    const ssize_t n = ::read(fd, text.data(), text.size());
    ::close(fd);
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    const bool hex = text.size() == kKeyTextSize && text.compare(0, 2, "x'") == 0 && text.back() == '\'' &&
                     std::all_of(text.begin() + 2, text.end() - 1, [](unsigned char c) { return std::isxdigit(c); });
    if (!hex) {
        WipeText(text);
        why = "存储密钥文件 " + path.string() + " 不是本系统的密钥文件，未作修改";
        return {};
    }
    return text;
}

}  // namespace

std::string LoadOrMakeStoreKeyFile(const std::filesystem::path& path, std::string& why) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 || errno != ENOENT) return ReadKeyFile(path, why);
    const std::filesystem::path dir = path.parent_path();
    if (!dir.empty() && ::stat(dir.c_str(), &st) != 0) {
        std::error_code ec;
        if (dir.has_parent_path()) std::filesystem::create_directories(dir.parent_path(), ec);
        ::mkdir(dir.c_str(), 0700);
    }
    unsigned char raw[32];
    if (RAND_bytes(raw, sizeof raw) != 1) {
        why = "无法生成存储密钥";
        return {};
    }
    std::string hex;
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (unsigned char b : raw) {
        hex.push_back(kDigits[b >> 4]);
        hex.push_back(kDigits[b & 0xF]);
    }
    OPENSSL_cleanse(raw, sizeof raw);
    std::string key = "x'" + hex + "'";
    WipeText(hex);
    // Written whole under another name and linked into place, so that a second process starting at the same
    // moment reads either no file or the whole key, and the first key made stays the key.
    const std::string temp = path.string() + ".new." + std::to_string(::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    std::string settleWhy;
    const std::string line = key + "\n";
    const bool written = fd >= 0 && SettleNewFile(fd, dir, settleWhy) == result::kSuccess &&
                         ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) && ::fsync(fd) == 0;
    const int err = errno;
    if (fd >= 0) ::close(fd);
    const bool linked = written && ::link(temp.c_str(), path.c_str()) == 0;
    const int linkErr = errno;
    ::unlink(temp.c_str());
    if (!linked) {
        WipeText(key);
        if (written && linkErr == EEXIST) return ReadKeyFile(path, why);
        why = "无法建立存储密钥文件 " + path.string() + "（" + std::strerror(written ? linkErr : err) + "）";
        return {};
    }
    return key;
}

// Kept beside the reader it needs: the store's texts are also built where the engine is not.
std::string UnreadableStoreText(const std::filesystem::path& file, int rc, std::string_view engine_text) {
    // Page sizes are powers of two from 512 bytes up, and an encrypted file is whole pages.
    constexpr std::uintmax_t kSmallestPage = 512;
    constexpr std::string_view kPlainHeader{"SQLite format 3\0", 16};

    std::string reason = "密钥错误或文件已损坏";
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(file, ec);
    const std::string head = ReadStoreHead(file, kSmallestPage);

    if (!ec && !head.empty()) {
        if (head.compare(0, kPlainHeader.size(), kPlainHeader) == 0) {
            reason = "存储文件未加密，不是本系统的存储文件";
        } else if (size < kSmallestPage || size % kSmallestPage != 0 ||
                   head.find_first_not_of(head[0]) == std::string::npos) {
            reason = "存储文件已损坏";
        }
    }
    return "存储文件 " + file.string() + " 无法读取：" + reason + "；" + EngineErrorText(rc, engine_text);
}

}  // namespace karvex
