// Local playback of recordings made by the recorder from a real H.264 stream: every frame reaches
// the window's surface at the file's size, pause parks the play thread, a seek moves the audio
// with the video, and files that cannot be played are refused.
#include "ALawDecoder.h"
#include "ALawEncode.h"
#include "AudioDevice.h"
#include "AviFile.h"
#include "AviRecorder.h"
#include "MediaFixture.h"
#include "PlayLocalRecImple.h"
#include "../video/VideoTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using namespace mediatest;

namespace {

constexpr int kFrames = 30;
constexpr int kFps = 15;
constexpr int kAudioChunks = 50; // 2 seconds of 25 chunks

// Audio chunk j: every byte the same code, so each chunk decodes to its own constant sample.
unsigned char chunkCode(int j) { return ALawEncode::EncodeSample(static_cast<short>(100 + 60 * j)); }
short chunkSample(int j) { return ALawDecoder::DecodeLoudSample(chunkCode(j)); }

class LocalPlayback : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        const auto units = makeH264(s_dir.path(), 320, 240, kFps, kFrames, 10);
        s_path = s_dir.file("local.avi");
        AviRecorder recorder;
        ASSERT_EQ(recorder.Open(s_path, 320, 240, kFps), 0);
        int chunk = 0;
        for (int f = 0; f < kFrames; ++f) {
            recorder.WriteVideo(units[static_cast<std::size_t>(f)].data(), units[static_cast<std::size_t>(f)].size());
            // Audio chunks follow at 25 a second beside the 15 frames.
            for (; chunk < (f + 1) * kAudioChunks / kFrames; ++chunk) {
                const std::vector<char> audio(320, static_cast<char>(chunkCode(chunk)));
                recorder.WriteAudio(audio.data(), audio.size());
            }
        }
        ASSERT_EQ(recorder.Close(), 0);
    }

    void SetUp() override
    {
        m_speaker = m_dir.file("speaker.pcm");
        platform::setAudioDevices({platform::AudioDeviceSettings::Kind::File, m_speaker, ""});
    }
    void TearDown() override { platform::setAudioDevices({}); }

    std::vector<short> played()
    {
        const auto bytes = readFile(m_speaker);
        std::vector<short> samples(bytes.size() / 2);
        std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
        return samples;
    }
    bool heard(short sample)
    {
        const auto samples = played();
        return std::find(samples.begin(), samples.end(), sample) != samples.end();
    }

    static TempDir s_dir;
    static std::string s_path;
    TempDir m_dir;
    std::string m_speaker;
};
TempDir LocalPlayback::s_dir;
std::string LocalPlayback::s_path;

TEST_F(LocalPlayback, PlaysEveryFrameAtTheFileSizeToTheEnd)
{
    videotest::ScopedSurface window;
    PlayLocalRecImple player;
    ASSERT_EQ(player.OpenAVIFile(s_path, window.handle()), 0);
    EXPECT_EQ(player.FrameCount(), kFrames);
    ASSERT_TRUE(waitUntil([&] { return !player.Running(); }));
    EXPECT_EQ(player.Position(), kFrames);
    ASSERT_TRUE(window.surface().waitFor(kFrames - 1));
    EXPECT_EQ(window.surface().last().width, 320);
    EXPECT_EQ(window.surface().last().height, 240);
    // The audio of the whole file reached the speaker, the last chunk included.
    EXPECT_TRUE(waitUntil([&] { return heard(chunkSample(kAudioChunks - 1)); }));
    // Closing after the end changes nothing and reports 0; the next file plays again.
    EXPECT_EQ(player.CloseAVIFile(), 0);
    ASSERT_EQ(player.OpenAVIFile(s_path, window.handle()), 0);
    EXPECT_EQ(player.CloseAVIFile(), 0);
    EXPECT_EQ(player.Position(), 0);
    EXPECT_FALSE(player.Running());
}

TEST_F(LocalPlayback, PauseHoldsThePositionUntilResumed)
{
    videotest::ScopedSurface window;
    PlayLocalRecImple player;
    ASSERT_EQ(player.OpenAVIFile(s_path, window.handle()), 0);
    player.SetPaused(true);
    const uint64_t rounds = player.PausedRounds();
    // Two rounds of the paused wait: no frame is played between them.
    ASSERT_TRUE(waitUntil([&] { return player.PausedRounds() >= rounds + 2; }));
    const int position = player.Position();
    const std::size_t pictures = window.surface().count();
    const uint64_t parked = player.PausedRounds();
    ASSERT_TRUE(waitUntil([&] { return player.PausedRounds() >= parked + 2; }));
    EXPECT_EQ(player.Position(), position);
    EXPECT_EQ(window.surface().count(), pictures);
    EXPECT_TRUE(player.Running());

    player.SetPaused(false);
    ASSERT_TRUE(waitUntil([&] { return player.Position() > position; }));
    EXPECT_EQ(player.CloseAVIFile(), 0);
}

