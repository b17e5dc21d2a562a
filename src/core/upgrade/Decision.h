#pragma once
// Whether a published version is newer than the running one, and what the
// check does then: the no-update box, the question to the user, method 2's
// browser URL. Also the choice of the information file's URL at start-up.
#include "upgrade/InfoFile.h"

#include <ctime>
#include <string>

namespace kv {

// Message kinds the component may show (a set of bits).
enum MessageKind : unsigned {
    mAskUpgrade = 1u << 0,
    mConnLost = 1u << 1,
    mHostUnreachable = 1u << 2,
    mLostFile = 1u << 3,
    mNoInfoFile = 1u << 4,
    mNoUpdateAvailable = 1u << 5,
    mPasswordRequest = 1u << 6,
};
using MessageSet = unsigned;

// What the start-up check and the manual check (Check New Version) allow,
// when message boxes are allowed at all (otherwise the empty set).
inline constexpr MessageSet kStartupCheckMessages =
    mAskUpgrade | mConnLost | mLostFile | mPasswordRequest;
inline constexpr MessageSet kManualCheckMessages = kStartupCheckMessages | mNoUpdateAvailable;

enum class VersionControl { byNumber, byDate };

struct UpgradeSettings {
    std::string infoFileUrl;
    VersionControl versionControl = VersionControl::byNumber;
    std::string versionNumber = "1.42";
    std::string versionDate = "10/10/2005";
    std::string restartParams = "/afterupgrade";
    MessageSet showMessages = 0;
};

// By number: four parts split at "." (missing parts "0") compared as integers,
// the first differing part deciding; when a compared part is not an integer
// the whole texts are compared as byte strings.
bool IsNewerByNumber(const std::string& published, const std::string& current);
// By date (month/day/year): a published date that cannot be read counts as today.
bool IsNewerByDate(const std::string& published, const std::string& current, std::time_t today);

inline constexpr const char* kUpdateWizardCaption = "Application update wizard";
inline constexpr const char* kAskYesButton = "&Yes";
inline constexpr const char* kAskLaterButton = "&Later";
std::string NoUpdateText();
// The question's text: appTitle for the first %s, the "message" value (between
// two line feeds when not empty) for the second.
std::string AskUpgradeText(const std::string& appTitle, const std::string& message);

struct UpgradeDecision {
    bool available = false;    // newer and the file list is not empty
    bool showNoUpdate = false; // the information box NoUpdateText()
    bool ask = false;          // the question window with AskUpgradeText()
    std::string question;
    int method = 0;
    std::string browserUrl; // method 2: the first URL to open in the browser
    std::string refusal;    // method 2: why browserUrl may not be opened (not http or https)
};

UpgradeDecision Decide(const InfoFile& info, const UpgradeSettings& settings,
                       const std::string& appTitle, std::time_t now);

// Method 2: the first URL, with "http://" in front when it has no scheme.
// Throws UpgradeError for a scheme other than http and https, or a URL that
// names no server (WebUrl).
std::string BrowserUrl(const InfoFile& info);
// Method 2 when the user cannot be asked (message boxes off): nothing is
// opened; this line for the log says where the new version is.
std::string BrowserOnlyText(const std::string& browserUrl);

// The information file's URL chosen at start-up from Options/Host: the
// internal server's when the host starts with the internal network's
// seven-character prefix, the public server's otherwise. $KORVANE_INFO_URL,
// when set, overrides both (test installations, mirrors).
std::string ChooseInfoFileUrl(const std::string& optionsHost);

inline constexpr const char* kInternalNetworkPrefix = "10.128.";
inline constexpr const char* kInternalInfoFileUrl =
    "https://upgrade.korvane.internal/webfile/ediwebfile/download/kv/kv169.inf";
inline constexpr const char* kPublicInfoFileUrl =
    "https://www.korvane.com/webfile/ediwebfile/download/kv/kv.inf";

} // namespace kv
