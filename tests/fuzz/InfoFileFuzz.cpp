// Fuzzes the reading of the upgrade information file (it comes from the
// network) and the decision on it, with the file-list and version rules as
// invariants.
#include "upgrade/Decision.h"
#include "upgrade/InfoFile.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    kv::InfoFile info;
    try {
        info = kv::ParseInfoFile(text);
    } catch (const kv::UpgradeError&) {
        if (kv::InfoFileSizeAllowed(static_cast<int64_t>(size)))
            std::abort(); // only an oversized file may be refused
        return 0;
    }
    if (info.files.size() > kv::kMaxInfoFiles || info.method < 0 || info.method > 2)
        std::abort();
    for (const auto& f : info.files) {
        if (f.url.empty())
            std::abort();
        for (char c : f.url) {
            if (static_cast<unsigned char>(c) < 32)
                std::abort();
        }
    }
    kv::UpgradeSettings settings;
    settings.showMessages = kv::kManualCheckMessages;
    kv::UpgradeDecision d = kv::Decide(info, settings, "Korvane", 0);
    if (d.available == d.showNoUpdate || (d.available && info.files.empty()))
        std::abort();
    // A version is never newer than itself.
    if (kv::IsNewerByNumber(info.version, info.version))
        std::abort();
    return 0;
}
