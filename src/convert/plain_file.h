#pragma once
// Files the library opens by a path an installation chooses (the command log, a link trace, an export, the
// service's token) must be plain files of the user the library runs as: a pipe or a device put in their
// place would hold the open, or a later write, until something reads it, and a command must never wait on its
// log; a link would make the library truncate or read a file of its user's that someone else pointed it at.
#include <sys/types.h>

#include <string>

namespace karvex {

// The user who should own what is created in `dir`: the process's own, or, for root working in a directory
// another user owns, that user (root's maintenance must leave files the service can still open).
struct FileOwner {
    uid_t uid = 0;
    gid_t gid = 0;
    bool change = false;  // true when created files must be handed to uid/gid
};
FileOwner OwnerFor(const std::string& dir);

// open(2) with `flags` (O_CLOEXEC and O_NOFOLLOW added); -1 with errno set: ELOOP for a link, EINVAL when
// `path` is not a plain file, EPERM when it belongs to another user than OwnerFor(its directory). A file
// this call creates is 0600 whatever the umask (`mode` is not used for it any more) and has that owner.
// The open itself does not wait on a pipe.
int OpenPlainFile(const std::string& path, int flags, mode_t mode = 0600);

}  // namespace karvex
