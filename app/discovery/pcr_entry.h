#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dns_sd.h"

namespace vsc {

// One studio control room announced on the network.
struct PcrEntry {
    std::string serviceName;
    std::string name;
    std::string code;
    std::string serverId;
    std::string stage;
    std::int64_t rtspPort = 8554;
    std::int64_t apiPort = 5700;
    std::optional<std::string> host;
    ServiceEndpoint endpoint;
    bool operator==(const PcrEntry&) const = default;

    // name|code|serverId: how the application remembers a chosen studio.
    std::string identifier() const { return name + "|" + code + "|" + serverId; }
    // "name (code)", or the service name when the announcement has no name.
    std::string displayName() const {
        return name.empty() ? serviceName : name + " (" + code + ")";
    }
    // rtsp://host:port/stage, once the host is known and a stage announced.
    std::optional<std::string> programAddress() const {
        if (!host || stage.empty()) return std::nullopt;
        return "rtsp://" + *host + ":" + std::to_string(rtspPort) + "/" + stage;
    }
};

// A TXT record's strings as a map: "key=value", or "key" alone for an empty
// value. Keys are compared without regard to ASCII case (stored in lower
// case), the first occurrence of a key wins, strings with an empty key are
// skipped, and bytes that are not UTF-8 and control characters are replaced.
std::map<std::string, std::string> parseTxtRecord(const std::vector<std::string>& strings);

// The entry a browse result announces, with the host learnt for it (if any).
// Its service name is cleaned for showing like the TXT values; the browser's
// bookkeeping goes by the endpoint's own name.
PcrEntry makePcrEntry(const BrowseResult& result, std::optional<std::string> host);

// Sorts by display name: Unicode scalar order after canonical composition,
// case-sensitive and stable.
void sortByDisplayName(std::vector<PcrEntry>& entries);

// A peer address without its scope: the first non-empty piece between "%"s.
std::string hostWithoutScope(const std::string& text);

// A decimal port from a TXT value: an optional sign and digits only, naming a
// port from 1 to 65535; anything else gives the fallback.
std::int64_t parsePort(std::string_view text, std::int64_t fallback);

}  // namespace vsc
