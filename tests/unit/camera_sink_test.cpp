#include "app/camera/camera_sink.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

namespace {

using vsc::CameraObjectId;

class FakeQueue final : public vsc::SampleQueue {
  public:
    std::int32_t held = 0, size = 4;
    bool taken = true;
    std::int32_t error = 0;
    bool ready() override { return taken; }
    std::int32_t status() override { return error; }
    std::vector<vsc::PixelBufferRef> enqueued;
    std::int32_t count() override { return held; }
    std::int32_t capacity() override { return size; }
    std::int32_t enqueue(const vsc::PixelBufferRef& buffer, std::uint64_t) override {
        enqueued.push_back(buffer);
        ++held;
        return 0;
    }
};

// The system's cameras as a table: object -> ids per selector, names.
class FakeSystem final : public vsc::CameraSystem {
  public:
    std::map<std::pair<CameraObjectId, std::uint32_t>, std::vector<CameraObjectId>> lists;
    std::map<CameraObjectId, std::string> names;
    std::optional<std::uint32_t> forcedSize;  // a size the list's contents don't match
    std::int32_t dataStatus = 0, queueStatus = 0, startStatus = 0;
    bool giveQueue = true;
    int dataReads = 0, starts = 0, stops = 0;
    std::weak_ptr<FakeQueue> lastQueue;

    std::int32_t propertyDataSize(CameraObjectId o, std::uint32_t s, std::uint32_t* size) override {
        *size = forcedSize ? *forcedSize : static_cast<std::uint32_t>(lists[{o, s}].size() * 4);
        return 0;
    }
    std::int32_t propertyData(CameraObjectId o, std::uint32_t s, std::uint32_t size,
                              std::uint32_t* data) override {
        ++dataReads;
        if (dataStatus) return dataStatus;
        auto& ids = lists[{o, s}];
        for (std::size_t i = 0; i < size / 4; ++i) data[i] = i < ids.size() ? ids[i] : 99;
        return 0;
    }
    std::optional<std::string> stringProperty(CameraObjectId o, std::uint32_t) override {
        auto it = names.find(o);
        if (it == names.end()) return std::nullopt;
        return it->second;
    }
    std::int32_t copyBufferQueue(CameraObjectId,
                                 std::shared_ptr<vsc::SampleQueue>* queue) override {
        if (giveQueue) {
            auto q = std::make_shared<FakeQueue>();
            lastQueue = q;
            *queue = q;
        }
        return queueStatus;
    }
    std::int32_t startStream(CameraObjectId, CameraObjectId) override {
        ++starts;
        return startStatus;
    }
    std::int32_t stopStream(CameraObjectId, CameraObjectId) override {
        ++stops;
        return 0;
    }
    std::uint64_t now = 1;
    std::map<CameraObjectId, std::uint64_t> identities;
    std::uint64_t hostTimeNs() override { return now; }
    std::uint64_t objectIdentity(CameraObjectId o) override { return identities[o]; }

