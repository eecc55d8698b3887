// The Orlix_* exports as a caller sees them: codes before and after initialisation, argument
// checks that need no session, and shut-down while other threads are inside the library.
#include "Orlix.h"

#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Export {
    const char* name;
    std::function<int()> call;
};

// Every export that answers -1 without a client (all but the version, QueryDID, the two
// initialisers and DeInitialize). Each call is harmless when a client exists.
std::vector<Export> clientExports()
{
    static char buffer[16];
    static int length = sizeof(buffer);
    static Orlix_SessionInfo info;
    static Orlix_NetworkDetectInfo detect;
    static unsigned pending, readable;
    return {
        {"SetLoginInfo", [] { return Orlix_SetLoginInfo("id", "pw", 1); }},
        {"LoginStatus_Check", [] { return Orlix_LoginStatus_Check(); }},
        {"NetworkDetect", [] { return Orlix_NetworkDetect(&detect); }},
        {"Share_Bandwidth", [] { return Orlix_Share_Bandwidth(); }},
        {"Listen", [] { return Orlix_Listen("id", 0, 0, 0, "pw"); }},
        {"Listen_Break", [] { return Orlix_Listen_Break(); }},
        {"Connect", [] { return Orlix_Connect("dev", 0, 0); }},
        {"Connect_Break", [] { return Orlix_Connect_Break("dev"); }},
        {"Check", [] { return Orlix_Check(0, &info); }},
        {"CheckNullRecord", [] { return Orlix_Check(0, nullptr); }},
        {"Close", [] { return Orlix_Close(0); }},
        {"ForceClose", [] { return Orlix_ForceClose(0); }},
        {"Write", [] { return Orlix_Write(0, 0, "x", 1); }},
        {"Read", [] {
             length = sizeof(buffer);
             return Orlix_Read(0, 0, buffer, &length, 0);
         }},
        {"Check_Buffer", [] { return Orlix_Check_Buffer(0, 0, &pending, &readable); }},
    };
}

class OrlixApi : public ::testing::Test {
protected:
    void TearDown() override { Orlix_DeInitialize(); }
};

TEST_F(OrlixApi, VersionAndNoOpsAnswerWithoutClient)
{
    EXPECT_EQ(Orlix_GetAPIVersion(), 20161128);
    EXPECT_EQ(Orlix_QueryDID(), 0);
    ASSERT_EQ(Orlix_Initialize(""), 0);
    EXPECT_EQ(Orlix_GetAPIVersion(), 20161128);
    EXPECT_EQ(Orlix_QueryDID(), 0);
    EXPECT_EQ(Orlix_DeInitialize(), 0);
    EXPECT_EQ(Orlix_GetAPIVersion(), 20161128);
}

TEST_F(OrlixApi, EveryClientExportAnswersMinusOneBeforeInitAndAfterDeInit)
{
    for (const Export& e : clientExports())
        EXPECT_EQ(e.call(), -1) << e.name << " before initialisation";
    ASSERT_EQ(Orlix_Initialize(""), 0);
    EXPECT_EQ(Orlix_DeInitialize(), 0);
    EXPECT_EQ(Orlix_DeInitialize(), 0);
    for (const Export& e : clientExports())
        EXPECT_EQ(e.call(), -1) << e.name << " after de-initialisation";
}

