// One hostile camera beside a good one, through libLumora's public header: whatever the hostile
// camera sends (deeply nested answers, floods of replies nobody asked for, late answers, pictures
// nobody asked for), the good camera's requests are still answered and time-outs still come.
// The SDK's clock runs with real time plus what the test adds, so time-outs are reached without
// waiting for them.
#include "DeploymentSettings.h"
#include "libLumora.h"

#include "CameraProcess.h"
#include "SdkTestSupport.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <set>
#include <string>
#include <unistd.h>

namespace {

using sdktest::CameraProcess;
using sdktest::MessageRecorder;
using sdktest::ResultRecorder;

constexpr const char* kPassword = "hostile-secret";
constexpr uint32_t kPastTimeoutMs = 7000; // beyond a request's 6 s
constexpr int kWaitMs = 20000;

std::atomic<uint32_t> g_clockOffset{0};

class HostileDevice : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = std::filesystem::temp_directory_path() / ("lumora-hostile-" + std::to_string(::getpid()));
        std::filesystem::create_directories(m_dir);
        m_oldCwd = std::filesystem::current_path();
        std::filesystem::current_path(m_dir); // the log file is written here
        deployment::setP2PDirectory((m_dir / "devices").string());
        deployment::SdkTimings timings;
        timings.pollIntervalMs = 10;
        timings.snapIntervalMs = 20;
        timings.reconnectScanMs = 10;
        timings.firstLoginPauseMs = 0;
        timings.clock = [] {
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now().time_since_epoch());
            return static_cast<uint32_t>(ms.count()) + g_clockOffset.load();
        };
        deployment::setSdkTimings(timings);
        good = std::make_unique<CameraProcess>(
            CameraProcess::Settings{sdktest::uidFor("cs2", "GOOD"), kPassword, "cs2", "", 0});
        bad = std::make_unique<CameraProcess>(
            CameraProcess::Settings{sdktest::uidFor("cs2", "BAD"), kPassword, "cs2", "", 0});
        ASSERT_TRUE(good->start());
        ASSERT_TRUE(bad->start());
        InitLibLumora("", 0);
        SetMSGCallBack(messages.callback());
        ASSERT_EQ(login(good->uid(), 1), 0);
    }

    void TearDown() override
    {
        DeInitLibLumora();
        good.reset();
        bad.reset();
        std::filesystem::current_path(m_oldCwd);
        std::filesystem::remove_all(m_dir);
    }

    // The login callback's result; -999 when none came. A camera just started may not be found
    // at the first connect (-1): the login is tried again, as the application does.
    int login(const std::string& uid, int tag)
    {
        int result = -1;
        for (int attempt = 0; attempt < 3 && result == -1; ++attempt) {
            const size_t before = results.count(tag);
            LoginDev(uid, kPassword, results.callback(tag));
            if (!results.wait(tag, before + 1, kWaitMs))
                return -999;
            result = results.calls(tag).back().result;
        }
        return result;
    }

    // Sends a hostile command to a camera and waits until it has been carried out.
    static void command(CameraProcess& camera, const std::string& line)
    {
        const size_t before = requestsSeen(camera, "done " + line);
        ASSERT_TRUE(camera.send(line));
        ASSERT_TRUE(camera.waitLines("done " + line, before + 1, kWaitMs)) << line;
    }

    // The good camera answers a request, and a request it never answers times out.
    void expectGoodCameraServed(int tag)
    {
        ASSERT_GE(GetNetworkEth(good->uid(), results.callback(tag)), 0);
        ASSERT_TRUE(results.wait(tag, 1, kWaitMs)) << "no answer from the good camera";
        EXPECT_EQ(results.calls(tag)[0].result, 0);

        command(*good, "delay 1402");
        const size_t asked = requestsSeen(*good, "request 1402");
        ASSERT_GE(GetTimezone(good->uid(), results.callback(tag + 1)), 0);
        ASSERT_TRUE(good->waitLines("request 1402", asked + 1, kWaitMs));
        g_clockOffset += kPastTimeoutMs;
        ASSERT_TRUE(results.wait(tag + 1, 1, kWaitMs)) << "no time-out for the good camera";
        EXPECT_EQ(results.calls(tag + 1)[0].result, -1);
    }

    // How many lines with this prefix the camera has printed (waits for none).
    static size_t requestsSeen(CameraProcess& camera, const std::string& prefix)
    {
        size_t n = 0;
        while (camera.waitLines(prefix, n + 1, 0))
            ++n;
        return n;
    }

    std::filesystem::path folder(const char* name) const { return m_dir / name; }

    ResultRecorder results;
    MessageRecorder messages;
    std::unique_ptr<CameraProcess> good;
    std::unique_ptr<CameraProcess> bad;

private:
    std::filesystem::path m_dir;
    std::filesystem::path m_oldCwd;
};

// ---- Deeply nested answers

TEST_F(HostileDevice, DeeplyNestedLoginAnswerFailsThatLoginAndLeavesTheOtherCameraServed)
{
    command(*bad, "deep 3001");
    const int result = login(bad->uid(), 2);
    EXPECT_LT(result, 0);
    EXPECT_NE(result, -999) << "the hostile camera's login never ended";
    expectGoodCameraServed(10);
}

