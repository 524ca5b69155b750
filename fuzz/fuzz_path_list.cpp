// The studio media server's path list as its HTTP API answers it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/discovery/program_detection.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string body(reinterpret_cast<const char*>(data), size);
    if (auto items = vsc::decodePathList(body)) vsc::programCandidates(*items);
    (void)vsc::concludeDetection("10.0.0.5", body);
    return 0;
}
