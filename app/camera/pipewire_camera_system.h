#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/camera/camera_system.h"
#include "platform/pipewire_connection.h"
#include "platform/pipewire_nodes.h"

namespace vsc {

// The system's cameras on PipeWire. Object ids are PipeWire global ids; the
// system object's device list holds the Video/Source nodes in registry order;
// a device's stream list holds its own node and the Video/Sink nodes carrying
// the same device identifier; an object's name is its node description. A
// sink stream's buffer queue is an output stream of ours linked to that node,
// holding as many buffers as the camera asks for.
class PipeWireCameraSystem final : public CameraSystem {
  public:
    PipeWireCameraSystem();
    ~PipeWireCameraSystem() override;

    std::int32_t propertyDataSize(CameraObjectId object, std::uint32_t selector,
                                  std::uint32_t* size) override;
    std::int32_t propertyData(CameraObjectId object, std::uint32_t selector, std::uint32_t size,
                              std::uint32_t* data) override;
    std::optional<std::string> stringProperty(CameraObjectId object,
                                              std::uint32_t selector) override;
    std::int32_t copyBufferQueue(CameraObjectId stream,
                                 std::shared_ptr<SampleQueue>* queue) override;
    std::int32_t startStream(CameraObjectId device, CameraObjectId stream) override;
    std::int32_t stopStream(CameraObjectId device, CameraObjectId stream) override;
    std::uint64_t hostTimeNs() override;

    class OutputQueue;

  private:
    // Connects on first use; false when PipeWire cannot be reached.
    bool ensureConnected();
    std::vector<CameraObjectId> list(CameraObjectId object, std::uint32_t selector);

    std::unique_ptr<PipeWireConnection> connection_;
    std::unique_ptr<PipeWireNodes> nodes_;                           // guarded by the loop lock
    std::map<CameraObjectId, std::shared_ptr<OutputQueue>> queues_;  // by stream id
    std::mutex mutex_;  // guards connection_ and queues_
};

}  // namespace vsc
