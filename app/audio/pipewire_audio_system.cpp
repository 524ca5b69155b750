#include "app/audio/pipewire_audio_system.h"

#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace vsc {
namespace {

constexpr int kRate = 48000;
constexpr int kChannels = 2;

bool acceptsPlayback(const PipeWireNodes::Node& n) {
    std::string mediaClass = n.prop(PW_KEY_MEDIA_CLASS);
    return mediaClass == "Audio/Sink" || mediaClass == "Audio/Duplex";
}

std::string nameOf(const PipeWireNodes::Node& n) {
    for (const char* key : {PW_KEY_NODE_DESCRIPTION, PW_KEY_NODE_NICK, PW_KEY_NODE_NAME}) {
        std::string value = n.prop(key);
        if (!value.empty()) return value;
    }
    return {};
}

}  // namespace

struct PipeWireAudioSystem::Playback {
    pw_stream* stream = nullptr;
    spa_hook listener{};
    Render render;
    bool linked = false;  // loop thread, loop locked
    std::atomic<bool> lost{false};

    void onState(pw_stream_state state) {
        if (state == PW_STREAM_STATE_STREAMING || state == PW_STREAM_STATE_PAUSED) linked = true;
        // Its device went (the stream does not follow another one), or the
        // server did.
        if (state == PW_STREAM_STATE_ERROR || (linked && state == PW_STREAM_STATE_UNCONNECTED))
            lost = true;
    }

    // PipeWire's data thread: one render per cycle, straight into its buffers.
    void onProcess() {
        pw_buffer* b = pw_stream_dequeue_buffer(stream);
        if (!b) return;
        spa_buffer* buffer = b->buffer;
        if (buffer->n_datas < static_cast<std::uint32_t>(kChannels)) {
            pw_stream_queue_buffer(stream, b);
            return;
        }
        std::uint32_t frames = buffer->datas[0].maxsize / sizeof(float);
        for (std::uint32_t c = 1; c < buffer->n_datas; ++c)
            frames = std::min(frames,
                              buffer->datas[c].maxsize / static_cast<std::uint32_t>(sizeof(float)));
        if (b->requested > 0)
            frames = std::min<std::uint32_t>(frames, static_cast<std::uint32_t>(b->requested));
        float* planes[kChannels];
        for (int c = 0; c < kChannels; ++c) planes[c] = static_cast<float*>(buffer->datas[c].data);
        if (planes[0] && planes[1]) render(frames, std::span<float* const>(planes, kChannels));
        for (int c = 0; c < kChannels; ++c) {
            buffer->datas[c].chunk->offset = 0;
            buffer->datas[c].chunk->stride = sizeof(float);
            buffer->datas[c].chunk->size = frames * sizeof(float);
        }
        pw_stream_queue_buffer(stream, b);
    }
};

PipeWireAudioSystem::PipeWireAudioSystem() = default;

PipeWireAudioSystem::~PipeWireAudioSystem() {
    std::lock_guard<std::mutex> hold(mutex_);
    dropConnection();
}

void PipeWireAudioSystem::stopPlayback() {
    if (!playback_ || !connection_) return;
    PipeWireConnection::Lock loop(*connection_);
    spa_hook_remove(&playback_->listener);
    pw_stream_destroy(playback_->stream);
    playback_.reset();
}

void PipeWireAudioSystem::dropConnection() {
    if (!connection_) return;
    stopPlayback();
    {
        PipeWireConnection::Lock loop(*connection_);
        nodes_.reset();
    }
    connection_.reset();
    listed_.clear();
}

bool PipeWireAudioSystem::ensureConnected() {
    // The server went away (restarted): start over with a new connection;
    // nothing made on the old one, nor any id it listed, counts any more.
    if (connection_ && connection_->broken()) dropConnection();
    if (connection_) return true;
    std::string error;
    connection_ =
        PipeWireConnection::connect("vsc-audio", &error, PipeWireConnection::DataThread::realtime);
    if (!connection_) return false;
    {
        PipeWireConnection::Lock loop(*connection_);
        nodes_ = std::make_unique<PipeWireNodes>(*connection_, "");
    }
    connection_->sync();
    return true;
}

std::vector<AudioDevice> PipeWireAudioSystem::outputDevices() {
    std::lock_guard<std::mutex> hold(mutex_);
    std::vector<AudioDevice> devices;
    if (!ensureConnected()) return devices;
    connection_->sync();
    PipeWireConnection::Lock loop(*connection_);
    listed_.clear();
    for (const auto& n : nodes_->list()) {
        if (!acceptsPlayback(*n)) continue;
        devices.push_back({n->id, nameOf(*n), connection_->identity(n->serial)});
        listed_[n->id] = n->serial;
    }
    return devices;
}

std::optional<AudioError> PipeWireAudioSystem::start(std::uint32_t deviceId, Render render) {
    std::lock_guard<std::mutex> hold(mutex_);
    stopPlayback();
    if (!ensureConnected())
        return AudioError{"VSCVirtualCam", 1, "The audio server cannot be reached"};
    PipeWireConnection::Lock loop(*connection_);
    const PipeWireNodes::Node* node = nodes_->find(deviceId);
    auto listed = listed_.find(deviceId);
    if (!node || !acceptsPlayback(*node) || listed == listed_.end() ||
        listed->second != node->serial)
        return AudioError{"PipeWire", -ENOENT,
                          "The audio device " + std::to_string(deviceId) + " is gone"};
    std::string target = node->prop(PW_KEY_OBJECT_SERIAL);
    if (target.empty()) target = node->prop(PW_KEY_NODE_NAME);

    auto playback = std::make_unique<Playback>();
    playback->render = std::move(render);
    playback->stream = pw_stream_new(
        connection_->core(), "Vendaroscope Virtual Webcam",
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                          PW_KEY_MEDIA_ROLE, "Communication", PW_KEY_NODE_DESCRIPTION,
                          "Vendaroscope Virtual Webcam", PW_KEY_TARGET_OBJECT, target.c_str(),
                          PW_KEY_NODE_DONT_RECONNECT, "true", nullptr));
    if (!playback->stream)
        return AudioError{"PipeWire", -errno, "Cannot create the playback stream"};
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.process = [](void* data) { static_cast<Playback*>(data)->onProcess(); };
        e.state_changed = [](void* data, pw_stream_state, pw_stream_state state, const char*) {
            static_cast<Playback*>(data)->onState(state);
        };
        return e;
    }();
    pw_stream_add_listener(playback->stream, &playback->listener, &events, playback.get());

    std::uint8_t storage[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32P;
    info.rate = kRate;
    info.channels = kChannels;
    info.position[0] = SPA_AUDIO_CHANNEL_FL;
    info.position[1] = SPA_AUDIO_CHANNEL_FR;
    const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    int res = pw_stream_connect(
        playback->stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                     PW_STREAM_FLAG_RT_PROCESS),
        params, 1);
    if (res < 0) {
        spa_hook_remove(&playback->listener);
        pw_stream_destroy(playback->stream);
        return AudioError{"PipeWire", res,
                          std::string("Cannot start playback: ") + spa_strerror(res)};
    }
    playback_ = std::move(playback);
    return std::nullopt;
}

bool PipeWireAudioSystem::playbackLost() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!playback_ || !connection_) return false;
    return playback_->lost || connection_->broken();
}

void PipeWireAudioSystem::stop() {
    std::lock_guard<std::mutex> hold(mutex_);
    stopPlayback();
}

}  // namespace vsc
