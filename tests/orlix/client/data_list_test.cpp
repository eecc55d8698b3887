// A channel's receive queue: a byte stream over the chunks that arrive, with its own wake-up and a
// bound on what it holds.
#include "DataList.h"

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

    DataList::ReadResult result = DataList::ReadResult::Data;
    std::atomic<bool> waiting{false};
    std::thread sleeper([&] {
        waiting = true;
        readText(list, 64, 60000, &result);
    });
    while (!waiting.load())
        std::this_thread::yield();
    // wakeAll only reaches a reader inside its wait; repeat until this one has left.
    while (result == DataList::ReadResult::Data) {
        list.wakeAll();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    sleeper.join();
    EXPECT_EQ(result, DataList::ReadResult::Woken);
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

} // namespace
