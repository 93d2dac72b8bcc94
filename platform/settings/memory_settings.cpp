#include "platform/settings/memory_settings.hpp"

namespace tarnel {

const SettingValue* MemorySettings::find(std::string_view key) const {
    const auto found = values_.find(key);
    return found == values_.end() ? nullptr : &found->second;
}

std::optional<std::string> MemorySettings::string(std::string_view key) const {
    const SettingValue* value = find(key);
    if (value == nullptr) return std::nullopt;
    return settingText(*value);
}

bool MemorySettings::boolean(std::string_view key) const {
    const SettingValue* value = find(key);
    return value != nullptr && settingBoolean(*value);
}

std::int64_t MemorySettings::integer(std::string_view key) const {
    const SettingValue* value = find(key);
    return value == nullptr ? 0 : settingInteger(*value);
}

bool MemorySettings::contains(std::string_view key) const { return find(key) != nullptr; }

void MemorySettings::set(std::string_view key, const SettingValue& value) {
    values_.insert_or_assign(std::string(key), value);
    changes_.push_back(Change{std::string(key), value});
}

void MemorySettings::remove(std::string_view key) {
    if (const auto found = values_.find(key); found != values_.end()) values_.erase(found);
    changes_.push_back(Change{std::string(key), std::nullopt});
}

}  // namespace tarnel
