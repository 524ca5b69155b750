#include "camera-extension/framework/pipewire_service.h"

#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <map>

#include "platform/frame_copies.h"
#include "platform/nv12.h"
#include "platform/pipewire_video.h"

namespace vsc::cam {
namespace {

constexpr int kSourceBuffers = 3;

std::string fourccText(std::uint32_t code) {
    std::string s(4, ' ');
    for (int i = 0; i < 4; ++i)
        s[static_cast<std::size_t>(i)] = static_cast<char>((code >> (24 - 8 * i)) & 0xFF);
    return s;
}

spa_video_format spaFormat(std::uint32_t pixelFormat) {
    return pixelFormat == fourcc('4', '2', '0', 'v') ? SPA_VIDEO_FORMAT_NV12
                                                     : SPA_VIDEO_FORMAT_UNKNOWN;
}

}  // namespace

// One published stream. Lives on the PipeWire loop; its stream source is told
// of starts and stops from the loop thread.
struct PipeWireService::Node final : StreamBackend, std::enable_shared_from_this<Node> {
    PipeWireConnection* connection = nullptr;
    Stream* stream = nullptr;
    pw_stream* pwStream = nullptr;
    spa_hook listener{};
    bool isSink = false;
    bool started = false;
    std::uint64_t nextClient = 0;
    StreamFormat format;
    std::int64_t bufferCount = 4;
    std::uint64_t sequence = 0;

    // Sink side: buffers received and not yet taken, and whether a buffer we
    // lent out is still backed by memory.
    std::deque<pw_buffer*> ready;
    std::map<pw_buffer*, std::shared_ptr<std::atomic<bool>>> alive;

    // Source side: the identity of the picture each buffer holds (0: none
    // yet), so that a picture sent again needs no new copy into it.
    std::map<pw_buffer*, std::uint64_t> holds;
    std::uint64_t lastSent = 0;

    std::size_t frameBytes() const {
        return static_cast<std::size_t>(format.description.width) *
               static_cast<std::size_t>(format.description.height) * 3 / 2;
    }

    // A sink buffer lent to the device until its picture is dropped.
    class SinkPicture final : public Picture {
      public:
        SinkPicture(std::shared_ptr<Node> node, pw_buffer* buffer,
                    std::shared_ptr<std::atomic<bool>> alive)
            : node_(std::move(node)), buffer_(buffer), alive_(std::move(alive)) {
            spa_data& d = buffer_->buffer->datas[0];
            auto* base = static_cast<std::uint8_t*>(d.data);
            std::uint32_t offset = d.chunk ? d.chunk->offset : 0;
            stride_ = d.chunk && d.chunk->stride > 0
                          ? static_cast<std::size_t>(d.chunk->stride)
                          : static_cast<std::size_t>(node_->format.description.width);
            luma_ = base ? base + offset : nullptr;
            chroma_ =
                luma_ ? luma_ + stride_ * static_cast<std::size_t>(node_->format.description.height)
                      : nullptr;
        }
        ~SinkPicture() override {
            if (!alive_->load()) return;  // its stream (and maybe the connection) has gone
            PipeWireConnection::Lock hold(*node_->connection);
            if (alive_->load() && node_->pwStream) pw_stream_queue_buffer(node_->pwStream, buffer_);
        }
        int width() const override { return node_->format.description.width; }
        int height() const override { return node_->format.description.height; }
        const std::uint8_t* luma() const override { return luma_; }
        std::size_t lumaStride() const override { return stride_; }
        const std::uint8_t* chroma() const override { return chroma_; }
        std::size_t chromaStride() const override { return stride_; }
        bool readable() const override { return luma_ && alive_->load(); }

      private:
        std::shared_ptr<Node> node_;
        pw_buffer* buffer_;
        std::shared_ptr<std::atomic<bool>> alive_;
        std::uint8_t* luma_ = nullptr;
        std::uint8_t* chroma_ = nullptr;
        std::size_t stride_ = 0;
    };

    // ---- StreamBackend ----

    void consumeSampleBuffer(const Client&, ConsumeHandler handler) override {
        std::optional<SampleBuffer> sample;
        std::uint64_t seq = 0;
        bool more = false;
        {
            PipeWireConnection::Lock hold(*connection);
            while (pwStream)
                if (pw_buffer* b = pw_stream_dequeue_buffer(pwStream))
                    ready.push_back(b);
                else
                    break;
            // Buffers without a whole picture go straight back.
            while (!ready.empty()) {
                pw_buffer* b = ready.front();
                ready.pop_front();
                spa_data& d = b->buffer->datas[0];
                if (d.data && d.chunk && d.chunk->size >= frameBytes()) {
                    auto it = alive.find(b);
                    auto flag =
                        it != alive.end() ? it->second : std::make_shared<std::atomic<bool>>(true);
                    sample =
                        SampleBuffer{std::make_shared<SinkPicture>(shared_from_this(), b, flag),
                                     MediaTime{1, 30}, 0};
                    if (auto* h = headerOf(b))
                        seq = h->seq;
                    else
                        seq = ++sequence;
                    break;
                }
                pw_stream_queue_buffer(pwStream, b);
            }
            more = !ready.empty();
        }
        handler(std::move(sample), seq, more);
    }

