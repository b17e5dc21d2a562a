// Reading the upgrade information file: keys found by a case-blind search of
// the whole text, the first occurrence counting.
#include "upgrade/InfoFile.h"

#include "util/Text.h"

namespace kv {

namespace {

// Offset just past the first occurrence of needle (ASCII letters compared
// without regard to case), or npos.
size_t FindAfterNoCase(std::string_view text, std::string_view needle) {
    if (needle.size() > text.size())
        return std::string_view::npos;
    for (size_t i = 0; i + needle.size() <= text.size(); ++i) {
        if (EqualsNoCase(text.substr(i, needle.size()), needle))
            return i + needle.size();
    }
    return std::string_view::npos;
}

std::string UrlKeyValue(std::string_view text, const std::string& suffix, std::string* sha) {
    *sha = Trim(InfoValue(text, "sha256" + suffix));
    *sha = LowerCase(*sha);
    return InfoValue(text, "url" + suffix);
}

} // namespace

std::string InfoValue(std::string_view text, std::string_view key) {
    size_t at = FindAfterNoCase(text, "#" + std::string(key) + "=");
    if (at == std::string_view::npos)
        return {};
    size_t end = at;
    while (end < text.size() && static_cast<unsigned char>(text[end]) >= 32)
        ++end;
    return std::string(text.substr(at, end - at));
}

std::string InfoMessage(std::string_view text) {
    size_t at = FindAfterNoCase(text, "#message={");
    if (at == std::string_view::npos)
        return {};
    size_t end = text.find('}', at);
    if (end == std::string_view::npos)
        end = text.size();
    return std::string(text.substr(at, end - at));
}

bool InfoFileSizeAllowed(int64_t bytes) {
    return bytes <= kMaxInfoFileBytes;
}

std::string InfoFileTooLargeMessage() {
    return "The upgrade information file is larger than " + IntToStr(kMaxInfoFileBytes / 1024) +
           " KB and was refused. Please try to upgrade this software again later.";
}

InfoFile ParseInfoFile(std::string_view text) {
    if (!InfoFileSizeAllowed(static_cast<int64_t>(text.size())))
        throw UpgradeError(InfoFileTooLargeMessage());
    InfoFile info;
    info.version = InfoValue(text, "version");
    info.date = InfoValue(text, "date");
    info.message = InfoMessage(text);
    std::string method = InfoValue(text, "method");
    info.method = method.empty() ? 0 : method[0] == '1' ? 1 : method[0] == '2' ? 2 : 0;

    for (const char* suffix : {"", "0"}) {
        InfoFileEntry e;
        e.url = UrlKeyValue(text, suffix, &e.sha256);
        if (!e.url.empty())
            info.files.push_back(std::move(e));
    }
    // Every further key needs one more byte of text, so the text's size bounds the loop.
    for (size_t n = info.files.size() + 1; n <= text.size(); ++n) {
        InfoFileEntry e;
        e.url = UrlKeyValue(text, IntToStr(static_cast<int64_t>(n)), &e.sha256);
        if (e.url.empty())
            break;
        info.files.push_back(std::move(e));
    }
    return info;
}

} // namespace kv
