// ffmpeg's diagnostics as they come through the pipe, in chunks whose sizes
// the first byte chooses; and the line splitting and repairs of what a probe
// prints.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/intake/utf8.h"
#include "platform/control_characters.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t chunk = 1 + data[0] % 64;
    std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    vsc::LineAssembler assembler;
    for (std::size_t at = 0; at < bytes.size(); at += chunk)
        assembler.append(bytes.substr(at, chunk), [](const std::string& line) {
            if (line.empty() || line.size() > 3 * vsc::LineAssembler::kLongestLine)
                __builtin_trap();
            (void)vsc::replaceControlCharacters(line);
        });
    for (const auto& line : vsc::splitLines(vsc::utf8Lossy(bytes)))
        if (line.empty()) __builtin_trap();
    return 0;
}
