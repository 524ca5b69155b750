#include "app/ndi/ndi_runtime.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <new>

#include "app/model/platform_texts.h"

namespace vsc {
namespace {

constexpr const char* kIncompatible = "NDI runtime incompatible (NDIlib_v6_load missing)";
constexpr const char* kInitializationFailed = "NDI initialization failed (unsupported CPU?)";

}  // namespace

void* NdiRuntime::openLibrary(const char* path) {
    return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

NdiRuntime::NdiRuntime(Opener opener) : opener_(std::move(opener)) {}

NdiRuntime::~NdiRuntime() {
    unload();
}

NdiRuntime& NdiRuntime::shared() {
    // Once loaded, the runtime stays for the life of the process: its own
    // threads may still run while the process ends.
    static NdiRuntime* runtime = new NdiRuntime();
    return *runtime;
}

std::vector<std::string> NdiRuntime::candidatePaths() {
    std::vector<std::string> paths;
    if (const char* folder = std::getenv("NDI_RUNTIME_DIR_V6")) {
        char path[1024];
        std::snprintf(path, sizeof path, "%s/%s", folder, texts::kNdiLibraryName);
        paths.emplace_back(path);
    }
    paths.push_back(std::string("/usr/lib/") + texts::kNdiLibraryName);
    paths.push_back(std::string("/usr/local/lib/") + texts::kNdiLibraryName);
    return paths;
}

std::optional<std::string> NdiRuntime::load() {
    if (table_.load()) return std::nullopt;
    if (!library_) {
        for (const auto& path : candidatePaths()) {
            library_ = opener_(path.c_str());
            if (library_) break;
        }
        if (!library_) return std::string(texts::kNdiRuntimeNotFound);
    }
    auto entry = reinterpret_cast<ndi::LoadFunction>(dlsym(library_, "NDIlib_v6_load"));
    const ndi::FunctionTableV6* table = entry ? entry() : nullptr;
    if (!table) {
        unload();
        return std::string(kIncompatible);
    }
    table_.store(table);
    if (!table->initialize()) {
        // An uninitialised runtime must not count as loaded: the next start
        // looks for it and initialises it again rather than creating a sender
        // on it.
        unload();
        return std::string(kInitializationFailed);
    }
    return std::nullopt;
}

void NdiRuntime::unload() {
    table_.store(nullptr);
    if (library_) dlclose(library_);
    library_ = nullptr;
}

std::optional<std::string> NdiRuntime::version() {
    const ndi::FunctionTableV6* table = table_.load();
    if (!table || !table->version) return std::nullopt;
    const char* text = table->version();
    if (!text) return std::nullopt;
    return std::string(text);
}

NdiRuntime::Sender* NdiRuntime::createSender(const char* name) {
    const ndi::FunctionTableV6* table = table_.load();
    if (!table) return nullptr;
    ndi::SendCreateSettings settings{name, nullptr, false, false};
    ndi::SendInstance instance = table->send_create(&settings);
    if (!instance) return nullptr;
    auto* sender = new (std::nothrow) Sender();
    if (!sender) {
        table->send_destroy(instance);
        return nullptr;
    }
    sender->instance = instance;
    return sender;
}

void NdiRuntime::destroySender(Sender* sender) {
    const ndi::FunctionTableV6* table = table_.load();
    if (!sender) return;
    if (table) table->send_destroy(sender->instance);
    delete sender;
}

int NdiRuntime::connectionCount(Sender* sender) {
    const ndi::FunctionTableV6* table = table_.load();
    if (!table || !sender) return 0;
    return table->send_get_no_connections(sender->instance, 0);
}

void NdiRuntime::sendVideo(Sender* sender, const std::uint8_t* frame, std::int32_t width,
                           std::int32_t height, std::int32_t rateN, std::int32_t rateD) {
    const ndi::FunctionTableV6* table = table_.load();
    if (!table || !sender || !frame) return;
    ndi::VideoFrameV2 video{};
    video.width = width;
    video.height = height;
    video.fourCC = ndi::kFourCCNV12;
    video.frameRateN = rateN;
    video.frameRateD = rateD;
    video.pictureAspectRatio = static_cast<float>(width) / static_cast<float>(height);
    video.frameFormat = ndi::kFrameFormatProgressive;
    video.timecode = ndi::kTimecodeSynthesize;
    // The runtime only reads the frame, and only during this synchronous call.
    video.data = const_cast<std::uint8_t*>(frame);
    video.lineStrideBytes = width;
    video.metadata = nullptr;
    video.timestamp = 0;
    table->send_send_video_v2(sender->instance, &video);
}

void NdiRuntime::sendAudio(Sender* sender, const float* interleaved, std::int32_t frames,
                           std::int32_t channels, std::int32_t sampleRate) {
    const ndi::FunctionTableV6* table = table_.load();
    if (!table || !sender || !interleaved || channels < 1 || frames < 1) return;
    const std::size_t perChannel = static_cast<std::size_t>(frames);
    const std::size_t count = static_cast<std::size_t>(channels);
    const std::size_t needed = count * perChannel;
    if (sender->capacity < needed) {
        std::unique_ptr<float[]> grown(new (std::nothrow) float[needed]);
        if (!grown) return;  // this block is dropped; the old space stays
        sender->planar = std::move(grown);
        sender->capacity = needed;
    }
    float* planar = sender->planar.get();
    for (std::size_t c = 0; c < count; ++c)
        for (std::size_t f = 0; f < perChannel; ++f)
            planar[c * perChannel + f] = interleaved[f * count + c];
    ndi::AudioFrameV2 audio{};
    audio.sampleRate = sampleRate;
    audio.channels = channels;
    audio.samplesPerChannel = frames;
    audio.timecode = ndi::kTimecodeSynthesize;
    audio.data = planar;
    audio.channelStrideBytes = frames * static_cast<std::int32_t>(sizeof(float));
    audio.metadata = nullptr;
    audio.timestamp = 0;
    table->send_send_audio_v2(sender->instance, &audio);
}

}  // namespace vsc
