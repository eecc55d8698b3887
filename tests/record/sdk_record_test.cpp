// Local recording of live video and its local playback through the SDK against the simulated
// camera: what starts a recording, what ends it, the files it writes, and the player's controls.
#include "AviFile.h"
#include "SdkMediaFixture.h"

#include <filesystem>
#include <cctype>

using namespace mediatest;

namespace {

class SdkRecord : public SdkMedia {
protected:
    // Waits until the window has shown `more` further pictures.
    void showMore(videotest::ScopedSurface& window, std::size_t more)
    {
        ASSERT_TRUE(window.surface().waitFor(window.surface().count() + more));
    }

    // A finished recording: final header (frame count written), readable by our reader.
    int finishedFrames(const std::string& path)
    {
        const auto bytes = readFile(path);
        EXPECT_GE(bytes.size(), 2056u);
        if (bytes.size() < 2056)
            return -1;
        EXPECT_NE(le32(bytes, 4), 0xFEFFF003u) << "final RIFF size";
        auto avi = AviFile::OpenInput(path);
        EXPECT_NE(avi, nullptr) << AviFile::ErrorText();
        if (!avi)
            return -1;
        EXPECT_EQ(static_cast<int>(le32(bytes, 48)), avi->VideoFrames());
        return avi->VideoFrames();
    }
};

TEST_F(SdkRecord, LiveVideoIsRecordedFromTheFirstKeyFrameAndPlaysBack)
{
    videotest::ScopedSurface window;
    ASSERT_TRUE(beginVideo(window.handle()));
    ASSERT_GE(sdk->BeginAudio(uid, 0, 0, results.callback(1)), 0);
    ASSERT_TRUE(results.wait(1));
    showMore(window, 5);

    const std::string path = dir.file("live.avi");
    ASSERT_EQ(sdk->StartRecordFile(uid, 0, path), 0);
    EXPECT_TRUE(mask() & 0x80);
    showMore(window, 40);
    ASSERT_EQ(sdk->StopRecordFile(uid, 0), 0);
    EXPECT_FALSE(mask() & 0x80);

    const int frames = finishedFrames(path);
    ASSERT_GT(frames, 10);
    auto avi = AviFile::OpenInput(path);
    ASSERT_NE(avi, nullptr);
    EXPECT_EQ(avi->Width(), kWidth);
    EXPECT_EQ(avi->Height(), kHeight);
    EXPECT_GT(avi->AudioChunks(), 0);
    std::vector<char> first;
    ASSERT_GT(avi->ReadFrame(first), 4);
    EXPECT_EQ(first[4] & 0x1F, 7) << "a recording starts at a sequence parameter set";
    const auto streams = probeStreams(path);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0].at("codec_name"), "h264");
    EXPECT_EQ(streams[0].at("nb_read_frames"), std::to_string(frames));
    EXPECT_EQ(streams[1].at("codec_name"), "pcm_alaw");

    // Local playback of the recording: frame count, position, pause, seek and end.
    videotest::ScopedSurface playback;
    EXPECT_EQ(sdk->GetAVIFileFrames(), 0) << "no player yet";
    ASSERT_EQ(sdk->PlayLocalAVIFile(path, reinterpret_cast<HWND>(static_cast<intptr_t>(playback.handle()))), 0);
    EXPECT_EQ(sdk->GetAVIFileFrames(), frames);
    ASSERT_TRUE(waitUntil([&] { return sdk->GetLocalPlayPos() >= 3; }));
    ASSERT_TRUE(playback.surface().waitFor(2));
    EXPECT_EQ(playback.surface().last().width, kWidth);
    sdk->LocalPlayOrStop(1);
    sdk->SetAVIFileFrame(0);
    EXPECT_EQ(sdk->GetLocalPlayPos(), 0) << "a seek is the next frame to play";
    sdk->LocalPlayOrStop(0);
    ASSERT_TRUE(waitUntil([&] { return sdk->GetLocalPlayPos() >= 2; }));
    sdk->EndLocalAVIFile();
    EXPECT_EQ(sdk->GetLocalPlayPos(), 0);
    EXPECT_EQ(sdk->PlayLocalAVIFile(dir.file("missing.avi"), nullptr), -1);
}

