#pragma once
// Classification of EDI files: the sender, receiver and type texts that the
// transfer log records for every file. Two kinds of file are known by their
// name (zipped bundles, fixed-format customs files); every other file by its
// content: a flat "00:" header, a UN/EDIFACT interchange or an XML document.
//
// Lines end at LF; every CR is dropped from the line it stands in. The content
// is read once, front to back, in fixed-size pieces, and reading stops as soon
// as every requested text is known, so neither the file's size nor the length
// of its lines changes the memory used beyond the texts found.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

enum class Direction { Incoming, Outgoing };

struct Classification {
    bool ok = true; // false when the file could not be opened or read
    std::string sender;
    std::string receiver;
    std::string type;
};

// The whole classification of one file. name is the file's bare name as the
// transfer knows it (remote listing or local outbox); path is the local copy.
// When the file cannot be opened or read: ok false and all three "UNKNOWN".
Classification ClassifyFile(const std::string& path, const std::string& name, Direction direction);
// The same with the name taken from the path.
Classification ClassifyFile(const std::string& path, Direction direction);

// The two name rules alone: "CN_*.ZIP" bundles and "CUS*.EAT" fixed-format
// files. False (and the texts untouched) when neither applies.
bool ClassifyByName(const std::string& name, Direction direction, Classification& out);

// One content text each. Throw FileError when the file cannot be opened or read.
std::string FindSender(const std::string& path);
std::string FindReceiver(const std::string& path);
std::string FindMessageType(const std::string& path);

// Appends the fields of text, divided at sep, to list (which the caller owns
// and clears). One "'" ending the last field is removed. False, and nothing
// appended, when text is empty.
bool SplitFields(std::string_view text, char sep, std::vector<std::string>& list);

// The content scan behind the functions above, for callers that hold an open
// file and for tests that need small read sizes.
enum ContentPart : unsigned { kSenderPart = 1, kReceiverPart = 2, kTypePart = 4, kAllParts = 7 };
inline constexpr size_t kScanReadSize = 256 * 1024;

struct ContentTexts {
    std::string sender = "UNKNOWN";
    std::string receiver = "UNKNOWN";
    std::string type = "UNKNOWN";
};

// Reads fd from offset 0 with reads of at most readSize bytes and finds the
// requested parts (the others stay "UNKNOWN"). fd must allow pread: a value
// that started in an earlier piece is fetched back by its offset. Throws
// FileError naming displayName when a read fails.
ContentTexts ScanContent(int fd, const std::string& displayName, unsigned parts = kAllParts,
                         size_t readSize = kScanReadSize);

} // namespace kv
