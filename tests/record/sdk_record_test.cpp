// Local recording of live video and its local playback through the SDK against the simulated
// camera: what starts a recording, what ends it, the files it writes, and the player's controls.
#include "AviFile.h"
#include "SdkMediaFixture.h"

#include <cctype>
#include <climits>
#include <csignal>
#include <filesystem>
#include <sys/resource.h>

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

// ---- What a recording holds: the stream's rate and codec, and the local player's seek

// Seconds of a ffprobe "N/D" rate or duration text.
double ratio(const std::string& text)
{
    const auto slash = text.find('/');
    if (slash == std::string::npos)
        return std::stod(text);
    const double d = std::stod(text.substr(slash + 1));
    return d == 0 ? 0 : std::stod(text.substr(0, slash)) / d;
}

TEST_F(SdkRecord, RecordingDeclaresTheStreamsRateAndLastsItsWallTime)
{
    videotest::ScopedSurface window;
    ASSERT_TRUE(beginVideo(window.handle()));
    const std::string path = dir.file("rate.avi");
    ASSERT_EQ(sdk->StartRecordFile(uid, 0, path), 0);
    const long long started = nowMs();
    showMore(window, 75); // three seconds of a 25-a-second camera
    ASSERT_EQ(sdk->StopRecordFile(uid, 0), 0);
    const double wall = static_cast<double>(nowMs() - started) / 1000.0;

    const int frames = finishedFrames(path);
    const auto streams = probeStreams(path);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0].at("codec_name"), "h264");
    EXPECT_EQ(streams[0].at("r_frame_rate"), "25/1");
    EXPECT_EQ(streams[0].at("nb_read_frames"), std::to_string(frames));
    const double duration = frames / ratio(streams[0].at("r_frame_rate"));
    EXPECT_NEAR(duration, wall, wall / 4) << frames << " frames";

    // The local player holds a seek to the file's frames.
    videotest::ScopedSurface playback;
    ASSERT_EQ(sdk->PlayLocalAVIFile(path, reinterpret_cast<HWND>(static_cast<intptr_t>(playback.handle()))), 0);
    sdk->LocalPlayOrStop(1);
    struct Seek {
        int to;
        int expected;
    };
    for (const Seek& seek : {Seek{2147483647, frames - 1}, Seek{frames, frames - 1}, Seek{-7, 0}, Seek{3, 3}}) {
        sdk->SetAVIFileFrame(seek.to);
        EXPECT_EQ(sdk->GetLocalPlayPos(), seek.expected) << "seek to " << seek.to;
    }
    sdk->EndLocalAVIFile();
}

TEST_F(SdkRecord, DiskFullEndsTheRecordingClearsItsBitAndTellsTheApplication)
{
    videotest::ScopedSurface window;
    ASSERT_TRUE(beginVideo(window.handle()));
    const std::string path = dir.file("full.avi");
    {
        // A process file-size limit stands in for a full disk: writes past it fail with EFBIG.
        rlimit old{};
        ::getrlimit(RLIMIT_FSIZE, &old);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limited = old;
        limited.rlim_cur = 24 * 1024;
        ::setrlimit(RLIMIT_FSIZE, &limited);
        ASSERT_EQ(sdk->StartRecordFile(uid, 0, path), 0);
        const bool ended = messages.wait(5);
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
        ASSERT_TRUE(ended);
    }
    const auto end = messages.calls().back();
    EXPECT_EQ(end.message, 5);
    EXPECT_EQ(end.uid, uid);
    EXPECT_EQ(end.text, path + ".error");
    EXPECT_EQ(end.reserved, -1);
    EXPECT_FALSE(mask() & 0x80);
    EXPECT_TRUE(fileExists(path + ".error"));
    EXPECT_EQ(sdk->StopRecordFile(uid, 0), -1) << "the stop hears the failure";
    EXPECT_EQ(sdk->StopRecordFile(uid, 0), 0) << "once";
    EXPECT_EQ(messages.count(5), 1u);
}

// Cameras whose streams the recorder must take as they come.
struct Stream {
    const char* name;
    const char* codec;     // "h264" or "h265"
    bool threeByteCodes;   // every start code shortened to 00 00 01
    bool keyFrames;        // false: only the pictures between key frames
    const char* probed;    // ffprobe's codec name of the recording; null when none is made
    const char* fourcc;
};

