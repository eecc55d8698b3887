// Recordings on a device's SD card through the SDK, against a simulated camera in this process
// (CS2 transport) whose data folder holds the card: the record path, listing and paging, playback
// into a recording surface with pause and seek, downloads completed, stopped, refused and failed,
// and the end of a playback whose device has gone silent.
#include "AudioDevice.h"
#include "DeploymentSettings.h"
#include "CamSim.h"
#include "DeviceDirectory.h"
#include "LumoraInstance.h"
#include "SdkTestSupport.h"
#include "VideoTestSupport.h"

#include <json/json.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using sdktest::FakeClock;
using sdktest::MessageRecorder;
using sdktest::ResultRecorder;
using sdktest::waitUntil;

constexpr const char* kPassword = "record-secret";
constexpr int kFps = 50;
// The playback fixture: 100 pictures, a key frame every 10, so 2 s at 50 frames a second.
constexpr int kFixtureFrames = 100;
constexpr const char* kPagedFolder = "20261210/10";
constexpr int kPagedFiles = 45;
constexpr const char* kClip = "20261210/11/101500-101502.h264";
constexpr const char* kBlob = "20261210/12/120000-120500.bin";
constexpr size_t kBlobSize = 5 * 65536 + 1234; // pieces of 64 KiB and a short last one
constexpr size_t kPiece = 65536;

std::string devicePath(const std::string& rel)
{
    return std::string(camsim::CamSim::kSdRoot) + "/" + rel;
}

std::string compact(const Json::Value& v)
{
    return Json::FastWriter().write(v);
}

Json::Value parseText(const std::string& text)
{
    Json::Value root;
    Json::Reader().parse(text, root);
    return root;
}

