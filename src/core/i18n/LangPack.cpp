#include "i18n/LangPack.h"

#include "app/AppState.h"
#include "config/IniFile.h"
#include "util/Errors.h"
#include "util/Fs.h"
#include "util/Text.h"

#include <cstdio>

namespace kv {

std::string ReadLangMessage(const std::string& code, const std::string& packPath) {
    if (!FileExists(packPath))
        return {};
    return IniFile(packPath).ReadString("Messages", code);
}

std::string LangMessage(const AppState& state, const std::string& code) {
    return ReadLangMessage(code, state.LanguagePackPath());
}

void SplitOnce(const std::string& text, const std::string& separator,
               std::vector<std::string>& list) {
    list.clear();
    auto p = separator.empty() ? std::string::npos : text.find(separator);
    if (p == std::string::npos) {
        list.push_back(text);
        return;
    }
    list.push_back(text.substr(p + separator.size()));
    list.push_back(text.substr(0, p));
}

std::vector<std::pair<std::string, std::string>> ReadPackSection(const std::string& packPath,
                                                                 const std::string& section) {
    std::vector<std::pair<std::string, std::string>> out;
    if (!FileExists(packPath))
        return out;
    // IniFile already splits each line at its first "=" and trims both sides.
    for (auto& [key, value] : IniFile(packPath).ReadSectionLines(section))
        out.emplace_back(Trim(key), Trim(value));
    return out;
}

void SplitPackKey(const std::string& key, std::string& component, std::string& property) {
    auto dot = key.find('.');
    if (dot == std::string::npos) {
        component.clear();
        property = Trim(key);
        return;
    }
    component = Trim(std::string_view(key).substr(0, dot));
    property = Trim(std::string_view(key).substr(dot + 1));
}

std::vector<InstalledPack> ListLanguagePacks(const std::string& programDir) {
    std::vector<InstalledPack> packs;
    std::string folder = JoinPath(programDir, "Language");
    for (const auto& name : ListFolder(folder, "kv*.ini"))
        packs.push_back({name, IniFile(JoinPath(folder, name)).ReadString("Info", "Language")});
    return packs;
}

std::vector<std::string> MoveNewLanguagePacks(const std::string& programDir) {
    std::vector<std::string> stuck;
    std::string folder = JoinPath(programDir, "Language");
    for (const auto& name : ListFolder(programDir, "kv*.ini")) {
        std::string src = JoinPath(programDir, name);
        if (!DirectoryExists(folder)) {
            if (!ForceDirectories(folder)) {
                stuck.push_back(name);
                continue;
            }
            TakeFolderOwner(folder, programDir);
        }
        // Copy first, delete the source only once the copy is complete.
        try {
            CopyFileSafe(src, JoinPath(folder, name), true, true, programDir);
        } catch (const FileError&) {
            stuck.push_back(name);
            continue;
        }
        std::remove(src.c_str());
    }
    return stuck;
}

} // namespace kv
