// File keys derived here must be the engine's own, byte for byte, or every store made by the engine from a
// passphrase would stop opening; and they must be derived once per file, or each opening pays for it again.
#include "store/store_key.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sqlcipher/sqlite3.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>

#include "convert/conversions.h"
#include "store/store_connection.h"
#include "store/store_file.h"
#include "store_test_support.h"

namespace karvex {
namespace {

std::string Hex(const unsigned char* p, std::size_t n) {
    std::string out;
    BytesToHex(ByteView(p, n), out);
    return out;
}

std::span<const unsigned char> Bytes(std::string_view s) {
    return {reinterpret_cast<const unsigned char*>(s.data()), s.size()};
}

TEST(StoreKeyDerivation, IsPbkdf2WithHmacSha1) {
    // RFC 6070's vectors give the first 20 bytes; the second block of a 32-byte key is checked against
    // OpenSSL's own PBKDF2 below.
    const struct {
        std::string passphrase, salt;
        int iterations;
        std::string first20;
    } vectors[] = {
        {"password", "salt", 1, "0C60C80F961F0E71F3A9B524AF6012062FE037A6"},
        {"password", "salt", 2, "EA6C014DC72D6F8CCD1ED92ACE1D41F0D8DE8957"},
        {"password", "salt", 4096, "4B007901B765489ABEAD49D926F721D065A429C1"},
        {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096,
         "3D2EEC4FE41C849B80C8D83662C0E44A8B291A96"},
    };
    for (const auto& v : vectors) {
        const DerivedStoreKey key = DeriveStoreKey(v.passphrase, Bytes(v.salt), v.iterations);
        EXPECT_EQ(Hex(key.data(), 20), v.first20) << v.passphrase << " " << v.iterations;
    }
    // Passphrases around the HMAC block size (a longer one is hashed first), and the second output block.
    const unsigned char salt[16] = {0x01, 0xfe, 0x80, 0x7f};
    for (std::size_t length : {0u, 1u, 63u, 64u, 65u, 200u}) {
        const std::string passphrase(length, 'k');
        unsigned char expected[32];
        ASSERT_EQ(PKCS5_PBKDF2_HMAC_SHA1(passphrase.data(), static_cast<int>(length), salt, sizeof salt, 1000,
                                         sizeof expected, expected),
                  1);
        const DerivedStoreKey key = DeriveStoreKey(passphrase, salt, 1000);
        EXPECT_EQ(Hex(key.data(), key.size()), Hex(expected, sizeof expected)) << "passphrase of " << length;
    }
}

class StoreKeyOpening : public testing::StoreDirTest {};

TEST_F(StoreKeyOpening, AFileMadeFromAPassphraseOpensWithOneDerivationForEveryConnection) {
    const struct {
        const char* what;
        std::string passphrase;
        std::size_t derivations;  // for the four openings after the file is made
    } cases[] = {
        {"the built-in passphrase", BuiltInStoreKey(), 1},
        {"a passphrase of 100 characters", std::string(100, 'p'), 1},
        // A passphrase in the engine's raw-key form is the key itself: nothing to derive.
        {"a raw key", "x'" + std::string(64, 'A') + "'", 0},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::filesystem::path file = dir_ / ("store" + std::to_string(n++) + ".mdb");
        {
            StoreConnection maker;
            ASSERT_EQ(maker.Open(file, c.passphrase), 0) << c.what << ": " << maker.LastErrorText();
        }
        const std::size_t before = StoreKeyDerivations();
        StoreConnection writer, readers[3];
        ASSERT_EQ(writer.Open(file, c.passphrase), 0) << c.what << ": " << writer.LastErrorText();
        for (StoreConnection& r : readers) ASSERT_EQ(r.OpenForReading(file, c.passphrase), 0) << c.what;
        EXPECT_EQ(StoreKeyDerivations() - before, c.derivations) << c.what;

        // A store still under the built-in key opens with any key (to be re-keyed by its writer).
        StoreConnection wrong;
        if (c.passphrase != BuiltInStoreKey()) {
            EXPECT_NE(wrong.OpenForReading(file, c.passphrase + "x"), 0) << c.what;
        }
        // Once the last connection of the file is closed its key is no longer kept: the next one derives it.
        writer.Close();
        for (StoreConnection& r : readers) r.Close();
        const std::size_t closed = StoreKeyDerivations();
        ASSERT_EQ(writer.Open(file, c.passphrase), 0) << c.what;
        EXPECT_EQ(StoreKeyDerivations() - closed, c.derivations) << c.what << ": the key outlived its connections";
    }
}

// A store made under the built-in key, opened by an installation with a key of its own: re-keyed once, and
// from then on the built-in key reads nothing while the engine's own shell reads it with the new key.
TEST_F(StoreKeyOpening, AStoreUnderTheBuiltInKeyIsRekeyedOnceToTheInstallationsKey) {
    const std::filesystem::path file = dir_ / "store.mdb";
    {
        StoreConnection maker;
        ASSERT_EQ(maker.Open(file, BuiltInStoreKey()), 0) << maker.LastErrorText();
    }
    std::string why;
    const std::filesystem::path keyFile = dir_ / "config" / "store.key";
    const std::string key = LoadOrMakeStoreKeyFile(keyFile, why);
    ASSERT_EQ(key.size(), 67u) << why;
    EXPECT_EQ(LoadOrMakeStoreKeyFile(keyFile, why), key) << "a second run reads the first run's key";
    struct stat st {};
    ASSERT_EQ(::stat(keyFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    for (bool first : {true, false}) {
        StoreConnection writer;
        ASSERT_EQ(writer.Open(file, key), 0) << writer.LastErrorText();
        EXPECT_EQ(writer.RekeyedFromBuiltIn(), first);
    }
    StoreConnection old;
    EXPECT_NE(old.OpenForReading(file, BuiltInStoreKey()), 0);
    if (std::filesystem::exists("/usr/bin/sqlcipher")) {
        const std::string command = "printf \"PRAGMA key=\\\"" + key +
                                    "\\\";\\nSELECT count(*) FROM ComSet;\\n\" | /usr/bin/sqlcipher " + file.string() +
                                    " 2>&1";
        std::FILE* shell = ::popen(command.c_str(), "r");
        ASSERT_NE(shell, nullptr);
        char out[256] = {};
        const std::size_t n = std::fread(out, 1, sizeof out - 1, shell);
        ::pclose(shell);
        EXPECT_EQ(std::string(out, n), "1\n");
    }
}

// A key file that is not the installation's own is never overwritten: the store could not be read without it.
TEST_F(StoreKeyOpening, AKeyFileThatIsNoKeyOrALinkIsRefusedUntouched) {
    const std::filesystem::path target = dir_ / "elsewhere";
    { std::ofstream(target) << "not a key"; }
    const struct {
        const char* what;
        std::function<void(const std::filesystem::path&)> make;
    } cases[] = {
        {"a link", [&](const std::filesystem::path& p) { std::filesystem::create_symlink(target, p); }},
        {"no key", [&](const std::filesystem::path& p) { std::filesystem::copy_file(target, p); }},
    };
    for (const auto& c : cases) {
        const std::filesystem::path path = dir_ / (std::string("key-") + (c.make ? c.what : ""));
        c.make(path);
        std::string why;
        EXPECT_EQ(LoadOrMakeStoreKeyFile(path, why), "") << c.what;
        EXPECT_NE(why.find(path.string()), std::string::npos) << why;
        std::ifstream in(path);
        std::string text((std::istreambuf_iterator<char>(in)), {});
        EXPECT_EQ(text, "not a key") << c.what;
    }
}

TEST_F(StoreKeyOpening, APipeInTheStoresPlaceIsRefusedWithoutWaitingForAWriter) {
    const std::filesystem::path file = dir_ / "pipe.mdb";
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    StoreConnection reader;
    EXPECT_NE(reader.OpenForReading(file, BuiltInStoreKey()), 0);
}

}  // namespace
}  // namespace karvex
