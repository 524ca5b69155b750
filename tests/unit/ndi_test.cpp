// The NDI source against a stand-in runtime the tests build: where the runtime
// is looked for, what the sender is given, and the model's switch and status.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <thread>

#include "app/model/app_model.h"
#include "support/model_ports.h"
#include "support/stand_in_ndi.h"

namespace fs = std::filesystem;

namespace {

// A folder of the test's own, and the runtime variable pointed at it.
class RuntimeFolder {
  public:
    RuntimeFolder() {
        char pattern[] = "/tmp/vsc-ndi-XXXXXX";
        path_ = mkdtemp(pattern);
        point();
    }
    ~RuntimeFolder() {
        unsetenv("NDI_RUNTIME_DIR_V6");
        fs::remove_all(path_);
    }
    void point() { setenv("NDI_RUNTIME_DIR_V6", path_.c_str(), 1); }
    // Puts a library there under the runtime's name.
    void install(const std::string& library) {
        fs::remove(path_ / "libndi.so.6");
        fs::create_symlink(library, path_ / "libndi.so.6");
    }
    std::string library() const { return (path_ / "libndi.so.6").string(); }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

// The dynamic loader, watched; only the test's folders are really opened, so
// that a runtime installed on this machine cannot answer for the stand-in.
struct WatchedLoader {
    std::vector<std::string> tried;
    vsc::NdiRuntime::Opener opener() {
        return [this](const char* path) -> void* {
            tried.emplace_back(path);
            if (std::strncmp(path, "/tmp/vsc-ndi-", 13) != 0) return nullptr;
            return vsc::NdiRuntime::openLibrary(path);
        };
    }
};

std::string libcPath() {
    Dl_info info{};
    dladdr(reinterpret_cast<void*>(&::strlen), &info);
    return info.dli_fname;
}

TEST(NdiRuntime, LooksInTheVariablesFolderFirstAndFindsARuntimeInstalledLater) {
    vsc::test::StandInNdiLibrary standIn;
    RuntimeFolder folder;
    WatchedLoader loader;
    vsc::NdiRuntime runtime(loader.opener());
    vsc::NDIOutput output(runtime);

    EXPECT_EQ(output.start("Desk"), "NDI runtime not found (libndi.so.6)");
    EXPECT_EQ(loader.tried, (std::vector<std::string>{folder.library(), "/usr/lib/libndi.so.6",
                                                      "/usr/local/lib/libndi.so.6"}));
    EXPECT_FALSE(output.connectionCount());

    // A library of that name that is no NDI runtime is let go again.
    RuntimeFolder other;
    other.install(libcPath());
    EXPECT_EQ(output.start("Desk"), "NDI runtime incompatible (NDIlib_v6_load missing)");

    folder.point();
    folder.install(vsc::test::StandInNdiLibrary::path());
    loader.tried.clear();
    EXPECT_EQ(output.start("Desk"), std::nullopt);
    EXPECT_EQ(loader.tried, std::vector<std::string>{folder.library()});
    EXPECT_EQ(standIn->calls, (std::vector<std::string>{"initialize", "send_create"}));
    ASSERT_EQ(standIn->created.size(), 1u);
    EXPECT_EQ(standIn->created[0].name, "Desk");
    EXPECT_FALSE(standIn->created[0].groupsGiven);
    EXPECT_FALSE(standIn->created[0].clockVideo);
    EXPECT_FALSE(standIn->created[0].clockAudio);

    // Loaded once: a restart replaces the sender and searches no more.
    EXPECT_EQ(output.start("Desk 2"), std::nullopt);
    EXPECT_EQ(loader.tried.size(), 1u);
    EXPECT_EQ(standIn->calls, (std::vector<std::string>{"initialize", "send_create", "send_destroy",
                                                        "send_create"}));
    output.stop();
    output.stop();  // idempotent
    EXPECT_EQ(standIn->count("send_destroy"), 2);
}

// A runtime that cannot initialise is not kept: the next start tries it
// again rather than creating a sender on an uninitialised runtime.
TEST(NdiRuntime, AFailedInitialisationIsTriedAgainAtTheNextStart) {
    vsc::test::StandInNdiLibrary standIn;
    RuntimeFolder folder;
    folder.install(vsc::test::StandInNdiLibrary::path());
    WatchedLoader loader;
    vsc::NdiRuntime runtime(loader.opener());
    vsc::NDIOutput output(runtime);
    standIn->initializeResult = false;
    EXPECT_EQ(output.start("Desk"), "NDI initialization failed (unsupported CPU?)");
    EXPECT_EQ(output.start("Desk"), "NDI initialization failed (unsupported CPU?)");
    EXPECT_EQ(standIn->count("initialize"), 2);
    EXPECT_EQ(standIn->count("send_create"), 0);
    EXPECT_EQ(runtime.version(), std::nullopt);

    standIn->initializeResult = true;
    standIn->createFails = true;
    EXPECT_EQ(output.start("Desk"), "NDI sender creation failed");
    EXPECT_FALSE(output.connectionCount());
    standIn->createFails = false;
    EXPECT_EQ(output.start("Desk"), std::nullopt);
    EXPECT_EQ(output.connectionCount(), 0);
}

// The receiver's threads send while the main thread switches the source off
// and on: no send, count or destroy ever reaches a sender that is gone (the
// stand-in counts them; the sanitizers watch the instance's memory).
TEST(NdiRuntime, StoppingWhileFramesArriveNeverSendsOnADestroyedSender) {
    vsc::test::StandInNdiLibrary standIn;
    RuntimeFolder folder;
    folder.install(vsc::test::StandInNdiLibrary::path());
    WatchedLoader loader;
    vsc::NdiRuntime runtime(loader.opener());
    vsc::NDIOutput output(runtime);
    ASSERT_EQ(output.start("Desk"), std::nullopt);

    std::atomic<bool> done{false};
    std::vector<std::uint8_t> frame(vsc::NDIOutput::kFrameBytes, 16);
    std::vector<float> block(960, 0.25f);
    std::thread video([&] {
        while (!done) output.sendVideo(frame);
    });
    std::thread audio([&] {
        while (!done) output.sendAudio(block.data(), block.size(), 2, 48000);
    });
    // Switched at least 200 times, and for as long as it takes both threads
    // to send through many of those senders.
    auto sent = [&](const char* call) { return standIn->count(call); };
    int switches = 0;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (switches < 200 || sent("send_send_video_v2") < 50 || sent("send_send_audio_v2") < 50) {
        ASSERT_LT(std::chrono::steady_clock::now(), until) << "the senders never got to send";
        output.stop();
        std::this_thread::yield();
        ASSERT_EQ(output.start("Desk"), std::nullopt);
        output.connectionCount();
        ++switches;
    }
    done = true;
    video.join();
    audio.join();
    output.stop();
    EXPECT_EQ(standIn->onDeadInstance, 0);
    EXPECT_EQ(standIn->count("send_create"), switches + 1);
    EXPECT_EQ(standIn->count("send_destroy"), switches + 1);
}

class ModelNdi : public vsc::test::IsolatedModelTest {
  protected:
    std::shared_ptr<vsc::AppModel> make() {
        vsc::AppModel::Ports p = ports();
        p.ndi = std::make_shared<vsc::NDIOutput>(runtime);
        return create(p);
    }
    bool logged(const std::string& message) {
        return std::find(logs.begin(), logs.end(), message) != logs.end();
    }
    vsc::test::StandInNdiLibrary standIn;
    RuntimeFolder folder;
    WatchedLoader loader;
    vsc::NdiRuntime runtime{loader.opener()};
};

// The switch in the settings: without a runtime it says why and turns itself
// off; once the runtime is there it starts without a restart of the program,
// and the source carries every picture and sound block as received.
TEST_F(ModelNdi, TheSwitchStartsTheSourceOnceTheRuntimeIsThere) {
    auto model = make();
    model->setNdiName(" \t ");
    model->setNdiEnabled(true);
    EXPECT_TRUE(logged("NDI: NDI runtime not found (libndi.so.6)"));
    EXPECT_FALSE(model->ndiEnabled());
    EXPECT_EQ(prefs.object("ndiEnabled"), vsc::PreferenceValue(false));
    EXPECT_EQ(model->ndiStatus(), "Off");

    folder.install(vsc::test::StandInNdiLibrary::path());
    model->setNdiEnabled(true);
    EXPECT_TRUE(logged("NDI output “Vendaroscope Program” started (6.0.2 (stand-in))"));
    EXPECT_TRUE(model->ndiEnabled());
    EXPECT_EQ(prefs.object("ndiEnabled"), vsc::PreferenceValue(true));
    EXPECT_EQ(model->ndiStatus(), "Off");  // until the next statistics tick
    main.advance(0.5);
    EXPECT_EQ(model->ndiStatus(), "On · 0 receivers");
    standIn->connections = 1;
    main.advance(0.5);
    EXPECT_EQ(model->ndiStatus(), "On · 1 receiver");
    standIn->connections = 2;
    main.advance(0.5);
    EXPECT_EQ(model->ndiStatus(), "On · 2 receivers");
    EXPECT_EQ(standIn->connectionTimeouts, (std::vector<std::uint32_t>{0, 0, 0}));

    // Pictures, with no camera connected, go to NDI as they are: no copy.
    std::vector<std::uint8_t> frame(vsc::NDIOutput::kFrameBytes, 0);
    frame.front() = 7;
    frame.back() = 9;
    model->videoPath(frame);
    ASSERT_EQ(standIn->videos.size(), 1u);
    const auto& video = standIn->videos[0].frame;
    EXPECT_EQ(video.width, 1920);
    EXPECT_EQ(video.height, 1080);
    EXPECT_EQ(video.fourCC, vsc::ndi::fourCC('N', 'V', '1', '2'));
    EXPECT_EQ(video.frameRateN, 30);
    EXPECT_EQ(video.frameRateD, 1);
    EXPECT_FLOAT_EQ(video.pictureAspectRatio, 1920.0f / 1080.0f);
    EXPECT_EQ(video.frameFormat, 1);  // progressive
    EXPECT_EQ(video.timecode, INT64_MAX);
    EXPECT_EQ(video.data, frame.data());
    EXPECT_EQ(video.lineStrideBytes, 1920);
    EXPECT_EQ(video.metadata, nullptr);
    EXPECT_EQ(video.timestamp, 0);
    EXPECT_EQ(standIn->videos[0].firstByte, 7);
    EXPECT_EQ(standIn->videos[0].lastByte, 9);

    // Sound, from the receiver's binding: interleaved in, planar out.
    std::vector<float> block(960);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<float>(i);
    model->receiver()->onAudioSamples(block);
    model->receiver()->onAudioSamples(block);
    ASSERT_EQ(standIn->audios.size(), 2u);
    const auto& audio = standIn->audios[0];
    EXPECT_EQ(audio.frame.sampleRate, 48000);
    EXPECT_EQ(audio.frame.channels, 2);
    EXPECT_EQ(audio.frame.samplesPerChannel, 480);
    EXPECT_EQ(audio.frame.channelStrideBytes, 1920);
    EXPECT_EQ(audio.frame.timecode, INT64_MAX);
    EXPECT_EQ(audio.frame.metadata, nullptr);
    ASSERT_EQ(audio.samples.size(), 960u);
    for (std::size_t f = 0; f < 480; ++f) {
        ASSERT_EQ(audio.samples[f], static_cast<float>(2 * f));
        ASSERT_EQ(audio.samples[480 + f], static_cast<float>(2 * f + 1));
    }
    // The scratch space is made once and used again.
    EXPECT_EQ(standIn->audios[1].frame.data, audio.frame.data);

    // A new name is used the next time the switch goes on.
    model->setNdiName(" Desk ");
    EXPECT_EQ(standIn->count("send_create"), 1);
    model->setNdiEnabled(false);
    EXPECT_EQ(model->ndiStatus(), "Off");
    main.advance(0.5);
    EXPECT_EQ(model->ndiStatus(), "Off");
    model->videoPath(frame);
    EXPECT_EQ(standIn->videos.size(), 1u);  // nothing sent without a sender
    model->setNdiEnabled(true);
    ASSERT_EQ(standIn->created.size(), 2u);
    EXPECT_EQ(standIn->created[1].name, " Desk ");
    EXPECT_EQ(standIn->count("send_destroy"), 1);
}

}  // namespace
