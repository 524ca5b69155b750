#pragma once

#include <dlfcn.h>

#include <cstdint>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/ndi/ndi_runtime.h"

namespace vsc::test {

// What the stand-in NDI runtime (a shared library the tests build, exporting
// NDIlib_v6_load) is told to do and what it was asked. The state lives in
// the library; tests reach it through standInNdi().
struct StandInNdi {
    struct Created {
        std::string name;
        bool groupsGiven, clockVideo, clockAudio;
    };
    struct Video {
        ndi::VideoFrameV2 frame;
        std::uint8_t firstByte, lastByte;
    };
    struct Audio {
        ndi::AudioFrameV2 frame;
        std::vector<float> samples;  // channels × samples per channel, as sent
    };

    std::mutex mutex;
    // What it does.
    bool initializeResult = true;
    bool createFails = false;
    int connections = 0;
    const char* versionText = "6.0.2 (stand-in)";
    // What it was asked, in order: "initialize", "version", "send_create", …
    std::vector<std::string> calls;
    std::vector<Created> created;
    std::vector<Video> videos;
    std::vector<Audio> audios;
    std::vector<std::uint32_t> connectionTimeouts;
    // Sends, counts or destroys that named an instance not alive then.
    int onDeadInstance = 0;
    std::set<void*> live;

    void reset() {
        std::lock_guard<std::mutex> hold(mutex);
        initializeResult = true;
        createFails = false;
        connections = 0;
        calls.clear();
        created.clear();
        videos.clear();
        audios.clear();
        connectionTimeouts.clear();
        onDeadInstance = 0;
    }
    int count(const std::string& call) {
        std::lock_guard<std::mutex> hold(mutex);
        int n = 0;
        for (const auto& c : calls) n += c == call;
        return n;
    }
};

#ifdef STAND_IN_NDI
// The built stand-in, held open by the test so that its state outlives any
// unloading by the code under test.
class StandInNdiLibrary {
  public:
    StandInNdiLibrary() {
        handle_ = dlopen(STAND_IN_NDI, RTLD_NOW | RTLD_LOCAL);
        if (!handle_) throw std::runtime_error(dlerror());
        auto state = reinterpret_cast<StandInNdi* (*)()>(dlsym(handle_, "standInNdi"));
        if (!state) throw std::runtime_error("the stand-in NDI runtime has no state");
        state_ = state();
        state_->reset();
    }
    ~StandInNdiLibrary() { dlclose(handle_); }
    StandInNdi& operator*() { return *state_; }
    StandInNdi* operator->() { return state_; }
    static std::string path() { return STAND_IN_NDI; }

  private:
    void* handle_ = nullptr;
    StandInNdi* state_ = nullptr;
};
#endif

}  // namespace vsc::test
