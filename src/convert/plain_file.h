#pragma once
// Files the library opens by a path an installation chooses (the command log, a link trace) must be plain
// files: a pipe or a device put in their place would hold the open, or a later write, until something reads
// it, and a command must never wait on its log.
#include <sys/types.h>

#include <cstddef>
#include <string>

namespace karvex {

// open(2) with `flags` (O_CLOEXEC added); -1 with errno set, EINVAL when `path` is not a plain file. The open
// itself does not wait on a pipe.
int OpenPlainFile(const std::string& path, int flags, mode_t mode = 0);

// Up to `size` bytes from the start of the plain file at `path`; fewer for a shorter file, none when it is
// not a plain file or cannot be read.
std::string ReadPlainFileHead(const std::string& path, std::size_t size);

}  // namespace karvex