void PrintTo(const Stream& c, std::ostream* os) { *os << c.name; }

class SdkRecordStreams : public SdkRecord, public ::testing::WithParamInterface<Stream> {
protected:
    std::string makeMedia() override
    {
        const Stream& c = GetParam();
        const bool h265 = std::string(c.codec) == "h265";
        const std::string fixture = videotest::EncodedFixture(c.codec, kWidth, kHeight, 50, 10);
        EXPECT_FALSE(fixture.empty());
        std::vector<char> out;
        for (const auto& unit : videotest::SplitAccessUnits(videotest::ReadFile(fixture), h265)) {
            std::vector<char> u = unit;
            if (!c.keyFrames) {
                // Keeps the non-key pictures alone: no parameter set and no refresh picture.
                bool key = false;
                for (std::size_t i = 0; i + 3 < u.size(); ++i)
                    if (u[i] == 0 && u[i + 1] == 0 && u[i + 2] == 1) {
                        const auto b = static_cast<unsigned char>(u[i + 3]);
                        const int t = h265 ? (b >> 1) & 0x3F : b & 0x1F;
                        key = key || (h265 ? (t >= 16 && t <= 21) || (t >= 32 && t <= 34) : t == 5 || t == 7 || t == 8);
                    }
                if (key)
                    continue;
            }
            if (c.threeByteCodes) {
                std::vector<char> shorter;
                for (std::size_t i = 0; i < u.size(); ++i) {
                    if (i + 3 < u.size() && u[i] == 0 && u[i + 1] == 0 && u[i + 2] == 0 && u[i + 3] == 1)
                        continue; // drop the leading zero of a four-byte start code
                    shorter.push_back(u[i]);
                }
                u = std::move(shorter);
            }
            out.insert(out.end(), u.begin(), u.end());
        }
        const std::string path = dir.file(std::string("live.") + c.codec);
        writeFile(path, out);
        return path;
    }
};

TEST_P(SdkRecordStreams, AreRecordedUnderTheirOwnCodecOrRefusedWithAMessage)
{
    const Stream& c = GetParam();
    videotest::ScopedSurface window;
    ASSERT_TRUE(beginVideo(window.handle()));
    const std::string path = dir.file("stream.avi");
    ASSERT_EQ(sdk->StartRecordFile(uid, 0, path), 0);
    if (c.probed == nullptr) {
        // No key frame within the bound: the caller hears it, and no empty file is left.
        ASSERT_TRUE(messages.wait(5));
        const auto end = messages.calls().back();
        EXPECT_EQ(end.text, path);
        EXPECT_EQ(end.reserved, -2);
        EXPECT_FALSE(mask() & 0x80);
        EXPECT_FALSE(fileExists(path));
        EXPECT_EQ(sdk->StopRecordFile(uid, 0), -2);
        return;
    }
    ASSERT_TRUE(window.surface().waitFor(window.surface().count() + 30));
    ASSERT_EQ(sdk->StopRecordFile(uid, 0), 0);
    EXPECT_EQ(messages.count(5), 0u);
    const int frames = finishedFrames(path);
    EXPECT_GT(frames, 15);
    auto avi = AviFile::OpenInput(path);
    ASSERT_NE(avi, nullptr);
    EXPECT_EQ(avi->Compressor(), c.fourcc);
    const auto streams = probeStreams(path);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0].at("codec_name"), c.probed);
    EXPECT_EQ(streams[0].at("nb_read_frames"), std::to_string(frames));
}

INSTANTIATE_TEST_SUITE_P(Cameras, SdkRecordStreams,
                         ::testing::Values(Stream{"H265", "h265", false, true, "hevc", "HEVC"},
                                           Stream{"H264ThreeByteStartCodes", "h264", true, true, "h264", "H264"},
                                           Stream{"H265ThreeByteStartCodes", "h265", true, true, "hevc", "HEVC"},
                                           Stream{"NoKeyFrame", "h264", false, false, nullptr, ""}),
                         [](const auto& param) { return std::string(param.param.name); });

} // namespace
