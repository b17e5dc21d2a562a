#pragma once
// One line of a remote folder's listing, in the UNIX "ls -l" format the usual
// servers send or in the DOS / IIS format ("01-05-26  10:15AM  1234 NAME").
#include <cstdint>
#include <string>

namespace kv {

struct ListingEntry {
    bool recognised = false; // the line has one of the two formats
    bool plainFile = false;  // a plain file (not a folder, link or device)
    std::string name;        // the name as ExtractListingName finds it (UNIX)
    int64_t size = -1;       // the size field, -1 when it is not a number
};

ListingEntry ParseListingLine(const std::string& line);

// The file name of a Unix long-listing line: the text after the eighth field,
// cut after its last "/". May contain blanks.
std::string ExtractListingName(const std::string& line);
// A listing name the cycle may use as a local file name: not empty, not "."
// or "..", no control character.
bool IsUsableListingName(const std::string& name);

} // namespace kv
