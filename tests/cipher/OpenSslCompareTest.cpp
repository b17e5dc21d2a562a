// The cipher against an independent DES: the openssl command-line tool, run as
// a child process on random keys and multi-block texts.
#include "config/WnDes.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

using namespace kv;

namespace {

std::string ToHex(std::string_view bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (char c : bytes) {
        auto b = static_cast<unsigned char>(c);
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

// Runs "openssl enc -des-ecb -nopad" on input with an 8-byte key. DES sits in
// OpenSSL 3's legacy provider. Fails the test with openssl's own message when
// the tool cannot run.
std::string OpenSslDes(const kvtest::TempDir& dir, const std::string& key8,
                       const std::string& input, bool decipher) {
    const std::string in = dir / "in.bin", out = dir / "out.bin", err = dir / "err.txt";
    kvtest::WriteFile(in, input);
    std::vector<std::string> args = {"openssl",   "enc",    "-des-ecb",  "-nopad", "-K",
                                     ToHex(key8), "-in",    in,          "-out",   out,
                                     "-provider", "legacy", "-provider", "default"};
    if (decipher)
        args.push_back("-d");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, "openssl", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        ADD_FAILURE() << "cannot start openssl (install it with scripts/install-deps.sh): "
                      << std::strerror(rc);
        return {};
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        ADD_FAILURE() << "openssl failed: " << kvtest::ReadFile(err);
        return {};
    }
    return kvtest::ReadFile(out);
}

std::string RandomBytes(std::mt19937_64& rng, size_t n) {
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(rng() & 0xFF);
    return s;
}

} // namespace

TEST(OpenSslCompare, RandomKeysAndTextsBothDirections) {
    kvtest::TempDir dir;
    std::mt19937_64 rng(0x4B56444553ull); // fixed: a failure can be replayed
    const int kKeys = 300;
    for (int i = 0; i < kKeys && !HasFailure(); ++i) {
        // Key strings of 0 to 12 bytes, any byte values, cut or padded to 8.
        std::string key = RandomBytes(rng, rng() % 13);
        std::string key8 = key.substr(0, 8);
        key8.resize(8, '\0');

        // Up to 40 blocks, the last one partial, not ending in NUL.
        std::string plain = RandomBytes(rng, 1 + rng() % 320);
        if (plain.back() == '\0')
            plain.back() = 'z';
        std::string padded = plain;
        padded.resize((plain.size() + 7) / 8 * 8, '\0');
        std::string cipher = EncryptString(plain, key);
        ASSERT_EQ(ToHex(cipher), ToHex(OpenSslDes(dir, key8, padded, false)))
            << "key " << ToHex(key) << " plain " << ToHex(plain);
        EXPECT_EQ(EncryptToHex(plain, key), ToHex(cipher));

        // Random cipher text deciphered block by block, then as a whole.
        std::string random = RandomBytes(rng, 8 * (1 + rng() % 40));
        std::string expected = OpenSslDes(dir, key8, random, true);
        ASSERT_EQ(expected.size(), random.size());
        SubkeyTable subkeys = MakeSubkeys(
            std::span<const uint8_t, 8>(reinterpret_cast<const uint8_t*>(key8.data()), 8));
        std::string blocks(random.size(), '\0');
        for (size_t off = 0; off < random.size(); off += 8) {
            DesBlock(subkeys,
                     std::span<const uint8_t, 8>(
                         reinterpret_cast<const uint8_t*>(random.data()) + off, 8),
                     std::span<uint8_t, 8>(reinterpret_cast<uint8_t*>(blocks.data()) + off, 8),
                     DesDirection::Decipher);
        }
        ASSERT_EQ(ToHex(blocks), ToHex(expected)) << "key " << ToHex(key);
        size_t end = expected.find_last_not_of('\0');
        expected.resize(end == std::string::npos ? 0 : end + 1);
        EXPECT_EQ(DecryptString(random, key), expected);
        EXPECT_EQ(DecryptFromHex(ToHex(random), key), expected);
    }
}