TEST_F(HostileDevice, DeeplyNestedStreamStartAnswerStillCallsBeginVideoBack)
{
    command(*good, "deep 3006");
    ASSERT_GE(BeginVideo(0, good->uid(), 0, 0, results.callback(3)), 0);
    ASSERT_TRUE(results.wait(3, 1, kWaitMs)) << "BeginVideo's callback never came";
    command(*good, "deep");
    EndVideo(good->uid(), 0, 0, results.callback(4));
    ASSERT_TRUE(results.wait(4, 1, kWaitMs));
    expectGoodCameraServed(10);
}

// ---- Replies nobody waits for

TEST_F(HostileDevice, AFloodOfUnaskedRepliesDelaysNoAnswer)
{
    // 1043 is the answer to GetNetworkEth; nothing is asked of it here.
    command(*good, "flood 1043 2000");
    constexpr int kRequests = 15;
    for (int i = 0; i < kRequests; ++i)
        ASSERT_GE(GetTimezone(good->uid(), results.callback(100 + i)), 0);
    for (int i = 0; i < kRequests; ++i) {
        ASSERT_TRUE(results.wait(100 + i, 1, kWaitMs)) << "request " << i;
        EXPECT_EQ(results.calls(100 + i)[0].result, 0) << "request " << i << " timed out behind the flood";
    }
}

TEST_F(HostileDevice, AnAnswerAfterItsRequestTimedOutReachesNoLaterRequest)
{
    command(*good, "delay 1402");
    ASSERT_GE(GetTimezone(good->uid(), results.callback(20)), 0);
    ASSERT_TRUE(good->waitLines("request 1402", 1, kWaitMs));
    g_clockOffset += kPastTimeoutMs;
    ASSERT_TRUE(results.wait(20, 1, kWaitMs));
    ASSERT_EQ(results.calls(20)[0].result, -1);

    ASSERT_GE(GetTimezone(good->uid(), results.callback(21)), 0);
    ASSERT_TRUE(good->waitLines("request 1402", 2, kWaitMs));
    // The first request's answer comes now, late; a later answer of another code, read after it
    // on the same channel, shows that it has been dealt with.
    command(*good, "release 1");
    ASSERT_GE(GetNetworkEth(good->uid(), results.callback(22)), 0);
    ASSERT_TRUE(results.wait(22, 1, kWaitMs));
    EXPECT_EQ(results.count(21), 0u) << "the late answer went to the next request";

    command(*good, "release 1");
    ASSERT_TRUE(results.wait(21, 1, kWaitMs));
    EXPECT_EQ(results.calls(21)[0].result, 0);
    EXPECT_EQ(results.count(20), 1u);
}

// ---- Pictures nobody asked for

struct PictureCase {
    const char* name;
    int type;
    const char* setFolder; // which folder export the case uses
};

class HostilePictures : public HostileDevice, public ::testing::WithParamInterface<PictureCase> {};

TEST_P(HostilePictures, UnaskedPicturesAreBoundedAndNeverOverwriteEachOther)
{
    const PictureCase& c = GetParam();
    const std::filesystem::path pictures = folder("pictures");
    SetSnapPath(folder("snap").string());
    if (c.type == 34)
        SetAlarmPath(pictures.string());
    else
        SetFacePath(pictures.string());

    // Two pictures with one time stamp, then one far larger than any picture, then a flood.
    command(*good, "pictures " + std::to_string(c.type) + " 1 20000 1700000000");
    command(*good, "pictures " + std::to_string(c.type) + " 1 20000 1700000000");
    command(*good, "pictures " + std::to_string(c.type) + " 1 9000000 1700000100");
    command(*good, "pictures " + std::to_string(c.type) + " 50 20000 1700000200");
    // The picture channel is read in order: once the snapshot asked for now is written, every
    // picture before it has been dealt with.
    ASSERT_GE(GetDevSnapshot(good->uid(), R"({"ViCh":0})", results.callback(30)), 0);
        ASSERT_TRUE(sdktest::waitUntil([&] {
        for (const auto& call : messages.calls())
            if (call.message == 0 && call.text.find('-') != std::string::npos &&
                std::filesystem::exists(folder("snap") / good->uid() / call.text))
                return true;
        return false;
    }, kWaitMs));

    std::set<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(pictures)) {
        if (!entry.is_regular_file())
            continue;
        names.insert(entry.path().filename().string());
        EXPECT_LE(entry.file_size(), 4u * 1024u * 1024u) << entry.path();
    }
    // Both pictures of the shared time stamp are kept; the flood is cut to the burst allowance.
    EXPECT_GE(names.size(), 2u);
    EXPECT_LE(names.size(), 8u);
    expectGoodCameraServed(40);
}

const PictureCase kPictureCases[] = {{"Alarm", 34, "alarm"}, {"Face", 32, "face"}};

INSTANTIATE_TEST_SUITE_P(Kinds, HostilePictures, ::testing::ValuesIn(kPictureCases),
                         [](const ::testing::TestParamInfo<PictureCase>& c) { return std::string(c.param.name); });

} // namespace
