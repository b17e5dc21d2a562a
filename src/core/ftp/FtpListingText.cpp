// LIST and MLSD lines made into typed listing entries.
#include "ftp/FtpListingText.h"

#include "util/Text.h"

#include <cctype>
#include <sstream>
#include <vector>

namespace kv::ftp {

std::string ExtractListingName(const std::string& line) {
    std::string s = line;
    for (int field = 0; field < 8 && !s.empty(); ++field) {
        // Blanks before a field pad the columns; the one after the eighth
        // (the time or year) only separates, so the name's own leading
        // blanks stay.
        size_t first = s.find_first_not_of(' ');
        s.erase(0, first == std::string::npos ? s.size() : first);
        size_t blank = s.find(' ');
        if (blank == std::string::npos)
            break; // fewer fields: the rest is the name
        s.erase(0, blank + 1);
    }
    size_t slash = s.rfind('/');
    if (slash != std::string::npos)
        s.erase(0, slash + 1);
    return s;
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

// Where the text after the first `fields` blank-separated words starts
// (blank runs count as one); with oneBlank only the one blank after the
// last word is skipped, so the name's own leading blanks stay.
size_t AfterWords(const std::string& line, int fields, bool oneBlank) {
    size_t p = 0;
    for (int i = 0; i < fields; ++i) {
        p = line.find_first_not_of(' ', p);
        if (p == std::string::npos)
            return std::string::npos;
        p = line.find(' ', p);
        if (p == std::string::npos)
            return std::string::npos;
    }
    if (oneBlank)
        return p + 1 < line.size() ? p + 1 : std::string::npos;
    return line.find_first_not_of(' ', p);
}

ListingLine ParseDosLine(const std::string& line) {
    ListingLine l;
    std::istringstream in(line);
    std::string date, time, sizeOrDir;
    if (!(in >> date >> time >> sizeOrDir) || !IsDosDate(date) || !IsDosTime(time))
        return l;
    // A size is right-aligned before the one blank that precedes the name;
    // "<DIR>" is padded after.
    const bool folder = sizeOrDir == "<DIR>";
    size_t nameAt = AfterWords(line, 3, !folder);
    if (nameAt == std::string::npos)
        return l;
    l.entry.name = line.substr(nameAt);
    if (folder) {
        l.recognised = l.hasEntry = true;
        l.entry.kind = RemoteKind::Folder;
        return l;
    }
    auto size = TryStrToInt64(sizeOrDir);
    if (!size || *size < 0)
        return l;
    l.recognised = l.hasEntry = true;
    l.entry.kind = RemoteKind::File;
    l.entry.size = *size;
    return l;
}

RemoteKind KindOfTypeLetter(char c) {
    switch (c) {
    case '-':
        return RemoteKind::File;
    case 'd':
        return RemoteKind::Folder;
    case 'l':
        return RemoteKind::Link;
    default:
        return RemoteKind::Other;
    }
}

ListingLine ParseUnixLine(const std::string& line) {
    ListingLine l;
    // Type letter and nine permission characters ("-rw-r--r--"), then fields.
    if (line.size() < 10 || std::string("-dlbcpsD").find(line[0]) == std::string::npos)
        return l;
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; words.size() < 5 && in >> w;)
        words.push_back(w);
    if (words.size() < 5)
        return l;
    l.recognised = l.hasEntry = true;
    l.entry.kind = KindOfTypeLetter(line[0]);
    l.entry.name = ExtractListingName(line);
    if (auto size = TryStrToInt64(words[4]); size && *size >= 0)
        l.entry.size = *size;
    return l;
}

// RFC 3659's time-val: "YYYYMMDDHHMMSS" with an optional ".fraction"; UTC.
std::string MlsdTime(const std::string& value) {
    if (!Digits(value, 0, 14) || (value.size() > 14 && value[14] != '.'))
        return "";
    return value.substr(0, 14);
}

} // namespace

ListingLine ParseListingLine(const std::string& line) {
    if (line.empty())
        return {};
    if (StartsWith(line, "total ")) {
        ListingLine l;
        l.recognised = true;
        return l;
    }
    ListingLine l = ParseUnixLine(line);
    if (l.recognised)
        return l;
    return ParseDosLine(line);
}

ListingLine ParseMlsdLine(const std::string& line) {
    ListingLine l;
    // The facts end at the first blank; everything after that one blank is
    // the name, blanks included.
    const size_t blank = line.find(' ');
    if (blank == std::string::npos || blank + 1 >= line.size())
        return l;
    const std::string facts = line.substr(0, blank);
    l.entry.name = line.substr(blank + 1);
    RemoteEntry& e = l.entry;
    for (size_t at = 0; at < facts.size();) {
        size_t end = facts.find(';', at);
        if (end == std::string::npos)
            return {}; // every fact ends with ';'
        const std::string fact = facts.substr(at, end - at);
        at = end + 1;
        const size_t eq = fact.find('=');
        if (eq == std::string::npos || eq == 0)
            return {};
        const std::string key = LowerCase(fact.substr(0, eq));
        const std::string value = fact.substr(eq + 1);
        if (key == "type") {
            const std::string type = LowerCase(value);
            if (type == "file")
                e.kind = RemoteKind::File;
            else if (type == "dir" || type == "cdir" || type == "pdir")
                e.kind = RemoteKind::Folder;
            else if (type == "os.unix=symlink" || StartsWith(type, "os.unix=slink"))
                e.kind = RemoteKind::Link;
            else
                e.kind = RemoteKind::Other;
        } else if (key == "size") {
            if (auto size = TryStrToInt64(value); size && *size >= 0)
                e.size = *size;
        } else if (key == "modify") {
            e.time = MlsdTime(value);
        }
    }
    l.recognised = l.hasEntry = true;
    return l;
}

} // namespace kv::ftp
