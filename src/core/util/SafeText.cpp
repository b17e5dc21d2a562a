// Texts for a terminal and for a spreadsheet cell.
#include "util/SafeText.h"

#include <cstdint>

namespace kv {

namespace {

// The length of the UTF-8 sequence at text[at] and its code point; 0 when
// the bytes there are not valid UTF-8 (overlong forms and surrogates too).
size_t DecodeUtf8(std::string_view text, size_t at, uint32_t& cp) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char b = byte(at);
    size_t n;
    uint32_t min;
    if (b < 0x80) {
        cp = b;
        return 1;
    } else if ((b & 0xe0) == 0xc0) {
        n = 2, cp = b & 0x1f, min = 0x80;
    } else if ((b & 0xf0) == 0xe0) {
        n = 3, cp = b & 0x0f, min = 0x800;
    } else if ((b & 0xf8) == 0xf0) {
        n = 4, cp = b & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (at + n > text.size())
        return 0;
    for (size_t i = 1; i < n; ++i) {
        if ((byte(at + i) & 0xc0) != 0x80)
            return 0;
        cp = cp << 6 | (byte(at + i) & 0x3f);
    }
    if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
        return 0;
    return n;
}

bool SteersATerminal(uint32_t cp) {
    return cp < 0x20 || (cp >= 0x7f && cp <= 0x9f) || (cp >= 0x202a && cp <= 0x202e) ||
           (cp >= 0x2066 && cp <= 0x2069);
}

} // namespace

std::string TerminalText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        uint32_t cp = 0;
        const size_t n = DecodeUtf8(text, at, cp);
        if (n == 0 || SteersATerminal(cp)) {
            out += '?';
            at += n == 0 ? 1 : n;
            continue;
        }
        out.append(text.substr(at, n));
        at += n;
    }
    return out;
}

std::string SpreadsheetCell(std::string_view text) {
    if (!text.empty() && (text[0] == '=' || text[0] == '+' || text[0] == '-' || text[0] == '@' ||
                          text[0] == '\t' || text[0] == '\r'))
        return "'" + std::string(text);
    return std::string(text);
}

} // namespace kv
