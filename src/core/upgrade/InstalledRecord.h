#pragma once
// The record of the last upgrade put in place ("Upgrade.uDONE" in the program
// folder): which published information it came from and the program's version
// before it. When the same information still offers an upgrade to a program
// of that same version, the upgrade did not raise the version (no new
// executable in the list, a version typo): it is reported once and not
// downloaded again until the published information changes, so a program
// upgrading itself at every start cannot loop.
#include <optional>
#include <string>

namespace kv {

struct InstalledRecord {
    std::string infoSha256;    // SHA-256 of the information file's text
    std::string versionBefore; // the program's version identity when it was put in place
    bool reported = false;     // the repeat has been reported
};

std::optional<InstalledRecord> ReadInstalledRecord(const std::string& home);
// Replaces the record atomically (a root run leaves it the folder owner's).
// Throws FileError when it cannot be written.
void WriteInstalledRecord(const std::string& home, const InstalledRecord& record);

// The version identity the record compares: number and date.
std::string VersionIdentity(const std::string& versionNumber, const std::string& versionDate);

enum class RepeatVerdict {
    NotARepeat,      // go on with the upgrade
    ReportNow,       // the same upgrade again: say so (once) and stop
    AlreadyReported, // the same upgrade again, said before: stop quietly
};
// Judges an available upgrade of the information whose text has infoSha256,
// offered to a program whose version identity is runningVersion; a ReportNow
// is recorded, so the next judgement says AlreadyReported.
RepeatVerdict JudgeRepeat(const std::string& home, const std::string& infoSha256,
                          const std::string& runningVersion);
// The text reported for a repeat.
std::string NotRaisedText(const std::string& publishedVersion, const std::string& runningVersion);

} // namespace kv
