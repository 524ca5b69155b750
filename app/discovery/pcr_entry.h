#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vsc {

// Where an announcement was seen: enough to resolve it again.
struct ServiceEndpoint {
    std::string name;
    std::string type;
    std::string domain;
    int interfaceIndex = -1;
    bool operator==(const ServiceEndpoint&) const = default;
};

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
};

}  // namespace vsc
