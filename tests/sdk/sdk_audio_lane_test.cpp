// The audio a camera sends apart from its video (the ThroughTek transport) reaches the
// application in step with the pictures: linked against libLumora.so through its public header,
// against a camsim process on loopback, counted through the raw-frame callback.
#include "DeploymentSettings.h"
#include "libLumora.h"

#include "CameraProcess.h"
#include "SdkTestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <mutex>
#include <vector>

namespace {

using sdktest::CameraProcess;
using sdktest::ResultRecorder;
using sdktest::waitUntil;

constexpr const char* kPassword = "lane-secret";
// camsim sends 25 pictures and 25 audio chunks of 40 ms a second.
constexpr int kPicturesWatched = 150;
// Audio may run at most this many chunks ahead of or behind the pictures.
constexpr int kSlackChunks = 10;

bool isAudio(int type) { return type >= 20 && type <= 49; }

// The frame kinds in the order the application received them.
class Arrivals {
public:
    AVDataCallback callback()
    {
        return [this](int type, int, std::vector<char>&, unsigned, std::string, int, uint64_t, int) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_audio.push_back(isAudio(type));
        };
    }
    std::vector<bool> snapshot()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_audio;
    }
    size_t picturesAfterFirstAudio()
    {
        const auto kinds = snapshot();
        size_t i = 0;
        while (i < kinds.size() && !kinds[i])
            ++i;
        size_t pictures = 0;
        for (; i < kinds.size(); ++i)
            pictures += kinds[i] ? 0 : 1;
        return pictures;
    }

private:
    std::mutex m_mutex;
    std::vector<bool> m_audio;
};

TEST(SdkAudioLane, SeparateAudioKeepsStepWithThePictures)
{
    const auto dir = std::filesystem::temp_directory_path() / ("lumora-audiolane-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto oldCwd = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    deployment::setP2PDirectory((dir / "devices").string());
    deployment::SdkTimings timings;
    timings.pollIntervalMs = 10;
    deployment::setSdkTimings(timings);

    const std::string uid = sdktest::uidFor("tutk", "LANE");
    ASSERT_EQ(uid.size(), 20u);
    CameraProcess camera({uid, kPassword, "tutk", "", 0});
    ASSERT_TRUE(camera.start());
    InitLibLumora("", 0);

    ResultRecorder results;
    bool loggedIn = false;
    for (int attempt = 0; attempt < 3 && !loggedIn; ++attempt) {
        const size_t before = results.count(4003);
        LoginDev(uid, kPassword, results.callback(4003));
        ASSERT_TRUE(results.wait(4003, before + 1, 60000));
        loggedIn = results.calls(4003).back().result == 0;
    }
    ASSERT_TRUE(loggedIn);

    Arrivals arrivals;
    SetVideoDataCallBack(uid, arrivals.callback());
    ASSERT_GE(BeginVideo(0, uid, 0, 0, results.callback(1)), 0);
    ASSERT_TRUE(results.wait(1));
    ASSERT_EQ(results.calls(1).back().result, 0);
    ASSERT_GE(BeginAudio(uid, 0, 0, results.callback(2)), 0);
    ASSERT_TRUE(results.wait(2));
    ASSERT_EQ(results.calls(2).back().result, 0);

    ASSERT_TRUE(waitUntil([&] { return arrivals.picturesAfterFirstAudio() >= kPicturesWatched; }, 60000))
        << "pictures after the first audio chunk: " << arrivals.picturesAfterFirstAudio();
    const auto kinds = arrivals.snapshot();

    // From the first audio chunk on, audio and pictures advance together: at every frame the two
    // counts differ by at most the slack (a burst of audio, or a gap of it, breaks this).
    size_t first = 0;
    while (first < kinds.size() && !kinds[first])
        ++first;
    int audio = 0;
    int pictures = 0;
    int widest = 0;
    size_t widestAt = 0;
    for (size_t i = first; i < kinds.size() && pictures < kPicturesWatched; ++i) {
        (kinds[i] ? audio : pictures) += 1;
        if (std::abs(audio - pictures) > widest) {
            widest = std::abs(audio - pictures);
            widestAt = i - first;
        }
    }
    EXPECT_LE(widest, kSlackChunks) << "audio and pictures drifted " << widest << " chunks apart at frame " << widestAt
                                    << " (" << audio << " audio chunks against " << pictures << " pictures)";

    // Listening ends: no audio reaches the application after the stop is answered.
    ASSERT_GE(EndAudio(uid, 0, 0, results.callback(3)), 0);
    ASSERT_TRUE(results.wait(3));
    const size_t stoppedAt = arrivals.snapshot().size();
    ASSERT_TRUE(waitUntil([&] { return arrivals.snapshot().size() >= stoppedAt + 25; }, 20000));
    const auto after = arrivals.snapshot();
    int late = 0;
    // A chunk already read when the stop was answered may still arrive.
    for (size_t i = stoppedAt + 5; i < after.size(); ++i)
        late += after[i] ? 1 : 0;
    EXPECT_EQ(late, 0);

    EndVideo(uid, 0, 0, results.callback(4));
    DeInitLibLumora();
    std::filesystem::current_path(oldCwd);
    std::filesystem::remove_all(dir);
}

} // namespace
