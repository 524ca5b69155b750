// vendaroscope-supervise: keeps one of our user services running where no
// systemd user manager does it. Usage:
//   vendaroscope-supervise NAME DEFINITION LOCK LOG
// DEFINITION is the service's JSON ({"command": [...], ...}); while it exists
// the program it names runs, and is started again when it ends (after a
// short, growing pause when it ends quickly). One supervisor per service: it
// holds LOCK (flock) for its whole life and writes its pid into it. SIGHUP
// starts the program again at once (a new definition takes effect);
// SIGTERM, SIGINT or the definition's removal stop the program and the
// supervisor. The program's output is appended to LOG. The first process
// returns at once; the supervisor goes on detached from its caller.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/process.h"

namespace {

using Steady = std::chrono::steady_clock;

constexpr double kFirstPause = 0.5;
constexpr double kLongestPause = 5.0;
constexpr double kSteadyRun = 10.0;  // a run this long resets the pause
constexpr double kStopGrace = 3.0;   // SIGTERM, then SIGKILL
constexpr std::size_t kDefinitionLimit = 64 * 1024;

std::vector<std::string> readCommand(const std::string& path) {
    std::ifstream in(path);
    if (!in) return {};
    std::string text(kDefinitionLimit + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > kDefinitionLimit) return {};
    auto json = nlohmann::json::parse(text, nullptr, false);
    std::vector<std::string> command;
    if (!json.is_object() || !json.contains("command") || !json["command"].is_array()) return {};
    for (const auto& word : json["command"]) {
        if (!word.is_string()) return {};
        command.push_back(word.get<std::string>());
    }
    return command;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Waits for one of the signals for up to `seconds`; 0 on time-out.
int waitForSignal(const sigset_t& set, double seconds) {
    timespec limit{static_cast<time_t>(seconds),
                   static_cast<long>((seconds - static_cast<long>(seconds)) * 1e9)};
    for (;;) {
        int received = sigtimedwait(&set, nullptr, &limit);
        if (received >= 0) return received;
        if (errno == EAGAIN) return 0;
        if (errno != EINTR) return 0;
    }
}

// Ends the program: SIGTERM, and SIGKILL if it is still there after the grace.
void stopChild(pid_t child) {
    if (child <= 0) return;
    ::kill(child, SIGTERM);
    auto until = Steady::now() + std::chrono::duration<double>(kStopGrace);
    for (;;) {
        int status = 0;
        if (::waitpid(child, &status, WNOHANG) == child) return;
        double left = std::chrono::duration<double>(until - Steady::now()).count();
        if (left <= 0) break;
        sigset_t children;
        sigemptyset(&children);
        sigaddset(&children, SIGCHLD);
        waitForSignal(children, std::min(left, 0.1));
    }
    ::kill(child, SIGKILL);
    vsc::waitForChild(child);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf(
            "usage: vendaroscope-supervise NAME DEFINITION LOCK LOG\n"
            "Keeps the program named in DEFINITION (JSON) running where no systemd user\n"
            "manager does, one supervisor per LOCK; SIGHUP restarts the program, SIGTERM or\n"
            "removing DEFINITION stops both. The program's output goes to LOG.\n");
        return 0;
    }
    if (argc != 5) {
        std::fprintf(stderr, "usage: vendaroscope-supervise NAME DEFINITION LOCK LOG\n");
        return 2;
    }
    const std::string definition = argv[2], lockPath = argv[3], logPath = argv[4];

    // Detach: the caller reaps this first process at once.
    pid_t first = ::fork();
    if (first < 0) return 1;
    if (first > 0) return 0;
    ::setsid();

    int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lock < 0) return 1;
    if (::flock(lock, LOCK_EX | LOCK_NB) != 0) return 0;  // another supervisor has it
    std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(lock, 0) != 0 || ::pwrite(lock, pid.data(), pid.size(), 0) < 0) return 1;

    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGCHLD}) sigaddset(&set, signal);
    sigprocmask(SIG_BLOCK, &set, nullptr);

    double pause = kFirstPause;
    for (;;) {
        if (!exists(definition)) return 0;
        std::vector<std::string> command = readCommand(definition);
        pid_t child = 0;
        Steady::time_point started = Steady::now();
        if (!command.empty()) {
            int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
            vsc::SpawnRequest request;
            request.path = command.front();
            request.args.assign(command.begin() + 1, command.end());
            request.descriptors = {{0, vsc::ChildDescriptor::Kind::NullForReading, -1}};
            if (log >= 0) {
                request.descriptors.push_back({1, vsc::ChildDescriptor::Kind::Inherit, log});
                request.descriptors.push_back({2, vsc::ChildDescriptor::Kind::Inherit, log});
            } else {
                request.descriptors.push_back({1, vsc::ChildDescriptor::Kind::NullForWriting, -1});
                request.descriptors.push_back({2, vsc::ChildDescriptor::Kind::NullForWriting, -1});
            }
            child = vsc::spawnProcess(request).pid;
            if (log >= 0) ::close(log);
        }

        // Watch the program, and the definition once a second.
        bool restartNow = false;
        while (child > 0) {
            int received = waitForSignal(set, 1.0);
            if (received == SIGTERM || received == SIGINT) {
                stopChild(child);
                return 0;
            }
            if (received == SIGHUP) {
                stopChild(child);
                restartNow = true;
                break;
            }
            int status = 0;
            if (::waitpid(child, &status, WNOHANG) == child) break;
            if (!exists(definition)) {
                stopChild(child);
                return 0;
            }
        }
        if (restartNow) {
            pause = kFirstPause;
            continue;
        }
        double ran = std::chrono::duration<double>(Steady::now() - started).count();
        pause = ran >= kSteadyRun ? kFirstPause : std::min(pause * 2, kLongestPause);
        // A pause before the next start, during which a signal still counts.
        auto until = Steady::now() + std::chrono::duration<double>(pause);
        for (;;) {
            double left = std::chrono::duration<double>(until - Steady::now()).count();
            if (left <= 0) break;
            int received = waitForSignal(set, left);
            if (received == SIGTERM || received == SIGINT) return 0;
            if (received == SIGHUP) break;
        }
    }
}
