#include "config/IniFile.h"

#include <cstdint>

#include "util/Errors.h"
#include "util/Fs.h"
#include "util/Text.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace kv {

namespace ini {

std::vector<Line> SplitLines(const std::string& text) {
    std::vector<Line> lines;
    size_t pos = 0;
    // A UTF-8 byte-order mark belongs to no line, so it cannot hide the first section.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        pos = 3;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        Line l;
        l.begin = pos;
        if (nl == std::string::npos) {
            l.end = text.size();
            l.textEnd = text.size();
        } else {
            l.end = nl + 1;
            l.textEnd = (nl > pos && text[nl - 1] == '\r') ? nl - 1 : nl;
        }
        lines.push_back(l);
        pos = l.end;
    }
    return lines;
}

bool SectionName(std::string_view line, std::string& name) {
    std::string t = Trim(line);
    if (t.empty() || t[0] != '[')
        return false;
    auto close = t.find(']');
    name = Trim(
        std::string_view(t).substr(1, close == std::string::npos ? std::string::npos : close - 1));
    return true;
}

bool KeyValue(std::string_view line, std::string& key, std::string& value) {
    std::string t = TrimLeft(line);
    if (t.empty() || t[0] == ';' || t[0] == '[')
        return false;
    auto eq = t.find('=');
    if (eq == std::string::npos)
        return false;
    key = Trim(std::string_view(t).substr(0, eq));
    if (key.empty())
        return false;
    value = Trim(std::string_view(t).substr(eq + 1));
    return true;
}

std::string Unquote(const std::string& value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

namespace {

struct SectionSpan {
    bool found = false;
    size_t headerLine = 0;
    size_t firstLine = 0; // first line after the header
    size_t endLine = 0;   // first line of the next section (or line count)
};

SectionSpan FindSection(const std::string& text, const std::vector<Line>& lines,
                        const std::string& section) {
    SectionSpan span;
    std::string name;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string_view lv(text.data() + lines[i].begin, lines[i].textEnd - lines[i].begin);
        if (!SectionName(lv, name))
            continue;
        if (span.found) {
            span.endLine = i;
            return span;
        }
        if (EqualsNoCase(name, section)) {
            span.found = true;
            span.headerLine = i;
            span.firstLine = i + 1;
        }
    }
    span.endLine = lines.size();
    return span;
}

std::string_view LineText(const std::string& text, const Line& l) {
    return std::string_view(text.data() + l.begin, l.textEnd - l.begin);
}

} // namespace

bool Lookup(const std::string& text, const std::string& section, const std::string& key,
            std::string& value) {
    auto lines = SplitLines(text);
    auto span = FindSection(text, lines, section);
    if (!span.found)
        return false;
    std::string k, v;
    for (size_t i = span.firstLine; i < span.endLine; ++i) {
        if (KeyValue(LineText(text, lines[i]), k, v) && EqualsNoCase(k, key)) {
            value = v;
            return true;
        }
    }
    return false;
}

std::string WithValue(const std::string& text, const std::string& section, const std::string& key,
                      const std::string& value) {
    auto lines = SplitLines(text);
    auto span = FindSection(text, lines, section);
    std::string out;
    if (span.found) {
        std::string k, v;
        for (size_t i = span.firstLine; i < span.endLine; ++i) {
            if (KeyValue(LineText(text, lines[i]), k, v) && EqualsNoCase(k, key)) {
                out = text.substr(0, lines[i].begin);
                out += k + "=" + value;
                out += text.substr(lines[i].textEnd);
                return out;
            }
        }
        // Append after the last non-blank line of the section.
        size_t last = span.headerLine;
        for (size_t i = span.firstLine; i < span.endLine; ++i)
            if (!Trim(LineText(text, lines[i])).empty())
                last = i;
        const Line& l = lines[last];
        out = text.substr(0, l.end);
        if (l.end == l.textEnd)
            out += "\r\n";
        out += key + "=" + value + "\r\n";
        out += text.substr(l.end);
        return out;
    }
    out = text;
    if (!out.empty() && out.back() != '\n')
        out += "\r\n";
    out += "[" + section + "]\r\n" + key + "=" + value + "\r\n";
    return out;
}

} // namespace ini

namespace {

// The file's text, or empty when it does not exist. Throws when it exists but
// cannot be read, so a write never replaces a file it could not see.
std::string LoadForWrite(const std::string& path, IniFile::Missing missing) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT && missing == IniFile::Missing::Create)
            return {};
        if (errno == ENOENT)
            throw IniError("The settings file " + path + " is missing; nothing was saved");
        throw IniError("Cannot read settings file " + path + ": " + ErrnoText(errno));
    }
    ::close(fd);
    try {
        return ReadWholeFile(path);
    } catch (const FileError& e) {
        throw IniError(e.what());
    }
}

