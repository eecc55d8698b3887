// The speexdsp echo canceller that stands in for the capture effects: a microphone that hears the
// speaker (a delayed, quieter copy of the far-end signal) is cleaned of most of that echo.
#include "EchoCanceller.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

double energy(const std::vector<int16_t>& s, std::size_t from, std::size_t to)
{
    double e = 0;
    for (std::size_t i = from; i < to; ++i)
        e += static_cast<double>(s[i]) * s[i];
    return e;
}

TEST(EchoCanceller, RemovesMostOfADelayedEchoOfWhatWasPlayed)
{
    constexpr int kRate = 8000;
    constexpr std::size_t kSeconds = 8;
    constexpr std::size_t kDelay = 240; // 30 ms from speaker to microphone
    platform::EchoCanceller canceller(kRate, 160, 2048);
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0, 3000);
    std::vector<int16_t> far(kRate * kSeconds), mic(far.size()), out(far.size());
    for (auto& s : far)
        s = static_cast<int16_t>(std::clamp(noise(random), -32000.0, 32000.0));
    for (std::size_t i = kDelay; i < mic.size(); ++i)
        mic[i] = static_cast<int16_t>(far[i - kDelay] / 2);
    for (std::size_t i = 0; i < far.size(); i += 160) {
        canceller.playback(&far[i], 160);
        canceller.capture(&mic[i], &out[i], 160);
    }
    const std::size_t lastSecond = far.size() - kRate;
    EXPECT_LT(energy(out, lastSecond, far.size()), 0.1 * energy(mic, lastSecond, far.size()));
}

} // namespace
