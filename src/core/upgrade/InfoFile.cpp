// Reading the upgrade information file: keys found by a case-blind search of
// the whole text, the first occurrence counting.
#include "upgrade/InfoFile.h"

#include "util/Text.h"

namespace kv {

namespace {

// The text with ASCII letters in lower case, searched in place of the text so
// that keys are found without regard to case at the same offsets.
struct SearchText {
    std::string_view text;
    std::string lower;
    explicit SearchText(std::string_view t) : text(t), lower(LowerCase(t)) {}

    size_t After(const std::string& needle) const {
        size_t at = lower.find(LowerCase(needle));
        return at == std::string::npos ? at : at + needle.size();
    }

    std::string Value(const std::string& key) const {
        size_t at = After("#" + key + "=");
        if (at == std::string::npos)
            return {};
        size_t end = at;
        while (end < text.size() && static_cast<unsigned char>(text[end]) >= 32)
            ++end;
        return std::string(text.substr(at, end - at));
    }

    std::string Message() const {
        size_t at = After("#message={");
        if (at == std::string::npos)
            return {};
        size_t end = text.find('}', at);
        return std::string(text.substr(at, end == std::string::npos ? end : end - at));
    }

    // The file of the URL key "url" + suffix and its checksum key "sha256" + suffix.
    InfoFileEntry Entry(const std::string& suffix) const {
        return {Value("url" + suffix), LowerCase(Trim(Value("sha256" + suffix)))};
    }
};

} // namespace

std::string InfoValue(std::string_view text, std::string_view key) {
    return SearchText(text).Value(std::string(key));
}

std::string InfoMessage(std::string_view text) {
    return SearchText(text).Message();
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
    SearchText search(text);
    InfoFile info;
    info.version = search.Value("version");
    info.date = search.Value("date");
    info.message = search.Message();
    std::string method = search.Value("method");
    info.method = method.empty() ? 0 : method[0] == '1' ? 1 : method[0] == '2' ? 2 : 0;

    for (const char* suffix : {"", "0"}) {
        if (InfoFileEntry e = search.Entry(suffix); !e.url.empty())
            info.files.push_back(std::move(e));
    }
    while (info.files.size() < kMaxInfoFiles) {
        InfoFileEntry e = search.Entry(IntToStr(static_cast<int64_t>(info.files.size() + 1)));
        if (e.url.empty())
            break;
        info.files.push_back(std::move(e));
    }
    return info;
}

} // namespace kv
