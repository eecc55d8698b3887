// The SDK core against simulated cameras in this process (CS2 transport), with the instance's
// clock driven by the test: logins, reply dispatch, time-outs, link loss and reconnection,
// alarms, user data and the looped tasks.
#include "DeploymentSettings.h"
#include "CamSim.h"
#include "DeviceDirectory.h"
#include "LumoraInstance.h"
#include "NetProImple.h"
#include "PlatformThread.h"
#include "SdkTestSupport.h"
#include "VendorFaults.h"

#include <filesystem>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>

namespace {

using sdktest::FakeClock;
using sdktest::MessageRecorder;
using sdktest::ResultRecorder;
using sdktest::waitUntil;

constexpr const char* kPassword = "core-secret";

class SdkCore : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int counter = 0;
        m_dir = std::filesystem::temp_directory_path() /
                ("lumora-sdkcore-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(m_dir);
        // The log file goes to the current folder.
        m_oldCwd = std::filesystem::current_path();
        std::filesystem::current_path(m_dir);
        deployment::setP2PDirectory((m_dir / "devices").string());
        uid = "HOWCORE" + std::to_string(::getpid() % 100000) + "N" + std::to_string(counter);

        LumoraInstance::Options options;
        options.clock = clock.function();
        options.pollIntervalMs = 10;
        options.snapIntervalMs = 50;
        options.reconnectScanMs = 10;
        options.firstLoginPauseMs = 0;
        sdk = std::make_unique<LumoraInstance>(options);
        sdk->InitLib("", 0);
        sdk->SetMSGCallBack(messages.callback());
        startCamera();
    }

    void TearDown() override
    {
        sdk.reset();
        if (m_camera)
            m_camera->stop();
        std::filesystem::current_path(m_oldCwd);
        std::filesystem::remove_all(m_dir);
    }

    void startCamera(const std::string& password = kPassword)
    {
        camsim::CamSimOptions options;
        options.uid = uid;
        options.password = password;
        options.transport = "cs2";
        m_camera = std::make_unique<camsim::CamSim>(options);
        std::string error;
        ASSERT_TRUE(m_camera->start(error)) << error;
        // The camera's listener publishes its address from the camera's own thread (once per
        // process: a restarted camera listens on the same address again); a login before that
        // finds no camera, however often it is tried.
        ASSERT_TRUE(lumora::test::waitPublished(m_dir / "devices", uid));
    }

    void stopCamera()
    {
        m_camera->stop();
        m_camera.reset();
    }

    camsim::CamSim& camera() { return *m_camera; }

    // Logs in and returns the login callback's result (-999 when none came).
    // A camera just started may not be found at the first connect (-1): the test tries again,
    // as the application does.
    int login(const std::string& password = kPassword, int tag = 4003)
    {
        int result = -1;
        for (int attempt = 0; attempt < 3 && result == -1; ++attempt) {
            const size_t before = results.count(tag);
            sdk->LoginDev(uid, password, results.callback(tag));
            if (!results.wait(tag, before + 1))
                return -999;
            result = results.calls(tag).back().result;
        }
        return result;
    }

    // Waits until the reply poll has run `n` more passes (each also sweeps the time-outs).
    void pollPasses(uint64_t n = 3)
    {
        const uint64_t target = sdk->pollPasses() + n;
        ASSERT_TRUE(waitUntil([&] { return sdk->pollPasses() >= target; }));
    }

    void scanPasses(uint64_t n = 3)
    {
        const uint64_t target = sdk->scanPasses() + n;
        ASSERT_TRUE(waitUntil([&] { return sdk->scanPasses() >= target; }));
    }

    int slotField(const std::function<int(StreamSlot&)>& read)
    {
        int value = -1;
        sdk->withSlot(uid, 0, [&](StreamSlot& s) { value = read(s); });
        return value;
    }

    FakeClock clock;
    ResultRecorder results;
    MessageRecorder messages;
    std::unique_ptr<LumoraInstance> sdk;
    std::string uid;

private:
    std::filesystem::path m_dir;
    std::filesystem::path m_oldCwd;
    std::unique_ptr<camsim::CamSim> m_camera;
};

// ---- Logins

