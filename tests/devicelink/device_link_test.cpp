// The device link end to end against the simulated camera, per transport: login, the command
// set, live media, talk, pictures and record transfers.
#include "CaseName.h"
#include "DeviceFixture.h"
#include "WaitUntil.h"

#include "NetCrypto.h"
#include "NetProtocol.h"

#include <fstream>
#include <json/json.h>

namespace {

Json::Value parseJson(const std::string& text)
{
    Json::Value v;
    Json::Reader reader;
    reader.parse(text, v);
    return v;
}

class DeviceLinkTest : public ::testing::TestWithParam<std::string> {};

TEST_P(DeviceLinkTest, LoginAcceptedWithThePasswordAndRefusedWithout)
{
    {
        DeviceFixture good(GetParam(), "right-pass");
        EXPECT_EQ(good.login("right-pass"), 0);
        EXPECT_TRUE(good.session->LinkUp());
        EXPECT_EQ(good.camera().loggedInSessions(), 1);
    }
    DeviceFixture bad(GetParam(), "right-pass");
    EXPECT_EQ(bad.login("wrong-pass"), -100);
    EXPECT_FALSE(bad.session->LinkUp()) << "a refused login closes the link";
}

// Viewers come and go; the camera lets go of each finished session and its threads, so a camera
// that runs for days does not grow with every connection it has served.
TEST_P(DeviceLinkTest, FinishedSessionsAreReaped)
{
    DeviceFixture fixture(GetParam());
    ASSERT_TRUE(fixture.waitPublished());
    constexpr size_t kViewers = 3;
    for (size_t i = 0; i < kViewers; ++i) {
        NetProImple viewer(fixture.uid, nullptr, nullptr);
        viewer.SendLoginMsg(0, fixture.uid, "secret");
        ASSERT_TRUE(lumora::test::waitUntil([&] { return fixture.camera().requests().size() == i + 1; }));
        viewer.CloseLink();
    }
    EXPECT_TRUE(lumora::test::waitUntil([&] { return fixture.camera().openSessions() == 0; }))
        << fixture.camera().openSessions() << " sessions left open";
    EXPECT_TRUE(lumora::test::waitUntil([&] { return fixture.camera().sessionThreads() == 0; }))
        << fixture.camera().sessionThreads() << " session threads left unjoined";
}

TEST_P(DeviceLinkTest, LoginOnUnknownDeviceFailsWithMinusOne)
{
    DeviceFixture fixture(GetParam());
    ASSERT_TRUE(fixture.waitPublished());
    NetProImple stranger(uidFor(GetParam(), "NOBODY"), nullptr, nullptr);
    EXPECT_EQ(stranger.SendLoginMsg(0, stranger.uid(), "x"), -12);
}

// One row per builder: what it sends, under which document, the reply the SDK waits for, and what
// it gives for a caller's text that does not parse.
struct CommandCase {
    const char* name;
    std::function<int(NetProImple&, const std::string&)> send;
    const char* text; // the caller's text of a good request; nullptr: the builder takes none
    uint16_t command;
    const char* document; // nullptr: empty body
    int reply;
    int badText; // the result for a text that does not parse; 0: the builder does not parse its text
};

const std::vector<CommandCase>& commandTable()
{
    static const std::vector<CommandCase> table = {
        {"GetNetworkEth", [](NetProImple& s, const std::string&) { return s.SendGetNetworkEth(); }, nullptr, 1042, nullptr, 1043, 0},
        {"SetNetworkEth", [](NetProImple& s, const std::string& t) { return s.SendSetNetworkEth(t); }, "{\"DhcpEnble\":1}", 1040, "NetWork.Eth", 1041, -1},
        {"GetWirelessEth", [](NetProImple& s, const std::string&) { return s.SendGetWirelessEth(); }, nullptr, 1050, nullptr, 1051, 0},
        {"SetWirelessEth", [](NetProImple& s, const std::string& t) { return s.SendSetWirelessEth(t); }, "{\"Ssid\":\"x\"}", 1048, "NetWork.Wireless", 1049, -1},
        {"SearchWireless", [](NetProImple& s, const std::string&) { return s.SendSearchWireless(); }, nullptr, 1052, nullptr, 1053, 0},
        {"GetMobileNet", [](NetProImple& s, const std::string&) { return s.SendGetMobileNet(); }, nullptr, 1046, nullptr, 1047, 0},
        {"SetMobileNet", [](NetProImple& s, const std::string& t) { return s.SendSetMobileNet(t); }, "{\"Apn\":\"a\"}", 1044, "Net.Mobile", 1045, -1},
        {"GetTimezone", [](NetProImple& s, const std::string&) { return s.SendGetTimezone(); }, nullptr, 1402, nullptr, 1403, 0},
        {"SetTimezone", [](NetProImple& s, const std::string& t) { return s.SendSetTimezone(t); }, "{\"TimeZone\":2}", 1404, "Time.Conf", 1405, -1},
        {"GetRecSetting", [](NetProImple& s, const std::string& t) { return s.SendGetRecSetting(t); }, "{\"Vich\":0}", 1072, "Rec.Conf", 1073, -1},
        {"SetRecSetting", [](NetProImple& s, const std::string& t) { return s.SendSetRecSetting(t); }, "{\"RecMode\":2}", 1070, "Rec.Conf", 1071, -1},
        {"SetSDFormat", [](NetProImple& s, const std::string&) { return s.SendSetSDFormat(); }, nullptr, 1507, nullptr, 1508, 0},
        {"TestSDSata", [](NetProImple& s, const std::string&) { return s.SendTestSDSata(); }, nullptr, 1527, "DiskTestCfg.info", 1528, 0},
        {"GetAlarmSetting", [](NetProImple& s, const std::string&) { return s.SendGetAlarmSetting(); }, nullptr, 1068, nullptr, 1069, 0},
        {"SetAlarmSetting", [](NetProImple& s, const std::string& t) { return s.SendSetAlarmSetting(t); }, "{\"Enable\":0}", 1066, "Alarm.MoveAlarm", 1067, -1},
        {"GetFTPSetting", [](NetProImple& s, const std::string&) { return s.SendGetFTPSetting(); }, nullptr, 1484, nullptr, 1485, 0},
        {"SetFTPSetting", [](NetProImple& s, const std::string& t) { return s.SendSetFTPSetting(t); }, "{\"Host\":\"h\"}", 1482, "FtpCfg.info", 1483, 0},
        {"GetOSDSetting", [](NetProImple& s, const std::string& t) { return s.SendGetOSDSetting(t); }, "{\"ViCh\":0}", 1505, "OsdGetCfg.info", 1506, -1},
        {"SetOSDSetting", [](NetProImple& s, const std::string& t) { return s.SendSetOSDSetting(t); }, "{\"TimeEnable\":0}", 1503, "OsdCfg.info", 1504, -1},
        {"GetColorSetting", [](NetProImple& s, const std::string& t) { return s.SendGetColorSetting(t); }, "{}", 1496, "CamCfg.info", 1497, -11},
        {"SetColorSetting", [](NetProImple& s, const std::string& t) { return s.SendSetColorSetting(t); }, "{\"Hue\":1}", 1494, "CamCfg.info", 1495, -11},
        {"GetPicColor", [](NetProImple& s, const std::string&) { return s.SendGetPicColor(); }, nullptr, 1430, nullptr, 1431, 0},
        {"SetPicColor", [](NetProImple& s, const std::string& t) { return s.SendSetPicColor(t); }, "{\"a\":1}", 1432, "IspPicColor.info", 1433, -11},
        {"GetInOutDoor", [](NetProImple& s, const std::string&) { return s.SendGetInOutDoor(); }, nullptr, 1434, nullptr, 1435, 0},
        {"SetInOutDoor", [](NetProImple& s, const std::string& t) { return s.SendSetInOutDoor(t); }, "{\"a\":1}", 1436, "IspExpEnv.info", 1437, -11},
        {"GetExposureType", [](NetProImple& s, const std::string&) { return s.SendGetExposureType(); }, nullptr, 1418, nullptr, 1419, 0},
        {"SetExposureType", [](NetProImple& s, const std::string& t) { return s.SendSetExposureType(t); }, "{\"a\":1}", 1420, "IsExpType.info", 1421, -11},
        {"GetAutoExposure", [](NetProImple& s, const std::string&) { return s.SendGetAutoExposure(); }, nullptr, 1422, nullptr, 1423, 0},
        {"GetDecNoise", [](NetProImple& s, const std::string&) { return s.SendGetDecNoise(); }, nullptr, 1438, nullptr, 1439, 0},
        {"SetDecNoise", [](NetProImple& s, const std::string& t) { return s.SendSetDecNoise(t); }, "{\"a\":1}", 1440, "IspDenoise.info", 1441, -11},
        {"GetWDR", [](NetProImple& s, const std::string&) { return s.SendGetWDR(); }, nullptr, 1442, nullptr, 1443, 0},
        {"SetWDR", [](NetProImple& s, const std::string& t) { return s.SendSetWDR(t); }, "{\"a\":1}", 1444, "IspWdr.info", 1445, -11},
        {"GetWhiteBalance", [](NetProImple& s, const std::string&) { return s.SendGetWhiteBalance(); }, nullptr, 1446, nullptr, 1447, 0},
        {"SetWhiteBalance", [](NetProImple& s, const std::string& t) { return s.SendSetWhiteBalance(t); }, "{\"a\":1}", 1448, "IspWhBalance.info", 1449, -11},
        {"SetMirrorFlip", [](NetProImple& s, const std::string& t) { return s.SendSetMirrorFlip(t); }, "{\"a\":1}", 1416, "IspOverTurn.info", 1417, -11},
        {"SetAntiFilicker", [](NetProImple& s, const std::string& t) { return s.SendSetAntiFilicker(t); }, "{\"a\":1}", 1464, "IspAntiFlk.info", 1465, -11},
        {"SetIRCut", [](NetProImple& s, const std::string& t) { return s.SendSetIRCut(t); }, "{\"a\":1}", 1498, "IRCutCfg.info", 1499, -11},
        {"GetVideoEncSetting", [](NetProImple& s, const std::string&) { return s.SendGetVideoEncSetting(); }, nullptr, 1056, nullptr, 1057, 0},
        {"SetVideoEncSetting", [](NetProImple& s, const std::string& t) { return s.SendSetVideoEncSetting(t); }, "{\"a\":1}", 1054, "AVEnc.VideoEncode", 1055, -1},
        {"GetPTZ", [](NetProImple& s, const std::string&) { return s.SendGetPTZ(); }, nullptr, 1408, nullptr, 1409, 0},
        {"GoPTZ", [](NetProImple& s, const std::string& t) { return s.SendGoPTZ(t); }, "{\"a\":1}", 1064, "PtzCtrlMsg.info", 1065, -11},
        {"GetPresetPTZ", [](NetProImple& s, const std::string&) { return s.SendGetPresetPTZ(); }, nullptr, 1476, nullptr, 1477, 0},
        {"SetPresetPTZ", [](NetProImple& s, const std::string& t) { return s.SendSetPresetPTZ(t); }, "{\"a\":1}", 1478, "PtzPreBit.info", 1479, -11},
        {"GoPresetPTZ", [](NetProImple& s, const std::string& t) { return s.SendGoPresetPTZ(t); }, "{\"a\":1}", 1480, "PtzOperateBit.info", 1481, -11},
        {"GetP2PServer", [](NetProImple& s, const std::string&) { return s.SendGetP2PServer(); }, nullptr, 1531, nullptr, 1532, 0},
        {"SetP2PServer", [](NetProImple& s, const std::string& t) { return s.SendSetP2PServer(t); }, "ABCD", 1529, "P2pSerCfg.info", 1530, 0},
        {"GetParam", [](NetProImple& s, const std::string&) { return s.SendGetParam(); }, nullptr, 1094, nullptr, 1095, 0},
        {"Reboot", [](NetProImple& s, const std::string&) { return s.SendReboot(); }, nullptr, 1104, nullptr, 1105, 0},
        {"SetDefault", [](NetProImple& s, const std::string&) { return s.SendSetDefault(); }, nullptr, 1102, nullptr, 1103, 0},
        {"GetUpdateInfo", [](NetProImple& s, const std::string&) { return s.SendGetUpdateInfo(); }, nullptr, 1098, nullptr, 1099, 0},
        {"SetAutoUpdate", [](NetProImple& s, const std::string& t) { return s.SendSetAutoUpdate(t); }, "{\"a\":1}", 1100, "AutoUpgradeSet.info", 1101, -11},
        {"SendUpdate", [](NetProImple& s, const std::string& t) { return s.SendSendUpdate(t); }, "{\"a\":1}", 1080, "Upgrade.info", 1081, -11},
        {"StartDevDebug", [](NetProImple& s, const std::string&) { return s.SendStartDevDebug(); }, nullptr, 1511, nullptr, 1512, 0},
        {"StartTalk", [](NetProImple& s, const std::string&) { return s.SendStartTalk(); }, nullptr, 1006, "Talk.Req", 1007, 0},
        {"BeginFace", [](NetProImple& s, const std::string&) { return s.SendBeginFace(); }, nullptr, 1474, "SnapShoot.info", 1475, 0},
        {"GetDevRecList", [](NetProImple& s, const std::string& t) { return s.SendGetDevRecList(t); }, "{\"a\":1}", 1074, "lir", 1075, -1},
        {"GetDevRecPage", [](NetProImple& s, const std::string& t) { return s.SendGetDevRecPage(t); }, "{\"a\":1}", 1076, "lp", 1077, -1},
    };
    return table;
}

TEST_P(DeviceLinkTest, EveryCommandReachesTheCameraAndIsAnswered)
{
    DeviceFixture fixture(GetParam());
    ASSERT_EQ(fixture.login("secret"), 0);
    for (const CommandCase& c : commandTable()) {
        SCOPED_TRACE(c.name);
        const size_t before = fixture.camera().requests().size();
        ASSERT_GE(c.send(*fixture.session, c.text ? c.text : ""), 0);
        Reply reply;
        ASSERT_TRUE(fixture.waitReply(c.reply, reply)) << "no reply " << c.reply;
        const auto requests = fixture.camera().requests();
        ASSERT_GT(requests.size(), before);
        const camsim::RecordedRequest& got = requests.back();
        EXPECT_EQ(got.command, c.command);
        if (c.document == nullptr) {
            EXPECT_TRUE(got.body.empty());
        } else {
            const Json::Value body = parseJson(got.body);
            ASSERT_TRUE(body.isObject());
            EXPECT_EQ(body.getMemberNames(), std::vector<std::string>{c.document});
        }
    }
}

// A caller's text that is not JSON is refused before anything is sent, with the builder's own
// result (-1, or -11 for the picture, PTZ and update settings); a builder that takes its text as a
// plain string sends it whatever it is. The link serves the next request as before.
TEST_P(DeviceLinkTest, TextThatDoesNotParseIsRefusedWithTheBuildersResult)
{
    DeviceFixture fixture(GetParam());
    ASSERT_EQ(fixture.login("secret"), 0);
    const size_t before = fixture.camera().requests().size();
    const char* const badTexts[] = {"", "{\"a\":", "not json", "{\"a\" 1}"};
    for (const CommandCase& c : commandTable()) {
        if (c.text == nullptr || c.badText == 0)
            continue;
        for (const char* text : badTexts) {
            SCOPED_TRACE(std::string(c.name) + " with \"" + text + "\"");
            EXPECT_EQ(c.send(*fixture.session, text), c.badText);
        }
    }
    // The camera takes requests in order: once the answer to this one is in, anything a refused
    // request had sent would have been recorded before it.
    ASSERT_GE(fixture.session->SendGetNetworkEth(), 0);
    Reply reply;
    ASSERT_TRUE(fixture.waitReply(1043, reply));
    const auto requests = fixture.camera().requests();
    ASSERT_EQ(requests.size(), before + 1) << "a refused request reached the camera";
    EXPECT_EQ(requests.back().command, 1042);
}

TEST_P(DeviceLinkTest, SettingsRoundTripThroughTheCamera)
{
    DeviceFixture fixture(GetParam());
    ASSERT_EQ(fixture.login("secret"), 0);
    ASSERT_GE(fixture.session->SendSetTimezone("{\"TimeZone\": 5, \"NtpServer\": \"127.0.0.9\"}"), 0);
    Reply reply;
    ASSERT_TRUE(fixture.waitReply(1405, reply));
    ASSERT_GE(fixture.session->SendGetTimezone(), 0);
    ASSERT_TRUE(fixture.waitReply(1403, reply));
    const Json::Value doc = parseJson(reply.body)["Time.Conf"];
    EXPECT_EQ(doc["TimeZone"].asInt(), 5);
    EXPECT_EQ(doc["NtpServer"].asString(), "127.0.0.9");
}

TEST_P(DeviceLinkTest, PasswordChangeIsDecipheredByTheCamera)
{
    DeviceFixture fixture(GetParam());
    ASSERT_EQ(fixture.login("secret"), 0);
    ASSERT_GE(fixture.session->SendResetPassword("n3w-p4ss"), 0);
    Reply reply;
    ASSERT_TRUE(fixture.waitReply(1023, reply));
    EXPECT_EQ(fixture.camera().password(), "n3w-p4ss");
    EXPECT_EQ(fixture.session->SendResetPassword(std::string(128, 'x')), -1) << "too long for the device's buffers";
}

TEST_P(DeviceLinkTest, LiveFramesArriveWholeAndInOrder)
{
    DeviceFixture fixture(GetParam());
    ASSERT_EQ(fixture.login("secret"), 0);
    ASSERT_GE(fixture.session->SendStartVideo(0, 0), 0);
    Reply reply;
    ASSERT_TRUE(fixture.waitReply(3006, reply));
    EXPECT_EQ(parseJson(reply.body)["Stream.StreamInfo"]["VideoStream"]["Width"].asInt(), 1280);

    uint64_t lastPts = 0;
    for (uint32_t i = 0; i < 30; ++i) {
        std::vector<char> got;
        int type = -1;
        uint64_t pts = 0;
        const int rc = fixture.session->ReadMediaData(
            0, 0,
            [&](int p1, int p2, std::vector<char>& frame, unsigned length, std::string, int, uint64_t framePts, int) {
                type = p1;
                EXPECT_EQ(p2, 0);
                got.assign(frame.data(), frame.data() + length);
                pts = framePts;
            },
            0);
        ASSERT_EQ(rc, 0);
        const auto expected = camsim::CamSim::syntheticFrame(i);
        ASSERT_EQ(got.size(), expected.size()) << "frame " << i;
        EXPECT_TRUE(got == expected) << "frame " << i;
        EXPECT_EQ(type, camsim::CamSim::syntheticKeyFrame(i) ? 5 : 1);
        EXPECT_GE(pts, lastPts);
        lastPts = pts;
    }
    EXPECT_GE(fixture.session->SendStopVideo(0, 0), 0);
}

TEST_P(DeviceLinkTest, TalkFramesReachTheCamera)
{
    DeviceFixture fixture(GetParam());
    ASSERT_EQ(fixture.login("secret"), 0);
    ASSERT_GE(fixture.session->SendStartTalk(), 0);
    Reply reply;
    ASSERT_TRUE(fixture.waitReply(1007, reply));
    for (int i = 0; i < 5; ++i)
        ASSERT_GE(fixture.session->parser()->SendAudioFrame(std::vector<char>(320, static_cast<char>(i))), 0);
    ASSERT_TRUE(fixture.camera().waitForUplinks(5, 5000));
    const auto uplinks = fixture.camera().uplinks();
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(uplinks[i].isCommand);
        EXPECT_EQ(uplinks[i].frameType, 20);
        EXPECT_EQ(uplinks[i].data, std::vector<char>(320, static_cast<char>(i)));
    }
}

