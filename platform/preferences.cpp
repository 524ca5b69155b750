#include "platform/preferences.h"

#include <algorithm>

namespace vsc {

std::string Preferences::string(const std::string& key) {
    const auto value = object(key);
    if (value) {
        if (const auto* text = std::get_if<std::string>(&*value)) return *text;
    }
    return {};
}

double Preferences::doubleValue(const std::string& key) {
    const auto value = object(key);
    if (value) {
        if (const auto* number = std::get_if<double>(&*value)) return *number;
        if (const auto* flag = std::get_if<bool>(&*value)) return *flag ? 1.0 : 0.0;
    }
    return 0.0;
}

bool Preferences::boolValue(const std::string& key) {
    const auto value = object(key);
    if (value) {
        if (const auto* flag = std::get_if<bool>(&*value)) return *flag;
        if (const auto* number = std::get_if<double>(&*value)) return *number != 0.0;
    }
    return false;
}

std::optional<WallTime> Preferences::date(const std::string& key) {
    const auto value = object(key);
    if (value) {
        if (const auto* when = std::get_if<WallTime>(&*value)) return *when;
    }
    return std::nullopt;
}

std::optional<PreferenceValue> MemoryPreferences::object(const std::string& key) {
    std::lock_guard<std::mutex> hold(mutex_);
    const auto found = std::find_if(entries_.begin(), entries_.end(),
                                    [&](const Entry& entry) { return entry.key == key; });
    if (found == entries_.end()) return std::nullopt;
    return found->value;
}

void MemoryPreferences::set(const std::string& key, const PreferenceValue& value) {
    std::lock_guard<std::mutex> hold(mutex_);
    const auto found = std::find_if(entries_.begin(), entries_.end(),
                                    [&](const Entry& entry) { return entry.key == key; });
    if (found != entries_.end()) {
        found->value = value;
    } else {
        entries_.push_back(Entry{key, value});
    }
}

void MemoryPreferences::remove(const std::string& key) {
    std::lock_guard<std::mutex> hold(mutex_);
    std::erase_if(entries_, [&](const Entry& entry) { return entry.key == key; });
}

}  // namespace vsc
