#include "platform/thread_priority.h"

#include <dirent.h>
#include <errno.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace vsc {

namespace {

constexpr std::uint64_t kBusTimeoutUs = 500000;

struct BusUnref {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};

std::string askRealtimeKit(pid_t process, pid_t thread, int niceLevel) {
    sd_bus* raw = nullptr;
    int res = sd_bus_open_system(&raw);
    if (res < 0) return std::string("no system bus: ") + std::strerror(-res);
    std::unique_ptr<sd_bus, BusUnref> bus(raw);
    sd_bus_set_method_call_timeout(bus.get(), kBusTimeoutUs);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    res = sd_bus_call_method(bus.get(), "org.freedesktop.RealtimeKit1",
                             "/org/freedesktop/RealtimeKit1", "org.freedesktop.RealtimeKit1",
                             "MakeThreadHighPriorityWithPID", &error, nullptr, "tti",
                             static_cast<std::uint64_t>(process),
                             static_cast<std::uint64_t>(thread),
                             static_cast<std::int32_t>(niceLevel));
    std::string why;
    if (res < 0)
        why = std::string("RealtimeKit: ") +
              (error.message ? error.message : std::strerror(-res));
    sd_bus_error_free(&error);
    return why;
}

}  // namespace

pid_t currentThreadId() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

std::string raiseThreadPriority(pid_t process, pid_t thread, int niceLevel) {
    // On Linux a thread id names one thread to the priority calls.
    errno = 0;
    int now = ::getpriority(PRIO_PROCESS, static_cast<id_t>(thread));
    if (now == -1 && errno != 0) return std::string("no such thread: ") + std::strerror(errno);
    if (now <= niceLevel) return {};
    if (::setpriority(PRIO_PROCESS, static_cast<id_t>(thread), niceLevel) == 0) return {};
    if (errno != EACCES && errno != EPERM) return std::strerror(errno);
    return askRealtimeKit(process, thread, niceLevel);
}

std::string raiseProcessPriority(pid_t process, int niceLevel) {
    std::string folder = "/proc/" + std::to_string(process) + "/task";
    std::vector<pid_t> threads;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (dirent* entry = ::readdir(dir)) {
            char* end = nullptr;
            long id = std::strtol(entry->d_name, &end, 10);
            if (end != entry->d_name && *end == '\0' && id > 0) threads.push_back(static_cast<pid_t>(id));
        }
        ::closedir(dir);
    }
    if (threads.empty()) threads.push_back(process);
    std::string why;
    for (pid_t thread : threads) {
        std::string failed = raiseThreadPriority(process, thread, niceLevel);
        if (why.empty()) why = failed;
    }
    return why;
}

}  // namespace vsc