TEST_P(DeviceLinkTest, PictureArrivesOnTheSnapshotChannel)
{
    DeviceFixture fixture(GetParam());
    ASSERT_EQ(fixture.login("secret"), 0);
    ASSERT_GE(fixture.session->SendGetDevSnapshot("{}"), 0);
    Reply reply;
    ASSERT_TRUE(fixture.waitReply(1475, reply));
    std::vector<char> picture;
    fixture.session->SetSnapDataCallback(
        [&](int, int, std::vector<char>& frame, unsigned length, std::string, int kind, uint64_t, int) {
            EXPECT_EQ(kind, 5);
            picture.assign(frame.data(), frame.data() + length);
        });
    for (int i = 0; i < 200 && picture.empty(); ++i)
        fixture.session->ReadMediaData(5, 0, nullptr, 0);
    ASSERT_EQ(picture.size(), 30000u);
    EXPECT_EQ(static_cast<unsigned char>(picture[0]), 0xFF);
    EXPECT_EQ(static_cast<unsigned char>(picture[1]), 0xD8);
}

// A ThroughTek message carries at most 255 packets of 924 bytes. A longer request is refused with
// an error before anything is sent, and the link goes on serving the next request.
TEST(TutkDeviceLink, RequestTooLongForOneMessageIsRefusedAndTheLinkStaysUsable)
{
    DeviceFixture fixture("tutk");
    ASSERT_EQ(fixture.login("secret"), 0);
    const size_t before = fixture.camera().requests().size();
    const std::string tooLong = "{\"Ssid\":\"" + std::string(255 * 924, 'x') + "\"}";
    EXPECT_EQ(fixture.session->SendSetWirelessEth(tooLong), kLumoraRequestTooLarge);
    EXPECT_EQ(fixture.session->SendGetNetworkEth(), 0);
    Reply reply;
    ASSERT_TRUE(fixture.waitReply(1043, reply));
    const auto requests = fixture.camera().requests();
    ASSERT_EQ(requests.size(), before + 1) << "nothing of the refused request reached the camera";
    EXPECT_EQ(requests.back().command, 1042);
}