TEST_F(OrlixApi, AnswersWithoutSession)
{
    ASSERT_EQ(Orlix_Initialize_IPv6("", nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(Orlix_LoginStatus_Check(), 3);
    EXPECT_EQ(Orlix_Share_Bandwidth(), 0);
    // A null record is answered before the handle is looked at.
    EXPECT_EQ(Orlix_Check(-1, nullptr), 0);
    EXPECT_EQ(Orlix_Check(4711, nullptr), 0);
    Orlix_SessionInfo info{};
    EXPECT_EQ(Orlix_Check(-1, &info), -5);
    EXPECT_EQ(Orlix_Check(4711, &info), -6);
    EXPECT_EQ(Orlix_Close(-1), -5);
    EXPECT_EQ(Orlix_ForceClose(-1), -5);
    EXPECT_EQ(Orlix_Close(4711), 0);
    unsigned pending = 7, readable = 7;
    EXPECT_EQ(Orlix_Check_Buffer(4711, 0, &pending, &readable), -6);
    EXPECT_EQ(Orlix_Check_Buffer(-1, 0, &pending, &readable), -5);
    EXPECT_EQ(Orlix_Check_Buffer(0, 16, &pending, &readable), -5);
    char data[8] = {};
    EXPECT_EQ(Orlix_Write(4711, 0, data, 8), -5);
    int length = 8;
    EXPECT_EQ(Orlix_Read(4711, 0, data, &length, 0), -5);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(Orlix_Connect(nullptr, 0, 0), -5);
    EXPECT_EQ(Orlix_Connect_Break("nobody"), 0);
}

TEST_F(OrlixApi, ListenTimesOutAtOnceAndBreakWakesIt)
{
    ASSERT_EQ(Orlix_Initialize(""), 0);
    ASSERT_EQ(Orlix_SetLoginInfo("camera-1", "secret", 2), 0);
    EXPECT_EQ(Orlix_Listen("camera-1", 0, 0, 0, "secret"), -3);
    std::atomic<int> result{1};
    std::thread listener([&] { result = Orlix_Listen("camera-1", 600, 0, 0, "secret"); });
    // Break until the waiting listen has taken a release (a release before its wait is kept).
    EXPECT_EQ(Orlix_Listen_Break(), 0);
    listener.join();
    EXPECT_EQ(result.load(), -22);
}

TEST_F(OrlixApi, NetworkDetectFillsZeroedRecord)
{
    ASSERT_EQ(Orlix_Initialize(""), 0);
    Orlix_NetworkDetectInfo info;
    std::memset(&info, 0xAB, sizeof(info));
    EXPECT_EQ(Orlix_NetworkDetect(&info), 0);
    EXPECT_EQ(info.text1[0], 0);
    EXPECT_EQ(info.flags[0], 0);
}

TEST_F(OrlixApi, SecondInitialiseKeepsTheLibraryWorking)
{
    ASSERT_EQ(Orlix_Initialize(""), 0);
    ASSERT_EQ(Orlix_SetLoginInfo("camera-2", "pw", 2), 0);
    ASSERT_EQ(Orlix_Initialize_IPv6("", "::1", nullptr, nullptr), 0);
    EXPECT_EQ(Orlix_Listen("camera-2", 0, 0, 0, "pw"), -3);
    EXPECT_EQ(Orlix_DeInitialize(), 0);
}

// De-initialising while other threads wait inside the library: every waiter returns, the
// waiting connect with -19, and every export afterwards answers -1. Run under ASan this also
// shows that nothing is freed under a thread still inside.
TEST_F(OrlixApi, DeInitializeWakesEveryCallInside)
{
    ASSERT_EQ(Orlix_Initialize(""), 0);
    std::atomic<int> connectResult{1};
    std::atomic<int> listenResult{1};
    std::atomic<bool> stop{false};
    std::atomic<int> busyCalls{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] { connectResult = Orlix_Connect("device-that-never-answers", 0, 0); });
    threads.emplace_back([&] { listenResult = Orlix_Listen(nullptr, 6000, 0, 0, nullptr); });
    threads.emplace_back([&] { Orlix_NetworkDetect(nullptr); });
    for (int i = 0; i < 3; ++i)
        threads.emplace_back([&] {
            char buffer[64];
            while (!stop.load()) {
                int length = sizeof(buffer);
                Orlix_Read(0, 0, buffer, &length, 1);
                Orlix_Write(0, 1, buffer, 10);
                Orlix_Check_Buffer(0, 0, nullptr, nullptr);
                ++busyCalls;
            }
        });
    // The connect's session (handle 0) exists once Check_Buffer stops answering -6; the busy
    unsigned pending = 0, readable = 0;
    // threads run until told to stop. A session that never appears fails here, and the
    // de-initialisation below still releases every thread.
    EXPECT_TRUE(lumora::test::waitUntil(
        [&] { return Orlix_Check_Buffer(0, 0, &pending, &readable) != -6 && busyCalls.load() >= 100; }));
    EXPECT_EQ(Orlix_DeInitialize(), 0);
    stop = true;
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(connectResult.load(), -19);
    EXPECT_NE(listenResult.load(), 1);
    EXPECT_EQ(Orlix_Connect("device-that-never-answers", 0, 0), -1);
}

} // namespace
