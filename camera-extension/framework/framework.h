#pragma once

// The camera framework the extension answers to: a provider with one device
// and its streams, each backed by a "source" object of the extension that the
// framework asks for properties and formats and tells to start and stop. The
// objects here are the framework's side; PipeWireService publishes them as
// PipeWire nodes, and tests stand in for it.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/serial_queue.h"

namespace vsc::cam {

constexpr std::uint32_t fourcc(char a, char b, char c, char d) {
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(a)) << 24) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(b)) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << 8) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(d));
}

// A rational time: value / timescale seconds.
struct MediaTime {
    std::int64_t value = 0;
    std::int32_t timescale = 0;
    bool operator==(const MediaTime&) const = default;
};

enum class Property {
    ProviderManufacturer,
    DeviceTransportType,
    DeviceModel,
    StreamActiveFormatIndex,
    StreamFrameDuration,
    StreamSinkBufferQueueSize,
    StreamSinkBuffersRequiredForStartUp,
    StreamSinkBufferUnderrunCount,
    StreamSinkEndOfData,
};
using PropertySet = std::set<Property>;

struct ProviderProperties {
    std::optional<std::string> manufacturer;
    bool operator==(const ProviderProperties&) const = default;
};

struct DeviceProperties {
    std::optional<std::uint32_t> transportType;
    std::optional<std::string> model;
    bool operator==(const DeviceProperties&) const = default;
};

struct StreamProperties {
    std::optional<std::int64_t> activeFormatIndex;
    std::optional<MediaTime> frameDuration;
    std::optional<std::int64_t> sinkBufferQueueSize;
    std::optional<std::int64_t> sinkBuffersRequiredForStartUp;
    std::optional<std::int64_t> sinkBufferUnderrunCount;
    std::optional<bool> sinkEndOfData;
    bool operator==(const StreamProperties&) const = default;
};

struct VideoFormatDescription {
    std::uint32_t pixelFormat = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    bool operator==(const VideoFormatDescription&) const = default;
};

struct StreamFormat {
    VideoFormatDescription description;
    MediaTime minFrameDuration;
    MediaTime maxFrameDuration;
    std::optional<std::vector<MediaTime>> validFrameDurations;
};

enum class StreamDirection { Source, Sink };
enum class ClockType { HostTime };

// A client of a stream (the application feeding the sink).
struct Client {
    std::uint64_t id = 0;
    bool operator==(const Client&) const = default;
};

// One NV12 picture: a luma plane and an interleaved chroma plane.
class Picture {
  public:
    virtual ~Picture() = default;
    virtual int width() const = 0;
    virtual int height() const = 0;
    virtual const std::uint8_t* luma() const = 0;
    virtual std::size_t lumaStride() const = 0;
    virtual const std::uint8_t* chroma() const = 0;
    virtual std::size_t chromaStride() const = 0;
    // False once the memory behind it has gone (its producer left).
    virtual bool readable() const { return true; }

    // Tells pictures apart: a picture's pixels never change while it exists,
    // so a buffer that already holds the picture of this identity needs no
    // new copy of it. Never reused within the process.
    std::uint64_t identity() const { return identity_; }

  private:
    static std::uint64_t nextIdentity();
    std::uint64_t identity_ = nextIdentity();
};
using PictureRef = std::shared_ptr<const Picture>;

struct SampleBuffer {
    PictureRef image;  // may be absent
    MediaTime duration;
    std::uint64_t presentationNs = 0;
};

// ---- the source protocols the extension implements ----

class ProviderSource {
  public:
    virtual ~ProviderSource() = default;
    virtual bool connectClient(const Client& client) = 0;
    virtual void disconnectClient(const Client& client) = 0;
    virtual PropertySet availableProperties() = 0;
    virtual ProviderProperties providerProperties(const PropertySet& requested) = 0;
    virtual bool setProviderProperties(const ProviderProperties& properties) = 0;
};

class DeviceSource {
  public:
    virtual ~DeviceSource() = default;
    virtual PropertySet availableProperties() = 0;
    virtual DeviceProperties deviceProperties(const PropertySet& requested) = 0;
    virtual bool setDeviceProperties(const DeviceProperties& properties) = 0;
};

