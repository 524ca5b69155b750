#include "app/camera/pipewire_camera_system.h"

#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>

#include "app/camera/camera_sink.h"
#include "platform/clock.h"
#include "platform/nv12.h"
#include "platform/pipewire_video.h"

namespace vsc {
namespace {

const char* const kDeviceIdKey = "vsc.device.id";

}  // namespace

// Our output stream into a camera's sink node. Every field is guarded by the
// PipeWire loop lock.
class PipeWireCameraSystem::OutputQueue final : public SampleQueue {
  public:
    std::shared_ptr<PipeWireConnection> connection;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    std::int32_t buffers = 0;
    std::deque<pw_buffer*> free;
    bool streaming = false;
    std::int32_t error = 0;
    std::function<void()> onChange;

    ~OutputQueue() override { close(-EPIPE); }

    // Gives the stream up; from now on the queue has no room and says why.
    void close(std::int32_t why) {
        PipeWireConnection::Lock hold(*connection);
        if (stream) {
            spa_hook_remove(&listener);
            pw_stream_destroy(stream);
            stream = nullptr;
        }
        free.clear();
        buffers = 0;
        streaming = false;
        if (error == 0) error = why;
    }

    void refill() {
        if (!stream) return;
        while (pw_buffer* b = pw_stream_dequeue_buffer(stream)) free.push_back(b);
    }

    std::int32_t count() override {
        PipeWireConnection::Lock hold(*connection);
        refill();
        return buffers - static_cast<std::int32_t>(free.size());
    }

    std::int32_t capacity() override {
        PipeWireConnection::Lock hold(*connection);
        return buffers;
    }

    bool ready() override {
        PipeWireConnection::Lock hold(*connection);
        return streaming && stream;
    }

    std::int32_t status() override {
        PipeWireConnection::Lock hold(*connection);
        return error;
    }

    void setOnChange(std::function<void()> tell) override {
        PipeWireConnection::Lock hold(*connection);
        onChange = std::move(tell);
    }

    std::int32_t enqueue(const PixelBufferRef& picture, std::uint64_t hostTimeNs) override {
        PipeWireConnection::Lock hold(*connection);
        if (!stream) return -EPIPE;
        refill();
        if (free.empty()) return -EAGAIN;
        pw_buffer* b = free.front();
        free.pop_front();
        spa_data& d = b->buffer->datas[0];
        const std::size_t width = static_cast<std::size_t>(picture->width);
        const std::size_t height = static_cast<std::size_t>(picture->height);
        const std::size_t need = width * height * 3 / 2;
        auto* out = static_cast<std::uint8_t*>(d.data);
        if (!out || d.maxsize < need) {
            pw_stream_queue_buffer(stream, b);
            return -ENOSPC;
        }
        copyNv12Into(out, width, picture->luma, picture->lumaStride, picture->chroma,
                     picture->chromaStride, width, height);
        d.chunk->offset = 0;
        d.chunk->size = static_cast<std::uint32_t>(need);
        d.chunk->stride = static_cast<std::int32_t>(width);
        if (auto* h = headerOf(b)) {
            h->pts = static_cast<std::int64_t>(hostTimeNs);
            h->flags = 0;
            h->dts_offset = 0;
        }
        return pw_stream_queue_buffer(stream, b);
    }

    // ---- loop thread, loop locked ----
    void onState(pw_stream_state state) {
        bool was = streaming;
        streaming = state == PW_STREAM_STATE_STREAMING;
        if (state == PW_STREAM_STATE_ERROR && error == 0) error = -EIO;
        // The one told only posts the news to its own queue.
        if ((was != streaming || error != 0) && onChange) onChange();
    }
    void onParamChanged(std::uint32_t id, const spa_pod* param) {
        if (id != SPA_PARAM_Format || !param) return;
        std::uint8_t storage[512];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
        const spa_pod* params[2] = {
            pictureBuffers(builder, 4, 1, 32, static_cast<int>(CameraSink::kFrameBytes),
                           CameraSink::kWidth),
            headerMeta(builder)};
        pw_stream_update_params(stream, params, 2);
    }
    void onAddBuffer(pw_buffer*) { ++buffers; }
    void onRemoveBuffer(pw_buffer* b) {
        --buffers;
        free.erase(std::remove(free.begin(), free.end(), b), free.end());
    }
};

PipeWireCameraSystem::PipeWireCameraSystem() = default;

PipeWireCameraSystem::~PipeWireCameraSystem() {
    std::lock_guard<std::mutex> hold(mutex_);
    dropConnection();
}

void PipeWireCameraSystem::dropConnection() {
    for (auto& [id, weak] : queues_)
        if (auto queue = weak.lock()) queue->close(-EPIPE);
    queues_.clear();
    if (connection_ && nodes_) {
        PipeWireConnection::Lock loop(*connection_);
        nodes_.reset();
    }
    connection_.reset();
}

bool PipeWireCameraSystem::ensureConnected() {
    // The server went away (restarted): ids and streams of the old
    // connection mean nothing to the new one.
    if (connection_ && connection_->broken()) dropConnection();
    if (connection_) return true;
    std::string error;
    connection_ = PipeWireConnection::connect("vsc-camera-sink", &error);
    if (!connection_) return false;
    {
        PipeWireConnection::Lock loop(*connection_);
        nodes_ = std::make_unique<PipeWireNodes>(*connection_, "Video/");
    }
    // Twice: the first round trip brings the nodes, the second what the
    // bound ones say of themselves.
    connection_->sync();
    connection_->sync();
    return true;
}

std::vector<CameraObjectId> PipeWireCameraSystem::list(CameraObjectId object,
                                                       std::uint32_t selector) {
    std::vector<CameraObjectId> ids;
    if (!ensureConnected()) return ids;
    if (object == kSystemObject && selector == kSelectorDevices) connection_->sync();
    PipeWireConnection::Lock loop(*connection_);
    if (object == kSystemObject && selector == kSelectorDevices) {
        for (const auto& n : nodes_->list())
            if (n->prop(PW_KEY_MEDIA_CLASS) == "Video/Source") ids.push_back(n->id);
    } else if (selector == kSelectorStreams) {
        const PipeWireNodes::Node* device = nodes_->find(object);
        if (!device || device->prop(PW_KEY_MEDIA_CLASS) != "Video/Source") return ids;
        ids.push_back(device->id);
        std::string deviceId = device->prop(kDeviceIdKey);
        if (deviceId.empty()) return ids;
        for (const auto& n : nodes_->list())
            if (n->prop(PW_KEY_MEDIA_CLASS) == "Video/Sink" && n->prop(kDeviceIdKey) == deviceId)
                ids.push_back(n->id);
    }
    return ids;
}

std::int32_t PipeWireCameraSystem::propertyDataSize(CameraObjectId object, std::uint32_t selector,
                                                    std::uint32_t* size) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!ensureConnected()) return -ECONNREFUSED;
    *size = static_cast<std::uint32_t>(list(object, selector).size() * 4);
    return 0;
}