std::vector<char> readAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class RemoteRecord : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int counter = 0;
        m_dir = fs::temp_directory_path() / ("lumora-remoterec-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        fs::create_directories(m_dir);
        m_oldCwd = fs::current_path();
        fs::current_path(m_dir);
        deployment::setP2PDirectory((m_dir / "devices").string());
        uid = "HOWREC" + std::to_string(::getpid() % 100000) + "N" + std::to_string(counter);
        makeCard();

        LumoraInstance::Options options;
        options.clock = clock.function();
        options.pollIntervalMs = 10;
        options.snapIntervalMs = 50;
        options.reconnectScanMs = 10;
        options.firstLoginPauseMs = 0;
        sdk = std::make_unique<LumoraInstance>(options);
        sdk->InitLib("", 0);
        sdk->SetMSGCallBack(messages.callback());
        downloads = m_dir / "dl";
        sdk->SetDownloadPath(downloads.string());

        camsim::CamSimOptions cam;
        cam.uid = uid;
        cam.password = kPassword;
        cam.transport = "cs2";
        cam.dataDir = (m_dir / "cam").string();
        cam.fps = kFps;
        camera = std::make_unique<camsim::CamSim>(cam);
        std::string error;
        ASSERT_TRUE(camera->start(error)) << error;
        ASSERT_TRUE(lumora::test::waitPublished(m_dir / "devices", uid));
        ASSERT_GE(sdk->LoginDev(uid, kPassword, results.callback(4003)), 0);
        ASSERT_TRUE(results.wait(4003));
        ASSERT_EQ(results.calls(4003).back().result, 0);
    }

    void TearDown() override
    {
        sdk.reset();
        if (camera)
            camera->stop();
        fs::current_path(m_oldCwd);
        fs::remove_all(m_dir);
    }

    void makeCard()
    {
        const fs::path sd = m_dir / "cam" / "sd";
        fs::create_directories(sd / kPagedFolder);
        for (int i = 0; i < kPagedFiles; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "10%02d00-10%02d59.h264", i, i);
            std::ofstream(sd / kPagedFolder / name, std::ios::binary) << std::string(static_cast<size_t>(i) * 300 + 7, 'r');
        }
        const std::string fixture = videotest::EncodedFixture("h264", 320, 240, kFixtureFrames, 10);
        ASSERT_FALSE(fixture.empty());
        fs::create_directories((sd / kClip).parent_path());
        fs::copy_file(fixture, sd / kClip);
        fs::create_directories((sd / kBlob).parent_path());
        blob.resize(kBlobSize);
        for (size_t i = 0; i < blob.size(); ++i)
            blob[i] = static_cast<char>((i * 2654435761u) >> 13);
        std::ofstream(sd / kBlob, std::ios::binary).write(blob.data(), static_cast<std::streamsize>(blob.size()));
    }

    // A record-file request as the application builds it.
    std::string recordOp(int op, const std::string& rel, const Json::Value& extra = Json::Value())
    {
        Json::Value v(extra.isObject() ? extra : Json::Value(Json::objectValue));
        v["op"] = op;
        v["p"] = devicePath(rel);
        v["sh"] = 0;
        v["si"] = 0;
        v["sl"] = 0;
        v["t"] = uid;
        return compact(v);
    }

    std::string downloadOp(const std::string& rel, const std::string& name)
    {
        Json::Value n;
        n["n"] = name;
        return recordOp(10, rel, n);
    }

    int playState()
    {
        int state = 0;
        sdk->withSlot(uid, 0, [&](StreamSlot& s) { state = s.playState.load(); });
        return state;
    }

    bool hasChannel()
    {
        bool has = false;
        sdk->withSlot(uid, 0, [&](StreamSlot& s) { has = static_cast<bool>(s.decoder); });
        return has;
    }

    // The record operations camsim received, in order.
    std::vector<int> recordOps()
    {
        std::vector<int> ops;
        for (const auto& r : camera->requests())
            if (r.command == 1078)
                ops.push_back(parseText(r.body)["rfop"]["op"].asInt());
        return ops;
    }

    // The message-5 calls so far.
    std::vector<sdktest::MessageCall> recordEnds()
    {
        std::vector<sdktest::MessageCall> ends;
        for (const auto& m : messages.calls())
            if (m.message == 5)
                ends.push_back(m);
        return ends;
    }

    FakeClock clock;
    ResultRecorder results;
    MessageRecorder messages;
    std::unique_ptr<LumoraInstance> sdk;
    std::unique_ptr<camsim::CamSim> camera;
    std::string uid;
    fs::path downloads;
    std::vector<char> blob;

private:
    fs::path m_dir;
    fs::path m_oldCwd;
};

// ---- Record path, listing and pages

TEST_F(RemoteRecord, RecordPathQueryCarriesTheFixedDocumentAndTheReplyNamesTheCardRoot)
{
    ASSERT_GT(sdk->GetDevRecPath(uid, results.callback(1)), 0);
    ASSERT_TRUE(results.wait(1));
    const auto reply = results.calls(1).front();
    EXPECT_EQ(reply.code, 1073);
    EXPECT_EQ(parseText(reply.text)["Rec.Conf"]["DiskInfo"]["Path"].asString(), camsim::CamSim::kSdRoot);

    ASSERT_GT(sdk->GetDevAlarmRecPath(uid, results.callback(2)), 0);
    ASSERT_TRUE(results.wait(2));
    std::vector<Json::Value> sent;
    for (const auto& r : camera->requests())
        if (r.command == 1072)
            sent.push_back(parseText(r.body)["Rec.Conf"]);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].getMemberNames(), (std::vector<std::string>{"Path", "Vich"}));
    EXPECT_EQ(sent[0]["Path"].asString(), "/mnt/s0/media/sensor0");
    EXPECT_EQ(sent[1].getMemberNames(), (std::vector<std::string>{"Path", "RecType", "Vich"}));
    EXPECT_EQ(sent[1]["RecType"].asInt(), 1);
}

