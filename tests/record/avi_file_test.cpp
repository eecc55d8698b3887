// The AVI writer's byte layout, its size guard, and the reader on our own and on foreign files.
#include "AviFile.h"
#include "MediaFixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

using namespace mediatest;

namespace {

struct Field {
    std::size_t offset;
    const char* tag;   // expected fourcc, or null
    uint32_t value;    // expected little-endian value when tag is null
};

void expectFields(const std::vector<char>& bytes, const std::vector<Field>& fields)
{
    for (const auto& f : fields) {
        if (f.tag)
            EXPECT_EQ(tag(bytes, f.offset), f.tag) << "at offset " << f.offset;
        else
            EXPECT_EQ(le32(bytes, f.offset), f.value) << "at offset " << f.offset;
    }
}

std::unique_ptr<AviFile> openRecording(const std::string& path, double fps = 15)
{
    auto avi = AviFile::OpenOutput(path);
    EXPECT_NE(avi, nullptr);
    EXPECT_EQ(avi->SetVideo(640, 480, fps, "H264"), 0);
    EXPECT_EQ(avi->SetAudio(1, 8000, 16, 6, 64), 0);
    return avi;
}

// Fields of the header area that do not depend on the recording's content.
const std::vector<Field> kHeaderFields = {
    {0, "RIFF", 0},     {8, "AVI ", 0},      {12, "LIST", 0},     {16, nullptr, 292},  {20, "hdrl", 0},
    {24, "avih", 0},    {28, nullptr, 56},   {32, nullptr, 66667}, {36, nullptr, 0},   {40, nullptr, 0},
    {44, nullptr, 0x110}, {52, nullptr, 0},  {56, nullptr, 2},    {60, nullptr, 0},    {64, nullptr, 640},
    {68, nullptr, 480}, {88, "LIST", 0},     {92, nullptr, 116},  {96, "strl", 0},     {100, "strh", 0},
    {104, nullptr, 56}, {108, "vids", 0},    {112, "H264", 0},    {116, nullptr, 0},   {120, nullptr, 0},
    {124, nullptr, 0},  {128, nullptr, 1000000}, {132, nullptr, 15000000}, {136, nullptr, 0},
    {144, nullptr, 0},  {148, nullptr, 0xFFFFFFFF}, {152, nullptr, 0}, {156, nullptr, 0}, {160, nullptr, 0},
    {164, "strf", 0},   {168, nullptr, 40},  {172, nullptr, 40},  {176, nullptr, 640}, {180, nullptr, 480},
    {184, nullptr, 0x00180001}, {188, "H264", 0}, {192, nullptr, 640 * 480 * 3}, {196, nullptr, 0},
    {212, "LIST", 0},   {216, nullptr, 92},  {220, "strl", 0},    {224, "strh", 0},    {228, nullptr, 56},
    {232, "auds", 0},   {236, nullptr, 0},   {252, nullptr, 1},   {256, nullptr, 8000}, {260, nullptr, 0},
    {272, nullptr, 0xFFFFFFFF}, {276, nullptr, 1}, {288, "strf", 0}, {292, nullptr, 16},
    {296, nullptr, 0x00010006}, {300, nullptr, 8000}, {304, nullptr, 8000}, {308, nullptr, 0x00100001},
    {2044, "movi", 0},
};

TEST(AviLayout, EmptyRecordingHasTheFullHeaderAndAnEmptyIndex)
{
    TempDir dir;
    const std::string path = dir.file("empty.avi");
    auto avi = openRecording(path);
    ASSERT_EQ(avi->Close(), 0);

    const auto bytes = readFile(path);
    ASSERT_EQ(bytes.size(), 2056u);
    expectFields(bytes, kHeaderFields);
    expectFields(bytes, {{4, nullptr, 2048},
                         {48, nullptr, 0},
                         {140, nullptr, 0},
                         {264, nullptr, 0},
                         {312, "LIST", 0},
                         {316, nullptr, 76},
                         {320, "INFO", 0},
                         {324, "ISFT", 0},
                         {328, nullptr, 64},
                         {396, "JUNK", 0},
                         {400, nullptr, 1632},
                         {2036, "LIST", 0},
                         {2040, nullptr, 12},
                         {2048, "idx1", 0},
                         {2052, nullptr, 0}});
    for (std::size_t i = 332; i < 396; ++i)
        ASSERT_EQ(bytes[i], 0) << "ISFT data at " << i;
    for (std::size_t i = 404; i < 2036; ++i)
        ASSERT_EQ(bytes[i], 0) << "JUNK data at " << i;
}

TEST(AviLayout, OpenRecordingCarriesAProvisionalHeader)
{
    TempDir dir;
    const std::string path = dir.file("open.avi");
    auto avi = openRecording(path);
    const std::vector<char> frame(100, 'v');
    ASSERT_EQ(avi->WriteVideoFrame(frame.data(), 100, true), 0);
    ASSERT_EQ(avi->WriteAudio(frame.data(), 50), 0);
    // SetVideo and SetAudio wrote the provisional header; nothing rewrites it until Close.
    const auto bytes = readFile(path);
    expectFields(bytes, kHeaderFields);
    expectFields(bytes, {{4, nullptr, 0xFEFFF003},
                         {48, nullptr, 0},
                         {312, "JUNK", 0},
                         {316, nullptr, 1716},
                         {2036, "LIST", 0},
                         {2040, nullptr, 0xFEFFF003},
                         {2048, "00db", 0}});
    ASSERT_EQ(avi->Close(), 0);
}

TEST(AviLayout, VideoAndAudioChunksAreIndexedWithAbsoluteOffsets)
{
    TempDir dir;
    const std::string path = dir.file("av.avi");
    auto avi = openRecording(path);
    const std::vector<char> key(101, 'k'), delta(40, 'd'), audio(320, 'a');
    ASSERT_EQ(avi->WriteVideoFrame(key.data(), 101, true), 0);   // 2048: 8 + 101 + pad
    ASSERT_EQ(avi->WriteAudio(audio.data(), 320), 0);            // 2158: 8 + 320
    ASSERT_EQ(avi->WriteVideoFrame(delta.data(), 40, false), 0); // 2486: 8 + 40
    ASSERT_EQ(avi->WriteAudio(audio.data(), 320), 0);            // 2534: 8 + 320
    ASSERT_EQ(avi->Close(), 0);                                  // idx1 at 2862

    const auto bytes = readFile(path);
    ASSERT_EQ(bytes.size(), 2862u + 8 + 64);
    expectFields(bytes, kHeaderFields);
    expectFields(bytes, {{4, nullptr, 2934 - 8},
                         {48, nullptr, 2},
                         {140, nullptr, 2},
                         {264, nullptr, 640},
                         {2040, nullptr, 2934 - 2044},
                         {2048, "00db", 0},
                         {2052, nullptr, 101},
                         {2158, "01wb", 0},
                         {2162, nullptr, 320},
                         {2486, "00db", 0},
                         {2534, "01wb", 0},
                         {2862, "idx1", 0},
                         {2866, nullptr, 64},
                         {2870, "00db", 0},
                         {2874, nullptr, 0x10},
                         {2878, nullptr, 2048},
                         {2882, nullptr, 101},
                         {2886, "01wb", 0},
                         {2890, nullptr, 0},
                         {2894, nullptr, 2158},
                         {2898, nullptr, 320},
                         {2902, "00db", 0},
                         {2906, nullptr, 0},
                         {2910, nullptr, 2486},
                         {2918, "01wb", 0},
                         {2926, nullptr, 2534}});
    EXPECT_EQ(bytes[2048 + 8 + 101], 0) << "odd chunk padded";

    auto in = AviFile::OpenInput(path);
    ASSERT_NE(in, nullptr) << AviFile::ErrorText();
    EXPECT_EQ(in->VideoFrames(), 2);
    EXPECT_EQ(in->Width(), 640);
    EXPECT_EQ(in->Height(), 480);
    EXPECT_DOUBLE_EQ(in->FrameRate(), 15.0);
    EXPECT_EQ(in->Compressor(), "H264");
    EXPECT_EQ(in->AudioChunks(), 2);
    EXPECT_EQ(in->AudioChunkSize(1), 320);
    EXPECT_EQ(in->AudioChunkSize(2), -1);
    EXPECT_EQ(in->MaxVideoFrameBytes(), 101u);
    std::vector<char> frame;
    ASSERT_EQ(in->ReadFrame(frame), 101);
    EXPECT_EQ(frame, key);
    ASSERT_EQ(in->ReadFrame(frame), 40);
    EXPECT_EQ(frame, delta);
    EXPECT_EQ(in->ReadFrame(frame), 0) << "past the last frame";
    ASSERT_EQ(in->SetVideoPosition(1), 0);
    ASSERT_EQ(in->ReadFrame(frame), 40);
    char chunk[640];
    EXPECT_EQ(in->ReadAudioChunk(chunk, sizeof chunk), 320);
    EXPECT_EQ(in->ReadAudioChunk(chunk, 100), 100) << "never more than the caller's buffer";
    EXPECT_EQ(in->ReadAudioChunk(chunk, sizeof chunk), 0);
}

struct RateCase {
    const char* name;
    double fps;
    uint32_t microsPerFrame;
    uint32_t rate;
};

void PrintTo(const RateCase& c, std::ostream* os) { *os << c.name; }

class AviFrameRate : public ::testing::TestWithParam<RateCase> {};

TEST_P(AviFrameRate, SetsMicrosecondsPerFrameAndRate)
{
    TempDir dir;
    const std::string path = dir.file("rate.avi");
    auto avi = openRecording(path, GetParam().fps);
    ASSERT_EQ(avi->Close(), 0);
    const auto bytes = readFile(path);
    EXPECT_EQ(le32(bytes, 32), GetParam().microsPerFrame);
    EXPECT_EQ(le32(bytes, 132), GetParam().rate);
}

INSTANTIATE_TEST_SUITE_P(Rates, AviFrameRate,
                         ::testing::Values(RateCase{"Zero", 0, 0, 0}, RateCase{"Tiny", 0.0009, 0, 0},
                                           RateCase{"Ten", 10, 100000, 10000000},
                                           RateCase{"Fifteen", 15, 66667, 15000000},
                                           RateCase{"Ntsc", 29.97, 33367, 29970000}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(AviLayout, SizeGuardRefusesAChunkAndLeavesTheFileClosable)
{
    TempDir dir;
    const std::string path = dir.file("guard.avi");
    auto avi = openRecording(path);
    const std::vector<char> frame(1000, 'f');
    ASSERT_EQ(avi->WriteVideoFrame(frame.data(), 1000, true), 0);
    // pos 3056, one entry: the next 1000-byte chunk needs 3056 + 16 + 1000 + 32 = 4104 bytes.
    avi->SetSizeLimit(4103);
    EXPECT_EQ(avi->WriteVideoFrame(frame.data(), 1000, false), -1);
    EXPECT_EQ(AviFile::LastError(), AviFile::kSizeLimit);
    EXPECT_EQ(AviFile::ErrorText(), "avifile - AVI file size limit reached");
    EXPECT_EQ(avi->WriteAudio(frame.data(), 1000), -1);
    avi->SetSizeLimit(4104);
    EXPECT_EQ(avi->WriteVideoFrame(frame.data(), 1000, false), 0) << "exactly at the limit is allowed";
    ASSERT_EQ(avi->Close(), 0);
    auto in = AviFile::OpenInput(path);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(in->VideoFrames(), 2);
}

TEST(AviLayout, NinthAudioTrackIsRefused)
{
    TempDir dir;
    auto avi = AviFile::OpenOutput(dir.file("tracks.avi"));
    ASSERT_NE(avi, nullptr);
    ASSERT_EQ(avi->SetVideo(16, 16, 10, "H264"), 0);
    for (int t = 0; t < AviFile::kMaxAudioTracks; ++t)
        ASSERT_EQ(avi->SetAudio(1, 8000, 16, 6, 64), 0);
    EXPECT_EQ(avi->SetAudio(1, 8000, 16, 6, 64), -1);
    EXPECT_EQ(AviFile::LastError(), AviFile::kNotPermitted);
    EXPECT_EQ(avi->Close(), 0);
}

// ---- reader -------------------------------------------------------------------------------------

std::vector<char> writeSmallRecording(const std::string& path, int frames)
{
    auto avi = openRecording(path);
    for (int i = 0; i < frames; ++i) {
        const std::vector<char> frame(static_cast<std::size_t>(50 + i), static_cast<char>('a' + i));
        EXPECT_EQ(avi->WriteVideoFrame(frame.data(), static_cast<uint32_t>(frame.size()), i == 0), 0);
        EXPECT_EQ(avi->WriteAudio(frame.data(), 20), 0);
    }
    EXPECT_EQ(avi->Close(), 0);
    return readFile(path);
}

struct Variant {
    const char* name;
    void (*edit)(std::vector<char>& bytes);
};

void PrintTo(const Variant& c, std::ostream* os) { *os << c.name; }

void keep(std::vector<char>&) {}

void relativeIndex(std::vector<char>& b)
{
    // Rewrite every idx1 offset relative to the "movi" fourcc at 2044.
    const std::size_t idx = b.size() - 8 - 16 * 6;
    for (std::size_t e = idx + 8; e < b.size(); e += 16) {
        const uint32_t rel = le32(b, e + 8) - 2044;
        std::memcpy(&b[e + 8], &rel, 4);
    }
}

void noIndex(std::vector<char>& b) { b.resize(b.size() - 8 - 16 * 6); }

void indexOutsideMovi(std::vector<char>& b)
{
    // Another writer's layout: the movi list ends where idx1 begins.
    const uint32_t movi = static_cast<uint32_t>(b.size() - 8 - 16 * 6 - 2044);
    std::memcpy(&b[2040], &movi, 4);
}

class AviReaderVariants : public ::testing::TestWithParam<Variant> {};

TEST_P(AviReaderVariants, FindTheSameFrames)
{
    TempDir dir;
    const std::string path = dir.file("v.avi");
    auto bytes = writeSmallRecording(path, 3);
    GetParam().edit(bytes);
    writeFile(path, bytes);

    auto in = AviFile::OpenInput(path);
    ASSERT_NE(in, nullptr) << AviFile::ErrorText();
    ASSERT_EQ(in->VideoFrames(), 3);
    ASSERT_EQ(in->AudioChunks(), 3);
    std::vector<char> frame;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(in->ReadFrame(frame), 50 + i);
        EXPECT_EQ(frame, std::vector<char>(static_cast<std::size_t>(50 + i), static_cast<char>('a' + i)));
    }
}

INSTANTIATE_TEST_SUITE_P(Files, AviReaderVariants,
                         ::testing::Values(Variant{"AbsoluteIndex", keep}, Variant{"RelativeIndex", relativeIndex},
                                           Variant{"NoIndex", noIndex}, Variant{"IndexOutsideMovi", indexOutsideMovi}),
                         [](const auto& param) { return std::string(param.param.name); });

struct Broken {
    const char* name;
    void (*edit)(std::vector<char>& bytes);
    int error;
};

void PrintTo(const Broken& c, std::ostream* os) { *os << c.name; }

void notRiff(std::vector<char>& b) { std::memcpy(b.data(), "RIFX", 4); }
void noHeaderList(std::vector<char>& b) { std::memcpy(&b[20], "hdrX", 4); }
void noMovi(std::vector<char>& b) { std::memcpy(&b[2044], "movX", 4); }
void noVideoStream(std::vector<char>& b) { std::memcpy(&b[108], "txts", 4); }
void truncatedHeader(std::vector<char>& b) { b.resize(11); }
void hugeSizes(std::vector<char>& b)
{
    // Frame lengths and offsets far beyond the file: the entries are dropped, none is read.
    const std::size_t idx = b.size() - 8 - 16 * 6;
    for (std::size_t e = idx + 8; e < b.size(); e += 16) {
        if (tag(b, e) == "00db") {
            const uint32_t big = 0x7FFFFFF0;
            std::memcpy(&b[e + 12], &big, 4);
        }
    }
    std::memcpy(&b[2048 + 4], "\xF0\xFF\xFF\x7F", 4);
}

class AviReaderRefuses : public ::testing::TestWithParam<Broken> {};

TEST_P(AviReaderRefuses, BrokenFileWithItsError)
{
    TempDir dir;
    const std::string path = dir.file("b.avi");
    auto bytes = writeSmallRecording(path, 3);
    GetParam().edit(bytes);
    writeFile(path, bytes);
    EXPECT_EQ(AviFile::OpenInput(path), nullptr);
    EXPECT_EQ(AviFile::LastError(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(Files, AviReaderRefuses,
                         ::testing::Values(Broken{"NotRiff", notRiff, AviFile::kNotAvi},
                                           Broken{"TooShort", truncatedHeader, AviFile::kNotAvi},
                                           Broken{"NoHeaderList", noHeaderList, AviFile::kNoHeaderList},
                                           Broken{"NoMoviList", noMovi, AviFile::kNoMoviList},
                                           Broken{"NoVideoStream", noVideoStream, AviFile::kNoVideo},
                                           Broken{"SizesBeyondTheFile", hugeSizes, AviFile::kNoVideo}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(AviReader, MissingFileIsAnOpenError)
{
    EXPECT_EQ(AviFile::OpenInput("/nonexistent/lumora.avi"), nullptr);
    EXPECT_EQ(AviFile::LastError(), AviFile::kOpen);
    EXPECT_EQ(AviFile::ErrorText().rfind("avifile - Error opening AVI file - ", 0), 0u);
}

} // namespace
