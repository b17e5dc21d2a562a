// Feeds arbitrary bytes to the INI parser and writer: no crash, and a value
// written is read back.
#include "config/IniFile.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::string v;
    kv::ini::Lookup(text, "Options", "Host", v);
    std::string updated = kv::ini::WithValue(text, "Options", "Host", "fuzz.example");
    if (!kv::ini::Lookup(updated, "Options", "Host", v) || v != "fuzz.example")
        __builtin_trap();
    return 0;
}