TEST_F(RemoteRecord, FolderOfFortyFiveFilesIsCountedAndPagedTwentyTwentyFive)
{
    Json::Value list;
    list["e"] = 240000;
    list["m"] = 1;
    list["p"] = devicePath(kPagedFolder);
    list["si"] = 0;
    list["st"] = 0;
    ASSERT_GT(sdk->GetDevRecList(uid, compact(list), results.callback(1)), 0);
    ASSERT_TRUE(results.wait(1));
    EXPECT_EQ(results.calls(1).front().code, 1075);
    const int n = parseText(results.calls(1).front().text)["li"]["n"].asInt();
    ASSERT_EQ(n, kPagedFiles);

    // Pages of 20 as the application asks for them: the last one holds the rest.
    struct Page {
        int start;
        int count;
        size_t expected;
    };
    const Page pages[] = {{0, 20, 20}, {20, 20, 20}, {40, n - 40, 5}};
    std::vector<std::string> names;
    int tag = 10;
    for (const Page& page : pages) {
        Json::Value request;
        request["c"] = page.count;
        request["p"] = devicePath(kPagedFolder);
        request["s"] = page.start;
        ASSERT_GT(sdk->GetDevRecPage(uid, compact(request), results.callback(tag)), 0);
        ASSERT_TRUE(results.wait(tag));
        const auto reply = results.calls(tag).front();
        EXPECT_EQ(reply.code, 1077);
        const Json::Value entries = parseText(reply.text)["dir"]["l"];
        ASSERT_EQ(entries.size(), page.expected) << "page at " << page.start;
        for (const auto& e : entries) {
            names.push_back(e["n"].asString());
            // The size travels as sh * 256 + sl.
            const int index = std::stoi(names.back().substr(2, 2));
            EXPECT_EQ(e["sh"].asUInt64() * 256 + e["sl"].asUInt64(), static_cast<uint64_t>(index) * 300 + 7);
        }
        ++tag;
    }
    ASSERT_EQ(names.size(), static_cast<size_t>(kPagedFiles));
    for (int i = 0; i < kPagedFiles; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "10%02d00-10%02d59.h264", i, i);
        EXPECT_EQ(names[static_cast<size_t>(i)], name);
    }
}

TEST_F(RemoteRecord, CardRootListsItsDayFolder)
{
    Json::Value list;
    list["p"] = camsim::CamSim::kSdRoot;
    ASSERT_GT(sdk->GetDevRecList(uid, compact(list), results.callback(1)), 0);
    ASSERT_TRUE(results.wait(1));
    EXPECT_EQ(parseText(results.calls(1).front().text)["li"]["n"].asInt(), 1);
}

// ---- Playback

TEST_F(RemoteRecord, PlaybackReachesTheSurfaceAndPausesSeeksAndEnds)
{
    videotest::ScopedSurface window;
    ASSERT_GT(sdk->PlayRemoteRec(window.handle(), uid, recordOp(0, kClip), results.callback(1)), 0);
    ASSERT_TRUE(results.wait(1));
    EXPECT_EQ(results.calls(1).front().code, 1079);
    EXPECT_EQ(results.calls(1).front().result, 0);
    EXPECT_TRUE(playState() & PlayStateMask::kRecord);
    ASSERT_TRUE(window.surface().waitFor(3));
    EXPECT_EQ(window.surface().last().width, 320);
    EXPECT_EQ(window.surface().last().height, 240);
    ASSERT_TRUE(waitUntil([&] { return sdk->GetPlayPts(uid) > 0; }));

    // Pause: the camera stops sending. Pause and seek register nothing and call nothing.
    sdk->PauseRemoteRec(uid, recordOp(20, kClip), results.callback(2));
    ASSERT_TRUE(waitUntil([&] { return camera->recordPaused(); }));
    // Seek (paused) to 1.6 s, frame 80 of 100, a key frame; then resume.
    Json::Value stm;
    stm["stm"] = Json::UInt64(1600000);
    sdk->PauseRemoteRec(uid, recordOp(8, kClip, stm), results.callback(2));
    sdk->PauseRemoteRec(uid, recordOp(20, kClip), results.callback(2));
    ASSERT_TRUE(waitUntil([&] { return !camera->recordPaused(); }));
    ASSERT_TRUE(waitUntil([&] { return sdk->GetPlayPts(uid) >= 1600000; }));
    // Fewer than the 80 frames before 1.6 s were sent: the position came from the seek, not from
    // playing on (how many went out before the pause took hold depends on how busy the machine is).
    EXPECT_LT(camera->recordFramesSent(), 80u);
    EXPECT_EQ(recordOps(), (std::vector<int>{0, 20, 8, 20}));

    ASSERT_GT(sdk->EndRemoteRecord(uid, recordOp(6, kClip), results.callback(3)), 0);
    EXPECT_FALSE(playState() & PlayStateMask::kRecord);
    ASSERT_TRUE(results.wait(3));
    EXPECT_EQ(results.calls(3).front().code, 1079);
    // The reply removes the playback decoder, and the reads end with it.
    ASSERT_TRUE(waitUntil([&] { return sdk->GetPlayPts(uid) == 0; }));
    ASSERT_TRUE(waitUntil([&] { return sdk->streamPool().active() == 0; }));
    EXPECT_EQ(results.count(2), 0u);
    EXPECT_TRUE(recordEnds().empty());
}

