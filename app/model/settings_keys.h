#pragma once

// The keys of the preferences store; persisted keys are the field names.
namespace vsc::keys {

inline constexpr const char* kProgramURL = "programURL";
inline constexpr const char* kPcrHost = "pcrHost";
inline constexpr const char* kAudioDelayMs = "audioDelayMs";
inline constexpr const char* kAudioGainDb = "audioGainDb";
inline constexpr const char* kVideoDelayMs = "videoDelayMs";
inline constexpr const char* kNdiEnabled = "ndiEnabled";
inline constexpr const char* kNdiName = "ndiName";
inline constexpr const char* kSetupCompleted = "setupCompleted";
inline constexpr const char* kShowInDock = "showInDock";
inline constexpr const char* kResumeAtLogin = "resumeAtLogin";
inline constexpr const char* kResumeSending = "resumeSending";
inline constexpr const char* kCameraServiceRestartedAt = "cameraServiceRestartedAt";

inline constexpr const char* kDefaultPcrHost = "127.0.0.1";
inline constexpr const char* kDefaultNdiName = "Vendaroscope Program";
// An earlier name of the NDI source; a stored copy of it means "the default".
inline constexpr const char* kLegacyNdiName = "VSC Program";

}  // namespace vsc::keys
