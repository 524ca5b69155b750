#include "platform/pipewire_connection.h"

#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace vsc {
namespace {

std::once_flag initOnce;
std::atomic<std::uint64_t> connections{0};

}  // namespace

std::unique_ptr<PipeWireConnection> PipeWireConnection::connect(const std::string& name,
                                                                std::string* error,
                                                                DataThread data) {
    std::call_once(initOnce, [] { pw_init(nullptr, nullptr); });
    std::unique_ptr<PipeWireConnection> c(new PipeWireConnection());
    c->generation_ = ++connections;
    c->loop_ = pw_thread_loop_new(name.c_str(), nullptr);
    if (!c->loop_) {
        if (error) *error = "cannot create a PipeWire loop";
        return nullptr;
    }
    // The client configuration with the real-time module; where a server
    // ships without it, the ordinary one still works, only without priority.
    if (data == DataThread::realtime)
        c->context_ =
            pw_context_new(pw_thread_loop_get_loop(c->loop_),
                           pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
    if (!c->context_) c->context_ = pw_context_new(pw_thread_loop_get_loop(c->loop_), nullptr, 0);
    if (!c->context_ || pw_thread_loop_start(c->loop_) < 0) {
        if (error) *error = "cannot start the PipeWire loop";
        return nullptr;
    }
    Lock hold(*c);
    c->core_ = pw_context_connect(c->context_, nullptr, 0);
    if (!c->core_) {
        if (error) *error = std::string("cannot connect to PipeWire: ") + std::strerror(errno);
        return nullptr;
    }
    static const pw_core_events events = [] {
        pw_core_events e{};
        e.version = PW_VERSION_CORE_EVENTS;
        e.done = [](void* data, uint32_t id, int seq) {
            auto* self = static_cast<PipeWireConnection*>(data);
            if (id == PW_ID_CORE && seq == self->pendingSeq_) {
                self->synced_ = true;
                self->signal();
            }
        };
        e.error = [](void* data, uint32_t id, int, int, const char*) {
            auto* self = static_cast<PipeWireConnection*>(data);
            if (id == PW_ID_CORE) {
                self->failed_ = true;
                self->signal();
            }
        };
        return e;
    }();
    pw_core_add_listener(c->core_, &c->coreListener_, &events, c.get());
    return c;
}

PipeWireConnection::~PipeWireConnection() {
    if (loop_) pw_thread_loop_stop(loop_);
    if (core_) {
        spa_hook_remove(&coreListener_);
        pw_core_disconnect(core_);
    }
    if (context_) pw_context_destroy(context_);
    if (loop_) pw_thread_loop_destroy(loop_);
}

bool PipeWireConnection::wait(double seconds) {
    timespec abstime{};
    pw_thread_loop_get_time(loop_, &abstime, static_cast<int64_t>(seconds * 1e9));
    return pw_thread_loop_timed_wait_full(loop_, &abstime) == 0;
}

bool PipeWireConnection::sync(double seconds) {
    Lock hold(*this);
    synced_ = false;
    pendingSeq_ = pw_core_sync(core_, PW_ID_CORE, 0);
    timespec abstime{};
    pw_thread_loop_get_time(loop_, &abstime, static_cast<int64_t>(seconds * 1e9));
    while (!synced_ && !failed_) {
        if (pw_thread_loop_timed_wait_full(loop_, &abstime) != 0) return false;
    }
    return synced_;
}

}  // namespace vsc

namespace vsc {

bool PipeWireConnection::broken() {
    Lock hold(*this);
    return failed_;
}

}  // namespace vsc
