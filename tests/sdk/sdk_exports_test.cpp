// libLumora as an application uses it: linked against libLumora.so through its public header
// alone, against camsim and tovel-rendezvous processes on loopback.
#include "DeploymentSettings.h"
#include "libLumora.h"

#include "CameraProcess.h"
#include "SdkTestSupport.h"

#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <cctype>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <vector>

namespace {

using sdktest::CameraProcess;
using sdktest::MessageRecorder;
using sdktest::RendezvousProcess;
using sdktest::ResultRecorder;
using sdktest::waitUntil;

constexpr const char* kPassword = "export-secret";
constexpr const char* kUnknownUid = "NOSUCHDEVICE0001";

std::string libraryPath()
{
    return std::string(LUMORA_BINARY_DIR) + "/sdk/libLumora.so";
}

std::set<std::string> headerNames()
{
    std::ifstream in(std::string(LUMORA_SOURCE_DIR) + "/sdk/include/libLumora.h");
    std::set<std::string> names;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("LUMORA_API ", 0) != 0)
            continue;
        const size_t paren = line.find('(');
        size_t begin = paren;
        while (begin > 0 && (std::isalnum(static_cast<unsigned char>(line[begin - 1])) || line[begin - 1] == '_'))
            --begin;
        names.insert(line.substr(begin, paren - begin));
    }
    return names;
}

// True when `line` has the log layout "yy-mm-dd hh:mm:ss,mmm[.uuu] [thread] LEVEL : message".
bool logLineMatches(const std::string& line, const std::string& level, const std::string& message)
{
    const std::string shape = "dd-dd-dd dd:dd:dd,d";
    if (line.size() < shape.size())
        return false;
    for (size_t i = 0; i < shape.size(); ++i)
        if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(line[i])) : line[i] != shape[i])
            return false;
    size_t i = shape.size();
    while (i < line.size() && (std::isdigit(static_cast<unsigned char>(line[i])) || line[i] == '.'))
        ++i;
    if (line.compare(i, 2, " [") != 0)
        return false;
    const size_t close = line.find("] ", i);
    if (close == std::string::npos || close == i + 2)
        return false;
    return line.substr(close + 2) == level + " : " + message;
}

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// ---- The exported names

TEST(SdkExports, TheLibraryShowsExactlyTheHundredAndFifteenNames)
{
    const std::set<std::string> declared = headerNames();
    ASSERT_EQ(declared.size(), 115u);

    std::set<std::string> dynamic;
    FILE* nm = ::popen(("nm -D --defined-only " + libraryPath()).c_str(), "r");
    ASSERT_NE(nm, nullptr);
    char line[512];
    while (std::fgets(line, sizeof line, nm) != nullptr) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name)
            dynamic.insert(name);
    }
    ASSERT_EQ(::pclose(nm), 0);
    EXPECT_EQ(dynamic, declared);

    void* library = ::dlopen(libraryPath().c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(library, nullptr);
    for (const auto& name : declared)
        EXPECT_NE(::dlsym(library, name.c_str()), nullptr) << name;
    ::dlclose(library);
}

// ---- Every export without a device

struct NoDeviceCase {
    const char* name;
    int expected;
    std::function<int(DeviceResultCallback)> call;
};

void PrintTo(const NoDeviceCase& c, std::ostream* os)
{
    *os << c.name;
}

#define UID_CB(f) NoDeviceCase{#f, -11, [](DeviceResultCallback cb) { return f(kUnknownUid, std::move(cb)); }}
#define UID_TEXT_CB(f) NoDeviceCase{#f, -11, [](DeviceResultCallback cb) { return f(kUnknownUid, "{}", std::move(cb)); }}
#define VOID_CALL(name, body) NoDeviceCase{name, 0, [](DeviceResultCallback cb) { body; return 0; }}

