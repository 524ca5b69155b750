#include "app/audio/audio_ring.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>
#include <vector>

using vsc::AudioRing;

namespace {

constexpr float kLimit = AudioRing::limitThreshold;
// Limited samples may round one float step above the threshold; that is still
// well under -1 dBFS (0.89125).
const float kCeiling = std::nextafter(kLimit, 1.0f);

// Frame k of ramp(first, n) is +(first + k) / 2^20 left, minus that right:
// exact in float, far below the limiter, and never 0, so it tells frames apart.
float rampValue(std::int64_t index) {
    return static_cast<float>(index) / (1 << 20);
}
double decay(int frames) {
    return std::pow(static_cast<double>(AudioRing::releaseCoef), frames);
}
std::vector<float> ramp(std::int64_t first, std::int64_t frames) {
    std::vector<float> samples;
    for (std::int64_t k = 0; k < frames; ++k)
        samples.insert(samples.end(), {rampValue(first + k), -rampValue(first + k)});
    return samples;
}

void write(AudioRing& ring, const std::vector<float>& samples) {
    std::lock_guard<vsc::UnfairLock> hold(ring.lock);
    ring.write(samples.data(), static_cast<std::int64_t>(samples.size()) / ring.channels);
}

std::vector<std::vector<float>> render(AudioRing& ring, std::uint32_t frames, int buffers = 2) {
    std::vector<std::vector<float>> out(buffers, std::vector<float>(frames, 123.0f));
    std::vector<float*> pointers;
    for (auto& b : out) pointers.push_back(b.data());
    std::lock_guard<vsc::UnfairLock> hold(ring.lock);
    ring.render(frames, pointers);
    return out;
}

float takePeak(AudioRing& ring) {
    std::lock_guard<vsc::UnfairLock> hold(ring.lock);
    return ring.takePeak();
}

bool silent(const std::vector<float>& samples, std::size_t from = 0) {
    return std::all_of(samples.begin() + from, samples.end(), [](float s) { return s == 0.0f; });
}
float loudest(const std::vector<std::vector<float>>& buffers) {
    float peak = 0;
    for (auto& buffer : buffers)
        for (float s : buffer) peak = std::max(peak, std::fabs(s));
    return peak;
}

struct AudioRingTest : ::testing::Test {
    AudioRing ring{192000, 2};
    void SetUp() override { ring.setDelayMs(0); }
};

}  // namespace

TEST_F(AudioRingTest, PrimesAtExactlyTargetFramesAndPlaysFromTheFirstFrame) {
    EXPECT_TRUE(silent(render(ring, 480)[0]));  // before any write
    write(ring, ramp(1, 4799));
    EXPECT_TRUE(silent(render(ring, 480)[1]));
    EXPECT_FALSE(ring.primed);
    EXPECT_EQ(ring.fill, 4799);
    write(ring, ramp(4800, 1));
    auto playing = render(ring, 480);
    EXPECT_TRUE(ring.primed);
    EXPECT_EQ(playing[0][0], rampValue(1));
    EXPECT_EQ(playing[1][479], -rampValue(480));
    EXPECT_EQ(ring.fill, 4800 - 480);
}

TEST_F(AudioRingTest, RunningDryMidCallGivesSilenceUntilAFullBacklogIsBack) {
    write(ring, ramp(1, 4800));
    render(ring, 4797);
    ASSERT_TRUE(ring.primed);
    ASSERT_EQ(ring.fill, 3);
    auto out = render(ring, 8);
    EXPECT_EQ(out[0][0], rampValue(4798));
    EXPECT_EQ(out[0][2], rampValue(4800));
    EXPECT_TRUE(silent(out[0], 3) && silent(out[1], 3));
    EXPECT_FALSE(ring.primed);
    EXPECT_EQ(ring.fill, 0);
    EXPECT_EQ(ring.underruns, 1);
    write(ring, ramp(1, 4799));  // one short of the target: still waiting
    EXPECT_TRUE(silent(render(ring, 16)[0]));
    EXPECT_EQ(ring.underruns, 1);  // waiting for the backlog is no new gap
    write(ring, ramp(4800, 1));
    EXPECT_EQ(render(ring, 16)[0][0], rampValue(1));
}