TEST_F(RemoteRecord, EndOfPlaybackWithASilentDeviceFreesTheStreamWorker)
{
    videotest::ScopedSurface window;
    camera->setRecordHold(5);
    ASSERT_GT(sdk->PlayRemoteRec(window.handle(), uid, recordOp(0, kClip), results.callback(1)), 0);
    ASSERT_TRUE(results.wait(1));
    ASSERT_TRUE(waitUntil([&] { return camera->recordFramesSent() == 5; }));
    // The read of frame 6 waits on a worker for a device that sends nothing more.
    ASSERT_TRUE(waitUntil([&] { return sdk->streamPool().active() == 1 && sdk->streamPool().pending() == 0; }));

    camera->setMuted({1078});
    ASSERT_GT(sdk->EndRemoteRecord(uid, recordOp(6, kClip), results.callback(2)), 0);
    clock.advance(LumoraInstance::kDefaultTimeoutMs + 1000);
    ASSERT_TRUE(results.wait(2));
    EXPECT_EQ(results.calls(2).front().result, -1);
    ASSERT_TRUE(waitUntil([&] { return sdk->streamPool().active() == 0; }));
    camera->setMuted({});
    camera->setRecordHold(-1);
}

// ---- Downloads

TEST_F(RemoteRecord, DownloadIsByteIdenticalCountedAndReportedComplete)
{
    ASSERT_GT(sdk->DownloadRecFile(uid, downloadOp(kBlob, "clip.bin"), results.callback(1)), 0);
    ASSERT_TRUE(results.wait(1));
    EXPECT_EQ(results.calls(1).front().code, 1079);
    EXPECT_EQ(results.calls(1).front().result, 0);
    ASSERT_TRUE(messages.wait(5));
    const fs::path local = downloads / uid / "clip.bin";
    const auto end = recordEnds().front();
    EXPECT_EQ(end.uid, uid);
    EXPECT_EQ(end.text, local.string());
    EXPECT_EQ(end.reserved, 0); // status: complete
    EXPECT_EQ(readAll(local), blob);
    EXPECT_EQ(sdk->GetDloadSize(uid), static_cast<int64_t>(kBlobSize));
    EXPECT_FALSE(playState() & PlayStateMask::kRecord);
    // The device is told that the transfer is over.
    ASSERT_TRUE(waitUntil([&] { return recordOps().size() == 2; }));
    EXPECT_EQ(recordOps(), (std::vector<int>{10, 6}));
}

