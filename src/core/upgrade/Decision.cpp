// The version decision of the upgrade check and the texts it shows.
#include "upgrade/Decision.h"

#include "upgrade/Layout.h"
#include "util/Text.h"

#include <array>
#include <cstdlib>
#include <tuple>

namespace kv {

namespace {

std::array<std::string, 4> FourParts(const std::string& version) {
    std::array<std::string, 4> parts = {"0", "0", "0", "0"};
    size_t start = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
        size_t dot = version.find('.', start);
        parts[i] =
            version.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (dot == std::string::npos)
            break;
        start = dot + 1;
    }
    return parts;
}

using Ymd = std::tuple<int, int, int>;

bool ReadDate(const std::string& text, Ymd* out) {
    size_t a = text.find('/');
    size_t b = a == std::string::npos ? a : text.find('/', a + 1);
    if (b == std::string::npos)
        return false;
    auto m = TryStrToInt64(text.substr(0, a));
    auto d = TryStrToInt64(text.substr(a + 1, b - a - 1));
    auto y = TryStrToInt64(text.substr(b + 1));
    if (!m || !d || !y || *m < 1 || *m > 12 || *y < 1 || *y > 9999)
        return false;
    static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (*y % 4 == 0 && *y % 100 != 0) || *y % 400 == 0;
    int days = *m == 2 && !leap ? 28 : kDays[*m - 1];
    if (*d < 1 || *d > days)
        return false;
    *out = {static_cast<int>(*y), static_cast<int>(*m), static_cast<int>(*d)};
    return true;
}

Ymd DateOf(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday};
}

} // namespace

bool IsNewerByNumber(const std::string& published, const std::string& current) {
    auto pub = FourParts(published);
    auto cur = FourParts(current);
    for (size_t i = 0; i < pub.size(); ++i) {
        auto p = TryStrToInt64(pub[i]);
        auto c = TryStrToInt64(cur[i]);
        if (!p || !c)
            return published > current;
        if (*p != *c)
            return *p > *c;
    }
    return false;
}

bool IsNewerByDate(const std::string& published, const std::string& current, std::time_t today) {
    Ymd pub, cur;
    if (!ReadDate(published, &pub))
        pub = DateOf(today);
    if (!ReadDate(current, &cur))
        cur = DateOf(today);
    return pub > cur;
}

std::string NoUpdateText() {
    return "Newer version not found. You actually are\nusing most recent version of this program.";
}

std::string AskUpgradeText(const std::string& appTitle, const std::string& message) {
    std::string shown = message.empty() ? message : "\n" + message + "\n";
    return "A newer version of " + appTitle + " was released.\n" + shown +
           "\nDo you want to update your version with the latest one?";
}

UpgradeDecision Decide(const InfoFile& info, const UpgradeSettings& settings,
                       const std::string& appTitle, std::time_t now) {
    UpgradeDecision d;
    bool newer = settings.versionControl == VersionControl::byNumber
                     ? IsNewerByNumber(info.version, settings.versionNumber)
                     : IsNewerByDate(info.date, settings.versionDate, now);
    d.available = newer && !info.files.empty();
    if (!d.available) {
        d.showNoUpdate = (settings.showMessages & mNoUpdateAvailable) != 0;
        return d;
    }
    d.ask = (settings.showMessages & mAskUpgrade) != 0;
    if (d.ask)
        d.question = AskUpgradeText(appTitle, info.message);
    d.method = info.method;
    if (d.method == 2) {
        try {
            d.browserUrl = BrowserUrl(info);
        } catch (const UpgradeError& e) {
            d.refusal = e.what();
        }
    }
    return d;
}

std::string BrowserUrl(const InfoFile& info) {
    if (info.files.empty())
        return {};
    return WebUrl(info.files.front().url);
}

std::string BrowserOnlyText(const std::string& browserUrl) {
    return "A newer version is published at " + browserUrl +
           "; open that page to download it (nothing is opened without asking).";
}

std::string ChooseInfoFileUrl(const std::string& optionsHost) {
    if (const char* env = std::getenv("KORVANE_INFO_URL"); env && *env)
        return env;
    return optionsHost.substr(0, 7) == kInternalNetworkPrefix ? kInternalInfoFileUrl
                                                              : kPublicInfoFileUrl;
}

} // namespace kv