TEST(AudioRingWrite, FullRingDropsItsOldestFramesAndWrapsAround) {
    AudioRing small(16, 2);
    small.targetFrames = 4;  // a ring this small is never trimmed
    write(small, ramp(1, 10));
    EXPECT_EQ(render(small, 6)[0][5], rampValue(6));
    write(small, ramp(11, 20));  // wraps, then drops 8 of the oldest
    EXPECT_EQ(small.fill, 16);
    EXPECT_EQ(small.readIndex, 14);
    auto out = render(small, 16);
    for (int k = 0; k < 16; ++k) ASSERT_EQ(out[1][k], -rampValue(15 + k)) << k;
}

TEST_F(AudioRingTest, TwoHundredThousandFramesKeepTheNewestTargetFrames) {
    write(ring, ramp(1, 200000));
    EXPECT_EQ(ring.fill, 4800);
    EXPECT_EQ(ring.readIndex, (8000 + 192000 - 4800) % 192000);
    auto out = render(ring, 4800);
    EXPECT_EQ(out[0][0], rampValue(200000 - 4800 + 1));
    EXPECT_EQ(out[1][4799], -rampValue(200000));
}

TEST_F(AudioRingTest, BacklogIsTrimmedOnlyAboveTargetPlus7200) {
    write(ring, ramp(1, 12000));
    EXPECT_EQ(ring.fill, 12000);
    EXPECT_EQ(ring.readIndex, 0);
    write(ring, ramp(12001, 1));  // 12 001: cut back to the newest 4 800
    EXPECT_EQ(ring.fill, 4800);
    EXPECT_EQ(ring.readIndex, 7201);
    EXPECT_EQ(ring.trimmedFrames, 7201);
    EXPECT_EQ(render(ring, 1)[0][0], rampValue(7202));

    // A lowered target takes effect at the next write, even an empty one.
    AudioRing later(192000, 2);
    later.setDelayMs(250);
    write(later, ramp(1, 12000 + 7200));
    EXPECT_EQ(later.fill, 19200);
    later.setDelayMs(40);
    write(later, {});
    EXPECT_EQ(later.fill, 4800);
    EXPECT_EQ(render(later, 1)[0][0], rampValue(19200 - 4800 + 1));
}

TEST_F(AudioRingTest, FullScaleInputIsLimitedTo0891EvenWithGain) {
    write(ring, std::vector<float>(2 * 4800, 1.0f));
    auto out = render(ring, 1000);
    EXPECT_EQ(ring.envelope, 1.0f);
    for (int f = 0; f < 1000; ++f) ASSERT_EQ(out[0][f], kLimit) << f;

    ring.reset();
    ring.setGainDb(24);
    std::vector<float> tone(2 * 4800);
    for (std::size_t i = 0; i < tone.size(); ++i) tone[i] = std::sin(0.37f * i);
    write(ring, tone);
    const float peak = loudest(render(ring, 4800));
    EXPECT_LE(peak, kCeiling);
    EXPECT_GT(peak, 0.89f);
}

TEST_F(AudioRingTest, EnvelopeReleasesByTheCoefficientPerFrame) {
    std::vector<float> input = {1.0f, 1.0f};
    input.resize(2 * 4800, 0.5f);
    write(ring, input);
    auto out = render(ring, 2000);
    for (int n = 1; n < 2000; ++n) {
        if (n < 820) {
            ASSERT_NEAR(out[0][n], 0.5 * kLimit / decay(n), 1e-4) << n;
        } else if (n > 840) {
            ASSERT_EQ(out[0][n], 0.5f) << n;
        }
    }
    EXPECT_NEAR(ring.envelope, decay(1999), 1e-4);
    // Silence keeps decaying it, also while waiting for a backlog.
    ring.reset();
    ring.envelope = 1.0f;
    EXPECT_TRUE(silent(render(ring, 480)[1]));
    EXPECT_NEAR(ring.envelope, decay(480), 1e-5);
}

TEST_F(AudioRingTest, ExtraOutputBuffersRepeatTheLastChannel) {
    write(ring, ramp(1, 4800));
    auto out = render(ring, 3, 3);
    EXPECT_EQ(out[1][1], -rampValue(2));
    EXPECT_EQ(out[2], out[1]);
}

