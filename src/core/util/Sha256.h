#pragma once
// SHA-256 of a file's bytes, as 64 lower-case hex digits.
#include <string>

namespace kv {

// Throws FileError naming the file when it cannot be read.
std::string FileSha256(const std::string& path);

} // namespace kv
