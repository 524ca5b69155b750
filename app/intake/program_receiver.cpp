#include "app/intake/program_receiver.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "app/intake/utf8.h"
#include "app/model/platform_texts.h"
#include "platform/frame_copies.h"
#include "platform/journal_log.h"
#include "platform/nv12.h"
#include "platform/process.h"
#include "platform/thread_priority.h"

namespace vsc {
namespace {

constexpr double kProbeTimeLimit = 8.0;
constexpr double kWatchdogPeriod = 2.0;
constexpr double kNoPictureLimit = 15.0;
constexpr double kQuickRun = 5.0;
constexpr int kVideoPipeBytes = 1 << 20;
constexpr std::size_t kAudioBlockBytes = ProgramReceiver::kAudioBlockFloats * sizeof(float);

struct AlignedFree {
    void operator()(void* p) const { std::free(p); }
};

// Fills buffer[0..size) from fd; false at end of stream or on an error.
bool readFully(int fd, std::uint8_t* buffer, std::size_t size) {
    std::size_t filled = 0;
    while (filled < size) {
        ssize_t n = ::read(fd, buffer + filled, size - filled);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        filled += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::shared_ptr<ProgramReceiver> ProgramReceiver::create(Environment environment, int width,
                                                         int height) {
    return std::make_shared<ProgramReceiver>(std::move(environment), width, height);
}

ProgramReceiver::ProgramReceiver(Environment environment, int w, int h)
    : width(w), height(h), env_(std::move(environment)), lastFrameAt_(env_.clock->now()) {}

ProgramReceiver::~ProgramReceiver() = default;

void ProgramReceiver::log(const std::string& message) {
    if (onLog) onLog(message);
}

// The adoption, a stop and the reaper each change pid_ under lock_ but report
// the change only after releasing it, so two of them could report in the
// opposite order of their changes (a stop landing just after an adoption would
// be followed by a late "running"). Each queues its report in the same
// critical section as its change; whoever finds nobody reporting issues the
// queue in order, and one who finds somebody at it leaves its report to them.
// No lock is held during a callback, so a callback may even call stop().
void ProgramReceiver::reportStates() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (reporting_) return;
        reporting_ = true;
    }
    for (;;) {
        bool running = false;
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (stateReports_.empty()) {
                reporting_ = false;
                return;
            }
            running = stateReports_.front();
            stateReports_.pop_front();
        }
        if (onStateChange) onStateChange(running);
    }
}

void ProgramReceiver::finishWork() {
    if (--working_ == 0) idle_.notify_all();
}

bool ProgramReceiver::waitForChildren(double seconds) {
    std::unique_lock<std::mutex> hold(lock_);
    return idle_.wait_for(hold, Seconds(seconds), [this] { return working_ == 0; });
}

pid_t ProgramReceiver::currentPid() {
    std::lock_guard<std::mutex> hold(lock_);
    return pid_;
}

void ProgramReceiver::start(const std::string& url) {
    pid_t old = 0;
    std::uint64_t gen = 0;
    {
        std::lock_guard<std::mutex> hold(lock_);
        wanted_ = true;
        quickFailures_ = 0;
        gen = ++generation_;
        old = pid_;
        pid_ = 0;
        ++working_;  // the attempt below
    }
    if (old > 0) ::kill(old, SIGKILL);
    std::weak_ptr<ProgramReceiver> weak = weak_from_this();
    env_.dispatcher->async([weak, url, gen] {
        if (auto self = weak.lock()) self->launchAttempt(url, gen);
    });
}

void ProgramReceiver::stop() {
    pid_t old = 0;
    std::vector<std::shared_ptr<RunningProbe>> probes;
    {
        std::lock_guard<std::mutex> hold(lock_);
        wanted_ = false;
        ++generation_;
        old = pid_;
        pid_ = 0;
        if (old > 0) stateReports_.push_back(false);
        probes = probes_;
    }
    // A probe's answer is of no use any more; waiting up to 8 s for it would
    // only keep a child alive that an ending owner has to wait for.
    for (const auto& probe : probes) {
        std::lock_guard<std::mutex> hold(probe->mutex);
        probe->stopped = true;
        if (probe->pid > 0 && !probe->finished) ::kill(probe->pid, SIGKILL);
    }
    if (old < 1) return;
    ::kill(old, SIGKILL);
    reportStates();
}

std::optional<std::string> ProgramReceiver::locateFfmpeg() const {
    std::vector<std::string> candidates;
    if (!env_.resourcesDir.empty()) candidates.push_back(env_.resourcesDir + "/ffmpeg");
    candidates.insert(candidates.end(), env_.systemFfmpegPaths.begin(),
                      env_.systemFfmpegPaths.end());
    for (const auto& path : candidates) {
        if (isExecutableFile(path)) return path;
    }
    return std::nullopt;
}

std::vector<std::string> ProgramReceiver::ffprobeArguments(const std::string& url) {
    return {"-v",      "error",         "-rtsp_transport",   "tcp", "-timeout",
            "5000000", "-show_entries", "stream=codec_type", "-of", "csv=p=0",
            url};
}

std::vector<std::string> ProgramReceiver::ffmpegArguments(const std::string& url, int w, int h,
                                                          bool withAudio) {
    std::vector<std::string> args = {
        "-hide_banner",
        "-nostdin",
        "-loglevel",
        "warning",
        "-rtsp_transport",
        "tcp",
        "-timeout",
        "5000000",
        "-fflags",
        "nobuffer",
        "-flags",
        "low_delay",
        "-probesize",
        "500000",
        "-analyzeduration",
        "1000000",
        "-i",
        url,
        "-map",
        "0:v:0",
        "-vf",
        // The fast bilinear scaler: a call shows the picture smaller than it
        // is, and on the studio's 720p the difference from the default
        // bicubic is not to be seen, while ffmpeg costs a fifth less (a
        // tenth less than the exact bilinear). Planar 4:2:0 out: ffmpeg's
        // scaler writes it for a tenth less than NV12, and the reader
        // interleaves the chroma for less than that.
        "scale=" + std::to_string(w) + ":" + std::to_string(h) +
            ":flags=fast_bilinear,format=yuv420p",
        "-fps_mode",
        "passthrough",
        "-f",
        "rawvideo",
        "pipe:3"};
    if (withAudio) {
        args.insert(args.end(), {"-map", "0:a:0", "-af", "aresample=async=1", "-ac", "2", "-ar",
                                 "48000", "-f", "f32le", "pipe:4"});
    }
    return args;
}

ProgramReceiver::Probe ProgramReceiver::probeTracks(const std::string& url,
                                                    const std::string& ffmpegPath,
                                                    std::uint64_t gen) {
    auto slash = ffmpegPath.rfind('/');
    std::string dir = slash == std::string::npos ? "." : ffmpegPath.substr(0, slash);
    std::string probePath = dir + "/ffprobe";

    // Listed before the launch, so that a stop either finds the probe (and
    // kills it, now or as soon as its pid is known) or keeps it from being
    // launched at all.
    auto running = std::make_shared<RunningProbe>();
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!wanted_ || generation_ != gen) return {std::nullopt, 0, true};
        probes_.push_back(running);
    }
    struct Unlist {
        ProgramReceiver& receiver;
        const std::shared_ptr<RunningProbe>& probe;
        ~Unlist() {
            std::lock_guard<std::mutex> hold(receiver.lock_);
            std::erase(receiver.probes_, probe);
        }
    } unlist{*this, running};

    Pipe out;
    if (!makePipe(out)) return {};
    SpawnRequest request;
    request.path = probePath;
    request.args = ffprobeArguments(url);
    request.descriptors = {
        {0, ChildDescriptor::Kind::NullForReading, -1},
        {1, ChildDescriptor::Kind::Inherit, out.writeEnd},
        {2, ChildDescriptor::Kind::NullForWriting, -1},
    };
    SpawnResult spawned = spawnProcess(request);
    closeDescriptor(out.writeEnd);
    if (spawned.pid <= 0) {
        closeDescriptor(out.readEnd);
        return {std::nullopt, spawned.error};
    }
    pid_t child = spawned.pid;
    {
        std::lock_guard<std::mutex> hold(running->mutex);
        running->pid = child;
        if (running->stopped) ::kill(child, SIGKILL);
    }

    // A probe that hangs is killed after 8 s. Neither this kill nor a stop's
    // is sent once the probe has been waited for, so none can hit a reused pid.
    env_.dispatcher->asyncAfter(kProbeTimeLimit, [running] {
        std::lock_guard<std::mutex> hold(running->mutex);
        if (!running->finished) ::kill(running->pid, SIGKILL);
    });

    std::string output;
    char chunk[4096];
    for (;;) {
        ssize_t n = ::read(out.readEnd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        output.append(chunk, static_cast<std::size_t>(n));
    }
    closeDescriptor(out.readEnd);
    // Wait for the exit without reaping first: the pid stays ours until the
    // timer and a stop have been told, so a late kill never reaches another process.
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT) < 0 &&
           errno == EINTR) {
    }
    bool stopped = false;
    {
        std::lock_guard<std::mutex> hold(running->mutex);
        running->finished = true;
        stopped = running->stopped;
    }
    int status = waitForChild(child);
    if (stopped) return {std::nullopt, 0, true};

    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
    auto lines = splitLines(utf8Lossy(output));
    if (lines.empty()) return {};
    Tracks tracks;
    for (const auto& line : lines) {
        if (line == "video") tracks.video = true;
        if (line == "audio") tracks.audio = true;
    }
    return {tracks};
}

