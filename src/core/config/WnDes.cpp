#include "config/WnDes.h"

#include "util/Errors.h"

#include <cstddef>

namespace kv {

namespace {

// The tables of the standard. Bit 1 is the most significant bit of the input.
constexpr uint8_t kIP[64] = {
    58, 50, 42, 34, 26, 18, 10, 2,  60, 52, 44, 36, 28, 20, 12, 4,  62, 54, 46, 38, 30, 22,
    14, 6,  64, 56, 48, 40, 32, 24, 16, 8,  57, 49, 41, 33, 25, 17, 9,  1,  59, 51, 43, 35,
    27, 19, 11, 3,  61, 53, 45, 37, 29, 21, 13, 5,  63, 55, 47, 39, 31, 23, 15, 7,
};

constexpr uint8_t kFP[64] = {
    40, 8,  48, 16, 56, 24, 64, 32, 39, 7,  47, 15, 55, 23, 63, 31, 38, 6,  46, 14, 54, 22,
    62, 30, 37, 5,  45, 13, 53, 21, 61, 29, 36, 4,  44, 12, 52, 20, 60, 28, 35, 3,  43, 11,
    51, 19, 59, 27, 34, 2,  42, 10, 50, 18, 58, 26, 33, 1,  41, 9,  49, 17, 57, 25,
};

constexpr uint8_t kE[48] = {
    32, 1,  2,  3,  4,  5,  4,  5,  6,  7,  8,  9,  8,  9,  10, 11, 12, 13, 12, 13, 14, 15, 16, 17,
    16, 17, 18, 19, 20, 21, 20, 21, 22, 23, 24, 25, 24, 25, 26, 27, 28, 29, 28, 29, 30, 31, 32, 1,
};

constexpr uint8_t kP[32] = {
    16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
    2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25,
};

constexpr uint8_t kPC1[56] = {
    57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18, 10, 2,  59, 51, 43,
    35, 27, 19, 11, 3,  60, 52, 44, 36, 63, 55, 47, 39, 31, 23, 15, 7,  62, 54,
    46, 38, 30, 22, 14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4,
};

constexpr uint8_t kPC2[48] = {
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
    41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32,
};

constexpr uint8_t kShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

// S-boxes: row (outer bits) * 16 + column (inner four bits).
constexpr uint8_t kS[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8, 3, 10, 6, 12, 5,  9,  0,  7,  0,  15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5, 3, 8,  4, 1,  14, 8,  13, 6,  2,  11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2, 4, 9,  1, 7,  5,  11, 3,  14, 10, 0,  6,  13},
    {15, 1,  8,  14, 6,  11, 3,  4, 9,  7,  2, 13, 12, 0,  5,  10, 3,  13, 4,  7, 15, 2,
     8,  14, 12, 0,  1,  10, 6,  9, 11, 5,  0, 14, 7,  11, 10, 4,  13, 1,  5,  8, 12, 6,
     9,  3,  2,  15, 13, 8,  10, 1, 3,  15, 4, 2,  11, 6,  7,  12, 0,  5,  14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7, 11, 4,  2,  8,  13, 7, 0,  9, 3, 4,
     6,  10, 2,  8,  5, 14, 12, 11, 15, 1,  13, 6, 4,  9,  8,  15, 3,  0, 11, 1, 2, 12,
     5,  10, 14, 7,  1, 10, 13, 0,  6,  9,  8,  7, 4,  15, 14, 3,  11, 5, 2,  12},
    {7, 13, 14, 3, 0, 6,  9, 10, 1,  2, 8,  5, 11, 12, 4,  15, 13, 8,  11, 5, 6, 15,
     0, 3,  4,  7, 2, 12, 1, 10, 14, 9, 10, 6, 9,  0,  12, 11, 7,  13, 15, 1, 3, 14,
     5, 2,  8,  4, 3, 15, 0, 6,  10, 1, 13, 8, 9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4, 1,  7,  10, 11, 6, 8, 5,  3, 15, 13, 0,  14, 9,  14, 11, 2,  12, 4,  7,
     13, 1,  5, 0,  15, 10, 3,  9, 8, 6,  4, 2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,
     6,  3,  0, 14, 11, 8,  12, 7, 1, 14, 2, 13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9,  2,  6, 8,  0, 13, 3,  4,  14, 7,  5, 11, 10, 15, 4, 2, 7, 12,
     9,  5,  6,  1,  13, 14, 0, 11, 3, 8,  9,  14, 15, 5,  2, 8,  12, 3,  7, 0, 4, 10,
     1,  13, 11, 6,  4,  3,  2, 12, 9, 5,  15, 10, 11, 14, 1, 7,  6,  0,  8, 13},
    {4, 11, 2,  14, 15, 0,  8,  13, 3, 12, 9,  7, 5,  10, 6,  1,  13, 0,  11, 7,  4, 9,
     1, 10, 14, 3,  5,  12, 2,  15, 8, 6,  1,  4, 11, 13, 12, 3,  7,  14, 10, 15, 6, 8,
     0, 5,  9,  2,  6,  11, 13, 8,  1, 4,  10, 7, 9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2, 8,  4, 6, 15, 11, 1,  10, 9,  3, 14, 5,  0,  12, 7,  1,  15, 13, 8, 10, 3,
     7,  4, 12, 5, 6, 11, 0,  14, 9,  2,  7, 11, 4,  1,  9,  12, 14, 2,  0,  6, 10, 13,
     15, 3, 5,  8, 2, 1,  14, 7,  4,  10, 8, 13, 15, 12, 9,  0,  3,  5,  6,  11},
};

// Output bit i (1-based from the most significant of n bits) is input bit
// table[i] (1-based from the most significant of inBits bits).
template <size_t n> uint64_t Permute(uint64_t in, int inBits, const uint8_t (&table)[n]) {
    uint64_t out = 0;
    for (uint8_t pos : table)
        out = (out << 1) | ((in >> (inBits - pos)) & 1u);
    return out;
}

uint64_t Load64(std::span<const uint8_t, 8> bytes) {
    uint64_t v = 0;
    for (uint8_t b : bytes)
        v = (v << 8) | b;
    return v;
}

uint32_t RotateLeft28(uint32_t v, int count) {
    return ((v << count) | (v >> (28 - count))) & 0x0FFFFFFFu;
}

// The cipher function f(R, K).
uint32_t Feistel(uint32_t r, uint64_t subkey) {
    uint64_t x = Permute(r, 32, kE) ^ subkey;
    uint32_t s = 0;
    for (int box = 0; box < 8; ++box) {
        unsigned six = static_cast<unsigned>(x >> (42 - 6 * box)) & 0x3Fu;
        unsigned row = ((six >> 4) & 2u) | (six & 1u);
        unsigned col = (six >> 1) & 0x0Fu;
        s = (s << 4) | kS[box][row * 16 + col];
    }
    return static_cast<uint32_t>(Permute(s, 32, kP));
}

// The key string cut or padded with NUL bytes to 8 bytes.
SubkeyTable SubkeysOfKeyString(std::string_view key) {
    std::array<uint8_t, 8> bytes{};
    for (size_t i = 0; i < bytes.size() && i < key.size(); ++i)
        bytes[i] = static_cast<uint8_t>(key[i]);
    return MakeSubkeys(bytes);
}

std::span<uint8_t, 8> BlockAt(std::string& s, size_t offset) {
    return std::span<uint8_t, 8>(reinterpret_cast<uint8_t*>(s.data()) + offset, 8);
}

unsigned HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return static_cast<unsigned>(c - '0');
    if (c >= 'A' && c <= 'F')
        return static_cast<unsigned>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f')
        return static_cast<unsigned>(c - 'a' + 10);
    throw CipherError("Error: not a Hex String");
}

} // namespace

