// Downloads of a recording after a playback of it with seeks, as an application makes them through
// libLumora's exports, against a camsim process on each transport: the recording is played,
// sought twice and stopped, and then downloaded four times in a row, the first download asked for
// straight after the stop. Every download either is the camera's file byte for byte and reported
// complete, or is reported failed and never appears under its final name.
//
// The camera's habits decide the order of events on the record channel, and vary by case: seeks
// answered not at all, at once or only late (their answers then land on the requests that follow
// them), and a stopped playback that still sends the rest of what it had queued, with its end
// marker, after it has answered the stop.
#include "DeploymentSettings.h"
#include "libLumora.h"

#include "CameraProcess.h"
#include "SdkTestSupport.h"
#include "VideoTestSupport.h"

#include <json/json.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using sdktest::CameraProcess;
using sdktest::MessageRecorder;
using sdktest::RendezvousProcess;
using sdktest::ResultRecorder;
using sdktest::waitUntil;

constexpr const char* kPassword = "dlseek-secret";
constexpr const char* kSdRoot = "/mnt/s0/media/sensor0"; // the card root camsim reports
// 250 pictures at 25 a second, a key picture every 30: the second seek lands on picture 100, a P
// picture, and leaves 150 pictures to play.
constexpr int kFps = 25;
constexpr int kFrames = 250;
constexpr int kGop = 30;
constexpr const char* kFolder = "20261211/09";
constexpr const char* kClip = "20261211/09/090000-090010.h264";
constexpr int kDownloads = 4;
constexpr uint64_t kFirstSeekUs = 6000000;
constexpr uint64_t kSecondSeekUs = 4000000;

struct Habit {
    const char* name;
    const char* transport;
    const char* seekReplies; // camsim's "seek-replies" word: none, now or late
    int stopTail;            // pictures a stopped playback still sends (0: none)
    bool listed;             // the application pages the folder first, so the sizes are known
};

std::string compact(const Json::Value& v)
{
    return Json::FastWriter().write(v);
}

std::vector<char> readAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// How many bytes at the start of `a` are those of `b`.
size_t sameStart(const std::vector<char>& a, const std::vector<char>& b)
{
    return static_cast<size_t>(std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin());
}

void PrintTo(const Habit& habit, std::ostream* os)
{
    *os << habit.name;
}

class DownloadAfterPlayback : public ::testing::TestWithParam<Habit> {
protected:
    void SetUp() override
    {
        const Habit& habit = GetParam();
        m_dir = fs::temp_directory_path() / ("lumora-dlseek-" + std::to_string(::getpid()));
        fs::create_directories(m_dir);
        m_oldCwd = fs::current_path();
        fs::current_path(m_dir); // the log file is written here
        deployment::setP2PDirectory((m_dir / "devices").string());
        deployment::SdkTimings timings;
        timings.pollIntervalMs = 10;
        timings.snapIntervalMs = 50;
        timings.reconnectScanMs = 10;
        deployment::setSdkTimings(timings);

        const std::string fixture = videotest::EncodedFixture("h264", 320, 240, kFrames, kGop);
        ASSERT_FALSE(fixture.empty());
        const fs::path card = m_dir / "cam" / "sd";
        fs::create_directories(card / kFolder);
        fs::copy_file(fixture, card / kClip);
        clip = readAll(card / kClip);

        ASSERT_TRUE(m_rendezvous.start());
        uid = sdktest::uidFor(habit.transport, "DLS");
        m_camera = std::make_unique<CameraProcess>(
            CameraProcess::Settings{uid, kPassword, habit.transport, m_rendezvous.serverString(), 0});
        m_camera->setDataDir((m_dir / "cam").string());
        m_camera->setFps(kFps);
        ASSERT_TRUE(m_camera->start());
        ASSERT_TRUE(camsim(std::string("seek-replies ") + habit.seekReplies));
        ASSERT_TRUE(camsim("stop-tail " + std::to_string(habit.stopTail)));

        InitLibLumora(m_rendezvous.serverString().c_str(), 0);
        m_initialised = true;
        SetMSGCallBack(messages.callback());
        downloads = m_dir / "dl";
        SetDownloadPath(downloads.string());
        bool loggedIn = false;
        // The camera may take a moment to be found through its transport's directory.
        for (int attempt = 0; attempt < 3 && !loggedIn; ++attempt) {
            const size_t before = results.count(4003);
            LoginDev(uid, kPassword, results.callback(4003));
            ASSERT_TRUE(results.wait(4003, before + 1, 60000));
            loggedIn = results.calls(4003).back().result == 0;
        }
        ASSERT_TRUE(loggedIn);
    }

    void TearDown() override
    {
        if (m_initialised) {
            LogoutDev(uid);
            DeInitLibLumora();
        }
        m_camera.reset();
        fs::current_path(m_oldCwd);
        fs::remove_all(m_dir);
    }

    // Sends a line to camsim and waits until it has been carried out.
    bool camsim(const std::string& line) { return m_camera->send(line) && m_camera->waitLines("done " + line, 1); }

    // A record-file request as the application builds it.
    std::string recordOp(int op, const Json::Value& extra = Json::Value()) const
    {
        Json::Value v(extra.isObject() ? extra : Json::Value(Json::objectValue));
        v["op"] = op;
        v["p"] = std::string(kSdRoot) + "/" + kClip;
        v["sh"] = 0;
        v["si"] = 0;
        v["sl"] = 0;
        v["t"] = uid;
        return compact(v);
    }

    std::string seekTo(uint64_t us) const
    {
        Json::Value stm;
        stm["stm"] = Json::UInt64(us);
        return recordOp(8, stm);
    }