void ProgramReceiver::launchAttempt(const std::string& url, std::uint64_t gen) {
    // Counted since it was decided on (by start or a retry); it ends here.
    struct Finish {
        ProgramReceiver& receiver;
        ~Finish() {
            std::lock_guard<std::mutex> hold(receiver.lock_);
            receiver.finishWork();
        }
    } finish{*this};

    auto ffmpeg = locateFfmpeg();
    if (!ffmpeg) {
        log(texts::kFfmpegNotFound);
        return;
    }

    Probe probe = probeTracks(url, *ffmpeg, gen);
    // Stopped while probing: no answer, so nothing to say and nothing to retry.
    if (probe.stopped) return;
    if (probe.spawnError != 0) {
        // Nothing was learnt about the programme: a launch that cannot work
        // (an argument too long for the system, say) would fail again on
        // every retry, so it ends the attempt like a failed ffmpeg launch.
        log("posix_spawn failed: " + std::to_string(probe.spawnError));
        return;
    }
    const auto& tracks = probe.tracks;
    if (!tracks || !tracks->video) {
        log("program not available (no video track) at " + url);
        scheduleRestart(url, gen, true);
        return;
    }

    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!wanted_ || generation_ != gen) return;
    }

    log(std::string("program tracks: video") +
        (tracks->audio ? " + audio" : " only — virtual mic stays silent"));

    std::vector<std::string> args = ffmpegArguments(url, width, height, tracks->audio);

    Pipe video, audio, diagnostics;
    for (Pipe* p : {&video, &audio, &diagnostics}) {
        if (!makePipe(*p)) {
            int err = errno;
            for (Pipe* q : {&video, &audio, &diagnostics}) {
                closeDescriptor(q->readEnd);
                closeDescriptor(q->writeEnd);
            }
            log("pipe() failed: " + std::to_string(err));
            return;
        }
    }

    // A frame is 3 MB: a roomier video pipe means fewer wake-ups per frame.
    // Best effort; the default size works too.
    fcntl(video.writeEnd, F_SETPIPE_SZ, kVideoPipeBytes);

    SpawnRequest request;
    request.path = *ffmpeg;
    request.args = std::move(args);
    request.descriptors = {
        {0, ChildDescriptor::Kind::NullForReading, -1},
        {1, ChildDescriptor::Kind::NullForWriting, -1},
        {2, ChildDescriptor::Kind::Inherit, diagnostics.writeEnd},
        {3, ChildDescriptor::Kind::Inherit, video.writeEnd},
        {4, ChildDescriptor::Kind::Inherit, audio.writeEnd},
    };
    {
        // Counted from before the spawn until its reaper has waited for it,
        // so no moment exists at which it lives uncounted.
        std::lock_guard<std::mutex> hold(lock_);
        ++working_;
    }
    SpawnResult spawned = spawnProcess(request);
    closeDescriptor(video.writeEnd);
    closeDescriptor(audio.writeEnd);
    closeDescriptor(diagnostics.writeEnd);

    if (spawned.pid <= 0) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            finishWork();
        }
        log("posix_spawn failed: " + std::to_string(spawned.error));
        closeDescriptor(video.readEnd);
        closeDescriptor(audio.readEnd);
        closeDescriptor(diagnostics.readEnd);
        return;
    }

    pid_t child = spawned.pid;
    bool adopted = false;
    pid_t old = 0;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (wanted_ && generation_ == gen) {
            adopted = true;
            old = pid_;
            pid_ = child;
            lastFrameAt_ = env_.clock->now();
            stateReports_.push_back(true);
        }
    }
    if (adopted) {
        if (old > 0) ::kill(old, SIGKILL);
        log("ffmpeg started (pid " + std::to_string(child) + ") → " + url);
        reportStates();
        // Raised before ffmpeg opens the stream: the decoder threads it
        // starts then inherit the level.
        raisePriority(child, 0, "ffmpeg");
    } else {
        // Stopped or restarted while spawning: this child is not wanted.
        ::kill(child, SIGKILL);
    }

    WallTime startedAt = env_.clock->now();
    std::weak_ptr<ProgramReceiver> weak = weak_from_this();
    auto reader = [weak](int fd, void (ProgramReceiver::*read)(int)) {
        return [weak, fd, read] {
            if (auto self = weak.lock()) {
                ((*self).*read)(fd);
            } else {
                ::close(fd);
            }
        };
    };
    Dispatcher& threads = *env_.dispatcher;
    threads.detach(reader(video.readEnd, &ProgramReceiver::readVideo));
    threads.detach(reader(audio.readEnd, &ProgramReceiver::readAudio));
    threads.detach(reader(diagnostics.readEnd, &ProgramReceiver::readDiagnostics));
    threads.detach([weak, child] {
        if (auto self = weak.lock()) self->watch(child);
    });
    threads.detach([weak, child, url, gen, startedAt] { reap(weak, child, url, gen, startedAt); });
}

