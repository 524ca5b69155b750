// A programme address as typed into the settings or built from an announcement.
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/model/program_url.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::string trimmed = vsc::trimSpacesAndTabs(text);
    bool complete = vsc::isCompleteProgramURL(trimmed);
    if (auto url = vsc::parseUrl(trimmed)) (void)url->lastPathComponent();
    // What is complete has a host and a STAGE_ ending: it must parse.
    if (complete && !vsc::parseUrl(trimmed)) __builtin_trap();
    return 0;
}
