#include "camera-extension/program_provider.h"

#include <cstdio>
#include <cstdlib>

namespace vsc::cam {

// ---- identifiers ----

std::optional<Uuid> parseUuid(const std::string& text) {
    if (text.size() != 36) return std::nullopt;
    Uuid uuid;
    int nibble = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-') return std::nullopt;
            continue;
        }
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            return std::nullopt;
        uuid.bytes[nibble / 2] =
            static_cast<std::uint8_t>(uuid.bytes[nibble / 2] | (nibble % 2 ? v : v << 4));
        ++nibble;
    }
    return uuid;
}

std::string Uuid::text() const {
    char out[37];
    std::snprintf(out, sizeof out,
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                  bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return out;
}

namespace {
Uuid parsedOrFatal(const char* text) {
    auto uuid = parseUuid(text);
    if (!uuid) fatal(std::string("bad identifier ") + text);
    return *uuid;
}
}  // namespace

const Uuid& deviceUuid() {
    static const Uuid id = parsedOrFatal("6C3E4F7A-2B1D-4E8A-9C5F-0D7A1B2C3E4F");
    return id;
}
const Uuid& sourceStreamUuid() {
    static const Uuid id = parsedOrFatal("7D4F5A8B-3C2E-4F9B-8D6A-1E8B2C3D4F5A");
    return id;
}
const Uuid& sinkStreamUuid() {
    static const Uuid id = parsedOrFatal("8E5A6B9C-4D3F-4A0C-9E7B-2F9C3D4E5A6B");
    return id;
}

void fatal(const std::string& message) {
    std::fprintf(stderr, "vendaroscope-camera: %s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

// ---- provider ----

ProgramProviderSource::ProgramProviderSource(ProgramDeviceSource::Environment environment) {
    provider = std::make_unique<Provider>(*this);
    deviceSource = std::make_shared<ProgramDeviceSource>(std::move(environment));
    if (auto error = provider->addDevice(*deviceSource->device))
        fatal("addDevice: " + error->description);
}

bool ProgramProviderSource::connectClient(const Client&) {
    return true;
}
void ProgramProviderSource::disconnectClient(const Client&) {}
PropertySet ProgramProviderSource::availableProperties() {
    return {Property::ProviderManufacturer};
}
ProviderProperties ProgramProviderSource::providerProperties(const PropertySet& requested) {
    ProviderProperties answer;
    if (requested.count(Property::ProviderManufacturer)) answer.manufacturer = kManufacturer;
    return answer;
}
bool ProgramProviderSource::setProviderProperties(const ProviderProperties&) {
    return true;
}

// ---- device ----

ProgramDeviceSource::ProgramDeviceSource(Environment environment)
    : queue(environment.makeQueue("vsc.virtualcam.frames")), env_(std::move(environment)) {
    slate_ = env_.renderSlate ? env_.renderSlate(kSlateTitle, kSlateSubtitle) : nullptr;
    device = std::make_unique<Device>(kDeviceName, deviceUuid().text(), deviceUuid().text(), *this);

    auto format = std::make_shared<StreamFormat>();
    format->description = {kPixelFormat420v, kWidth, kHeight};
    format->minFrameDuration = kFrameDuration;
    format->maxFrameDuration = kFrameDuration;

    sourceStream = std::make_unique<ProgramStreamSource>(format, false, *this);
    sourceStream->stream =
        std::make_unique<Stream>(kSourceStreamName, sourceStreamUuid().text(),
                                 StreamDirection::Source, ClockType::HostTime, *sourceStream);
    sinkStream = std::make_unique<ProgramStreamSource>(format, true, *this);
    sinkStream->stream =
        std::make_unique<Stream>(kSinkStreamName, sinkStreamUuid().text(), StreamDirection::Sink,
                                 ClockType::HostTime, *sinkStream);
    if (auto error = device->addStream(*sourceStream->stream))
        fatal("addStream: " + error->description);
    if (auto error = device->addStream(*sinkStream->stream))
        fatal("addStream: " + error->description);
}

PropertySet ProgramDeviceSource::availableProperties() {
    return {Property::DeviceTransportType, Property::DeviceModel};
}

DeviceProperties ProgramDeviceSource::deviceProperties(const PropertySet& requested) {
    DeviceProperties answer;
    if (requested.count(Property::DeviceTransportType)) answer.transportType = kTransportVirtual;
    if (requested.count(Property::DeviceModel)) answer.model = kDeviceModel;
    return answer;
}

bool ProgramDeviceSource::setDeviceProperties(const DeviceProperties&) {
    return true;
}

void ProgramDeviceSource::updateTimer() {
    if (!sourceRunning_ && !sinkRunning_) {
        if (timer_) {
            timer_->cancel();
            timer_.reset();
            env_.host->log("frame timer stopped");
        }
        return;
    }
    if (timer_) return;  // one timer serves both streams
    std::weak_ptr<ProgramDeviceSource> weak = weak_from_this();
    timer_ = env_.host->makeTimer(*queue, kFramePeriod, kTimerLeeway, [weak] {
        if (auto self = weak.lock()) self->tick();
    });
    env_.host->log(std::string("frame timer started (source=") +
                   (sourceRunning_ ? "true" : "false") +
                   ", sink=" + (sinkRunning_ ? "true" : "false") + ")");
}

void ProgramDeviceSource::tick() {
    if (sinkRunning_ && !consumePending_ && sinkClient_) requestNextSinkBuffer(*sinkClient_);
    if (!sourceRunning_) return;  // the sink is still drained while nobody watches
    std::uint64_t now = env_.host->nowNs();
    const PictureRef& picture =
        lastFrame_ && lastFrame_->readable() && now - lastFrameAt_ < kHoldNs ? lastFrame_ : slate_;
    if (picture) sendToSource(picture);
}

void ProgramDeviceSource::requestNextSinkBuffer(const Client& client) {
    consumePending_ = true;
    std::weak_ptr<ProgramDeviceSource> weak = weak_from_this();
    sinkStream->stream->consumeSampleBuffer(
        client, [weak](std::optional<SampleBuffer> buffer, std::uint64_t sequence, bool hasMore) {
            auto self = weak.lock();
            if (!self) return;
            self->queue->async([weak, buffer = std::move(buffer), sequence, hasMore]() mutable {
                if (auto device = weak.lock())
                    device->handleSinkBuffer(std::move(buffer), sequence, hasMore);
            });
        });
}

void ProgramDeviceSource::handleSinkBuffer(std::optional<SampleBuffer> buffer,
                                           std::uint64_t sequence, bool hasMore) {
    consumePending_ = false;
    if (shutDown_) return;  // the sink is going away with the process
    if (buffer && buffer->image) {
        lastFrame_ = buffer->image;
        lastFrameAt_ = env_.host->nowNs();
        sinkStream->stream->notifyScheduledOutputChanged(sequence, lastFrameAt_);
    }
    if (hasMore && sinkRunning_ && sinkClient_) requestNextSinkBuffer(*sinkClient_);
}

void ProgramDeviceSource::sendToSource(const PictureRef& picture) {
    if (!picture || picture->width() <= 0 || picture->height() <= 0) return;
    std::uint64_t t = env_.host->nowNs();
    SampleBuffer sample{picture, kFrameDuration, t};
    sourceStream->stream->sendSampleBuffer(sample, t);
}

void ProgramDeviceSource::shutdown() {
    std::weak_ptr<ProgramDeviceSource> weak = weak_from_this();
    queue->async([weak] {
        auto self = weak.lock();
        if (!self) return;
        self->shutDown_ = true;
        self->sourceRunning_ = false;
        self->sinkRunning_ = false;
        self->sinkClient_.reset();
        self->lastFrame_.reset();
        self->updateTimer();
    });
}

// ---- streams ----

ProgramStreamSource::ProgramStreamSource(std::shared_ptr<const StreamFormat> format, bool isSink,
                                         ProgramDeviceSource& owner)
    : format(std::move(format)), isSink(isSink), owner(owner) {}

std::vector<StreamFormat> ProgramStreamSource::formats() {
    return {*format};
}

PropertySet ProgramStreamSource::availableProperties() {
    PropertySet set{Property::StreamActiveFormatIndex, Property::StreamFrameDuration};
    if (isSink) {
        set.insert({Property::StreamSinkBufferQueueSize,
                    Property::StreamSinkBuffersRequiredForStartUp,
                    Property::StreamSinkBufferUnderrunCount, Property::StreamSinkEndOfData});
    }
    return set;
}

StreamProperties ProgramStreamSource::streamProperties(const PropertySet& requested) {
    StreamProperties answer;
    if (requested.count(Property::StreamActiveFormatIndex)) answer.activeFormatIndex = 0;
    if (requested.count(Property::StreamFrameDuration)) answer.frameDuration = kFrameDuration;
    if (isSink) {
        if (requested.count(Property::StreamSinkBufferQueueSize))
            answer.sinkBufferQueueSize = kSinkQueueSize;
        if (requested.count(Property::StreamSinkBuffersRequiredForStartUp))
            answer.sinkBuffersRequiredForStartUp = 1;
        // The under-run count and end of data are advertised, never given a value.
    }
    return answer;
}

bool ProgramStreamSource::setStreamProperties(const StreamProperties&) {
    return true;
}

bool ProgramStreamSource::authorizedToStartStream(const Client& client) {
    if (isSink) {
        ProgramDeviceSource* device = &owner;
        std::weak_ptr<ProgramDeviceSource> weak = device->weak_from_this();
        device->queue->async([weak, client] {
            if (auto self = weak.lock()) self->sinkClient_ = client;
        });
    }
    return true;
}

bool ProgramStreamSource::startStream() {
    std::weak_ptr<ProgramDeviceSource> weak = owner.weak_from_this();
    bool sink = isSink;
    owner.queue->async([weak, sink] {
        auto self = weak.lock();
        if (!self || self->shutDown_) return;
        (sink ? self->sinkRunning_ : self->sourceRunning_) = true;
        self->updateTimer();
    });
    return true;
}

bool ProgramStreamSource::stopStream() {
    std::weak_ptr<ProgramDeviceSource> weak = owner.weak_from_this();
    bool sink = isSink;
    owner.queue->async([weak, sink] {
        auto self = weak.lock();
        if (!self) return;
        if (sink) {
            self->sinkRunning_ = false;
            self->sinkClient_.reset();
            self->lastFrame_.reset();
        } else {
            self->sourceRunning_ = false;
        }
        self->updateTimer();
    });
    return true;
}

}  // namespace vsc::cam
