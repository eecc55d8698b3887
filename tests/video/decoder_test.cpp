// The FFmpeg decoder with its displayers: pictures drawn into a recording surface match FFmpeg's
// own decode of the same stream; the hardware set-up falls back to software; a stream larger
// than announced sets the decoder up again; snapshots are BMP files of the decoded picture.
#include "DxvaDecoder.h"
#include "ffmpeg_dxva2.h"

#include "VideoTestSupport.h"

#include <NetLog.h>

#include <filesystem>
#include <gtest/gtest.h>
#include <mutex>
#include <unistd.h>

namespace {

using videotest::EncodedFixture;
using videotest::ReadFile;
using videotest::ReferenceDecode;
using videotest::ScopedSurface;
using videotest::SplitAccessUnits;

// Captures the SDK log for one test.
class LogCapture {
public:
    LogCapture()
    {
        netlog::SetSink([this](netlog::Level, const std::string& line, const char*, int, const char*) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_text += line + "\n";
        });
    }
    ~LogCapture() { netlog::SetSink(nullptr); }
    bool contains(const std::string& text)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_text.find(text) != std::string::npos;
    }

private:
    std::mutex m_mutex;
    std::string m_text;
};

class NoHardwareDevice : public ::testing::Environment {
public:
    void SetUp() override { ffmpeg_dxva2::SetDevicePath("/nonexistent/renderD128"); }
};
const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new NoHardwareDevice);

struct StreamCase {
    const char* name;
    const char* codec;
    int width;
    int height;
};

class DecodeAgainstFfmpeg : public ::testing::TestWithParam<StreamCase> {};

// With the hardware flag the Direct3D displayer takes planar pictures: they are FFmpeg's
// decoded planes, byte for byte.
TEST_P(DecodeAgainstFfmpeg, PlanarPicturesEqualFfmpegsDecode)
{
    const StreamCase c = GetParam();
    const std::string fixture = EncodedFixture(c.codec, c.width, c.height, 12);
    ASSERT_FALSE(fixture.empty());
    const auto reference = ReferenceDecode(fixture, "yuv420p", c.width, c.height);
    ASSERT_EQ(reference.size(), 12u);
    ScopedSurface window;
    DxvaDecoder decoder;
    const int codec = std::string(c.codec) == "h265" ? DxvaDecoder::kCodecH265 : DxvaDecoder::kCodecH264;
    ASSERT_EQ(decoder.InitDecoder(window.handle(), c.width, c.height, true, codec), 0);
    auto units = SplitAccessUnits(ReadFile(fixture), codec == DxvaDecoder::kCodecH265);
    ASSERT_EQ(units.size(), 12u);
    uint64_t pts = 1000;
    for (auto& unit : units)
        EXPECT_EQ(decoder.DecoderFrame(pts += 40000, unit), 0);
    EXPECT_EQ(decoder.lastPts(), pts);
    const auto pictures = window.surface().pictures();
    ASSERT_EQ(pictures.size(), reference.size());
    for (size_t i = 0; i < pictures.size(); ++i) {
        EXPECT_EQ(pictures[i].format, platform::PictureFormat::Yuv420p);
        EXPECT_EQ(pictures[i].width, c.width);
        EXPECT_EQ(pictures[i].height, c.height);
        EXPECT_TRUE(pictures[i].pixels == reference[i]) << "picture " << i;
    }
}

