#pragma once
// The texts the SFTP session makes from what the server answers: listing
// lines in the UNIX "ls -l" form, modification times in the form of FTP's
// MDTM, host-key fingerprints as ssh-keygen prints them, and the FTP reply
// codes and texts of SFTP status codes. Pure functions.
#include "remote/RemoteErrors.h"

#include <cstdint>
#include <ctime>
#include <string>

namespace kv::sftp {

// "-rw-r--r-- 1 1000 1000 1234 Jan 05 10:15 NAME" from a file's mode
// (permissions and type bits), numeric owner and group, size and
// modification time; times more than six months from now show the year
// instead of the time, as "ls -l" does. UTC.
std::string ListingLine(const std::string& name, unsigned long mode, unsigned long uid,
                        unsigned long gid, int64_t size, std::time_t mtime, std::time_t now);
// "YYYYMMDDHHMMSS" in UTC, as FTP's MDTM answers.
std::string ModificationTime(std::time_t mtime);
// "SHA256:" and the unpadded base64 of a 32-byte SHA-256 digest.
std::string Fingerprint(const unsigned char* sha256);
// A fingerprint setting in the form Fingerprint gives (blanks around it and
// base64 padding are dropped); empty when the text is not one.
std::string NormalFingerprint(const std::string& setting);
// The FTP reply code an SFTP status stands for: 550 for a missing file or
// folder, 553 for a refusal (permission, name, existing file), 451 for the
// server's own failures.
int ReplyCodeOf(unsigned long status);
// The reason an SFTP status stands for (as the FTP code above).
RemoteRefusal RefusalOf(unsigned long status);
// "No such file", "Permission denied", ... for an SFTP status code.
std::string StatusText(unsigned long status);
// Whether a path part holds a name pattern ("*", "?" or "[").
bool IsPattern(const std::string& part);
// a joined with b by one "/" ("" and "." in a give b alone; b absolute stays).
std::string JoinRemote(const std::string& a, const std::string& b);

} // namespace kv::sftp
