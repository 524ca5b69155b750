#pragma once

#include <memory>
#include <optional>
#include <string>

#include "camera-extension/framework/framework.h"
#include "platform/pipewire_connection.h"

namespace vsc::cam {

// Publishes a provider's devices as PipeWire nodes: a source stream becomes a
// Video/Source node described by its device's name (what video applications
// list), a sink stream a Video/Sink node described by the stream's own name;
// each node is also named by that text, so clients can target it by name.
// Both carry the device and stream identifiers as node properties, offer the
// formats their stream sources answer, and ask for the sink buffer queue size
// as their buffer count. A reader linking to the source node starts that
// stream; a producer linking to the sink node is authorised, then started;
// their leaving stops them.
class PipeWireService {
  public:
    // None with the reason in *error when PipeWire cannot be reached.
    static std::unique_ptr<PipeWireService> start(Provider& provider, std::string* error);
    ~PipeWireService();

    PipeWireConnection& connection() { return *connection_; }

    struct Node;

  private:
    PipeWireService() = default;
    std::unique_ptr<PipeWireConnection> connection_;
    std::vector<std::shared_ptr<Node>> nodes_;
};

// Node property keys carrying the camera's identity.
inline constexpr const char* kPropDeviceId = "vsc.device.id";
inline constexpr const char* kPropLegacyDeviceId = "vsc.device.legacy-id";
inline constexpr const char* kPropDeviceName = "vsc.device.name";
inline constexpr const char* kPropDeviceModel = "vsc.device.model";
inline constexpr const char* kPropDeviceTransport = "vsc.device.transport";
inline constexpr const char* kPropManufacturer = "vsc.device.manufacturer";
inline constexpr const char* kPropStreamId = "vsc.stream.id";
inline constexpr const char* kPropStreamName = "vsc.stream.name";
inline constexpr const char* kPropStreamDirection = "vsc.stream.direction";

}  // namespace vsc::cam
