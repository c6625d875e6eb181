#include "store/store_key.h"

// The block-level SHA-1 calls are deprecated in OpenSSL 3 but are what makes the derivation three times
// faster than its generic PBKDF2: each iteration is two compressions from saved HMAC pad states.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/crypto.h>
#include <openssl/sha.h>

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

void StoreState(const SHA_CTX& ctx, unsigned char* out) {
    const unsigned int h[5] = {ctx.h0, ctx.h1, ctx.h2, ctx.h3, ctx.h4};
    for (int i = 0; i < 5; ++i) {
        out[4 * i] = static_cast<unsigned char>(h[i] >> 24);
        out[4 * i + 1] = static_cast<unsigned char>(h[i] >> 16);
        out[4 * i + 2] = static_cast<unsigned char>(h[i] >> 8);
        out[4 * i + 3] = static_cast<unsigned char>(h[i]);
    }
}

struct Cache {
    std::mutex mutex;
    std::map<std::pair<std::string, std::string>, DerivedStoreKey> keys;
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
    unsigned char key[SHA_CBLOCK] = {};
    if (passphrase.size() > SHA_CBLOCK) {
        SHA1(reinterpret_cast<const unsigned char*>(passphrase.data()), passphrase.size(), key);
    } else {
        std::memcpy(key, passphrase.data(), passphrase.size());
    }
    unsigned char pad[SHA_CBLOCK];
    SHA_CTX inner, outer;
    for (int i = 0; i < SHA_CBLOCK; ++i) pad[i] = key[i] ^ 0x36;
    SHA1_Init(&inner);
    SHA1_Update(&inner, pad, SHA_CBLOCK);
    for (int i = 0; i < SHA_CBLOCK; ++i) pad[i] = key[i] ^ 0x5c;
    SHA1_Init(&outer);
    SHA1_Update(&outer, pad, SHA_CBLOCK);

    // From the second iteration on, each message is one 20-byte digest after a 64-byte pad: a single block
    // whose padding and length (84 bytes) never change.
    unsigned char block[SHA_CBLOCK] = {};
    block[SHA_DIGEST_LENGTH] = 0x80;
    block[SHA_CBLOCK - 2] = static_cast<unsigned char>(((SHA_CBLOCK + SHA_DIGEST_LENGTH) * 8) >> 8);
    block[SHA_CBLOCK - 1] = static_cast<unsigned char>(((SHA_CBLOCK + SHA_DIGEST_LENGTH) * 8) & 0xFF);

    DerivedStoreKey out{};
    std::size_t filled = 0;
    for (unsigned int index = 1; filled < out.size(); ++index) {
        const unsigned char counter[4] = {static_cast<unsigned char>(index >> 24),
                                          static_cast<unsigned char>(index >> 16),
                                          static_cast<unsigned char>(index >> 8), static_cast<unsigned char>(index)};
        unsigned char u[SHA_DIGEST_LENGTH];
        SHA_CTX ctx = inner;
        SHA1_Update(&ctx, salt.data(), salt.size());
        SHA1_Update(&ctx, counter, sizeof counter);
        SHA1_Final(u, &ctx);
        ctx = outer;
        SHA1_Update(&ctx, u, sizeof u);
        SHA1_Final(u, &ctx);
        unsigned char t[SHA_DIGEST_LENGTH];
        std::memcpy(t, u, sizeof t);
        for (int i = 1; i < iterations; ++i) {
            std::memcpy(block, u, sizeof u);
            ctx = inner;
            SHA1_Transform(&ctx, block);
            StoreState(ctx, block);
            ctx = outer;
            SHA1_Transform(&ctx, block);
            StoreState(ctx, u);
            for (int j = 0; j < SHA_DIGEST_LENGTH; ++j) t[j] ^= u[j];
        }
        const std::size_t n = std::min<std::size_t>(sizeof t, out.size() - filled);
        std::memcpy(out.data() + filled, t, n);
        filled += n;
    }
    OPENSSL_cleanse(key, sizeof key);
    OPENSSL_cleanse(pad, sizeof pad);
    return out;
}

std::string EngineKeyFor(const std::filesystem::path& file, const std::string& passphrase) {
    if (IsRawKey(passphrase)) return passphrase;
    const std::string salt = ReadStoreHead(file, kSaltSize);
    if (salt.size() != kSaltSize) return passphrase;
    Cache& cache = TheCache();
    DerivedStoreKey key;
    {
        std::lock_guard lock(cache.mutex);
        auto it = cache.keys.find({passphrase, salt});
        if (it != cache.keys.end()) {
            key = it->second;
        } else {
            key =
                DeriveStoreKey(passphrase, std::span(reinterpret_cast<const unsigned char*>(salt.data()), salt.size()));
            cache.keys.emplace(std::make_pair(passphrase, salt), key);
            ++cache.derivations;
        }
    }
    std::string hex;
    BytesToHex(key, hex);
    return "x'" + hex + "'";
}

std::size_t StoreKeyDerivations() {
    std::lock_guard lock(TheCache().mutex);
    return TheCache().derivations;
}

}  // namespace karvex
