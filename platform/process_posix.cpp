#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/process.h"

extern char** environ;

namespace vsc {

SpawnResult spawnProcess(const SpawnRequest& request) {
    int highest = 2;
    for (const auto& d : request.descriptors) {
        if (d.target > highest) highest = d.target;
    }
    // A source numbered at or below the highest target could be overwritten by
    // an earlier duplication in the child (or be its own target, which would
    // keep its close-on-exec flag): move such sources out of the way first.
    std::vector<ChildDescriptor> descriptors = request.descriptors;
    std::vector<int> moved;
    for (auto& d : descriptors) {
        if (d.kind == ChildDescriptor::Kind::Inherit && d.source <= highest) {
            int high = fcntl(d.source, F_DUPFD_CLOEXEC, highest + 1);
            if (high < 0) {
                for (int fd : moved) ::close(fd);
                return SpawnResult{0, errno};
            }
            moved.push_back(high);
            d.source = high;
        }
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (const auto& d : descriptors) {
        switch (d.kind) {
            case ChildDescriptor::Kind::NullForReading:
                posix_spawn_file_actions_addopen(&actions, d.target, "/dev/null", O_RDONLY, 0);
                break;
            case ChildDescriptor::Kind::NullForWriting:
                posix_spawn_file_actions_addopen(&actions, d.target, "/dev/null", O_WRONLY, 0);
                break;
            case ChildDescriptor::Kind::Inherit:
                posix_spawn_file_actions_adddup2(&actions, d.source, d.target);
                break;
        }
    }
    // glibc has no "close everything by default": close the rest explicitly.
    posix_spawn_file_actions_addclosefrom_np(&actions, highest + 1);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    short flags = request.newSession ? POSIX_SPAWN_SETSID : 0;
    if (request.defaultSignals) {
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGHUP);
        sigaddset(&defaults, SIGINT);
        sigaddset(&defaults, SIGPIPE);
        sigaddset(&defaults, SIGTERM);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        sigset_t empty;
        sigemptyset(&empty);
        posix_spawnattr_setsigmask(&attributes, &empty);
        flags |= POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    }
    posix_spawnattr_setflags(&attributes, flags);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(request.path.c_str()));
    for (const auto& a : request.args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    SpawnResult result;
    pid_t pid = 0;
    int rc = posix_spawn(&pid, request.path.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    for (int fd : moved) ::close(fd);
    if (rc == 0) {
        result.pid = pid;
    } else {
        result.error = rc;
    }
    return result;
}

bool makePipe(Pipe& p) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    p.readEnd = fds[0];
    p.writeEnd = fds[1];
    return true;
}

void closeDescriptor(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

int waitForChild(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

bool isExecutableFile(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    return access(path.c_str(), X_OK) == 0;
}

std::string executablePath() {
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return {};
    return std::string(exe, static_cast<size_t>(n));
}

namespace {
std::string executableFolder() {
    std::string path = executablePath();
    auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}
}  // namespace

std::string resourcesDirectory() {
    return executableFolder() + "/../share/vendaroscope-virtualcam";
}

std::string helperProgram(const std::string& name) {
    std::string beside = executableFolder() + "/" + name;
    if (isExecutableFile(beside)) return beside;
    return executableFolder() + "/../libexec/vendaroscope-virtualcam/" + name;
}

}  // namespace vsc
