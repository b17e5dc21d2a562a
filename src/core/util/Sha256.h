#pragma once
// SHA-256 of a file's bytes, as 64 lower-case hex digits.
#include <functional>
#include <string>

namespace kv {

// Throws FileError naming the file when it cannot be read.
std::string FileSha256(const std::string& path);
// The same for a file another thread is still writing: at the file's current
// end it waits and reads on while mayGrow() is true; the writer makes it false
// once its last byte is written.
std::string FileSha256(const std::string& path, const std::function<bool()>& mayGrow);

} // namespace kv