void ProgramReceiver::readVideo(int fd) {
    // ffmpeg writes its sound and its pictures from one thread: a picture
    // reader that falls behind stalls the sound too.
    pthread_setname_np(pthread_self(), "vsc.pictures");
    raisePriority(::getpid(), currentThreadId(), "the picture reader");
    // ffmpeg writes planar 4:2:0, which its scaler makes for less than
    // NV12: the luma plane is read straight into the picture, the two chroma
    // planes beside it and then interleaved into the picture's chroma plane.
    const std::size_t size = frameBytes();
    const std::size_t lumaBytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    const std::size_t planeBytes = lumaBytes / 4;
    auto allocate = [](std::size_t bytes) {
        return std::unique_ptr<std::uint8_t, AlignedFree>(
            static_cast<std::uint8_t*>(std::aligned_alloc(64, (bytes + 63) / 64 * 64)));
    };
    // A frame with no picture lent to it is read into a buffer of our own,
    // made the first time that happens.
    std::unique_ptr<std::uint8_t, AlignedFree> buffer;
    auto planes = allocate(2 * planeBytes);
    while (planes) {
        FrameSlot slot = lendFrameSlot && onVideoSlot ? lendFrameSlot() : FrameSlot{};
        if (!slot.bytes && !buffer) buffer = allocate(size);
        std::uint8_t* target = slot.bytes ? slot.bytes : buffer.get();
        if (!target || !readFully(fd, target, lumaBytes) ||
            !readFully(fd, planes.get(), 2 * planeBytes))
            break;
        interleaveChroma(target + lumaBytes, planes.get(), planes.get() + planeBytes, planeBytes);
        FrameCopies& copies = frameCopies();
        FrameCopies::add(copies.framesRead);
        FrameCopies::add(copies.pipeReads);
        FrameCopies::add(copies.chromaInterleaves);
        {
            std::lock_guard<std::mutex> hold(lock_);
            lastFrameAt_ = env_.clock->now();
        }
        std::span<const std::uint8_t> frame(target, size);
        if (slot.bytes) {
            onVideoSlot(frame, std::move(slot));
        } else if (onVideoFrame) {
            onVideoFrame(frame);
        }
    }
    ::close(fd);
}

