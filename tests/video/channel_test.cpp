// The per-stream channel over a real device session whose link reads from memory: the pull loop
// draws live video, routes audio, maps kinds to reads, survives its owner dropping it mid-read,
// gives a stalled read back when the stream stops, and writes downloads with their endings.
#include "VideoDecoderImple.h"
#include "ffmpeg_dxva2.h"

#include "VideoTestSupport.h"
#include "WaitUntil.h"

#include <NetProImple.h>
#include <NetProtocol.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <future>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using videotest::MediaChunks;
using videotest::ReadFile;
using videotest::ScopedSurface;
using videotest::SplitAccessUnits;

// Bytes the device sends, per channel. A read of an empty channel waits a moment for bytes, as a
// transport read does, then times out (-3); once the link is broken it fails.
class DeviceBytes {
public:
    void push(int channel, const std::vector<char>& bytes)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto& q = m_queues[channel];
        q.insert(q.end(), bytes.begin(), bytes.end());
        m_arrived.notify_all();
    }
    void breakLink()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_broken = true;
        m_arrived.notify_all();
    }
    size_t pending(int channel)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_queues[channel].size();
    }
    // Called after every read of the link (a read that waits polls again and again).
    void onRead(std::function<void()> fn)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_onRead = std::move(fn);
    }
    uint64_t reads()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_reads;
    }
    int read(int channel, char* buffer, int& length)
    {
        std::function<void()> after;
        const int rc = take(channel, buffer, length, after);
        if (after)
            after();
        return rc;
    }

private:
    int take(int channel, char* buffer, int& length, std::function<void()>& after)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        ++m_reads;
        after = m_onRead;
        auto& q = m_queues[channel];
        m_arrived.wait_for(lock, kReadWait, [&] { return !q.empty() || m_broken; });
        const size_t n = std::min(q.size(), static_cast<size_t>(length));
        std::copy(q.begin(), q.begin() + static_cast<std::ptrdiff_t>(n), buffer);
        q.erase(q.begin(), q.begin() + static_cast<std::ptrdiff_t>(n));
        length = static_cast<int>(n);
        if (n == 0 && m_broken)
            return -1;
        return n == 0 ? -3 : 0;
    }

    // How long a read of an empty channel waits (the transports wait 50 to 100 ms).
    static constexpr std::chrono::milliseconds kReadWait{5};

    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::map<int, std::deque<char>> m_queues;
    bool m_broken = false;
    uint64_t m_reads = 0;
    std::function<void()> m_onRead;
};

class ChannelTest : public ::testing::Test {
protected:
    ChannelTest() : pool(std::make_unique<videotest::WorkerPool>(5))
    {
        ffmpeg_dxva2::SetDevicePath("/nonexistent/renderD128");
        session = std::make_unique<NetProImple>("CHANNELCAM", nullptr, nullptr);
        session->parser()->link()->setByteSource(
            [this](int channelId, char* buffer, int& length) { return bytes.read(channelId, buffer, length); });
        session->parser()->link()->setHandle(0);
        VideoDecoderImple::Host host;
        host.schedule = pool->scheduler();
        // The waiter checks its condition under its own lock and the condition takes m_mutex, so
        // the records are written under m_mutex and the waiter told after it is let go.
        host.playAudio = [this](const char* data, unsigned length, int type, uint64_t pts) {
            record([&] { audio.emplace_back(data, data + length); });
        };
        host.devLost = [this](const std::string& uid, int slot) {
            record([&] { lost.push_back(uid + "/" + std::to_string(slot)); });
        };
        host.recordEnd = [this](const std::string&, const std::string& path, int status) {
            record([&] { ends.emplace_back(path, status); });
        };
        // Delayed posts are kept for the test to run.
        host.scheduleAfter = [this](std::chrono::milliseconds delay, std::function<void()> task) {
            record([&] { delayed.emplace_back(delay, std::move(task)); });
        };
        channel = VideoDecoderImple::Create(session.get(), host);
        dir = ::testing::TempDir() + "channel-" + std::to_string(::getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::filesystem::create_directories(dir);
    }
    ~ChannelTest() override
    {
        bytes.breakLink();
        session->parser()->SetAbandon(1);
        channel.reset();
        // Workers still reading end on the broken link; they are joined before anything they
        // record into goes.
        pool.reset();
        std::filesystem::remove_all(dir);
    }

    void pushVideo(const std::string& fixture, int channelId = kChannelLive)
    {
        uint32_t id = 0;
        for (auto& unit : SplitAccessUnits(ReadFile(fixture), false)) {
            ++id;
            bytes.push(channelId, MediaChunks(unit, 1, id, 40000ull * id));
        }
    }
    template <class Change>
    void record(Change change)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            change();
        }
        waiter.notify();
    }
    size_t audioCount()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return audio.size();
    }
    std::vector<std::pair<std::string, int>> endings()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return ends;
    }

    DeviceBytes bytes;
    std::unique_ptr<NetProImple> session;
    // Joined before the session goes: its workers may still be inside a read.
    std::unique_ptr<videotest::WorkerPool> pool;
    std::shared_ptr<VideoDecoderImple> channel;
    std::string dir;
    videotest::Waiter waiter;
    std::mutex m_mutex;
    std::vector<std::vector<char>> audio;
    std::vector<std::string> lost;
    std::vector<std::pair<std::string, int>> ends;
    std::vector<std::pair<std::chrono::milliseconds, std::function<void()>>> delayed;
};

