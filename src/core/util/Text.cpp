#include "util/Text.h"

#include "util/Errors.h"

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <langinfo.h>
#include <limits>
#include <locale.h>

namespace kv {

namespace {
bool IsBlank(unsigned char c) {
    return c <= 0x20;
}
char Up(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
char Low(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
} // namespace

std::string TrimLeft(std::string_view s) {
    size_t b = 0;
    while (b < s.size() && IsBlank(static_cast<unsigned char>(s[b])))
        ++b;
    return std::string(s.substr(b));
}

std::string TrimRight(std::string_view s) {
    size_t e = s.size();
    while (e > 0 && IsBlank(static_cast<unsigned char>(s[e - 1])))
        --e;
    return std::string(s.substr(0, e));
}

std::string Trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && IsBlank(static_cast<unsigned char>(s[e - 1])))
        --e;
    return std::string(s.substr(b, e - b));
}

std::string UpperCase(std::string_view s) {
    std::string r(s);
    for (auto& c : r)
        c = Up(c);
    return r;
}

std::string LowerCase(std::string_view s) {
    std::string r(s);
    for (auto& c : r)
        c = Low(c);
    return r;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Up(a[i]) != Up(b[i]))
            return false;
    return true;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && s.substr(0, prefix.size()) == prefix;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

bool EndsWithNoCase(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && EqualsNoCase(s.substr(s.size() - suffix.size()), suffix);
}

std::optional<int64_t> TryStrToInt64(std::string_view s) {
    if (s.empty())
        return std::nullopt;
    bool neg = false;
    size_t i = 0;
    if (s[0] == '+' || s[0] == '-') {
        neg = s[0] == '-';
        i = 1;
    }
    if (i >= s.size())
        return std::nullopt;
    // Checked before each step: a product that wrapped could look small again.
    const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1;
    uint64_t v = 0;
    for (; i < s.size(); ++i) {
        char c = s[i];
        if (c < '0' || c > '9')
            return std::nullopt;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (v > (limit - digit) / 10)
            return std::nullopt;
        v = v * 10 + digit;
    }
    if (!neg && v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
        return std::nullopt;
    return neg ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
}

int32_t StrToInt(std::string_view s) {
    auto v = TryStrToInt64(s);
    if (!v || *v < std::numeric_limits<int32_t>::min() || *v > std::numeric_limits<int32_t>::max())
        throw ConversionError(std::string(s));
    return static_cast<int32_t>(*v);
}

double ParseDecimal(const std::string& text, char localeSeparator) {
    size_t b = 0, e = text.size();
    while (b < e && (text[b] == ' ' || text[b] == '\t'))
        ++b;
    while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t'))
        --e;
    std::string normal;
    size_t i = b;
    auto digits = [&] {
        size_t start = i;
        while (i < e && text[i] >= '0' && text[i] <= '9')
            normal += text[i++];
        return i - start;
    };
    if (i < e && (text[i] == '+' || text[i] == '-')) {
        if (text[i] == '-')
            normal += '-';
        ++i;
    }
    size_t mantissa = digits();
    if (i < e && (text[i] == '.' || text[i] == localeSeparator)) {
        normal += '.';
        ++i;
        mantissa += digits();
    }
    bool ok = mantissa > 0;
    if (ok && i < e && (text[i] == 'e' || text[i] == 'E')) {
        normal += 'e';
        ++i;
        if (i < e && (text[i] == '+' || text[i] == '-'))
            normal += text[i++];
        ok = digits() > 0;
    }
    double value = 0;
    if (ok && i == e) {
        auto [end, ec] = std::from_chars(normal.data(), normal.data() + normal.size(), value);
        if (ec == std::errc() && end == normal.data() + normal.size())
            return value;
    }
    throw FloatConversionError(text);
}

char LocaleDecimalSeparator() {
    locale_t loc = ::newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(nullptr));
    if (!loc)
        return '.';
    const char* radix = ::nl_langinfo_l(RADIXCHAR, loc);
    char sep = radix && radix[0] && !radix[1] ? radix[0] : '.';
    ::freelocale(loc);
    return sep;
}

int64_t RoundHalfEven(double v) {
    // Out-of-range values would make the conversion undefined.
    if (std::isnan(v))
        return 0;
    v = std::clamp(v, -9.0e18, 9.0e18);
    return static_cast<int64_t>(std::nearbyint(v));
}

std::string IntToStr(int64_t v) {
    return std::to_string(v);
}

std::string FirstCrLfToBlank(std::string_view s) {
    auto p = s.find("\r\n");
    if (p == std::string_view::npos)
        return std::string(s);
    std::string r;
    r.reserve(s.size() - 1);
    r.append(s.substr(0, p));
    r.push_back(' ');
    r.append(s.substr(p + 2));
    return r;
}

bool WildcardMatchNoCase(std::string_view pattern, std::string_view name) {
    if (pattern == "*.*" || pattern == "*")
        return true;
    // Iterative match with backtracking on the last '*'.
    size_t p = 0, n = 0, starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || Up(pattern[p]) == Up(name[n]))) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

std::string PrintableName(std::string_view name) {
    std::string out(name);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return out;
}

} // namespace kv
