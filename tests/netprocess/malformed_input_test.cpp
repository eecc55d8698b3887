// The command reader and the media chunk reader against hostile and damaged input, fed from
// memory through the link's byte source (no transport, no sockets).
#if __has_include("Orlix.h")
// The readers are part of lumora_net only when the build has libTovel (whose header comes with it).
#include "CaseName.h"
#include "WaitUntil.h"
#include "NetProParse.h"
#include "NetProtocol.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kBroken = -12; // what the script returns once a channel has run dry (link broken)
constexpr int kNothing = -3;

// Per-channel byte queues handed out at most `step` bytes per read; a dry channel answers
// `dryResult` (-3: nothing yet, after waiting a moment for bytes as a transport does; else the
// link is broken).
struct Script {
    std::map<int, std::deque<char>> bytes;
    std::map<int, int> dryResult;
    int step = 1 << 30;
    std::mutex mutex;
    std::condition_variable arrived;

    void add(int channel, const std::vector<char>& data)
    {
        std::lock_guard<std::mutex> lock(mutex);
        bytes[channel].insert(bytes[channel].end(), data.begin(), data.end());
        arrived.notify_all();
    }

    NetRWrite::ByteSource source()
    {
        return [this](int channel, char* buffer, int& length) {
            std::unique_lock<std::mutex> lock(mutex);
            auto& queue = bytes[channel];
            auto it = dryResult.find(channel);
            const int dry = it == dryResult.end() ? kBroken : it->second;
            if (queue.empty() && dry == kNothing)
                arrived.wait_for(lock, std::chrono::milliseconds(5), [&] { return !queue.empty(); });
            if (queue.empty()) {
                length = 0;
                return dry;
            }
            const int n = std::min<int>({length, step, static_cast<int>(queue.size())});
            std::copy_n(queue.begin(), n, buffer);
            queue.erase(queue.begin(), queue.begin() + n);
            length = n;
            return 0;
        };
    }
};

struct IoCall {
    int code;
    int result;
    std::string body;
};

struct AvCall {
    int p1;
    int p2;
    std::string frame;
    int kind;
    uint64_t pts;
};

// One reader over a scripted link that counts as up; every call it makes is recorded.
struct ScriptedReader {
    ScriptedReader()
        : parse("FAKEDEV01",
                [this](int p1, int p2, std::vector<char>& frame, unsigned length, std::string, int kind, uint64_t pts, int) {
                    EXPECT_LE(length, frame.size());
                    av.push_back({p1, p2, std::string(frame.data(), frame.data() + std::min<size_t>(length, frame.size())), kind, pts});
                },
                [this](int code, int result, std::vector<char>& body, unsigned length, std::string, int, int) {
                    EXPECT_LE(length, body.size());
                    io.push_back({code, result, std::string(body.data(), body.data() + std::min<size_t>(length, body.size()))});
                })
    {
        script.dryResult[kChannelCommand] = kNothing;
        parse.link()->setByteSource(script.source());
        parse.link()->setHandle(0);
    }

    ScriptedReader(const ScriptedReader&) = delete;
    ScriptedReader& operator=(const ScriptedReader&) = delete;

    int handle() { return parse.link()->handle(); }
    int readMedia() { return parse.ReadVAData(3, 1, 0, nullptr); }

    Script script;
    std::vector<IoCall> io;
    std::vector<AvCall> av;
    NetProParse parse;
};

std::vector<char> header(uint16_t command, uint32_t headerLength, uint32_t total, int32_t result = 0, uint32_t magic = kDevMagic)
{
    DevMsgHeader h;
    h.magic = magic;
    h.command = command;
    h.headerLength = headerLength;
    h.totalLength = total;
    h.result = result;
    std::vector<char> out(kDevMsgHeaderSize);
    EncodeDevMsgHeader(h, reinterpret_cast<uint8_t*>(out.data()));
    return out;
}

