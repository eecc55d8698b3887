// The listening and talk roads on the null and file sound devices: what the player pulls from the
// frame queue, what reaches the speaker file, and how captured PCM becomes talk frames.
#include "ALawDecoder.h"
#include "ALawEncode.h"
#include "AudioCapture.h"
#include "AudioDevice.h"
#include "AudioPlayer.h"
#include "DSoundPlay.h"
#include "DevAudioIO.h"
#include "../record/MediaFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <ostream>
#include <vector>

using namespace mediatest;

namespace {

std::vector<char> alawFrame(int seed, std::size_t length = 320)
{
    std::vector<char> frame(length);
    for (std::size_t i = 0; i < length; ++i)
        frame[i] = static_cast<char>(ALawEncode::EncodeSample(static_cast<short>((static_cast<int>(i) * 53 + seed * 911) % 6000 - 3000)));
    return frame;
}

std::vector<short> loud(const std::vector<char>& frame)
{
    std::vector<short> pcm(frame.size());
    ALawDecoder::DecodeBytes(reinterpret_cast<const unsigned char*>(frame.data()), static_cast<int>(frame.size()), pcm.data(), true);
    return pcm;
}

class NullDevices : public ::testing::Test {
protected:
    void SetUp() override { platform::setAudioDevices({platform::AudioDeviceSettings::Kind::Null, "", ""}); }
    void TearDown() override { platform::setAudioDevices({}); }
};

TEST(DSoundPlay, BlocksAndNotificationsCoverTheRing)
{
    EXPECT_EQ(DSoundPlay::kBlockBytes, 2000);
    EXPECT_EQ(DSoundPlay::kBufferBytes, 32000);
    const auto positions = DSoundPlay::NotificationPositions();
    EXPECT_EQ(positions.front(), 1999);
    EXPECT_EQ(positions.back(), 31999);
}

struct PullCase {
    const char* name;
    int queued;
    int decodedBytes; // of the first pull
    int carriedBytes; // decoded bytes left for the next pull
};

void PrintTo(const PullCase& c, std::ostream* os) { *os << c.name; }

class AudioPlayerPull : public ::testing::TestWithParam<PullCase> {
protected:
    void SetUp() override { platform::setAudioDevices({platform::AudioDeviceSettings::Kind::Null, "", ""}); }
    void TearDown() override { platform::setAudioDevices({}); }
};

TEST_P(AudioPlayerPull, DecodesQueuedFramesThenSilence)
{
    FrameBufferPool pool;
    AudioPlayer player;
    player.Start(&pool, 0);
    player.Stop(); // the pulls below come from the test, not the sound thread
    std::vector<short> expected;
    for (int i = 0; i < GetParam().queued; ++i) {
        const auto frame = alawFrame(i);
        pool.Push(frame.data(), 320, 20, 0, 0);
        const auto pcm = loud(frame);
        expected.insert(expected.end(), pcm.begin(), pcm.end());
    }
    expected.resize(2000, 0); // the second pull continues from here
    std::vector<short> first(1000, 7), second(1000, 7);
    player.OnPull(reinterpret_cast<unsigned char*>(first.data()), 2000);
    const std::size_t decoded = static_cast<std::size_t>(GetParam().decodedBytes / 2);
    EXPECT_TRUE(std::equal(first.begin(), first.begin() + static_cast<long>(decoded), expected.begin()));
    EXPECT_TRUE(std::all_of(first.begin() + static_cast<long>(decoded), first.end(), [](short s) { return s == 0; }));
    EXPECT_EQ(pool.Size(), 0u);

    player.OnPull(reinterpret_cast<unsigned char*>(second.data()), 2000);
    const std::size_t carried = static_cast<std::size_t>(GetParam().carriedBytes / 2);
    EXPECT_TRUE(std::equal(second.begin(), second.begin() + static_cast<long>(carried), expected.begin() + 1000));
    EXPECT_TRUE(std::all_of(second.begin() + static_cast<long>(carried), second.end(), [](short s) { return s == 0; }));
}

INSTANTIATE_TEST_SUITE_P(Queues, AudioPlayerPull,
                         ::testing::Values(PullCase{"Empty", 0, 0, 0}, PullCase{"ThreeFrames", 3, 1920, 0},
                                           PullCase{"FourFrames", 4, 2000, 560}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(NullDevices, RestartingListeningFlushesFramesQueuedMeanwhile)
{
    FrameBufferPool pool;
    DevAudioIO io;
    io.StartListen(0, &pool);
    EXPECT_TRUE(io.Listening());
    io.StopListen();
    EXPECT_FALSE(io.Listening());
    const auto frame = alawFrame(1);
    pool.Push(frame.data(), 320, 20, 0, 0);
    pool.Push(frame.data(), 320, 20, 0, 0);
    io.StartListen(0, &pool);
    EXPECT_EQ(pool.Size(), 0u);
    io.Release();
    EXPECT_FALSE(io.Listening());
}

TEST(AudioDevices, ListeningReachesTheSpeakerFileInOrder)
{
    TempDir dir;
    const std::string speaker = dir.file("speaker.pcm");
    platform::setAudioDevices({platform::AudioDeviceSettings::Kind::File, speaker, ""});
    FrameBufferPool pool;
    std::vector<short> expected;
    {
        DevAudioIO io;
        io.StartListen(0, &pool);
        for (int i = 0; i < 10; ++i) {
            const auto frame = alawFrame(i);
            pool.Push(frame.data(), 320, 20, 0, 0);
            const auto pcm = loud(frame);
            expected.insert(expected.end(), pcm.begin(), pcm.end());
        }
        ASSERT_TRUE(waitUntil([&] { return readFile(speaker).size() >= 2 * expected.size() + 4000; }));
        io.Release();
    }
    platform::setAudioDevices({});
    const auto bytes = readFile(speaker);
    std::vector<short> played(bytes.size() / 2);
    std::memcpy(played.data(), bytes.data(), played.size() * 2);
    // Silence fills the pulls that found the queue empty (before, between and after the frames
    // as they arrived); A-law never decodes to 0, so without it the frames follow in order.
    played.erase(std::remove(played.begin(), played.end(), short{0}), played.end());
    EXPECT_EQ(played, expected);
}

struct CaptureCase {
    const char* name;
    std::vector<unsigned> deliveries; // bytes per capture callback
    std::vector<int> framesAfter;     // talk frames sent after each
};

void PrintTo(const CaptureCase& c, std::ostream* os) { *os << c.name; }

class AudioCaptureBlocks : public ::testing::TestWithParam<CaptureCase> {};

TEST_P(AudioCaptureBlocks, EveryFull640BytesBecomeOneFrame)
{
    AudioCapture capture;
    std::vector<std::vector<char>> frames;
    // Start with a sink and stop at once: the callbacks below are driven by the test.
    platform::setAudioDevices({platform::AudioDeviceSettings::Kind::Null, "", ""});
    capture.Start([&](std::vector<char> frame) { frames.push_back(std::move(frame)); }, 0);
    capture.Stop();
    platform::setAudioDevices({});
    frames.clear();
    std::vector<short> pcm;
    for (std::size_t i = 0; i < GetParam().deliveries.size(); ++i) {
        std::vector<short> block(GetParam().deliveries[i] / 2);
        for (auto& s : block)
            s = static_cast<short>((pcm.size() * 7) % 5000 - 2500), pcm.push_back(s);
        capture.OnCapture(reinterpret_cast<unsigned char*>(block.data()), GetParam().deliveries[i]);
        EXPECT_EQ(static_cast<int>(frames.size()), GetParam().framesAfter[i]) << "after delivery " << i;
    }
    for (std::size_t f = 0; f < frames.size(); ++f) {
        ASSERT_EQ(frames[f].size(), 320u);
        for (std::size_t i = 0; i < 320; ++i)
            ASSERT_EQ(static_cast<unsigned char>(frames[f][i]), ALawEncode::EncodeSample(pcm[f * 320 + i]));
    }
}

INSTANTIATE_TEST_SUITE_P(Deliveries, AudioCaptureBlocks,
                         ::testing::Values(CaptureCase{"Blocks2000", {2000, 2000, 2000, 2000}, {3, 6, 9, 12}},
                                           CaptureCase{"Small", {100, 500, 40, 640, 2}, {0, 0, 1, 2, 2}},
                                           CaptureCase{"Exact", {640, 1280}, {1, 3}}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(AudioDevices, CapturedFileSamplesBecomeTalkFramesInWholeBlocks)
{
    TempDir dir;
    const std::string microphone = dir.file("microphone.pcm");
    std::vector<short> pcm(4000);
    for (std::size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<short>((i * 13) % 3000 - 1500);
    writeFile(microphone, std::vector<char>(reinterpret_cast<char*>(pcm.data()), reinterpret_cast<char*>(pcm.data()) + pcm.size() * 2));
    platform::setAudioDevices({platform::AudioDeviceSettings::Kind::File, "", microphone});

    std::mutex mutex;
    std::vector<std::vector<char>> frames;
    DevAudioIO io;
    io.StartTalk(0, [&](std::vector<char> frame) {
        std::lock_guard lock(mutex);
        frames.push_back(std::move(frame));
    });
    EXPECT_TRUE(io.Talking());
    // 4000 samples of the file make 12 whole frames (3840 samples); silence follows.
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard lock(mutex);
        return frames.size() >= 13;
    }));
    io.StopTalk();
    EXPECT_FALSE(io.Talking());
    platform::setAudioDevices({});
    std::lock_guard lock(mutex);
    for (std::size_t f = 0; f < 12; ++f)
        for (std::size_t i = 0; i < 320; ++i)
            ASSERT_EQ(static_cast<unsigned char>(frames[f][i]), ALawEncode::EncodeSample(pcm[f * 320 + i])) << f;
    for (std::size_t i = 160; i < 320; ++i)
        EXPECT_EQ(static_cast<unsigned char>(frames[12][i]), 0x55) << "silence after the file";
}

} // namespace
