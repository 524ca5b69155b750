#pragma once

#include <string>

namespace vsc {

inline constexpr const char* kSubsystem = "com.vendaroscope.virtualcam";

// Writes one informational line to the system journal under a subsystem and a
// category; without a journal (containers, CI) the line goes to stderr.
// Control characters in the message are replaced first.
void journalLog(const std::string& subsystem, const std::string& category,
                const std::string& message);

}  // namespace vsc