TEST_F(LocalPlayback, SeekMovesTheAudioWithTheVideo)
{
    videotest::ScopedSurface window;
    PlayLocalRecImple player;
    ASSERT_EQ(player.OpenAVIFile(s_path, window.handle()), 0);
    player.SetPaused(true);
    player.SetPosition(24); // audio of frame 24 starts at chunk 24 x 25 / 15 = 40
    player.SetPaused(false);
    ASSERT_TRUE(waitUntil([&] { return !player.Running(); }));
    EXPECT_EQ(player.Position(), kFrames);
    ASSERT_TRUE(waitUntil([&] { return heard(chunkSample(49)); }));
    EXPECT_TRUE(heard(chunkSample(40)));
    EXPECT_FALSE(heard(chunkSample(30))) << "the audio between the old and the new position is skipped";
}

TEST_F(LocalPlayback, SeekPastTheEndEndsThePlaying)
{
    videotest::ScopedSurface window;
    PlayLocalRecImple player;
    ASSERT_EQ(player.OpenAVIFile(s_path, window.handle()), 0);
    player.SetPosition(kFrames + 5);
    ASSERT_TRUE(waitUntil([&] { return !player.Running(); }));
    EXPECT_EQ(player.CloseAVIFile(), 0);
}

// A player freed in the middle of a file stops and joins its thread first: nothing of it is
// touched afterwards (the address sanitizer watches the freed memory).
TEST_F(LocalPlayback, PlayerFreedWhilePlayingJoinsItsThread)
{
    videotest::ScopedSurface window;
    {
        auto player = std::make_unique<PlayLocalRecImple>();
        ASSERT_EQ(player->OpenAVIFile(s_path, window.handle()), 0);
        ASSERT_TRUE(window.surface().waitFor(2));
        EXPECT_TRUE(player->Running());
    }
    const std::size_t pictures = window.surface().count();
    // A second player plays the same file to its end meanwhile; the first drew nothing more.
    PlayLocalRecImple next;
    ASSERT_EQ(next.OpenAVIFile(s_path, window.handle()), 0);
    ASSERT_TRUE(waitUntil([&] { return !next.Running(); }));
    EXPECT_LE(window.surface().count(), pictures + static_cast<std::size_t>(kFrames));
}

struct Refused {
    const char* name;
    void (*make)(const std::string& path);
};

void PrintTo(const Refused& c, std::ostream* os) { *os << c.name; }

void missingFile(const std::string&) {}
void notAvi(const std::string& path) { writeFile(path, std::vector<char>(4096, 'x')); }
void noFrameRate(const std::string& path)
{
    auto avi = AviFile::OpenOutput(path);
    avi->SetVideo(320, 240, 0, "H264");
    const std::vector<char> frame(64, 1);
    avi->WriteVideoFrame(frame.data(), 64, true);
    avi->Close();
}
void hugePicture(const std::string& path)
{
    auto avi = AviFile::OpenOutput(path);
    avi->SetVideo(100000, 100000, 15, "H264");
    const std::vector<char> frame(64, 1);
    avi->WriteVideoFrame(frame.data(), 64, true);
    avi->Close();
}

class LocalPlaybackRefuses : public ::testing::TestWithParam<Refused> {};

TEST_P(LocalPlaybackRefuses, FileWithAFailure)
{
    platform::setAudioDevices({platform::AudioDeviceSettings::Kind::Null, "", ""});
    TempDir dir;
    const std::string path = dir.file("refused.avi");
    GetParam().make(path);
    videotest::ScopedSurface window;
    PlayLocalRecImple player;
    EXPECT_LT(player.OpenAVIFile(path, window.handle()), 0);
    EXPECT_FALSE(player.Running());
    EXPECT_EQ(player.CloseAVIFile(), 0);
    platform::setAudioDevices({});
}

INSTANTIATE_TEST_SUITE_P(Files, LocalPlaybackRefuses,
                         ::testing::Values(Refused{"Missing", missingFile}, Refused{"NotAvi", notAvi},
                                           Refused{"NoFrameRate", noFrameRate}, Refused{"HugePicture", hugePicture}),
                         [](const auto& param) { return std::string(param.param.name); });

} // namespace
