#pragma once
// Which way a data transfer's bytes go, for progress reports.
namespace kv {

enum class WorkDirection { Read = 0, Write = 1 };

} // namespace kv
