#pragma once
// The cipher of the stored passwords: single DES (FIPS 46-3) in ECB mode over
// byte strings padded with NUL bytes, written to the settings file as
// upper-case hex text. Texts are byte strings and may hold NUL bytes.
//
// The key string is cut to 8 bytes or padded with NUL bytes to 8; the low bit
// of each key byte (the parity bit) takes no part, as in the standard.
//
// There is no shared state: every call derives its own round keys from its key,
// so calls may run on any thread.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kv {

// The 16 round keys of one DES key, 48 bits each, in 6 bytes (most significant
// bit first); round 1 is at index 0.
using SubkeyTable = std::array<std::array<uint8_t, 6>, 16>;

enum class DesDirection : int { Encipher = 0, Decipher = 1 };

// Round keys of an 8-byte DES key (PC-1, the left-shift schedule, PC-2).
SubkeyTable MakeSubkeys(std::span<const uint8_t, 8> key);

// Enciphers or deciphers one 8-byte block. in and out may be the same bytes.
void DesBlock(const SubkeyTable& subkeys, std::span<const uint8_t, 8> in, std::span<uint8_t, 8> out,
              DesDirection direction);

// Pads the text with NUL bytes to a multiple of 8 and enciphers each block on
// its own. The empty text gives the empty text. A text ending in a NUL byte
// throws CipherError("Error: the last char is NULL char."), since deciphering
// could not tell that byte from padding.
std::string EncryptString(std::string_view plain, std::string_view key);

// Deciphers every whole 8-byte block (a trailing partial block is dropped) and
// removes all NUL bytes from the end of the result.
std::string DecryptString(std::string_view cipher, std::string_view key);

// Value of a string of hex digits (either letter case); the empty string is 0.
// Only the low 64 bits are kept for longer strings. Any other character throws
// CipherError("Error: not a Hex String").
uint64_t HexToInt(std::string_view digits);

// EncryptString, then two upper-case hex digits per byte.
std::string EncryptToHex(std::string_view plain, std::string_view key);

// Decodes consecutive pairs of hex digits (an odd last character is ignored),
// then DecryptString. A pair that is not hex throws CipherError("Error: not a
// Hex String").
std::string DecryptFromHex(std::string_view hex, std::string_view key);

} // namespace kv
