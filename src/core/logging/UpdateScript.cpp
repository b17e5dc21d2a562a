#include "logging/UpdateScript.h"

#include "app/AppState.h"
#include "config/SettingsSnapshot.h"
#include "config/SettingsWriter.h"
#include "logging/Logs.h"
#include "util/Errors.h"
#include "util/Fs.h"
#include "util/Text.h"

#include <charconv>

namespace kv {

std::vector<std::string> SplitUpdateLine(const std::string& line) {
    std::vector<std::string> fields;
    std::string cur;
    char quote = 0;
    for (char c : line) {
        if (quote) {
            cur.push_back(c);
            if (c == quote)
                quote = 0;
        } else if (c == '$') {
            if (!cur.empty())
                fields.push_back(std::move(cur));
            cur.clear();
        } else {
            if (c == '\'' || c == '"')
                quote = c;
            cur.push_back(c);
        }
    }
    if (!cur.empty())
        fields.push_back(std::move(cur));
    return fields;
}

std::optional<double> ParseVersionNumber(const std::string& text) {
    std::string t = Trim(text);
    if (t.empty())
        return std::nullopt;
    const char* b = t.data();
    const char* e = t.data() + t.size();
    if (*b == '+')
        ++b;
    double v = 0;
    auto [p, ec] = std::from_chars(b, e, v, std::chars_format::general);
    if (ec != std::errc() || p != e)
        return std::nullopt;
    return v;
}

namespace {

std::vector<std::string> SplitScriptLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        size_t end = nl == std::string::npos ? text.size() : nl;
        std::string l = text.substr(pos, end - pos);
        if (!l.empty() && l.back() == '\r')
            l.pop_back();
        lines.push_back(std::move(l));
        pos = nl == std::string::npos ? text.size() : nl + 1;
    }
    return lines;
}

bool UsableName(const std::string& name, bool isKey) {
    if (name.empty() || name.find_first_of("\r\n") != std::string::npos)
        return false;
    if (isKey)
        return name.find('=') == std::string::npos && Trim(name) == name;
    return name.find(']') == std::string::npos;
}

void Execute(SettingsWriter& writer, const std::vector<std::string>& f) {
    std::string cmd = UpperCase(f[0]);
    const std::string& section = f[1];
    const std::string& key = f[2];
    const std::string& value = f[3];
    // A line the settings file cannot hold is as malformed as a short one.
    if (!UsableName(section, false) || !UsableName(key, true) ||
        value.find_first_of("\r\n") != std::string::npos)
        return;
    // A line may change what the next one finds: each reads the file anew.
    const SettingKey target(section, key);
    const bool stored = !SettingsSnapshot::Read(writer.Path()).Text(target).empty();
    if (cmd == "WRITE" || (cmd == "ADD" && !stored) || (cmd == "CHANGE" && stored))
        writer.Write({{section, key, value}});
}

} // namespace

void ApplyUpdateScript(AppState& state) {
    SettingsWriter writer(state.IniPath);
    double recorded =
        ParseVersionNumber(SettingsSnapshot::Read(state.IniPath).Text(keys::VersionNumber))
            .value_or(0.0);
    auto current = ParseVersionNumber(state.ProgramVersion);
    if (!current)
        throw FloatConversionError(state.ProgramVersion);
    if (recorded >= *current)
        return;
    writer.Write(keys::VersionNumber, state.ProgramVersion);

    std::string script = state.PathInProgramDir("update");
    if (!FileExists(script))
        return;
    std::string text = ReadWholeFile(script);
    auto lines = SplitScriptLines(text);
    if (!lines.empty() && lines[0] == ";END")
        return;
    std::string backup = script + ".old";
    CopyFileSafe(script, backup, true, true, state.ProgramDir);
    AtomicWriteFile(script, ";END\r\n", 0644, state.ProgramDir);

    lines = SplitScriptLines(ReadWholeFile(backup));
    for (size_t i = 1; i < lines.size(); ++i) {
        auto fields = SplitUpdateLine(lines[i]);
        if (fields.size() >= 4)
            Execute(writer, fields);
    }
    ReportMessage(state, InfoLine(state, "Program Update Sucess!"), true, false);
}

} // namespace kv
