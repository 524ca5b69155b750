#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/camera/camera_sink.h"
#include "platform/dns_sd.h"
#include "platform/http.h"
#include "platform/notifications.h"
#include "platform/serial_queue.h"

namespace vsc::test {

// A camera sink that records what it is asked to do.
class FakeCameraSink final : public CameraSink {
  public:
    FakeCameraSink() : CameraSink(nullptr) {}
    struct Buffer : PixelBuffer {
        std::vector<std::uint8_t> bytes;
        std::uint8_t firstByte = 0;
    };
    struct Sent {
        std::uint8_t firstByte;
        std::thread::id thread;
    };

    std::optional<std::string> connectResult;
    bool connected = false;
    bool taken = true;                      // the camera takes a started stream at once
    std::optional<std::string> problem;     // what streamProblem() says while connected
    CameraObjectId device = 40;             // the device connect() connects to
    std::optional<CameraObjectId> visible;  // what findCameraDevice() finds
    int connects = 0, disconnects = 0;
    std::int64_t drops = 0;

    std::optional<std::string> connect() override {
        ++connects;
        connected = !connectResult;
        if (connected && visible) device = *visible;
        return connectResult;
    }
    void disconnect() override {
        ++disconnects;
        connected = false;
    }
    std::optional<CameraObjectId> findCameraDevice() override { return visible; }
    std::optional<std::string> objectName(CameraObjectId) override {
        return std::string("Vendaroscope Program");
    }
    bool isConnected() override { return connected; }
    bool isConnectedTo(CameraObjectId id) override { return connected && id == device; }
    bool ready() override { return connected && taken; }
    std::optional<std::string> streamProblem() override {
        return connected ? problem : std::nullopt;
    }
    PixelBufferRef makePixelBuffer(std::span<const std::uint8_t> frame) override {
        if (!connected) return nullptr;
        auto buffer = std::make_shared<Buffer>();
        buffer->width = 16;
        buffer->height = 8;
        buffer->bytes.assign(frame.begin(), frame.end());
        buffer->bytes.resize(16 * 8 * 3 / 2);
        buffer->luma = buffer->bytes.data();
        buffer->lumaStride = 16;
        buffer->chroma = buffer->bytes.data() + 16 * 8;
        buffer->chromaStride = 16;
        buffer->firstByte = frame.empty() ? 0 : frame[0];
        return buffer;
    }
    void send(PixelBufferRef buffer) override {
        std::lock_guard<std::mutex> hold(mutex);
        sent.push_back({static_cast<Buffer&>(*buffer).firstByte, std::this_thread::get_id()});
    }
    std::int64_t droppedFrames() override { return drops; }

    std::vector<Sent> sentFrames() {
        std::lock_guard<std::mutex> hold(mutex);
        return sent;
    }

    std::mutex mutex;
    std::vector<Sent> sent;
};

// A serial queue that keeps its tasks until the test runs them.
class ManualSerialQueue final : public SerialQueue {
  public:
    void async(Task task) override { asyncAfter(0, std::move(task)); }
    void asyncAfter(double seconds, Task task) override {
        std::lock_guard<std::mutex> hold(mutex_);
        delays.push_back(seconds);
        tasks_.push_back(std::move(task));
    }
    void runAll() {
        std::vector<Task> tasks;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            tasks.swap(tasks_);
        }
        for (auto& t : tasks) t();
    }
    std::vector<double> delays;

  private:
    std::mutex mutex_;
    std::vector<Task> tasks_;
};

// An HTTP client answering from a table; unknown addresses fail.
class FakeHttp final : public HttpClient {
  public:
    std::mutex mutex;
    std::map<std::string, std::string> bodies;
    std::vector<std::string> asked;
    std::optional<std::string> get(const std::string& url) override {
        std::lock_guard<std::mutex> hold(mutex);
        asked.push_back(url);
        auto it = bodies.find(url);
        if (it == bodies.end()) return std::nullopt;
        return it->second;
    }
};

// A DNS-SD browser driven by the test: it keeps the handlers and every
// connection asked for, and the test answers for the network.
class FakeDnsSdBrowser final : public DnsSdBrowser {
  public:
    struct Connection final : ResolvingConnection {
        ServiceEndpoint endpoint;
        std::function<void(const ConnectionEvent&)> onEvent;
        bool cancelled = false;
        void cancel() override { cancelled = true; }
        void ready(const std::string& host) { onEvent({ConnectionEvent::Kind::Ready, host, {}}); }
        void fail(const std::string& error) {
            onEvent({ConnectionEvent::Kind::Failed, std::nullopt, error});
        }
    };

    void start(Handlers h) override {
        ++starts;
        handlers = std::move(h);
    }
    std::shared_ptr<ResolvingConnection> connect(
        const ServiceEndpoint& endpoint,
        std::function<void(const ConnectionEvent&)> onEvent) override {
        auto c = std::make_shared<Connection>();
        c->endpoint = endpoint;
        c->onEvent = std::move(onEvent);
        connections.push_back(c);
        return c;
    }
    void announce(std::vector<BrowseResult> results) { handlers.results(std::move(results)); }

    int starts = 0;
    Handlers handlers;
    std::vector<std::shared_ptr<Connection>> connections;
};

// A notification centre that keeps what was posted, with the test's time of
// each post when given a clock.
class FakeNotifications final : public Notifications {
  public:
    struct Posted {
        Notification notification;
        double at;
    };
    std::function<double()> now;
    std::vector<Posted> posted;
    std::function<void(const std::string&)> clickHandler;

    void post(const Notification& n) override { posted.push_back({n, now ? now() : 0}); }
    void setClickHandler(std::function<void(const std::string&)> handler) override {
        clickHandler = std::move(handler);
    }
    std::vector<std::string> identifiers() const {
        std::vector<std::string> ids;
        for (const auto& p : posted) ids.push_back(p.notification.identifier);
        return ids;
    }
};

}  // namespace vsc::test
