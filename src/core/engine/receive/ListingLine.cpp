// Which listing names the receive may take as inbox file names.
#include "engine/receive/ListingLine.h"

namespace kv {

bool IsUsableListingName(const std::string& name) {
    if (name.empty() || name == "." || name == "..")
        return false;
    for (char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '/')
            return false;
    return true;
}

} // namespace kv
