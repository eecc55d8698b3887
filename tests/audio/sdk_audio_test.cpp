// Listening, talk-back and face pictures through the SDK against the simulated camera: the
// camera's A-law reaches the speaker file decoded, the microphone file reaches the camera as
// A-law talk frames, and face pictures are written to the face folder.
#include "ALawDecoder.h"
#include "ALawEncode.h"
#include "../record/SdkMediaFixture.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

using namespace mediatest;

namespace {

class SdkAudio : public SdkMedia {};

std::vector<short> decodedCameraFrame(uint32_t index)
{
    const auto frame = camsim::CamSim::syntheticAudio(index);
    std::vector<short> pcm(frame.size());
    ALawDecoder::DecodeBytes(reinterpret_cast<const unsigned char*>(frame.data()), static_cast<int>(frame.size()), pcm.data(), true);
    return pcm;
}

std::vector<short> playedSamples(const std::string& path)
{
    const auto bytes = readFile(path);
    std::vector<short> samples(bytes.size() / 2);
    if (!samples.empty())
        std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    // Silence fills the pulls that found the queue empty; A-law never decodes to 0.
    samples.erase(std::remove(samples.begin(), samples.end(), short{0}), samples.end());
    return samples;
}

TEST_F(SdkAudio, ListeningPlaysTheCamerasAudioInOrder)
{
    videotest::ScopedSurface window;
    ASSERT_TRUE(beginVideo(window.handle()));
    ASSERT_GE(sdk->BeginAudio(uid, 0, 0, results.callback(1)), 0);
    ASSERT_TRUE(results.wait(1));
    EXPECT_EQ(results.calls(1).back().code, 3006);
    EXPECT_EQ(results.calls(1).back().result, 0);
    EXPECT_TRUE(mask() & 0x02);

    constexpr std::size_t kFrames = 10;
    ASSERT_TRUE(waitUntil([&] { return playedSamples(speaker).size() >= kFrames * 320; }));
    const auto played = playedSamples(speaker);
    // Listening joins the stream at some frame j; from there the frames follow one another.
    uint32_t first = 0;
    while (first < 16 && !std::equal(played.begin(), played.begin() + 320, decodedCameraFrame(first).begin()))
        ++first;
    ASSERT_LT(first, 16u) << "the first frame played is one of the camera's";
    for (std::size_t f = 0; f < kFrames; ++f) {
        const auto expected = decodedCameraFrame(first + static_cast<uint32_t>(f));
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), played.begin() + static_cast<long>(f * 320))) << "frame " << f;
    }

    ASSERT_GE(sdk->EndAudio(uid, 0, 0, results.callback(2)), 0);
    EXPECT_FALSE(mask() & 0x02) << "cleared at once";
    ASSERT_TRUE(results.wait(2));
    EXPECT_EQ(results.calls(2).back().code, 3006);
}

TEST_F(SdkAudio, AudioFramesBeforeListeningAreDropped)
{
    const std::vector<char> frame(320, 0x55);
    sdk->PlayAudioFrame(frame.data(), 320, 0); // no listening queue yet: nothing happens
    EXPECT_EQ(sdk->EndAudio("unknown-uid", 0, 0, results.callback(9)), -11);
    EXPECT_EQ(results.count(9), 0u);
}

TEST_F(SdkAudio, TalkSendsTheMicrophoneToTheCameraAsALaw)
{
    std::vector<short> pcm(4000);
    for (std::size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<short>((i * 29) % 4000 - 2000);
    writeFile(microphone, std::vector<char>(reinterpret_cast<char*>(pcm.data()), reinterpret_cast<char*>(pcm.data()) + pcm.size() * 2));

    ASSERT_GE(sdk->BeginTalk(uid, results.callback(1)), 0);
    ASSERT_TRUE(results.wait(1));
    EXPECT_EQ(results.calls(1).back().code, 1007);
    EXPECT_EQ(results.calls(1).back().result, 0);
    EXPECT_TRUE(mask() & 0x04);

    // 4000 samples make 12 whole talk frames; silence follows.
    ASSERT_TRUE(camera().waitForUplinks(13, 20000));
    ASSERT_GE(sdk->EndTalk(uid, results.callback(2)), 0);
    EXPECT_FALSE(mask() & 0x04);
    ASSERT_TRUE(results.wait(2));
    EXPECT_EQ(results.calls(2).back().code, 1007) << "the stop reply reaches the caller's own callback";

    std::vector<camsim::Uplink> talk;
    for (auto& up : camera().uplinks())
        if (!up.isCommand)
            talk.push_back(up);
    ASSERT_GE(talk.size(), 12u);
    for (std::size_t f = 0; f < 12; ++f) {
        EXPECT_EQ(talk[f].frameType, 20);
        ASSERT_EQ(talk[f].data.size(), 320u);
        for (std::size_t i = 0; i < 320; ++i)
            ASSERT_EQ(static_cast<unsigned char>(talk[f].data[i]), ALawEncode::EncodeSample(pcm[f * 320 + i])) << "frame " << f;
    }
}

TEST_F(SdkAudio, FaceStreamSwitchesItsBitWithTheDevicesReplies)
{
    sdk->SetFacePath(dir.file("faces"));
    ASSERT_GE(sdk->BeginFace(uid, 0, 0, results.callback(1)), 0);
    ASSERT_TRUE(results.wait(1));
    EXPECT_EQ(results.calls(1).back().code, 1475);
    EXPECT_EQ(results.calls(1).back().result, 0);
    EXPECT_TRUE(mask() & 0x08);
    ASSERT_TRUE(camera().waitForRequest(1474, 20000));

    ASSERT_GE(sdk->EndFace(uid, 0, 0, results.callback(2)), 0);
    EXPECT_FALSE(mask() & 0x08) << "cleared at once";
    ASSERT_TRUE(results.wait(2));
    EXPECT_EQ(results.calls(2).back().code, 1475);
    EXPECT_EQ(sdk->BeginFace("HOWNOBODY", 0, 0, results.callback(3)), -11);
    EXPECT_EQ(results.count(3), 0u);
}

} // namespace