std::int32_t PipeWireCameraSystem::propertyData(CameraObjectId object, std::uint32_t selector,
                                                std::uint32_t size, std::uint32_t* data) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!ensureConnected()) return -ECONNREFUSED;
    auto ids = list(object, selector);
    std::size_t n = std::min<std::size_t>(ids.size(), size / 4);
    std::copy_n(ids.begin(), n, data);
    return 0;
}

std::optional<std::string> PipeWireCameraSystem::stringProperty(CameraObjectId object,
                                                                std::uint32_t selector) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (selector != kSelectorName || !ensureConnected()) return std::nullopt;
    PipeWireConnection::Lock loop(*connection_);
    const PipeWireNodes::Node* node = nodes_->find(object);
    if (!node) return std::nullopt;
    for (const char* key : {PW_KEY_NODE_DESCRIPTION, PW_KEY_NODE_NICK, PW_KEY_NODE_NAME}) {
        std::string value = node->prop(key);
        if (!value.empty()) return value;
    }
    return std::nullopt;
}

std::uint64_t PipeWireCameraSystem::objectIdentity(CameraObjectId object) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!ensureConnected()) return 0;
    PipeWireConnection::Lock loop(*connection_);
    const PipeWireNodes::Node* node = nodes_->find(object);
    return node ? connection_->identity(node->serial) : 0;
}

std::int32_t PipeWireCameraSystem::copyBufferQueue(CameraObjectId streamId,
                                                   std::shared_ptr<SampleQueue>* queue) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!ensureConnected()) return -ECONNREFUSED;
    auto out = std::make_shared<OutputQueue>();
    out->connection = connection_;
    {
        PipeWireConnection::Lock loop(*connection_);
        const PipeWireNodes::Node* node = nodes_->find(streamId);
        if (!node || node->prop(PW_KEY_MEDIA_CLASS) != "Video/Sink") return -ENOENT;
        std::string target = node->prop(PW_KEY_OBJECT_SERIAL);
        if (target.empty()) target = node->prop(PW_KEY_NODE_NAME);
        pw_properties* props = pw_properties_new(
            PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE,
            "Camera", PW_KEY_NODE_DESCRIPTION, "Vendaroscope Virtual Webcam", PW_KEY_TARGET_OBJECT,
            target.c_str(), PW_KEY_NODE_DONT_RECONNECT, "true", nullptr);
        out->stream = pw_stream_new(connection_->core(), "Vendaroscope Virtual Webcam", props);
        if (!out->stream) return -errno;
        pw_stream_add_listener(out->stream, &out->listener, &streamEventsFor<OutputQueue>(),
                               out.get());
    }
    queues_[streamId] = out;
    *queue = out;
    return 0;
}

std::int32_t PipeWireCameraSystem::startStream(CameraObjectId, CameraObjectId streamId) {
    std::lock_guard<std::mutex> hold(mutex_);
    auto it = queues_.find(streamId);
    std::shared_ptr<OutputQueue> out = it == queues_.end() ? nullptr : it->second.lock();
    if (!out || out->connection != connection_) return -ENOENT;
    PipeWireConnection::Lock loop(*connection_);
    if (!out->stream) return -EPIPE;
    std::uint8_t storage[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const spa_pod* params[1] = {nv12Format(builder, CameraSink::kWidth, CameraSink::kHeight, 30)};
    // We drive the link: a picture moves to the camera as soon as it is
    // queued. The session manager makes the link in the background; the
    // queue tells when the camera has taken it.
    return pw_stream_connect(
        out->stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_DRIVER |
                                     PW_STREAM_FLAG_MAP_BUFFERS),
        params, 1);
}

std::int32_t PipeWireCameraSystem::stopStream(CameraObjectId, CameraObjectId streamId) {
    std::shared_ptr<OutputQueue> out;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        auto it = queues_.find(streamId);
        if (it == queues_.end()) return -ENOENT;
        out = it->second.lock();
        queues_.erase(it);
    }
    if (out) out->close(-EPIPE);
    return 0;
}

std::uint64_t PipeWireCameraSystem::hostTimeNs() {
    return monotonicNanoseconds();
}

}  // namespace vsc
