#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/dispatch.h"

namespace vsc {

// Pulls the studio programme through an ffmpeg child process and hands raw
// NV12 frames, 48 kHz stereo float blocks, log lines and a running flag to the
// callbacks its owner installs once before the first start. It decodes nothing
// itself: each attempt probes the tracks with ffprobe, spawns ffmpeg writing
// raw video to descriptor 3 and raw audio to descriptor 4, reads both on
// threads of their own, watches for a picture that stops arriving, reaps the
// child and restarts it with a back-off.
class ProgramReceiver : public std::enable_shared_from_this<ProgramReceiver> {
  public:
    struct Environment {
        Dispatcher* dispatcher = &ThreadDispatcher::shared();
        Clock* clock = &SystemClock::shared();
        // Bundled resources; an executable "ffmpeg" there is preferred.
        std::string resourcesDir;
        // The system places searched after the resources, in order.
        std::vector<std::string> systemFfmpegPaths = {"/usr/bin/ffmpeg", "/usr/local/bin/ffmpeg"};
        // Raises the priority of a thread (thread 0: every thread of the
        // process) so that sound and picture keep up on a busy machine; answers
        // why not, or nothing. Empty: scheduling is left alone.
        std::function<std::string(pid_t process, pid_t thread)> raisePriority = raiseProgramPriority;
    };
    static std::string raiseProgramPriority(pid_t process, pid_t thread);

    static constexpr int kFrameWidth = 1920;
    static constexpr int kFrameHeight = 1080;
    static constexpr std::size_t kAudioBlockFloats = 960;

    static std::shared_ptr<ProgramReceiver> create(Environment environment, int width = kFrameWidth,
                                                   int height = kFrameHeight);
    ~ProgramReceiver();

    std::function<void(std::span<const std::uint8_t>)> onVideoFrame;
    // Optional, installed with the others: where the next frame is to be
    // read, so that it needs no copy on its way. The owner lends
    // frameBytes() writable bytes, kept alive by `holder`, and gets them back
    // filled through onVideoSlot (not onVideoFrame). When it lends nothing
    // the frame is read into the receiver's own buffer and goes to
    // onVideoFrame. Asked on the video reader thread before each frame.
    struct FrameSlot {
        std::uint8_t* bytes = nullptr;
        std::shared_ptr<void> holder;
    };
    std::function<FrameSlot()> lendFrameSlot;
    std::function<void(std::span<const std::uint8_t>, FrameSlot)> onVideoSlot;
    std::function<void(std::span<const float>)> onAudioSamples;
    std::function<void(const std::string&)> onLog;
    // true once a child is adopted, false once the adopted child is gone.
    // Reports come one at a time and in the order the state changed, so the
    // last one always tells the truth; a report may therefore be issued by
    // whichever of the receiver's threads is reporting at that moment.
    std::function<void(bool)> onStateChange;

    const int width;
    const int height;

    std::size_t frameBytes() const {
        return static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3 / 2;
    }

    // url is already trimmed by the caller. Both return at once. stop() also
    // kills a probe under way, whose attempt then ends without a word.
    void start(const std::string& url);
    void stop();

    // After stop(): waits until no child of the receiver is alive any more and
    // no attempt is still under way that could launch one (a probe, an ffmpeg
    // spawned after the stop and killed at once), at most the given time.
    // False when the time ran out first. For an owner that is about to end.
    bool waitForChildren(double seconds);

    std::optional<std::string> locateFfmpeg() const;

    struct Tracks {
        bool video = false;
        bool audio = false;
    };
    // ffmpeg's arguments after argv[0].
    static std::vector<std::string> ffmpegArguments(const std::string& url, int width, int height,
                                                    bool withAudio);
    static std::vector<std::string> ffprobeArguments(const std::string& url);

    // Whether a child is adopted now (for status displays and tests).
    pid_t currentPid();

    ProgramReceiver(Environment environment, int width, int height);  // use create()

  private:
    struct Probe {
        // Absent when the probe failed (non-zero exit, no output, or killed
        // after 8 s).
        std::optional<Tracks> tracks;
        // posix_spawn's code when ffprobe could not be launched at all.
        int spawnError = 0;
        // The receiver was stopped: the probe was killed or never launched.
        bool stopped = false;
    };
    // A probe under way, as far as stop() and the 8 s limit need to know it.
    struct RunningProbe {
        std::mutex mutex;
        pid_t pid = 0;
        bool finished = false;  // waited for: the pid may belong to another process now
        bool stopped = false;
    };
    Probe probeTracks(const std::string& url, const std::string& ffmpegPath, std::uint64_t gen);

    void launchAttempt(const std::string& url, std::uint64_t gen);
    void scheduleRestart(const std::string& url, std::uint64_t gen, bool quick);
    void log(const std::string& message);
    // Issues the queued state reports in the order they were queued; the
    // caller queued one under lock_ as it changed pid_.
    void reportStates();
    // One launch attempt or child fewer; under lock_.
    void finishWork();

    void readVideo(int fd);
    void readAudio(int fd);
    void raisePriority(pid_t process, pid_t thread, const char* what);
    void readDiagnostics(int fd);
    void watch(pid_t child);

    static void reap(std::weak_ptr<ProgramReceiver> weak, pid_t child, std::string url,
                     std::uint64_t gen, WallTime startedAt);

    Environment env_;

    std::mutex lock_;
    bool wanted_ = false;
    pid_t pid_ = 0;
    std::uint64_t generation_ = 0;
    int quickFailures_ = 0;
    WallTime lastFrameAt_;
    // State reports not yet issued, queued in the order pid_ changed, and
    // whether some thread is issuing them now.
    std::deque<bool> stateReports_;
    bool reporting_ = false;
    // Whether a refused priority was logged: once is enough.
    bool priorityRefusalLogged_ = false;
    // Launch attempts under way plus ffmpeg children not yet reaped; idle_ is
    // signalled when it drops to 0.
    int working_ = 0;
    std::condition_variable idle_;
    std::vector<std::shared_ptr<RunningProbe>> probes_;
};

}  // namespace vsc
