#pragma once
// The files of an outbox folder that a send pass takes.
#include <cstdint>
#include <string>
#include <vector>

namespace kv {

struct OutboxFile {
    std::string Name;
    int64_t Size = 0; // bytes when listed, before any rewrite
};
// The files of a local folder the cycle sends: regular, not hidden, writable by
// the user; ordered by name.
std::vector<OutboxFile> ListOutbox(const std::string& folder);

} // namespace kv
