// A preferences file as a person may have edited it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/preferences.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    (void)vsc::decodePreferences(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
