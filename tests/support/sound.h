#pragma once

// What a recording of the microphone sounds like: the studio's steady 1 kHz
// test tone, its level, and every click in it.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vsc::test {

// The left channel of a 32-bit float stereo WAV file.
inline std::vector<float> leftChannel(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    std::vector<float> left;
    std::size_t at = 12;
    while (at + 8 <= bytes.size()) {
        std::uint32_t size;
        std::memcpy(&size, bytes.data() + at + 4, 4);
        if (bytes.compare(at, 4, "data") == 0) {
            std::size_t end = std::min(bytes.size(), at + 8 + size);
            for (std::size_t i = at + 8; i + 8 <= end; i += 8) {
                float sample;
                std::memcpy(&sample, bytes.data() + i, 4);
                left.push_back(sample);
            }
            break;
        }
        at += 8 + size;
    }
    return left;
}

struct Sound {
    double frequency = 0;
    float peak = 0;
    // Where the tone jumps: a continuous 1 kHz tone repeats every 48 samples
    // at 48 kHz, so |s[n] - s[n-48]| above a tenth of the peak is a sample
    // lost, repeated or cut short. Counted once per burst, as positions.
    std::vector<std::size_t> clicks;
};

// Frequency from rising zero crossings over the loud part, the peak, and the
// clicks.
inline Sound measure(const std::vector<float>& samples) {
    Sound sound;
    std::size_t first = 0, last = 0, crossings = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        sound.peak = std::max(sound.peak, std::fabs(samples[i]));
        if (samples[i - 1] < 0 && samples[i] >= 0 && std::fabs(samples[i]) < 0.5f) {
            if (crossings == 0) first = i;
            last = i;
            ++crossings;
        }
    }
    if (crossings > 1)
        sound.frequency = (crossings - 1) * 48000.0 / static_cast<double>(last - first);
    const float limit = sound.peak / 10;
    for (std::size_t i = 48; i < samples.size(); ++i) {
        if (std::fabs(samples[i] - samples[i - 48]) <= limit) continue;
        if (sound.clicks.empty() || i - sound.clicks.back() > 48) sound.clicks.push_back(i);
    }
    return sound;
}

// The first few clicks, for a failure message.
inline std::string describeClicks(const Sound& sound) {
    std::string text = std::to_string(sound.clicks.size()) + " clicks, at samples";
    for (std::size_t i = 0; i < std::min<std::size_t>(sound.clicks.size(), 8); ++i)
        text += " " + std::to_string(sound.clicks[i]);
    return text;
}

}  // namespace vsc::test
