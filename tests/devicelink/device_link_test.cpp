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

// One row per builder: what it sends, under which document, and the reply the SDK waits for.
struct CommandCase {
    const char* name;
    std::function<int(NetProImple&)> send;
    uint16_t command;
    const char* document; // nullptr: empty body
    int reply;
};

const std::vector<CommandCase>& commandTable()
{
    static const std::vector<CommandCase> table = {
        {"GetNetworkEth", [](NetProImple& s) { return s.SendGetNetworkEth(); }, 1042, nullptr, 1043},
        {"SetNetworkEth", [](NetProImple& s) { return s.SendSetNetworkEth("{\"DhcpEnble\":1}"); }, 1040, "NetWork.Eth", 1041},
        {"GetWirelessEth", [](NetProImple& s) { return s.SendGetWirelessEth(); }, 1050, nullptr, 1051},
        {"SetWirelessEth", [](NetProImple& s) { return s.SendSetWirelessEth("{\"Ssid\":\"x\"}"); }, 1048, "NetWork.Wireless", 1049},
        {"SearchWireless", [](NetProImple& s) { return s.SendSearchWireless(); }, 1052, nullptr, 1053},
        {"GetMobileNet", [](NetProImple& s) { return s.SendGetMobileNet(); }, 1046, nullptr, 1047},
        {"SetMobileNet", [](NetProImple& s) { return s.SendSetMobileNet("{\"Apn\":\"a\"}"); }, 1044, "Net.Mobile", 1045},
        {"GetTimezone", [](NetProImple& s) { return s.SendGetTimezone(); }, 1402, nullptr, 1403},
        {"SetTimezone", [](NetProImple& s) { return s.SendSetTimezone("{\"TimeZone\":2}"); }, 1404, "Time.Conf", 1405},
        {"GetRecSetting", [](NetProImple& s) { return s.SendGetRecSetting("{\"Vich\":0}"); }, 1072, "Rec.Conf", 1073},
        {"SetRecSetting", [](NetProImple& s) { return s.SendSetRecSetting("{\"RecMode\":2}"); }, 1070, "Rec.Conf", 1071},
        {"SetSDFormat", [](NetProImple& s) { return s.SendSetSDFormat(); }, 1507, nullptr, 1508},
        {"TestSDSata", [](NetProImple& s) { return s.SendTestSDSata(); }, 1527, "DiskTestCfg.info", 1528},
        {"GetAlarmSetting", [](NetProImple& s) { return s.SendGetAlarmSetting(); }, 1068, nullptr, 1069},
        {"SetAlarmSetting", [](NetProImple& s) { return s.SendSetAlarmSetting("{\"Enable\":0}"); }, 1066, "Alarm.MoveAlarm", 1067},
        {"GetFTPSetting", [](NetProImple& s) { return s.SendGetFTPSetting(); }, 1484, nullptr, 1485},
        {"SetFTPSetting", [](NetProImple& s) { return s.SendSetFTPSetting("{\"Host\":\"h\"}"); }, 1482, "FtpCfg.info", 1483},
        {"GetOSDSetting", [](NetProImple& s) { return s.SendGetOSDSetting("{\"ViCh\":0}"); }, 1505, "OsdGetCfg.info", 1506},
        {"SetOSDSetting", [](NetProImple& s) { return s.SendSetOSDSetting("{\"TimeEnable\":0}"); }, 1503, "OsdCfg.info", 1504},
        {"GetColorSetting", [](NetProImple& s) { return s.SendGetColorSetting("{}"); }, 1496, "CamCfg.info", 1497},
        {"SetColorSetting", [](NetProImple& s) { return s.SendSetColorSetting("{\"Hue\":1}"); }, 1494, "CamCfg.info", 1495},
        {"GetPicColor", [](NetProImple& s) { return s.SendGetPicColor(); }, 1430, nullptr, 1431},
        {"SetPicColor", [](NetProImple& s) { return s.SendSetPicColor("{\"a\":1}"); }, 1432, "IspPicColor.info", 1433},
        {"GetInOutDoor", [](NetProImple& s) { return s.SendGetInOutDoor(); }, 1434, nullptr, 1435},
        {"SetInOutDoor", [](NetProImple& s) { return s.SendSetInOutDoor("{\"a\":1}"); }, 1436, "IspExpEnv.info", 1437},
        {"GetExposureType", [](NetProImple& s) { return s.SendGetExposureType(); }, 1418, nullptr, 1419},
        {"SetExposureType", [](NetProImple& s) { return s.SendSetExposureType("{\"a\":1}"); }, 1420, "IsExpType.info", 1421},
        {"GetAutoExposure", [](NetProImple& s) { return s.SendGetAutoExposure(); }, 1422, nullptr, 1423},
        {"GetDecNoise", [](NetProImple& s) { return s.SendGetDecNoise(); }, 1438, nullptr, 1439},
        {"SetDecNoise", [](NetProImple& s) { return s.SendSetDecNoise("{\"a\":1}"); }, 1440, "IspDenoise.info", 1441},
        {"GetWDR", [](NetProImple& s) { return s.SendGetWDR(); }, 1442, nullptr, 1443},
        {"SetWDR", [](NetProImple& s) { return s.SendSetWDR("{\"a\":1}"); }, 1444, "IspWdr.info", 1445},
        {"GetWhiteBalance", [](NetProImple& s) { return s.SendGetWhiteBalance(); }, 1446, nullptr, 1447},
        {"SetWhiteBalance", [](NetProImple& s) { return s.SendSetWhiteBalance("{\"a\":1}"); }, 1448, "IspWhBalance.info", 1449},
        {"SetMirrorFlip", [](NetProImple& s) { return s.SendSetMirrorFlip("{\"a\":1}"); }, 1416, "IspOverTurn.info", 1417},
        {"SetAntiFilicker", [](NetProImple& s) { return s.SendSetAntiFilicker("{\"a\":1}"); }, 1464, "IspAntiFlk.info", 1465},
        {"SetIRCut", [](NetProImple& s) { return s.SendSetIRCut("{\"a\":1}"); }, 1498, "IRCutCfg.info", 1499},
        {"GetVideoEncSetting", [](NetProImple& s) { return s.SendGetVideoEncSetting(); }, 1056, nullptr, 1057},
        {"SetVideoEncSetting", [](NetProImple& s) { return s.SendSetVideoEncSetting("{\"a\":1}"); }, 1054, "AVEnc.VideoEncode", 1055},
        {"GetPTZ", [](NetProImple& s) { return s.SendGetPTZ(); }, 1408, nullptr, 1409},
        {"GoPTZ", [](NetProImple& s) { return s.SendGoPTZ("{\"a\":1}"); }, 1064, "PtzCtrlMsg.info", 1065},
        {"GetPresetPTZ", [](NetProImple& s) { return s.SendGetPresetPTZ(); }, 1476, nullptr, 1477},
        {"SetPresetPTZ", [](NetProImple& s) { return s.SendSetPresetPTZ("{\"a\":1}"); }, 1478, "PtzPreBit.info", 1479},
        {"GoPresetPTZ", [](NetProImple& s) { return s.SendGoPresetPTZ("{\"a\":1}"); }, 1480, "PtzOperateBit.info", 1481},
        {"GetP2PServer", [](NetProImple& s) { return s.SendGetP2PServer(); }, 1531, nullptr, 1532},
        {"SetP2PServer", [](NetProImple& s) { return s.SendSetP2PServer("ABCD"); }, 1529, "P2pSerCfg.info", 1530},
        {"GetParam", [](NetProImple& s) { return s.SendGetParam(); }, 1094, nullptr, 1095},
        {"Reboot", [](NetProImple& s) { return s.SendReboot(); }, 1104, nullptr, 1105},
        {"SetDefault", [](NetProImple& s) { return s.SendSetDefault(); }, 1102, nullptr, 1103},
        {"GetUpdateInfo", [](NetProImple& s) { return s.SendGetUpdateInfo(); }, 1098, nullptr, 1099},
        {"SetAutoUpdate", [](NetProImple& s) { return s.SendSetAutoUpdate("{\"a\":1}"); }, 1100, "AutoUpgradeSet.info", 1101},
        {"SendUpdate", [](NetProImple& s) { return s.SendSendUpdate("{\"a\":1}"); }, 1080, "Upgrade.info", 1081},
        {"StartDevDebug", [](NetProImple& s) { return s.SendStartDevDebug(); }, 1511, nullptr, 1512},
        {"StartTalk", [](NetProImple& s) { return s.SendStartTalk(); }, 1006, "Talk.Req", 1007},
        {"BeginFace", [](NetProImple& s) { return s.SendBeginFace(); }, 1474, "SnapShoot.info", 1475},
        {"GetDevRecList", [](NetProImple& s) { return s.SendGetDevRecList("{\"a\":1}"); }, 1074, "lir", 1075},
        {"GetDevRecPage", [](NetProImple& s) { return s.SendGetDevRecPage("{\"a\":1}"); }, 1076, "lp", 1077},
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
        ASSERT_GE(c.send(*fixture.session), 0);
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
    EXPECT_EQ(fixture.session->SendSetWirelessEth(tooLong), -1);
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
