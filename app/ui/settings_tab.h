#pragma once

#include <array>

namespace vsc {

// The sections of the settings window, in the order its tab control lists them.
enum class SettingsTab { general, audio, sync, ndi, maintenance, diagnostics };

inline constexpr std::array<SettingsTab, 6> kAllSettingsTabs = {
    SettingsTab::general, SettingsTab::audio,       SettingsTab::sync,
    SettingsTab::ndi,     SettingsTab::maintenance, SettingsTab::diagnostics};

inline const char* title(SettingsTab tab) {
    switch (tab) {
        case SettingsTab::general:
            return "General";
        case SettingsTab::audio:
            return "Audio";
        case SettingsTab::sync:
            return "Sync";
        case SettingsTab::ndi:
            return "NDI";
        case SettingsTab::maintenance:
            return "Maintenance";
        case SettingsTab::diagnostics:
            return "Diagnostics";
    }
    return "";
}

}  // namespace vsc