TEST_F(RemoteRecord, StoppedDownloadEndsUncompleteWithStatusMinusTwo)
{
    camera->setRecordHold(2);
    ASSERT_GT(sdk->DownloadRecFile(uid, downloadOp(kBlob, "part.bin"), results.callback(1)), 0);
    ASSERT_TRUE(results.wait(1));
    ASSERT_TRUE(waitUntil([&] { return sdk->GetDloadSize(uid) == static_cast<int64_t>(2 * kPiece); }));

    // The stop returns the send result (the bytes sent) and ends the download at once, device or no device.
    EXPECT_GT(sdk->StopDownloadFile(uid, recordOp(6, kBlob), results.callback(2)), 0);
    EXPECT_FALSE(playState() & PlayStateMask::kRecord);
    ASSERT_TRUE(messages.wait(5));
    const fs::path local = downloads / uid / "part.bin";
    const auto end = recordEnds().front();
    EXPECT_EQ(end.text, local.string());
    EXPECT_EQ(end.reserved, -2);
    EXPECT_FALSE(fs::exists(local));
    const std::vector<char> kept = readAll(local.string() + ".Uncomplete");
    ASSERT_EQ(kept.size(), 2 * kPiece);
    EXPECT_TRUE(std::equal(kept.begin(), kept.end(), blob.begin()));
    ASSERT_TRUE(results.wait(2));
    EXPECT_EQ(results.calls(2).front().code, 1079);
    camera->setRecordHold(-1);
    ASSERT_TRUE(waitUntil([&] { return sdk->streamPool().active() == 0; }));
    EXPECT_EQ(recordEnds().size(), 1u);
}

// Lowers the file-size limit of this process (as a full disk would stop the writes) for its life.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = m_old;
        lowered.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = nullptr;
};

TEST_F(RemoteRecord, ShortWriteEndsTheDownloadAsErrorWithStatusMinusOne)
{
    {
        // The third piece no longer fits.
        FileSizeLimit limit(2 * kPiece + 100);
        ASSERT_GT(sdk->DownloadRecFile(uid, downloadOp(kBlob, "full.bin"), results.callback(1)), 0);
        ASSERT_TRUE(messages.wait(5));
    }
    const fs::path local = downloads / uid / "full.bin";
    const auto end = recordEnds().front();
    EXPECT_EQ(end.text, local.string());
    EXPECT_EQ(end.reserved, -1);
    EXPECT_FALSE(fs::exists(local));
    ASSERT_TRUE(fs::exists(local.string() + ".error"));
    EXPECT_GE(fs::file_size(local.string() + ".error"), 2 * kPiece);
    // Only whole pieces are counted.
    EXPECT_EQ(sdk->GetDloadSize(uid), static_cast<int64_t>(2 * kPiece));
}

// ---- Playback of what the card holds: sound and H.265

TEST_F(RemoteRecord, PlaybackPlaysTheRecordingsSound)
{
    const fs::path speaker = downloads.parent_path() / "speaker.pcm";
    platform::setAudioDevices({platform::AudioDeviceSettings::Kind::File, speaker.string(),
                               (downloads.parent_path() / "microphone.pcm").string()});
    videotest::ScopedSurface window;
    ASSERT_GT(sdk->PlayRemoteRec(window.handle(), uid, recordOp(0, kClip), results.callback(1)), 0);
    ASSERT_TRUE(results.wait(1));
    ASSERT_TRUE(waitUntil([&] { return camera->recordAudioSent() >= 10; }));
    // The A-law track reaches the speaker as sound, not silence.
    const bool heard = waitUntil([&] {
        const auto pcm = readAll(speaker);
        return std::any_of(pcm.begin(), pcm.end(), [](char c) { return c != 0; });
    });
    ASSERT_GT(sdk->EndRemoteRecord(uid, recordOp(6, kClip), results.callback(2)), 0);
    ASSERT_TRUE(results.wait(2));
    sdk.reset();
    platform::setAudioDevices({});
    EXPECT_TRUE(heard);
}

