// Requests and callbacks that cannot break a link, driven through libLumora.so's public header
// against camsim processes on loopback. One logged-in camera per transport serves every case
// that leaves it as it found it.
#include "DeploymentSettings.h"
#include "libLumora.h"

#include "CameraProcess.h"
#include "SdkTestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using sdktest::CameraProcess;
using sdktest::FakeClock;
using sdktest::MessageRecorder;
using sdktest::RendezvousProcess;
using sdktest::ResultRecorder;
using sdktest::waitUntil;

constexpr const char* kPassword = "requests-secret";

// What the cases share: the folders, the rendezvous server, the cameras and the library's clock.
struct Shared {
    std::filesystem::path dir;
    std::filesystem::path oldCwd;
    FakeClock clock;
    RendezvousProcess rendezvous;
    std::map<std::string, std::unique_ptr<CameraProcess>> cameras; // by name
    MessageRecorder messages;
    ResultRecorder logins;
    int loginTag = 1;
};

Shared* g_shared = nullptr;

class SharedCameras : public ::testing::Environment {
public:
    void SetUp() override
    {
        g_shared = new Shared;
        g_shared->dir = std::filesystem::temp_directory_path() / ("lumora-sdkreq-" + std::to_string(::getpid()));
        std::filesystem::create_directories(g_shared->dir);
        g_shared->oldCwd = std::filesystem::current_path();
        std::filesystem::current_path(g_shared->dir); // the log file is written here
        // The library's default folders lie under the user's data folder; read when the library's
        // instance is made by the first export call below.
        ::setenv("XDG_DATA_HOME", (g_shared->dir / "data").c_str(), 1);
        deployment::setP2PDirectory((g_shared->dir / "devices").string());
        deployment::SdkTimings timings;
        timings.pollIntervalMs = 10;
        timings.snapIntervalMs = 50;
        timings.reconnectScanMs = 10;
        timings.clock = g_shared->clock.function();
        deployment::setSdkTimings(timings);
        ASSERT_TRUE(g_shared->rendezvous.start());
        InitLibLumora(g_shared->rendezvous.serverString().c_str(), 0);
        SetMSGCallBack(g_shared->messages.callback());
    }

    void TearDown() override
    {
        for (auto& [name, camera] : g_shared->cameras)
            LogoutDev(camera->uid());
        DeInitLibLumora();
        g_shared->cameras.clear();
        std::filesystem::current_path(g_shared->oldCwd);
        std::filesystem::remove_all(g_shared->dir);
        // The library keeps the message callback's target until the process ends.
    }
};

// The camera named `name` on `transport`, started and logged in on first use; "" when that failed.
std::string camera(const std::string& name, const std::string& transport)
{
    auto found = g_shared->cameras.find(name);
    if (found != g_shared->cameras.end())
        return found->second->uid();
    const std::string uid = sdktest::uidFor(transport, "REQ");
    auto process = std::make_unique<CameraProcess>(
        CameraProcess::Settings{uid, kPassword, transport, g_shared->rendezvous.serverString(), 0});
    if (!process->start())
        return "";
    // The camera may take a moment to be found through its transport's directory.
    int result = -1;
    for (int attempt = 0; attempt < 3 && result == -1; ++attempt) {
        const int tag = g_shared->loginTag++;
        LoginDev(uid, kPassword, g_shared->logins.callback(tag));
        if (!g_shared->logins.wait(tag, 1, 60000))
            return "";
        result = g_shared->logins.calls(tag).back().result;
    }
    if (result != 0)
        return "";
    g_shared->cameras[name] = std::move(process);
    return uid;
}

CameraProcess& process(const std::string& name)
{
    return *g_shared->cameras.at(name);
}

// Lets every command line sent to the camera before this one take effect.
bool settle(CameraProcess& camera)
{
    static int shows = 0;
    return camera.send("show 0") && camera.waitLines("show end", static_cast<size_t>(++shows));
}

// A request text of the form {"Name":"xxx..."} that is `size` bytes long.
std::string textOfSize(size_t size)
{
    const std::string head = R"({"Name":")";
    const std::string tail = R"("})";
    return head + std::string(size - head.size() - tail.size(), 'x') + tail;
}

// ---- Request size against the link's message limit

struct SizeCase {
    const char* transport;
    size_t limit; // largest body the link carries in one message (header: 76 bytes)
};

void PrintTo(const SizeCase& c, std::ostream* os)
{
    *os << c.transport;
}

class SdkRequestSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(SdkRequestSize, ATextTooLargeForTheLinkIsRefusedAndTheLinkStaysUp)
{
    const std::string uid = camera(GetParam().transport, GetParam().transport);
    ASSERT_FALSE(uid.empty());
    const size_t losses = g_shared->messages.count(1);
    ResultRecorder results;

    // Over the limit: refused at once, nothing sent, the callback never called.
    EXPECT_EQ(SetOSDSetting(uid, textOfSize(GetParam().limit + 1), results.callback(1)), kLumoraRequestTooLarge);
    EXPECT_EQ(SetOSDSetting(uid, textOfSize(3 * GetParam().limit), results.callback(1)), kLumoraRequestTooLarge);

    // Just under it (the settings document around the text adds a few dozen bytes): sent and
    // answered.
    ASSERT_GE(SetOSDSetting(uid, textOfSize(GetParam().limit - 256), results.callback(2)), 0);
    ASSERT_TRUE(results.wait(2, 1, 60000));
    EXPECT_EQ(results.calls(2)[0].code, 1504);
    EXPECT_EQ(results.calls(2)[0].result, 0);

    // The link is still the same: a small request round-trips, no loss was raised and the
    // refused requests were never answered.
    ASSERT_GE(GetNetworkEth(uid, results.callback(3)), 0);
    ASSERT_TRUE(results.wait(3));
    EXPECT_EQ(results.calls(3)[0].result, 0);
    EXPECT_EQ(LoginState(uid), 1);
    EXPECT_EQ(g_shared->messages.count(1), losses);
    EXPECT_EQ(results.count(1), 0u);
}

TEST_P(SdkRequestSize, UserDataTooLargeForTheLinkIsRefusedAndAnEarlierCallbackStays)
{
    if (std::string(GetParam().transport) == "tutk")
        GTEST_SKIP() << "ThroughTek links carry no raw user data";
    const std::string uid = camera(GetParam().transport, GetParam().transport);
    ASSERT_FALSE(uid.empty());
    ResultRecorder results;
    const size_t kUserDataLimit = GetParam().limit;
    const std::vector<char> bytes(kUserDataLimit + 1, 'u');

    EXPECT_EQ(SetUserData(uid, reinterpret_cast<intptr_t>(bytes.data()), static_cast<int>(bytes.size()),
                          results.callback(1)),
              kLumoraRequestTooLarge);
    // Exactly at the limit: sent, and the device's answer reaches this request's callback.
    ASSERT_GE(SetUserData(uid, reinterpret_cast<intptr_t>(bytes.data()), static_cast<int>(kUserDataLimit),
                          results.callback(2)),
              0);
    ASSERT_TRUE(results.wait(2, 1, 60000));
    EXPECT_EQ(results.calls(2)[0].code, 1510);
    EXPECT_EQ(results.count(1), 0u);
    EXPECT_EQ(LoginState(uid), 1);
}

INSTANTIATE_TEST_SUITE_P(Transports, SdkRequestSize,
                         ::testing::Values(SizeCase{"tovel", 1024u * 1024u - 76u},
                                           SizeCase{"cs2", 4u * 1024u * 1024u - 76u}, SizeCase{"tutk", 255u * 924u}),
                         [](const ::testing::TestParamInfo<SizeCase>& param) { return std::string(param.param.transport); });

// ---- UIDs

struct UidCase {
    const char* name;
    std::string uid;
};

void PrintTo(const UidCase& c, std::ostream* os)
{
    *os << c.name;
}

class SdkBadUid : public ::testing::TestWithParam<UidCase> {};

TEST_P(SdkBadUid, IsRefusedAtOnceByEveryEntryAndWritesNothing)
{
    const std::string& uid = GetParam().uid;
    ResultRecorder results;
    const auto folders = g_shared->dir / "bad-uid" / "a" / "b" / "c";
    SetRecPath((folders / "Record").string());
    SetDownloadPath((folders / "Download").string());
    SetSnapPath((folders / "Snap").string());

    EXPECT_EQ(LoginDev(uid, kPassword, results.callback(1)), kLumoraBadUid);
    EXPECT_EQ(StartRecordFile(uid, 0, ""), kLumoraBadUid);
    EXPECT_EQ(DownloadRecFile(uid, R"({"n":"clip.h264","o":1})", results.callback(2)), kLumoraBadUid);
    EXPECT_EQ(GetNetworkEth(uid, results.callback(3)), kLumoraBadUid);
    EXPECT_EQ(SetOSDSetting(uid, "{}", results.callback(4)), kLumoraBadUid);
    EXPECT_EQ(BeginVideo(0, uid, 0, 0, results.callback(5)), kLumoraBadUid);
    EXPECT_EQ(LoginState(uid), 0);
    EXPECT_EQ(GetPlayStateMask(uid), 0);
    SnapStreamPic(uid, "", results.callback(6));
    EXPECT_EQ(results.total(), 0u);
    // Nothing was made anywhere, inside the folders or beside them.
    EXPECT_FALSE(std::filesystem::exists(g_shared->dir / "bad-uid"));
    EXPECT_FALSE(std::filesystem::exists(g_shared->dir / "x"));
}