TEST_F(SdkRecord, DefaultNameIsTheRecordFolderUidAndLocalTime)
{
    videotest::ScopedSurface window;
    ASSERT_TRUE(beginVideo(window.handle()));
    sdk->SetRecPath(dir.file("records"));
    ASSERT_EQ(sdk->StartRecordFile(uid, 0, ""), 0);
    showMore(window, 15);
    ASSERT_EQ(sdk->StopRecordFile(uid, 0), 0);
    const std::filesystem::path folder = dir.file("records") + "/" + uid;
    ASSERT_TRUE(std::filesystem::is_directory(folder));
    const auto file = std::filesystem::directory_iterator(folder)->path();
    // YYYYMMDD-hhmmss.avi
    const std::string name = file.filename().string();
    bool shaped = name.size() == 19 && name[8] == '-' && name.substr(15) == ".avi";
    for (std::size_t i = 0; i < 15 && shaped; ++i)
        shaped = i == 8 || std::isdigit(static_cast<unsigned char>(name[i]));
    EXPECT_TRUE(shaped) << name;
    EXPECT_GE(finishedFrames(file.string()), 0);
}

struct Refusal {
    const char* name;
    int slot;
    bool knownUid;
    bool video;
    int result;
};

void PrintTo(const Refusal& c, std::ostream* os) { *os << c.name; }

class SdkRecordRefuses : public SdkRecord, public ::testing::WithParamInterface<Refusal> {};

TEST_P(SdkRecordRefuses, StartWithoutMakingAFile)
{
    const Refusal& c = GetParam();
    videotest::ScopedSurface window;
    if (c.video) {
        ASSERT_TRUE(beginVideo(window.handle()));
    }
    const std::string path = dir.file("refused.avi");
    EXPECT_EQ(sdk->StartRecordFile(c.knownUid ? uid : "HOWNOBODY", c.slot, path), c.result);
    EXPECT_FALSE(fileExists(path));
    EXPECT_FALSE(mask() & 0x80);
    EXPECT_EQ(sdk->StopRecordFile(c.knownUid ? uid : "HOWNOBODY", c.slot), c.knownUid && c.slot >= 0 && c.slot < 8 ? 0 : -11);
}

INSTANTIATE_TEST_SUITE_P(Cases, SdkRecordRefuses,
                         ::testing::Values(Refusal{"NoVideo", 0, true, false, -11},
                                           Refusal{"UnknownDevice", 0, false, true, -11},
                                           Refusal{"NegativeSlot", -1, true, true, -11},
                                           Refusal{"SlotPastTheEnd", 8, true, true, -11}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(SdkRecord, UnwritableFolderFailsWithMinusOne)
{
    videotest::ScopedSurface window;
    ASSERT_TRUE(beginVideo(window.handle()));
    EXPECT_EQ(sdk->StartRecordFile(uid, 0, dir.file("no/such/folder/x.avi")), -1);
    EXPECT_FALSE(mask() & 0x80);
}

struct Ending {
    const char* name;
    void (*end)(LumoraInstance& sdk, const std::string& uid, sdktest::ResultRecorder& results);
};

void PrintTo(const Ending& c, std::ostream* os) { *os << c.name; }

class SdkRecordEnds : public SdkRecord, public ::testing::WithParamInterface<Ending> {};

TEST_P(SdkRecordEnds, RecordingIsFinishedWhenTheVideoGoes)
{
    videotest::ScopedSurface window;
    ASSERT_TRUE(beginVideo(window.handle()));
    const std::string path = dir.file("ended.avi");
    ASSERT_EQ(sdk->StartRecordFile(uid, 0, path), 0);
    showMore(window, 25);
    GetParam().end(*sdk, uid, results);
    ASSERT_TRUE(waitUntil([&] { return !(mask() & 0x80); }));
    EXPECT_GT(finishedFrames(path), 0);
    // Stopping afterwards changes nothing.
    EXPECT_EQ(sdk->StopRecordFile(uid, 0), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Endings, SdkRecordEnds,
    ::testing::Values(Ending{"EndVideo",
                             [](LumoraInstance& sdk, const std::string& uid, sdktest::ResultRecorder& results) {
                                 ASSERT_GE(sdk.EndVideo(uid, 0, 0, results.callback(7)), 0);
                                 ASSERT_TRUE(results.wait(7));
                             }},
                      Ending{"Logout",
                             [](LumoraInstance& sdk, const std::string& uid, sdktest::ResultRecorder&) {
                                 sdk.LogoutDev(uid);
                             }}),
    [](const auto& param) { return std::string(param.param.name); });

} // namespace