TEST_F(RemoteRecord, H265RecordingPlaysIntoTheWindow)
{
    const std::string fixture = videotest::EncodedFixture("h265", 320, 240, 50, 10);
    ASSERT_FALSE(fixture.empty());
    const char* clip = "20261210/11/110000-110001.h265";
    fs::copy_file(fixture, downloads.parent_path() / "cam" / "sd" / clip);
    videotest::ScopedSurface window;
    ASSERT_GT(sdk->PlayRemoteRec(window.handle(), uid, recordOp(0, clip), results.callback(1)), 0);
    ASSERT_TRUE(results.wait(1));
    ASSERT_TRUE(window.surface().waitFor(3));
    EXPECT_EQ(window.surface().last().width, 320);
    EXPECT_EQ(window.surface().last().height, 240);
}

// ---- Downloads end as complete only at the listed size

class ListedDownload : public RemoteRecord {
protected:
    // Lists the folder of `rel` as the application does before a download.
    void list(const std::string& rel)
    {
        Json::Value page;
        page["c"] = 20;
        page["p"] = devicePath(fs::path(rel).parent_path().string());
        page["s"] = 0;
        // Counted before the request: its answer may come before the request call returns.
        const size_t before = results.count(90);
        ASSERT_GT(sdk->GetDevRecPage(uid, compact(page), results.callback(90)), 0);
        ASSERT_TRUE(results.wait(90, before + 1));
    }
};

TEST_F(ListedDownload, StopWithoutADownloadAnswersMinusElevenAndLeavesAPlaybackAlone)
{
    EXPECT_EQ(sdk->StopDownloadFile(uid, recordOp(6, kBlob), results.callback(1)), -11);
    videotest::ScopedSurface window;
    ASSERT_GT(sdk->PlayRemoteRec(window.handle(), uid, recordOp(0, kClip), results.callback(2)), 0);
    ASSERT_TRUE(results.wait(2));
    EXPECT_EQ(sdk->StopDownloadFile(uid, recordOp(6, kClip), results.callback(1)), -11);
    EXPECT_TRUE(playState() & PlayStateMask::kRecord);
    ASSERT_TRUE(window.surface().waitFor(window.surface().count() + 3)) << "the playback goes on";
    EXPECT_EQ(recordOps(), (std::vector<int>{0}));
    EXPECT_EQ(results.count(1), 0u);
}

TEST_F(ListedDownload, CutShortByTheDeviceEndsAsErrorWithStatusMinusOne)
{
    list(kBlob);
    camera->setRecordCut(2);
    ASSERT_GT(sdk->DownloadRecFile(uid, downloadOp(kBlob, "cut.bin"), results.callback(1)), 0);
    ASSERT_TRUE(messages.wait(5));
    const fs::path local = downloads / uid / "cut.bin";
    const auto end = recordEnds().front();
    EXPECT_EQ(end.text, local.string());
    EXPECT_EQ(end.reserved, -1);
    EXPECT_FALSE(fs::exists(local));
    EXPECT_EQ(fs::file_size(local.string() + ".error"), 2 * kPiece);
    EXPECT_FALSE(playState() & PlayStateMask::kRecord);

    // The same file in full is complete.
    ASSERT_GT(sdk->DownloadRecFile(uid, downloadOp(kBlob, "whole.bin"), results.callback(2)), 0);
    ASSERT_TRUE(messages.wait(5, 2));
    EXPECT_EQ(recordEnds().back().reserved, 0);
    EXPECT_EQ(readAll(downloads / uid / "whole.bin"), blob);
}

TEST_F(ListedDownload, StalledDeviceEndsTheDownloadAsErrorAfterTheStallTime)
{
    list(kBlob);
    camera->setRecordHold(2);
    ASSERT_GT(sdk->DownloadRecFile(uid, downloadOp(kBlob, "stall.bin"), results.callback(1)), 0);
    ASSERT_TRUE(waitUntil([&] { return sdk->GetDloadSize(uid) == static_cast<int64_t>(2 * kPiece); }));
    // A few poll passes see the count standing; then the stall time passes on the SDK's clock.
    const uint64_t passes = sdk->pollPasses();
    ASSERT_TRUE(waitUntil([&] { return sdk->pollPasses() >= passes + 3; }));
    EXPECT_EQ(messages.count(5), 0u);
    clock.advance(LumoraInstance::Options{}.downloadStallMs + 1000);
    ASSERT_TRUE(messages.wait(5));
    const fs::path local = downloads / uid / "stall.bin";
    EXPECT_EQ(recordEnds().front().reserved, -1);
    EXPECT_EQ(fs::file_size(local.string() + ".error"), 2 * kPiece);
    EXPECT_FALSE(playState() & PlayStateMask::kRecord);
    camera->setRecordHold(-1);
    ASSERT_TRUE(waitUntil([&] { return sdk->streamPool().active() == 0; }));
    EXPECT_EQ(recordEnds().size(), 1u);
}