INSTANTIATE_TEST_SUITE_P(
    Uids, SdkBadUid,
    ::testing::Values(UidCase{"Empty", ""}, UidCase{"SixtyFourCharacters", std::string(64, 'A')},
                      UidCase{"ParentSegmentsCs2", "../../../x/HOW1"}, UidCase{"ParentSegmentsTutk", "../../../x/HOW1ABCDE"},
                      UidCase{"Slash", "cam/HOW1"}, UidCase{"Backslash", "cam\\HOW1"}, UidCase{"Dot", "."},
                      UidCase{"DotDot", ".."}, UidCase{"Space", "cam HOW1"}, UidCase{"Colon", "cam:1"},
                      UidCase{"NonAscii", "cam\xc3\xa4HOW"}, UidCase{"Nul", std::string("cam\0HOW", 7)}),
    [](const ::testing::TestParamInfo<UidCase>& param) { return std::string(param.param.name); });

TEST(SdkUid, TheLongestAndOddestValidUidsAreTakenForUnknownDevices)
{
    ResultRecorder results;
    // Valid UIDs of devices that were never logged in: the usual "no such device", not a refusal.
    for (const std::string& uid : {std::string(63, 'A'), std::string("a.b-c_D9"), std::string("...")}) {
        SCOPED_TRACE(uid);
        EXPECT_EQ(GetNetworkEth(uid, results.callback(1)), -11);
        EXPECT_EQ(StartRecordFile(uid, 0, ""), -11);
    }
    EXPECT_EQ(results.total(), 0u);
}

// ---- Stream requests: each answered once, with its own callback

TEST(SdkStreams, EachStreamRequestIsAnsweredOnceThroughItsOwnCallback)
{
    const std::string uid = camera("tovel", "tovel");
    ASSERT_FALSE(uid.empty());
    ResultRecorder results;
    ASSERT_GE(BeginVideo(0, uid, 99, 0, results.callback(1)), 0);
    ASSERT_GE(BeginVideo(0, uid, 0, 0, results.callback(2)), 0);
    ASSERT_TRUE(results.wait(1));
    ASSERT_TRUE(results.wait(2));
    ASSERT_GE(BeginAudio(uid, 0, 0, results.callback(3)), 0);
    ASSERT_TRUE(results.wait(3));
    ASSERT_GE(EndAudio(uid, 0, 0, results.callback(4)), 0);
    ASSERT_GE(EndVideo(uid, 0, 0, results.callback(5)), 0);
    ASSERT_TRUE(results.wait(4));
    ASSERT_TRUE(results.wait(5));
    // A later round trip: any second answer to an earlier request would have come by now.
    ASSERT_GE(GetNetworkEth(uid, results.callback(6)), 0);
    ASSERT_TRUE(results.wait(6));
    for (int tag = 1; tag <= 5; ++tag) {
        SCOPED_TRACE(tag);
        ASSERT_EQ(results.count(tag), 1u);
        EXPECT_EQ(results.calls(tag)[0].code, 3006);
        EXPECT_EQ(results.calls(tag)[0].result, 0);
    }
}

