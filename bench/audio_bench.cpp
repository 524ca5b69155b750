// The programme sound on PipeWire, as a video call hears it. A writer stands
// in for the receiver: a 10 ms block every 10 ms on the monotonic clock,
// silence with a short burst every two seconds. The output plays into the
// virtual microphone through the real PipeWire stream; a PipeWire capture of
// the microphone notes when each burst arrives.
//   underruns: render calls that found the ring dry after it had started
//              playing, over the whole run;
//   delay:     burst written -> burst heard, against the ring's target
//              (targetFrames / 48 kHz) measured in the same run.
// Needs a session with the microphone (bench/audio_bench.sh sets one up).
#include <spa/param/audio/format-utils.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "app/audio/audio_output.h"
#include "app/audio/pipewire_audio_system.h"
#include "platform/clock.h"

namespace {

std::uint64_t nowNs() {
    return vsc::monotonicNanoseconds();
}

// Wraps the real system to count the render calls that found the ring dry.
class CountingSystem final : public vsc::AudioSystem {
  public:
    CountingSystem(std::shared_ptr<vsc::PipeWireAudioSystem> real) : real_(std::move(real)) {}
    vsc::AudioOutput* output = nullptr;
    std::atomic<long> underruns{0}, renders{0};
    std::optional<vsc::AudioError> start(std::uint32_t id, Render render) override {
        return real_->start(
            id, [this, render](std::uint32_t frames, std::span<float* const> buffers) {
                vsc::AudioRing& ring = output->ring();
                {
                    std::lock_guard<vsc::UnfairLock> hold(ring.lock);
                    if (ring.primed && ring.fill < static_cast<std::int64_t>(frames)) ++underruns;
                }
                ++renders;
                render(frames, buffers);
            });
    }
    void stop() override { real_->stop(); }
    std::vector<vsc::AudioDevice> outputDevices() override { return real_->outputDevices(); }

  private:
    std::shared_ptr<vsc::PipeWireAudioSystem> real_;
};

struct Capture {
    pw_stream* stream = nullptr;
    spa_hook listener{};
    std::mutex mutex;
    std::vector<std::uint64_t> bursts;  // when a burst began to be heard
    bool loud = false;
};

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    auto real = std::make_shared<vsc::PipeWireAudioSystem>();
    auto counting = std::make_shared<CountingSystem>(real);
    vsc::AudioOutput output(counting);
    counting->output = &output;
    std::uint32_t device = vsc::chooseAudioDevice(real->outputDevices(), 0);
    if (device == 0) {
        std::fprintf(stderr, "bench: no \"Vendaroscope Program Audio\" device\n");
        return 1;
    }
    if (auto error = output.start(device)) {
        std::fprintf(stderr, "bench: %s\n", error->description.c_str());
        return 1;
    }

    std::string error;
    auto connection = vsc::PipeWireConnection::connect(
        "vsc-bench-capture", &error, vsc::PipeWireConnection::DataThread::realtime);
    Capture capture;
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.process = [](void* data) {
            auto* c = static_cast<Capture*>(data);
            pw_buffer* b = pw_stream_dequeue_buffer(c->stream);
            if (!b) return;
            std::uint64_t at = nowNs();
            spa_data& d = b->buffer->datas[0];
            const auto* samples = static_cast<const float*>(d.data);
            std::size_t n = d.chunk->size / sizeof(float);
            for (std::size_t i = 0; samples && i < n; i += 2) {
                bool loud = std::fabs(samples[i]) > 0.25f;
                if (loud && !c->loud) {
                    // The frame's own time: the buffer's arrival less what follows it.
                    std::uint64_t offset =
                        static_cast<std::uint64_t>((n - i) / 2) * 1000000000ull / 48000;
                    std::lock_guard<std::mutex> hold(c->mutex);
                    c->bursts.push_back(at - offset);
                }
                c->loud = loud;
            }
            pw_stream_queue_buffer(c->stream, b);
        };
        return e;
    }();
    {
        vsc::PipeWireConnection::Lock hold(*connection);
        capture.stream = pw_stream_new(
            connection->core(), "vsc-bench-capture",
            pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                              PW_KEY_TARGET_OBJECT, "vendaroscope_program_audio_mic", nullptr));
        pw_stream_add_listener(capture.stream, &capture.listener, &events, &capture);
        std::uint8_t storage[256];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
        spa_audio_info_raw info{};
        info.format = SPA_AUDIO_FORMAT_F32;
        info.rate = 48000;
        info.channels = 2;
        const spa_pod* params[1] = {
            spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
        pw_stream_connect(
            capture.stream, PW_DIRECTION_INPUT, PW_ID_ANY,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                         PW_STREAM_FLAG_RT_PROCESS),
            params, 1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    std::vector<float> silence(960, 0.0f), burst(960, 0.5f);
    std::vector<std::uint64_t> written;
    const std::uint64_t start = nowNs();
    std::uint64_t next = start;
    long blocks = 0;
    while (nowNs() - start < static_cast<std::uint64_t>(seconds * 1e9)) {
        bool loud = blocks % 200 == 100;  // one 10 ms burst every two seconds
        if (loud) written.push_back(nowNs());
        output.write(loud ? burst : silence);
        ++blocks;
        next += 10000000ull;
        timespec until{static_cast<time_t>(next / 1000000000ull),
                       static_cast<long>(next % 1000000000ull)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    output.stop();

    std::vector<double> delays;
    {
        std::lock_guard<std::mutex> hold(capture.mutex);
        for (std::uint64_t w : written) {
            auto heard = std::lower_bound(capture.bursts.begin(), capture.bursts.end(), w);
            if (heard != capture.bursts.end() && *heard - w < 1000000000ull)
                delays.push_back((*heard - w) / 1e6);
        }
    }
    std::sort(delays.begin(), delays.end());
    const double target = static_cast<double>(output.ring().targetFrames.load()) / 48.0;
    std::printf(
        "programme sound over %.0f s: %ld blocks written, %ld render calls, %ld underruns\n",
        seconds, blocks, counting->renders.load(), counting->underruns.load());
    if (!delays.empty())
        std::printf(
            "  burst written -> heard on the microphone: median %.1f ms, max %.1f ms (%zu bursts); "
            "ring target %.1f ms; ratio median/target %.2f\n",
            delays[delays.size() / 2], delays.back(), delays.size(), target,
            delays[delays.size() / 2] / target);
    {
        vsc::PipeWireConnection::Lock hold(*connection);
        pw_stream_destroy(capture.stream);
    }
    return delays.empty() ? 1 : 0;
}
