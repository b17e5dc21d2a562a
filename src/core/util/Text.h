#pragma once
// Byte-string helpers shared by every subsystem. Texts are byte strings in
// whatever encoding the file had; letter-case rules apply to ASCII only.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

// Removes leading and trailing blanks and control characters (bytes <= 0x20).
std::string Trim(std::string_view s);
std::string TrimLeft(std::string_view s);
std::string TrimRight(std::string_view s);
std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);
bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsWith(std::string_view s, std::string_view prefix);
bool StartsWithNoCase(std::string_view s, std::string_view prefix);
bool EndsWithNoCase(std::string_view s, std::string_view suffix);

// Strict decimal conversion: optional sign, then digits only, within 32 bits.
// Throws ConversionError with the program's message otherwise.
int32_t StrToInt(std::string_view s);
std::optional<int64_t> TryStrToInt64(std::string_view s);

// A decimal number as users type it (TimeInterval): blanks around it, an
// optional sign, digits with '.' or localeSeparator before the fraction, an
// optional exponent. Throws FloatConversionError otherwise.
double ParseDecimal(const std::string& text, char localeSeparator);
// The decimal separator of the user's locale (LC_NUMERIC from the environment).
char LocaleDecimalSeparator();
// Rounds to the nearest integer, halves to the even neighbour.
int64_t RoundHalfEven(double v);

// The decimal text of a number, as the program writes numbers.
std::string IntToStr(int64_t v);

// Replaces the first CR LF pair by one blank, as failure lines are logged.
std::string FirstCrLfToBlank(std::string_view s);

// A file name as it may appear in a log line: control characters (CR, LF and
// the others below 0x20, and DEL) become '?', so a name cannot forge a line.
std::string PrintableName(std::string_view name);

// Matches a file name against a pattern with '*' and '?', ignoring letter case.
// "*.*" matches every name.
bool WildcardMatchNoCase(std::string_view pattern, std::string_view name);

} // namespace kv
