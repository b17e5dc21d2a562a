#pragma once
// The window's own settings: the two view switches and the Expert
// Preferences item, read at start and written when the View menu changes
// them, and the language chosen in the Language menu.
#include <string>

namespace kv {

struct AppState;

struct ViewSettings {
    bool statusBar = false; // View/StatusBar
    bool debugView = false; // View/DebugView
    bool expert = false;    // System/Expert: the Expert Preferences item is shown
};

ViewSettings ReadViewSettings(const AppState& state);
// Written as the integers 1 and 0.
void StoreStatusBarShown(const AppState& state, bool shown);
void StoreDebugViewShown(const AppState& state, bool shown);

// Stores the pack chosen in the Language menu (Options/Language as the pack
// writes its caption, Options/LanguageFile), both or neither, then takes them
// into the state. Throws IniError (the state unchanged) when the file cannot
// take them.
void StoreLanguageChoice(AppState& state, const std::string& caption, const std::string& file);

} // namespace kv
