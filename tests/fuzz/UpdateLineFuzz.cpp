// The update-script line splitter on arbitrary bytes: no crash, no empty field,
// and no field holds an unquoted '$'.
#include "logging/UpdateScript.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string line(reinterpret_cast<const char*>(data), size);
    size_t total = 0;
    for (const auto& f : kv::SplitUpdateLine(line)) {
        if (f.empty())
            __builtin_trap();
        char quote = 0;
        for (char c : f) {
            if (quote) {
                if (c == quote)
                    quote = 0;
            } else if (c == '\'' || c == '"') {
                quote = c;
            } else if (c == '$') {
                __builtin_trap();
            }
        }
        total += f.size();
    }
    if (total > line.size())
        __builtin_trap();
    kv::ParseVersionNumber(line);
    return 0;
}
