#pragma once
// SHA-256 of a file, for checking downloaded upgrade files, and of a text
// (OpenSSL's libcrypto).
#include <string>
#include <string_view>

namespace kv {

// Lower-case hex digest of the file's bytes. Throws UpgradeError naming the
// file when it cannot be read.
std::string Sha256OfFile(const std::string& path);
// Lower-case hex digest of text (the information file, to know it again).
std::string Sha256OfText(std::string_view text);

} // namespace kv