TEST(SdkStreams, ARefusedFaceStreamIsAnsweredAndAnAcceptedOneWritesItsPictureWithItsPath)
{
    const std::string uid = camera("tovel", "tovel");
    ASSERT_FALSE(uid.empty());
    CameraProcess& cam = process("tovel");
    ResultRecorder results;
    const auto faces = g_shared->dir / "faces";
    SetFacePath(faces.string());

    ASSERT_TRUE(cam.send("refuse-bare 1474"));
    ASSERT_TRUE(settle(cam));
    ASSERT_GE(BeginFace(uid, 0, 0, results.callback(1)), 0);
    ASSERT_TRUE(results.wait(1));
    EXPECT_LT(results.calls(1)[0].result, 0);
    EXPECT_EQ(GetPlayStateMask(uid) & 0x08, 0);

    ASSERT_TRUE(cam.send("refuse"));
    ASSERT_TRUE(settle(cam));
    const size_t pictures = g_shared->messages.count(0);
    ASSERT_GE(BeginFace(uid, 0, 0, results.callback(2)), 0);
    ASSERT_TRUE(results.wait(2));
    EXPECT_EQ(results.calls(2)[0].result, 0);
    // The camera sends a face picture at once: message 0 names it and gives its full path.
    ASSERT_TRUE(g_shared->messages.wait(0, pictures + 1));
    const sdktest::MessageCall written = g_shared->messages.calls().back();
    EXPECT_EQ(written.uid, uid);
    ASSERT_TRUE(written.hasExtra);
    EXPECT_EQ(std::filesystem::path(written.extra), faces / uid / written.text);
    EXPECT_TRUE(std::filesystem::is_regular_file(written.extra));
    ASSERT_GE(EndFace(uid, 0, 0, results.callback(3)), 0);
    ASSERT_TRUE(results.wait(3));
    EXPECT_EQ(results.count(1), 1u);
    EXPECT_EQ(results.count(2), 1u);
}

TEST(SdkPictures, ASnapshotGoesUnderTheUsersDataFolderAndMessageZeroGivesItsFullPath)
{
    const std::string uid = camera("cs2", "cs2");
    ASSERT_FALSE(uid.empty());
    ResultRecorder results;
    // No SetSnapPath on this camera's behalf: the folder is the library's default. (Other cases
    // set other folders; the snapshot folder is set back to the default's place here.)
    const auto snaps = g_shared->dir / "data" / "Lumora" / "Snap";
    SetSnapPath(snaps.string());
    const size_t pictures = g_shared->messages.count(0);
    ASSERT_GE(GetDevSnapshot(uid, "snap", results.callback(1)), 0);
    ASSERT_TRUE(results.wait(1));
    ASSERT_TRUE(g_shared->messages.wait(0, pictures + 1));
    const auto calls = g_shared->messages.calls();
    const sdktest::MessageCall* written = nullptr;
    for (const auto& c : calls)
        if (c.message == 0 && c.uid == uid)
            written = &c;
    ASSERT_NE(written, nullptr);
    ASSERT_TRUE(written->hasExtra);
    EXPECT_EQ(std::filesystem::path(written->extra), snaps / uid / written->text);
    EXPECT_TRUE(std::filesystem::is_regular_file(written->extra));
    EXPECT_FALSE(std::filesystem::exists(g_shared->dir / "C:"));
}

// ---- Losses

TEST(SdkLoss, AnOutageWithStreamsRunningRaisesMessageOneOnce)
{
    const std::string uid = camera("outage", "tovel");
    ASSERT_FALSE(uid.empty());
    CameraProcess& cam = process("outage");
    ResultRecorder results;
    ASSERT_GE(BeginVideo(0, uid, 0, 0, results.callback(1)), 0);
    ASSERT_TRUE(results.wait(1));
    ASSERT_GE(BeginAudio(uid, 0, 0, results.callback(2)), 0);
    ASSERT_TRUE(results.wait(2));

    auto countFor = [&](int message) {
        size_t n = 0;
        for (const auto& c : g_shared->messages.calls())
            if (c.message == message && c.uid == uid)
                ++n;
        return n;
    };
    ASSERT_TRUE(cam.send("drop"));
    ASSERT_TRUE(waitUntil([&] { return countFor(1) >= 1; }));
    // The reconnect waits 10 to 15 s of the library's clock after the loss.
    g_shared->clock.advance(16000);
    ASSERT_TRUE(waitUntil([&] { return countFor(2) >= 1; }, 60000));
    ASSERT_GE(GetNetworkEth(uid, results.callback(3)), 0);
    ASSERT_TRUE(results.wait(3));
    EXPECT_EQ(countFor(1), 1u);

    // A second outage is a new loss: told once more.
    ASSERT_TRUE(cam.send("drop"));
    ASSERT_TRUE(waitUntil([&] { return countFor(1) >= 2; }));
    g_shared->clock.advance(16000);
    ASSERT_TRUE(waitUntil([&] { return countFor(2) >= 2; }, 60000));
    EXPECT_EQ(countFor(1), 2u);
    EndAudio(uid, 0, 0, nullptr);
    EndVideo(uid, 0, 0, nullptr);
}

[[maybe_unused]] ::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new SharedCameras);

} // namespace