void ProgramReceiver::readAudio(int fd) {
    pthread_setname_np(pthread_self(), "vsc.sound");
    raisePriority(::getpid(), currentThreadId(), "the sound reader");
    alignas(16) float block[kAudioBlockFloats];
    auto* bytes = reinterpret_cast<std::uint8_t*>(block);
    std::size_t filled = 0;
    for (;;) {
        ssize_t n = ::read(fd, bytes + filled, kAudioBlockBytes - filled);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        filled += static_cast<std::size_t>(n);
        if (filled == kAudioBlockBytes) {
            if (onAudioSamples) onAudioSamples(std::span<const float>(block, kAudioBlockFloats));
            filled = 0;
        }
    }
    ::close(fd);
}

std::string ProgramReceiver::raiseProgramPriority(pid_t process, pid_t thread) {
    return thread == 0 ? raiseProcessPriority(process, kProgramNiceLevel)
                       : raiseThreadPriority(process, thread, kProgramNiceLevel);
}

void ProgramReceiver::raisePriority(pid_t process, pid_t thread, const char* what) {
    if (!env_.raisePriority) return;
    std::string why = env_.raisePriority(process, thread);
    if (why.empty()) return;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (priorityRefusalLogged_) return;
        priorityRefusalLogged_ = true;
    }
    log(std::string(what) + " keeps the ordinary priority: " + why);
}

