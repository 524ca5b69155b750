#pragma once

#include <sys/types.h>

#include <string>

namespace vsc {

// The nice level of the threads that carry the programme (ffmpeg, our readers
// of its pipes, the camera's frame pump): the level the desktop's audio
// server gives its own non-real-time threads. In a call the machine is busy
// (the call application encodes video on every core); a decoder at the
// ordinary level can fall behind for longer than the microphone's buffer
// holds, and a frame pump at that level ticks late.
inline constexpr int kProgramNiceLevel = -11;

// Asks for `thread` of `process` (this process or a child of ours) to run at
// `niceLevel`: directly where this process may lower a nice level (root, or
// an RLIMIT_NICE that allows it), otherwise through RealtimeKit on the
// system bus, as the audio server does. A thread already at that level or
// lower is left alone. Returns an empty string on success, else the reason.
// May block for up to half a second on the system bus.
std::string raiseThreadPriority(pid_t process, pid_t thread, int niceLevel);

// The same for every thread the process has now. Threads it starts later
// inherit the level of the thread that starts them, so a child raised right
// after it was started keeps the level in the threads it makes.
std::string raiseProcessPriority(pid_t process, int niceLevel);

pid_t currentThreadId();

}  // namespace vsc
