#pragma once
// Rewrites of outgoing files before upload: a flat header and trailer for the
// headerless files of the CNC102 folder, the own and the customs party in a
// flat header, and a UN/EDIFACT interchange joined into one line.
//
// Lines are read up to CR LF, CR or LF. Each rewrite streams the file into a
// hidden temporary file in the same folder, flushes it and renames it over the
// original, so a failure at any point (unreadable file, full disk, a header
// that cannot be edited) leaves the original untouched and nothing beside it.
#include "util/Errors.h"

#include <string>

namespace kv {

struct AppState;

// A file that changed while it was being rewritten, or that another program
// still holds open for writing: the rewrite was given up, the file is as it was.
class FileStillWrittenError : public KvError {
public:
    using KvError::KvError;
};

// A flat header that lacks the fields the rewrite needs.
class HeaderFieldsError : public KvError {
public:
    using KvError::KvError;
};

// Unless the first line starts with "00" or "UN": writes the header
// "00:CNC102:CNC102:9:" + FileSender + ":CUSTOM:" + yyyymmddhhnn + ":CNNGB'",
// every non-empty line, and the trailer "99:" + line count + "'", all ending in
// CR LF, then reports "INFO:File->" + path + " Add File Head Successfully!".
// Throws FileError when the file cannot be read or replaced.
void AddCnc102Header(AppState& state, const std::string& path);

// When the first line starts with "00:": puts FileSender in field 4 and
// "TOLMA" in field 5 of that line (':'-separated, counted from 0), by
// position; every line ends in CR LF afterwards. False, untouched, for other files.
// Throws HeaderFieldsError when the first line has fewer than six ':' fields,
// FileError when the file cannot be read or replaced.
bool SetFlatHeaderParties(AppState& state, const std::string& path);

// When the first line starts with "UNA" or "UNB": joins the non-empty lines
// into one, without any line break. False, untouched, for other files and for
// an interchange that is one line already.
// Throws FileError when the file cannot be read or replaced.
bool UnwrapEdifact(const std::string& path);

} // namespace kv