const NoDeviceCase kNoDeviceCases[] = {
    UID_CB(StartDevDebug), UID_CB(GetNetworkEth), UID_CB(GetWirelessEth), UID_CB(SearchWireless), UID_CB(GetTimezone),
    UID_CB(GetMobileNet), UID_CB(GetFTPSetting), UID_CB(GetAlarmSetting), UID_CB(GetPTZ), UID_CB(GetPresetPTZ),
    UID_CB(GetInOutDoor), UID_CB(GetExposureType), UID_CB(GetAutoExposure), UID_CB(GetPicColor),
    UID_CB(GetWhiteBalance), UID_CB(GetWDR), UID_CB(GetDecNoise), UID_CB(SetDefault), UID_CB(GetParam), UID_CB(Reboot),
    UID_CB(SetSDFormat), UID_CB(GetUpdateInfo), UID_CB(GetDevRecPath), UID_CB(GetDevAlarmRecPath),
    UID_CB(GetVideoEncSetting), UID_CB(TestSDSata), UID_CB(GetP2PServer), UID_CB(BeginTalk), UID_CB(EndTalk),
    UID_TEXT_CB(SetNetworkEth), UID_TEXT_CB(SetWirelessEth), UID_TEXT_CB(GetRecSetting), UID_TEXT_CB(SetRecSetting),
    UID_TEXT_CB(SetTimezone), UID_TEXT_CB(SetMobileNet), UID_TEXT_CB(SetFTPSetting), UID_TEXT_CB(SetAlarmSetting),
    UID_TEXT_CB(GetOSDSetting), UID_TEXT_CB(SetOSDSetting), UID_TEXT_CB(GoPTZ), UID_TEXT_CB(SetPresetPTZ),
    UID_TEXT_CB(GoPresetPTZ), UID_TEXT_CB(GetColorSetting), UID_TEXT_CB(SetColorSetting), UID_TEXT_CB(SetMirrorFlip),
    UID_TEXT_CB(SetAntiFilicker), UID_TEXT_CB(SetIRCut), UID_TEXT_CB(SetInOutDoor), UID_TEXT_CB(SetAutoExposure),
    UID_TEXT_CB(SetExposureType), UID_TEXT_CB(SetPicColor), UID_TEXT_CB(SetWhiteBalance), UID_TEXT_CB(SetWDR),
    UID_TEXT_CB(SetDecNoise), UID_TEXT_CB(ResetPassword), UID_TEXT_CB(SetAutoUpdate), UID_TEXT_CB(SendUpdate),
    UID_TEXT_CB(DevUpdata), UID_TEXT_CB(GetDevSnapshot), UID_TEXT_CB(GetDevRecList), UID_TEXT_CB(GetDevRecPage),
    UID_TEXT_CB(EndRemoteRecord), UID_TEXT_CB(DownloadRecFile), UID_TEXT_CB(StopDownloadFile),
    UID_TEXT_CB(SetVideoEncSetting), UID_TEXT_CB(SetP2PServer), UID_TEXT_CB(DeleteRecFile),
    NoDeviceCase{"SetUserData", -11,
                 [](DeviceResultCallback cb) {
                     static const char bytes[] = "abc";
                     return SetUserData(kUnknownUid, reinterpret_cast<intptr_t>(bytes), 3, std::move(cb));
                 }},
    NoDeviceCase{"BeginVideo", -11, [](DeviceResultCallback cb) { return BeginVideo(0, kUnknownUid, 1, 0, std::move(cb)); }},
    NoDeviceCase{"EndVideo", -11, [](DeviceResultCallback cb) { return EndVideo(kUnknownUid, 1, 0, std::move(cb)); }},
    NoDeviceCase{"BeginAudio", -11, [](DeviceResultCallback cb) { return BeginAudio(kUnknownUid, 1, 0, std::move(cb)); }},
    NoDeviceCase{"EndAudio", -11, [](DeviceResultCallback cb) { return EndAudio(kUnknownUid, 1, 0, std::move(cb)); }},
    NoDeviceCase{"BeginFace", -11, [](DeviceResultCallback cb) { return BeginFace(kUnknownUid, 0, 0, std::move(cb)); }},
    NoDeviceCase{"EndFace", -11, [](DeviceResultCallback cb) { return EndFace(kUnknownUid, 0, 0, std::move(cb)); }},
    NoDeviceCase{"PlayRemoteRec", -11,
                 [](DeviceResultCallback cb) { return PlayRemoteRec(0, kUnknownUid, "{}", std::move(cb)); }},
    NoDeviceCase{"RePlayVideo", -11, [](DeviceResultCallback) { return RePlayVideo(kUnknownUid); }},
    NoDeviceCase{"StartRecordFile", -11, [](DeviceResultCallback) { return StartRecordFile(kUnknownUid, 0, "/tmp/x.avi"); }},
    NoDeviceCase{"StopRecordFile", -11, [](DeviceResultCallback) { return StopRecordFile(kUnknownUid, 0); }},
    NoDeviceCase{"LogoutDev", 0, [](DeviceResultCallback) { return LogoutDev(kUnknownUid); }},
    NoDeviceCase{"LoginState", 0, [](DeviceResultCallback) { return LoginState(kUnknownUid); }},
    NoDeviceCase{"GetPlayStateMask", 0, [](DeviceResultCallback) { return GetPlayStateMask(kUnknownUid); }},
    NoDeviceCase{"GetPlayPts", 0, [](DeviceResultCallback) { return static_cast<int>(GetPlayPts(kUnknownUid)); }},
    NoDeviceCase{"GetDloadSize", 0, [](DeviceResultCallback) { return static_cast<int>(GetDloadSize(kUnknownUid)); }},
    NoDeviceCase{"GetAVIFileFrames", 0, [](DeviceResultCallback) { return GetAVIFileFrames(); }},
    NoDeviceCase{"GetLocalPlayPos", 0, [](DeviceResultCallback) { return GetLocalPlayPos(); }},
    NoDeviceCase{"SetMSGCallBack", 0, [](DeviceResultCallback) { return SetMSGCallBack(nullptr); }},
    NoDeviceCase{"OpenUSBVideo", -1, [](DeviceResultCallback) { return OpenUSBVideo(); }},
    NoDeviceCase{"CloseUSBVideo", -1, [](DeviceResultCallback) { return CloseUSBVideo(); }},
    NoDeviceCase{"CompareFace", -1, [](DeviceResultCallback) { return CompareFace("a.jpg", "b.jpg"); }},
    NoDeviceCase{"CompareToFile", -1, [](DeviceResultCallback) { return CompareToFile("a.jpg"); }},
    NoDeviceCase{"StartCompareFace", -1, [](DeviceResultCallback) { return StartCompareFace("a.jpg"); }},
    VOID_CALL("SetVideoDataCallBack", SetVideoDataCallBack(kUnknownUid, nullptr)),
    VOID_CALL("SetbeUseHardware", SetbeUseHardware(kUnknownUid, true)),
    VOID_CALL("ScaleImage", ScaleImage(2.0f, 1, 1, kUnknownUid, 1, 0)),
    VOID_CALL("ResetImage", ResetImage(kUnknownUid, 0)),
    VOID_CALL("RoateImage", RoateImage(kUnknownUid, 90)),
    VOID_CALL("DrawPicture", DrawPicture("", RECT{0, 0, 10, 10}, 0, kUnknownUid)),
    VOID_CALL("SnapStreamPic", SnapStreamPic(kUnknownUid, "/tmp", std::move(cb))),
    VOID_CALL("PauseRemoteRec", PauseRemoteRec(kUnknownUid, "{}", std::move(cb))),
    VOID_CALL("SeekRemoteRec", SeekRemoteRec(kUnknownUid, "{}", std::move(cb))),
    VOID_CALL("EndLocalAVIFile", EndLocalAVIFile()),
    VOID_CALL("SetAVIFileFrame", SetAVIFileFrame(5)),
    VOID_CALL("LocalPlayOrStop", LocalPlayOrStop(1)),
    VOID_CALL("SetDownloadPath", SetDownloadPath("C:\\x\\Download")),
    VOID_CALL("SetSnapPath", SetSnapPath("C:\\x\\Snap")),
    VOID_CALL("SetFacePath", SetFacePath("C:\\x\\Face")),
    VOID_CALL("SetRecPath", SetRecPath("C:\\x\\Record")),
    VOID_CALL("SetComparePath", SetComparePath("C:\\x\\Compare")),
    VOID_CALL("SetAlarmPath", SetAlarmPath("C:\\x\\Alarm")),
    VOID_CALL("CancelSearch", CancelSearch()),
};

