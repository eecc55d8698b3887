#include "FrameBufferPool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(FrameBufferPool, FramesComeOutInArrivalOrderWithTheirHeader)
{
    FrameBufferPool pool;
    const std::string a = "first", b = "second";
    ASSERT_EQ(pool.Push(a.data(), static_cast<int>(a.size()), 21, 7u, 1u), 0);
    ASSERT_EQ(pool.Push(b.data(), static_cast<unsigned>(b.size()), 22, uint64_t{0x200000009}), 0);
    ASSERT_EQ(pool.Size(), 2u);

    MediaFrame* front = pool.Front();
    ASSERT_NE(front, nullptr);
    EXPECT_EQ(std::string(front->data.begin(), front->data.end()), a);
    EXPECT_EQ(front->kind, 21);
    EXPECT_EQ(front->length, 5);
    EXPECT_EQ(front->Pts(), uint64_t{0x100000007});
    pool.Release();
    front = pool.Front();
    ASSERT_NE(front, nullptr);
    EXPECT_EQ(std::string(front->data.begin(), front->data.end()), b);
    EXPECT_EQ(front->Pts(), uint64_t{0x200000009});
    pool.Release();
    EXPECT_EQ(pool.Front(), nullptr);
    pool.Release(); // releasing an empty queue changes nothing
    EXPECT_EQ(pool.FreeCount(), 2u);
}

TEST(FrameBufferPool, ReleasedFramesAreReusedForTheSameKind)
{
    FrameBufferPool pool;
    const std::vector<char> payload(320, 'x');
    pool.Push(payload.data(), 320, 20, 0, 0);
    MediaFrame* first = pool.Front();
    pool.Release();
    pool.Push(payload.data(), 320, 20, 0, 0);
    EXPECT_EQ(pool.Front(), first) << "steady streaming allocates no new frame";
    EXPECT_EQ(pool.FreeCount(), 0u);
    pool.Release();
    pool.Push(payload.data(), 320, 5, 0, 0);
    EXPECT_NE(pool.Front(), first) << "a frame of another kind is a new one";
}

TEST(FrameBufferPool, FlushEmptiesTheQueueAndRefusesNullData)
{
    FrameBufferPool pool;
    const char byte = 1;
    for (int i = 0; i < 4; ++i)
        pool.Push(&byte, 1, 20, 0, 0);
    pool.Flush();
    EXPECT_EQ(pool.Size(), 0u);
    EXPECT_EQ(pool.FreeCount(), 4u);
    EXPECT_EQ(pool.Push(nullptr, 1, 20, 0, 0), -1);
    EXPECT_EQ(pool.Size(), 0u);
}

TEST(FrameBufferPool, OneProducerAndOneConsumerLoseNothing)
{
    FrameBufferPool pool;
    constexpr int kFrames = 5000;
    std::thread producer([&] {
        for (int i = 0; i < kFrames; ++i)
            pool.Push(reinterpret_cast<const char*>(&i), static_cast<int>(sizeof i), 20, static_cast<uint32_t>(i), 0);
    });
    int expected = 0;
    while (expected < kFrames) {
        MediaFrame* frame = pool.Front();
        if (frame == nullptr) {
            std::this_thread::yield();
            continue;
        }
        int value = -1;
        std::memcpy(&value, frame->data.data(), sizeof value);
        ASSERT_EQ(value, expected);
        pool.Release();
        ++expected;
    }
    producer.join();
}

} // namespace
