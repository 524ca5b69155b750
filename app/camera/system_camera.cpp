#include "app/camera/system_camera.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>

#include "platform/process.h"

namespace vsc {
namespace {

constexpr std::size_t kDumpLimit = 32u << 20;  // a busy desktop's graph is far smaller
constexpr int kTimeLimitMs = 10000;
constexpr const char* kCameraName = "Vendaroscope Program";

}  // namespace

bool dumpListsCamera(std::string_view dump) {
    auto objects = nlohmann::json::parse(dump, nullptr, false);
    if (!objects.is_array()) return false;
    for (const auto& object : objects) {
        if (!object.is_object() || object.value("type", "") != "PipeWire:Interface:Node") continue;
        auto info = object.find("info");
        if (info == object.end() || !info->is_object()) continue;
        auto props = info->find("props");
        if (props == info->end() || !props->is_object()) continue;
        if (props->value("media.class", "") == "Video/Source" &&
            props->value("node.description", "") == kCameraName)
            return true;
    }
    return false;
}

bool systemListsCamera() {
    Pipe out;
    if (!makePipe(out)) return false;
    SpawnRequest request;
    request.path = "/usr/bin/pw-dump";
    request.descriptors = {{0, ChildDescriptor::Kind::NullForReading, -1},
                           {1, ChildDescriptor::Kind::Inherit, out.writeEnd},
                           {2, ChildDescriptor::Kind::NullForWriting, -1}};
    SpawnResult spawned = spawnProcess(request);
    closeDescriptor(out.writeEnd);
    if (spawned.pid <= 0) {
        closeDescriptor(out.readEnd);
        return false;  // cannot ask: not listed
    }
    std::string dump;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeLimitMs);
    bool complete = false;
    char chunk[65536];
    for (;;) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        until - std::chrono::steady_clock::now())
                                        .count());
        pollfd ready{out.readEnd, POLLIN, 0};
        if (left <= 0 || ::poll(&ready, 1, left) <= 0) break;
        ssize_t n = ::read(out.readEnd, chunk, sizeof chunk);
        if (n < 0) continue;
        if (n == 0) {
            complete = true;
            break;
        }
        if (dump.size() + static_cast<std::size_t>(n) > kDumpLimit) break;
        dump.append(chunk, static_cast<std::size_t>(n));
    }
    closeDescriptor(out.readEnd);
    if (!complete) ::kill(spawned.pid, SIGKILL);
    waitForChild(spawned.pid);
    return complete && dumpListsCamera(dump);
}

}  // namespace vsc
