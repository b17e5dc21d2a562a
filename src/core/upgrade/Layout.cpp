// Where an upgrade's files go, which URLs it fetches, and which installations
// never upgrade themselves.
#include "upgrade/Layout.h"

#include "upgrade/InfoFile.h"
#include "util/Fs.h"
#include "util/StateFiles.h"
#include "util/Text.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace kv {

UpgradeDestination DestinationOf(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        throw UpgradeError("The upgrade information names no file in \"" + name +
                           "\". Please try to upgrade this software again later.");
    // The update script is one of the program's own files that an upgrade
    // brings on purpose: the first start of the new version applies it.
    if (name == kUpdateScriptName)
        return UpgradeDestination::Home;
    if (std::string kind = StateFileKind(name); !kind.empty())
        throw UpgradeError("The upgrade information names " + name + ", " + kind +
                           " of this program, which an upgrade never replaces. Nothing was "
                           "downloaded. Please try to upgrade this software again later.");
    if (WildcardMatchNoCase("kv*.ini", name))
        return UpgradeDestination::Home;
    return UpgradeDestination::Bin;
}

const std::string& FolderFor(const UpgradeFolders& folders, UpgradeDestination where) {
    return where == UpgradeDestination::Home ? folders.home : folders.bin;
}

const char* DestinationTag(UpgradeDestination where) {
    return where == UpgradeDestination::Home ? "home" : "bin";
}

bool DestinationFromTag(const std::string& tag, UpgradeDestination* where) {
    if (tag == "home")
        *where = UpgradeDestination::Home;
    else if (tag == "bin")
        *where = UpgradeDestination::Bin;
    else
        return false;
    return true;
}

std::string WebUrl(const std::string& url) {
    // A scheme is letters, digits, "+", "-" and "." after a letter, then ":".
    size_t colon = url.find(':');
    bool hasScheme =
        colon != std::string::npos && colon > 0 && std::isalpha(static_cast<unsigned char>(url[0]));
    for (size_t i = 0; hasScheme && i < colon; ++i) {
        const char c = url[i];
        hasScheme = std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
    }
    // "host:8080/x" is a host and a port, not a scheme.
    if (hasScheme && url.compare(colon, 3, "://") != 0 && colon + 1 < url.size() &&
        std::isdigit(static_cast<unsigned char>(url[colon + 1])))
        hasScheme = false;
    std::string web;
    if (!hasScheme) {
        web = "http://" + url;
    } else {
        const std::string scheme = LowerCase(url.substr(0, colon));
        if ((scheme != "http" && scheme != "https") || url.compare(colon, 3, "://") != 0)
            throw UpgradeError("The upgrade information names " + url +
                               ", which is not an HTTP or HTTPS address, so nothing was "
                               "downloaded or opened. Please try to upgrade this software "
                               "again later.");
        web = url;
    }
    if (WebUrlHost(web).empty())
        throw UpgradeError("The upgrade information names " + url +
                           ", which names no server, so nothing was downloaded or opened. "
                           "Please try to upgrade this software again later.");
    return web;
}

std::string WebUrlHost(const std::string& url) {
    const size_t start = url.find("://");
    if (start == std::string::npos)
        return {};
    std::string authority = url.substr(start + 3);
    authority = authority.substr(0, authority.find_first_of("/?#\\"));
    if (size_t at = authority.rfind('@'); at != std::string::npos)
        authority = authority.substr(at + 1);
    if (!authority.empty() && authority[0] == '[') { // an IPv6 address
        const size_t end = authority.find(']');
        return end == std::string::npos || end == 1 ? std::string() : authority.substr(0, end + 1);
    }
    return authority.substr(0, authority.find(':'));
}

namespace {

bool ListedIn(const std::string& listText, const std::string& path) {
    if (path.empty())
        return false;
    const std::string line = "\n" + path + "\n";
    return ("\n" + listText).find(line) != std::string::npos;
}

} // namespace

bool OwnedByPackageManager(const std::string& executable, const std::string& packageDatabase) {
    char buf[PATH_MAX];
    const std::string resolved = ::realpath(executable.c_str(), buf) ? buf : executable;
    // The folders only a package manager installs programs in.
    for (const std::string& path : {executable, resolved})
        for (const char* folder : {"/usr/bin/", "/usr/sbin/", "/usr/libexec/", "/usr/games/",
                                   "/usr/lib/", "/usr/lib64/", "/usr/lib32/", "/bin/", "/sbin/"})
            if (StartsWith(path, folder))
                return true;
    for (const std::string& list : ListFolder(packageDatabase, "*.list")) {
        std::string text;
        try {
            text = ReadWholeFile(JoinPath(packageDatabase, list));
        } catch (const FileError&) {
            continue;
        }
        if (ListedIn(text, executable) || ListedIn(text, resolved))
            return true;
    }
    return false;
}

bool FolderWritableByUser(const std::string& folder) {
    return ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

} // namespace kv
