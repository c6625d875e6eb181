#pragma once
// Who has the store file open, across processes. A lock file beside the store (FiscalMachine.mdb.lock)
// carries two one-byte locks that the system drops when their process ends, however it ends:
//   byte 0  the writer: held exclusively by the one process that writes the store;
//   byte 1  presence: held shared by everyone who has the store open, writer and readers alike.
// The writer compacts only when it can take the presence byte exclusively, i.e. when no one else has the
// store open: the compacted copy replaces the file by rename, and a process still holding the old file
// would go on with a store that no longer exists (and put its stale copy back at its own unload).
// The writer writes its process id and program name into the file so that a refused second writer can
// say who holds the store.
#include <cstdint>
#include <filesystem>
#include <string>

namespace karvex {

class StoreLock {
public:
    StoreLock() = default;
    ~StoreLock() { Release(); }
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;

    // The lock file of a store file.
    static std::filesystem::path LockPathOf(const std::filesystem::path& storeFile);

    // Takes the writer's lock. 0; result::kStoreInUse when another process (or another store object of this one)
    // writes the store, with `why` naming it; result::kStoreOpenFailed when the lock file cannot be made.
    std::int32_t AcquireWriter(const std::filesystem::path& storeFile, std::string& why);
    // Registers a reader. Never refuses: a reader only loses the protection against a compaction under it
    // when the lock file cannot be opened.
    void AcquireReader(const std::filesystem::path& storeFile);
    // True when no other process has the store open; the presence byte is then held exclusively until
    // EndAlone(), so that no one can open the store meanwhile.
    bool BeginAlone();
    void EndAlone();
    // Drops the locks; a writer that is alone removes the lock file.
    void Release();

    bool HeldAsWriter() const { return fd_ >= 0 && writer_; }

private:
    int fd_ = -1;
    bool writer_ = false;
    std::filesystem::path path_;
};

}  // namespace karvex