TEST_F(SdkCore, LoginAcceptedThenKnownDeviceAnswersAtOnceWithCodeZero)
{
    ASSERT_EQ(login(), 0);
    EXPECT_EQ(sdk->LoginState(uid), 1);
    EXPECT_EQ(sdk->deviceState(uid), DeviceState::kLoggedIn);
    const auto first = results.calls(4003).back();
    EXPECT_EQ(first.code, 4003);
    EXPECT_EQ(first.uid, uid);
    EXPECT_TRUE(first.nullData);

    // A second login of a device whose link is up answers (0, 0, "", uid) before returning.
    EXPECT_EQ(sdk->LoginDev(uid, kPassword, results.callback(1)), 0);
    ASSERT_EQ(results.count(1), 1u);
    const auto again = results.calls(1).front();
    EXPECT_EQ(again.code, 0);
    EXPECT_EQ(again.result, 0);
    EXPECT_EQ(again.text, "");
}

TEST_F(SdkCore, RefusedLoginMarksTheSlotDroppedAndNeverReconnects)
{
    EXPECT_EQ(login("wrong"), -100);
    EXPECT_EQ(sdk->deviceState(uid), DeviceState::kLoginFailed);
    ASSERT_TRUE(messages.wait(1));
    EXPECT_TRUE(sdk->GetPlayStateMask(uid) & PlayStateMask::kDropped);
    EXPECT_EQ(sdk->LoginState(uid), 0);
    clock.advance(60000);
    scanPasses();
    pollPasses();
    EXPECT_EQ(sdk->loginAttempts(uid), 1);
    EXPECT_EQ(messages.count(2), 0u);
    EXPECT_EQ(messages.count(1), 1u);

    // A later login with the right password clears the mark.
    ASSERT_EQ(login(), 0);
    EXPECT_FALSE(sdk->GetPlayStateMask(uid) & PlayStateMask::kDropped);
}

TEST_F(SdkCore, LoopedTasksStartOnceUnderRacingFirstLogins)
{
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([this, i] { sdk->LoginDev(uid + "R" + std::to_string(i), kPassword, nullptr); });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(sdk->loopedTaskStarts(), 2); // the reply poll and the reconnect scan
    ASSERT_EQ(login(), 0);
    EXPECT_EQ(sdk->loopedTaskStarts(), 2);
}