    void notifyScheduledOutputChanged(std::uint64_t, std::uint64_t) override {
        // Buffers go back to the producer when the device lets go of them.
    }

    // The picture goes out in the buffer that has been back from the readers
    // longest, copied into it only when that buffer does not hold it already:
    // a repeated picture (the slate, a held or slower picture) costs no copy
    // once it has gone round the buffers. Buffers are taken one per frame,
    // never hoarded: readers fall behind when we hold buffers we do not send.
    // While we drive the graph (the usual case) a cycle is started right
    // after, so readers get exactly the pump's cadence. When another driver
    // leads, its cycles take what is queued.
    void sendSampleBuffer(const SampleBuffer& sample, std::uint64_t hostTimeNs) override {
        if (!sample.image) return;
        PipeWireConnection::Lock hold(*connection);
        const Picture& picture = *sample.image;
        if (!pwStream || !picture.readable()) return;
        pw_buffer* b = pw_stream_dequeue_buffer(pwStream);
        if (!b) {  // every buffer is with the readers: skip this frame
            FrameCopies::add(frameCopies().sourceSkipped);
            return;
        }
        const int w = picture.width(), h = picture.height();
        const std::size_t stride = static_cast<std::size_t>(format.description.width);
        const std::size_t need = stride * static_cast<std::size_t>(h) * 3 / 2;
        spa_data& d = b->buffer->datas[0];
        auto* out = static_cast<std::uint8_t*>(d.data);
        std::uint64_t& held = holds[b];
        if (!out || d.maxsize < need || w != format.description.width ||
            h != format.description.height) {
            held = 0;
            d.chunk->size = 0;
            pw_stream_queue_buffer(pwStream, b);
            return;
        }
        const bool repeated = picture.identity() == lastSent;
        FrameCopies& copies = frameCopies();
        FrameCopies::add(repeated ? copies.sourceRepeatedPictures : copies.sourceNewPictures);
        if (held != picture.identity()) {
            copyNv12Into(out, stride, picture.luma(), picture.lumaStride(), picture.chroma(),
                         picture.chromaStride(), static_cast<std::size_t>(w),
                         static_cast<std::size_t>(h));
            held = picture.identity();
            FrameCopies::add(repeated ? copies.sourceRepeatedCopies : copies.sourceNewCopies);
        }
        lastSent = picture.identity();
        d.chunk->offset = 0;
        d.chunk->size = static_cast<std::uint32_t>(need);
        d.chunk->stride = static_cast<std::int32_t>(stride);
        if (auto* header = headerOf(b)) {
            header->pts = static_cast<std::int64_t>(hostTimeNs);
            header->flags = 0;
            header->seq = sequence++;
            header->dts_offset = 0;
        }
        pw_stream_queue_buffer(pwStream, b);
        if (pw_stream_is_driving(pwStream)) pw_stream_trigger_process(pwStream);
    }

    // ---- PipeWire events (loop thread, loop locked) ----

    void onState(pw_stream_state state) {
        bool streaming = state == PW_STREAM_STATE_STREAMING;
        if (streaming && !started) {
            started = true;
            if (isSink) stream->source.authorizedToStartStream(Client{++nextClient});
            stream->source.startStream();
        } else if (!streaming && started) {
            started = false;
            stream->source.stopStream();
        }
    }

