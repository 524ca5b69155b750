#include "camera-extension/program_provider.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/fakes.h"

using namespace vsc::cam;

namespace {

class FakeTimer final : public vsc::RepeatingTimer {
  public:
    explicit FakeTimer(int* cancels) : cancels_(cancels) {}
    void cancel() override { ++*cancels_; }

  private:
    int* cancels_;
};

class FakeHost final : public Host {
  public:
    std::uint64_t now = 5'000'000'000ull;
    int timersMade = 0;
    int cancels = 0;
    std::vector<std::string> logs;
    std::uint64_t nowNs() override { return now; }
    std::shared_ptr<vsc::RepeatingTimer> makeTimer(vsc::SerialQueue&, double interval,
                                                   double leeway, vsc::Task) override {
        EXPECT_DOUBLE_EQ(interval, 1.0 / 30.0);
        EXPECT_DOUBLE_EQ(leeway, 0.002);
        ++timersMade;
        return std::make_shared<FakeTimer>(&cancels);
    }
    void log(const std::string& message) override { logs.push_back(message); }
};

class Frame final : public Picture {
  public:
    int width() const override { return 1920; }
    int height() const override { return 1080; }
    const std::uint8_t* luma() const override { return nullptr; }
    std::size_t lumaStride() const override { return 1920; }
    const std::uint8_t* chroma() const override { return nullptr; }
    std::size_t chromaStride() const override { return 1920; }
};

// Stands where PipeWire stands: records consume requests and sent frames.
class FakeBackend final : public StreamBackend {
  public:
    std::vector<ConsumeHandler> consumes;
    std::vector<std::pair<const Picture*, std::uint64_t>> sent;
    std::vector<std::uint64_t> notified;
    void consumeSampleBuffer(const Client&, ConsumeHandler handler) override {
        consumes.push_back(std::move(handler));
    }
    void notifyScheduledOutputChanged(std::uint64_t sequence, std::uint64_t) override {
        notified.push_back(sequence);
    }
    void sendSampleBuffer(const SampleBuffer& buffer, std::uint64_t hostTimeNs) override {
        EXPECT_EQ(buffer.duration, (MediaTime{1, 30}));
        EXPECT_EQ(buffer.presentationNs, hostTimeNs);
        sent.push_back({buffer.image.get(), hostTimeNs});
    }
};

class Pump : public ::testing::Test {
  protected:
    void SetUp() override {
        ProgramDeviceSource::Environment env;
        env.host = &host;
        env.makeQueue = [this](const std::string& label) {
            label_ = label;
            return queue;
        };
        env.renderSlate = [this](const std::string& title, const std::string& subtitle) {
            slateTitle = title + "|" + subtitle;
            return slate;
        };
        provider = std::make_unique<ProgramProviderSource>(env);
        device = provider->deviceSource;
        device->sourceStream->stream->attach(source);
        device->sinkStream->stream->attach(sink);
    }
    void run() { queue->runAll(); }
    void startSource() {
        device->sourceStream->startStream();
        run();
    }
    void startSink() {
        device->sinkStream->authorizedToStartStream(Client{7});
        device->sinkStream->startStream();
        run();
    }
    // The sink answers the oldest outstanding request.
    void answer(PictureRef picture, bool hasMore = false, std::uint64_t sequence = 1) {
        ASSERT_FALSE(sink->consumes.empty());
        auto handler = std::move(sink->consumes.front());
        sink->consumes.erase(sink->consumes.begin());
        std::optional<SampleBuffer> buffer;
        if (picture) buffer = SampleBuffer{picture, MediaTime{1, 30}, 0};
        handler(std::move(buffer), sequence, hasMore);
        run();
    }

