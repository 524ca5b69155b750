#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/process.h"

namespace vsc::test {

// One GET on 127.0.0.1; returns the body, or "" when the peer is not there.
inline std::string httpGet(int port, const std::string& path) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return "";
    }
    std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (write(fd, request.data(), request.size()) < 0) {
        close(fd);
        return "";
    }
    std::string answer;
    char chunk[4096];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0) answer.append(chunk, static_cast<size_t>(n));
    close(fd);
    auto body = answer.find("\r\n\r\n");
    return body == std::string::npos ? "" : answer.substr(body + 4);
}

// The stand-in studio, started on free ports for one test and stopped after it.
class TestStudio {
  public:
    // extraArgs: more of the studio's options, such as {"--announce", "NAME"}.
    explicit TestStudio(int width = 1280, int height = 720, int rtspPort = 0, int apiPort = 0,
                        const std::vector<std::string>& extraArgs = {}) {
        Pipe out;
        if (!makePipe(out)) throw std::runtime_error("pipe");
        SpawnRequest request;
        request.path = "/usr/bin/python3";
        request.args = {std::string(VSC_SOURCE_DIR) + "/tools/test-studio/test_studio.py",
                        "--rtsp-port", std::to_string(rtspPort), "--api-port",
                        std::to_string(apiPort), "--width", std::to_string(width), "--height",
                        std::to_string(height),
                        // Ahead of the programs under test (nice -11), as a
                        // studio on a machine of its own would be: a hiccup
                        // of its stream is not what these tests look for.
                        "--nice", "-15"};
        request.args.insert(request.args.end(), extraArgs.begin(), extraArgs.end());
        request.descriptors = {{0, ChildDescriptor::Kind::NullForReading, -1},
                               {1, ChildDescriptor::Kind::Inherit, out.writeEnd},
                               {2, ChildDescriptor::Kind::Inherit, 2}};
        SpawnResult spawned = spawnProcess(request);
        closeDescriptor(out.writeEnd);
        if (spawned.pid <= 0) throw std::runtime_error("cannot start the test studio");
        pid_ = spawned.pid;
        // "test-studio ready rtsp=rtsp://127.0.0.1:PORT api=http://127.0.0.1:PORT"
        FILE* lines = fdopen(out.readEnd, "r");
        char line[512] = {};
        bool ready = lines && std::fgets(line, sizeof line, lines);
        if (lines) std::fclose(lines);
        if (!ready ||
            std::sscanf(line, "test-studio ready rtsp=rtsp://127.0.0.1:%d api=http://127.0.0.1:%d",
                        &rtspPort_, &apiPort_) != 2)
            throw std::runtime_error(std::string("test studio did not come up: ") + line);
    }

    ~TestStudio() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitForChild(pid_);
    }

    // Ends the studio the way a power cut would: no goodbye to its clients.
    void crash() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitForChild(pid_);
        pid_ = 0;
    }

    std::string url(const std::string& path) const {
        return "rtsp://127.0.0.1:" + std::to_string(rtspPort_) + "/" + path;
    }
    int apiPort() const { return apiPort_; }
    int rtspPort() const { return rtspPort_; }
    std::string control(const std::string& what) { return httpGet(apiPort_, "/control/" + what); }

  private:
    pid_t pid_ = 0;
    int rtspPort_ = 0;
    int apiPort_ = 0;
};

}  // namespace vsc::test
