#include "platform/user_service.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "platform/process.h"
#include "platform/user_dirs.h"

namespace vsc {
namespace {

namespace fs = std::filesystem;

// Writes a whole file beside its place and renames it over the old one.
std::optional<std::string> writeFileAtomically(const std::string& path, const std::string& text) {
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    if (ec) return "Cannot create " + fs::path(path).parent_path().string() + ": " + ec.message();
    std::string pattern = path + ".new-XXXXXX";
    int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) return "Cannot write " + path + ": " + std::strerror(errno);
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int error = errno;
            ::close(fd);
            ::unlink(pattern.c_str());
            return "Cannot write " + path + ": " + std::strerror(error);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fchmod(fd, 0644) != 0 || ::fsync(fd) != 0 || ::close(fd) != 0) {
        int error = errno;
        ::unlink(pattern.c_str());
        return "Cannot write " + path + ": " + std::strerror(error);
    }
    if (::rename(pattern.c_str(), path.c_str()) != 0) {
        int error = errno;
        ::unlink(pattern.c_str());
        return "Cannot write " + path + ": " + std::strerror(error);
    }
    return std::nullopt;
}

struct Outcome {
    int status = -1;     // exit status, -1 when it could not run or was killed
    std::string output;  // standard output and error, trimmed
};

// Runs a program to its end with its output captured.
Outcome run(const std::string& path, const std::vector<std::string>& args) {
    Outcome outcome;
    Pipe out;
    if (!makePipe(out)) {
        outcome.output = std::string("pipe: ") + std::strerror(errno);
        return outcome;
    }
    SpawnRequest request;
    request.path = path;
    request.args = args;
    request.descriptors = {{0, ChildDescriptor::Kind::NullForReading, -1},
                           {1, ChildDescriptor::Kind::Inherit, out.writeEnd},
                           {2, ChildDescriptor::Kind::Inherit, out.writeEnd}};
    SpawnResult spawned = spawnProcess(request);
    closeDescriptor(out.writeEnd);
    if (spawned.pid <= 0) {
        closeDescriptor(out.readEnd);
        outcome.output = "Cannot run " + path + ": " + std::strerror(spawned.error);
        return outcome;
    }
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(out.readEnd, chunk, sizeof chunk)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        // Bounded: only the first words matter to the user.
        if (outcome.output.size() < 4096) outcome.output.append(chunk, static_cast<std::size_t>(n));
    }
    closeDescriptor(out.readEnd);
    int status = waitForChild(spawned.pid);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    auto first = outcome.output.find_first_not_of(" \t\r\n");
    auto last = outcome.output.find_last_not_of(" \t\r\n");
    outcome.output =
        first == std::string::npos ? std::string() : outcome.output.substr(first, last - first + 1);
    return outcome;
}

// ---- systemd ----

const char* const kSystemctl = "/usr/bin/systemctl";

// A word of ExecStart=, quoted the way systemd reads it: in double quotes,
// with backslashes and quotes escaped, "$" and "%" doubled so that neither an
// environment variable nor a specifier is expanded.
std::string unitWord(const std::string& word) {
    std::string quoted = "\"";
    for (char c : word) {
        if (c == '\\' || c == '"') quoted += '\\';
        if (c == '$') quoted += '$';
        if (c == '%') quoted += '%';
        quoted += c;
    }
    return quoted + "\"";
}

class SystemdUserServices final : public UserServices {
  public:
    SystemdUserServices(std::string folder, std::string systemctl)
        : folder_(std::move(folder)), systemctl_(std::move(systemctl)) {}

    std::optional<std::string> install(const UserServiceSpec& spec) override {
        if (auto failure = writeFileAtomically(unitPath(spec.name), systemdUnitText(spec)))
            return failure;
        if (auto failure = systemctl({"daemon-reload"})) return failure;
        if (auto failure = systemctl({"enable", unit(spec.name)})) return failure;
        return systemctl({"restart", unit(spec.name)});
    }

    std::optional<std::string> uninstall(const std::string& name) override {
        if (!installed(name)) return std::nullopt;
        systemctl({"disable", "--now", unit(name)});  // a unit already gone is fine
        std::error_code ec;
        fs::remove(unitPath(name), ec);
        if (ec) return "Cannot remove " + unitPath(name) + ": " + ec.message();
        return systemctl({"daemon-reload"});
    }

    std::optional<std::string> restart(const std::string& name) override {
        return systemctl({"restart", unit(name)});
    }

    bool installed(const std::string& name) override { return fs::exists(unitPath(name)); }

    void ensureRunning(const std::string& name) override {
        if (installed(name)) systemctl({"start", "--no-block", unit(name)});
    }

  private:
    static std::string unit(const std::string& name) { return name + ".service"; }
    std::string unitPath(const std::string& name) const { return folder_ + "/" + unit(name); }

    std::optional<std::string> systemctl(std::vector<std::string> args) {
        args.insert(args.begin(), "--user");
        Outcome outcome = run(systemctl_, args);
        if (outcome.status == 0) return std::nullopt;
        if (!outcome.output.empty()) return outcome.output;
        return "systemctl exited " + std::to_string(outcome.status);
    }

    std::string folder_, systemctl_;
};

// ---- supervised ----

class SupervisedUserServices final : public UserServices {
  public:
    SupervisedUserServices(std::string supervisor, std::string state, std::string locks)
        : supervisor_(std::move(supervisor)), state_(std::move(state)), locks_(std::move(locks)) {}

    std::optional<std::string> install(const UserServiceSpec& spec) override {
        nlohmann::json definition = {{"description", spec.description}, {"command", spec.command}};
        if (auto failure = writeFileAtomically(statePath(spec.name), definition.dump() + "\n"))
            return failure;
        return restart(spec.name);
    }