INSTANTIATE_TEST_SUITE_P(Transports, DeviceLinkTest, ::testing::Values("cs2", "tutk"), lumora::test::CaseName{});

class RecordTransferTest : public ::testing::TestWithParam<std::string> {};

TEST_P(RecordTransferTest, DownloadIsByteExactAndEndsWithTheEndChunk)
{
    const auto dir = std::filesystem::temp_directory_path() / ("camsim-data-" + std::to_string(::getpid()) + GetParam());
    std::filesystem::create_directories(dir / "sd");
    std::string content(300000, '\0');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>((i * 131) ^ (i >> 8));
    {
        std::ofstream out(dir / "sd" / "rec1.avi", std::ios::binary);
        out << content;
    }
    camsim::CamSimOptions options;
    options.dataDir = dir.string();
    DeviceFixture fixture(GetParam(), "secret", options);
    ASSERT_EQ(fixture.login("secret"), 0);
    ASSERT_GE(fixture.session->SendRecFileOp("{\"op\": 10, \"p\": \"/mnt/s0/rec1.avi\", \"n\": \"x.avi\"}"), 0);
    Reply reply;
    ASSERT_TRUE(fixture.waitReply(1079, reply));
    std::string received;
    bool ended = false;
    fixture.session->SetRecDataCallback(
        [&](int p1, int p2, std::vector<char>& frame, unsigned length, std::string, int kind, uint64_t, int) {
            EXPECT_EQ(kind, 4);
            if (length == 0 && p1 == 0 && p2 == 0)
                ended = true;
            else
                received.append(frame.data(), length);
        });
    for (int i = 0; i < 500 && !ended; ++i)
        ASSERT_EQ(fixture.session->ReadMediaData(4, 0, nullptr, 0), 0);
    EXPECT_TRUE(ended);
    EXPECT_TRUE(received == content) << received.size() << " of " << content.size() << " bytes";
    std::filesystem::remove_all(dir);
}

// The ThroughTek reader reports the stream end as a zero-size frame; the chunked readers as the
// end chunk. Both are covered by the same expectation.
INSTANTIATE_TEST_SUITE_P(Transports, RecordTransferTest, ::testing::Values("cs2", "tutk"), lumora::test::CaseName{});

} // namespace
