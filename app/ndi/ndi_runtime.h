#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vsc {

// The NDI runtime (libndi, SDK version 6) is another vendor's closed library.
// It is never linked: it is looked for at run time and reached only through
// the function table its NDIlib_v6_load returns. Only what this program calls
// is declared here, laid out as the vendor's SDK documents it.
namespace ndi {

using SendInstance = void*;

constexpr std::uint32_t fourCC(char a, char b, char c, char d) {
    return static_cast<std::uint32_t>(static_cast<std::uint8_t>(a)) |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(b)) << 8 |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(c)) << 16 |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(d)) << 24;
}
inline constexpr std::uint32_t kFourCCNV12 = fourCC('N', 'V', '1', '2');
inline constexpr std::int32_t kFrameFormatProgressive = 1;
// A timecode that asks the runtime to make one up.
inline constexpr std::int64_t kTimecodeSynthesize = INT64_MAX;

// What send_create is given.
struct SendCreateSettings {
    const char* name;    // UTF-8, NUL-terminated
    const char* groups;  // none: the default groups
    bool clockVideo;
    bool clockAudio;
};

// One video frame for send_send_video_v2.
struct VideoFrameV2 {
    std::int32_t width;
    std::int32_t height;
    std::uint32_t fourCC;
    std::int32_t frameRateN;
    std::int32_t frameRateD;
    float pictureAspectRatio;
    std::int32_t frameFormat;
    std::int64_t timecode;
    std::uint8_t* data;
    std::int32_t lineStrideBytes;
    const char* metadata;
    std::int64_t timestamp;
};

// One block of planar 32-bit float sound for send_send_audio_v2.
struct AudioFrameV2 {
    std::int32_t sampleRate;
    std::int32_t channels;
    std::int32_t samplesPerChannel;
    std::int64_t timecode;
    float* data;
    std::int32_t channelStrideBytes;
    const char* metadata;
    std::int64_t timestamp;
};

// The table NDIlib_v6_load returns: one pointer per entry point, in the SDK's
// order. The slots this program never calls are left unnamed.
struct FunctionTableV6 {
    bool (*initialize)();                                                   // 0
    void* unused1;                                                          // 1
    const char* (*version)();                                               // 2
    void* unused3to7[5];                                                    // 3 … 7
    SendInstance (*send_create)(const SendCreateSettings*);                 // 8
    void (*send_destroy)(SendInstance);                                     // 9
    void* unused10to16[7];                                                  // 10 … 16
    int (*send_get_no_connections)(SendInstance, std::uint32_t timeoutMs);  // 17
    void* unused18to49[32];                                                 // 18 … 49
    void (*send_send_video_v2)(SendInstance, const VideoFrameV2*);          // 50
    void* unused51;                                                         // 51
    void (*send_send_audio_v2)(SendInstance, const AudioFrameV2*);          // 52
};

static_assert(offsetof(FunctionTableV6, send_create) == 8 * sizeof(void*));
static_assert(offsetof(FunctionTableV6, send_get_no_connections) == 17 * sizeof(void*));
static_assert(offsetof(FunctionTableV6, send_send_video_v2) == 50 * sizeof(void*));
static_assert(offsetof(FunctionTableV6, send_send_audio_v2) == 52 * sizeof(void*));
static_assert(offsetof(VideoFrameV2, timecode) == 32 && offsetof(VideoFrameV2, data) == 40 &&
              offsetof(VideoFrameV2, timestamp) == 64 && sizeof(VideoFrameV2) == 72);
static_assert(offsetof(AudioFrameV2, timecode) == 16 && offsetof(AudioFrameV2, data) == 24 &&
              offsetof(AudioFrameV2, timestamp) == 48 && sizeof(AudioFrameV2) == 56);

using LoadFunction = const FunctionTableV6* (*)();

}  // namespace ndi

// The adapter over the runtime: loading it, and the few sender calls this
// program makes. One per process in the product (shared()); each operation
// does nothing, or gives nothing, while the runtime is not loaded.
class NdiRuntime {
  public:
    // A sender: the runtime's instance and the scratch space in which sound
    // is turned from interleaved to planar, which grows and never shrinks.
    struct Sender {
        ndi::SendInstance instance = nullptr;
        std::unique_ptr<float[]> planar;
        std::size_t capacity = 0;  // floats
    };

    // Opens a library file (the dynamic loader, resolving every symbol now,
    // with local visibility); tests watch or replace it.
    using Opener = std::function<void*(const char* path)>;
    static void* openLibrary(const char* path);

    explicit NdiRuntime(Opener opener = openLibrary);
    ~NdiRuntime();
    NdiRuntime(const NdiRuntime&) = delete;
    NdiRuntime& operator=(const NdiRuntime&) = delete;

    // The runtime of this process.
    static NdiRuntime& shared();

    // Where the runtime is looked for, in order: the folder the NDI runtime
    // variable names, then the system's library folders.
    static std::vector<std::string> candidatePaths();

    // None once the runtime is loaded and initialised, else why not. Main thread.
    std::optional<std::string> load();
    std::optional<std::string> version();

    Sender* createSender(const char* name);
    void destroySender(Sender* sender);
    int connectionCount(Sender* sender);
    void sendVideo(Sender* sender, const std::uint8_t* frame, std::int32_t width,
                   std::int32_t height, std::int32_t rateN, std::int32_t rateD);
    void sendAudio(Sender* sender, const float* interleaved, std::int32_t frames,
                   std::int32_t channels, std::int32_t sampleRate);

  private:
    void unload();

    Opener opener_;
    void* library_ = nullptr;
    // Written by load() alone; the senders read it once one exists.
    std::atomic<const ndi::FunctionTableV6*> table_{nullptr};
};

}  // namespace vsc
