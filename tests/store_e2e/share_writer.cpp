// A writer that shares its store: commits one row at a time into WatchError and prints "committed <n>" once
// each commit has returned, until it is killed, numbering from its second argument. Before every row it opens and
// closes a second, reading connection of its own, as a host's browser beside its control does.
#include <sqlcipher/sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "store/schema.h"
#include "store/store_access.h"

using namespace karvex;

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const std::filesystem::path dir = argv[1];
    StoreAccess store(dir);
    if (int rc = store.Open(); rc != 0) {
        std::fprintf(stderr, "open: %d %s\n", rc, store.LastErrorText().c_str());
        return 3;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    for (long n = std::atol(argv[2]);; ++n) {
        {
            StoreConnection beside;
            if (beside.OpenForReading(dir / kStoreFileName, BuiltInStoreKey()) != 0) {
                std::fprintf(stderr, "reader: %s\n", beside.LastErrorText().c_str());
                return 4;
            }
        }
        StoreConnection& conn = *store.Connection();
        const std::string sql = "INSERT INTO \"WatchError\" (\"序号\", \"时间\", \"记录\") VALUES (" +
                                std::to_string(n) + ", 'now', 'row')";
        if (int rc = conn.Exec(sql); rc != 0) {
            std::fprintf(stderr, "insert: %d %s\n", rc, conn.LastErrorText().c_str());
            return 5;
        }
        std::printf("committed %ld\n", n);
        std::fflush(stdout);
    }
}
