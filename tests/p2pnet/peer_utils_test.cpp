// Integer formatting, clocks, hashing, the twister seed, the log, P2PString and the plugin base.
#include "CaseName.h"
#include "BitStream.h"
#include "P2PString.h"
#include "Packet.h"
#include "PeerPlugin.h"
#include "PeerUtils.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

using P2PNet::BitStream;
using P2PNet::P2PString;

namespace {

// ---- Integer to text ----------------------------------------------------------------------------

struct IntegerCase {
    int64_t value;
    int base;
    const char* text;
};

class IntegerText : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(IntegerText, Digits)
{
    char buffer[P2PNet::kIntegerTextSize];
    EXPECT_STREQ(P2PNet::IntegerToText(GetParam().value, GetParam().base, buffer, sizeof buffer), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    PeerUtils, IntegerText,
    ::testing::Values(IntegerCase{-255, 16, "ff"}, IntegerCase{-255, 10, "-255"}, IntegerCase{0, 10, "0"},
                      IntegerCase{0, 2, "0"}, IntegerCase{255, 2, "11111111"}, IntegerCase{35, 16, "23"},
                      IntegerCase{-8, 8, "10"}, IntegerCase{123456789, 10, "123456789"},
                      IntegerCase{std::numeric_limits<int64_t>::min(), 10, "-9223372036854775808"},
                      IntegerCase{std::numeric_limits<int64_t>::min(), 16, "8000000000000000"},
                      IntegerCase{std::numeric_limits<int64_t>::max(), 16, "7fffffffffffffff"},
                      IntegerCase{-1, 2, "1"}, IntegerCase{10, 17, ""}, IntegerCase{10, 1, ""}, IntegerCase{10, 0, ""},
                      IntegerCase{10, -10, ""}),
    [](const auto& paramInfo) { return lumora::test::caseName(paramInfo.param.value, "base", paramInfo.param.base); });

TEST(IntegerTextBuffer, TooSmallBufferGetsEmptyTextNeverOverflows)
{
    char buffer[8] = {'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
    EXPECT_STREQ(P2PNet::IntegerToText(-12345, 10, buffer, 6), "");
    EXPECT_EQ(buffer[6], 'x');
    EXPECT_STREQ(P2PNet::IntegerToText(-1234, 10, buffer, 6), "-1234");
    EXPECT_EQ(P2PNet::IntegerToText(5, 10, nullptr, 0), nullptr);
    char longest[P2PNet::kIntegerTextSize];
    EXPECT_EQ(std::string(P2PNet::IntegerToText(std::numeric_limits<int64_t>::min(), 2, longest, sizeof longest)),
              "1" + std::string(63, '0'));
}

// ---- Clocks -------------------------------------------------------------------------------------

TEST(Clock, CounterConversionKeepsPrecisionWithoutOverflow)
{
    EXPECT_EQ(P2PNet::CounterToMicros(25000001, 10000000), 2500000u);
    EXPECT_EQ(P2PNet::CounterToMicros(3579545, 3579545), 1000000u);
    // value * 1000000 would overflow 64 bits here.
    EXPECT_EQ(P2PNet::CounterToMicros(10000000ull * 1000000000000ull, 10000000), 1000000000000ull * 1000000ull);
    EXPECT_EQ(P2PNet::CounterToMicros(5, 0), 0u);
}

TEST(Clock, NeverGoesBackAndMillisFollowMicros)
{
    uint64_t last = P2PNet::NowMicros();
    for (int i = 0; i < 1000; ++i) {
        const uint64_t now = P2PNet::NowMicros();
        ASSERT_GE(now, last);
        last = now;
    }
    const uint64_t before = P2PNet::NowMicros() / 1000;
    const uint64_t ms = P2PNet::NowMillis();
    const uint64_t after = P2PNet::NowMicros() / 1000;
    EXPECT_LE(before, ms);
    EXPECT_LE(ms, after);
}

// ---- Hash ---------------------------------------------------------------------------------------

TEST(SuperFastHash, SignedTailAndStartValue)
{
    const uint8_t ff = 0xFF;
    // Worked by hand: the tail byte counts as -1.
    EXPECT_EQ(P2PNet::SuperFastHash(&ff, 1, 0), 0x7FFAA939u);
    const uint8_t bytes[7] = {1, 2, 3, 4, 5, 6, 0x80};
    EXPECT_NE(P2PNet::SuperFastHash(bytes, 7, 0), P2PNet::SuperFastHash(bytes, 7, 1));
    // Every length takes every byte into account.
    for (int length = 1; length <= 7; ++length) {
        uint8_t changed[7] = {1, 2, 3, 4, 5, 6, 0x80};
        changed[length - 1] ^= 0x01;
        EXPECT_NE(P2PNet::SuperFastHash(bytes, length, 2), P2PNet::SuperFastHash(changed, length, 2)) << length;
    }
    EXPECT_EQ(P2PNet::SuperFastHash(nullptr, 4, 2), 0u);
    EXPECT_EQ(P2PNet::SuperFastHash(bytes, 0, 2), 0u);
}

// ---- Twister ------------------------------------------------------------------------------------

TEST(Twister, SeedingAndRepeatability)
{
    P2PNet::MersenneTwister a(1000);
    EXPECT_EQ(a.StateWord(0), 1001u);
    EXPECT_EQ(a.StateWord(1), 1001u * 69069u);
    EXPECT_EQ(a.StateWord(623), a.StateWord(622) * 69069u);
    P2PNet::MersenneTwister b(1001); // the same after "| 1"
    P2PNet::MersenneTwister c(2000);
    bool differs = false;
    for (int i = 0; i < 2000; ++i) {
        const uint32_t x = a.Next();
        ASSERT_EQ(x, b.Next());
        differs |= x != c.Next();
    }
    EXPECT_TRUE(differs);
}

// Installs a log sink that keeps every line for the life of the object, and captures the standard
// output and error meanwhile, which the library must leave alone.
class LogCapture {
public:
    struct Line {
        P2PNet::LogLevel level;
        std::string text;
    };

    LogCapture()
    {
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        P2PNet::SetLogSink([this](P2PNet::LogLevel level, const char* text) { m_lines.push_back({level, text}); });
    }
    ~LogCapture() { P2PNet::SetLogSink({}); }

    // Ends the capture of both streams; true when nothing was written to them.
    bool streamsStayedEmpty()
    {
        const std::string out = ::testing::internal::GetCapturedStdout();
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(out, "");
        EXPECT_EQ(err, "");
        return out.empty() && err.empty();
    }
    const std::vector<Line>& lines() const { return m_lines; }

private:
    std::vector<Line> m_lines;
};

TEST(Twister, SeedTwisterPrintsTheSeed)
{
    LogCapture log;
    P2PNet::SeedTwister(424242);
    EXPECT_TRUE(log.streamsStayedEmpty());
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].level, P2PNet::LogLevel::Info);
    EXPECT_EQ(log.lines()[0].text, "random seed 424242");
    P2PNet::MersenneTwister reference(424242);
    EXPECT_EQ(P2PNet::RandomMT(), reference.Next());
}

// ---- Log ----------------------------------------------------------------------------------------

TEST(Log, LinesGoToTheSinkAloneAndDebugLinesOnlyWhenAsked)
{
    {
        LogCapture log;
        P2PNet::LogDebug("hidden %d", 1);
        P2PNet::Log(P2PNet::LogLevel::Debug, "hidden %d", 2);
        P2PNet::Log(P2PNet::LogLevel::Error, "kept %s", "error");
        P2PNet::SetDebugLog(true);
        P2PNet::LogDebug("kept %s", "debug");
        P2PNet::SetDebugLog(false);
        // A line longer than the limit is cut, never overrun.
        P2PNet::Log(P2PNet::LogLevel::Warn, "%s", std::string(2000, 'x').c_str());
        EXPECT_TRUE(log.streamsStayedEmpty());
        ASSERT_EQ(log.lines().size(), 3u);
        EXPECT_EQ(log.lines()[0].level, P2PNet::LogLevel::Error);
        EXPECT_EQ(log.lines()[0].text, "kept error");
        EXPECT_EQ(log.lines()[1].level, P2PNet::LogLevel::Debug);
        EXPECT_EQ(log.lines()[1].text, "kept debug");
        EXPECT_EQ(log.lines()[2].text, std::string(511, 'x'));
    }
    // With no sink, lines go nowhere.
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    P2PNet::Log(P2PNet::LogLevel::Error, "dropped");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

// ---- P2PString ----------------------------------------------------------------------------------

TEST(P2PStringStorage, InlineUpTo111CharactersThenHeapOfTwiceTheSize)
{
    const P2PString fits(std::string(111, 'a').c_str());
    EXPECT_TRUE(fits.UsesInlineStore());
    EXPECT_EQ(fits.capacity(), 112u);
    const P2PString heap(std::string(112, 'b').c_str());
    EXPECT_FALSE(heap.UsesInlineStore());
    EXPECT_EQ(heap.capacity(), 226u);
    EXPECT_EQ(std::string(heap.c_str()), std::string(112, 'b'));
    EXPECT_EQ(heap.size(), 112u);
}

TEST(P2PStringStorage, CopiesShareOneRecordUntilTheLastLetsGo)
{
    P2PString a("shared text");
    {
        P2PString b = a;
        P2PString c;
        c = b;
        EXPECT_EQ(a.UseCount(), 3);
        EXPECT_EQ(c.c_str(), a.c_str());
    }
    EXPECT_EQ(a.UseCount(), 1);
    const std::size_t pooled = P2PString::PooledRecordCount();
    a.Release();
    EXPECT_TRUE(a.empty());
    EXPECT_STREQ(a.c_str(), "");
    EXPECT_EQ(P2PString::PooledRecordCount(), pooled + 1);
}

TEST(P2PStringStorage, EmptyAndNullTextsUseTheSharedEmptyRecord)
{
    P2PString a("");
    P2PString b(static_cast<const char*>(nullptr));
    P2PString c;
    c = static_cast<const char*>(nullptr);
    for (const P2PString* s : {&a, &b, &c}) {
        EXPECT_TRUE(s->empty());
        EXPECT_EQ(s->UseCount(), 0);
        EXPECT_STREQ(s->c_str(), "");
    }
}

TEST(P2PStringStorage, AssigningItsOwnTextOrSubstringIsSafe)
{
    P2PString s(std::string(200, 'z').c_str());
    s = s.c_str();
    EXPECT_EQ(std::string(s.c_str()), std::string(200, 'z'));
    P2PString t("abc:def");
    t = t.c_str() + 4;
    EXPECT_EQ(t, "def");
    s = s;
    EXPECT_EQ(s.size(), 200u);
}

TEST(P2PStringStorage, CopiesOnManyThreadsKeepTheCountRight)
{
    P2PString shared(std::string(150, 'q').c_str());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([shared] {
            for (int i = 0; i < 5000; ++i) {
                P2PString copy = shared;
                P2PString other(copy);
                other = P2PString("x");
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(shared.UseCount(), 1);
    EXPECT_EQ(std::string(shared.c_str()), std::string(150, 'q'));
}

TEST(P2PStringFormat, ShortLongAndVeryLongTexts)
{
    P2PString s;
    s.Format("%s|%d", "1.2.3.4", 5000);
    EXPECT_EQ(s, "1.2.3.4|5000");
    const std::string text600(600, 'y');
    s.Format("%s", text600.c_str());
    EXPECT_EQ(std::string(s.c_str()), text600);
    const std::string text20000(20000, 'w');
    s.Format("<%s>", text20000.c_str());
    EXPECT_EQ(s.size(), 20002u);
    EXPECT_EQ(std::string(s.c_str()), "<" + text20000 + ">");
}

TEST(P2PStringFormat, FailedAllocationKeepsTheTextMadeSoFar)
{
    static int outOfMemory = 0;
    P2PNet::AllocationHooks hooks = P2PNet::DefaultAllocationHooks();
    const P2PNet::AllocationHooks defaults = hooks;
    hooks.allocate = [](std::size_t size, const char* file, unsigned line) -> void* {
        return size == 8096 ? nullptr : P2PNet::DefaultAllocationHooks().allocate(size, file, line);
    };
    hooks.outOfMemory = [](const char*, unsigned) { ++outOfMemory; };
    P2PNet::SetAllocationHooks(hooks);
    P2PString s;
    s.Format("%s", std::string(600, 'k').c_str());
    P2PNet::SetAllocationHooks(defaults);
    EXPECT_EQ(outOfMemory, 1);
    EXPECT_EQ(std::string(s.c_str()), std::string(511, 'k'));
}

TEST(P2PStringWire, RoundTripAndBitStreamForm)
{
    BitStream stream;
    P2PString("peer-id").Serialize(stream);
    P2PString().Serialize(stream);
    P2PString back("old");
    ASSERT_TRUE(back.Deserialize(stream));
    EXPECT_EQ(back, "peer-id");
    ASSERT_TRUE(back.Deserialize(stream));
    EXPECT_TRUE(back.empty());
    EXPECT_EQ(stream.GetNumberOfUnreadBits(), 0u);
    EXPECT_EQ(stream.GetData()[0], 0x00);
    EXPECT_EQ(stream.GetData()[1], 0x07);
}

TEST(P2PStringWire, DeserializeAlignsAfterLengthAndRefusesShortData)
{
    BitStream stream;
    stream.WriteBit(true);
    stream.WriteU16(3);
    stream.AlignWrite();
    stream.WriteBytes("xyz", 3);
    stream.IgnoreBits(1);
    P2PString s;
    ASSERT_TRUE(s.Deserialize(stream));
    EXPECT_EQ(s, "xyz");

    BitStream shortStream;
    shortStream.WriteU16(500);
    shortStream.WriteBytes("abc", 3);
    P2PString t("keep?");
    EXPECT_FALSE(t.Deserialize(shortStream));
    EXPECT_TRUE(t.empty());
    EXPECT_EQ(shortStream.GetReadPosition(), 0u);

    BitStream oneByte;
    oneByte.WriteU8(1);
    EXPECT_FALSE(t.Deserialize(oneByte));
}

struct SubStrCase {
    const char* text;
    std::size_t count;
    std::size_t index;
    const char* result;
};

class P2PStringSubStr : public ::testing::TestWithParam<SubStrCase> {};

TEST_P(P2PStringSubStr, TakesAtMostCountFromIndex)
{
    const P2PString s(GetParam().text);
    EXPECT_EQ(s.SubStr(GetParam().count, GetParam().index), GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(P2PString, P2PStringSubStr,
                         ::testing::Values(SubStrCase{"abcdef", 3, 0, "abc"}, SubStrCase{"abcdef", 3, 4, "ef"},
                                           SubStrCase{"abcdef", 0, 1, ""}, SubStrCase{"abcdef", 1, 6, ""},
                                           SubStrCase{"abcdef", 10, 100, ""}, SubStrCase{"", 1, 0, ""},
                                           SubStrCase{"abcdef", static_cast<std::size_t>(-1), 2, "cdef"}),
                         [](const auto& paramInfo) {
                             return lumora::test::caseName(paramInfo.param.text, "count", paramInfo.param.count, "from", paramInfo.param.index);
                         });

struct ColonCase {
    const char* text;
    const char* result;
};

class P2PStringColon : public ::testing::TestWithParam<ColonCase> {};

TEST_P(P2PStringColon, KeepsWhatFollowsTheLastColon)
{
    P2PString s(GetParam().text);
    s.TakeAfterLastColon();
    EXPECT_EQ(s, GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(P2PString, P2PStringColon,
                         ::testing::Values(ColonCase{"host:5000", "5000"}, ColonCase{"a:b:c", "c"},
                                           ColonCase{"trailing:", "trailing:"}, ColonCase{"none", "none"},
                                           ColonCase{":x", "x"}, ColonCase{"", ""}),
                         [](const auto& paramInfo) { return lumora::test::caseName(paramInfo.param.text); });

TEST(P2PStringPool, FreePoolEmptiesThePoolAndStringsStillWork)
{
    { P2PString warm("warm"); }
    EXPECT_GT(P2PString::PooledRecordCount(), 0u);
    P2PString alive("still here");
    P2PString::FreePool();
    EXPECT_EQ(P2PString::PooledRecordCount(), 0u);
    EXPECT_EQ(alive, "still here");
    alive.Release();
    EXPECT_EQ(P2PString::PooledRecordCount(), 1u);
    P2PString reused("reuses the returned record");
    EXPECT_EQ(P2PString::PooledRecordCount(), 0u);
    P2PString fresh("makes a new batch");
    EXPECT_EQ(P2PString::PooledRecordCount(), P2PString::kPoolBatch - 1u);
}

// ---- Plugin base ----------------------------------------------------------------------------------

class QuietPlugin : public P2PNet::PeerPlugin {};

TEST(PeerPluginBase, DefaultsPassMessagesOnAndJoinTheFirstList)
{
    QuietPlugin plugin;
    EXPECT_EQ(plugin.GetPeer(), nullptr);
    EXPECT_EQ(plugin.OfferMessage(nullptr), P2PNet::kPluginContinue);
    EXPECT_FALSE(plugin.UsesSecondList());
    EXPECT_EQ(P2PNet::kPluginConsumed, 0);
    EXPECT_EQ(P2PNet::kPluginContinue, 1);
    EXPECT_EQ(P2PNet::kPluginKeep, 2);
}

TEST(PeerPluginBase, DetachedMakePacketBuildsAStandalonePacket)
{
    QuietPlugin plugin;
    P2PNet::Packet* packet = plugin.MakePacket(40);
    ASSERT_NE(packet, nullptr);
    EXPECT_TRUE(packet->systemAddress.IsUnassigned());
    EXPECT_TRUE(packet->guid.IsUnassigned());
    EXPECT_EQ(packet->length, 40u);
    EXPECT_EQ(packet->bitSize, 320u);
    EXPECT_TRUE(packet->deleteData);
    EXPECT_FALSE(packet->wasGeneratedLocally);
    ASSERT_NE(packet->data, nullptr);
    packet->data[39] = 0x5A; // the whole buffer is writable
    P2PNet::FreeStandalonePacket(packet);
    P2PNet::FreeStandalonePacket(nullptr);
}

} // namespace
