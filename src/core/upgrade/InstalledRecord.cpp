// The record of the last upgrade put in place, and the repeat it rules out.
#include "upgrade/InstalledRecord.h"

#include "util/Errors.h"
#include "util/Fs.h"
#include "util/StateFiles.h"

namespace kv {

// Three lines: the information's SHA-256, the version before, "reported" or "new".
std::optional<InstalledRecord> ReadInstalledRecord(const std::string& home) {
    std::string text;
    try {
        text = ReadWholeFile(JoinPath(home, kInstalledRecordName));
    } catch (const FileError&) {
        return std::nullopt;
    }
    InstalledRecord r;
    size_t a = text.find('\n');
    size_t b = a == std::string::npos ? a : text.find('\n', a + 1);
    if (b == std::string::npos)
        return std::nullopt;
    r.infoSha256 = text.substr(0, a);
    r.versionBefore = text.substr(a + 1, b - a - 1);
    r.reported = text.compare(b + 1, 8, "reported") == 0;
    return r;
}

void WriteInstalledRecord(const std::string& home, const InstalledRecord& record) {
    AtomicWriteFile(JoinPath(home, kInstalledRecordName),
                    record.infoSha256 + "\n" + record.versionBefore + "\n" +
                        (record.reported ? "reported" : "new") + "\n",
                    0644, home);
}

std::string VersionIdentity(const std::string& versionNumber, const std::string& versionDate) {
    return versionNumber + " " + versionDate;
}

RepeatVerdict JudgeRepeat(const std::string& home, const std::string& infoSha256,
                          const std::string& runningVersion) {
    std::optional<InstalledRecord> r = ReadInstalledRecord(home);
    if (!r || infoSha256.empty() || r->infoSha256 != infoSha256 ||
        r->versionBefore != runningVersion)
        return RepeatVerdict::NotARepeat;
    if (r->reported)
        return RepeatVerdict::AlreadyReported;
    r->reported = true;
    try {
        WriteInstalledRecord(home, *r);
    } catch (const FileError&) {
        // Reported again at the next check: better than not at all.
    }
    return RepeatVerdict::ReportNow;
}

std::string NotRaisedText(const std::string& publishedVersion, const std::string& runningVersion) {
    return "The upgrade to version " + publishedVersion +
           " was put in place, but this program is still version " + runningVersion +
           ": the published files do not make the published version.\n\nIt is not downloaded "
           "again until the published upgrade changes. Please tell the program's supplier.";
}

} // namespace kv
