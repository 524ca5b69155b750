#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

// A decimal port from a TXT value: an optional sign and digits only, naming a
// port from 1 to 65535; anything else gives the fallback.
std::int64_t parsePort(std::string_view text, std::int64_t fallback);

}  // namespace vsc
