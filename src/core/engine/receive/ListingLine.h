#pragma once
// Which names of a remote folder's listing the receive may take: a name the
// inbox can hold as one file of its own.
#include <string>

namespace kv {

// Not empty, not "." or "..", no "/", no NUL or other control character.
bool IsUsableListingName(const std::string& name);

} // namespace kv