TEST_F(AudioRingTest, GainAndDelaySettings) {
    EXPECT_EQ(ring.gain, 1.0f);
    ring.setGainDb(6);
    EXPECT_NEAR(ring.gain, 1.9953f, 1e-4);
    write(ring, std::vector<float>(2 * 4800, 0.25f));
    EXPECT_FLOAT_EQ(render(ring, 1)[0][0], 0.25 * std::pow(10.0, 6 / 20.0));
    ring.setGainDb(-24);
    EXPECT_NEAR(ring.gain, 0.0631f, 1e-4);
    EXPECT_FLOAT_EQ(render(ring, 1)[1][0], 0.25 * std::pow(10.0, -24 / 20.0));
    ring.setGainDb(0);
    EXPECT_EQ(ring.gain, 1.0f);

    const std::pair<int, std::int64_t> delays[] = {{0, 4800},   {40, 4800},   {100, 4800},
                                                   {101, 4848}, {250, 12000}, {1000, 48000}};
    for (auto [ms, frames] : delays) {
        ring.setDelayMs(ms);
        EXPECT_EQ(ring.targetFrames, frames) << ms;
    }
}

TEST_F(AudioRingTest, PeakIsTheLargestOutputSampleUntilTaken) {
    std::vector<float> input = {0.25f, -0.375f, 0.125f, 0.0f, 1.0f, 0.0f};
    input.resize(2 * 4800, 0.0f);
    write(ring, input);
    ring.setGainDb(6);
    render(ring, 2);
    EXPECT_FLOAT_EQ(takePeak(ring), 0.375f * ring.gain);  // after the gain
    EXPECT_EQ(takePeak(ring), 0.0f);
    render(ring, 1);
    const float limited = takePeak(ring);  // after the limiter, not the input's 2.0
    EXPECT_GE(limited, kLimit);
    EXPECT_LE(limited, kCeiling);
}

TEST_F(AudioRingTest, ResetEmptiesTheRingButKeepsSettingsAndSamples) {
    ring.setDelayMs(250);
    write(ring, std::vector<float>(2 * 12000, 0.75f));
    render(ring, 10);
    const float envelope = ring.envelope, peak = ring.peakValue;
    std::lock_guard<vsc::UnfairLock> hold(ring.lock);
    ring.reset();
    EXPECT_EQ(ring.fill, 0);
    EXPECT_EQ(ring.readIndex, 0);
    EXPECT_FALSE(ring.primed);
    EXPECT_EQ(ring.targetFrames, 12000);
    EXPECT_EQ(ring.envelope, envelope);
    EXPECT_EQ(ring.peakValue, peak);
    EXPECT_EQ(ring.data[2 * 11999 + 1], 0.75f);
}

TEST(AudioRingDeathTest, ProgrammingErrorsAbort) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // sanitizers run threads of their own
    AudioRing ring(16, 2);
    float sample = 0;
    EXPECT_DEATH(ring.write(&sample, -1), "");
    EXPECT_DEATH(ring.render(0, std::vector<float*>{&sample, nullptr}), "");  // even for 0 frames
    EXPECT_DEATH(AudioRing(-4, 2), "");
    EXPECT_DEATH(AudioRing(std::int64_t{1} << 62, 4), "");
}

TEST(AudioRingWrite, RingsWithoutSlotsOrChannelsStaySilent) {
    AudioRing empty(0, 2), mute(8, 0);
    const float frame[2] = {0.5f, 0.5f};
    for (AudioRing* ring : {&empty, &mute}) {
        ring->write(frame, 1);  // mute reads no samples from it
        EXPECT_TRUE(silent(render(*ring, 8)[1]));
        EXPECT_EQ(ring->fill, 0);
    }
}

TEST(AudioRingConcurrency, WriterReaderAndMeterRunAtOnce) {
    AudioRing ring(192000, 2);
    ring.setDelayMs(0);
    std::atomic<bool> stop{false};
    std::atomic<long> blocks{0};
    float played = 0, meter = 0;
    auto paced = [] { std::this_thread::sleep_for(std::chrono::milliseconds(2)); };
    std::thread writer([&] {  // 10 ms blocks of a loud tone
        std::vector<float> block(960);
        for (std::size_t n = 0; !stop; ++n, paced()) {
            for (std::size_t i = 0; i < 960; ++i) block[i] = std::sin(0.01f * (n * 960 + i));
            write(ring, block);
        }
    });
    std::thread reader([&] {
        for (; !stop; ++blocks, paced()) played = std::max(played, loudest(render(ring, 480)));
    });
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    for (int tick = 0; std::chrono::steady_clock::now() < end; ++tick, paced()) {
        ring.setGainDb(tick % 2 ? 24 : 18);  // the main thread's settings and meter
        meter = std::max(meter, takePeak(ring));
    }
    stop = true;
    writer.join();
    reader.join();
    EXPECT_GT(blocks.load(), 10);
    EXPECT_GT(played, 0.5f);  // it really played
    EXPECT_LE(played, kCeiling);
    EXPECT_LE(meter, kCeiling);
}
