// Live video through the SDK against a simulated camera streaming a real H.264 or H.265 file,
// over libTovel (camsim and tovel-rendezvous as processes of their own: a process holds one
// libTovel client) and the CS2 and ThroughTek stand-ins: pictures reach the application's surface whole and
// equal to FFmpeg's decode, the stream is switched and stopped, a decoder that cannot be set up
// is reported as a failure, and stream snapshots and picture files get their exact names.
#include "DeploymentSettings.h"
#include "CamSim.h"
#include "CameraProcess.h"
#include "DeviceDirectory.h"
#include "ChildProcess.h"
#include "LumoraInstance.h"
#include "NetProImple.h"
#include "SdkTestSupport.h"
#include "VideoDecoderImple.h"
#include "ffmpeg_dxva2.h"

#include "VideoTestSupport.h"
#include "WaitUntil.h"

#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>
#include <json/json.h>
#include <regex>
#include <set>
#include <unistd.h>

namespace {

using sdktest::MessageRecorder;
using sdktest::ResultRecorder;
using videotest::ScopedSurface;

constexpr const char* kPassword = "video-secret";

struct LiveCase {
    const char* name;
    const char* transport;
    const char* codec;
    int width;
    int height;
    int fps;
};

std::string uidFor(const std::string& transport)
{
    static int counter = 0;
    const std::string unique = std::to_string(::getpid() % 100000) + "V" + std::to_string(counter++);
    if (transport == "tutk") {
        std::string uid = "T" + unique;
        uid.resize(20, 'Q');
        return uid;
    }
    if (transport == "cs2")
        return "HOWVID" + unique;
    return "TOVVID" + unique;
}

// The camera's sub stream (stream 1): its own file and size; camsim's defaults when empty.
struct SubStream {
    std::string fixture;
    int width = 0;
    int height = 0;
};

class LiveVideo : public ::testing::Test {
protected:
    // `fps`: the camera's rate (a full-HD camera at a realistic 25, so that a slow sanitizer run
    // keeps up with it).
    void start(const std::string& transport, const std::string& fixture, int width, int height, int fps = 50,
               const SubStream& sub = {})
    {
        ffmpeg_dxva2::SetDevicePath("/nonexistent/renderD128");
        static int counter = 0;
        m_dir = std::filesystem::temp_directory_path() /
                ("lumora-live-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(m_dir);
        m_oldCwd = std::filesystem::current_path();
        std::filesystem::current_path(m_dir);
        deployment::setP2PDirectory((m_dir / "devices").string());
        uid = uidFor(transport);
        LumoraInstance::Options options;
        options.pollIntervalMs = 10;
        options.snapIntervalMs = 50;
        options.reconnectScanMs = 10;
        options.firstLoginPauseMs = 0;
        sdk = std::make_unique<LumoraInstance>(options);
        if (transport == "tovel") {
            ASSERT_TRUE(m_rendezvous.start());
            ASSERT_TRUE(startCameraProcess(fixture, width, height, fps, sub));
        }
        sdk->InitLib(transport == "tovel" ? m_rendezvous.serverString().c_str() : "", 0);
        sdk->SetMSGCallBack(messages.callback());
        sdk->SetSnapPath((m_dir / "snap").string());
        sdk->SetAlarmPath((m_dir / "alarm").string());
        sdk->SetFacePath((m_dir / "face").string());
        if (transport == "tovel") {
            // The camera may take a moment to be found through the rendezvous server.
            int result = -1;
            for (int attempt = 0; attempt < 5 && result != 0; ++attempt) {
                const size_t before = results.count(4003);
                // A refused start (the camera not found yet) may answer at once or not at all.
                const bool started = sdk->LoginDev(uid, kPassword, results.callback(4003)) >= 0;
                if (results.wait(4003, before + 1, started ? 60000 : 2000))
                    result = results.calls(4003).back().result;
            }
            ASSERT_EQ(result, 0);
            return;
        }
        camsim::CamSimOptions camera;
        camera.uid = uid;
        camera.password = kPassword;
        camera.transport = transport;
        camera.mediaFile = fixture;
        camera.width = width;
        camera.height = height;
        camera.fps = fps;
        camera.subMediaFile = sub.fixture;
        camera.subWidth = sub.width;
        camera.subHeight = sub.height;
        m_camera = std::make_unique<camsim::CamSim>(camera);
        std::string error;
        ASSERT_TRUE(m_camera->start(error)) << error;
        ASSERT_TRUE(lumora::test::waitPublished(m_dir / "devices", uid));
        ASSERT_GE(sdk->LoginDev(uid, kPassword, results.callback(4003)), 0);
        ASSERT_TRUE(results.wait(4003));
        ASSERT_EQ(results.calls(4003).back().result, 0);
    }

    bool startCameraProcess(const std::string& fixture, int width, int height, int fps, const SubStream& sub)
    {
        std::vector<std::string> args = {"--uid", uid, "--password", kPassword, "--transport", "tovel",
                                         "--server", m_rendezvous.serverString(), "--media", fixture,
                                         "--fps", std::to_string(fps), "--width", std::to_string(width),
                                         "--height", std::to_string(height)};
        if (!sub.fixture.empty())
            args.insert(args.end(), {"--sub-media", sub.fixture});
        if (sub.width > 0)
            args.insert(args.end(), {"--sub-width", std::to_string(sub.width), "--sub-height", std::to_string(sub.height)});
        if (!m_cameraProcess.start(sdktest::toolBinary("camsim"), args))
            return false;
        std::string line;
        while (m_cameraProcess.readLine(line, 20000))
            if (line.find("camsim ready") != std::string::npos)
                return true;
        return false;
    }

    void TearDown() override
    {
        sdk.reset();
        if (m_cameraProcess.running())
            m_cameraProcess.stop();
        if (m_camera)
            m_camera->stop();
        if (!m_oldCwd.empty())
            std::filesystem::current_path(m_oldCwd);
        std::filesystem::remove_all(m_dir);
    }

    // An alarm picture from the camera, in-process or a process of its own.
    bool pushAlarmPicture(uint64_t seconds)
    {
        if (m_camera) {
            m_camera->pushAlarmPicture(seconds);
            return true;
        }
        return m_cameraProcess.writeLine("alarm-picture " + std::to_string(seconds));
    }

    std::shared_ptr<VideoDecoderImple> channel()
    {
        std::shared_ptr<VideoDecoderImple> c;
        sdk->withSlot(uid, 0, [&](StreamSlot& s) { c = s.decoder; });
        return c;
    }

    ResultRecorder results;
    MessageRecorder messages;
    std::unique_ptr<LumoraInstance> sdk;
    std::string uid;
    std::filesystem::path m_dir;
    std::unique_ptr<camsim::CamSim> m_camera;

private:
    sdktest::RendezvousProcess m_rendezvous;
    platform::ChildProcess m_cameraProcess;
    std::filesystem::path m_oldCwd;
};

class LiveVideoOverTransport : public LiveVideo, public ::testing::WithParamInterface<LiveCase> {};

// Every picture drawn is one of FFmpeg's pictures of the file the camera streams.
TEST_P(LiveVideoOverTransport, PicturesReachTheSurfaceAsFfmpegDecodesThem)
{
    const LiveCase& c = GetParam();
    const std::string fixture = videotest::EncodedFixture(c.codec, c.width, c.height, 12, 12);
    const auto reference = videotest::ReferenceDecode(fixture, "yuv420p", c.width, c.height);
    ASSERT_EQ(reference.size(), 12u);
    start(c.transport, fixture, c.width, c.height, c.fps);
    ScopedSurface window;
    sdk->SetbeUseHardware(uid, true);
    ASSERT_GE(sdk->BeginVideo(window.handle(), uid, 0, 0, results.callback(3006)), 0);
    ASSERT_TRUE(results.wait(3006));
    EXPECT_EQ(results.calls(3006)[0].result, 0);
    EXPECT_EQ(sdk->GetPlayStateMask(uid) & 0x01, 0x01);
    ASSERT_TRUE(window.surface().waitFor(30));
    const std::set<std::vector<uint8_t>> known(reference.begin(), reference.end());
    for (const auto& picture : window.surface().pictures()) {
        ASSERT_EQ(picture.width, c.width);
        ASSERT_EQ(picture.height, c.height);
        ASSERT_EQ(picture.format, platform::PictureFormat::Yuv420p);
        EXPECT_TRUE(known.count(picture.pixels)) << "a picture FFmpeg never produced";
    }
    std::set<std::vector<uint8_t>> seen;
    for (const auto& picture : window.surface().pictures())
        seen.insert(picture.pixels);
    EXPECT_EQ(seen.size(), reference.size()) << "the whole looping file is shown";
    ASSERT_GE(sdk->EndVideo(uid, 0, 0, results.callback(3007)), 0);
    ASSERT_TRUE(results.wait(3007));
    EXPECT_EQ(sdk->GetPlayStateMask(uid) & 0x01, 0);
    ASSERT_TRUE(channel());
    EXPECT_EQ(channel()->kindMask(), 0);
    EXPECT_TRUE(channel()->busy());
}

INSTANTIATE_TEST_SUITE_P(Streams, LiveVideoOverTransport,
                         ::testing::Values(LiveCase{"TovelH264", "tovel", "h264", 640, 360, 50},
                                           LiveCase{"Cs2H264", "cs2", "h264", 640, 360, 50},
                                           LiveCase{"TutkH264", "tutk", "h264", 640, 360, 50},
                                           LiveCase{"Cs2H265", "cs2", "h265", 640, 360, 50},
                                           LiveCase{"Cs2H264FullHd", "cs2", "h264", 1920, 1080, 25}),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(LiveVideo, SameStreamAnswersAtOnceAnotherStreamAsksTheCamera)
{
    start("cs2", videotest::EncodedFixture("h264", 320, 240, 12, 12), 320, 240);
    ScopedSurface window;
    ASSERT_GE(sdk->BeginVideo(window.handle(), uid, 0, 0, results.callback(1)), 0);
    ASSERT_TRUE(results.wait(1));
    ASSERT_TRUE(window.surface().waitFor(5));
    const size_t requests = m_camera->requests().size();
    ASSERT_EQ(sdk->BeginVideo(window.handle(), uid, 0, 0, results.callback(2)), 0);
    ASSERT_EQ(results.count(2), 1u) << "answered on the caller's thread";
    EXPECT_EQ(results.calls(2)[0].code, 3006);
    EXPECT_EQ(results.calls(2)[0].result, 0);
    EXPECT_EQ(m_camera->requests().size(), requests) << "nothing sent";
    ASSERT_GE(sdk->BeginVideo(window.handle(), uid, 1, 0, results.callback(3)), 0);
    ASSERT_TRUE(results.wait(3));
    EXPECT_GT(m_camera->requests().size(), requests);
    const size_t shown = window.surface().count();
    EXPECT_TRUE(window.surface().waitFor(shown + 5)) << "pictures keep coming after the switch";
}

// A stream that is stopped and started again on the same link plays again: pictures keep reaching
// the surface whether the start waits for the stop's answer (the live grid's switch) or follows it
// at once, for the same stream and for the other one.
struct RestartCase {
    const char* name;
    const char* transport;
    int firstStream;
    int secondStream;
    bool startAfterStopAnswer;
};

class LiveVideoRestart : public LiveVideo, public ::testing::WithParamInterface<RestartCase> {};

TEST_P(LiveVideoRestart, PicturesComeAgainAfterAStopAndAStart)
{
    const RestartCase& c = GetParam();
    start(c.transport, videotest::EncodedFixture("h264", 320, 240, 12, 12), 320, 240);
    ScopedSurface window;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const int stream = round % 2 == 0 ? c.firstStream : c.secondStream;
        const int tag = 10 * round;
        ASSERT_GE(sdk->BeginVideo(window.handle(), uid, stream, 0, results.callback(tag + 1)), 0);
        if (round > 0 && !c.startAfterStopAnswer) {
            // The stop's answer goes to the slot's callback of the moment: the stop's own, or this
            // start's once it has taken the slot over. Either way two answers come.
            const int stopTag = tag - 8;
            ASSERT_TRUE(sdktest::waitUntil([&] { return results.count(tag + 1) + results.count(stopTag) >= 2; }));
            ASSERT_TRUE(results.wait(tag + 1));
        } else {
            ASSERT_TRUE(results.wait(tag + 1));
        }
        for (const auto& call : results.calls(tag + 1))
            ASSERT_EQ(call.result, 0);
        EXPECT_EQ(sdk->GetPlayStateMask(uid) & 0x01, 0x01);
        const size_t shown = window.surface().count();
        ASSERT_TRUE(window.surface().waitFor(shown + 10)) << "no pictures after start " << round;
        // The stop ended the reads it meant to end and nothing else: the link was never lost.
        EXPECT_EQ(messages.count(1), 0u) << "the device was reported lost";
        if (round == 2)
            break;
        ASSERT_GE(sdk->EndVideo(uid, stream, 0, results.callback(tag + 2)), 0);
        if (c.startAfterStopAnswer) {
            ASSERT_TRUE(results.wait(tag + 2));
            EXPECT_EQ(sdk->GetPlayStateMask(uid) & 0x01, 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, LiveVideoRestart,
                         ::testing::Values(RestartCase{"TovelSameStream", "tovel", 0, 0, true},
                                           RestartCase{"Cs2SameStream", "cs2", 0, 0, true},
                                           RestartCase{"TutkSameStream", "tutk", 0, 0, true},
                                           RestartCase{"TovelOtherStream", "tovel", 0, 1, true},
                                           RestartCase{"Cs2OtherStream", "cs2", 0, 1, true},
                                           RestartCase{"TutkOtherStream", "tutk", 0, 1, true},
                                           RestartCase{"TovelStartAtOnce", "tovel", 0, 0, false},
                                           RestartCase{"Cs2StartAtOnce", "cs2", 0, 0, false},
                                           RestartCase{"TutkStartAtOnce", "tutk", 0, 0, false},
                                           RestartCase{"TovelOtherStreamAtOnce", "tovel", 1, 0, false},
                                           RestartCase{"Cs2OtherStreamAtOnce", "cs2", 1, 0, false},
                                           RestartCase{"TutkOtherStreamAtOnce", "tutk", 1, 0, false}),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

// The stream a start asks for is its "flag"; "channel" is the slot. The camera answers with that
// stream's size and index, and its pictures are the ones shown: main and sub each in their own
// size, whichever comes first, on every transport.
class MainAndSubStreams : public LiveVideo, public ::testing::WithParamInterface<const char*> {};

TEST_P(MainAndSubStreams, ComeInTheirOwnSizes)
{
    const std::string mainFile = videotest::EncodedFixture("h264", 320, 240, 12, 12);
    const std::string subFile = videotest::EncodedFixture("h264", 176, 144, 12, 12);
    start(GetParam(), mainFile, 320, 240, 50, SubStream{subFile, 176, 144});
    ScopedSurface window;
    struct Expected {
        int stream;
        int width;
        int height;
    };
    const Expected order[] = {{1, 176, 144}, {0, 320, 240}, {1, 176, 144}};
    int tag = 0;
    for (const Expected& e : order) {
        SCOPED_TRACE("stream " + std::to_string(e.stream));
        ++tag;
        const size_t asked = m_camera ? m_camera->requests().size() : 0;
        ASSERT_GE(sdk->BeginVideo(window.handle(), uid, e.stream, 0, results.callback(10 * tag)), 0);
        ASSERT_TRUE(results.wait(10 * tag));
        ASSERT_EQ(results.calls(10 * tag)[0].result, 0);
        Json::Value answer;
        ASSERT_TRUE(Json::Reader().parse(results.calls(10 * tag)[0].text, answer));
        const Json::Value& video = answer["Stream.StreamInfo"]["VideoStream"];
        EXPECT_EQ(video["Width"].asInt(), e.width);
        EXPECT_EQ(video["Height"].asInt(), e.height);
        EXPECT_EQ(video["EncCh"].asInt(), e.stream);
        int width = 0, height = 0, index = -1;
        sdk->withSlot(uid, 0, [&](StreamSlot& s) {
            width = s.width;
            height = s.height;
            index = s.streamIndex;
        });
        EXPECT_EQ(width, e.width);
        EXPECT_EQ(height, e.height);
        EXPECT_EQ(index, e.stream);
        if (m_camera) {
            // What went on the wire: the stream as "flag", the slot (0) as "channel".
            const auto requests = m_camera->requests();
            ASSERT_GT(requests.size(), asked);
            Json::Value request;
            ASSERT_TRUE(Json::Reader().parse(requests[asked].body, request));
            EXPECT_EQ(request["REQUEST_STREAM_CMD_t"]["flag"].asInt(), e.stream);
            EXPECT_EQ(request["REQUEST_STREAM_CMD_t"]["channel"].asInt(), 0);
        }
        // A picture the old stream's displayer still had may come after the answer; once the new
        // stream's pictures show, every further one is of the new size.
        ASSERT_TRUE(sdktest::waitUntil([&] {
            const auto last = window.surface().last();
            return last.width == e.width && last.height == e.height;
        }));
        const size_t from = window.surface().count();
        ASSERT_TRUE(window.surface().waitFor(from + 5));
        const auto pictures = window.surface().pictures();
        ASSERT_GE(pictures.size(), 5u);
        for (size_t i = pictures.size() - 5; i < pictures.size(); ++i) {
            ASSERT_EQ(pictures[i].width, e.width) << "picture " << i;
            ASSERT_EQ(pictures[i].height, e.height) << "picture " << i;
        }
        ASSERT_GE(sdk->EndVideo(uid, e.stream, 0, results.callback(10 * tag + 1)), 0);
        ASSERT_TRUE(results.wait(10 * tag + 1));
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, MainAndSubStreams, ::testing::Values("tovel", "cs2", "tutk"),
                         [](const auto& testInfo) { return std::string(testInfo.param); });

// A camera announcing a picture no decoder is set up for: the application hears of the failure.
TEST_F(LiveVideo, DecoderThatCannotBeSetUpIsReportedAsAFailure)
{
    start("cs2", videotest::EncodedFixture("h264", 320, 240, 12, 12), 100000, 240);
    ScopedSurface window;
    ASSERT_GE(sdk->BeginVideo(window.handle(), uid, 0, 0, results.callback(1)), 0);
    ASSERT_TRUE(results.wait(1));
    EXPECT_LT(results.calls(1)[0].result, 0);
    EXPECT_EQ(sdk->GetPlayStateMask(uid) & 0x01, 0);
    EXPECT_FALSE(channel());
}

// The names `format` gives every local second from before `action` to after it.
std::set<std::string> namesAround(const char* format, const std::function<void()>& action)
{
    const std::time_t first = std::time(nullptr);
    action();
    const std::time_t last = std::time(nullptr);
    std::set<std::string> names;
    for (std::time_t t = first; t <= last; ++t) {
        std::tm parts{};
        localtime_r(&t, &parts);
        char text[64];
        std::snprintf(text, sizeof text, format, parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                      parts.tm_min, parts.tm_sec);
        names.insert(text);
    }
    return names;
}

TEST_F(LiveVideo, StreamPictureIsABmpNamedByTheLocalTimeOrTheGivenPath)
{
    start("cs2", videotest::EncodedFixture("h264", 320, 240, 12, 12), 320, 240);
    ScopedSurface window;
    ASSERT_GE(sdk->BeginVideo(window.handle(), uid, 0, 0, results.callback(1)), 0);
    ASSERT_TRUE(window.surface().waitFor(3));
    const auto names = namesAround("%04d%02d%02d-%02d%02d%02d.bmp", [&] { sdk->SnapStreamPic(uid, "", results.callback(2)); });
    ASSERT_TRUE(results.wait(2));
    const std::string path = results.calls(2)[0].text;
    EXPECT_EQ(results.calls(2)[0].result, 0);
    const std::string folder = (m_dir / "snap").string() + "/" + uid + "/";
    ASSERT_EQ(path.substr(0, folder.size()), folder);
    EXPECT_TRUE(names.count(path.substr(folder.size()))) << path;
    EXPECT_EQ(std::filesystem::file_size(path), 320u * 240u * 3u + 54u);
    const std::string given = (m_dir / "given.bmp").string();
    sdk->SnapStreamPic(uid, given, results.callback(3));
    ASSERT_TRUE(results.wait(3));
    EXPECT_EQ(results.calls(3)[0].text, given);
    EXPECT_TRUE(std::filesystem::exists(given));
    // Without a snapshot folder nothing is saved and the callback is never called.
    sdk->SetSnapPath("");
    sdk->SnapStreamPic(uid, "", results.callback(4));
    sdk->SnapStreamPic("NOSUCHUID", (m_dir / "x.bmp").string(), results.callback(4));
    ASSERT_TRUE(window.surface().waitFor(window.surface().count() + 3));
    EXPECT_EQ(results.count(4), 0u);
}

TEST_F(LiveVideo, DevicePicturesAreWrittenUnderTheirExactNames)
{
    start("cs2", videotest::EncodedFixture("h264", 320, 240, 12, 12), 320, 240);
    std::vector<char> jpeg(1000, 'j');
    // Snapshot: snapshot folder / uid / local time, and message 0 with the name and the path.
    const auto snapNames = namesAround("%04d%02d%02d-%02d%02d%02d.jpg", [&] { sdk->SaveSnapJpeg(2, 31, uid, jpeg, 1000); });
    ASSERT_TRUE(messages.wait(0));
    const auto message = messages.calls().back();
    EXPECT_TRUE(snapNames.count(message.text)) << message.text;
    EXPECT_EQ(message.value, 2);
    const auto snapPath = m_dir / "snap" / uid / message.text;
    EXPECT_EQ(videotest::ReadFile(snapPath.string()), jpeg);
    // Face picture: the tick follows the time, then the letter d; a name already taken in the same
    // millisecond gets "-N" instead of replacing the earlier picture.
    sdk->SaveSnapJpeg(0, 32, uid, jpeg, 1000);
    ASSERT_TRUE(messages.wait(0, 2));
    const std::string face = messages.calls().back().text;
    EXPECT_TRUE(std::regex_match(face, std::regex(R"(\d{8}-\d{6}-\d+d(-\d+)?\.jpg)"))) << face;
    EXPECT_EQ(std::filesystem::file_size(m_dir / "face" / uid / face), 1000u);
    std::vector<char> shortFrame(999, 'j');
    sdk->SaveSnapJpeg(0, 32, uid, shortFrame, 1000);
    // Alarm picture: the frame's pts as UTC seconds.
    sdk->SavePictureFile(34, 0, jpeg, 1000, uid, 5, 0, 0);
    EXPECT_EQ(std::filesystem::file_size((m_dir / "alarm").string() + "//19700101000000.jpg"), 1000u);
    sdk->SavePictureFile(34, 0, jpeg, 1000, uid, 5, 1796720703, 0);
    EXPECT_TRUE(std::filesystem::exists((m_dir / "alarm").string() + "//20261208090503.jpg"));
    sdk->SavePictureFile(31, 0, jpeg, 1000, uid, 5, 5, 0);
    EXPECT_FALSE(std::filesystem::exists((m_dir / "alarm").string() + "//19700101000005.jpg")) << "only alarms here";
    // A snapshot reaching the login's picture sink is written as a snapshot (message 0).
    ASSERT_TRUE(messages.wait(0, 3));
    EXPECT_EQ(videotest::ReadFile((m_dir / "snap" / uid / messages.calls().back().text).string()), jpeg);
    // So is a face picture that comes before the face stream's start reply.
    sdk->SavePictureFile(32, 0, jpeg, 1000, uid, 5, 5, 0);
    ASSERT_TRUE(messages.wait(0, 4));
    const std::string early = messages.calls().back().text;
    EXPECT_TRUE(std::regex_match(early, std::regex(R"(\d{8}-\d{6}-\d+d(-\d+)?\.jpg)"))) << early;
    EXPECT_EQ(videotest::ReadFile((m_dir / "face" / uid / early).string()), jpeg);
}

} // namespace

namespace {

// The camera's picture: a JPEG-shaped run of 30000 bytes.
std::vector<char> cameraPicture()
{
    std::vector<char> picture(30000);
    for (size_t i = 0; i < picture.size(); ++i)
        picture[i] = static_cast<char>(i * 31 + 7);
    picture[0] = static_cast<char>(0xFF);
    picture[1] = static_cast<char>(0xD8);
    picture[picture.size() - 2] = static_cast<char>(0xFF);
    picture[picture.size() - 1] = static_cast<char>(0xD9);
    return picture;
}

class DevicePicturesOverTransport : public LiveVideo, public ::testing::WithParamInterface<const char*> {
protected:
    // The file name of the latest message 0.
    std::string lastPictureName()
    {
        std::string name;
        for (const auto& call : messages.calls())
            if (call.message == 0)
                name = call.text;
        return name;
    }
};

// The three kinds of picture a camera sends on its picture channel, over each transport: a
// snapshot it was asked for, face pictures while the face stream runs, and an alarm picture;
// each lands whole under its exact name.
TEST_P(DevicePicturesOverTransport, SnapshotFaceAndAlarmPicturesLandUnderTheirNames)
{
    start(GetParam(), videotest::EncodedFixture("h264", 320, 240, 12, 12), 320, 240);
    const std::vector<char> picture = cameraPicture();

    size_t messagesBefore = messages.count(0);
    bool written = false;
    const auto snapNames = namesAround("%04d%02d%02d-%02d%02d%02d.jpg", [&] {
        written = sdk->GetDevSnapshot(uid, R"({"ViCh":0})", results.callback(1)) >= 0 &&
                  messages.wait(0, messagesBefore + 1);
    });
    ASSERT_TRUE(written) << "no snapshot message";
    ASSERT_TRUE(results.wait(1));
    EXPECT_EQ(results.calls(1)[0].code, 1475);
    const std::string snapName = lastPictureName();
    EXPECT_TRUE(snapNames.count(snapName)) << snapName;
    EXPECT_EQ(videotest::ReadFile((m_dir / "snap" / uid / snapName).string()), picture);

    messagesBefore = messages.count(0);
    ASSERT_GE(sdk->BeginFace(uid, 0, 0, results.callback(2)), 0);
    ASSERT_TRUE(results.wait(2));
    ASSERT_TRUE(messages.wait(0, messagesBefore + 1));
    const std::string faceName = lastPictureName();
    EXPECT_TRUE(std::regex_match(faceName, std::regex(R"(\d{8}-\d{6}-\d+d(-\d+)?\.jpg)"))) << faceName;
    EXPECT_EQ(videotest::ReadFile((m_dir / "face" / uid / faceName).string()), picture);

    // An alarm picture while the face stream holds the picture channel still gets its own file.
    const auto alarmFile = std::filesystem::path((m_dir / "alarm").string() + "//20261208090503.jpg");
    ASSERT_TRUE(pushAlarmPicture(1796720703));
    EXPECT_TRUE(lumora::test::waitUntil([&] {
        std::error_code ec;
        return std::filesystem::file_size(alarmFile, ec) == picture.size();
    }));
    EXPECT_EQ(videotest::ReadFile(alarmFile.string()), picture);
    ASSERT_GE(sdk->EndFace(uid, 0, 0, results.callback(3)), 0);
    ASSERT_TRUE(results.wait(3));

    // With the face stream off an alarm picture is still written.
    const auto laterAlarm = std::filesystem::path((m_dir / "alarm").string() + "//20261208090504.jpg");
    ASSERT_TRUE(pushAlarmPicture(1796720704));
    EXPECT_TRUE(lumora::test::waitUntil([&] {
        std::error_code ec;
        return std::filesystem::file_size(laterAlarm, ec) == picture.size();
    }));
}

INSTANTIATE_TEST_SUITE_P(Transports, DevicePicturesOverTransport, ::testing::Values("tovel", "cs2", "tutk"),
                         [](const auto& testInfo) { return std::string(testInfo.param); });

} // namespace