// Without it the GDI displayer takes BGR24, converted from the same planes.
TEST_P(DecodeAgainstFfmpeg, BgrPicturesMatchFfmpegsConversion)
{
    const StreamCase c = GetParam();
    const std::string fixture = EncodedFixture(c.codec, c.width, c.height, 12);
    const auto reference = ReferenceDecode(fixture, "bgr24", c.width, c.height);
    ASSERT_EQ(reference.size(), 12u);
    ScopedSurface window;
    DxvaDecoder decoder;
    const int codec = std::string(c.codec) == "h265" ? DxvaDecoder::kCodecH265 : DxvaDecoder::kCodecH264;
    ASSERT_EQ(decoder.InitDecoder(window.handle(), c.width, c.height, false, codec), 0);
    for (auto& unit : SplitAccessUnits(ReadFile(fixture), codec == DxvaDecoder::kCodecH265))
        decoder.DecoderFrame(1, unit);
    const auto pictures = window.surface().pictures();
    ASSERT_EQ(pictures.size(), reference.size());
    for (size_t i = 0; i < pictures.size(); ++i) {
        EXPECT_EQ(pictures[i].format, platform::PictureFormat::Bgr24);
        EXPECT_LT(videotest::MeanDifference(pictures[i].pixels, reference[i]), 3.0) << "picture " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, DecodeAgainstFfmpeg,
                         ::testing::Values(StreamCase{"H264_320x240", "h264", 320, 240},
                                           StreamCase{"H264_1280x720", "h264", 1280, 720},
                                           StreamCase{"H265_640x360", "h265", 640, 360}),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

struct DrawCase {
    const char* name;
    const char* codec;
    int width;
    int height;
    bool direct; // decoded straight into the planar layout, drawn without a copy
};

class DirectDrawing : public ::testing::TestWithParam<DrawCase> {};

// Pictures that FFmpeg can decode straight into the displayer's planar layout reach the surface
// from the decoder's own buffers, which it goes on using as references; the others (cropped, or
// rows FFmpeg must pad) are copied. Either way every picture is FFmpeg's decode, byte for byte,
// and a snapshot is the picture it was asked for.
TEST_P(DirectDrawing, PicturesEqualFfmpegsDecodeWithOrWithoutACopy)
{
    const DrawCase c = GetParam();
    const std::string fixture = EncodedFixture(c.codec, c.width, c.height, 12);
    ASSERT_FALSE(fixture.empty());
    const auto reference = ReferenceDecode(fixture, "yuv420p", c.width, c.height);
    ASSERT_EQ(reference.size(), 12u);
    ScopedSurface window;
    DxvaDecoder decoder;
    const int codec = std::string(c.codec) == "h265" ? DxvaDecoder::kCodecH265 : DxvaDecoder::kCodecH264;
    ASSERT_EQ(decoder.InitDecoder(window.handle(), c.width, c.height, true, codec), 0);
    const std::string dir = ::testing::TempDir() + "direct-" + std::to_string(::getpid()) + "-" + c.name;
    std::filesystem::create_directories(dir);
    int snapResult = -5;
    const auto units = SplitAccessUnits(ReadFile(fixture), codec == DxvaDecoder::kCodecH265);
    ASSERT_EQ(units.size(), 12u);
    for (size_t i = 0; i < units.size(); ++i) {
        if (i == 7)
            decoder.SetSnapshot(dir + "/p7.bmp", [&](int, int r, std::string, std::string, char*, int) { snapResult = r; });
        std::vector<char> unit = units[i];
        EXPECT_EQ(decoder.DecoderFrame(40000u * (i + 1), unit), 0);
    }
    EXPECT_EQ(decoder.directPictures(), c.direct ? 12 : 0);
    const auto pictures = window.surface().pictures();
    ASSERT_EQ(pictures.size(), reference.size());
    for (size_t i = 0; i < pictures.size(); ++i) {
        EXPECT_EQ(pictures[i].format, platform::PictureFormat::Yuv420p);
        EXPECT_TRUE(pictures[i].pixels == reference[i]) << "picture " << i;
    }
    EXPECT_EQ(snapResult, 0);
    std::vector<uint8_t> bgr;
    platform::PictureToBgr(platform::PictureFormat::Yuv420p, reference[7].data(), c.width, c.height, bgr);
    const std::vector<char> bmp = ReadFile(dir + "/p7.bmp");
    ASSERT_EQ(bmp.size(), bgr.size() + 54u);
    EXPECT_TRUE(std::equal(bgr.begin(), bgr.end(), reinterpret_cast<const uint8_t*>(bmp.data()) + 54));
    std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Sizes, DirectDrawing,
                         ::testing::Values(DrawCase{"H264_1280x720", "h264", 1280, 720, true},
                                           DrawCase{"H264_640x480", "h264", 640, 480, true},
                                           DrawCase{"H265_1280x720", "h265", 1280, 720, true},
                                           DrawCase{"H265_640x360_Cropped", "h265", 640, 360, false},
                                           DrawCase{"H264_1920x1080_Cropped", "h264", 1920, 1080, false},
                                           DrawCase{"H264_352x288_PaddedRows", "h264", 352, 288, false}),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

// A picture larger than the one before replaces the buffers the decoder draws from; the pictures
// before and after the change are both FFmpeg's.
TEST(DirectDrawingSizes, BuffersFollowTheStreamsSize)
{
    const std::string small = EncodedFixture("h264", 640, 480, 12);
    const std::string large = EncodedFixture("h264", 1280, 720, 12);
    ASSERT_FALSE(small.empty());
    ASSERT_FALSE(large.empty());
    const auto smallReference = ReferenceDecode(small, "yuv420p", 640, 480);
    const auto largeReference = ReferenceDecode(large, "yuv420p", 1280, 720);
    ScopedSurface window;
    DxvaDecoder decoder;
    ASSERT_EQ(decoder.InitDecoder(window.handle(), 640, 480, true, DxvaDecoder::kCodecH264), 0);
    for (auto& unit : SplitAccessUnits(ReadFile(small), false))
        decoder.DecoderFrame(1, unit);
    for (auto& unit : SplitAccessUnits(ReadFile(large), false))
        decoder.DecoderFrame(2, unit);
    EXPECT_EQ(decoder.directPictures(), 24);
    const auto pictures = window.surface().pictures();
    ASSERT_EQ(pictures.size(), 24u);
    for (size_t i = 0; i < 12; ++i) {
        EXPECT_TRUE(pictures[i].pixels == smallReference[i]) << "picture " << i;
        EXPECT_TRUE(pictures[12 + i].pixels == largeReference[i]) << "picture " << 12 + i;
    }
}

TEST(HardwareDecoding, WithoutADeviceFallsBackToSoftwareAndSaysSo)
{
    LogCapture log;
    ScopedSurface window;
    DxvaDecoder decoder;
    ASSERT_EQ(decoder.InitDecoder(window.handle(), 320, 240, true, DxvaDecoder::kCodecH264), 0);
    EXPECT_FALSE(decoder.usesHardware());
    EXPECT_TRUE(log.contains("error init dxva decode"));
    for (auto& unit : SplitAccessUnits(ReadFile(EncodedFixture("h264", 320, 240, 12)), false))
        decoder.DecoderFrame(1, unit);
    EXPECT_EQ(window.surface().count(), 12u);
    EXPECT_TRUE(decoder.usesDirect3D());
}

TEST(HardwareDecoding, SoftwareRequestUsesTheGdiDisplayerAndLogsIt)
{
    LogCapture log;
    ScopedSurface window;
    DxvaDecoder decoder;
    ASSERT_EQ(decoder.InitDecoder(window.handle(), 320, 240, false, DxvaDecoder::kCodecH264), 0);
    EXPECT_FALSE(log.contains("error init dxva decode"));
    auto units = SplitAccessUnits(ReadFile(EncodedFixture("h264", 320, 240, 12)), false);
    decoder.DecoderFrame(1, units[0]);
    EXPECT_TRUE(log.contains("error occur DXRender"));
    EXPECT_EQ(decoder.displayer()->GetPixelLayout(), DisplayerBase::kLayoutBgr24);
}

TEST(HardwareDecoding, SurfaceWithoutYuvTurnsTheDecoderToGdiForGood)
{
    ScopedSurface window(false);
    DxvaDecoder decoder;
    ASSERT_EQ(decoder.InitDecoder(window.handle(), 320, 240, true, DxvaDecoder::kCodecH264), 0);
    for (auto& unit : SplitAccessUnits(ReadFile(EncodedFixture("h264", 320, 240, 12)), false))
        decoder.DecoderFrame(1, unit);
    EXPECT_FALSE(decoder.usesDirect3D());
    ASSERT_EQ(window.surface().count(), 12u);
    EXPECT_EQ(window.surface().last().format, platform::PictureFormat::Bgr24);
}

TEST(DecoderSetUp, SizesNoCameraSendsAreRefused)
{
    DxvaDecoder decoder;
    EXPECT_EQ(decoder.InitDecoder(1, -1, 720, false, 0), -1);
    EXPECT_EQ(decoder.InitDecoder(1, 1280, 100000, false, 0), -1);
    EXPECT_EQ(decoder.InitDecoder(1, 0, 0, false, 0), 0) << "a reply without a size leaves it to the stream";
}

TEST(DecoderSetUp, MjpegIsDecodedAsH264)
{
    ScopedSurface window;
    DxvaDecoder decoder;
    ASSERT_EQ(decoder.InitDecoder(window.handle(), 320, 240, false, DxvaDecoder::kCodecMjpeg), 0);
    for (auto& unit : SplitAccessUnits(ReadFile(EncodedFixture("h264", 320, 240, 12)), false))
        decoder.DecoderFrame(1, unit);
    EXPECT_EQ(window.surface().count(), 12u);
}

// A 1280x720 stream announced as 320x240 (and as 0x0): drawn whole at its real size.
TEST(DecoderSetUp, PictureLargerThanAnnouncedSetsTheDecoderUpAgain)
{
    for (int announced : {320, 0}) {
        ScopedSurface window;
        DxvaDecoder decoder;
        ASSERT_EQ(decoder.InitDecoder(window.handle(), announced, announced * 3 / 4, false, 0), 0);
        for (auto& unit : SplitAccessUnits(ReadFile(EncodedFixture("h264", 1280, 720, 12)), false))
            decoder.DecoderFrame(1, unit);
        ASSERT_EQ(window.surface().count(), 12u);
        EXPECT_EQ(window.surface().last().width, 1280);
        EXPECT_EQ(window.surface().last().height, 720);
        EXPECT_GE(decoder.alignedWidth(), 1280);
        EXPECT_GE(decoder.alignedHeight(), 720);
    }
}

TEST(DecoderFrames, EmptyFrameIsRefusedAndGarbageReportedAsAFailure)
{
    ScopedSurface window;
    DxvaDecoder decoder;
    ASSERT_EQ(decoder.InitDecoder(window.handle(), 320, 240, false, 0), 0);
    std::vector<char> empty;
    EXPECT_EQ(decoder.DecoderFrame(1, empty), -1);
    EXPECT_EQ(decoder.DecodeBuffer(1, nullptr, 0), -1);
    DxvaDecoder unset;
    std::vector<char> frame(100, 1);
    EXPECT_LT(unset.DecoderFrame(1, frame), 0) << "a decoder that was never set up";
    EXPECT_EQ(window.surface().count(), 0u);
}

TEST(DecoderFrames, LocalPlaybackFramesAreDrawnWithoutTouchingThePts)
{
    ScopedSurface window;
    DxvaDecoder decoder;
    ASSERT_EQ(decoder.InitDecoder(window.handle(), 320, 240, true, 0), 0);
    for (auto& unit : SplitAccessUnits(ReadFile(EncodedFixture("h264", 320, 240, 12)), false))
        EXPECT_EQ(decoder.DecodeBuffer(99, reinterpret_cast<const uint8_t*>(unit.data()), static_cast<int>(unit.size())), 0);
    EXPECT_EQ(decoder.lastPts(), 0u);
    EXPECT_EQ(window.surface().count(), 12u);
}

class Snapshot : public ::testing::TestWithParam<bool> {};

// The next picture is written as a top-down 24-bit BMP (through either displayer), the callback
// runs once with the path, and a second request while one is pending is dropped.
TEST_P(Snapshot, NextPictureBecomesABmpFile)
{
    const bool hardware = GetParam();
    ScopedSurface window;
    DxvaDecoder decoder;
    ASSERT_EQ(decoder.InitDecoder(window.handle(), 320, 240, hardware, 0), 0);
    auto units = SplitAccessUnits(ReadFile(EncodedFixture("h264", 320, 240, 12)), false);
    decoder.DecoderFrame(1, units[0]);
    const std::string dir = ::testing::TempDir() + "snap-" + std::to_string(::getpid()) + (hardware ? "-d3d" : "-gdi");
    std::filesystem::create_directories(dir);
    int calls = 0;
    std::string reported;
    int result = -5;
    decoder.SetSnapshot(dir + "/a.bmp", [&](int, int r, std::string text, std::string, char*, int) {
        ++calls;
        reported = text;
        result = r;
    });
    decoder.SetSnapshot(dir + "/b.bmp", [&](int, int, std::string, std::string, char*, int) { ++calls; });
    decoder.DecoderFrame(2, units[1]);
    decoder.DecoderFrame(3, units[2]);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(reported, dir + "/a.bmp");
    EXPECT_FALSE(std::filesystem::exists(dir + "/b.bmp"));
    const std::vector<char> bmp = ReadFile(dir + "/a.bmp");
    ASSERT_EQ(bmp.size(), 320u * 240u * 3u + 54u);
    auto u32 = [&](size_t at) {
        return uint32_t(uint8_t(bmp[at])) | uint32_t(uint8_t(bmp[at + 1])) << 8 | uint32_t(uint8_t(bmp[at + 2])) << 16 |
               uint32_t(uint8_t(bmp[at + 3])) << 24;
    };
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[1], 'M');
    EXPECT_EQ(u32(2), 320u * 240u * 3u + 54u);
    EXPECT_EQ(u32(10), 54u);
    EXPECT_EQ(u32(14), 40u);
    EXPECT_EQ(u32(18), 320u);
    EXPECT_EQ(static_cast<int32_t>(u32(22)), -240);
    EXPECT_EQ(u32(26), 1u | (24u << 16));
    EXPECT_EQ(u32(30), 0u);
    EXPECT_EQ(u32(34), 320u * 240u * 3u);
    EXPECT_EQ(u32(38), 100u);
    EXPECT_EQ(u32(42), 100u);
    // The pixels are the second picture as the surface got it (converted when planar).
    const auto pictures = window.surface().pictures();
    ASSERT_GE(pictures.size(), 2u);
    std::vector<uint8_t> bgr;
    platform::PictureToBgr(pictures[1].format, pictures[1].pixels.data(), 320, 240, bgr);
    EXPECT_TRUE(std::equal(bgr.begin(), bgr.end(), reinterpret_cast<const uint8_t*>(bmp.data()) + 54));
    std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Displayers, Snapshot, ::testing::Values(false, true),
                         [](const auto& testInfo) { return testInfo.param ? std::string("Direct3D") : std::string("Gdi"); });

TEST(SnapshotFile, UnwritablePathIsReportedAsAFailure)
{
    ScopedSurface window;
    DxvaDecoder decoder;
    ASSERT_EQ(decoder.InitDecoder(window.handle(), 320, 240, false, 0), 0);
    int result = 0;
    decoder.SetSnapshot("/nonexistent-dir/x.bmp", [&](int, int r, std::string, std::string, char*, int) { result = r; });
    for (auto& unit : SplitAccessUnits(ReadFile(EncodedFixture("h264", 320, 240, 12)), false))
        decoder.DecoderFrame(1, unit);
    EXPECT_EQ(result, -1);
}

} // namespace