    // One camera: device 40 with streams 40 (its picture) and 41 (the sink).
    void addCamera(const std::string& name = "Vendaroscope Program",
                   const std::string& sinkName = "VSC Program.Sink") {
        lists[{vsc::kSystemObject, vsc::kSelectorDevices}] = {30, 40};
        names[30] = "Integrated Webcam";
        names[40] = name;
        lists[{40, vsc::kSelectorStreams}] = {40, 41};
        names[41] = sinkName;
    }
};

std::vector<std::uint8_t> frame() {
    std::vector<std::uint8_t> f(vsc::CameraSink::kFrameBytes);
    for (std::size_t i = 0; i < f.size(); ++i) f[i] = static_cast<std::uint8_t>(i % 251);
    return f;
}

TEST(CameraSink, ConnectExplainsEachWayItCanFail) {
    auto system = std::make_shared<FakeSystem>();
    vsc::CameraSink sink(system);
    EXPECT_EQ(
        sink.connect(),
        "Camera “Vendaroscope Program” not found — install/approve the camera extension first.");
    system->addCamera("VSC Program", "Vendaroscope Program.Video");
    EXPECT_EQ(sink.connect(), "Sink stream not found on “Vendaroscope Program”.");
    system->addCamera("VSC Program");
    system->queueStatus = -5;
    EXPECT_EQ(sink.connect(), "CMIOStreamCopyBufferQueue failed (-5).");
    system->queueStatus = 0;
    system->giveQueue = false;
    EXPECT_EQ(sink.connect(), "CMIOStreamCopyBufferQueue failed (0).");
    system->giveQueue = true;
    system->startStatus = -110;
    EXPECT_EQ(sink.connect(), "CMIODeviceStartStream failed (-110).");
    EXPECT_TRUE(system->lastQueue.expired());  // released again
    EXPECT_FALSE(sink.isConnected());
    EXPECT_EQ(sink.makePixelBuffer(frame()), nullptr);
}

// The camera takes a started stream a moment later: the sink is ready then,
// and says why when the stream fails or is not taken within 3 s. It is
// connected to a device only while that id still names the same camera.
TEST(CameraSink, AStartedStreamIsReadyOnceTakenOrFailsWithAReason) {
    auto system = std::make_shared<FakeSystem>();
    system->addCamera();
    system->identities[40] = 7;
    vsc::CameraSink sink(system);
    ASSERT_EQ(sink.connect(), std::nullopt);
    auto queue = system->lastQueue.lock();
    queue->taken = false;
    EXPECT_FALSE(sink.ready());
    system->now += 2'999'999'999;
    EXPECT_EQ(sink.streamProblem(), std::nullopt);
    system->now += 1;
    EXPECT_EQ(sink.streamProblem(), "CMIODeviceStartStream failed (-110).");
    queue->taken = true;
    EXPECT_TRUE(sink.ready());
    EXPECT_EQ(sink.streamProblem(), std::nullopt);
    queue->error = -32;
    EXPECT_EQ(sink.streamProblem(), "CMIODeviceStartStream failed (-32).");

    EXPECT_TRUE(sink.isConnectedTo(40));
    system->identities[40] = 8;  // the camera came back and got the old id
    EXPECT_FALSE(sink.isConnectedTo(40));
    sink.disconnect();
    EXPECT_EQ(sink.streamProblem(), std::nullopt);
}

TEST(CameraSink, ConnectsOnceAndDisconnectsOnlyWhenConnected) {
    auto system = std::make_shared<FakeSystem>();
    system->addCamera();
    vsc::CameraSink sink(system);
    sink.disconnect();
    EXPECT_EQ(system->stops, 0);
    EXPECT_EQ(sink.findCameraDevice(), 40u);
    EXPECT_EQ(sink.connect(), std::nullopt);
    EXPECT_EQ(sink.connect(), std::nullopt);
    EXPECT_EQ(system->starts, 1);
    sink.disconnect();
    sink.disconnect();
    EXPECT_EQ(system->stops, 1);
}

TEST(CameraSink, ObjectListsFollowTheReportedSize) {
    auto system = std::make_shared<FakeSystem>();
    vsc::CameraSink sink(system);
    system->lists[{7, vsc::kSelectorStreams}] = {1, 2, 3};
    system->forcedSize = 0;
    EXPECT_TRUE(sink.objectList(7, vsc::kSelectorStreams).empty());
    system->forcedSize = 3;  // under one id: nothing read
    EXPECT_TRUE(sink.objectList(7, vsc::kSelectorStreams).empty());
    EXPECT_EQ(system->dataReads, 0);
    system->forcedSize = 9;  // rounded down to two ids
    EXPECT_EQ(sink.objectList(7, vsc::kSelectorStreams), (std::vector<CameraObjectId>{1, 2}));
    system->dataStatus = -1;
    EXPECT_TRUE(sink.objectList(7, vsc::kSelectorStreams).empty());
    EXPECT_EQ(sink.objectName(12345), std::nullopt);
}

TEST(CameraSink, CopiesRowsAtTheDestinationStrideAndLeavesThePaddingAlone) {
    auto system = std::make_shared<FakeSystem>();
    system->addCamera();
    vsc::CameraSink sink(system, 1984);
    ASSERT_EQ(sink.connect(), std::nullopt);
    auto f = frame();
    {
        // Mark a pooled picture everywhere, then hand it back to the pool.
        auto marked = sink.makePixelBuffer(f);
        ASSERT_TRUE(marked);
        std::memset(marked->luma, 0xEE, marked->lumaStride * 1080);
        std::memset(marked->chroma, 0xEE, marked->chromaStride * 540);
    }
    auto buffer = sink.makePixelBuffer(f);
    ASSERT_TRUE(buffer);
    ASSERT_EQ(buffer->lumaStride, 1984u);
    for (std::size_t r : {0u, 1u, 539u, 1079u}) {
        EXPECT_EQ(0, std::memcmp(buffer->luma + r * 1984, f.data() + r * 1920, 1920)) << r;
        for (std::size_t c = 1920; c < 1984; ++c) ASSERT_EQ(buffer->luma[r * 1984 + c], 0xEE);
    }
    for (std::size_t r : {0u, 539u}) {
        EXPECT_EQ(0, std::memcmp(buffer->chroma + r * 1984, f.data() + 2073600 + r * 1920, 1920));
        for (std::size_t c = 1920; c < 1984; ++c) ASSERT_EQ(buffer->chroma[r * 1984 + c], 0xEE);
    }
    // A short frame is never read past its end.
    EXPECT_EQ(sink.makePixelBuffer(std::span<const std::uint8_t>(f.data(), 1000)), nullptr);
}

TEST(CameraSink, AFullQueueCountsADropAndTakesNothing) {
    auto system = std::make_shared<FakeSystem>();
    system->addCamera();
    vsc::CameraSink sink(system);
    auto f = frame();
    auto early = std::make_shared<vsc::PixelBuffer>();
    sink.send(early);  // disconnected: nothing, not even a count
    EXPECT_EQ(sink.droppedFrames(), 0);
    ASSERT_EQ(sink.connect(), std::nullopt);
    auto queue = system->lastQueue.lock();
    for (int i = 0; i < 4; ++i) sink.send(sink.makePixelBuffer(f));
    EXPECT_EQ(queue->enqueued.size(), 4u);
    sink.send(sink.makePixelBuffer(f));
    EXPECT_EQ(queue->enqueued.size(), 4u);
    EXPECT_EQ(sink.droppedFrames(), 1);
    sink.disconnect();
    EXPECT_EQ(sink.droppedFrames(), 1);  // kept for the sink's whole life
}

}  // namespace

namespace {

// The pool reuses what comes back, refuses beyond its maximum, and keeps only
// a few unused pictures once a burst is over.
TEST(PixelBufferPool, ReusesRefusesBeyondItsMaximumAndKeepsFewIdle) {
    auto pool = std::make_shared<vsc::PixelBufferPool>(64, 32, 64, 24);
    std::vector<vsc::PixelBufferRef> burst;
    for (int i = 0; i < 24; ++i) burst.push_back(pool->create());
    for (const auto& picture : burst) ASSERT_NE(picture, nullptr);
    EXPECT_EQ(pool->create(), nullptr);
    EXPECT_EQ(pool->allocated(), 24u);
    burst.clear();
    EXPECT_EQ(pool->allocated(), vsc::PixelBufferPool::kKeptIdle);
    std::vector<vsc::PixelBufferRef> again;
    for (std::size_t i = 0; i < vsc::PixelBufferPool::kKeptIdle; ++i)
        again.push_back(pool->create());
    EXPECT_EQ(pool->allocated(), vsc::PixelBufferPool::kKeptIdle);  // the idle ones, reused
    again.push_back(pool->create());
    EXPECT_EQ(pool->allocated(), vsc::PixelBufferPool::kKeptIdle + 1);
}

}  // namespace