    void onParamChanged(std::uint32_t id, const spa_pod* param) {
        if (id != SPA_PARAM_Format || !param) return;
        std::uint8_t storage[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
        const int stride = format.description.width;
        const int size = static_cast<int>(frameBytes());
        const int count = static_cast<int>(bufferCount);
        // The sink asks for exactly its queue size. A source buffer is back
        // from a reader that lets go of it at once only two cycles after it
        // went out (the reader hands it back in the next cycle, we get it in
        // the one after), so three keep a 30 fps reader fed; a fourth is
        // allowed to readers that insist. More would only cost 3 MB each.
        const spa_pod* params[2] = {isSink
                                        ? pictureBuffers(builder, count, count, count, size, stride)
                                        : pictureBuffers(builder, kSourceBuffers, kSourceBuffers,
                                                         kSourceBuffers + 1, size, stride),
                                    headerMeta(builder)};
        pw_stream_update_params(pwStream, params, 2);
    }

    void onAddBuffer(pw_buffer* b) {
        if (isSink) alive[b] = std::make_shared<std::atomic<bool>>(true);
    }

    void onRemoveBuffer(pw_buffer* b) {
        if (!isSink) {
            holds.erase(b);
            return;
        }
        auto it = alive.find(b);
        if (it != alive.end()) {
            it->second->store(false);  // a picture still holding it now reads as gone
            alive.erase(it);
        }
        ready.erase(std::remove(ready.begin(), ready.end(), b), ready.end());
    }
};

std::unique_ptr<PipeWireService> PipeWireService::start(Provider& provider, std::string* error) {
    std::unique_ptr<PipeWireService> service(new PipeWireService());
    service->connection_ = PipeWireConnection::connect("vsc-camera", error);
    if (!service->connection_) return nullptr;
    PipeWireConnection& connection = *service->connection_;

    ProviderProperties providerProps =
        provider.source.providerProperties(provider.source.availableProperties());
    PipeWireConnection::Lock hold(connection);
    for (Device* device : provider.devices()) {
        DeviceProperties deviceProps =
            device->source.deviceProperties(device->source.availableProperties());
        for (Stream* stream : device->streams()) {
            auto node = std::make_shared<Node>();
            node->connection = &connection;
            node->stream = stream;
            node->isSink = stream->direction == StreamDirection::Sink;
            auto formats = stream->source.formats();
            if (formats.empty()) continue;
            node->format = formats.front();
            StreamProperties props =
                stream->source.streamProperties(stream->source.availableProperties());
            if (props.sinkBufferQueueSize) node->bufferCount = *props.sinkBufferQueueSize;

            const bool sink = node->isSink;
            std::string description = sink ? stream->localizedName : device->localizedName;
            pw_properties* p = pw_properties_new(
                PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, sink ? "Playback" : "Capture",
                PW_KEY_MEDIA_ROLE, "Camera", PW_KEY_MEDIA_CLASS,
                sink ? "Video/Sink" : "Video/Source", PW_KEY_NODE_NAME, description.c_str(),
                PW_KEY_NODE_DESCRIPTION, description.c_str(), PW_KEY_NODE_NICK, description.c_str(),
                kPropDeviceId, device->deviceId.c_str(), kPropLegacyDeviceId,
                device->legacyDeviceId.c_str(), kPropDeviceName, device->localizedName.c_str(),
                kPropStreamId, stream->streamId.c_str(), kPropStreamName,
                stream->localizedName.c_str(), kPropStreamDirection, sink ? "sink" : "source",
                nullptr);
            if (deviceProps.model)
                pw_properties_set(p, kPropDeviceModel, deviceProps.model->c_str());
            if (deviceProps.transportType)
                pw_properties_set(p, kPropDeviceTransport,
                                  fourccText(*deviceProps.transportType).c_str());
            if (providerProps.manufacturer)
                pw_properties_set(p, kPropManufacturer, providerProps.manufacturer->c_str());
            if (!sink) pw_properties_set(p, PW_KEY_NODE_DRIVER, "true");

            node->pwStream = pw_stream_new(connection.core(), description.c_str(), p);
            if (!node->pwStream) {
                if (error) *error = "cannot create the stream " + stream->localizedName;
                return nullptr;
            }
            pw_stream_add_listener(node->pwStream, &node->listener, &streamEventsFor<Node>(),
                                   node.get());

            std::uint8_t storage[1024];
            spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
            const auto& f = node->format;
            if (spaFormat(f.description.pixelFormat) != SPA_VIDEO_FORMAT_NV12 ||
                f.minFrameDuration.value <= 0)
                continue;  // only the NV12 format is published
            const spa_pod* params[1] = {nv12Format(
                builder, f.description.width, f.description.height,
                static_cast<int>(f.minFrameDuration.timescale / f.minFrameDuration.value))};
            auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS |
                                                      (sink ? 0 : PW_STREAM_FLAG_DRIVER));
            int res =
                pw_stream_connect(node->pwStream, sink ? PW_DIRECTION_INPUT : PW_DIRECTION_OUTPUT,
                                  PW_ID_ANY, flags, params, 1);
            if (res < 0) {
                if (error)
                    *error = "cannot publish " + stream->localizedName + ": " + spa_strerror(res);
                return nullptr;
            }
            stream->attach(node);
            service->nodes_.push_back(node);
        }
    }
    return service;
}

PipeWireService::~PipeWireService() {
    if (!connection_) return;
    {
        PipeWireConnection::Lock hold(*connection_);
        for (auto& node : nodes_) {
            node->stream->attach(nullptr);
            for (auto& [buffer, alive] : node->alive) alive->store(false);
            spa_hook_remove(&node->listener);
            pw_stream_destroy(node->pwStream);
            node->pwStream = nullptr;
        }
    }
    nodes_.clear();
    connection_.reset();
}

}  // namespace vsc::cam
