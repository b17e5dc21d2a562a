// The window's view settings and language choice in the settings file.
#include "app/ViewSettings.h"

#include "app/AppState.h"
#include "config/IniFile.h"
#include "config/SettingsKeys.h"

namespace kv {

ViewSettings ReadViewSettings(const AppState& state) {
    IniFile ini(state.IniPath);
    ViewSettings v;
    v.statusBar = ReadFlag(ini, keys::StatusBar);
    v.debugView = ReadFlag(ini, keys::DebugView);
    v.expert = ReadFlag(ini, keys::Expert);
    return v;
}

void StoreStatusBarShown(const AppState& state, bool shown) {
    IniFile ini(state.IniPath);
    WriteFlag(ini, keys::StatusBar, shown);
}

void StoreDebugViewShown(const AppState& state, bool shown) {
    IniFile ini(state.IniPath);
    WriteFlag(ini, keys::DebugView, shown);
}

void StoreLanguageChoice(AppState& state, const std::string& caption, const std::string& file) {
    IniFile(state.IniPath)
        .WriteStrings(
            {SettingValue(keys::Language, caption), SettingValue(keys::LanguageFile, file)});
    state.LanguageName = caption;
    state.LanguageFile = file;
}

} // namespace kv
