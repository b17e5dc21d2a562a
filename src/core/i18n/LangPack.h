#pragma once
// Language packs: INI files "Language/kv*.ini" that give captions for windows
// and the texts of message codes. This is the part without windows: reading
// packs, message lookups, the list of installed packs, and moving newly
// delivered packs into place.
#include <string>
#include <utility>
#include <vector>

namespace kv {

struct AppState;

// Text of Messages/code in the pack, or "" (missing file, section or key).
std::string ReadLangMessage(const std::string& code, const std::string& packPath);
// The text of a code in the current pack (Language/ + LanguageFile, now).
std::string LangMessage(const AppState& state, const std::string& code);

// One split of text at the first separator: with a separator, entry 0 is the
// text after it and entry 1 the text before it; without, the whole text alone.
void SplitOnce(const std::string& text, const std::string& separator,
               std::vector<std::string>& list);

// The key = value lines of one window's section, in file order, each split at
// its first "=" and trimmed.
std::vector<std::pair<std::string, std::string>> ReadPackSection(const std::string& packPath,
                                                                 const std::string& section);
// A pack key "Component.Property" (or "Property" alone) as trimmed parts.
void SplitPackKey(const std::string& key, std::string& component, std::string& property);

struct InstalledPack {
    std::string file;    // name inside Language/, e.g. "kvchs.ini"
    std::string caption; // [Info] Language, as bytes from the file
};
// Installed packs matching "kv*.ini" (letter case ignored), ordered by file name.
std::vector<InstalledPack> ListLanguagePacks(const std::string& programDir);

// Moves every "kv*.ini" of the program folder into "Language/" (replacing a
// pack of the same name). A file that cannot be moved stays where it is.
// Returns the names that could not be moved.
std::vector<std::string> MoveNewLanguagePacks(const std::string& programDir);

} // namespace kv
