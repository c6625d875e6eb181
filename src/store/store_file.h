#pragma once
// The store file and its companions (-wal, -shm, -journal) are opened by the engine alone. On POSIX, closing
// any descriptor of a file drops every record lock the process holds on it, the engine's included: a stray
// open and close of the store would let another process believe it is the store's last user, and it would
// then delete the write-ahead log under a live writer. Whatever must be read from the file itself (the salt
// of its key, the head that tells why it cannot be read) is read here, through the engine's own file layer,
// which shares one descriptor per file within the process and defers its closes while locks are held.
//
// The engine's opens are also made to refuse links and anything but plain files (a pipe would hold the open
// forever), whatever path the engine is given.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "convert/plain_file.h"

namespace karvex {

// Up to `size` bytes from the start of the store file at `file`; fewer for a shorter file, none when it is
// not a plain file or cannot be read.
std::string ReadStoreHead(const std::filesystem::path& file, std::size_t size);

// Makes every later open by the engine in this process refuse a symbolic link in place of the file, and
// anything but a plain file, a directory (synced after a file is made) or a character device (its source
// of randomness). Idempotent; StoreConnection calls it before its first open.
void GuardEngineOpens();

// Checks that `path` is either absent or a plain file (not a link) owned by OwnerFor (plain_file.h) of its directory.
// 0, or result::kUnsafeStoreFile with `why` naming the path, what it is and who owns it.
std::int32_t CheckOwnFile(const std::filesystem::path& path, std::string& why);

// Gives a file just created in `dir` mode 0600 and, where OwnerFor says so, the directory's owner. 0, or
// result::kUnsafeStoreFile with `why`.
std::int32_t SettleNewFile(int fd, const std::filesystem::path& dir, std::string& why);

// The data directory: made (0700) when missing; refused with result::kUnsafeDataDirectory when another user
// owns it (root excepted) or group or others may write it, with `why` naming the path, owner and mode.
std::int32_t PrepareDataDirectory(const std::filesystem::path& dir, std::string& why);

// The installation's store key from the key file at `path`: a random key in the engine's raw form ("x'" and 64
// hex digits and "'") made at the first run (the file 0600, its directory made 0700 when missing), read
// afterwards. Empty, with the reason in `why`, when the file is a link, another user's, not a key, or cannot
// be made; a file that is there is never overwritten, since the store could not be read without it.
std::string LoadOrMakeStoreKeyFile(const std::filesystem::path& path, std::string& why);

}  // namespace karvex
