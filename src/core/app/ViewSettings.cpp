// The window's view settings and language choice in the settings file.
#include "app/ViewSettings.h"

#include "app/AppState.h"
#include "config/SettingsSnapshot.h"
#include "config/SettingsWriter.h"

namespace kv {

ViewSettings ReadViewSettings(const AppState& state) {
    const SettingsSnapshot file = SettingsSnapshot::Read(state.IniPath);
    ViewSettings v;
    v.statusBar = file.Flag(keys::StatusBar);
    v.debugView = file.Flag(keys::DebugView);
    v.expert = file.Flag(keys::Expert);
    return v;
}

void StoreStatusBarShown(const AppState& state, bool shown) {
    SettingsWriter(state.IniPath).WriteFlag(keys::StatusBar, shown);
}

void StoreDebugViewShown(const AppState& state, bool shown) {
    SettingsWriter(state.IniPath).WriteFlag(keys::DebugView, shown);
}

void StoreLanguageChoice(AppState& state, const std::string& caption, const std::string& file) {
    SettingsWriter(state.IniPath)
        .Write({SettingValue(keys::Language, caption), SettingValue(keys::LanguageFile, file)});
    state.LanguageName = caption;
    state.LanguageFile = file;
}

} // namespace kv
