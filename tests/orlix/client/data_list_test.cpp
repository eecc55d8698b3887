// A channel's receive queue: a byte stream over the chunks that arrive, with its own wake-up and a
// bound on what it holds.
#include "DataList.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

bool appendText(DataList& list, const std::string& text)
{
    return list.append(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::string readText(DataList& list, std::size_t capacity, int timeoutMs, DataList::ReadResult* result = nullptr)
{
    std::string buffer(capacity, '\0');
    std::size_t copied = 0;
    const auto r = list.read(reinterpret_cast<uint8_t*>(buffer.data()), capacity, timeoutMs, copied);
    if (result)
        *result = r;
    buffer.resize(copied);
    return buffer;
}

TEST(DataList, ReadsJoinAndSplitChunksInOrder)
{
    DataList list;
    appendText(list, "0123456789");
    appendText(list, "abcdefghij");
    EXPECT_EQ(list.bytes(), 20u);
    EXPECT_EQ(readText(list, 15, 0), "0123456789abcde");
    EXPECT_EQ(list.bytes(), 5u);
    EXPECT_EQ(readText(list, 3, 0), "fgh");
    EXPECT_EQ(readText(list, 100, 0), "ij");
    DataList::ReadResult result;
    EXPECT_EQ(readText(list, 100, 0, &result), "");
    EXPECT_EQ(result, DataList::ReadResult::TimedOut);
}

TEST(DataList, WaitingReaderWakesForDataAndForWakeAll)
{
    DataList list;
    std::string got;
    std::thread reader([&] { got = readText(list, 64, 60000); });
    // The reader takes what comes whether it is already waiting or not.
    appendText(list, "late");
    reader.join();
    EXPECT_EQ(got, "late");

    // The reader's result is handed over through atomics: the loop below reads them while the
    // reader may still be writing.
    std::atomic<DataList::ReadResult> result{DataList::ReadResult::Data};
    std::atomic<bool> returned{false};
    std::thread sleeper([&] {
        DataList::ReadResult own = DataList::ReadResult::Data;
        readText(list, 64, 60000, &own);
        result = own;
        returned = true;
    });
    // wakeAll only reaches a reader inside its wait; repeat until this one has returned.
    EXPECT_TRUE(lumora::test::waitUntil([&] {
        list.wakeAll();
        return returned.load();
    }));
    sleeper.join();
    EXPECT_EQ(result.load(), DataList::ReadResult::Woken);
}

// Each queue wakes its own readers: data for one channel never ends another channel's wait.
TEST(DataList, QueuesWakeOnlyTheirOwnReaders)
{
    DataList video;
    DataList commands;
    DataList::ReadResult result = DataList::ReadResult::Woken;
    std::thread reader([&] { readText(commands, 64, 300, &result); });
    for (int i = 0; i < 100; ++i)
        appendText(video, "frame");
    reader.join();
    EXPECT_EQ(result, DataList::ReadResult::TimedOut);
    EXPECT_EQ(video.bytes(), 500u);
}

TEST(DataList, IsBoundedAndCountsWhatItDrops)
{
    DataList list(100);
    EXPECT_TRUE(appendText(list, std::string(60, 'a')));
    EXPECT_TRUE(appendText(list, std::string(40, 'b')));
    EXPECT_FALSE(appendText(list, "c"));
    EXPECT_EQ(list.droppedChunks(), 1u);
    EXPECT_EQ(list.bytes(), 100u);
    EXPECT_EQ(readText(list, 60, 0), std::string(60, 'a'));
    EXPECT_TRUE(appendText(list, "c"));
    list.clear();
    EXPECT_EQ(list.bytes(), 0u);
    EXPECT_FALSE(appendText(list, ""));
}

// Full from half the limit until reads bring it down to a quarter: the owner holds the sender back
// in between, and learns of each change from the call that made it.
TEST(DataList, CountsAsFullFromHalfItsLimitUntilAQuarter)
{
    DataList list(100);
    bool changed = true;
    EXPECT_TRUE(list.append(reinterpret_cast<const uint8_t*>(std::string(49, 'a').data()), 49, &changed));
    EXPECT_FALSE(changed);
    EXPECT_FALSE(list.full());
    EXPECT_TRUE(list.append(reinterpret_cast<const uint8_t*>("b"), 1, &changed));
    EXPECT_TRUE(changed);
    EXPECT_TRUE(list.full());
    EXPECT_TRUE(list.append(reinterpret_cast<const uint8_t*>("c"), 1, &changed));
    EXPECT_FALSE(changed) << "already full";

    std::string buffer(100, '\0');
    std::size_t copied = 0;
    list.read(reinterpret_cast<uint8_t*>(buffer.data()), 20, 0, copied, &changed);
    EXPECT_FALSE(changed);
    EXPECT_TRUE(list.full()) << "31 bytes are still above a quarter";
    list.read(reinterpret_cast<uint8_t*>(buffer.data()), 6, 0, copied, &changed);
    EXPECT_TRUE(changed);
    EXPECT_FALSE(list.full());
    EXPECT_EQ(list.bytes(), 25u);

    list.append(reinterpret_cast<const uint8_t*>(std::string(30, 'd').data()), 30, &changed);
    EXPECT_TRUE(changed);
    list.clear();
    EXPECT_FALSE(list.full());
}

} // namespace