class StreamSource {
  public:
    virtual ~StreamSource() = default;
    virtual std::vector<StreamFormat> formats() = 0;
    virtual PropertySet availableProperties() = 0;
    virtual StreamProperties streamProperties(const PropertySet& requested) = 0;
    virtual bool setStreamProperties(const StreamProperties& properties) = 0;
    virtual bool authorizedToStartStream(const Client& client) = 0;
    virtual bool startStream() = 0;
    virtual bool stopStream() = 0;
};

// ---- the framework's objects ----

// What a published stream can do; set by the service that publishes it.
class StreamBackend {
  public:
    virtual ~StreamBackend() = default;
    using ConsumeHandler = std::function<void(std::optional<SampleBuffer> buffer,
                                              std::uint64_t sequence, bool hasMore)>;
    // Sink streams: takes the next buffer the client queued; the handler is
    // called exactly once, on any thread.
    virtual void consumeSampleBuffer(const Client& client, ConsumeHandler handler) = 0;
    virtual void notifyScheduledOutputChanged(std::uint64_t sequence, std::uint64_t hostTimeNs) = 0;
    // Source streams: hands one frame to the readers.
    virtual void sendSampleBuffer(const SampleBuffer& buffer, std::uint64_t hostTimeNs) = 0;
};

class Stream {
  public:
    Stream(std::string localizedName, std::string streamId, StreamDirection direction,
           ClockType clock, StreamSource& source)
        : localizedName(std::move(localizedName)),
          streamId(std::move(streamId)),
          direction(direction),
          clock(clock),
          source(source) {}

    const std::string localizedName;
    const std::string streamId;
    const StreamDirection direction;
    const ClockType clock;
    StreamSource& source;

    void consumeSampleBuffer(const Client& client, StreamBackend::ConsumeHandler handler);
    void notifyScheduledOutputChanged(std::uint64_t sequence, std::uint64_t hostTimeNs);
    void sendSampleBuffer(const SampleBuffer& buffer, std::uint64_t hostTimeNs);

    void attach(std::shared_ptr<StreamBackend> backend);

  private:
    std::shared_ptr<StreamBackend> backend() const;
    mutable std::mutex mutex_;
    std::shared_ptr<StreamBackend> backend_;
};

struct Error {
    std::string description;
};

class Device {
  public:
    Device(std::string localizedName, std::string deviceId, std::string legacyDeviceId,
           DeviceSource& source)
        : localizedName(std::move(localizedName)),
          deviceId(std::move(deviceId)),
          legacyDeviceId(std::move(legacyDeviceId)),
          source(source) {}

    const std::string localizedName;
    const std::string deviceId;
    const std::string legacyDeviceId;
    DeviceSource& source;

    std::optional<Error> addStream(Stream& stream);
    const std::vector<Stream*>& streams() const { return streams_; }

  private:
    std::vector<Stream*> streams_;
};

class Provider {
  public:
    explicit Provider(ProviderSource& source) : source(source) {}
    ProviderSource& source;
    std::optional<Error> addDevice(Device& device);
    const std::vector<Device*>& devices() const { return devices_; }

  private:
    std::vector<Device*> devices_;
};

// Time and timers as the extension sees them.
class Host {
  public:
    virtual ~Host() = default;
    // Host time: CLOCK_MONOTONIC in nanoseconds.
    virtual std::uint64_t nowNs() = 0;
    // A strict repeating timer on the queue: first tick at once.
    virtual std::shared_ptr<RepeatingTimer> makeTimer(SerialQueue& queue, double interval,
                                                      double leeway, Task tick) = 0;
    // Where the extension's log lines go.
    virtual void log(const std::string& message) = 0;
};

// The real host: the monotonic clock, timers of ThreadSerialQueue, the journal.
class SystemHost final : public Host {
  public:
    std::uint64_t nowNs() override;
    std::shared_ptr<RepeatingTimer> makeTimer(SerialQueue& queue, double interval, double leeway,
                                              Task tick) override;
    void log(const std::string& message) override;
};

}  // namespace vsc::cam