class SdkNoDevice : public ::testing::TestWithParam<NoDeviceCase> {};

TEST_P(SdkNoDevice, AnswersAtOnceAndNeverCallsBack)
{
    ResultRecorder results;
    EXPECT_EQ(GetParam().call(results.callback(1)), GetParam().expected);
    EXPECT_EQ(results.total(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Exports, SdkNoDevice, ::testing::ValuesIn(kNoDeviceCases),
                         [](const ::testing::TestParamInfo<NoDeviceCase>& param) { return std::string(param.param.name); });

TEST(SdkExports, LocalPlayerCallsWithoutAPlayerAreHarmless)
{
    EXPECT_LT(PlayLocalAVIFile("/nonexistent/file.avi", nullptr), 0);
    EXPECT_EQ(GetAVIFileFrames(), 0);
    EXPECT_EQ(GetLocalPlayPos(), 0);
}

// ---- Against cameras

// One request of the device-settings family: the reply code the camera answers with and how
// many replies it sends (two for a firmware upgrade: progress 50 and 100).
struct RequestCase {
    const char* name;
    int reply;
    size_t replies;
    std::function<int(const std::string&, DeviceResultCallback)> call;
};

#define REQ(f, code) RequestCase{#f, code, 1, [](const std::string& u, DeviceResultCallback cb) { return f(u, std::move(cb)); }}
#define REQ_TEXT(f, code, text)                                                                                    \
    RequestCase{#f, code, 1, [](const std::string& u, DeviceResultCallback cb) { return f(u, text, std::move(cb)); }}

const std::vector<RequestCase>& requestTable()
{
    static const std::vector<RequestCase> table = {
        REQ(StartDevDebug, 1512), REQ(GetNetworkEth, 1043), REQ_TEXT(SetNetworkEth, 1041, R"({"DHCP":0})"),
        REQ(GetWirelessEth, 1051), REQ_TEXT(SetWirelessEth, 1049, R"({"Enable":1})"), REQ(SearchWireless, 1053),
        REQ(GetMobileNet, 1047), REQ_TEXT(SetMobileNet, 1045, R"({"enable":1})"), REQ(GetTimezone, 1403),
        REQ_TEXT(SetTimezone, 1405, R"({"TimeZone":8,"NtpEnable":0})"),
        REQ_TEXT(GetRecSetting, 1073, R"({"Path":"/mnt/sdcard0/media/sensor0","Vich":0})"),
        REQ_TEXT(SetRecSetting, 1071, R"({"RecTime":10})"), REQ(SetSDFormat, 1508), REQ(TestSDSata, 1528),
        REQ(GetAlarmSetting, 1069), REQ_TEXT(SetAlarmSetting, 1067, R"({"Enable":1})"), REQ(GetFTPSetting, 1485),
        REQ_TEXT(SetFTPSetting, 1483, R"({"Server":"127.0.0.1"})"), REQ_TEXT(GetOSDSetting, 1506, R"({"Vich":0})"),
        REQ_TEXT(SetOSDSetting, 1504, R"({"Name":"cam"})"), REQ_TEXT(GetColorSetting, 1497, R"({"Vich":0})"),
        REQ_TEXT(SetColorSetting, 1495, R"({"Brightness":128})"), REQ(GetPicColor, 1431),
        REQ_TEXT(SetPicColor, 1433, R"({"Mode":1})"), REQ(GetInOutDoor, 1435), REQ_TEXT(SetInOutDoor, 1437, R"({"Env":0})"),
        REQ(GetExposureType, 1419), REQ_TEXT(SetExposureType, 1421, R"({"Type":0})"),
        REQ_TEXT(SetAutoExposure, 1421, R"({"Type":1})"), REQ(GetAutoExposure, 1423), REQ(GetDecNoise, 1439),
        REQ_TEXT(SetDecNoise, 1441, R"({"Val3D":3})"), REQ(GetWDR, 1443), REQ_TEXT(SetWDR, 1445, R"({"Enable":1})"),
        REQ(GetWhiteBalance, 1447), REQ_TEXT(SetWhiteBalance, 1449, R"({"Mode":0})"),
        REQ_TEXT(SetMirrorFlip, 1417, R"({"Mirror":1})"), REQ_TEXT(SetAntiFilicker, 1465, R"({"Freq":50})"),
        REQ_TEXT(SetIRCut, 1499, R"({"Mode":0})"), REQ(GetVideoEncSetting, 1057),
        REQ_TEXT(SetVideoEncSetting, 1055, R"({"VideoEncode":[]})"), REQ(GetPTZ, 1409),
        REQ_TEXT(GoPTZ, 1065, R"({"Cmd":1})"), REQ(GetPresetPTZ, 1477), REQ_TEXT(SetPresetPTZ, 1479, R"({"BitID":1})"),
        REQ_TEXT(GoPresetPTZ, 1481, R"({"BitID":1})"), REQ(GetP2PServer, 1532), REQ_TEXT(SetP2PServer, 1530, "LOOPBACK"),
        REQ(GetParam, 1095), REQ(Reboot, 1105), REQ(SetDefault, 1103), REQ(GetUpdateInfo, 1099),
        REQ_TEXT(SetAutoUpdate, 1101, R"({"AutoUpgrade":true})"), REQ(GetDevRecPath, 1073), REQ(GetDevAlarmRecPath, 1073),
        REQ_TEXT(GetDevRecList, 1075, R"({"t":0})"), REQ_TEXT(GetDevRecPage, 1077, R"({"p":0})"),
        RequestCase{"SendUpdate", 1081, 2,
                    [](const std::string& u, DeviceResultCallback cb) { return SendUpdate(u, R"({"Url":"x"})", std::move(cb)); }},
        RequestCase{"DevUpdata", 1081, 2,
                    [](const std::string& u, DeviceResultCallback cb) { return DevUpdata(u, R"({"Url":"x"})", std::move(cb)); }},
        REQ_TEXT(ResetPassword, 1023, kPassword),
    };
    return table;
}

// Request texts that do not parse: refused at once with the builder's answer.
struct BadTextCase {
    const char* name;
    int expected;
    std::function<int(const std::string&, const std::string&, DeviceResultCallback)> call;
};

#define BAD(f, expected) BadTextCase{#f, expected, [](const std::string& u, const std::string& t, DeviceResultCallback cb) { return f(u, t, std::move(cb)); }}

const std::vector<BadTextCase>& badTextTable()
{
    static const std::vector<BadTextCase> table = {
        BAD(SetNetworkEth, -1),    BAD(SetWirelessEth, -1), BAD(SetMobileNet, -1),     BAD(SetTimezone, -1),
        BAD(GetRecSetting, -1),    BAD(SetRecSetting, -1),  BAD(SetAlarmSetting, -1),  BAD(GetOSDSetting, -1),
        BAD(SetOSDSetting, -1),    BAD(GetColorSetting, -11), BAD(SetColorSetting, -11), BAD(SetPicColor, -11),
        BAD(SetInOutDoor, -11),    BAD(SetExposureType, -11), BAD(SetAutoExposure, -11), BAD(SetDecNoise, -11),
        BAD(SetWDR, -11),          BAD(SetWhiteBalance, -11), BAD(SetMirrorFlip, -11),  BAD(SetAntiFilicker, -11),
        BAD(SetIRCut, -11),        BAD(SetVideoEncSetting, -1), BAD(GoPTZ, -11),        BAD(SetPresetPTZ, -11),
        BAD(GoPresetPTZ, -11),     BAD(SetAutoUpdate, -11), BAD(SendUpdate, -11),      BAD(DevUpdata, -1),
        BAD(GetDevRecList, -1),    BAD(GetDevRecPage, -1),
    };
    return table;
}

class SdkCamera : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        m_dir = std::filesystem::temp_directory_path() / ("lumora-sdkexp-" + std::to_string(::getpid()));
        std::filesystem::create_directories(m_dir);
        m_oldCwd = std::filesystem::current_path();
        std::filesystem::current_path(m_dir); // the log file is written here
        deployment::setP2PDirectory((m_dir / "devices").string());
        // The library's instance, made by the first export call below, polls for replies every
        // 10 ms instead of 100, so that the request table does not wait seconds for its polls.
        deployment::SdkTimings timings;
        timings.pollIntervalMs = 10;
        timings.snapIntervalMs = 50;
        timings.reconnectScanMs = 10;
        deployment::setSdkTimings(timings);
        ASSERT_TRUE(m_rendezvous.start());
        uid = sdktest::uidFor(GetParam(), "EXP");
        m_camera = std::make_unique<CameraProcess>(
            CameraProcess::Settings{uid, kPassword, GetParam(), m_rendezvous.serverString(), 0});
        ASSERT_TRUE(m_camera->start());
        // Set up twice: the second call must not add a second log appender.
        InitLibLumora(m_rendezvous.serverString().c_str(), 0);
        InitLibLumora(m_rendezvous.serverString().c_str(), 0);
        SetMSGCallBack(messages.callback());
    }

    void TearDown() override
    {
        m_camera.reset();
        std::filesystem::current_path(m_oldCwd);
        std::filesystem::remove_all(m_dir);
    }

    int login(const std::string& password, int tag)
    {
        // The camera may take a moment to be found through its transport's directory.
        for (int attempt = 0; attempt < 3; ++attempt) {
            const size_t before = results.count(tag);
            LoginDev(uid, password, results.callback(tag));
            if (!results.wait(tag, before + 1, 60000))
                return -999;
            const int result = results.calls(tag).back().result;
            if (result != -1)
                return result;
        }
        return -1;
    }

    std::string uid;
    ResultRecorder results;
    MessageRecorder messages;
    std::filesystem::path m_dir;
    std::unique_ptr<CameraProcess> m_camera;

private:
    std::filesystem::path m_oldCwd;
    RendezvousProcess m_rendezvous;
};

TEST_P(SdkCamera, EveryRequestRoundTripsWithItsReplyCodeAndOneCallback)
{
    ASSERT_EQ(login(kPassword, 4003), 0);
    EXPECT_EQ(LoginState(uid), 1);
    const auto& table = requestTable();
    for (size_t i = 0; i < table.size(); ++i) {
        const RequestCase& c = table[i];
        SCOPED_TRACE(c.name);
        const int tag = 100 + static_cast<int>(i);
        ASSERT_GE(c.call(uid, results.callback(tag)), 0);
        ASSERT_TRUE(results.wait(tag, c.replies));
        for (const auto& call : results.calls(tag)) {
            EXPECT_EQ(call.code, c.reply);
            EXPECT_EQ(call.result, 0) << call.text;
            EXPECT_EQ(call.uid, uid);
            EXPECT_TRUE(call.nullData);
        }
    }
    // User data: the bytes at the address go out raw on the media channel and the device's 1510
    // answer comes back. ThroughTek links carry no raw user data: the send answers -1.
    const std::string bytes("\x10\x00\x20user", 7);
    const int sent = SetUserData(uid, reinterpret_cast<intptr_t>(bytes.data()), static_cast<int>(bytes.size()),
                                 results.callback(1));
    if (GetParam() == "tutk") {
        EXPECT_EQ(sent, -1);
    } else {
        ASSERT_GE(sent, 0);
        ASSERT_TRUE(results.wait(1));
        EXPECT_EQ(results.calls(1)[0].code, 1510);
    }
    // Every request was answered exactly once (twice for the two upgrades).
    for (size_t i = 0; i < table.size(); ++i)
        EXPECT_EQ(results.count(100 + static_cast<int>(i)), table[i].replies) << table[i].name;

    // Texts that do not parse are refused at once.
    for (const BadTextCase& c : badTextTable())
        EXPECT_EQ(c.call(uid, "{not json", results.callback(2)), c.expected) << c.name;
}

TEST_P(SdkCamera, LoginIsLoggedOnceWithoutThePasswordAndAlarmsReachTheMessageCallback)
{
    ASSERT_EQ(login(kPassword, 4003), 0);
    const std::string event = R"({"AlarmType":1})";
    ASSERT_TRUE(m_camera->send("alarm " + event));
    ASSERT_TRUE(messages.wait(1502));
    const auto calls = messages.calls();
    EXPECT_EQ(calls.back().uid, uid);
    EXPECT_EQ(calls.back().text, event);
    EXPECT_EQ(calls.back().value, static_cast<int>(event.size()));
    EXPECT_TRUE(calls.back().terminated);

    const std::string log = readFile(m_dir / "DllSysState.log");
    std::istringstream lines(log);
    std::string line;
    int count = 0;
    while (std::getline(lines, line))
        if (logLineMatches(line, "INFO", "Dev " + uid + " connect success"))
            ++count;
    EXPECT_EQ(count, 1) << log;
    EXPECT_EQ(log.find(kPassword), std::string::npos);
}

TEST_P(SdkCamera, RefusedLoginAnswersMinusOneHundredAndMarksTheSlot)
{
    EXPECT_EQ(login("not-the-password", 4003), -100);
    ASSERT_TRUE(messages.wait(1));
    // The link's own loss report may come before the refusal has been handled.
    EXPECT_TRUE(waitUntil([&] { return (GetPlayStateMask(uid) & 0x8000) != 0; }));
    EXPECT_EQ(LoginState(uid), 0);
    EXPECT_EQ(GetNetworkEth(uid, results.callback(5)), -11);
    // The right password logs in and clears the mark.
    ASSERT_EQ(login(kPassword, 4003), 0);
    EXPECT_FALSE(GetPlayStateMask(uid) & 0x8000);
}

TEST_P(SdkCamera, NoCallbackAfterDeInit)
{
    ASSERT_EQ(login(kPassword, 4003), 0);
    std::atomic<bool> deinitDone{false};
    std::atomic<int> late{0};
    for (int i = 0; i < 10; ++i)
        ASSERT_GE(GetTimezone(uid, [&](int, int, std::string, std::string, char*, int) {
                      if (deinitDone)
                          ++late;
                  }),
                  0);
    // Shut down while the camera's answers are on their way: none of them may reach a callback.
    ASSERT_TRUE(m_camera->waitLines("request 1402", 10));
    DeInitLibLumora();
    deinitDone = true;
    EXPECT_TRUE(m_camera->send("alarm {}"));
    EXPECT_EQ(late.load(), 0);
    EXPECT_EQ(messages.count(1502), 0u);
}

INSTANTIATE_TEST_SUITE_P(Transports, SdkCamera, ::testing::Values("tovel", "cs2", "tutk"),
                         [](const ::testing::TestParamInfo<std::string>& param) { return param.param; });

// ---- LAN search through the exports

TEST(SdkSearch, ACameraOnLoopbackAnswersTheSearch)
{
    const auto dir = std::filesystem::temp_directory_path() / ("lumora-sdksearch-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    deployment::setP2PDirectory((dir / "devices").string());
    const int port = 30000 + ::getpid() % 20000;
    // The search target and the length of a search second are read when the library's instance
    // is made, by the first export call.
    deployment::setSearchTarget("127.0.0.1", static_cast<uint16_t>(port));
    deployment::SdkTimings timings;
    timings.searchSecondMs = 100;
    deployment::setSdkTimings(timings);
    const std::string uid = sdktest::uidFor("cs2", "SRCH");
    CameraProcess camera({uid, kPassword, "cs2", "", port});
    ASSERT_TRUE(camera.start());

    // The library keeps the last search's callback: a cancel while no search runs reports the end
    // to it, so what it touches outlives this test.
    struct Found {
        std::mutex mutex;
        std::vector<std::string> answers;
        std::atomic<int> ends{0};
    };
    auto found = std::make_shared<Found>();
    ASSERT_EQ(SearchDev(1, [found](int, int result, std::string, std::string, char* data, int) {
                  if (result < 0 || data == nullptr) {
                      ++found->ends;
                      return;
                  }
                  std::lock_guard<std::mutex> lock(found->mutex);
                  found->answers.emplace_back(data, static_cast<size_t>(result));
              }),
              0);
    ASSERT_TRUE(waitUntil([&] { return found->ends.load() == 1; }, 30000));
    std::lock_guard<std::mutex> lock(found->mutex);
    ASSERT_FALSE(found->answers.empty());
    EXPECT_NE(found->answers.front().find(uid), std::string::npos);
    camera.stop();
    std::filesystem::remove_all(dir);
}

// ---- Crash dump

// The crash tests share the one dump file beside the program: each holds this lock while its
// child crashes and its dump is read, so that two of them run by CTest side by side do not
// remove or overwrite each other's dump.
class DumpFileLock {
public:
    DumpFileLock()
        : m_fd(::open((std::filesystem::path(std::filesystem::read_symlink("/proc/self/exe")).parent_path() /
                       "libLumoraCarsh.lock")
                          .c_str(),
                      O_CREAT | O_RDWR | O_CLOEXEC, 0644))
    {
        if (m_fd >= 0)
            ::flock(m_fd, LOCK_EX);
    }
    ~DumpFileLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    DumpFileLock(const DumpFileLock&) = delete;
    DumpFileLock& operator=(const DumpFileLock&) = delete;

private:
    int m_fd;
};

TEST(SdkCrashDump, ACrashingChildLeavesTheDumpAndStillDiesOfItsSignal)
{
    const DumpFileLock exclusive;
    const std::filesystem::path dump =
        std::filesystem::path(std::filesystem::read_symlink("/proc/self/exe")).parent_path() / "libLumoraCarsh.dmp";
#if defined(__SANITIZE_ADDRESS__)
    // The address sanitizer keeps SIGSEGV and SIGFPE for its own reports.
    const std::vector<int> signals = {SIGABRT};
#else
    const std::vector<int> signals = {SIGSEGV, SIGABRT, SIGFPE};
#endif
    for (int sig : signals) {
        SCOPED_TRACE(sig);
        std::filesystem::remove(dump);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            InitLibLumora("", 0);
            ::raise(sig);
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
#if defined(__SANITIZE_ADDRESS__)
        // The sanitizer's own handler runs after ours and ends the process its way.
        EXPECT_TRUE(WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) != 0));
#else
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), sig);
#endif
        ASSERT_TRUE(std::filesystem::exists(dump));
        const std::string text = readFile(dump);
        EXPECT_NE(text.find("signal " + std::to_string(sig)), std::string::npos) << text;
        EXPECT_NE(text.find("backtrace"), std::string::npos);
    }
    std::filesystem::remove(dump);
}

#if !defined(__SANITIZE_ADDRESS__)
// Recurses until the stack runs out (the limit is far beyond any stack); the frame's array keeps
// the compiler from turning the recursion into a loop.
[[gnu::noinline]] int recurseDeep(long depth)
{
    volatile char frame[512];
    frame[depth % sizeof frame] = static_cast<char>(depth);
    if (depth > (1L << 40))
        return frame[0];
    return recurseDeep(depth + 1) + frame[0];
}

TEST(SdkCrashDump, AStackOverflowStillLeavesTheDump)
{
    const DumpFileLock exclusive;
    const std::filesystem::path dump =
        std::filesystem::path(std::filesystem::read_symlink("/proc/self/exe")).parent_path() / "libLumoraCarsh.dmp";
    std::filesystem::remove(dump);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        InitLibLumora("", 0);
        ::_exit(recurseDeep(0));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGSEGV);
    ASSERT_TRUE(std::filesystem::exists(dump));
    EXPECT_NE(readFile(dump).find("signal " + std::to_string(SIGSEGV)), std::string::npos);
    std::filesystem::remove(dump);
}
#endif

} // namespace
