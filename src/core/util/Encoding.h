#pragma once
// Files are byte strings. For display, text that is valid UTF-8 is shown as
// it is; anything else is taken as GB18030 (a superset of GBK / GB2312, the
// code page of language packs and settings files from earlier installations).
#include <string>
#include <string_view>

namespace kv {

bool IsValidUtf8(std::string_view s);
// UTF-8 for display: a UTF-8 byte-order mark is dropped, valid UTF-8 is kept,
// anything else is decoded as GB18030, then CP936; bytes that decode under
// neither become U+FFFD.
std::string ToDisplayUtf8(std::string_view bytes);

} // namespace kv