std::string LoadForRead(const std::string& path) {
    try {
        return ReadWholeFile(path);
    } catch (const FileError&) {
        return {}; // a missing or unreadable file reads as empty, like the profile functions
    }
}

void CheckName(const std::string& what, const std::string& name) {
    if (name.empty() || name.find_first_of("\r\n") != std::string::npos ||
        (what == "key" && (name.find('=') != std::string::npos || Trim(name) != name)) ||
        (what == "section" && name.find(']') != std::string::npos))
        throw IniError("Invalid settings " + what + " name '" + name + "'");
}

} // namespace

std::string IniFile::ReadString(const std::string& section, const std::string& key,
                                const std::string& def) const {
    std::string v;
    if (!ini::Lookup(LoadForRead(path_), section, key, v))
        return def;
    return ini::Unquote(v);
}

int32_t IniFile::ReadInteger(const std::string& section, const std::string& key,
                             int32_t def) const {
    return ini::LeadingInteger(ReadString(section, key), def);
}

namespace ini {

int32_t LeadingInteger(const std::string& v, int32_t def) {
    size_t i = 0;
    bool neg = false;
    if (i < v.size() && (v[i] == '-' || v[i] == '+')) {
        neg = v[i] == '-';
        ++i;
    }
    size_t start = i;
    int64_t n = 0;
    while (i < v.size() && v[i] >= '0' && v[i] <= '9' && n < (int64_t(1) << 32)) {
        n = n * 10 + (v[i] - '0');
        ++i;
    }
    if (i == start)
        return def;
    // Out of range is not a number: no wrap-around to a small value.
    if (i < v.size() && v[i] >= '0' && v[i] <= '9')
        return def;
    n = neg ? -n : n;
    if (n < INT32_MIN || n > INT32_MAX)
        return def;
    return static_cast<int32_t>(n);
}

} // namespace ini

bool IniFile::SectionExists(const std::string& section) const {
    std::string text = LoadForRead(path_);
    std::string name;
    for (const auto& l : ini::SplitLines(text))
        if (ini::SectionName(std::string_view(text.data() + l.begin, l.textEnd - l.begin), name) &&
            EqualsNoCase(name, section))
            return true;
    return false;
}

bool IniFile::ValueExists(const std::string& section, const std::string& key) const {
    std::string v;
    return ini::Lookup(LoadForRead(path_), section, key, v);
}

std::vector<std::pair<std::string, std::string>>
IniFile::ReadSectionLines(const std::string& section) const {
    std::vector<std::pair<std::string, std::string>> out;
    std::string text = LoadForRead(path_);
    auto lines = ini::SplitLines(text);
    bool in = false;
    std::string name, k, v;
    for (const auto& l : lines) {
        std::string_view lv(text.data() + l.begin, l.textEnd - l.begin);
        if (ini::SectionName(lv, name)) {
            if (in)
                break;
            in = EqualsNoCase(name, section);
            continue;
        }
        if (in && ini::KeyValue(lv, k, v))
            out.emplace_back(k, v);
    }
    return out;
}

std::vector<std::string> IniFile::ReadSection(const std::string& section) const {
    std::vector<std::string> keys;
    for (auto& kv : ReadSectionLines(section))
        keys.push_back(kv.first);
    return keys;
}

void IniFile::WriteString(const std::string& section, const std::string& key,
                          const std::string& value) {
    WriteStrings({{section, key, value}});
}

void IniFile::WriteStrings(const std::vector<Value>& values, Missing missing) {
    for (const Value& v : values) {
        CheckName("section", v.section);
        CheckName("key", v.key);
        if (v.value.find_first_of("\r\n") != std::string::npos)
            throw IniError("Cannot store a line break in settings key " + v.section + "/" + v.key);
    }
    std::string text = LoadForWrite(path_, missing);
    std::string updated = text;
    for (const Value& v : values)
        updated = ini::WithValue(updated, v.section, v.key, v.value);
    if (updated == text)
        return;
    try {
        // A settings file that is a link is replaced at its target, so the
        // link stays; a new one is private (it holds the password). Written
        // by root, it stays its folder owner's (a service's settings).
        const std::string target = LinkTarget(path_);
        AtomicWriteFile(target, updated, 0600, FolderOf(target));
    } catch (const FileError& e) {
        throw IniError(std::string("Cannot save settings: ") + e.what());
    }
}

void IniFile::WriteInteger(const std::string& section, const std::string& key, int64_t value) {
    WriteString(section, key, IntToStr(value));
}

} // namespace kv
