#pragma once

// User texts that name a place, tool or action of the operating system, kept
// together so their wording can be read side by side.
namespace vsc::texts {

inline constexpr const char* kFfmpegNotFound = "ffmpeg not found (expected in /usr/bin)";

// The camera-repair notification after the camera service was restarted.
inline constexpr const char* kRestartComputerTitle = "Restart your computer";
inline constexpr const char* kRestartComputerBody =
    "The camera service still hasn't started the “Vendaroscope Program” camera.";

// The NDI runtime's library as this system names it.
inline constexpr const char* kNdiLibraryName = "libndi.so.6";
inline constexpr const char* kNdiRuntimeNotFound = "NDI runtime not found (libndi.so.6)";

}  // namespace vsc::texts
