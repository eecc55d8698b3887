// Local recordings of a real H.264 stream: what the recorder writes, read back by ffprobe and by
// our reader, and a recording that runs out of disk.
#include "ALawEncode.h"
#include "AviFile.h"
#include "AviRecorder.h"
#include "MediaFixture.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

using namespace mediatest;

namespace {

std::vector<char> alawFrame(int n)
{
    std::vector<char> frame(320);
    for (int i = 0; i < 320; ++i)
        frame[static_cast<std::size_t>(i)] = static_cast<char>(ALawEncode::EncodeSample(static_cast<short>((i * 37 + n) % 4000 - 2000)));
    return frame;
}

class AviRecorderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_units = makeH264(s_dir.path(), 320, 240, 15, 30, 10); }
    static TempDir s_dir;
    static std::vector<std::vector<char>> s_units;
};
TempDir AviRecorderTest::s_dir;
std::vector<std::vector<char>> AviRecorderTest::s_units;

TEST_F(AviRecorderTest, FixtureStartsWithASequenceParameterSet)
{
    ASSERT_EQ(s_units.size(), 30u);
    EXPECT_EQ(s_units[0][4] & 0x1F, 7);
}

TEST_F(AviRecorderTest, RecordingStartsAtTheFirstSpsAndFfprobeReadsIt)
{
    const std::string path = s_dir.file("rec.avi");
    AviRecorder recorder;
    ASSERT_EQ(recorder.Open(path, 320, 240, 15), 0);
    // Join the stream mid-way: frames 5 to 9 have no SPS and are not written, audio neither.
    for (int i = 5; i < 30; ++i) {
        ASSERT_EQ(recorder.WriteVideo(s_units[static_cast<std::size_t>(i)].data(), s_units[static_cast<std::size_t>(i)].size()), 0);
        const auto audio = alawFrame(i);
        ASSERT_EQ(recorder.WriteAudio(audio.data(), audio.size()), 0);
        EXPECT_EQ(recorder.IsStarted(), i >= 10);
    }
    ASSERT_EQ(recorder.Close(), 0);
    EXPECT_FALSE(recorder.IsOpen());

    auto in = AviFile::OpenInput(path);
    ASSERT_NE(in, nullptr) << AviFile::ErrorText();
    ASSERT_EQ(in->VideoFrames(), 20);
    EXPECT_EQ(in->AudioChunks(), 20);
    std::vector<char> frame;
    for (int i = 10; i < 30; ++i) {
        ASSERT_GT(in->ReadFrame(frame), 0);
        EXPECT_EQ(frame, s_units[static_cast<std::size_t>(i)]) << "frame " << i;
    }
    char audio[640];
    ASSERT_EQ(in->ReadAudioChunk(audio, sizeof audio), 320);
    EXPECT_EQ(std::vector<char>(audio, audio + 320), alawFrame(10));

    // Key frames carry the index flag: frames 10 and 20 of the stream (the SPS frames).
    const auto bytes = readFile(path);
    const std::size_t idx = bytes.size() - 8 - 16 * 40;
    ASSERT_EQ(tag(bytes, idx), "idx1");
    int keys = 0;
    for (std::size_t e = idx + 8; e < bytes.size(); e += 16)
        keys += tag(bytes, e) == "00db" && le32(bytes, e + 4) == 0x10;
    EXPECT_EQ(keys, 2);

    const auto streams = probeStreams(path);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0].at("codec_type"), "video");
    EXPECT_EQ(streams[0].at("codec_name"), "h264");
    EXPECT_EQ(streams[0].at("width"), "320");
    EXPECT_EQ(streams[0].at("height"), "240");
    EXPECT_EQ(streams[0].at("nb_read_frames"), "20");
    EXPECT_EQ(streams[1].at("codec_type"), "audio");
    EXPECT_EQ(streams[1].at("codec_name"), "pcm_alaw");
    EXPECT_EQ(streams[1].at("sample_rate"), "8000");
    EXPECT_EQ(streams[1].at("channels"), "1");
}

TEST_F(AviRecorderTest, ReopeningFinishesThePreviousFile)
{
    const std::string first = s_dir.file("first.avi"), second = s_dir.file("second.avi");
    AviRecorder recorder;
    ASSERT_EQ(recorder.Open(first, 320, 240, 15), 0);
    for (int i = 0; i < 5; ++i)
        recorder.WriteVideo(s_units[static_cast<std::size_t>(i)].data(), s_units[static_cast<std::size_t>(i)].size());
    ASSERT_EQ(recorder.Open(second, 320, 240, 15), 0);
    EXPECT_FALSE(recorder.IsStarted());
    auto in = AviFile::OpenInput(first);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(in->VideoFrames(), 5);
    EXPECT_EQ(le32(readFile(first), 48), 5u) << "final header written";
}

TEST_F(AviRecorderTest, UnwritableFolderFailsToOpen)
{
    AviRecorder recorder;
    EXPECT_EQ(recorder.Open("/nonexistent/folder/x.avi", 320, 240, 15), -1);
    EXPECT_FALSE(recorder.IsOpen());
    EXPECT_EQ(recorder.WriteVideo(s_units[0].data(), s_units[0].size()), 0) << "nothing to write into";
}

// A process file-size limit stands in for a full disk: writes past it fail with EFBIG.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit limited = m_old;
        limited.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limited);
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

TEST_F(AviRecorderTest, DiskFullEndsTheRecordingAsDotError)
{
    const std::string path = s_dir.file("full.avi");
    AviRecorder recorder;
    ASSERT_EQ(recorder.Open(path, 320, 240, 15), 0);
    int written = 0;
    bool failed = false;
    {
        FileSizeLimit limit(16 * 1024);
        for (int round = 0; round < 100 && !failed; ++round) {
            for (const auto& unit : s_units) {
                if (recorder.WriteVideo(unit.data(), unit.size()) != 0) {
                    failed = true;
                    break;
                }
                ++written;
            }
        }
    }
    ASSERT_TRUE(failed);
    EXPECT_FALSE(recorder.IsOpen());
    EXPECT_FALSE(fileExists(path));
    EXPECT_EQ(recorder.FailedPath(), path + ".error");
    ASSERT_TRUE(fileExists(path + ".error"));
    EXPECT_EQ(recorder.WriteVideo(s_units[0].data(), s_units[0].size()), 0) << "later frames are ignored";
    // What reached the disk is still a readable recording.
    auto in = AviFile::OpenInput(path + ".error");
    ASSERT_NE(in, nullptr) << AviFile::ErrorText();
    EXPECT_EQ(in->VideoFrames(), written);
}

} // namespace
