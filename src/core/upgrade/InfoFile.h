#pragma once
// The upgrade information file that the program's web server publishes: its
// keys, the list of files to download with their optional checksums, and the
// size limit beyond which the file is refused.
#include "util/Errors.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

// A failure of the upgrade check; what() is the text shown to the user.
class UpgradeError : public KvError {
public:
    using KvError::KvError;
};

// An information file larger than this is refused (it is a few lines of text).
inline constexpr int64_t kMaxInfoFileBytes = 64 * 1024;

// At most this many files are taken from the list (an upgrade has a handful;
// the bound keeps a hostile file from costing a search per key).
inline constexpr size_t kMaxInfoFiles = 100;

// One file to download: its URL and the SHA-256 the file must have (lower-case
// hex as published, trimmed; empty when the file has no checksum key).
struct InfoFileEntry {
    std::string url;
    std::string sha256;
};

struct InfoFile {
    std::string version; // "version"
    std::string date;    // "date", month/day/year
    std::string message; // "message", between braces, may span lines
    int method = 0;      // "method": 1, 2, anything else 0
    std::vector<InfoFileEntry> files;
};

// The value of a key: the text after the first "#" + key + "=" (letters
// compared without regard to case) up to the first character below code 32.
// Empty when the key is missing.
std::string InfoValue(std::string_view text, std::string_view key);

// The "message" value: the text after "#message={" up to the first "}".
std::string InfoMessage(std::string_view text);

// Reads a whole information file. The file list is "url" if not empty, then
// "url0" if not empty, then, with c files so far, "url" + (c + 1), (c + 2), ...
// until one is missing or empty, at most kMaxInfoFiles. Each file's checksum key follows the same
// numbering ("sha256", "sha2560", "sha256" + n). Throws UpgradeError when the
// text is larger than kMaxInfoFileBytes.
InfoFile ParseInfoFile(std::string_view text);

// True while a transfer of an information file of this many bytes may go on.
bool InfoFileSizeAllowed(int64_t bytes);
// The message of an information file refused for its size.
std::string InfoFileTooLargeMessage();

} // namespace kv