// The first login's pause and the looped tasks' intervals hold no lock and end with a stop: an
// exit during the pause returns at once, the login too, and no looped task keeps a worker.
TEST_F(SdkCore, ExitEndsTheFirstLoginPauseAndTheLoopWaitsAtOnce)
{
    LumoraInstance::Options options;
    options.clock = clock.function();
    options.pollIntervalMs = 600000;
    options.snapIntervalMs = 600000;
    options.reconnectScanMs = 600000;
    options.firstLoginPauseMs = 60000;
    LumoraInstance paused(options);
    ASSERT_TRUE(paused.replyPool().Resize(1));
    // No camera answers this UID: once the pause has ended the login fails at once.
    auto login = std::async(std::launch::async, [&] { return paused.LoginDev(uid + "P", kPassword, nullptr); });
    ASSERT_TRUE(waitUntil([&] { return paused.loopedTaskStarts() == 1 && paused.replyPool().active() == 1; }));
    auto stop = std::async(std::launch::async, [&] { paused.StopForExit(); });
    EXPECT_EQ(stop.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "the exit waited for the pause";
    EXPECT_EQ(login.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "the pause outlived the exit";
    EXPECT_EQ(paused.replyPool().active(), 0) << "the reply poll kept its worker for its interval";
    EXPECT_EQ(paused.loopedTaskStarts(), 1) << "a task started after the exit";
}

// ---- Replies and time-outs

struct TimeoutCase {
    const char* name;
    uint16_t command;
    uint16_t reply;
    uint32_t limitMs;
    std::function<int(LumoraInstance&, const std::string&, DeviceResultCallback)> send;
};

void PrintTo(const TimeoutCase& c, std::ostream* os)
{
    *os << c.name;
}

class SdkTimeout : public SdkCore, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(SdkTimeout, UnansweredRequestGetsMinusOneOnceAfterItsLimit)
{
    const TimeoutCase& c = GetParam();
    ASSERT_EQ(login(), 0);
    camera().setMuted({c.command});
    ASSERT_GE(c.send(*sdk, uid, results.callback(1)), 0);
    ASSERT_TRUE(camera().waitForRequest(c.command, 10000));
    clock.advance(c.limitMs - 1000);
    pollPasses();
    EXPECT_EQ(results.count(1), 0u);
    clock.advance(1001);
    ASSERT_TRUE(results.wait(1));
    pollPasses();
    const auto calls = results.calls(1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].code, c.reply);
    EXPECT_EQ(calls[0].result, -1);
    EXPECT_EQ(calls[0].text, "");
    EXPECT_EQ(calls[0].uid, uid);
    EXPECT_TRUE(calls[0].nullData);
    EXPECT_EQ(calls[0].value, 0);
    EXPECT_EQ(sdk->pendingCount(uid, c.reply), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, SdkTimeout,
    ::testing::Values(
        TimeoutCase{"GetOSDSetting6000", 1505, 1506, 6000,
                    [](LumoraInstance& s, const std::string& u, DeviceResultCallback cb) {
                        return s.GetOSDSetting(u, R"({"Vich":0})", std::move(cb));
                    }},
        TimeoutCase{"SetNetworkEth6000", 1040, 1041, 6000,
                    [](LumoraInstance& s, const std::string& u, DeviceResultCallback cb) {
                        return s.SetNetworkEth(u, R"({"DHCP":1})", std::move(cb));
                    }},
        TimeoutCase{"SearchWireless24000", 1052, 1053, 24000,
                    [](LumoraInstance& s, const std::string& u, DeviceResultCallback cb) {
                        return s.SearchWireless(u, std::move(cb));
                    }}),
    [](const ::testing::TestParamInfo<TimeoutCase>& param) { return std::string(param.param.name); });

TEST_F(SdkCore, UnansweredLoginTimesOutAfterNinetySecondsLogsOutAndArmsAReconnect)
{
    camera().setMuted({3001});
    ASSERT_GE(sdk->LoginDev(uid, kPassword, results.callback(4003)), 0);
    ASSERT_TRUE(camera().waitForRequest(3001, 10000));
    clock.advance(89000);
    pollPasses();
    EXPECT_EQ(results.count(4003), 0u);
    clock.advance(1001);
    ASSERT_TRUE(results.wait(4003));
    const auto call = results.calls(4003).front();
    EXPECT_EQ(call.code, 4003);
    EXPECT_EQ(call.result, -1);
    EXPECT_EQ(sdk->deviceState(uid), DeviceState::kLoginFailed);
    // After the callback the sweep logs the device out, clears the closing flag and arms the
    // reconnect, in that order.
    ASSERT_TRUE(waitUntil([&] { return sdk->reconnectEntry(uid).delay == LumoraInstance::kPollLossDelay; }));
    EXPECT_EQ(sdk->LoginState(uid), 0);
    EXPECT_EQ(slotField([](StreamSlot& s) { return s.closing.load(); }), 0);

    // The reconnect logs in again once the camera answers.
    camera().setMuted({});
    clock.advance(11001);
    ASSERT_TRUE(messages.wait(2));
    EXPECT_EQ(sdk->LoginState(uid), 1);
    EXPECT_EQ(results.count(4003), 1u); // the reconnect does not call the login's callback again
}

TEST_F(SdkCore, SameCodeRequestsAreEachAnsweredOnceInSendingOrder)
{
    ASSERT_EQ(login(), 0);
    ASSERT_GE(sdk->GetNetworkEth(uid, results.callback(1)), 0);
    ASSERT_GE(sdk->GetNetworkEth(uid, results.callback(2)), 0);
    ASSERT_TRUE(results.wait(1));
    ASSERT_TRUE(results.wait(2));
    pollPasses();
    EXPECT_EQ(results.count(1), 1u);
    EXPECT_EQ(results.count(2), 1u);
    EXPECT_EQ(results.calls(1)[0].result, 0);
    EXPECT_EQ(results.calls(2)[0].result, 0);
    EXPECT_NE(results.calls(2)[0].text.find("NetWork.Eth"), std::string::npos);
    EXPECT_EQ(sdk->pendingCount(uid, 1043), 0);
}

TEST_F(SdkCore, UpgradeProgressReachesTheCallbackUntilOneHundred)
{
    ASSERT_EQ(login(), 0);
    ASSERT_GE(sdk->DevUpdata(uid, R"({"Url":"http://127.0.0.1/fw.bin"})", results.callback(1)), 0);
    ASSERT_TRUE(results.wait(1, 2));
    const auto calls = results.calls(1);
    EXPECT_EQ(calls[0].code, 1081);
    EXPECT_NE(calls[0].text.find("50"), std::string::npos);
    EXPECT_NE(calls[1].text.find("100"), std::string::npos);
    EXPECT_EQ(sdk->pendingCount(uid, 1081), 0);
}

TEST_F(SdkCore, PendingUpgradeDoesNotHoldBackOtherTimeOutsAndAFailureEndsIt)
{
    ASSERT_EQ(login(), 0);
    camera().setMuted({1080, 1505});
    ASSERT_GE(sdk->DevUpdata(uid, R"({"Url":"x"})", results.callback(1)), 0);
    ASSERT_GE(sdk->GetOSDSetting(uid, R"({"Vich":0})", results.callback(2)), 0);
    ASSERT_TRUE(camera().waitForRequest(1505, 10000));
    clock.advance(6001);
    ASSERT_TRUE(results.wait(2));
    EXPECT_EQ(results.calls(2)[0].result, -1);
    clock.advance(600000);
    pollPasses();
    EXPECT_EQ(results.count(1), 0u); // an upgrade has no time-out
    EXPECT_EQ(sdk->pendingCount(uid, 1081), 1);

    // A failed progress reply is delivered and ends the upgrade.
    std::vector<char> body = {'{', '}'};
    sdk->DispatchReply(1081, -5, body, static_cast<unsigned>(body.size()), uid, 0);
    ASSERT_EQ(results.count(1), 1u);
    EXPECT_EQ(results.calls(1)[0].result, -5);
    EXPECT_EQ(sdk->pendingCount(uid, 1081), 0);
}

TEST_F(SdkCore, ReplyTextStopsAtTheFirstNulByte)
{
    ASSERT_EQ(login(), 0);
    ASSERT_GE(sdk->GetTimezone(uid, results.callback(1)), 0);
    ASSERT_TRUE(results.wait(1));
    ASSERT_TRUE(sdk->registerReply(uid, 1403, results.callback(2)));
    std::vector<char> body = {'a', 'b', '\0', 'c'};
    sdk->DispatchReply(1403, 0, body, 4, uid, 0);
    ASSERT_EQ(results.count(2), 1u);
    EXPECT_EQ(results.calls(2)[0].text, "ab");
    ASSERT_TRUE(sdk->registerReply(uid, 1403, results.callback(3)));
    std::vector<char> whole = {'x', 'y', 'z'};
    sdk->DispatchReply(1403, 0, whole, 2, uid, 0);
    ASSERT_EQ(results.count(3), 1u);
    EXPECT_EQ(results.calls(3)[0].text, "xy"); // never past the length
}

// ---- Device pushes and user data

TEST_F(SdkCore, AlarmPushReachesTheMessageCallbackAsATerminatedCopyWithItsLength)
{
    ASSERT_EQ(login(), 0);
    const std::string event = R"({"AlarmType":1,"Channel":0})";
    camera().pushAlarm(event);
    ASSERT_TRUE(messages.wait(1502));
    const auto calls = messages.calls();
    const auto& alarm = calls.back();
    EXPECT_EQ(alarm.message, 1502);
    EXPECT_EQ(alarm.uid, uid);
    EXPECT_EQ(alarm.text, event);
    EXPECT_EQ(alarm.value, static_cast<int>(event.size()));
    EXPECT_TRUE(alarm.terminated);
}

TEST_F(SdkCore, UserDataSendsTheBytesAtAPointerSizedAddressAndKeepsItsCallback)
{
    ASSERT_EQ(login(), 0);
    auto bytes = std::make_unique<std::vector<char>>(std::vector<char>{'\x01', '\x02', '\0', '\x7f', 'z'});
    const intptr_t address = reinterpret_cast<intptr_t>(bytes->data());
    ASSERT_GE(sdk->SetUserData(uid, address, static_cast<int>(bytes->size()), results.callback(1)), 0);
    camsim::RecordedRequest request;
    ASSERT_TRUE(camera().waitForRequest(1509, 10000, &request));
    EXPECT_EQ(request.body, std::string(bytes->data(), bytes->size()));
    ASSERT_TRUE(results.wait(1));
    EXPECT_EQ(results.calls(1)[0].code, 1510);
    clock.advance(600000);
    pollPasses();
    EXPECT_EQ(sdk->pendingCount(uid, 1510), 1); // kept for every later push, never timed out
    EXPECT_EQ(results.count(1), 1u);
    EXPECT_EQ(sdk->SetUserData(uid, 0, 4, results.callback(2)), -1);
    EXPECT_EQ(sdk->SetUserData(uid, address, -1, results.callback(2)), -1);
}

TEST_F(SdkCore, SlotNumbersOutsideZeroToSevenAreRefused)
{
    ASSERT_EQ(login(), 0);
    for (int slot : {-1, 8, 1000}) {
        EXPECT_EQ(sdk->StartRecordFile(uid, slot, "/tmp/x.avi"), -11) << slot;
        EXPECT_EQ(sdk->StopRecordFile(uid, slot), -11) << slot;
    }
    std::vector<char> empty;
    sdk->IODataProcess(1043, -7, empty, 0, uid, 0, 99); // a reader's slot out of range is not trusted
    EXPECT_TRUE(messages.wait(1));
}

TEST(SdkProcessTimings, AnInstanceMadeWithoutOptionsTakesTheProcesssTimings)
{
    deployment::SdkTimings timings;
    timings.clock = [] { return 4000000000u; };
    deployment::setSdkTimings(timings);
    {
        LumoraInstance instance;
        EXPECT_EQ(instance.now(), 4000000000u);
    }
    deployment::setSdkTimings({});
    LumoraInstance plain;
    const uint32_t tick = platform::tickMillis();
    EXPECT_LE(plain.now() - tick, 1000u); // the monotonic tick again
}

// ---- Link loss and reconnection

struct ReconnectCase {
    const char* name;
    bool logoutAndLoginFirst;
};

void PrintTo(const ReconnectCase& c, std::ostream* os)
{
    *os << c.name;
}

class SdkReconnect : public SdkCore, public ::testing::WithParamInterface<ReconnectCase> {};

TEST_P(SdkReconnect, LostCameraIsReportedThenReconnectedAfterTheDelay)
{
    ASSERT_EQ(login(), 0);
    if (GetParam().logoutAndLoginFirst) {
        sdk->LogoutDev(uid);
        EXPECT_EQ(slotField([](StreamSlot& s) { return s.closing.load(); }), 1);
        ASSERT_TRUE(waitUntil([&] { return sdk->LoginState(uid) == 0; }));
        ASSERT_EQ(login(), 0);
        EXPECT_EQ(slotField([](StreamSlot& s) { return s.closing.load(); }), 0);
    }
    const int attempts = sdk->loginAttempts(uid);
    stopCamera();
    ASSERT_TRUE(messages.wait(1));
    // Message 1 is raised first; the reply-poll worker marks the loss and arms the reconnect just
    // after it. Checking at once raced that worker, and an entry armed after the clock moved below
    // would fire seconds late.
    ASSERT_TRUE(waitUntil([&] { return sdk->deviceState(uid) == DeviceState::kLost && sdk->reconnectEntry(uid).delay != -1; }));
    EXPECT_EQ(sdk->deviceState(uid), DeviceState::kLost);
    EXPECT_EQ(sdk->LoginState(uid), 0);
    EXPECT_EQ(sdk->reconnectEntry(uid).delay, LumoraInstance::kPollLossDelay);
    EXPECT_EQ(sdk->GetNetworkEth(uid, results.callback(9)), -11);

    startCamera();
    clock.advance(9000);
    scanPasses();
    EXPECT_EQ(messages.count(2), 0u);
    EXPECT_EQ(sdk->loginAttempts(uid), attempts);
    clock.advance(2001);
    ASSERT_TRUE(messages.wait(2));
    EXPECT_EQ(sdk->LoginState(uid), 1);
    EXPECT_EQ(sdk->deviceState(uid), DeviceState::kLoggedIn);
    EXPECT_EQ(sdk->reconnectEntry(uid).delay, -1);
    const auto calls = messages.calls();
    EXPECT_EQ(calls.back().message, 2);
    EXPECT_EQ(calls.back().uid, uid);
    // Requests work again on the new link.
    ASSERT_GE(sdk->GetTimezone(uid, results.callback(3)), 0);
    ASSERT_TRUE(results.wait(3));
    EXPECT_EQ(results.calls(3)[0].result, 0);
}

INSTANTIATE_TEST_SUITE_P(Loss, SdkReconnect,
                         ::testing::Values(ReconnectCase{"Fresh", false}, ReconnectCase{"AfterLogoutAndLogin", true}),
                         [](const ::testing::TestParamInfo<ReconnectCase>& param) { return std::string(param.param.name); });

// The reply poll's read of a link that LogoutDev closes under it ends "closed" on the old link;
// a login made after the logout connects the next link and must hear only from that one.
TEST_F(SdkCore, LoginAfterALogoutIsNotAnsweredByTheEndOfTheClosedLink)
{
    ASSERT_EQ(login(), 0);
    int oldHandle = -1;
    sdk->withDevice(uid, [&](DeviceEntry& e) { oldHandle = e.session->parser()->link()->handle(); });
    ASSERT_GE(oldHandle, 0);
    struct Release {
        ~Release() { vendor::releaseHeld(vendor::FaultCall::PpcsRead); }
    } release;
    vendor::holdNext(vendor::FaultCall::PpcsRead, oldHandle, 0);
    ASSERT_TRUE(vendor::waitHeld(vendor::FaultCall::PpcsRead, 10000));

    sdk->LogoutDev(uid);
    ASSERT_EQ(sdk->LoginState(uid), 0);
    const size_t before = results.count(4003);
    sdk->LoginDev(uid, kPassword, results.callback(4003)); // connects the next link, sends the login
    ASSERT_EQ(sdk->LoginState(uid), 1);
    vendor::releaseHeld(vendor::FaultCall::PpcsRead); // the old link's read now ends as closed

    ASSERT_TRUE(results.wait(4003, before + 1));
    EXPECT_EQ(results.calls(4003).back().result, 0);
    pollPasses();
    EXPECT_EQ(results.count(4003), before + 1);
    EXPECT_EQ(sdk->LoginState(uid), 1);
    EXPECT_EQ(sdk->deviceState(uid), DeviceState::kLoggedIn);
    EXPECT_EQ(messages.count(1), 0u);
    ASSERT_GE(sdk->GetTimezone(uid, results.callback(3)), 0);
    ASSERT_TRUE(results.wait(3));
    EXPECT_EQ(results.calls(3)[0].result, 0);
}

TEST_F(SdkCore, LoggedOutDeviceIsNotReconnected)
{
    ASSERT_EQ(login(), 0);
    sdk->LogoutDev(uid);
    ASSERT_TRUE(waitUntil([&] { return sdk->LoginState(uid) == 0; }));
    const int attempts = sdk->loginAttempts(uid);
    clock.advance(60000);
    scanPasses();
    EXPECT_EQ(sdk->loginAttempts(uid), attempts);
    EXPECT_EQ(messages.count(2), 0u);
}

TEST_F(SdkCore, StreamSideLossArmsFifteenSecondsAndKeepsTheFirstTick)
{
    ASSERT_EQ(login(), 0);
    sdk->OnDevLost(uid, 0);
    ASSERT_EQ(messages.count(1), 1u);
    const ReconnectEntry first = sdk->reconnectEntry(uid);
    EXPECT_EQ(first.delay, LumoraInstance::kStreamLossDelay);
    clock.advance(5000);
    sdk->OnDevLost(uid, 0);
    EXPECT_EQ(sdk->reconnectEntry(uid).tick, first.tick);
    // A second stream of the same outage reports it too: the application is told once.
    EXPECT_EQ(messages.count(1), 1u);

    // Without a message callback a loss is not even recorded.
    sdk->SetMSGCallBack(nullptr);
    sdk->OnDevLost("HOWUNKNOWN1", 0);
    EXPECT_EQ(sdk->reconnectEntry("HOWUNKNOWN1").delay, -1);
}

TEST_F(SdkCore, DeInitEndsTheTasksAndNoCallbackFollows)
{
    ASSERT_EQ(login(), 0);
    camera().setMuted({1042});
    ASSERT_GE(sdk->GetNetworkEth(uid, results.callback(1)), 0);
    sdk->DeInitLib();
    const uint64_t passes = sdk->pollPasses();
    clock.advance(60000);
    // The poll task ends after the pass that was running; nothing sweeps the request any more.
    ASSERT_TRUE(waitUntil([&] { return sdk->pollPasses() <= passes + 1; }));
    EXPECT_EQ(results.count(1), 0u);
    camera().pushAlarm("{}");
    EXPECT_EQ(messages.count(1502), 0u);
}

} // namespace