TEST_F(ListedDownload, DownloadsAfterAPlaybackWithSeeksAreWholeOrReportedFailed)
{
    list(kClip);
    const std::vector<char> clip = readAll(downloads.parent_path() / "cam" / "sd" / kClip);
    for (int round = 0; round < 4; ++round) {
        videotest::ScopedSurface window;
        const int tag = 10 * round;
        ASSERT_GT(sdk->PlayRemoteRec(window.handle(), uid, recordOp(0, kClip), results.callback(tag + 1)), 0);
        ASSERT_TRUE(results.wait(tag + 1));
        ASSERT_TRUE(window.surface().waitFor(2));
        Json::Value stm;
        stm["stm"] = Json::UInt64(1000000);
        sdk->PauseRemoteRec(uid, recordOp(8, kClip, stm), results.callback(tag + 2));
        // The download is asked for straight after the playback's stop, before its answer.
        ASSERT_GT(sdk->EndRemoteRecord(uid, recordOp(6, kClip), results.callback(tag + 3)), 0);
        const std::string name = "clip" + std::to_string(round) + ".h264";
        const size_t ends = recordEnds().size();
        const int rc = sdk->DownloadRecFile(uid, downloadOp(kClip, name), results.callback(tag + 4));
        ASSERT_TRUE(results.wait(tag + 3));
        if (rc > 0 && results.wait(tag + 4) && results.calls(tag + 4).front().result == 0 &&
            parseText(results.calls(tag + 4).front().text)["ret"].asInt() == 0) {
            ASSERT_TRUE(messages.wait(5, ends + 1)) << "round " << round;
            const auto end = recordEnds().back();
            if (end.reserved == 0)
                EXPECT_EQ(readAll(downloads / uid / name), clip) << "a complete download is the camera's file";
            else
                EXPECT_FALSE(fs::exists(downloads / uid / name)) << "a failed one keeps only its incomplete name";
        }
        ASSERT_TRUE(waitUntil([&] { return sdk->streamPool().active() == 0; }));
    }
}

struct RefusedName {
    const char* name;
    const char* text; // "n" value, or null for a request without one
    bool parses = true;
};

class RefusedDownloadName : public RemoteRecord, public ::testing::WithParamInterface<RefusedName> {};

TEST_P(RefusedDownloadName, IsRefusedBeforeAnythingIsSentOrMade)
{
    const RefusedName& c = GetParam();
    std::string text;
    if (!c.parses)
        text = "{\"op\":10,";
    else if (c.text == nullptr)
        text = recordOp(10, kBlob);
    else
        text = downloadOp(kBlob, c.text);
    EXPECT_EQ(sdk->DownloadRecFile(uid, text, results.callback(1)), -1);
    EXPECT_TRUE(recordOps().empty());
    EXPECT_FALSE(fs::exists(downloads));
    EXPECT_FALSE(fs::exists(downloads.parent_path() / "escaped.bin"));
    EXPECT_EQ(results.count(1), 0u);
    EXPECT_FALSE(hasChannel());
}

const RefusedName kRefusedNames[] = {
    {"Missing", nullptr},
    {"Empty", ""},
    {"Dot", "."},
    {"DotDot", ".."},
    {"ParentPath", "../../escaped.bin"},
    {"SubFolder", "sub/clip.bin"},
    {"Absolute", "/tmp/escaped.bin"},
    {"Backslash", "..\\escaped.bin"},
    {"Unparsable", nullptr, false},
};

