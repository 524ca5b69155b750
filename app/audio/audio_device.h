#pragma once

#include <cstdint>
#include <string>

namespace vsc {

// An output audio device: its id in the audio system and its name. The audio
// system may give a freed id to another device (a restarted server does), so
// `identity` tells which device this is: two listings hold the same device
// when they agree on it. 0 when the audio system cannot tell.
struct AudioDevice {
    std::uint32_t id = 0;
    std::string name;
    std::uint64_t identity = 0;
    bool operator==(const AudioDevice&) const = default;
};

}  // namespace vsc