void ProgramReceiver::readDiagnostics(int fd) {
    LineAssembler lines;
    char chunk[4096];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        lines.append(std::string_view(chunk, static_cast<std::size_t>(n)),
                     [this](const std::string& line) {
                         journalLog(kSubsystem, "receiver", "ffmpeg: " + line);
                         log("ffmpeg: " + line);
                     });
    }
    // Whatever is left without a line feed is dropped.
    ::close(fd);
}

void ProgramReceiver::watch(pid_t child) {
    for (;;) {
        env_.clock->sleepFor(Seconds(kWatchdogPeriod));
        pid_t current = 0;
        double elapsed = 0;
        {
            std::lock_guard<std::mutex> hold(lock_);
            current = pid_;
            elapsed = secondsBetween(lastFrameAt_, env_.clock->now());
        }
        if (current != child) return;
        if (elapsed > kNoPictureLimit) {
            log("no picture for " + std::to_string(static_cast<long long>(elapsed)) +
                " s — restarting ffmpeg");
            ::kill(child, SIGKILL);
            return;
        }
    }
}

void ProgramReceiver::reap(std::weak_ptr<ProgramReceiver> weak, pid_t child, std::string url,
                           std::uint64_t gen, WallTime startedAt) {
    int status = waitForChild(child);
    auto self = weak.lock();
    if (!self) return;
    bool wasAdopted = false;
    {
        std::lock_guard<std::mutex> hold(self->lock_);
        if (self->pid_ == child) {
            wasAdopted = true;
            self->pid_ = 0;
            self->stateReports_.push_back(false);
        }
        self->finishWork();
    }
    self->log("ffmpeg exited (pid " + std::to_string(child) + ", status " + std::to_string(status) +
              ")");
    if (!wasAdopted) return;
    self->reportStates();
    double elapsed = secondsBetween(startedAt, self->env_.clock->now());
    self->scheduleRestart(url, gen, elapsed < kQuickRun);
}

void ProgramReceiver::scheduleRestart(const std::string& url, std::uint64_t gen, bool quick) {
    int failures = 0;
    {
        // An attempt of an earlier start (or one that outlived a stop) is over:
        // its failure must not lengthen the back-off of the current start.
        std::lock_guard<std::mutex> hold(lock_);
        if (!wanted_ || generation_ != gen) return;
        quickFailures_ = quick ? quickFailures_ + 1 : 0;
        failures = quickFailures_;
    }
    double delay = std::min(2.0 * std::pow(2.0, std::max(failures - 1, 0)), 15.0);
    log("retrying in " + std::to_string(static_cast<long long>(delay)) + " s");
    std::weak_ptr<ProgramReceiver> weak = weak_from_this();
    env_.dispatcher->asyncAfter(delay, [weak, url, gen] {
        auto self = weak.lock();
        if (!self) return;
        {
            std::lock_guard<std::mutex> hold(self->lock_);
            if (!self->wanted_ || self->generation_ != gen) return;
            // Counted in the same critical section as the check: a stop
            // that comes after it waits for this attempt too.
            ++self->working_;
        }
        self->launchAttempt(url, gen);
    });
}

}  // namespace vsc
