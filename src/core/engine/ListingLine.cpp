#include "engine/ListingLine.h"

#include "util/Text.h"

#include <cctype>
#include <sstream>
#include <vector>

namespace kv {

std::string ExtractListingName(const std::string& line) {
    std::string s = line;
    for (int field = 0; field < 8 && !s.empty(); ++field) {
        size_t blank = s.find(' ');
        if (blank != std::string::npos)
            s.erase(0, blank + 1);
        size_t first = s.find_first_not_of(' ');
        s.erase(0, first == std::string::npos ? s.size() : first);
    }
    size_t slash = s.rfind('/');
    if (slash != std::string::npos)
        s.erase(0, slash + 1);
    return s;
}

bool IsUsableListingName(const std::string& name) {
    if (name.empty() || name == "." || name == "..")
        return false;
    for (char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return false;
    return true;
}

namespace {

bool Digits(const std::string& s, size_t from, size_t count) {
    if (from + count > s.size())
        return false;
    for (size_t i = from; i < from + count; ++i)
        if (!std::isdigit(static_cast<unsigned char>(s[i])))
            return false;
    return true;
}

// "mm-dd-yy" or "mm-dd-yyyy".
bool IsDosDate(const std::string& w) {
    return (w.size() == 8 || w.size() == 10) && Digits(w, 0, 2) && w[2] == '-' && Digits(w, 3, 2) &&
           w[5] == '-' && Digits(w, 6, w.size() - 6);
}

// "hh:mm" with an optional "AM" / "PM".
bool IsDosTime(const std::string& w) {
    if (w.size() < 5 || !Digits(w, 0, 2) || w[2] != ':' || !Digits(w, 3, 2))
        return false;
    std::string rest = UpperCase(w.substr(5));
    return rest.empty() || rest == "AM" || rest == "PM";
}

// The text after the first `fields` blank-separated words (blank runs count as one).
size_t AfterWords(const std::string& line, int fields) {
    size_t p = 0;
    for (int i = 0; i < fields; ++i) {
        p = line.find_first_not_of(' ', p);
        if (p == std::string::npos)
            return std::string::npos;
        p = line.find(' ', p);
        if (p == std::string::npos)
            return std::string::npos;
    }
    return line.find_first_not_of(' ', p);
}

ListingEntry ParseDosLine(const std::string& line) {
    ListingEntry e;
    std::istringstream in(line);
    std::string date, time, sizeOrDir;
    if (!(in >> date >> time >> sizeOrDir) || !IsDosDate(date) || !IsDosTime(time))
        return e;
    size_t nameAt = AfterWords(line, 3);
    if (nameAt == std::string::npos)
        return e;
    e.name = line.substr(nameAt);
    if (sizeOrDir == "<DIR>") {
        e.recognised = true;
        return e;
    }
    auto size = TryStrToInt64(sizeOrDir);
    if (!size || *size < 0)
        return e;
    e.recognised = true;
    e.plainFile = true;
    e.size = *size;
    return e;
}

ListingEntry ParseUnixLine(const std::string& line) {
    ListingEntry e;
    // Type letter and nine permission characters ("-rw-r--r--"), then fields.
    if (line.size() < 10 || std::string("-dlbcpsD").find(line[0]) == std::string::npos)
        return e;
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; words.size() < 5 && in >> w;)
        words.push_back(w);
    if (words.size() < 5)
        return e;
    e.recognised = true;
    e.plainFile = line[0] == '-';
    e.name = ExtractListingName(line);
    if (auto size = TryStrToInt64(words[4]); size && *size >= 0)
        e.size = *size;
    return e;
}

} // namespace

ListingEntry ParseListingLine(const std::string& line) {
    if (line.empty())
        return {};
    if (StartsWith(line, "total ")) {
        ListingEntry e;
        e.recognised = true;
        return e;
    }
    ListingEntry e = ParseUnixLine(line);
    if (e.recognised)
        return e;
    return ParseDosLine(line);
}

} // namespace kv
