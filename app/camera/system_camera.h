#pragma once

#include <string>
#include <string_view>

namespace vsc {

// Whether the system, asked afresh, lists the camera: PipeWire's own pw-dump,
// run from a new connection of its own, shows a Video/Source node described
// "Vendaroscope Program". Blocks for as long as pw-dump takes (at most about
// 10 s; a pw-dump that hangs is killed): never on the main queue.
bool systemListsCamera();

// The same question asked of pw-dump's output.
bool dumpListsCamera(std::string_view dump);

}  // namespace vsc
