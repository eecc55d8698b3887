// Sessions through the Orlix_* exports: the caller's side is libTovel as the SDK uses it; the
// device side (a P2PClient) and the rendezvous server run in this program on loopback.
#include "Orlix.h"
#include "P2PClient.h"
#include "RendezvousServer.h"
#include "QuickClientTimings.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using lumora::test::waitUntil;

class OrlixSession : public ::testing::Test {
protected:
    void start(rendezvous::RendezvousOptions options, const std::string& deviceId)
    {
        options.punchDelayMs = lumora::test::kQuickPunchDelayMs;
        m_server = std::make_unique<rendezvous::RendezvousServer>(std::move(options));
        std::string error;
        ASSERT_TRUE(m_server->start(&error)) << error;
        if (!deviceId.empty()) {
            m_device = std::make_unique<P2PClient>();
            // The device side (this program's own client) registers and sweeps without delay.
            m_device->SetTimings(lumora::test::quickClientTimings());
            m_device->SetLoginInfo(deviceId.c_str(), "secret", P2PClient::kModeDevice);
            ASSERT_EQ(m_device->Initialize(m_server->serverString().c_str(), nullptr, nullptr, nullptr), 0);
            ASSERT_TRUE(m_server->waitRegistered(deviceId, 15000));
        }
        ASSERT_EQ(Orlix_Initialize_IPv6(m_server->serverString().c_str(), nullptr, nullptr, nullptr), 0);
    }

    int acceptOnDevice()
    {
        int handle = -3;
        waitUntil([&] {
            handle = m_device->Listen(nullptr, 1, nullptr);
            return handle >= 0;
        });
        return handle;
    }

    void TearDown() override
    {
        Orlix_DeInitialize();
        if (m_device)
            m_device->Shutdown();
        if (m_server)
            m_server->stop();
    }

    std::unique_ptr<rendezvous::RendezvousServer> m_server;
    std::unique_ptr<P2PClient> m_device;
};

struct PathCase {
    const char* name;
    uint8_t natType;
    bool serverRelay;
    int connectionType;
};

class OrlixPath : public OrlixSession, public ::testing::WithParamInterface<PathCase> {};

// The SDK's use: connect, keep byte 81 of the check record, write and read with time-out 0.
TEST_P(OrlixPath, ConnectionTypeIsByte81)
{
    rendezvous::RendezvousOptions options;
    options.natType = GetParam().natType;
    options.serverRelay = GetParam().serverRelay;
    start(options, "cam-api");
    const int handle = Orlix_Connect("cam-api", 1, 0);
    ASSERT_GE(handle, 0);
    unsigned char record[84] = {};
    ASSERT_EQ(Orlix_Check(handle, reinterpret_cast<Orlix_SessionInfo*>(record)), 0);
    EXPECT_EQ(record[81], GetParam().connectionType);
    EXPECT_EQ(std::memcmp(record + 56, "cam-api", 8), 0);

    const int deviceHandle = acceptOnDevice();
    ASSERT_GE(deviceHandle, 0);
    ASSERT_EQ(Orlix_Write(handle, 0, "login", 5), 5);
    char buffer[16];
    int length = 0;
    ASSERT_TRUE(waitUntil([&] {
        length = sizeof(buffer);
        return m_device->Read(deviceHandle, 0, buffer, &length, 0) == 0 && length > 0;
    }));
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(length)), "login");
    ASSERT_EQ(m_device->Write(deviceHandle, 0, "reply", 5), 5);
    int result = -3;
    ASSERT_TRUE(waitUntil([&] {
        length = sizeof(buffer);
        result = Orlix_Read(handle, 0, buffer, &length, 0);
        return result != -3;
    }));
    ASSERT_EQ(result, 0);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(length)), "reply");
}

