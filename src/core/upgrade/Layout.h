#pragma once
// Where an upgrade puts each file, and whether this installation may upgrade
// itself at all. Program files go beside the running executable; the update
// script and language packs go into the program folder, where the program
// reads them (the two are one folder in a folder copied by hand, and two for
// an installed program working in ~/.local/share/korvane or $KORVANE_HOME).
// The program's own files (util/StateFiles.h) are never replaced.
#include <string>

namespace kv {

struct UpgradeFolders {
    std::string bin;  // the running executable's folder
    std::string home; // the program folder: settings, logs, update script, packs
};

enum class UpgradeDestination { Bin, Home };

// The folder a downloaded file named name goes to: the program folder for the
// update script ("update") and language packs ("kv*.ini"), beside the
// executable for everything else. Throws UpgradeError for a name that is one
// of the program's own files, or that is no plain file name.
UpgradeDestination DestinationOf(const std::string& name);
const std::string& FolderFor(const UpgradeFolders& folders, UpgradeDestination where);

// Tag of a destination in the list handed to the updater ("bin", "home"), and back.
const char* DestinationTag(UpgradeDestination where);
bool DestinationFromTag(const std::string& tag, UpgradeDestination* where);

// The URL to fetch for a file of the published list: an http or https URL as
// it is, a URL without a scheme with "http://" in front. Throws UpgradeError
// for any other scheme ("file:", "ftp://", "javascript:") and for a URL that
// names no server ("/etc/passwd", "http:///x", "http://user@:80/x").
std::string WebUrl(const std::string& url);
// The host of a URL with "://" (without user and port), "" when it has none.
std::string WebUrlHost(const std::string& url);

// The package manager's file lists (dpkg).
inline constexpr const char* kPackageDatabase = "/var/lib/dpkg/info";

// True when the executable belongs to the system's package manager: it lies
// in a folder only packages install into (/usr/bin, /usr/lib, /bin, ...; not
// /usr/local or /opt), or a file list of packageDatabase names it.
// Such an installation is upgraded with the package manager, never by itself,
// whoever runs it (root included).
bool OwnedByPackageManager(const std::string& executable,
                           const std::string& packageDatabase = kPackageDatabase);

// True when the user may create and replace files in folder (checked with the
// effective user, so an installation owned by root is refused for others).
bool FolderWritableByUser(const std::string& folder);

} // namespace kv
