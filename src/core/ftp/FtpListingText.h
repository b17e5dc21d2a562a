#pragma once
// The texts of FTP listings made into typed entries: LIST lines in the UNIX
// "ls -l" form the usual servers send or in the DOS / IIS form
// ("01-05-26  10:15AM  1234 NAME"), and MLSD / MLST lines (RFC 3659), whose
// facts give exact names, sizes and UTC times.
#include "remote/RemoteListing.h"

#include <string>

namespace kv::ftp {

struct ListingLine {
    bool recognised = false; // the line has a known format
    bool hasEntry = false;   // it names an entry ("total 12" names none)
    RemoteEntry entry;
};

// A LIST line; its time is left unknown (LIST's times are local and coarse).
ListingLine ParseListingLine(const std::string& line);

// The file name of a UNIX long-listing line: the text after the eighth field
// and the one blank that ends it, cut after its last "/". Blanks inside and
// around the name stay.
std::string ExtractListingName(const std::string& line);

// An MLSD line: "fact=value;...; name". Unrecognised without a name or
// with facts that are not "name=value;".
ListingLine ParseMlsdLine(const std::string& line);

} // namespace kv::ftp