    std::string downloadOp(const std::string& name) const
    {
        Json::Value n;
        n["n"] = name;
        return recordOp(10, n);
    }

    // The message-5 calls for one local file.
    std::vector<sdktest::MessageCall> endsOf(const fs::path& local)
    {
        std::vector<sdktest::MessageCall> ends;
        for (const auto& m : messages.calls())
            if (m.message == 5 && m.text == local.string())
                ends.push_back(m);
        return ends;
    }

    std::string uid;
    std::vector<char> clip;
    fs::path downloads;
    ResultRecorder results;
    MessageRecorder messages;

private:
    fs::path m_dir;
    fs::path m_oldCwd;
    RendezvousProcess m_rendezvous;
    std::unique_ptr<CameraProcess> m_camera;
    bool m_initialised = false;
};

TEST_P(DownloadAfterPlayback, EachDownloadIsTheRecordingOrReportedFailed)
{
    const Habit& habit = GetParam();
    if (habit.listed) {
        Json::Value page;
        page["c"] = 20;
        page["p"] = std::string(kSdRoot) + "/" + kFolder;
        page["s"] = 0;
        ASSERT_GE(GetDevRecPage(uid, compact(page), results.callback(1)), 0);
        ASSERT_TRUE(results.wait(1));
        ASSERT_EQ(results.calls(1).front().result, 0);
    }

    // The playback, sought forward and back while it plays, then stopped.
    ASSERT_GE(PlayRemoteRec(1, uid, recordOp(0), results.callback(2)), 0);
    ASSERT_TRUE(results.wait(2));
    ASSERT_EQ(results.calls(2).front().result, 0);
    ASSERT_TRUE(waitUntil([&] { return GetPlayPts(uid) > 0; }));
    SeekRemoteRec(uid, seekTo(kFirstSeekUs), results.callback(3));
    ASSERT_TRUE(waitUntil([&] { return GetPlayPts(uid) >= static_cast<int64_t>(kFirstSeekUs); }));
    SeekRemoteRec(uid, seekTo(kSecondSeekUs), results.callback(3));
    ASSERT_TRUE(waitUntil([&] {
        const int64_t pts = GetPlayPts(uid);
        return pts >= static_cast<int64_t>(kSecondSeekUs) && pts < static_cast<int64_t>(kFirstSeekUs);
    }));
    ASSERT_GE(EndRemoteRecord(uid, recordOp(6), results.callback(4)), 0);

    // Four downloads of the same recording in a row: the first straight after the stop, before
    // its answer; each of the others once the one before it has ended.
    int complete = 0;
    for (int round = 0; round < kDownloads; ++round) {
        const std::string name = "clip" + std::to_string(round) + ".h264";
        const fs::path local = downloads / uid / name;
        const int tag = 10 + round;
        ASSERT_GE(DownloadRecFile(uid, downloadOp(name), results.callback(tag)), 0) << "round " << round;
        ASSERT_TRUE(waitUntil([&] { return !endsOf(local).empty(); })) << "round " << round << " never ended";
        const auto end = endsOf(local).front();
        if (end.reserved == 0) {
            ++complete;
            const std::vector<char> got = readAll(local);
            EXPECT_TRUE(got == clip) << "round " << round << ": reported complete with " << got.size() << " of "
                                     << clip.size() << " bytes, the first " << sameStart(got, clip)
                                     << " as the camera's";
            EXPECT_EQ(GetDloadSize(uid), static_cast<int64_t>(clip.size())) << "round " << round;
        } else {
            EXPECT_TRUE(end.reserved == -1 || end.reserved == -2) << "round " << round << ": status " << end.reserved;
            EXPECT_FALSE(fs::exists(local)) << "round " << round << ": a failed download keeps its final name";
        }
    }
    // Every download ends exactly once, and a camera that ends each of its transfers with its end
    // marker leaves no reason for one to fail.
    for (int round = 0; round < kDownloads; ++round)
        EXPECT_EQ(endsOf(downloads / uid / ("clip" + std::to_string(round) + ".h264")).size(), 1u) << "round " << round;
    EXPECT_EQ(messages.count(5), static_cast<size_t>(kDownloads));
    EXPECT_EQ(complete, kDownloads);
    EXPECT_EQ(results.count(3), 0u) << "seeks call nothing";
}

constexpr int kRest = kFrames; // a stopped playback sends all it has left of the recording

const Habit kHabits[] = {
    {"TovelQuietSeeks", "tovel", "none", 0, true},
    {"Cs2QuietSeeks", "cs2", "none", 0, true},
    {"TutkQuietSeeks", "tutk", "none", 0, true},
    {"TovelLateSeekReplies", "tovel", "late", 0, true},
    {"Cs2LateSeekReplies", "cs2", "late", 0, true},
    {"TutkLateSeekReplies", "tutk", "late", 0, true},
    {"TovelTailAfterStop", "tovel", "now", kRest, true},
    {"Cs2TailAfterStop", "cs2", "now", kRest, true},
    {"TutkTailAfterStop", "tutk", "now", kRest, true},
    {"TovelLateRepliesTailUnlisted", "tovel", "late", kRest, false},
    {"Cs2LateRepliesTailUnlisted", "cs2", "late", kRest, false},
    {"TutkLateRepliesTailUnlisted", "tutk", "late", kRest, false},
};

INSTANTIATE_TEST_SUITE_P(Habits, DownloadAfterPlayback, ::testing::ValuesIn(kHabits),
                         [](const ::testing::TestParamInfo<Habit>& p) { return std::string(p.param.name); });

} // namespace
