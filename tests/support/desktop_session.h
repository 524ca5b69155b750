#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/process.h"

namespace vsc::test {

// Runs a program with a command line, waits for it, returns its exit status.
inline int runProgram(const std::string& path, const std::vector<std::string>& args) {
    SpawnRequest request;
    request.path = path;
    request.args = args;
    request.descriptors = {{0, ChildDescriptor::Kind::NullForReading, -1},
                           {1, ChildDescriptor::Kind::Inherit, 2},
                           {2, ChildDescriptor::Kind::Inherit, 2}};
    SpawnResult spawned = spawnProcess(request);
    if (spawned.pid <= 0) return -1;
    int status = waitForChild(spawned.pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A private D-Bus session, PipeWire and WirePlumber for one test program
// (scripts/session.sh). Its environment becomes this process's, so every
// program a test starts talks to it.
class DesktopSession {
  public:
    explicit DesktopSession(bool avahi = false) {
        char pattern[] = "/tmp/vsc-session-XXXXXX";
        dir_ = mkdtemp(pattern);
        std::vector<std::string> args = {std::string(VSC_SOURCE_DIR) + "/scripts/session.sh",
                                         "start", dir_};
        if (avahi) args.push_back("--avahi");
        // Should this test die before its destructor runs, the session goes too.
        args.insert(args.end(), {"--owner", std::to_string(getpid())});
        if (runProgram("/bin/bash", args) != 0)
            throw std::runtime_error("the session did not start");
        std::ifstream env(dir_ + "/env");
        std::string line;
        while (std::getline(env, line)) {
            if (line.rfind("export ", 0) != 0) continue;
            auto eq = line.find('=');
            std::string key = line.substr(7, eq - 7);
            std::string value = line.substr(eq + 1);
            if (value.size() >= 2 && (value.front() == '\'' || value.front() == '"'))
                value = value.substr(1, value.size() - 2);
            setenv(key.c_str(), value.c_str(), 1);
        }
    }
    ~DesktopSession() {
        runProgram("/bin/bash",
                   {std::string(VSC_SOURCE_DIR) + "/scripts/session.sh", "stop", dir_});
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    const std::string& dir() const { return dir_; }
    // The avahi-daemon this session started, or 0 when it uses one that was
    // running already (whose configuration is not the session's).
    pid_t avahiPid() const {
        std::ifstream pids(dir_ + "/pids");
        std::string role, pid;
        while (pids >> role >> pid) {
            if (role == "avahi-daemon") return static_cast<pid_t>(std::stol(pid));
            std::getline(pids, role);
        }
        return 0;
    }
    std::string configHome() const { return dir_ + "/config"; }

  private:
    std::string dir_;
};

// A program the test started; killed (SIGTERM, then SIGKILL) when it goes.
class Program {
  public:
    Program(const std::string& path, const std::vector<std::string>& args,
            const std::vector<std::pair<std::string, std::string>>& env = {},
            bool pipeStdout = false, bool pipeStdin = false, const std::string& stdoutFile = "",
            bool stderrToStdout = false) {
        Pipe out, in;
        SpawnRequest request;
        request.path = path;
        request.args = args;
        ChildDescriptor input{0, ChildDescriptor::Kind::NullForReading, -1};
        if (pipeStdin && makePipe(in)) input = {0, ChildDescriptor::Kind::Inherit, in.readEnd};
        ChildDescriptor output{1, ChildDescriptor::Kind::Inherit, 2};
        if (pipeStdout && makePipe(out)) output = {1, ChildDescriptor::Kind::Inherit, out.writeEnd};
        int file = -1;
        if (!stdoutFile.empty()) {
            file = open(stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (file >= 0) output = {1, ChildDescriptor::Kind::Inherit, file};
        }
        ChildDescriptor errors{2, ChildDescriptor::Kind::Inherit, 2};
        if (stderrToStdout) errors.source = output.source;
        request.descriptors = {input, output, errors};
        // The environment of the child: ours plus the extra variables.
        std::vector<std::pair<std::string, std::string>> saved;
        for (const auto& [k, v] : env) {
            const char* old = getenv(k.c_str());
            saved.push_back({k, old ? old : std::string("\x01")});
            setenv(k.c_str(), v.c_str(), 1);
        }
        SpawnResult spawned = spawnProcess(request);
        for (const auto& [k, v] : saved) {
            if (v == "\x01")
                unsetenv(k.c_str());
            else
                setenv(k.c_str(), v.c_str(), 1);
        }
        closeDescriptor(out.writeEnd);
        closeDescriptor(in.readEnd);
        closeDescriptor(file);
        if (spawned.pid <= 0) throw std::runtime_error("cannot start " + path);
        pid_ = spawned.pid;
        stdout_ = out.readEnd;
        stdin_ = in.writeEnd;
    }
    ~Program() {
        stop();
        closeDescriptor(stdout_);
        closeDescriptor(stdin_);
    }
    pid_t pid() const { return pid_; }
    int stdoutFd() const { return stdout_; }
    void send(const std::string& line) {
        std::string text = line + "\n";
        if (stdin_ >= 0 && write(stdin_, text.data(), text.size()) < 0) {
        }
    }
    // Returns the wait status.
    int stop(int signal = SIGTERM) {
        if (pid_ <= 0) return status_;
        kill(pid_, signal);
        for (int i = 0; i < 100; ++i) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = 0;
                status_ = status;
                return status;
            }
            usleep(50000);
        }
        kill(pid_, SIGKILL);
        status_ = waitForChild(pid_);
        pid_ = 0;
        return status_;
    }
    bool running() {
        if (pid_ <= 0) return false;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = 0;
            status_ = status;
            return false;
        }
        return true;
    }

  private:
    pid_t pid_ = 0;
    int status_ = 0;
    int stdout_ = -1;
    int stdin_ = -1;
};

}  // namespace vsc::test

namespace vsc::test {

// Everything a program printed on its standard output, once it has ended.
inline std::string outputOf(const std::string& path, const std::vector<std::string>& args) {
    Program program(path, args, {}, true);
    std::string text;
    char chunk[4096];
    ssize_t n;
    while ((n = read(program.stdoutFd(), chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<std::size_t>(n));
    return text;
}

// Whether PipeWire lists a node of that name now.
inline bool nodeListed(const std::string& name) {
    return outputOf("/usr/bin/pw-cli", {"ls", "Node"}).find("node.name = \"" + name + "\"") !=
           std::string::npos;
}

}  // namespace vsc::test