TEST_F(ChannelTest, LiveVideoIsPulledFrameByFrameIntoTheWindow)
{
    ScopedSurface window;
    const std::string fixture = videotest::EncodedFixture("h264", 320, 240, 12);
    const auto reference = videotest::ReferenceDecode(fixture, "yuv420p", 320, 240);
    ASSERT_EQ(channel->AddDecoder(window.handle(), 320, 240, 0, true, 0), 0);
    EXPECT_FALSE(channel->busy());
    session->SetAVDataCallback(channel->LiveSink(), nullptr);
    pushVideo(fixture);
    channel->ReadStream("CHANNELCAM", 0, 0, 0, nullptr);
    ASSERT_TRUE(window.surface().waitFor(12));
    const auto pictures = window.surface().pictures();
    for (size_t i = 0; i < 12; ++i)
        EXPECT_TRUE(pictures[i].pixels == reference[i]) << "picture " << i;
    EXPECT_EQ(channel->GetPlayPts(0), 40000u * 12u);
    EXPECT_EQ(channel->GetPlayPts(1), 0u);
}

// Only 320-byte audio frames are played; the loop goes on past a wrong-sized one.
TEST_F(ChannelTest, AudioOfTheRightSizeGoesToTheListeningQueue)
{
    ScopedSurface window;
    ASSERT_EQ(channel->AddDecoder(window.handle(), 320, 240, 0, false, 0), 0);
    session->SetAVDataCallback(channel->LiveSink(), nullptr);
    bytes.push(kChannelLive, MediaChunks(std::vector<char>(320, 'a'), 20, 1, 10));
    bytes.push(kChannelLive, MediaChunks(std::vector<char>(321, 'b'), 21, 2, 20));
    bytes.push(kChannelLive, MediaChunks(std::vector<char>(320, 'c'), 49, 3, 30));
    bytes.push(kChannelLive, MediaChunks(std::vector<char>(320, 'd'), 50, 4, 40)); // video type: not audio
    pushVideo(videotest::EncodedFixture("h264", 320, 240, 12));
    channel->ReadStream("CHANNELCAM", 0, 0, 0, nullptr);
    ASSERT_TRUE(window.surface().waitFor(12));
    std::lock_guard<std::mutex> lock(m_mutex);
    ASSERT_EQ(audio.size(), 2u);
    EXPECT_EQ(audio[0], std::vector<char>(320, 'a'));
    EXPECT_EQ(audio[1], std::vector<char>(320, 'c'));
}

struct KindCase {
    const char* name;
    std::vector<int> added;
    std::vector<int> removed;
    int requested;
    int expectedRead; // stream kind the reader reports, -1 no read
};

class KindMapping : public ChannelTest, public ::testing::WithParamInterface<KindCase> {};

