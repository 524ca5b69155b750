#include "app/camera/pipewire_camera_system.h"

#include <fcntl.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>

#include "app/camera/camera_sink.h"
#include "platform/clock.h"
#include "platform/frame_copies.h"
#include "platform/nv12.h"
#include "platform/pipewire_video.h"

namespace vsc {
namespace {

const char* const kDeviceIdKey = "vsc.device.id";

}  // namespace

// The memory of one buffer of the link: a memfd we allocate and map, so that
// a picture lent out keeps it mapped even after the stream has let the buffer
// go (a reader thread may be filling it at that moment).
struct LinkMemory {
    int fd = -1;
    std::uint8_t* bytes = nullptr;
    std::size_t size = 0;
    ~LinkMemory() {
        if (bytes) ::munmap(bytes, size);
        if (fd >= 0) ::close(fd);
    }
};

// Our output stream into a camera's sink node. Every field is guarded by the
// PipeWire loop lock.
class PipeWireCameraSystem::OutputQueue final
    : public SampleQueue,
      public std::enable_shared_from_this<PipeWireCameraSystem::OutputQueue> {
  public:
    std::shared_ptr<PipeWireConnection> connection;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    std::int32_t buffers = 0;
    std::deque<pw_buffer*> free;
    // Buffers lent out as pictures, with the memory each was lent with: a
    // buffer the stream let go of and made anew may come back at the same
    // address, but never with the same memory.
    std::map<pw_buffer*, const LinkMemory*> lent;
    std::map<pw_buffer*, std::shared_ptr<LinkMemory>> memory;
    bool streaming = false;
    std::int32_t error = 0;
    std::function<void()> onChange;

    // One of our buffers, lent out to be filled in place.
    struct LentPicture final : PixelBuffer {
        std::weak_ptr<OutputQueue> queue;
        pw_buffer* buffer = nullptr;
        std::shared_ptr<LinkMemory> memory;
        ~LentPicture() override {
            if (auto q = queue.lock()) q->giveBack(*this);
        }
    };

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
        lent.clear();
        memory.clear();
        buffers = 0;
        streaming = false;
        if (error == 0) error = why;
    }

    void refill() {
        if (!stream) return;
        while (pw_buffer* b = pw_stream_dequeue_buffer(stream)) free.push_back(b);
    }

    // Whether the picture is one of our buffers, lent and not yet given back.
    bool isLent(const PixelBuffer& picture) {
        auto* own = dynamic_cast<const LentPicture*>(&picture);
        if (!own) return false;
        auto it = lent.find(own->buffer);
        return it != lent.end() && it->second == own->memory.get();
    }

    void giveBack(const LentPicture& picture) {
        PipeWireConnection::Lock hold(*connection);
        if (!isLent(picture)) return;  // enqueued, or the stream let the buffer go
        lent.erase(picture.buffer);
        free.push_back(picture.buffer);
    }

    std::int32_t count() override {
        PipeWireConnection::Lock hold(*connection);
        refill();
        return std::max(0, buffers - static_cast<std::int32_t>(free.size() + lent.size()));
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

    PixelBufferRef lend() override {
        PipeWireConnection::Lock hold(*connection);
        if (!stream) return nullptr;
        refill();
        while (!free.empty()) {
            pw_buffer* b = free.front();
            free.pop_front();
            auto it = memory.find(b);
            if (it == memory.end() || it->second->size < CameraSink::kFrameBytes) {
                // Not memory of ours: it can only carry copies.
                pw_stream_queue_buffer(stream, b);
                continue;
            }
            auto picture = std::make_shared<LentPicture>();
            picture->queue = weak_from_this();
            picture->buffer = b;
            picture->memory = it->second;
            picture->width = CameraSink::kWidth;
            picture->height = CameraSink::kHeight;
            picture->luma = it->second->bytes;
            picture->lumaStride = CameraSink::kWidth;
            picture->chroma =
                it->second->bytes + std::size_t{CameraSink::kWidth} * CameraSink::kHeight;
            picture->chromaStride = CameraSink::kWidth;
            lent[b] = it->second.get();
            return picture;
        }
        return nullptr;
    }

    std::int32_t enqueue(const PixelBufferRef& picture, std::uint64_t hostTimeNs) override {
        PipeWireConnection::Lock hold(*connection);
        if (!stream) return -EPIPE;
        const std::size_t width = static_cast<std::size_t>(picture->width);
        const std::size_t height = static_cast<std::size_t>(picture->height);
        const std::size_t need = width * height * 3 / 2;
        pw_buffer* b = nullptr;
        if (isLent(*picture)) {
            // Filled in place: it only has to be queued.
            b = static_cast<const LentPicture&>(*picture).buffer;
            lent.erase(b);
        } else {
            refill();
            if (free.empty()) return -EAGAIN;
            b = free.front();
            free.pop_front();
            spa_data& d = b->buffer->datas[0];
            auto* out = static_cast<std::uint8_t*>(d.data);
            if (!out || d.maxsize < need) {
                pw_stream_queue_buffer(stream, b);
                return -ENOSPC;
            }
            copyNv12Into(out, width, picture->luma, picture->lumaStride, picture->chroma,
                         picture->chromaStride, width, height);
            FrameCopies::add(frameCopies().linkCopies);
        }
        spa_data& d = b->buffer->datas[0];
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
        // Shared memory we allocate ourselves (onAddBuffer), so that a frame
        // can be read from ffmpeg straight into a buffer of the link.
        const spa_pod* params[2] = {
            pictureBuffers(builder, 4, 1, 32, static_cast<int>(CameraSink::kFrameBytes),
                           CameraSink::kWidth, 1 << SPA_DATA_MemFd),
            headerMeta(builder)};
        pw_stream_update_params(stream, params, 2);
    }
    void onAddBuffer(pw_buffer* b) {
        ++buffers;
        spa_data& d = b->buffer->datas[0];
        if ((d.type & (1u << SPA_DATA_MemFd)) == 0) return;  // left to the stream
        auto mem = std::make_shared<LinkMemory>();
        mem->size = CameraSink::kFrameBytes;
        mem->fd = memfd_create("vsc-camera-link", MFD_CLOEXEC | MFD_ALLOW_SEALING);
        if (mem->fd < 0 || ftruncate(mem->fd, static_cast<off_t>(mem->size)) < 0) return;
        fcntl(mem->fd, F_ADD_SEALS, F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL);
        void* map = mmap(nullptr, mem->size, PROT_READ | PROT_WRITE, MAP_SHARED, mem->fd, 0);
        if (map == MAP_FAILED) return;
        mem->bytes = static_cast<std::uint8_t*>(map);
        d.type = SPA_DATA_MemFd;
        d.flags = SPA_DATA_FLAG_READWRITE;
        d.fd = mem->fd;
        d.mapoffset = 0;
        d.maxsize = static_cast<std::uint32_t>(mem->size);
        d.data = mem->bytes;
        memory[b] = std::move(mem);
    }
    void onRemoveBuffer(pw_buffer* b) {
        --buffers;
        free.erase(std::remove(free.begin(), free.end(), b), free.end());
        lent.erase(b);
        // A picture lent from it keeps the memory mapped until it is dropped.
        memory.erase(b);
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
                                     PW_STREAM_FLAG_ALLOC_BUFFERS),
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
