#pragma once

#include <pipewire/pipewire.h>

#include <cstdint>
#include <memory>
#include <string>

namespace vsc {

// One connection to the PipeWire server with its own loop thread. Calls into
// PipeWire from other threads are made with the loop locked.
class PipeWireConnection {
  public:
    // How streams with real-time processing are served. `realtime` gives
    // them a data thread with real-time priority (through the desktop's
    // RealtimeKit or the process's own limits), as a sound stream needs: a
    // sound cycle that waits behind a busy machine is a click in the call.
    enum class DataThread { ordinary, realtime };

    // None (with the reason in *error) when the server cannot be reached.
    static std::unique_ptr<PipeWireConnection> connect(const std::string& name, std::string* error,
                                                       DataThread data = DataThread::ordinary);
    ~PipeWireConnection();

    pw_thread_loop* loop() const { return loop_; }
    // Different for every connection this process makes: what a node was
    // under an earlier connection (to a server since restarted) says nothing
    // about the node with the same id or serial now.
    std::uint64_t generation() const { return generation_; }
    // A mark of sameness for a node of this connection, from its serial.
    std::uint64_t identity(std::uint64_t serial) const { return (generation_ << 40) | serial; }
    pw_core* core() const { return core_; }
    pw_context* context() const { return context_; }

    void lock() { pw_thread_loop_lock(loop_); }
    void unlock() { pw_thread_loop_unlock(loop_); }
    // Waits on the loop (locked) until signal() or the time-out; false on time-out.
    bool wait(double seconds);
    void signal() { pw_thread_loop_signal(loop_, false); }
    // Runs every pending server round trip: objects created before are known after.
    bool sync(double seconds = 5.0);
    // True once the server connection has failed (for example the server
    // restarted); such a connection is to be replaced.
    bool broken();

    class Lock {
      public:
        explicit Lock(PipeWireConnection& c) : c_(c) { c_.lock(); }
        ~Lock() { c_.unlock(); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      private:
        PipeWireConnection& c_;
    };

  private:
    PipeWireConnection() = default;
    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    spa_hook coreListener_{};
    int pendingSeq_ = -1;
    bool synced_ = false;
    bool failed_ = false;
    std::uint64_t generation_ = 0;
};

}  // namespace vsc