    FakeHost host;
    std::shared_ptr<vsc::test::ManualSerialQueue> queue =
        std::make_shared<vsc::test::ManualSerialQueue>();
    PictureRef slate = std::make_shared<Frame>();
    std::string slateTitle, label_;
    std::shared_ptr<FakeBackend> source = std::make_shared<FakeBackend>();
    std::shared_ptr<FakeBackend> sink = std::make_shared<FakeBackend>();
    std::unique_ptr<ProgramProviderSource> provider;
    std::shared_ptr<ProgramDeviceSource> device;
};

TEST(CameraIdentity, PropertiesAnswerExactlyWhatIsAsked) {
    ProgramDeviceSource::Environment env;
    FakeHost host;
    env.host = &host;
    env.makeQueue = [](const std::string&) {
        return std::make_shared<vsc::test::ManualSerialQueue>();
    };
    ProgramProviderSource provider(env);
    auto& device = *provider.deviceSource;

    EXPECT_EQ(provider.availableProperties(), PropertySet{Property::ProviderManufacturer});
    EXPECT_EQ(provider.providerProperties(provider.availableProperties()).manufacturer,
              "Vendaroscope");
    EXPECT_EQ(provider.providerProperties({}), ProviderProperties{});

    EXPECT_EQ(device.availableProperties(),
              (PropertySet{Property::DeviceTransportType, Property::DeviceModel}));
    auto onlyTransport = device.deviceProperties({Property::DeviceTransportType});
    EXPECT_EQ(onlyTransport.transportType, 0x76697274u);
    EXPECT_FALSE(onlyTransport.model);
    EXPECT_EQ(device.deviceProperties({Property::DeviceModel}).model,
              "Vendaroscope Virtual Webcam");

    auto& source = *device.sourceStream;
    auto& sink = *device.sinkStream;
    EXPECT_EQ(source.availableProperties(),
              (PropertySet{Property::StreamActiveFormatIndex, Property::StreamFrameDuration}));
    EXPECT_EQ(sink.availableProperties().size(), 6u);
    StreamProperties queueSizeOnly;
    queueSizeOnly.sinkBufferQueueSize = 4;
    EXPECT_EQ(sink.streamProperties({Property::StreamSinkBufferQueueSize}), queueSizeOnly);
    EXPECT_EQ(source.streamProperties({Property::StreamSinkBufferQueueSize}), StreamProperties{});
    EXPECT_EQ(sink.streamProperties({}), StreamProperties{});
    auto all = sink.streamProperties(sink.availableProperties());
    EXPECT_EQ(all.activeFormatIndex, 0);
    EXPECT_EQ(all.frameDuration, (MediaTime{1, 30}));
    EXPECT_EQ(all.sinkBuffersRequiredForStartUp, 1);
    EXPECT_FALSE(all.sinkBufferUnderrunCount);  // advertised, never given a value
    EXPECT_FALSE(all.sinkEndOfData);

    auto formats = source.formats();
    ASSERT_EQ(formats.size(), 1u);
    EXPECT_EQ(formats[0].description, (VideoFormatDescription{0x34323076u, 1920, 1080}));
    EXPECT_EQ(formats[0].minFrameDuration, (MediaTime{1, 30}));
    EXPECT_EQ(formats[0].maxFrameDuration, (MediaTime{1, 30}));
    EXPECT_FALSE(formats[0].validFrameDurations);
    EXPECT_EQ(source.format, sink.format);  // one format object for both

    EXPECT_EQ(device.device->localizedName, "Vendaroscope Program");
    EXPECT_EQ(device.device->legacyDeviceId, "6C3E4F7A-2B1D-4E8A-9C5F-0D7A1B2C3E4F");
    EXPECT_EQ(source.stream->localizedName, "Vendaroscope Program.Video");
    EXPECT_EQ(source.stream->streamId, "7D4F5A8B-3C2E-4F9B-8D6A-1E8B2C3D4F5A");
    EXPECT_EQ(sink.stream->localizedName, "VSC Program.Sink");
    EXPECT_EQ(sink.stream->streamId, "8E5A6B9C-4D3F-4A0C-9E7B-2F9C3D4E5A6B");
    EXPECT_EQ(device.device->streams(),
              (std::vector<Stream*>{source.stream.get(), sink.stream.get()}));
    EXPECT_EQ(provider.provider->devices(), std::vector<Device*>{device.device.get()});
}

TEST(CameraIdentity, IdentifiersReadInAnyCaseAndPrintInUpperCase) {
    auto parsed = parseUuid("6c3e4f7a-2b1d-4e8a-9c5f-0d7a1b2c3e4f");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->text(), "6C3E4F7A-2B1D-4E8A-9C5F-0D7A1B2C3E4F");
    EXPECT_FALSE(parseUuid("6C3E4F7A-2B1D-4E8A-9C5F-0D7A1B2C3E4"));
    EXPECT_FALSE(parseUuid("6C3E4F7A+2B1D-4E8A-9C5F-0D7A1B2C3E4F"));
    EXPECT_FALSE(parseUuid("6C3E4F7A-2B1D-4E8A-9C5F-0D7A1B2C3E4G"));
}

TEST_F(Pump, TheSlateIsDrawnOnceAndSentFromTheFirstTickWithoutASink) {
    EXPECT_EQ(label_, "vsc.virtualcam.frames");
    EXPECT_EQ(slateTitle, "Vendaroscope Program|Waiting for program…");
    startSource();
    ASSERT_TRUE(device->timerRunning());
    device->tick();
    device->tick();
    ASSERT_EQ(source->sent.size(), 2u);
    EXPECT_EQ(source->sent[0].first, slate.get());
    EXPECT_TRUE(sink->consumes.empty());  // no sink, nothing asked
}

TEST_F(Pump, ASinkPictureIsRepeatedForJustUnderTwoSecondsThenTheSlate) {
    startSource();
    startSink();
    device->tick();
    auto frame = std::make_shared<Frame>();
    answer(frame, false, 42);
    EXPECT_EQ(sink->notified, std::vector<std::uint64_t>{42});
    const std::uint64_t arrived = host.now;
    host.now = arrived + 1'999'999'999ull;
    device->tick();
    EXPECT_EQ(source->sent.back().first, frame.get());
    EXPECT_EQ(source->sent.back().second, host.now);  // stamped when sent
    answer(nullptr);                                  // nothing new: the old picture keeps ageing
    host.now = arrived + 2'000'000'000ull;
    device->tick();
    EXPECT_EQ(source->sent.back().first, slate.get());
}