std::vector<char> chunk(uint32_t frameId, uint32_t total, const std::string& payload, uint8_t type = 1,
                        uint32_t seconds = 0, uint32_t micros = 0, uint32_t magic = kDevMagic)
{
    MediaChunkHeader h;
    h.magic = magic;
    h.frameId = frameId;
    h.totalFrameSize = total;
    h.frameType = type;
    h.chunkLength = static_cast<uint16_t>(payload.size());
    h.seconds = seconds;
    h.microseconds = micros;
    std::vector<char> out(kMediaChunkHeaderSize);
    EncodeMediaChunkHeader(h, reinterpret_cast<uint8_t*>(out.data()));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// ---- command reader --------------------------------------------------------------------------

class CommandReader : public ::testing::Test, public ScriptedReader {};

TEST_F(CommandReader, WholeRepliesReachTheCallbackEvenWhenTheyTrickleIn)
{
    const std::string small = "{\"Eth\":1}";
    const std::string big(10000, 'w'); // 1053 may exceed the IO buffer
    script.add(0, BuildCommandMessage(1043, small));
    script.add(0, BuildCommandMessage(1053, big));
    script.step = 7;
    ASSERT_EQ(parse.ReadIOData(0, 9), 0);
    ASSERT_EQ(parse.ReadIOData(0, 9), 0);
    ASSERT_EQ(io.size(), 2u);
    EXPECT_EQ(io[0].code, 1043);
    EXPECT_EQ(io[0].result, 0);
    EXPECT_EQ(io[0].body, small);
    EXPECT_EQ(io[1].code, 1053);
    EXPECT_EQ(io[1].body, big);
    EXPECT_EQ(handle(), 0);
}

// Headers the reader must not trust: each drops the link, delivers nothing, and the loss is then
// reported once.
struct BadHeaderCase {
    const char* name;
    std::vector<char> bytes;
};

class BadHeaderTest : public ::testing::TestWithParam<BadHeaderCase> {};

TEST_P(BadHeaderTest, ClosesTheLinkAndReportsTheLossOnce)
{
    ScriptedReader f;
    f.script.add(0, GetParam().bytes);
    f.script.add(0, BuildCommandMessage(1043, "{}")); // never read: the stream is not trusted
    EXPECT_EQ(f.parse.ReadIOData(0, 2), 0);
    EXPECT_TRUE(f.io.empty());
    EXPECT_EQ(f.handle(), NetRWrite::kClosed);
    EXPECT_FALSE(f.parse.LinkUp());

    EXPECT_EQ(f.parse.ReadIOData(0, 2), -1);
    EXPECT_EQ(f.parse.ReadIOData(0, 2), -1);
    ASSERT_EQ(f.io.size(), 1u) << "the loss is reported exactly once";
    EXPECT_EQ(f.io[0].result, -1);
    EXPECT_EQ(f.handle(), NetRWrite::kLossReported);
}

std::vector<char> withBody(std::vector<char> head, size_t body)
{
    head.resize(head.size() + body, 'b');
    return head;
}

INSTANTIATE_TEST_SUITE_P(
    Headers, BadHeaderTest,
    ::testing::Values(BadHeaderCase{"BadMagic", withBody(header(1043, 76, 86, 0, 0x55AABBCCu), 10)},
                      BadHeaderCase{"HeaderLength75", withBody(header(1043, 75, 85), 10)},
                      BadHeaderCase{"HeaderLength0", withBody(header(1043, 0, 10), 10)},
                      BadHeaderCase{"TotalBelowHeader", header(1043, 76, 20)},
                      BadHeaderCase{"HugeTotal", header(1043, 76, 0xFFFFFFF0u)},
                      BadHeaderCase{"HugeTotalOfBigReply", header(1053, 76, 0x7FFFFFFFu)}),
    [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

TEST_F(CommandReader, EmptyReplyCarriesTheHeaderResult)
{
    script.add(0, BuildCommandMessage(3006, "", 0, -5));
    EXPECT_EQ(parse.ReadIOData(0, 4), 0);
    ASSERT_EQ(io.size(), 1u);
    EXPECT_EQ(io[0].code, 3006);
    EXPECT_EQ(io[0].result, -5);
    EXPECT_TRUE(io[0].body.empty());
}

TEST_F(CommandReader, EmptyPicturePushIsSilent)
{
    script.add(0, BuildCommandMessage(1475, ""));
    EXPECT_EQ(parse.ReadIOData(0, 4), 0);
    EXPECT_TRUE(io.empty());
    EXPECT_TRUE(parse.LinkUp());
}

// A face-picture or snapshot request refused with an empty body: the result alone is the answer.
TEST_F(CommandReader, EmptyPictureRefusalCarriesTheHeaderResult)
{
    script.add(0, BuildCommandMessage(1475, "", 0, -1));
    EXPECT_EQ(parse.ReadIOData(0, 4), 0);
    ASSERT_EQ(io.size(), 1u);
    EXPECT_EQ(io[0].code, 1475);
    EXPECT_EQ(io[0].result, -1);
    EXPECT_TRUE(io[0].body.empty());
    EXPECT_TRUE(parse.LinkUp());
}

// A read error is reported under the last command sent, the login request's under its reply.
struct ReadErrorCase {
    uint16_t lastCommand;
    int reportedCode;
};

class ReadErrorTest : public ::testing::TestWithParam<ReadErrorCase> {};

TEST_P(ReadErrorTest, IsReportedUnderTheLastCommand)
{
    ScriptedReader f;
    ASSERT_GT(f.parse.SendIOCtrl(GetParam().lastCommand, "{}"), 0);
    f.script.dryResult[kChannelCommand] = kBroken;
    EXPECT_EQ(f.parse.ReadIOData(0, 1), kBroken);
    ASSERT_EQ(f.io.size(), 1u);
    EXPECT_EQ(f.io[0].code, GetParam().reportedCode);
    EXPECT_EQ(f.io[0].result, kBroken);
    EXPECT_FALSE(f.parse.LinkUp()) << "a broken read closes the link";
}

INSTANTIATE_TEST_SUITE_P(Codes, ReadErrorTest, ::testing::Values(ReadErrorCase{3001, 4003}, ReadErrorCase{1042, 1042}),
                         [](const auto& paramInfo) {
                             return lumora::test::caseName("after", paramInfo.param.lastCommand);
                         });

// A message whose header start has arrived must finish: when the rest of the header never comes,
// the link is given up after the stall limit (10 s in use, shortened here) instead of the poller
// waiting for ever.
TEST_F(CommandReader, HeaderThatNeverFinishesDropsTheLinkAfterTheStallLimit)
{
    parse.link()->setStallLimitMs(50);
    const auto message = BuildCommandMessage(1043, "{}");
    script.add(0, std::vector<char>(message.begin(), message.begin() + 4)); // the magic only
    std::thread poller([this] { parse.ReadIOData(0, 5); });
    // A hanging reader fails here instead of blocking the run.
    const bool dropped = lumora::test::waitUntil([this] { return !parse.LinkUp(); });
    if (!dropped)
        parse.CloseLink(); // lets the reader return
    poller.join();
    EXPECT_TRUE(dropped) << "the reader waited for the rest of the header for ever";
    ASSERT_EQ(io.size(), 1u);
    EXPECT_EQ(io[0].result, -1);
}

// ---- media chunk reader ----------------------------------------------------------------------

class MediaReader : public ::testing::Test, public ScriptedReader {};


// A chunk header that stops after 10 of its 24 bytes: the live and the record reader end on the
// stall limit (the link is closed), and on an abandon by the stop of their stream.
struct PartialHeaderCase {
    const char* name;
    int channel;
    bool abandon; // false: wait for the stall limit
};

void PrintTo(const PartialHeaderCase& c, std::ostream* out)
{
    *out << c.name;
}

class PartialHeader : public ::testing::TestWithParam<PartialHeaderCase>, public ScriptedReader {};

TEST_P(PartialHeader, EndsTheReader)
{
    const PartialHeaderCase& c = GetParam();
    parse.link()->setStallLimitMs(c.abandon ? 600000 : 50);
    script.dryResult[c.channel] = kNothing;
    const auto whole = chunk(1, 100, std::string(100, 'p'));
    script.add(c.channel, std::vector<char>(whole.begin(), whole.begin() + 10));
    std::atomic<bool> done{false};
    std::thread reader([&] {
        if (c.channel == 4)
            parse.ReadRecData(0, 0, 0, nullptr);
        else
            readMedia();
        done = true;
    });
    if (c.abandon) {
        if (c.channel == 4)
            parse.SetAudioAbandon(4);
        else
            parse.SetAbandon(1);
    }
    const bool ended = lumora::test::waitUntil([&] { return done.load(); }, std::chrono::seconds(10));
    if (!ended)
        parse.CloseLink(); // lets the reader return
    reader.join();
    EXPECT_TRUE(ended) << "the reader waited for the rest of the header for ever";
    // No frame comes of the cut header; what the live reader reports is the loss of the link.
    for (const AvCall& call : av) {
        EXPECT_TRUE(call.frame.empty());
        EXPECT_LT(call.p1, 0);
    }
    if (!c.abandon) {
        EXPECT_LT(handle(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Readers, PartialHeader,
                         ::testing::Values(PartialHeaderCase{"liveStall", 1, false},
                                           PartialHeaderCase{"recordStall", 4, false},
                                           PartialHeaderCase{"liveAbandon", 1, true},
                                           PartialHeaderCase{"recordAbandon", 4, true}),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

// A stream's stop that comes while a chunk is still arriving: the device sends the rest of what it
// has begun, so the chunk is read whole and the link stays; the stop then ends the next wait
// between chunks.
struct StopMidChunkCase {
    const char* name;
    int channel;
};

class StopMidChunk : public ::testing::TestWithParam<StopMidChunkCase>, public ScriptedReader {};

TEST_P(StopMidChunk, LetsTheChunkFinishAndEndsTheNextWait)
{
    const StopMidChunkCase& c = GetParam();
    const std::string payload(3000, 'v');
    const auto whole = chunk(9, static_cast<uint32_t>(payload.size()), payload);
    const size_t firstPart = kMediaChunkHeaderSize + 1000;
    std::deque<char> pending(whole.begin(), whole.end());
    int dryReads = 0;
    // The first part comes; the next look finds nothing and meets the stop; then the rest comes.
    parse.link()->setByteSource([&](int channel, char* buffer, int& length) {
        if (channel != c.channel) {
            length = 0;
            return kNothing;
        }
        const size_t sent = whole.size() - pending.size();
        if (pending.empty() || (sent == firstPart && dryReads == 0)) {
            ++dryReads;
            if (dryReads == 1) {
                if (c.channel == 4)
                    parse.SetAudioAbandon(4);
                else
                    parse.SetAbandon(1);
            }
            length = 0;
            return kNothing;
        }
        const size_t limit = sent < firstPart ? firstPart - sent : pending.size();
        const int n = static_cast<int>(std::min<size_t>({static_cast<size_t>(length), limit, pending.size()}));
        std::copy_n(pending.begin(), n, buffer);
        pending.erase(pending.begin(), pending.begin() + n);
        length = n;
        return 0;
    });
    parse.SetRecDataCallback([this](int p1, int p2, std::vector<char>& frame, unsigned length, std::string, int kind,
                                    uint64_t pts, int) {
        av.push_back({p1, p2, std::string(frame.data(), frame.data() + std::min<size_t>(length, frame.size())), kind, pts});
    });
    auto read = [&] { return c.channel == 4 ? parse.ReadRecData(0, 0, 0, nullptr) : readMedia(); };
    EXPECT_EQ(read(), 0);
    ASSERT_EQ(av.size(), 1u) << "the chunk begun before the stop is read whole";
    EXPECT_TRUE(av[0].frame == payload) << av[0].frame.size() << " bytes";
    EXPECT_GE(handle(), 0) << "a stop never drops the link";
    // The stop is still there for the wait between chunks: that read gives up at once.
    EXPECT_EQ(read(), 0);
    EXPECT_EQ(av.size(), 1u);
    EXPECT_GE(handle(), 0);
}

INSTANTIATE_TEST_SUITE_P(Readers, StopMidChunk,
                         ::testing::Values(StopMidChunkCase{"live", 1}, StopMidChunkCase{"record", 4}),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

TEST_F(MediaReader, FrameInChunksIsReassembledWithItsPts)
{
    const std::string a(16000, 'a'), b(16000, 'b'), c(123, 'c');
    const uint32_t total = static_cast<uint32_t>(a.size() + b.size() + c.size());
    for (const auto& part : {a, b, c})
        script.add(1, chunk(5, total, part, 1, 1700000000u, 5));
    ASSERT_EQ(readMedia(), 0);
    ASSERT_EQ(av.size(), 1u);
    EXPECT_EQ(av[0].p1, 1);
    EXPECT_EQ(av[0].p2, 0);
    EXPECT_EQ(av[0].frame, a + b + c);
    EXPECT_EQ(av[0].kind, 1);
    EXPECT_EQ(av[0].pts, 1700000000000005ull);
}

TEST_F(MediaReader, ChunkOfAnotherFrameDropsTheFrameAndItself)
{
    script.add(1, chunk(7, 300, std::string(100, '7')));
    script.add(1, chunk(7, 300, std::string(100, '7')));
    script.add(1, chunk(8, 200, std::string(100, '8'))); // a different id and total
    script.add(1, chunk(9, 50, std::string(50, '9')));
    ASSERT_EQ(readMedia(), 0);
    ASSERT_EQ(av.size(), 1u);
    EXPECT_EQ(av[0].frame, std::string(50, '9'));
}

TEST_F(MediaReader, ChunkRunningPastItsFrameIsDropped)
{
    script.add(1, chunk(3, 100, std::string(60, 'x')));
    script.add(1, chunk(3, 100, std::string(60, 'x'))); // 120 > 100
    script.add(1, chunk(4, 10, std::string(10, 'y')));
    ASSERT_EQ(readMedia(), 0);
    ASSERT_EQ(av.size(), 1u);
    EXPECT_EQ(av[0].frame, std::string(10, 'y'));
}

TEST_F(MediaReader, EndChunkGivesOneEndCall)
{
    script.add(1, chunk(0, 0, "", 0, 12, 34));
    ASSERT_EQ(readMedia(), 0);
    ASSERT_EQ(av.size(), 1u);
    EXPECT_EQ(av[0].p1, 0);
    EXPECT_EQ(av[0].p2, 0);
    EXPECT_TRUE(av[0].frame.empty());
    EXPECT_EQ(av[0].pts, 12000034u);
}

TEST_F(MediaReader, BadChunkMagicClosesTheLinkThenTheLossIsReportedOnce)
{
    script.add(1, chunk(1, 10, std::string(10, 'z'), 1, 0, 0, 0xDEADBEEFu));
    EXPECT_EQ(readMedia(), -5);
    EXPECT_TRUE(av.empty());
    EXPECT_FALSE(parse.LinkUp());
    EXPECT_EQ(readMedia(), -1);
    EXPECT_EQ(readMedia(), -1);
    ASSERT_EQ(av.size(), 1u);
    EXPECT_EQ(av[0].p1, -1);
    EXPECT_EQ(av[0].p2, -1);
    EXPECT_EQ(handle(), NetRWrite::kLossReported);
}

TEST_F(MediaReader, FrameLargerThanTheReaderTakesIsRefused)
{
    script.add(1, chunk(1, NetProParse::kMaxFrameSize + 1, std::string(10, 'z')));
    EXPECT_EQ(readMedia(), -5);
    EXPECT_TRUE(av.empty());
    EXPECT_FALSE(parse.LinkUp());
}

TEST_F(MediaReader, BrokenLinkMidFrameIsReportedWithTheError)
{
    script.add(1, chunk(2, 100, std::string(40, 'q')));
    EXPECT_EQ(readMedia(), kBroken);
    ASSERT_EQ(av.size(), 1u);
    EXPECT_EQ(av[0].p1, kBroken);
    EXPECT_EQ(av[0].p2, kBroken);
    EXPECT_FALSE(parse.LinkUp());
}

} // namespace

#else
#include <gtest/gtest.h>
TEST(MalformedInput, NeedsTheLinkReaders)
{
    GTEST_SKIP() << "this build has no libTovel, so lumora_net has no link readers";
}
#endif