INSTANTIATE_TEST_SUITE_P(Names, RefusedDownloadName, ::testing::ValuesIn(kRefusedNames),
                         [](const ::testing::TestParamInfo<RefusedName>& p) { return std::string(p.param.name); });

// ---- Starts the device refuses

struct RefusedStart {
    const char* name;
    bool download;
};

class RefusedRecordStart : public RemoteRecord, public ::testing::WithParamInterface<RefusedStart> {};

TEST_P(RefusedRecordStart, OfAMissingRecordingStartsNoReads)
{
    const char* missing = "20261210/11/235900-235959.h264";
    videotest::ScopedSurface window;
    const int rc = GetParam().download
                       ? sdk->DownloadRecFile(uid, downloadOp(missing, "none.bin"), results.callback(1))
                       : sdk->PlayRemoteRec(window.handle(), uid, recordOp(0, missing), results.callback(1));
    ASSERT_GT(rc, 0);
    ASSERT_TRUE(results.wait(1));
    EXPECT_EQ(results.calls(1).front().code, 1079);
    EXPECT_EQ(parseText(results.calls(1).front().text)["ret"].asInt(), -1);
    EXPECT_FALSE(playState() & PlayStateMask::kRecord);
    EXPECT_FALSE(hasChannel());
    EXPECT_FALSE(fs::exists(downloads / uid / "none.bin"));
    EXPECT_EQ(sdk->streamPool().active() + sdk->streamPool().pending(), 0);
    EXPECT_TRUE(recordEnds().empty());
}

const RefusedStart kRefusedStarts[] = {{"Play", false}, {"Download", true}};

INSTANTIATE_TEST_SUITE_P(Starts, RefusedRecordStart, ::testing::ValuesIn(kRefusedStarts),
                         [](const ::testing::TestParamInfo<RefusedStart>& p) { return std::string(p.param.name); });

// ---- Unknown devices and links that are down

TEST_F(RemoteRecord, UnknownDeviceAnswersMinusElevenAndZeroFigures)
{
    const std::string other = "HOWNOSUCHDEVICE";
    EXPECT_EQ(sdk->PlayRemoteRec(1, other, recordOp(0, kClip), results.callback(1)), -11);
    EXPECT_EQ(sdk->EndRemoteRecord(other, recordOp(6, kClip), results.callback(1)), -11);
    EXPECT_EQ(sdk->DownloadRecFile(other, downloadOp(kBlob, "x.bin"), results.callback(1)), -11);
    EXPECT_EQ(sdk->StopDownloadFile(other, recordOp(6, kBlob), results.callback(1)), -11);
    EXPECT_EQ(sdk->DeleteRecFile(uid, devicePath(kBlob), results.callback(1)), -11);
    sdk->PauseRemoteRec(other, recordOp(20, kClip), results.callback(1));
    EXPECT_EQ(sdk->GetPlayPts(other), 0);
    EXPECT_EQ(sdk->GetDloadSize(other), 0);
    EXPECT_EQ(results.count(1), 0u);
    EXPECT_TRUE(recordOps().empty());
}

TEST_F(RemoteRecord, LoggedOutDeviceSendsNoSeekAndCallsNothing)
{
    ASSERT_EQ(sdk->LogoutDev(uid), 0);
    Json::Value stm;
    stm["stm"] = Json::UInt64(3600000000ull);
    sdk->PauseRemoteRec(uid, recordOp(8, kClip, stm), results.callback(1));
    EXPECT_EQ(sdk->PlayRemoteRec(1, uid, recordOp(0, kClip), results.callback(1)), -11);
    EXPECT_EQ(sdk->StopDownloadFile(uid, recordOp(6, kBlob), results.callback(1)), -11);
    EXPECT_EQ(results.count(1), 0u);
    EXPECT_TRUE(recordOps().empty());
}

} // namespace