INSTANTIATE_TEST_SUITE_P(Orlix, OrlixPath,
                         ::testing::Values(PathCase{"punched", 1, false, 2}, PathCase{"forwarded", 4, false, 3},
                                           PathCase{"serverRelay", 1, true, 3}),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

// The argument rules of Orlix_Write and Orlix_Read on a live session.
TEST_F(OrlixSession, WriteAndReadArgumentRules)
{
    start({}, "cam-args");
    const int handle = Orlix_Connect("cam-args", 0, 0);
    ASSERT_GE(handle, 0);
    std::vector<char> big(1048577, 'b');
    EXPECT_EQ(Orlix_Write(handle, 0, big.data(), 1048576), 1048576);
    EXPECT_EQ(Orlix_Write(handle, 0, big.data(), 1048577), -5);
    EXPECT_EQ(Orlix_Write(handle, 0, big.data(), 0), -5);
    EXPECT_EQ(Orlix_Write(handle, 16, big.data(), 10), -5);
    EXPECT_EQ(Orlix_Write(handle, 272, big.data(), 10), -5);
    EXPECT_EQ(Orlix_Write(handle, 256, big.data(), 10), 10); // channel 0
    EXPECT_EQ(Orlix_Write(handle, 0, nullptr, 10), -5);
    EXPECT_EQ(Orlix_Write(-1, 0, big.data(), 10), -5);
    unsigned pending = 0;
    EXPECT_EQ(Orlix_Check_Buffer(handle, 0, &pending, nullptr), 0);

    char buffer[32];
    int length = sizeof(buffer);
    EXPECT_EQ(Orlix_Read(handle, 5, buffer, &length, 0), -3);
    EXPECT_EQ(length, 0);
    length = 1048577;
    EXPECT_EQ(Orlix_Read(handle, 0, buffer, &length, 0), -5);
    EXPECT_EQ(length, 0);
    length = sizeof(buffer);
    EXPECT_EQ(Orlix_Read(handle, 16, buffer, &length, 0), -5);
    EXPECT_EQ(Orlix_Read(handle, 0, buffer, nullptr, 0), -5);
    EXPECT_EQ(Orlix_Read(handle, 0, nullptr, &length, 0), -5);
}

TEST_F(OrlixSession, LookupFailuresEndTheConnect)
{
    rendezvous::RendezvousOptions options;
    options.refused["cam-two"] = 2;
    start(options, "");
    EXPECT_EQ(Orlix_Connect("cam-two", 0, 0), -4);
    EXPECT_EQ(Orlix_Connect("cam-nobody", 0, 0), -6);
}

TEST_F(OrlixSession, BreakAndDeInitializeEndAWaitingConnect)
{
    rendezvous::RendezvousOptions options;
    options.silentUnknown = true;
    start(options, "");
    auto first = std::async(std::launch::async, [] { return Orlix_Connect("cam-silent", 0, 0); });
    unsigned pending = 0;
    // A connecting session reports its stored error, 0, until the connect ends.
    ASSERT_TRUE(waitUntil([&] { return Orlix_Check_Buffer(0, 0, &pending, nullptr) == 0; }));
    EXPECT_EQ(Orlix_Connect_Break("cam-silent"), 0);
    EXPECT_EQ(first.get(), -19);

    auto second = std::async(std::launch::async, [] { return Orlix_Connect("cam-silent", 1, 0); });
    ASSERT_TRUE(waitUntil([&] { return Orlix_Check_Buffer(0, 0, &pending, nullptr) == 0; }));
    EXPECT_EQ(Orlix_DeInitialize(), 0);
    EXPECT_EQ(second.get(), -19);
    EXPECT_EQ(Orlix_Connect("cam-silent", 0, 0), -1);
}

TEST_F(OrlixSession, CloseAndDeviceLossAreReported)
{
    start({}, "cam-end");
    int handle = Orlix_Connect("cam-end", 0, 0);
    ASSERT_GE(handle, 0);
    EXPECT_EQ(Orlix_Connect_Break("cam-end"), 0);
    EXPECT_EQ(Orlix_Close(handle), 0);
    char buffer[8];
    int length = sizeof(buffer);
    EXPECT_EQ(Orlix_Read(handle, 0, buffer, &length, 0), -14);
    EXPECT_EQ(Orlix_Write(handle, 0, buffer, 4), -14);
    unsigned pending = 0;
    EXPECT_EQ(Orlix_Check_Buffer(handle, 0, &pending, nullptr), -14);

    // The same id connects again on the same session; then the device goes away.
    handle = Orlix_Connect("cam-end", 0, 0);
    ASSERT_GE(handle, 0);
    m_device->Shutdown();
    int result = 0;
    ASSERT_TRUE(waitUntil([&] {
        length = sizeof(buffer);
        result = Orlix_Read(handle, 0, buffer, &length, 0);
        return result != -3 && result != 0;
    }));
    EXPECT_EQ(result, -27);
}

} // namespace
