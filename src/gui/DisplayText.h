#pragma once
// Bytes of the settings file, a language pack, a log or a core message as
// text to show: UTF-8 as it is, anything else read as GB18030.
#include "util/Encoding.h"

#include <QString>
#include <string_view>

namespace kvgui {

inline QString DisplayText(std::string_view bytes) {
    return QString::fromStdString(kv::ToDisplayUtf8(bytes));
}

} // namespace kvgui
