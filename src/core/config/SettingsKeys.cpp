// The settings keys' table: names and the flag rules.
#include "config/SettingsKeys.h"

#include "util/Text.h"

namespace kv {

std::string SettingKey::Name() const {
    std::string n(name);
    if (group > 0)
        n += static_cast<char>('0' + group);
    return n;
}

std::string SettingKey::Path() const {
    return std::string(section) + "/" + Name();
}

std::span<const SettingKey* const> AllSettingKeys() {
#define KV_SETTING_KEY_ADDRESS(id, ...) &keys::id,
    static const SettingKey* const all[] = {KV_SETTING_KEYS(KV_SETTING_KEY_ADDRESS)};
#undef KV_SETTING_KEY_ADDRESS
    return all;
}

bool FlagOn(const SettingKey& key, const std::string& text) {
    switch (key.kind) {
    case ValueKind::FlagUnlessOff:
        return text != "0";
    case ValueKind::FlagWhenSet: {
        const std::string t = Trim(text);
        return !t.empty() && t != "0";
    }
    default:
        return text == "1";
    }
}

} // namespace kv
