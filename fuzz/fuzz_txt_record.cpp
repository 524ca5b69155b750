// A studio's announcement as the network delivers it: the TXT record's
// strings (separated by NUL bytes here), then everything derived from them.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/discovery/pcr_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    vsc::BrowseResult result;
    std::vector<std::string> strings;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= input.size(); ++i) {
        if (i == input.size() || input[i] == '\0') {
            strings.push_back(input.substr(start, i - start));
            start = i + 1;
        }
    }
    result.endpoint.name = strings.empty() ? std::string() : strings.front();
    result.txt = strings;
    auto txt = vsc::parseTxtRecord(strings);
    for (const auto& [key, value] : txt) vsc::parsePort(value, 8554);
    vsc::PcrEntry entry = vsc::makePcrEntry(result, std::string("127.0.0.1"));
    std::vector<vsc::PcrEntry> entries{entry, vsc::makePcrEntry(result, std::nullopt)};
    vsc::sortByDisplayName(entries);
    (void)entry.identifier();
    (void)entry.programAddress();
    (void)vsc::hostWithoutScope(input);
    return 0;
}
