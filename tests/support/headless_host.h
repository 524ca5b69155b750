#pragma once

// The headless host as the end-to-end tests drive it: started with a seeded
// preferences store, its output lines collected with their arrival times,
// its standard input standing in for the panel's buttons.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/desktop_session.h"
#include "support/wait.h"

namespace vsc::test {

// The pid in the newest "ffmpeg started (pid N) → URL" line of `text`; 0
// when there is none.
inline pid_t newestFfmpegPid(const std::string& text) {
    static constexpr char kStarted[] = "ffmpeg started (pid ";
    std::size_t at = text.rfind(kStarted);
    return at == std::string::npos ? 0 : std::atoi(text.c_str() + at + sizeof kStarted - 1);
}

class HeadlessHost {
  public:
    using Steady = std::chrono::steady_clock;
    struct Line {
        Steady::time_point at;
        std::string text;
    };

    // config: the XDG_CONFIG_HOME of the host; preferences: the JSON to seed
    // its store with (nothing written when empty).
    // program: what to start, the headless host unless another (the tray
    // application, which prints the same lines).
    // withJournal: its journal lines (standard error, where no journald runs)
    // are read as lines too.
    HeadlessHost(const std::string& config, const std::string& preferences = "",
                 const std::string& program = std::string(VSC_BINARY_DIR) + "/bin/vsc-headless",
                 bool withJournal = false) {
        if (!preferences.empty()) {
            std::filesystem::create_directories(config + "/vendaroscope-virtualcam");
            std::ofstream(config + "/vendaroscope-virtualcam/preferences.json") << preferences;
        }
        program_ = std::make_unique<Program>(
            program, std::vector<std::string>{},
            std::vector<std::pair<std::string, std::string>>{{"XDG_CONFIG_HOME", config}}, true,
            true, "", withJournal);
        // The reader owns a descriptor of its own: it ends once every writer
        // (this host, and a host the camera repair starts again) is gone.
        int fd = ::fcntl(program_->stdoutFd(), F_DUPFD_CLOEXEC, 3);
        reader_ = std::thread([fd, mutex = mutex_, lines = lines_] { read(fd, mutex, lines); });
    }
    ~HeadlessHost() {
        program_->stop();
        // A host started again by the camera repair holds the same pipe: the
        // reader ends once that one is gone too (the test ends it).
        if (reader_.joinable()) reader_.detach();
    }

    void send(const std::string& line) { program_->send(line); }
    Program& program() { return *program_; }

    std::vector<Line> lines() {
        std::lock_guard<std::mutex> hold(*mutex_);
        return *lines_;
    }
    std::string text() {
        std::string all;
        for (const auto& l : lines()) all += l.text + "\n";
        return all;
    }
    // The first line containing `part` (after `from`), waiting up to `limit`.
    std::optional<Line> waitFor(const std::string& part,
                                std::chrono::milliseconds limit = std::chrono::seconds(20),
                                Steady::time_point from = {}) {
        std::optional<Line> found;
        eventually(
            [&] {
                // A host that ended is reaped at once, as a desktop's launcher
                // would: the camera repair's relaunch waits for its pid to go.
                program_->running();
                for (const auto& l : lines())
                    if (l.at >= from && l.text.find(part) != std::string::npos) {
                        found = l;
                        return true;
                    }
                return false;
            },
            limit);
        return found;
    }
    bool has(const std::string& part) {
        for (const auto& l : lines())
            if (l.text.find(part) != std::string::npos) return true;
        return false;
    }

  private:
    static void read(int fd, std::shared_ptr<std::mutex> mutex,
                     std::shared_ptr<std::vector<Line>> lines) {
        std::string pending;
        char chunk[4096];
        ssize_t n;
        while ((n = ::read(fd, chunk, sizeof chunk)) > 0) {
            pending.append(chunk, static_cast<std::size_t>(n));
            std::size_t end;
            while ((end = pending.find('\n')) != std::string::npos) {
                std::lock_guard<std::mutex> hold(*mutex);
                lines->push_back({Steady::now(), pending.substr(0, end)});
                pending.erase(0, end + 1);
            }
        }
        ::close(fd);
    }

    std::unique_ptr<Program> program_;
    std::shared_ptr<std::mutex> mutex_ = std::make_shared<std::mutex>();
    std::shared_ptr<std::vector<Line>> lines_ = std::make_shared<std::vector<Line>>();
    std::thread reader_;
};

// The processes of a program (by its command name) that run in this test's
// session, found by the session's runtime folder in their environment.
inline std::vector<pid_t> sessionProcesses(const std::string& program,
                                           const std::string& runtimeDir) {
    namespace fs = std::filesystem;
    std::vector<pid_t> found;
    const std::string mark = "XDG_RUNTIME_DIR=" + runtimeDir;
    for (const auto& e : fs::directory_iterator("/proc")) {
        std::string name = e.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream comm(e.path() / "comm");
        std::string command;
        std::getline(comm, command);
        if (command != program.substr(0, 15)) continue;
        std::ifstream environ(e.path() / "environ", std::ios::binary);
        std::string all((std::istreambuf_iterator<char>(environ)), {});
        if (all.find(mark + '\0') != std::string::npos) found.push_back(std::stoi(name));
    }
    return found;
}

// Ends what a test leaves behind in its session that the session does not
// know of, such as a host the camera repair started again.
inline void endLeftovers(const std::string& program, const std::string& runtimeDir) {
    for (pid_t pid : sessionProcesses(program, runtimeDir)) ::kill(pid, SIGKILL);
}

}  // namespace vsc::test
