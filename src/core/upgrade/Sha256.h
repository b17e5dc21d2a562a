#pragma once
// SHA-256 of a file, for checking downloaded upgrade files (OpenSSL's libcrypto).
#include <string>

namespace kv {

// Lower-case hex digest of the file's bytes. Throws UpgradeError naming the
// file when it cannot be read.
std::string Sha256OfFile(const std::string& path);

} // namespace kv
