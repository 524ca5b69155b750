#pragma once

// User texts that name a place, tool or action of the operating system, kept
// together so their wording can be read side by side.
namespace vsc::texts {

inline constexpr const char* kFfmpegNotFound = "ffmpeg not found (expected in /usr/bin)";

}  // namespace vsc::texts
