// Latency and cadence of the camera, as a PipeWire client sees them. A frame
// source stands in for the receiver at 30 fps: each frame carries the
// monotonic time of its hand-over in its first luma bytes and goes through the
// camera sink exactly as the video path sends it. A PipeWire reader of the
// camera's source node notes when each stamp first arrives. Needs a running
// PipeWire session with the camera program (bench/camera_bench.sh sets one up).
//   latency: hand-over -> first arrival at the reader (p50/p99), against the
//            frame period of the same run;
//   cadence: the interval between frames at the reader (p50/p99).
#include <spa/param/video/format-utils.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "app/camera/camera_sink.h"
#include "app/camera/pipewire_camera_system.h"
#include "platform/clock.h"
#include "platform/pipewire_connection.h"

namespace {

std::uint64_t nowNs() {
    return vsc::monotonicNanoseconds();
}

struct Reader {
    pw_stream* stream = nullptr;
    spa_hook listener{};
    std::mutex mutex;
    std::vector<std::uint64_t> arrivals;                          // every frame
    std::vector<std::pair<std::uint64_t, std::uint64_t>> firsts;  // (stamp, arrival) per new stamp
    std::uint64_t lastStamp = 0;
};

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    std::string error;
    auto connection = vsc::PipeWireConnection::connect("vsc-bench-reader", &error);
    if (!connection) {
        std::fprintf(stderr, "bench: %s\n", error.c_str());
        return 1;
    }
    Reader reader;
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.process = [](void* data) {
            auto* r = static_cast<Reader*>(data);
            pw_buffer* b = pw_stream_dequeue_buffer(r->stream);
            if (!b) return;
            std::uint64_t at = nowNs();
            auto* bytes = static_cast<const std::uint8_t*>(b->buffer->datas[0].data);
            if (bytes && b->buffer->datas[0].chunk->size > 0) {
                std::uint64_t stamp;
                std::memcpy(&stamp, bytes + b->buffer->datas[0].chunk->offset, sizeof stamp);
                std::lock_guard<std::mutex> hold(r->mutex);
                r->arrivals.push_back(at);
                if (stamp != r->lastStamp && stamp > 1000) {
                    r->firsts.push_back({stamp, at});
                    r->lastStamp = stamp;
                }
            }
            pw_stream_queue_buffer(r->stream, b);
        };
        return e;
    }();
    {
        vsc::PipeWireConnection::Lock hold(*connection);
        reader.stream =
            pw_stream_new(connection->core(), "vsc-bench-reader",
                          pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                            "Capture", PW_KEY_MEDIA_ROLE, "Camera",
                                            PW_KEY_TARGET_OBJECT, "Vendaroscope Program", nullptr));
        pw_stream_add_listener(reader.stream, &reader.listener, &events, &reader);
        std::uint8_t storage[512];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
        spa_rectangle size = SPA_RECTANGLE(1920, 1080);
        spa_fraction rate = SPA_FRACTION(30, 1);
        const spa_pod* params[1] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
            SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
            SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
            SPA_POD_Id(SPA_VIDEO_FORMAT_NV12), SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size),
            SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate)))};
        pw_stream_connect(
            reader.stream, PW_DIRECTION_INPUT, PW_ID_ANY,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
            params, 1);
    }

    vsc::CameraSink sink(std::make_shared<vsc::PipeWireCameraSystem>());
    if (auto failure = sink.connect()) {
        std::fprintf(stderr, "bench: %s\n", failure->c_str());
        return 1;
    }
    std::vector<std::uint8_t> frame(vsc::CameraSink::kFrameBytes, 128);
    const std::uint64_t period = 1000000000ull / 30;
    std::uint64_t start = nowNs(), next = start;
    long handed = 0;
    while (nowNs() - start < static_cast<std::uint64_t>(seconds * 1e9)) {
        std::uint64_t stamp = nowNs();
        std::memcpy(frame.data(), &stamp, sizeof stamp);
        // What the video path does with no delay: the frame is read straight
        // into a picture of the sink (the memcpy stands for the pipe read),
        // which is queued as it is.
        if (vsc::PixelBufferRef picture = sink.emptyPixelBuffer(true)) {
            std::memcpy(picture->luma, frame.data(), frame.size());
            sink.send(std::move(picture));
        } else {
            sink.send(sink.makePixelBuffer(frame));
        }
        ++handed;
        next += period;
        timespec until{static_cast<time_t>(next / 1000000000ull),
                       static_cast<long>(next % 1000000000ull)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    std::vector<double> latency, interval;
    {
        std::lock_guard<std::mutex> hold(reader.mutex);
        for (auto [stamp, at] : reader.firsts) latency.push_back((at - stamp) / 1e6);
        for (std::size_t i = 1; i < reader.arrivals.size(); ++i)
            interval.push_back((reader.arrivals[i] - reader.arrivals[i - 1]) / 1e6);
    }
    const double periodMs = 1000.0 / 30.0;
    std::printf(
        "camera latency and cadence over %.0f s (%ld frames handed over, %zu reached the reader, "
        "%lld dropped at the sink)\n",
        seconds, handed, latency.size(), static_cast<long long>(sink.droppedFrames()));
    std::printf("  hand-over -> reader: p50 %.1f ms (%.2f frame periods), p99 %.1f ms (%.2f)\n",
                percentile(latency, 0.5), percentile(latency, 0.5) / periodMs,
                percentile(latency, 0.99), percentile(latency, 0.99) / periodMs);
    std::printf(
        "  reader frame interval: p50 %.2f ms, p99 %.2f ms (period %.2f ms; ratio p99/period "
        "%.3f)\n",
        percentile(interval, 0.5), percentile(interval, 0.99), periodMs,
        percentile(interval, 0.99) / periodMs);
    sink.disconnect();
    {
        vsc::PipeWireConnection::Lock hold(*connection);
        pw_stream_destroy(reader.stream);
    }
    return latency.empty() ? 1 : 0;
}
