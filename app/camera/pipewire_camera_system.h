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
//
// Nothing here waits on PipeWire for more than a round trip: a started
// stream is linked by the session manager in the background, and its queue
// says when it is ready or has failed. A connection to a server that went
// away is replaced on next use, and nothing learnt on it (ids, streams)
// counts any more.
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
    std::uint64_t objectIdentity(CameraObjectId object) override;

    class OutputQueue;

  private:
    // With mutex_ held: a working connection, or false when PipeWire cannot
    // be reached.
    bool ensureConnected();
    void dropConnection();
    std::vector<CameraObjectId> list(CameraObjectId object, std::uint32_t selector);

    // Every operation holds mutex_ from start to end and reaches PipeWire
    // with the loop locked inside it. Queues hold the connection too: a
    // queue the sink still has stays safe to call after a reconnection.
    std::mutex mutex_;
    std::shared_ptr<PipeWireConnection> connection_;
    std::unique_ptr<PipeWireNodes> nodes_;
    // The queues handed out, by stream id; each lives as long as its holder.
    std::map<CameraObjectId, std::weak_ptr<OutputQueue>> queues_;
};

}  // namespace vsc
