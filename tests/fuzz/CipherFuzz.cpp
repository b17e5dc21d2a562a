// Feeds arbitrary bytes to the password cipher: deciphering any stored value
// never crashes (bad hex is a CipherError), and every text that does not end in
// NUL survives EncryptToHex then DecryptFromHex, in either letter case.
#include "config/WnDes.h"
#include "util/Errors.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

void Check(bool ok) {
    if (!ok)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // First byte: length of the key string (0 to 12), then the key, then the text.
    if (size == 0)
        return 0;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    size_t keyLength = static_cast<uint8_t>(input[0]) % 13;
    input.remove_prefix(1);
    std::string key(input.substr(0, keyLength));
    std::string text(input.substr(key.size()));

    // Any text as a stored value.
    bool pairsAreHex = true;
    for (size_t i = 0; i < text.size() / 2 * 2; ++i)
        pairsAreHex = pairsAreHex && IsHexDigit(text[i]);
    try {
        std::string clear = kv::DecryptFromHex(text, key);
        Check(pairsAreHex);
        Check(clear.size() <= text.size() / 16 * 8);
        Check(clear.empty() || clear.back() != '\0');
    } catch (const kv::CipherError&) {
        Check(!pairsAreHex);
    }

    // Any text as a password.
    try {
        std::string hex = kv::EncryptToHex(text, key);
        Check(text.empty() || text.back() != '\0');
        Check(hex.size() == (text.size() + 7) / 8 * 16);
        for (char c : hex)
            Check((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'));
        Check(kv::DecryptFromHex(hex, key) == text);
        for (char& c : hex)
            if (c >= 'A' && c <= 'F')
                c = static_cast<char>(c - 'A' + 'a');
        Check(kv::DecryptFromHex(hex, key) == text);
    } catch (const kv::CipherError&) {
        Check(!text.empty() && text.back() == '\0');
    }
    return 0;
}
