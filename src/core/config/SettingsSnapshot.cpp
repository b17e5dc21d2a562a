// The settings file read whole, and the typed reads of the table's keys.
#include "config/SettingsSnapshot.h"

#include "config/IniFile.h"
#include "util/Errors.h"
#include "util/Fs.h"
#include "util/Text.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <optional>
#include <thread>
#include <unistd.h>

namespace kv {

namespace {

std::string MapKey(std::string_view section, const std::string& key) {
    return UpperCase(std::string(section)) + "\n" + UpperCase(key);
}

// The file's bytes; nullopt when it does not exist. Any other failure throws.
std::optional<std::string> LoadSettingsText(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return std::nullopt;
        throw IniError("Cannot read the settings file " + path + ": " + ErrnoText(errno));
    }
    // Read from the file opened: a save by rename in between cannot turn a
    // missing file into a read error.
    std::string text;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            text.append(buf, static_cast<size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            const int err = errno;
            ::close(fd);
            throw IniError("Cannot read the settings file " + path + ": " + ErrnoText(err));
        }
    }
    ::close(fd);
    return text;
}

} // namespace

SettingsSnapshot::SettingsSnapshot(std::string path, const std::string& text)
    : path_(std::move(path)) {
    std::string section, k, v;
    for (const ini::Line& l : ini::SplitLines(text)) {
        std::string_view line(text.data() + l.begin, l.textEnd - l.begin);
        if (ini::SectionName(line, section))
            continue;
        if (section.empty() || !ini::KeyValue(line, k, v))
            continue;
        values_.emplace(MapKey(section, k), v); // the first of duplicates wins
    }
}

SettingsSnapshot SettingsSnapshot::Read(const std::string& path) {
    // A save by delete and rename leaves the file missing for a moment.
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (auto text = LoadSettingsText(path))
            return SettingsSnapshot(path, *text);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    throw IniError("The settings file " + path +
                   " is missing; nothing was done. Restore it (kvini.bak beside it is the last "
                   "copy the program read) or make one with korvaned INIT");
}

SettingsSnapshot SettingsSnapshot::ReadIfPresent(const std::string& path) {
    auto text = LoadSettingsText(path);
    return SettingsSnapshot(path, text ? *text : std::string());
}

SettingsSnapshot SettingsSnapshot::FromText(std::string path, const std::string& text) {
    return SettingsSnapshot(std::move(path), text);
}

const std::string* SettingsSnapshot::Find(const SettingKey& key) const {
    auto it = values_.find(MapKey(key.section, key.Name()));
    return it == values_.end() ? nullptr : &it->second;
}

std::string SettingsSnapshot::Text(const SettingKey& key) const {
    const std::string* v = Find(key);
    return v ? ini::Unquote(*v) : std::string();
}

std::string SettingsSnapshot::TextOrAbsent(const SettingKey& key) const {
    std::string value = Text(key);
    return value.empty() ? std::string(key.absent) : value;
}

bool SettingsSnapshot::Has(const SettingKey& key) const {
    return Find(key) != nullptr;
}

bool SettingsSnapshot::Flag(const SettingKey& key) const {
    return FlagOn(key, Text(key));
}

int64_t SettingsSnapshot::Number(const SettingKey& key) const {
    const std::string value = Text(key);
    if (key.bad == BadValue::Leading)
        return ini::LeadingInteger(value.empty() ? std::string(key.absent) : value, 0);
    const std::string text = value.empty() ? std::string(key.absent) : value;
    int64_t n = 0;
    bool ok = true;
    try {
        n = StrToInt(text);
    } catch (const ConversionError&) {
        ok = false;
    }
    if (ok && n >= key.min && n <= key.max)
        return n;
    if (key.bad == BadValue::UseAbsent && !key.absent.empty())
        return StrToInt(std::string(key.absent));
    throw ConversionError(value, key.Path());
}

} // namespace kv
