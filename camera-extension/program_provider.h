#pragma once

// The camera extension's own objects: the provider, the one device
// "Vendaroscope Program" and its two streams, and the frame pump that moves
// pictures from the sink stream (fed by the application) to the source stream
// (read by video applications) at a steady 30 frames a second, with a waiting
// slate when nothing fresh arrives.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "camera-extension/framework/framework.h"

namespace vsc::cam {

inline constexpr const char* kManufacturer = "Vendaroscope";
inline constexpr const char* kDeviceName = "Vendaroscope Program";
inline constexpr const char* kDeviceModel = "Vendaroscope Virtual Webcam";
inline constexpr std::uint32_t kTransportVirtual = fourcc('v', 'i', 'r', 't');
inline constexpr const char* kSourceStreamName = "Vendaroscope Program.Video";
inline constexpr const char* kSinkStreamName = "VSC Program.Sink";
inline constexpr std::uint32_t kPixelFormat420v = fourcc('4', '2', '0', 'v');
inline constexpr int kWidth = 1920;
inline constexpr int kHeight = 1080;
inline constexpr std::int64_t kSinkQueueSize = 4;
inline constexpr const char* kSlateTitle = "Vendaroscope Program";
inline constexpr const char* kSlateSubtitle = "Waiting for program…";
inline constexpr std::uint64_t kHoldNs = 2000000000ull;
inline constexpr double kFramePeriod = 1.0 / 30.0;
inline constexpr double kTimerLeeway = 0.002;
inline constexpr MediaTime kFrameDuration{1, 30};

// A 128-bit identifier parsed from its text once, on first use.
struct Uuid {
    std::uint8_t bytes[16] = {};
    std::string text() const;  // canonical, upper case
};
const Uuid& deviceUuid();
const Uuid& sourceStreamUuid();
const Uuid& sinkStreamUuid();
std::optional<Uuid> parseUuid(const std::string& text);

class ProgramDeviceSource;

class ProgramStreamSource final : public StreamSource {
  public:
    ProgramStreamSource(std::shared_ptr<const StreamFormat> format, bool isSink,
                        ProgramDeviceSource& owner);

    std::unique_ptr<Stream> stream;
    const std::shared_ptr<const StreamFormat> format;
    const bool isSink;
    ProgramDeviceSource& owner;

    std::vector<StreamFormat> formats() override;
    PropertySet availableProperties() override;
    StreamProperties streamProperties(const PropertySet& requested) override;
    bool setStreamProperties(const StreamProperties& properties) override;
    bool authorizedToStartStream(const Client& client) override;
    bool startStream() override;
    bool stopStream() override;
};

class ProgramDeviceSource final : public DeviceSource,
                                  public std::enable_shared_from_this<ProgramDeviceSource> {
  public:
    struct Environment {
        Host* host = nullptr;
        // The serial queue everything mutable runs on, labelled "vsc.virtualcam.frames".
        std::function<std::shared_ptr<SerialQueue>(const std::string& label)> makeQueue;
        // Draws the waiting picture; none when that fails.
        std::function<PictureRef(const std::string& title, const std::string& subtitle)>
            renderSlate;
    };
    explicit ProgramDeviceSource(Environment environment);

    std::unique_ptr<Device> device;
    std::unique_ptr<ProgramStreamSource> sourceStream;
    std::unique_ptr<ProgramStreamSource> sinkStream;
    const std::shared_ptr<SerialQueue> queue;

    PropertySet availableProperties() override;
    DeviceProperties deviceProperties(const PropertySet& requested) override;
    bool setDeviceProperties(const DeviceProperties& properties) override;

    // ---- the frame pump; everything below runs on `queue` ----
    void updateTimer();
    void tick();
    void requestNextSinkBuffer(const Client& client);
    void handleSinkBuffer(std::optional<SampleBuffer> buffer, std::uint64_t sequence, bool hasMore);
    void sendToSource(const PictureRef& picture);

    // The process is ending: queues the stop of both streams and of the frame
    // timer, after which no picture is taken from the sink or sent any more
    // and late answers of the sink are dropped. The caller waits for the queue
    // to run it (and what was queued before) before it takes the streams away.
    void shutdown();

    // State, read by tests on the queue.
    bool sourceRunning() const { return sourceRunning_; }
    bool sinkRunning() const { return sinkRunning_; }
    const std::optional<Client>& sinkClient() const { return sinkClient_; }
    bool consumePending() const { return consumePending_; }
    const PictureRef& lastFrame() const { return lastFrame_; }
    const PictureRef& slate() const { return slate_; }
    bool timerRunning() const { return timer_ != nullptr; }

  private:
    friend class ProgramStreamSource;
    Environment env_;
    std::shared_ptr<RepeatingTimer> timer_;
    bool sourceRunning_ = false;
    bool sinkRunning_ = false;
    std::optional<Client> sinkClient_;
    bool consumePending_ = false;
    PictureRef lastFrame_;
    std::uint64_t lastFrameAt_ = 0;
    PictureRef slate_;
    bool shutDown_ = false;
};

class ProgramProviderSource final : public ProviderSource {
  public:
    explicit ProgramProviderSource(ProgramDeviceSource::Environment environment);

    std::unique_ptr<Provider> provider;
    std::shared_ptr<ProgramDeviceSource> deviceSource;

    bool connectClient(const Client& client) override;
    void disconnectClient(const Client& client) override;
    PropertySet availableProperties() override;
    ProviderProperties providerProperties(const PropertySet& requested) override;
    bool setProviderProperties(const ProviderProperties& properties) override;
};

// Ends the process with a message: the camera cannot be published.
[[noreturn]] void fatal(const std::string& message);

}  // namespace vsc::cam