TEST_F(Pump, StoppingTheSinkShowsTheSlateAtTheNextTick) {
    startSource();
    startSink();
    device->tick();
    answer(std::make_shared<Frame>());
    host.now += 10'000'000;  // 10 ms later
    device->sinkStream->stopStream();
    run();
    EXPECT_FALSE(device->sinkClient());
    EXPECT_FALSE(device->lastFrame());
    device->tick();
    EXPECT_EQ(source->sent.back().first, slate.get());
}

TEST_F(Pump, HasMoreDrainsAtOnceOnlyWhileTheSinkRuns) {
    startSink();
    device->tick();  // the sink is drained although nobody watches
    ASSERT_EQ(sink->consumes.size(), 1u);
    EXPECT_TRUE(source->sent.empty());
    device->tick();  // one request outstanding at most
    EXPECT_EQ(sink->consumes.size(), 1u);
    auto older = std::make_shared<Frame>();
    auto newer = std::make_shared<Frame>();
    answer(older, true);
    ASSERT_EQ(sink->consumes.size(), 1u);  // asked again without waiting for a tick
    answer(newer, false);
    EXPECT_TRUE(sink->consumes.empty());
    EXPECT_EQ(device->lastFrame().get(), newer.get());

    device->tick();
    device->sinkStream->stopStream();
    run();
    answer(std::make_shared<Frame>(), true);
    EXPECT_TRUE(sink->consumes.empty());  // stopped: no further request
    EXPECT_FALSE(device->consumePending());
}

TEST_F(Pump, OneTimerServesBothStreamsAndStopsOnce) {
    startSource();
    startSink();
    device->sourceStream->startStream();
    run();
    EXPECT_EQ(host.timersMade, 1);
    EXPECT_EQ(std::count(host.logs.begin(), host.logs.end(),
                         "frame timer started (source=true, sink=false)"),
              1);
    EXPECT_EQ(host.logs.size(), 1u);
    device->sourceStream->stopStream();  // started twice, stopped once: stopped
    run();
    EXPECT_FALSE(device->sourceRunning());
    EXPECT_TRUE(device->timerRunning());  // the sink still runs
    device->sinkStream->stopStream();
    run();
    EXPECT_FALSE(device->timerRunning());
    EXPECT_EQ(host.cancels, 1);
    device->sinkStream->stopStream();
    run();
    EXPECT_EQ(host.cancels, 1);
    EXPECT_EQ(std::count(host.logs.begin(), host.logs.end(), "frame timer stopped"), 1);
}

// The process ends while the application feeds the camera and a video
// application reads it: after the shutdown has run on the queue nothing
// reaches the streams any more, so they can be taken away.
TEST_F(Pump, AfterTheShutdownNothingReachesTheStreams) {
    startSource();
    startSink();
    device->tick();
    ASSERT_EQ(sink->consumes.size(), 1u);
    std::size_t sent = source->sent.size();
    device->shutdown();
    run();
    EXPECT_FALSE(device->timerRunning());
    EXPECT_EQ(host.cancels, 1);
    EXPECT_EQ(host.logs.back(), "frame timer stopped");
    // The sink's late answer is dropped: no picture kept, no new request.
    sink->consumes.front()(SampleBuffer{std::make_shared<Frame>(), MediaTime{1, 30}, 0}, 1, true);
    run();
    EXPECT_FALSE(device->lastFrame());
    device->sinkStream->startStream();  // a link made while ending starts nothing
    run();
    device->tick();  // a tick already on its way
    EXPECT_EQ(sink->consumes.size(), 1u);
    EXPECT_EQ(source->sent.size(), sent);
    EXPECT_EQ(host.timersMade, 1);
}

TEST_F(Pump, ASinkStartedWithoutAuthorisationIsNeverRead) {
    startSource();
    device->sinkStream->startStream();
    run();
    device->tick();
    EXPECT_TRUE(sink->consumes.empty());
    EXPECT_EQ(source->sent.back().first, slate.get());
}

TEST_F(Pump, AnswersArrivingAfterTheDeviceIsGoneDoNothing) {
    startSink();
    device->tick();
    ASSERT_EQ(sink->consumes.size(), 1u);
    auto handler = std::move(sink->consumes.front());
    std::weak_ptr<ProgramDeviceSource> weak = device;
    device.reset();
    provider.reset();
    EXPECT_TRUE(weak.expired());
    handler(SampleBuffer{std::make_shared<Frame>(), MediaTime{1, 30}, 0}, 1, true);
    queue->runAll();
}

}  // namespace
