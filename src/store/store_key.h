#pragma once

#include <array>
#include <cstddef>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace karvex {

// Iterations the engine runs when it turns a passphrase into a file's key (its default for the files it
// makes). A file made with another count does not open with the key derived here, and is opened with the
// passphrase instead.
inline constexpr int kStoreKeyIterations = 64000;

using DerivedStoreKey = std::array<unsigned char, 32>;

// PBKDF2 with HMAC-SHA1 (OpenSSL's), as the engine derives a file's key from its passphrase and the salt at the head of
// the file.
DerivedStoreKey DeriveStoreKey(std::string_view passphrase, std::span<const unsigned char> salt,
                               int iterations = kStoreKeyIterations);

// A connection's hold on a derived key (see EngineKeyFor); empty when it holds none.
struct StoreKeyLease {
    std::string passphrase;
    std::string salt;
};

// What to hand the engine as the key of `file`: for a file that already has its salt, the derived key in the
// engine's raw-key form ("x'…'"), derived once per passphrase and salt while some connection of this process
// uses it (`lease` records the use); for a file still to be made, or a passphrase that already is a key in the
// raw form, the passphrase itself. Wipe the returned text once the engine has it.
std::string EngineKeyFor(const std::filesystem::path& file, const std::string& passphrase, StoreKeyLease& lease);
// Ends the use `lease` records; the last one wipes the derived key and the passphrase kept with it.
void ReleaseStoreKey(StoreKeyLease& lease);
// Overwrites a secret's bytes before its memory is let go, and empties it.
void WipeText(std::string& text);

// How many keys this process has derived (for the benchmarks and tests that check the cache is used).
std::size_t StoreKeyDerivations();

}  // namespace karvex