    std::optional<std::string> uninstall(const std::string& name) override {
        std::error_code ec;
        fs::remove(statePath(name), ec);
        if (ec) return "Cannot remove " + statePath(name) + ": " + ec.message();
        if (pid_t pid = supervisorPid(name); pid > 0) ::kill(pid, SIGTERM);
        // The supervisor stops its program before it lets go of its lock.
        if (!waitUntil([&] { return supervisorPid(name) == 0; }, std::chrono::seconds(10)))
            return "The service " + name + " did not stop";
        return std::nullopt;
    }

    std::optional<std::string> restart(const std::string& name) override {
        if (!installed(name)) return "The service " + name + " is not installed";
        pid_t pid = 0;
        waitUntil([&] { return (pid = supervisorPid(name)) >= 0; }, std::chrono::seconds(2));
        if (pid > 0) {
            ::kill(pid, SIGHUP);  // it starts its program again at once
            return std::nullopt;
        }
        return launchSupervisor(name);
    }

    bool installed(const std::string& name) override { return fs::exists(statePath(name)); }

    void ensureRunning(const std::string& name) override {
        if (installed(name) && supervisorPid(name) == 0) launchSupervisor(name);
    }

  private:
    std::string statePath(const std::string& name) const { return state_ + "/" + name + ".json"; }
    std::string lockPath(const std::string& name) const { return locks_ + "/" + name + ".lock"; }

    template <class Condition>
    static bool waitUntil(Condition condition, std::chrono::milliseconds limit) {
        auto until = std::chrono::steady_clock::now() + limit;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    // The pid of the supervisor that holds the service's lock; 0 when none
    // does, -1 when one does but has not written its pid yet.
    pid_t supervisorPid(const std::string& name) const {
        int fd = ::open(lockPath(name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) return 0;
        pid_t pid = 0;
        if (::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
            char text[32] = {};
            ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
            if (n > 0) pid = static_cast<pid_t>(std::strtol(text, nullptr, 10));
            if (pid <= 0) pid = -1;  // held, pid not written yet
        }
        ::close(fd);
        return pid;
    }

    std::optional<std::string> launchSupervisor(const std::string& name) {
        std::error_code ec;
        fs::create_directories(locks_, ec);
        if (ec) return "Cannot create " + locks_ + ": " + ec.message();
        ::chmod(locks_.c_str(), 0700);
        SpawnRequest request;
        request.path = supervisor_;
        request.args = {name, statePath(name), lockPath(name), locks_ + "/" + name + ".log"};
        request.descriptors = {{0, ChildDescriptor::Kind::NullForReading, -1},
                               {1, ChildDescriptor::Kind::NullForWriting, -1},
                               {2, ChildDescriptor::Kind::NullForWriting, -1}};
        request.newSession = true;
        SpawnResult spawned = spawnProcess(request);
        if (spawned.pid <= 0)
            return "Cannot run " + supervisor_ + ": " + std::strerror(spawned.error);
        // It leaves its first process at once and goes on detached.
        waitForChild(spawned.pid);
        if (!waitUntil([&] { return supervisorPid(name) > 0; }, std::chrono::seconds(5)))
            return "The service " + name + " did not start";
        return std::nullopt;
    }

    std::string supervisor_, state_, locks_;
};

}  // namespace

std::string systemdUnitText(const UserServiceSpec& spec) {
    std::string exec;
    for (const auto& word : spec.command) exec += (exec.empty() ? "" : " ") + unitWord(word);
    std::string description;
    for (char c : spec.description) description += c == '\n' ? ' ' : c;
    return "[Unit]\n"
           "Description=" +
           description +
           "\n"
           "After=pipewire.service\n"
           "Wants=pipewire.service\n"
           // Never give up: the audio server may take its time to come back.
           "StartLimitIntervalSec=0\n"
           "\n"
           "[Service]\n"
           "ExecStart=" +
           exec +
           "\n"
           "Restart=always\n"
           "RestartSec=1\n"
           "\n"
           "[Install]\n"
           "WantedBy=default.target\n";
}

std::string supervisedStateFolder() {
    std::string data = dataHome();
    return data.empty() ? std::string() : data + "/vendaroscope-virtualcam/services";
}

std::string supervisedLockFolder() {
    std::string runtime = runtimeDirectory();
    if (!runtime.empty()) return runtime + "/vendaroscope-virtualcam";
    return "/tmp/vendaroscope-virtualcam-" + std::to_string(::getuid());
}

std::unique_ptr<UserServices> makeSystemdUserServices(std::string unitFolder,
                                                      std::string systemctl) {
    return std::make_unique<SystemdUserServices>(std::move(unitFolder), std::move(systemctl));
}

std::unique_ptr<UserServices> makeSupervisedUserServices(std::string supervisor,
                                                         std::string stateFolder,
                                                         std::string lockFolder) {
    return std::make_unique<SupervisedUserServices>(std::move(supervisor), std::move(stateFolder),
                                                    std::move(lockFolder));
}

std::unique_ptr<UserServices> makeUserServices() {
    // A user manager listens on its private socket in the runtime folder.
    std::string runtime = runtimeDirectory();
    std::error_code ec;
    if (!runtime.empty() && fs::exists(runtime + "/systemd/private", ec) &&
        isExecutableFile(kSystemctl)) {
        std::string config = configHome();
        if (!config.empty()) return makeSystemdUserServices(config + "/systemd/user");
    }
    return makeSupervisedUserServices(helperProgram("vendaroscope-supervise"),
                                      supervisedStateFolder(), supervisedLockFolder());
}

}  // namespace vsc
