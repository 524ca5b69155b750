#pragma once

#include <cstdint>
#include <string>

namespace vsc {

// An output audio device: its id in the audio system and its name.
struct AudioDevice {
    std::uint32_t id = 0;
    std::string name;
    bool operator==(const AudioDevice&) const = default;
};

}  // namespace vsc