TEST_P(KindMapping, RequestedKindReadsByTheMask)
{
    const KindCase& c = GetParam();
    for (int kind : c.added)
        ASSERT_EQ(channel->AddDecoder(0, 320, 240, kind, false, 0), 0);
    for (int kind : c.removed)
        channel->RemoveDecoder(kind);
    bytes.push(kChannelLive, MediaChunks(std::vector<char>(320, 'a'), 20, 1, 10));
    bytes.push(kChannelRecord, MediaChunks(std::vector<char>(320, 'a'), 20, 1, 10));
    int readKind = -1;
    AVDataCallback sink = [&](int, int, std::vector<char>&, unsigned, std::string, int kind, uint64_t, int) { readKind = kind; };
    // Record reads always deliver to the session's stored record sink.
    session->SetRecDataCallback(sink);
    channel->ReadStream("CHANNELCAM", c.requested, 0, 0, sink);
    EXPECT_EQ(readKind, c.expectedRead);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, KindMapping,
    ::testing::Values(KindCase{"MainReadsMain", {0}, {}, 0, 0}, KindCase{"SubWhileOnlyMainReadsMain", {0}, {}, 1, 0},
                      KindCase{"MainWhileOnlySubReadsSub", {1}, {}, 0, 1}, KindCase{"SubExcludesMain", {0, 1}, {}, 0, 1},
                      KindCase{"NothingWanted", {}, {}, 0, -1}, KindCase{"Removed", {0}, {0}, 0, -1},
                      KindCase{"KindTwoNeverReads", {0}, {}, 2, -1}, KindCase{"KindThreeNeverReads", {0}, {}, 3, -1},
                      KindCase{"RecordStream", {4}, {}, 4, 4}, KindCase{"RecordNotWanted", {0}, {}, 4, -1}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

// A device that sends nothing must not hold a pool worker once its stream is stopped.
TEST_F(ChannelTest, StoppingTheStreamGivesAStalledReadBack)
{
    ASSERT_EQ(channel->AddDecoder(0, 320, 240, 0, false, 0), 0);
    session->SetAVDataCallback(channel->LiveSink(), nullptr);
    std::promise<void> returned;
    pool->post([&] {
        channel->ReadStream("CHANNELCAM", 0, 0, 0, nullptr);
        returned.set_value();
    });
    std::future<void> done = returned.get_future();
    EXPECT_EQ(done.wait_for(200ms), std::future_status::timeout) << "the read waits for the device";
    channel->RemoveDecoder(0);
    EXPECT_TRUE(channel->busy());
    ASSERT_EQ(done.wait_for(20s), std::future_status::ready);
}

// Stop and start of a stream in quick succession, against a device that sends nothing: each
// start begins a read chain, and the chain of the stream before must end rather than run beside
// it. Every chain left over holds a worker of the stream pool for as long as the device is silent.
TEST_F(ChannelTest, QuickStopAndStartLeavesOneReadChain)
{
    session->SetAVDataCallback(channel->LiveSink(), nullptr);
    bytes.onRead([this] { waiter.notify(); });
    const auto start = [this](int kind) {
        ASSERT_EQ(channel->AddDecoder(0, 320, 240, kind, false, 0), 0);
        const uint64_t before = bytes.reads();
        pool->post([this, kind] { channel->ReadStream("CHANNELCAM", kind, 0, 0, nullptr); });
        // The new stream's read waits for the device before the next stop comes.
        ASSERT_TRUE(waiter.waitUntil([&] { return bytes.reads() > before; }));
    };
    start(0);
    // More restarts than the pool has workers (a pane closed and opened again): stops followed at
    // once by a start of the same stream.
    for (int cycle = 0; cycle < 8; ++cycle) {
        channel->RemoveDecoder(0);
        start(0);
    }
    // One worker reads for the stream; the other four are free for other streams at once. The
    // probes share their state with the pool, which may still run one after the test body ends.
    struct Probes {
        std::mutex mutex;
        std::condition_variable cv;
        int running = 0;
        bool release = false;
    };
    auto probes = std::make_shared<Probes>();
    for (int i = 0; i < 4; ++i)
        pool->post([probes] {
            std::unique_lock<std::mutex> lock(probes->mutex);
            ++probes->running;
            probes->cv.notify_all();
            probes->cv.wait(lock, [&] { return probes->release; });
        });
    int running = 0;
    {
        std::unique_lock<std::mutex> lock(probes->mutex);
        probes->cv.wait_for(lock, 20s, [&] { return probes->running == 4; });
        running = probes->running;
        probes->release = true;
        probes->cv.notify_all();
    }
    EXPECT_EQ(running, 4) << "read chains left over hold " << 5 - running << " of the 5 workers";

    // The stream still runs: pictures sent now reach the window of the stream last started.
    ScopedSurface window;
    const std::string fixture = videotest::EncodedFixture("h264", 320, 240, 12);
    channel->RemoveDecoder(0);
    channel->RemoveDecoder(1);
    ASSERT_EQ(channel->AddDecoder(window.handle(), 320, 240, 0, true, 0), 0);
    pool->post([this] { channel->ReadStream("CHANNELCAM", 0, 0, 0, nullptr); });
    pushVideo(fixture);
    EXPECT_TRUE(window.surface().waitFor(12));
}

// The owner drops the channel while a read waits: the step in progress keeps it alive, finishes
// the frame, and the queued step that follows finds nothing to run.
TEST_F(ChannelTest, DroppedChannelLivesUntilItsReadReturns)
{
    ScopedSurface window;
    ASSERT_EQ(channel->AddDecoder(window.handle(), 320, 240, 0, false, 0), 0);
    session->SetAVDataCallback(channel->LiveSink(), nullptr);
    std::weak_ptr<VideoDecoderImple> weak = channel;
    pool->post([self = channel] { self->ReadStream("CHANNELCAM", 0, 0, 0, nullptr); });
    channel.reset();
    EXPECT_FALSE(weak.expired());
    auto units = SplitAccessUnits(ReadFile(videotest::EncodedFixture("h264", 320, 240, 12)), false);
    bytes.push(kChannelLive, MediaChunks(units[0], 1, 1, 1));
    ASSERT_TRUE(window.surface().waitFor(1));
    // The owner lets the stream go as the SDK does, its decoder first. A step queued before the
    // drop may have started the next read, which holds the channel while it waits for the
    // device; the abandon a stop sends gives it back. (Were the stream still wanted, every
    // abandoned read would post the next one, and the channel would live on from step to step.)
    if (auto self = weak.lock())
        self->RemoveDecoder(0);
    // Nothing notifies when the channel goes: this wait looks again and again.
    ASSERT_TRUE(lumora::test::waitUntil(
        [&] {
            session->parser()->SetAbandon(1);
            return weak.expired();
        },
        60s));
    bytes.push(kChannelLive, MediaChunks(units[1], 1, 2, 2));
    session->parser()->SetAbandon(1);
}

TEST_F(ChannelTest, DeadLinkIsReportedOnceAndEndsTheLoop)
{
    ASSERT_EQ(channel->AddDecoder(0, 320, 240, 0, false, 0), 0);
    session->SetAVDataCallback(channel->LiveSink(), nullptr);
    bytes.breakLink();
    channel->ReadStream("CHANNELCAM", 0, 0, 3, nullptr);
    ASSERT_TRUE(waiter.waitUntil([&] {
        std::lock_guard<std::mutex> lock(m_mutex);
        return !lost.empty();
    }));
    channel->ReadStream("CHANNELCAM", 0, 0, 3, nullptr);
    std::lock_guard<std::mutex> lock(m_mutex);
    EXPECT_EQ(lost, std::vector<std::string>{"CHANNELCAM/3"});
}

// Record playback stops at the first empty frame once asked to, and goes on without it.
TEST_F(ChannelTest, RecordPlaybackStopsAtTheEndWhenAsked)
{
    ScopedSurface window;
    ASSERT_EQ(channel->AddDecoder(window.handle(), 320, 240, 4, false, 0), 0);
    session->SetRecDataCallback(channel->RecordSink());
    channel->SetStopAtEmpty(true);
    pushVideo(videotest::EncodedFixture("h264", 320, 240, 12), kChannelRecord);
    MediaChunkHeader end;
    uint8_t endBytes[kMediaChunkHeaderSize];
    EncodeMediaChunkHeader(end, endBytes);
    bytes.push(kChannelRecord, std::vector<char>(endBytes, endBytes + kMediaChunkHeaderSize));
    bytes.push(kChannelRecord, MediaChunks(std::vector<char>(320, 'x'), 20, 99, 1));
    channel->ReadStream("CHANNELCAM", 4, 0, 0, nullptr);
    ASSERT_TRUE(window.surface().waitFor(12));
    // The loop ended at the empty frame: the audio behind it is never read.
    pool->post([&] { waiter.notify(); });
    EXPECT_FALSE(waiter.waitUntil([&] { return bytes.pending(kChannelRecord) == 0; }, 300ms));
    EXPECT_EQ(audioCount(), 0u);
}

std::vector<char> recordBytes(size_t n)
{
    std::vector<char> data(n);
    for (size_t i = 0; i < n; ++i)
        data[i] = static_cast<char>((i * 131) ^ (i >> 7));
    return data;
}

void pushFile(DeviceBytes& bytes, const std::vector<char>& data)
{
    for (size_t at = 0, id = 1; at < data.size(); at += 5000, ++id) {
        std::vector<char> frame(data.begin() + static_cast<std::ptrdiff_t>(at),
                                data.begin() + static_cast<std::ptrdiff_t>(std::min(data.size(), at + 5000)));
        bytes.push(kChannelRecord, MediaChunks(frame, 1, static_cast<uint32_t>(id), 0));
    }
}

TEST_F(ChannelTest, DownloadIsWrittenWholeAndReportedComplete)
{
    const auto data = recordBytes(123456);
    ASSERT_EQ(channel->OpenDownloadFile(dir + "/rec.avi", false), 0);
    session->SetRecDataCallback(channel->RecordSink());
    pushFile(bytes, data);
    uint8_t end[kMediaChunkHeaderSize];
    EncodeMediaChunkHeader(MediaChunkHeader{}, end);
    bytes.push(kChannelRecord, std::vector<char>(end, end + kMediaChunkHeaderSize));
    channel->ReadStream("CHANNELCAM", 4, 0, 0, nullptr);
    ASSERT_TRUE(waiter.waitUntil([&] { return !endings().empty(); }));
    EXPECT_EQ(endings(), (std::vector<std::pair<std::string, int>>{{dir + "/rec.avi", 0}}));
    EXPECT_EQ(ReadFile(dir + "/rec.avi"), data);
    EXPECT_EQ(channel->GetDloadSize(), data.size());
}

TEST_F(ChannelTest, BrokenDownloadEndsAsErrorFile)
{
    ASSERT_EQ(channel->OpenDownloadFile(dir + "/rec.avi", false), 0);
    session->SetRecDataCallback(channel->RecordSink());
    pushFile(bytes, recordBytes(20000));
    bytes.breakLink();
    channel->ReadStream("CHANNELCAM", 4, 0, 0, nullptr);
    ASSERT_TRUE(waiter.waitUntil([&] { return !endings().empty(); }));
    EXPECT_EQ(endings(), (std::vector<std::pair<std::string, int>>{{dir + "/rec.avi", -1}}));
    EXPECT_TRUE(std::filesystem::exists(dir + "/rec.avi.error"));
    EXPECT_FALSE(std::filesystem::exists(dir + "/rec.avi"));
}

// Stopping a download whose device has gone quiet closes it at once as ".Uncomplete".
TEST_F(ChannelTest, CancelledDownloadEndsAsUncompleteEvenWhenTheDeviceIsSilent)
{
    EXPECT_FALSE(channel->CancelDownload()) << "no download open";
    ASSERT_EQ(channel->OpenDownloadFile(dir + "/rec.avi", false), 0);
    session->SetRecDataCallback(channel->RecordSink());
    pushFile(bytes, recordBytes(20000));
    pool->post([this] { channel->ReadStream("CHANNELCAM", 4, 0, 0, nullptr); });
    // Each look at the count queues the next look behind the download's own steps.
    ASSERT_TRUE(waiter.waitUntil([&] {
        pool->post([&] { waiter.notify(); });
        return channel->GetDloadSize() == 20000u;
    }));
    EXPECT_TRUE(channel->CancelDownload());
    ASSERT_TRUE(waiter.waitUntil([&] { return !endings().empty(); }));
    EXPECT_EQ(endings(), (std::vector<std::pair<std::string, int>>{{dir + "/rec.avi", -2}}));
    EXPECT_EQ(ReadFile(dir + "/rec.avi.Uncomplete").size(), 20000u);
}

// A download read that comes back with nothing (-3) is retried after the pause as a delayed post:
// no worker waits the pause out, and the retried read carries the download on.
TEST_F(ChannelTest, TimedOutDownloadReadIsRetriedWithoutHoldingAWorker)
{
    ASSERT_EQ(channel->OpenDownloadFile(dir + "/rec.avi", false), 0);
    session->SetRecDataCallback(channel->RecordSink());
    channel->SetRetryDelay(60s);
    std::vector<char> nothing;
    auto returned = std::async(std::launch::async,
                               [&] { channel->OnRecordFrame(0, -3, nothing, 0, "CHANNELCAM", 4, 0, 0); });
    ASSERT_EQ(returned.wait_for(20s), std::future_status::ready) << "the retry pause held the reading thread";
    std::function<void()> retry;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ASSERT_EQ(delayed.size(), 1u);
        EXPECT_EQ(delayed[0].first, 60s);
        retry = delayed[0].second;
    }
    const auto data = recordBytes(20000);
    pushFile(bytes, data);
    uint8_t end[kMediaChunkHeaderSize];
    EncodeMediaChunkHeader(MediaChunkHeader{}, end);
    bytes.push(kChannelRecord, std::vector<char>(end, end + kMediaChunkHeaderSize));
    pool->post(retry);
    ASSERT_TRUE(waiter.waitUntil([&] { return !endings().empty(); }));
    EXPECT_EQ(endings(), (std::vector<std::pair<std::string, int>>{{dir + "/rec.avi", 0}}));
    EXPECT_EQ(ReadFile(dir + "/rec.avi"), data);
}

// A file size limit stands in for a full disk: the write that crosses it comes up short.
TEST_F(ChannelTest, FullDiskEndsTheDownloadAsAFailure)
{
    struct FileSizeLimit {
        explicit FileSizeLimit(rlim_t bytes)
        {
            ::getrlimit(RLIMIT_FSIZE, &saved);
            ::signal(SIGXFSZ, SIG_IGN);
            rlimit limit = saved;
            limit.rlim_cur = bytes;
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &saved); }
        rlimit saved{};
    };
    ASSERT_EQ(channel->OpenDownloadFile(dir + "/rec.avi", false), 0);
    session->SetRecDataCallback(channel->RecordSink());
    pushFile(bytes, recordBytes(20000));
    {
        FileSizeLimit limit(12000);
        channel->ReadStream("CHANNELCAM", 4, 0, 0, nullptr);
        ASSERT_TRUE(waiter.waitUntil([&] { return !endings().empty(); }));
    }
    EXPECT_EQ(endings(), (std::vector<std::pair<std::string, int>>{{dir + "/rec.avi", -1}}));
    EXPECT_EQ(channel->GetDloadSize(), 10000u) << "the two frames written whole";
    EXPECT_TRUE(std::filesystem::exists(dir + "/rec.avi.error"));
}

