// A stand-in for the NDI runtime: a shared library that exports
// NDIlib_v6_load like the real one and records every call made through the
// table. The slots nobody should call abort.
#include "support/stand_in_ndi.h"

#include <cstdlib>
#include <cstring>

namespace {

using vsc::ndi::AudioFrameV2;
using vsc::ndi::FunctionTableV6;
using vsc::ndi::SendCreateSettings;
using vsc::ndi::SendInstance;
using vsc::ndi::VideoFrameV2;

vsc::test::StandInNdi state;

// An instance as the runtime would keep it; sends touch it without the
// stand-in's lock, as a real runtime may, so only the caller's serialisation
// keeps them apart (the thread sanitizer sees it when it does not).
struct Instance {
    std::uint64_t sends = 0;
};

void record(const char* call) {
    std::lock_guard<std::mutex> hold(state.mutex);
    state.calls.emplace_back(call);
}

bool alive(SendInstance instance) {
    std::lock_guard<std::mutex> hold(state.mutex);
    if (state.live.count(instance)) return true;
    ++state.onDeadInstance;
    return false;
}

bool initialize() {
    record("initialize");
    std::lock_guard<std::mutex> hold(state.mutex);
    return state.initializeResult;
}

const char* version() {
    record("version");
    std::lock_guard<std::mutex> hold(state.mutex);
    return state.versionText;
}

SendInstance sendCreate(const SendCreateSettings* settings) {
    record("send_create");
    std::lock_guard<std::mutex> hold(state.mutex);
    state.created.push_back({settings->name ? settings->name : "", settings->groups != nullptr,
                             settings->clockVideo, settings->clockAudio});
    if (state.createFails) return nullptr;
    auto* instance = new Instance();
    state.live.insert(instance);
    return instance;
}

void sendDestroy(SendInstance instance) {
    record("send_destroy");
    if (!alive(instance)) return;
    {
        std::lock_guard<std::mutex> hold(state.mutex);
        state.live.erase(instance);
    }
    delete static_cast<Instance*>(instance);
}

int connections(SendInstance instance, std::uint32_t timeoutMs) {
    record("send_get_no_connections");
    if (!alive(instance)) return 0;
    std::lock_guard<std::mutex> hold(state.mutex);
    state.connectionTimeouts.push_back(timeoutMs);
    return state.connections;
}

void sendVideo(SendInstance instance, const VideoFrameV2* frame) {
    if (!alive(instance)) return;
    ++static_cast<Instance*>(instance)->sends;
    // Read the picture as the runtime would: all of it must be there.
    std::size_t bytes = static_cast<std::size_t>(frame->lineStrideBytes) *
                        static_cast<std::size_t>(frame->height) * 3 / 2;
    vsc::test::StandInNdi::Video video{*frame, frame->data[0], frame->data[bytes - 1]};
    std::lock_guard<std::mutex> hold(state.mutex);
    state.calls.emplace_back("send_send_video_v2");
    state.videos.push_back(video);
}

void sendAudio(SendInstance instance, const AudioFrameV2* frame) {
    if (!alive(instance)) return;
    ++static_cast<Instance*>(instance)->sends;
    vsc::test::StandInNdi::Audio audio{*frame, {}};
    for (int c = 0; c < frame->channels; ++c) {
        const float* channel = reinterpret_cast<const float*>(
            reinterpret_cast<const std::uint8_t*>(frame->data) + c * frame->channelStrideBytes);
        audio.samples.insert(audio.samples.end(), channel, channel + frame->samplesPerChannel);
    }
    std::lock_guard<std::mutex> hold(state.mutex);
    state.calls.emplace_back("send_send_audio_v2");
    state.audios.push_back(std::move(audio));
}

FunctionTableV6 makeTable() {
    FunctionTableV6 table{};
    // Every slot first aborts: a call through a slot this program never
    // declared lands here rather than anywhere.
    void (*trap)() = [] { std::abort(); };
    for (std::size_t i = 0; i < sizeof table / sizeof(void*); ++i)
        std::memcpy(reinterpret_cast<char*>(&table) + i * sizeof(void*), &trap, sizeof trap);
    table.initialize = initialize;
    table.version = version;
    table.send_create = sendCreate;
    table.send_destroy = sendDestroy;
    table.send_get_no_connections = connections;
    table.send_send_video_v2 = sendVideo;
    table.send_send_audio_v2 = sendAudio;
    return table;
}

const FunctionTableV6 table = makeTable();

}  // namespace

extern "C" __attribute__((visibility("default"))) const FunctionTableV6* NDIlib_v6_load() {
    return &table;
}

extern "C" __attribute__((visibility("default"))) vsc::test::StandInNdi* standInNdi() {
    return &state;
}
