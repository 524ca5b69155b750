#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace vsc {

// How many whole pictures each place of the video path has copied, and how
// many pictures passed it, so that what a frame costs is counted by the code
// itself rather than estimated. Each process keeps its own; a benchmark reads
// them from the process's report at the start and the end of its window.
// Relaxed: one increment per frame, read now and then.
struct FrameCopies {
    // The application.
    std::atomic<std::uint64_t> framesRead{0};         // frames read from ffmpeg's pipe
    std::atomic<std::uint64_t> pipeReads{0};          // ... each read is a copy out of the pipe
    std::atomic<std::uint64_t> chromaInterleaves{0};  // a third of a picture: U, V -> NV12
    std::atomic<std::uint64_t> pixelBufferCopies{0};  // frame -> pooled picture
    std::atomic<std::uint64_t> linkCopies{0};         // picture -> buffer of the camera link
    // The camera program.
    std::atomic<std::uint64_t> sourceNewPictures{0};       // first sent on the source node
    std::atomic<std::uint64_t> sourceRepeatedPictures{0};  // sent again (slate, held picture)
    std::atomic<std::uint64_t> sourceNewCopies{0};
    std::atomic<std::uint64_t> sourceRepeatedCopies{0};
    std::atomic<std::uint64_t> sourceSkipped{0};  // ticks with every buffer at the readers

    static void add(std::atomic<std::uint64_t>& counter) {
        counter.fetch_add(1, std::memory_order_relaxed);
    }

    // "name=value" pairs separated by spaces, in the order above.
    std::string text() const {
        std::string out;
        auto put = [&out](const char* name, const std::atomic<std::uint64_t>& counter) {
            if (!out.empty()) out += ' ';
            out += name;
            out += '=';
            out += std::to_string(counter.load(std::memory_order_relaxed));
        };
        put("framesRead", framesRead);
        put("pipeReads", pipeReads);
        put("chromaInterleaves", chromaInterleaves);
        put("pixelBufferCopies", pixelBufferCopies);
        put("linkCopies", linkCopies);
        put("sourceNew", sourceNewPictures);
        put("sourceRepeated", sourceRepeatedPictures);
        put("sourceNewCopies", sourceNewCopies);
        put("sourceRepeatedCopies", sourceRepeatedCopies);
        put("sourceSkipped", sourceSkipped);
        return out;
    }
};

inline FrameCopies& frameCopies() {
    static FrameCopies counters;
    return counters;
}

}  // namespace vsc