// The record channel carries one transfer after another, each ended by an empty frame. A download
// opened while an earlier transfer is still open (a playback stopped or still shown, a download
// stopped) gets only its own bytes: what comes before the earlier one's end is that one's.
struct EarlierTransferCase {
    const char* name;
    bool playback;        // the earlier transfer is a playback (else a download)
    bool stopped;         // ... that has been stopped before the download opens
    bool readBeforeOpen;  // the earlier transfer is read to its end before the download opens
};

class EarlierTransfer : public ChannelTest, public ::testing::WithParamInterface<EarlierTransferCase> {};

TEST_P(EarlierTransfer, DownloadHoldsOnlyItsOwnBytes)
{
    const EarlierTransferCase& c = GetParam();
    ScopedSurface window;
    session->SetRecDataCallback(channel->RecordSink());
    uint8_t endBytes[kMediaChunkHeaderSize];
    EncodeMediaChunkHeader(MediaChunkHeader{}, endBytes);
    const std::vector<char> end(endBytes, endBytes + kMediaChunkHeaderSize);
    std::string stopped;
    if (c.playback) {
        // The playback the device accepted, sought to a P picture: its pictures from there on.
        ASSERT_EQ(channel->AddDecoder(window.handle(), 320, 240, 4, false, 0), 0);
        channel->SetStopAtEmpty(false);
        const auto units = SplitAccessUnits(ReadFile(videotest::EncodedFixture("h264", 320, 240, 12)), false);
        for (size_t i = 0; i < units.size(); ++i)
            bytes.push(kChannelRecord, MediaChunks(units[i], 1, static_cast<uint32_t>(i + 1), 40000ull * i));
        if (c.stopped)
            channel->StopRecordPlayback(false);
    } else {
        ASSERT_EQ(channel->OpenDownloadFile(dir + "/earlier.avi", false), 0);
        pushFile(bytes, recordBytes(15000));
        ASSERT_TRUE(channel->CancelDownload());
    }
    bytes.push(kChannelRecord, end);
    const auto data = recordBytes(40000);
    if (c.readBeforeOpen) {
        // The earlier transfer is read to its end marker; the reads stop there, and the download's
        // bytes that come meanwhile wait for the download.
        channel->ReadStream("CHANNELCAM", 4, 0, 0, nullptr);
        ASSERT_TRUE(waiter.waitUntil([&] {
            pool->post([&] { waiter.notify(); });
            return bytes.pending(kChannelRecord) == 0;
        }));
        pushFile(bytes, data);
        bytes.push(kChannelRecord, end);
    }
    ASSERT_EQ(channel->OpenDownloadFile(dir + "/rec.avi", false, &stopped), 0);
    if (!c.readBeforeOpen) {
        pushFile(bytes, data);
        bytes.push(kChannelRecord, end);
    }
    channel->ReadStream("CHANNELCAM", 4, 0, 0, nullptr);
    ASSERT_TRUE(waiter.waitUntil([&] {
        const auto e = endings();
        return std::find(e.begin(), e.end(), std::make_pair(dir + "/rec.avi", 0)) != e.end() ||
               std::find(e.begin(), e.end(), std::make_pair(dir + "/rec.avi", -1)) != e.end();
    }));
    EXPECT_TRUE(ReadFile(dir + "/rec.avi") == data) << ReadFile(dir + "/rec.avi").size() << " bytes";
    EXPECT_EQ(channel->GetDloadSize(), data.size());
    const auto e = endings();
    EXPECT_EQ(std::count(e.begin(), e.end(), std::make_pair(dir + "/rec.avi", 0)), 1);
    if (c.playback) {
        // Its pictures were shown, never written.
        EXPECT_GE(window.surface().count(), 1u);
    } else {
        // The stopped download ends as ".Uncomplete" with what it had, whichever step saw it.
        EXPECT_TRUE(stopped == dir + "/earlier.avi" ||
                    std::count(e.begin(), e.end(), std::make_pair(dir + "/earlier.avi", -2)) == 1);
        EXPECT_TRUE(std::filesystem::exists(dir + "/earlier.avi.Uncomplete"));
        EXPECT_FALSE(std::filesystem::exists(dir + "/earlier.avi"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Transfers, EarlierTransfer,
    ::testing::Values(EarlierTransferCase{"StoppedPlaybackLeftUnread", true, true, false},
                      EarlierTransferCase{"StoppedPlaybackReadToItsEnd", true, true, true},
                      EarlierTransferCase{"PlaybackStillShown", true, false, false},
                      EarlierTransferCase{"StoppedDownloadLeftUnread", false, true, false}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(ChannelTest, DownloadFileThatCannotBeMadeIsRefused)
{
    EXPECT_EQ(channel->OpenDownloadFile(dir + "/missing/rec.avi", false), -1);
    EXPECT_EQ(channel->OpenDownloadFile("", true), 0) << "keep changes nothing";
}

// The picture poll and a running face stream read the picture channel at the same time: each
// picture reaches one of them whole, and the link stays up.
TEST(PictureChannel, TwoReadersNeverSplitAPicture)
{
    NetProImple session("PICTURECAM", nullptr, nullptr);
    DeviceBytes bytes;
    // The bytes trickle in: at most 997 a pass, and a short pass reads as a time-out, as the
    // transports report one, so a reader pauses in the middle of every picture.
    session.parser()->link()->setByteSource([&bytes](int channelId, char* buffer, int& length) {
        const int wanted = length;
        int n = std::min(length, 997);
        const int rc = bytes.read(channelId, buffer, n);
        length = n;
        return rc == 0 && n < wanted ? -3 : rc;
    });
    session.parser()->link()->setHandle(0);
    std::vector<std::vector<char>> sent;
    for (uint32_t id = 1; id <= 6; ++id) {
        std::vector<char> picture(5000);
        for (size_t i = 0; i < picture.size(); ++i)
            picture[i] = static_cast<char>(i * id + id);
        bytes.push(kChannelPicture, MediaChunks(picture, 31, id, id, 1024));
        sent.push_back(std::move(picture));
    }
    std::mutex mutex;
    std::vector<std::vector<char>> received;
    AVDataCallback sink = [&](int, int, std::vector<char>& payload, unsigned length, std::string, int, uint64_t, int) {
        if (length == 0 || length > payload.size())
            return;
        std::lock_guard<std::mutex> lock(mutex);
        received.emplace_back(payload.begin(), payload.begin() + length);
    };
    auto done = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return received.size() >= sent.size() || !session.LinkUp();
    };
    auto reader = [&] {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!done() && std::chrono::steady_clock::now() < deadline)
            if (session.parser()->ReadSnapPicData(0, kChannelPicture, sink) == -3)
                std::this_thread::yield();
    };
    std::thread poll(reader);
    std::thread face(reader);
    poll.join();
    face.join();
    EXPECT_TRUE(session.LinkUp());
    std::sort(received.begin(), received.end());
    std::sort(sent.begin(), sent.end());
    EXPECT_TRUE(received == sent) << received.size() << " pictures arrived whole";
}

// A picture whose second chunk is late: the reader that has its first chunk waits for the rest
// instead of looking, finding nothing and dropping what it read.
TEST(PictureChannel, LateSecondChunkCompletesThePictureBegun)
{
    NetProImple session("PICTURECAM", nullptr, nullptr);
    DeviceBytes bytes;
    std::atomic<int> emptyLooks{0};
    session.parser()->link()->setByteSource([&](int channelId, char* buffer, int& length) {
        const int rc = bytes.read(channelId, buffer, length);
        if (channelId == kChannelPicture && rc == -3)
            ++emptyLooks;
        return rc;
    });
    session.parser()->link()->setHandle(0);
    std::vector<char> picture(3000);
    for (size_t i = 0; i < picture.size(); ++i)
        picture[i] = static_cast<char>(i * 7 + 1);
    const std::vector<char> wire = MediaChunks(picture, 32, 1, 1, 2000);
    const size_t firstChunk = kMediaChunkHeaderSize + 2000;
    bytes.push(kChannelPicture, std::vector<char>(wire.begin(), wire.begin() + static_cast<std::ptrdiff_t>(firstChunk)));
    std::vector<char> received;
    int result = 1;
    std::thread reader([&] {
        result = session.parser()->ReadSnapPicData(
            0, kChannelPicture, [&](int, int, std::vector<char>& payload, unsigned length, std::string, int, uint64_t, int) {
                if (length != 0 && length <= payload.size())
                    received.assign(payload.begin(), payload.begin() + length);
            });
    });
    // The reader has taken the first chunk and found the channel empty after it.
    EXPECT_TRUE(lumora::test::waitUntil([&] { return bytes.pending(kChannelPicture) == 0 && emptyLooks.load() > 0; }));
    bytes.push(kChannelPicture, std::vector<char>(wire.begin() + static_cast<std::ptrdiff_t>(firstChunk), wire.end()));
    reader.join();
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(received == picture) << received.size() << " bytes arrived";
    EXPECT_TRUE(session.LinkUp());
}

TEST(DownloadName, OnlyBareFileNamesAreAccepted)
{
    struct Case {
        const char* name;
        bool ok;
    };
    for (const Case& c : {Case{"rec1.avi", true}, Case{"20261208-090503.h264", true}, Case{"", false}, Case{".", false},
                          Case{"..", false}, Case{"../x.avi", false}, Case{"a/b.avi", false}, Case{"/etc/passwd", false},
                          Case{"a\\b.avi", false}, Case{"..avi", true}})
        EXPECT_EQ(VideoDecoderImple::IsBareFileName(c.name), c.ok) << c.name;
}

} // namespace
