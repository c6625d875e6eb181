#include "store/store_key.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "convert/conversions.h"
#include "store/store_file.h"

namespace karvex {
namespace {

constexpr std::size_t kSaltSize = 16;

struct Entry {
    DerivedStoreKey key{};
    int users = 0;  // connections open with it
};

struct Cache {
    std::mutex mutex;
    std::map<std::pair<std::string, std::string>, Entry> keys;
    std::size_t derivations = 0;
};

Cache& TheCache() {
    static Cache cache;
    return cache;
}

// The engine takes "x'" + 64 hex digits (+ 32 for a salt) + "'" as the key itself, not as a passphrase.
bool IsRawKey(const std::string& key) {
    if (key.size() != 67 && key.size() != 99) return false;
    if ((key[0] != 'x' && key[0] != 'X') || key[1] != '\'' || key.back() != '\'') return false;
    return std::all_of(key.begin() + 2, key.end() - 1, [](unsigned char c) { return std::isxdigit(c) != 0; });
}

}  // namespace

DerivedStoreKey DeriveStoreKey(std::string_view passphrase, std::span<const unsigned char> salt, int iterations) {
    DerivedStoreKey out{};
    PKCS5_PBKDF2_HMAC(passphrase.data(), static_cast<int>(passphrase.size()), salt.data(),
                      static_cast<int>(salt.size()), iterations, EVP_sha1(), static_cast<int>(out.size()), out.data());
    return out;
}

std::string EngineKeyFor(const std::filesystem::path& file, const std::string& passphrase, StoreKeyLease& lease) {
    ReleaseStoreKey(lease);
    if (IsRawKey(passphrase)) return passphrase;
    const std::string salt = ReadStoreHead(file, kSaltSize);
    if (salt.size() != kSaltSize) return passphrase;
    Cache& cache = TheCache();
    DerivedStoreKey key;
    {
        std::lock_guard lock(cache.mutex);
        auto [it, added] = cache.keys.try_emplace(std::make_pair(passphrase, salt));
        if (added) {
            it->second.key =
                DeriveStoreKey(passphrase, std::span(reinterpret_cast<const unsigned char*>(salt.data()), salt.size()));
            ++cache.derivations;
        }
        ++it->second.users;
        key = it->second.key;
    }
    lease.passphrase = passphrase;
    lease.salt = salt;
    std::string hex;
    BytesToHex(key, hex);
    OPENSSL_cleanse(key.data(), key.size());
    std::string engineKey = "x'" + hex + "'";
    OPENSSL_cleanse(hex.data(), hex.size());
    return engineKey;
}

void ReleaseStoreKey(StoreKeyLease& lease) {
    if (lease.salt.empty()) return;
    Cache& cache = TheCache();
    {
        std::lock_guard lock(cache.mutex);
        auto it = cache.keys.find({lease.passphrase, lease.salt});
        if (it != cache.keys.end() && --it->second.users <= 0) {
            // The last connection of the file is gone: neither the key nor its passphrase stays behind.
            OPENSSL_cleanse(it->second.key.data(), it->second.key.size());
            auto node = cache.keys.extract(it);
            WipeText(node.key().first);
        }
    }
    WipeText(lease.passphrase);
    lease.salt.clear();
}

void WipeText(std::string& text) {
    OPENSSL_cleanse(text.data(), text.size());
    text.clear();
}

std::size_t StoreKeyDerivations() {
    std::lock_guard lock(TheCache().mutex);
    return TheCache().derivations;
}

}  // namespace karvex
