// The text and hex layers of the password cipher, with the program's key.
#include "app/Settings.h"
#include "config/WnDes.h"
#include "util/Errors.h"

#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <functional>
#include <string>

using namespace kv;
using namespace std::string_literals;

namespace {

const std::string kKey = kPasswordKey;

void ExpectCipherError(const std::function<void()>& call, const std::string& message) {
    try {
        call();
        ADD_FAILURE() << "no error, expected \"" << message << "\"";
    } catch (const CipherError& e) {
        EXPECT_EQ(std::string(e.what()), message);
    }
}

} // namespace

TEST(PasswordCipher, StoredFormOfKnownPasswords) {
    // Reference values from an independent DES with key 51 4A 52 56 58 00 00 00.
    EXPECT_EQ(EncryptToHex("password", kKey), "F7987221B50C0CE5");
    EXPECT_EQ(EncryptToHex("secret", kKey), "124EBEC592300356");
    EXPECT_EQ(EncryptToHex("edi-mailbx", kKey), "472DA7CF8C438BA23085100217A9725A");
    EXPECT_EQ(DecryptFromHex("472DA7CF8C438BA23085100217A9725A", kKey), "edi-mailbx");
}

TEST(PasswordCipher, LengthOfTheHexText) {
    EXPECT_EQ(EncryptToHex("", kKey), "");
    EXPECT_EQ(DecryptFromHex("", kKey), "");
    for (size_t n = 1; n <= 24; ++n) {
        std::string hex = EncryptToHex(std::string(n, 'p'), kKey);
        EXPECT_EQ(hex.size(), (n + 7) / 8 * 16) << n;
        EXPECT_EQ(hex.find_first_not_of("0123456789ABCDEF"), std::string::npos) << hex;
    }
}

TEST(PasswordCipher, HexInputRules) {
    const std::string hex = EncryptToHex("edi-mailbx", kKey);
    std::string lower = hex;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(DecryptFromHex(lower, kKey), "edi-mailbx");

    // An incomplete trailing block and an odd last character are dropped.
    EXPECT_EQ(DecryptFromHex(hex.substr(0, 15), kKey), "");
    EXPECT_EQ(DecryptFromHex(hex.substr(0, 16) + "7", kKey), "edi-mail");
    EXPECT_EQ(DecryptFromHex(hex.substr(0, 16) + "Z", kKey), "edi-mail");
    EXPECT_EQ(DecryptFromHex(hex.substr(0, 30), kKey), "edi-mail");

    for (const std::string& bad : {"F7987221B50C0CEG"s, "F7987221 50C0CE5"s, "0x987221B50C0CE5"s,
                                   "F7987221B50C0CE\0"s, "F7987221B50C0CE5\xC3\xA9"s}) {
        ExpectCipherError([&] { DecryptFromHex(bad, kKey); }, "Error: not a Hex String");
    }
}

TEST(PasswordCipher, HexToInt) {
    EXPECT_EQ(HexToInt(""), 0u);
    EXPECT_EQ(HexToInt("0"), 0u);
    EXPECT_EQ(HexToInt("fF"), 255u);
    EXPECT_EQ(HexToInt("1a2B3c"), 0x1A2B3Cu);
    EXPECT_EQ(HexToInt("FFFFFFFFFFFFFFFF"), UINT64_MAX);
    for (const char* bad : {"g", "-1", " 1", "1 ", "+A", "0x1"})
        ExpectCipherError([&] { HexToInt(bad); }, "Error: not a Hex String");
}

TEST(PasswordCipher, RoundTripOfTextsNotEndingInNul) {
    const std::string texts[] = {
        "a",
        "12345678",
        "123456789",
        "pass word with blanks and a longer tail, 40+",
        "\xC3\xA9t\xE9\x80\xFF\x01",
        "em\0bedded\0\0nuls"s,
        "\0\0\0\0\0\0\0\0x"s,
        "\xB5\xC7\xC2\xBC\xC3\xDC\xC2\xEB", // GBK bytes
    };
    for (const std::string& t : texts) {
        EXPECT_EQ(DecryptFromHex(EncryptToHex(t, kKey), kKey), t);
        EXPECT_EQ(DecryptString(EncryptString(t, kKey), kKey), t);
    }
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    EXPECT_EQ(DecryptFromHex(EncryptToHex(all, kKey), kKey), all);
}

TEST(PasswordCipher, TextEndingInNulIsRefused) {
    for (const std::string& t : {"\0"s, "abc\0"s, "12345678\0"s, "x\0\0"s}) {
        ExpectCipherError([&] { EncryptToHex(t, kKey); }, "Error: the last char is NULL char.");
        ExpectCipherError([&] { EncryptString(t, kKey); }, "Error: the last char is NULL char.");
    }
}

TEST(PasswordCipher, DecryptionRemovesEveryTrailingNul) {
    // A block whose clear text itself ends in NUL bytes (not padding) loses them.
    std::string cipher = EncryptString("ab\0\0\0\0\0c"s, kKey);
    cipher += EncryptString("xy\0\0z"s, kKey); // second block "xy\0\0z\0\0\0"
    EXPECT_EQ(DecryptString(cipher, kKey), "ab\0\0\0\0\0cxy\0\0z"s);

    // Eight NUL bytes enciphered decipher to nothing at all.
    SubkeyTable subkeys = MakeSubkeys(std::array<uint8_t, 8>{'Q', 'J', 'R', 'V', 'X', 0, 0, 0});
    std::array<uint8_t, 8> zeros{}, block{};
    DesBlock(subkeys, zeros, block, DesDirection::Encipher);
    std::string zeroBlock(block.begin(), block.end());
    EXPECT_EQ(DecryptString(zeroBlock, kKey), "");
    EXPECT_EQ(DecryptString(EncryptString("A", kKey) + zeroBlock, kKey), "A");
}

TEST(PasswordCipher, KeyIsCutOrPaddedToEightBytes) {
    // Longer keys: only the first 8 bytes count.
    EXPECT_EQ(EncryptToHex("secret", "ABCDEFGH"), EncryptToHex("secret", "ABCDEFGHIJKL"));
    EXPECT_NE(EncryptToHex("secret", "ABCDEFGH"), EncryptToHex("secret", "ABCDEFGX"));
    // Shorter keys are padded with NUL bytes, so an explicit padding is the same key.
    EXPECT_EQ(EncryptToHex("secret", kKey), EncryptToHex("secret", "QJRVX\0\0\0"s));
    EXPECT_EQ(EncryptToHex("secret", kKey), EncryptToHex("secret", "QJRVX\0\0\0trailing"s));
    EXPECT_EQ(EncryptToHex("secret", ""), EncryptToHex("secret", "\0\0\0\0\0\0\0\0"s));
    EXPECT_NE(EncryptToHex("secret", kKey), EncryptToHex("secret", "QJRVZ"));
    // The parity bit of each key byte takes no part ('Q' 0x51 vs 'P' 0x50).
    EXPECT_EQ(EncryptToHex("secret", kKey), EncryptToHex("secret", "PKSWY\x01\x01\x01"));
    // Deciphering under another key does not give the text back.
    EXPECT_NE(DecryptFromHex(EncryptToHex("secret", kKey), "QJRVZ"), "secret");
}