SubkeyTable MakeSubkeys(std::span<const uint8_t, 8> key) {
    uint64_t cd = Permute(Load64(key), 64, kPC1);
    uint32_t c = static_cast<uint32_t>(cd >> 28);
    uint32_t d = static_cast<uint32_t>(cd & 0x0FFFFFFFu);
    SubkeyTable table{};
    for (size_t round = 0; round < table.size(); ++round) {
        c = RotateLeft28(c, kShifts[round]);
        d = RotateLeft28(d, kShifts[round]);
        uint64_t k = Permute((static_cast<uint64_t>(c) << 28) | d, 56, kPC2);
        for (size_t i = 0; i < 6; ++i)
            table[round][i] = static_cast<uint8_t>(k >> (40 - 8 * i));
    }
    return table;
}

void DesBlock(const SubkeyTable& subkeys, std::span<const uint8_t, 8> in, std::span<uint8_t, 8> out,
              DesDirection direction) {
    uint64_t block = Permute(Load64(in), 64, kIP);
    uint32_t l = static_cast<uint32_t>(block >> 32);
    uint32_t r = static_cast<uint32_t>(block);
    for (size_t round = 0; round < subkeys.size(); ++round) {
        const auto& key =
            subkeys[direction == DesDirection::Encipher ? round : subkeys.size() - 1 - round];
        uint64_t k = 0;
        for (uint8_t b : key)
            k = (k << 8) | b;
        uint32_t next = l ^ Feistel(r, k);
        l = r;
        r = next;
    }
    // The halves are exchanged after the last round.
    uint64_t result = Permute((static_cast<uint64_t>(r) << 32) | l, 64, kFP);
    for (size_t i = 0; i < 8; ++i)
        out[i] = static_cast<uint8_t>(result >> (56 - 8 * i));
}

std::string EncryptString(std::string_view plain, std::string_view key) {
    if (!plain.empty() && plain.back() == '\0')
        throw CipherError("Error: the last char is NULL char.");
    SubkeyTable subkeys = SubkeysOfKeyString(key);
    std::string data(plain);
    data.resize((data.size() + 7) / 8 * 8, '\0');
    for (size_t off = 0; off < data.size(); off += 8)
        DesBlock(subkeys, BlockAt(data, off), BlockAt(data, off), DesDirection::Encipher);
    return data;
}

std::string DecryptString(std::string_view cipher, std::string_view key) {
    SubkeyTable subkeys = SubkeysOfKeyString(key);
    std::string data(cipher.substr(0, cipher.size() / 8 * 8));
    for (size_t off = 0; off < data.size(); off += 8)
        DesBlock(subkeys, BlockAt(data, off), BlockAt(data, off), DesDirection::Decipher);
    size_t end = data.find_last_not_of('\0');
    data.resize(end == std::string::npos ? 0 : end + 1);
    return data;
}

uint64_t HexToInt(std::string_view digits) {
    uint64_t value = 0;
    for (char c : digits)
        value = value * 16 + HexDigitValue(c);
    return value;
}

std::string EncryptToHex(std::string_view plain, std::string_view key) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string cipher = EncryptString(plain, key);
    std::string hex;
    hex.reserve(cipher.size() * 2);
    for (char c : cipher) {
        auto b = static_cast<uint8_t>(c);
        hex += kDigits[b >> 4];
        hex += kDigits[b & 0x0F];
    }
    return hex;
}

std::string DecryptFromHex(std::string_view hex, std::string_view key) {
    std::string cipher;
    cipher.reserve(hex.size() / 2);
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        cipher += static_cast<char>(HexToInt(hex.substr(i, 2)));
    return DecryptString(cipher, key);
}

} // namespace kv
