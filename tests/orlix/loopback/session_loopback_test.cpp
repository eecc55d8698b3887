// Whole sessions on loopback: a device side and a connecting side, each a P2PClient with its own
// peer, meeting through an in-process rendezvous server, by every path the library knows.
#include "P2PClient.h"
#include "RendezvousServer.h"
#include "QuickClientTimings.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using lumora::test::waitUntil;

uint32_t crc32(const uint8_t* data, std::size_t length)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

class Loopback : public ::testing::Test {
protected:
    void startServer(rendezvous::RendezvousOptions options = {})
    {
        options.punchDelayMs = lumora::test::kQuickPunchDelayMs;
        m_server = std::make_unique<rendezvous::RendezvousServer>(std::move(options));
        std::string error;
        ASSERT_TRUE(m_server->start(&error)) << error;
    }

    std::string serverString() const { return m_server ? m_server->serverString() : std::string(); }

    // A device registered with the server (or, with registered false, one that has no server).
    std::unique_ptr<P2PClient> startDevice(const std::string& id, bool registered = true)
    {
        auto device = std::make_unique<P2PClient>();
        device->SetTimings(lumora::test::quickClientTimings());
        device->SetLoginInfo(id.c_str(), "secret", P2PClient::kModeDevice);
        EXPECT_EQ(device->Initialize(registered ? serverString().c_str() : "", nullptr, nullptr, nullptr), 0);
        if (registered) {
            EXPECT_TRUE(m_server->waitRegistered(id, 15000)) << id;
        }
        return device;
    }

    std::unique_ptr<P2PClient> startPhone(const std::string& id = "phone")
    {
        auto phone = std::make_unique<P2PClient>();
        phone->SetTimings(lumora::test::quickClientTimings());
        phone->SetLoginInfo(id.c_str(), "secret", P2PClient::kModeConnecting);
        EXPECT_EQ(phone->Initialize(serverString().c_str(), nullptr, nullptr, nullptr), 0);
        if (m_server) {
            EXPECT_TRUE(waitUntil([&] { return phone->ServerState(0) == kServerLoggedIn; })) << "login";
        }
        return phone;
    }

    // The device side's handle of the next accepted session.
    static int accept(P2PClient& device)
    {
        int handle = -3;
        waitUntil([&] {
            handle = device.Listen(nullptr, 1, nullptr);
            return handle >= 0;
        });
        return handle;
    }

    static int connectionType(P2PClient& side, int handle)
    {
        SessionInfo info{};
        if (side.Check(handle, &info) != 0)
            return -1;
        return info.connectionType;
    }

    // Reads exactly length bytes of a channel (or fails after the deadline).
    static std::vector<uint8_t> readExactly(P2PClient& side, int handle, int channel, std::size_t length,
                                            int* error = nullptr)
    {
        std::vector<uint8_t> out(length);
        std::size_t got = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (got < length && std::chrono::steady_clock::now() < deadline) {
            int n = static_cast<int>(std::min<std::size_t>(length - got, 1048576));
            const int result = side.Read(handle, channel, reinterpret_cast<char*>(out.data() + got), &n, 10);
            if (result == -3)
                continue;
            if (result != 0) {
                if (error)
                    *error = result;
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        out.resize(got);
        return out;
    }

    // Data written on one side arrives on the other, in both directions.
    static void exchange(P2PClient& phone, int phoneHandle, P2PClient& device, int deviceHandle, int channel)
    {
        const std::string ask = "request on channel " + std::to_string(channel);
        ASSERT_EQ(phone.Write(phoneHandle, channel, ask.data(), static_cast<int>(ask.size())),
                  static_cast<int>(ask.size()));
        auto got = readExactly(device, deviceHandle, channel, ask.size());
        EXPECT_EQ(std::string(got.begin(), got.end()), ask);
        const std::string answer = "answer on channel " + std::to_string(channel);
        ASSERT_EQ(device.Write(deviceHandle, channel, answer.data(), static_cast<int>(answer.size())),
                  static_cast<int>(answer.size()));
        got = readExactly(phone, phoneHandle, channel, answer.size());
        EXPECT_EQ(std::string(got.begin(), got.end()), answer);
    }

    void TearDown() override
    {
        if (m_server)
            m_server->stop();
    }

    std::unique_ptr<rendezvous::RendezvousServer> m_server;
};

struct PathCase {
    const char* name;
    uint8_t natType;
    bool serverRelay;
    bool lanOnly;
    int connectionType;
    int role;
};

class SessionPath : public Loopback, public ::testing::WithParamInterface<PathCase> {};

TEST_P(SessionPath, ConnectsAndCarriesDataBothWays)
{
    const PathCase& c = GetParam();
    rendezvous::RendezvousOptions options;
    options.natType = c.natType;
    options.serverRelay = c.serverRelay;
    options.silentUnknown = true;
    startServer(options);
    auto device = startDevice("cam-path", !c.lanOnly);
    auto phone = startPhone();
    if (c.lanOnly)
        phone->SetLanSearchTarget("127.0.0.1", device->BoundAddress().GetPort());

    const int handle = phone->Connect("cam-path", c.lanOnly ? 1 : 0);
    ASSERT_GE(handle, 0);
    SessionInfo info{};
    ASSERT_EQ(phone->Check(handle, &info), 0);
    EXPECT_EQ(info.connectionType, c.connectionType);
    EXPECT_EQ(info.role, c.role);
    EXPECT_EQ(std::string(info.deviceId), "cam-path");

    const int deviceHandle = accept(*device);
    ASSERT_GE(deviceHandle, 0);
    exchange(*phone, handle, *device, deviceHandle, 0);
    if (c.role != 3)
        exchange(*phone, handle, *device, deviceHandle, 15);
    // A second connect for the same id while the session is in use returns the same handle.
    EXPECT_EQ(phone->Connect("cam-path", 0), handle);
}

INSTANTIATE_TEST_SUITE_P(Orlix, SessionPath,
                         ::testing::Values(PathCase{"lan", 1, false, true, 1, 2},
                                           PathCase{"punched", 1, false, false, 2, 2},
                                           PathCase{"forwarded", 4, false, false, 3, 2},
                                           PathCase{"serverRelay", 1, true, false, 3, 3}),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

// Every channel carries 1 MiB writes unchanged, in order, while the others run at once.
TEST_F(Loopback, SixteenChannelsCarryMebibyteWritesIntact)
{
    startServer();
    auto device = startDevice("cam-bulk");
    auto phone = startPhone();
    const int handle = phone->Connect("cam-bulk", 0);
    ASSERT_GE(handle, 0);
    const int deviceHandle = accept(*device);
    ASSERT_GE(deviceHandle, 0);

    constexpr std::size_t kChunk = 1048576;
    std::vector<std::vector<uint8_t>> payloads(kChannelCount);
    std::mt19937 random(1234);
    for (auto& payload : payloads) {
        payload.resize(kChunk);
        for (auto& b : payload)
            b = static_cast<uint8_t>(random());
    }
    std::vector<std::future<uint32_t>> readers;
    for (int channel = 0; channel < kChannelCount; ++channel)
        readers.push_back(std::async(std::launch::async, [&, channel] {
            const auto got = readExactly(*device, deviceHandle, channel, kChunk);
            return got.size() == kChunk ? crc32(got.data(), got.size()) : 0u;
        }));
    for (int channel = 0; channel < kChannelCount; ++channel)
        ASSERT_EQ(phone->Write(handle, channel, reinterpret_cast<const char*>(payloads[channel].data()),
                               static_cast<int>(kChunk)),
                  static_cast<int>(kChunk));
    for (int channel = 0; channel < kChannelCount; ++channel)
        EXPECT_EQ(readers[static_cast<std::size_t>(channel)].get(),
                  crc32(payloads[static_cast<std::size_t>(channel)].data(), kChunk))
            << "channel " << channel;
}

// A reader that falls behind gets every byte, in order, while the bytes waiting for it stay
// bounded: its queue, full at half its limit, holds the sender back instead of failing the
// session, on every path that carries the data. The reader lets its queue fill (it waits until its
// session holds the sender back) at the start and half-way, and otherwise takes 20 ms for each MiB
// it reads.
class SlowReader : public Loopback, public ::testing::WithParamInterface<PathCase> {};

TEST_P(SlowReader, GetsEverythingWhileTheSenderIsHeldBack)
{
    const PathCase& c = GetParam();
    rendezvous::RendezvousOptions options;
    options.natType = c.natType;
    options.serverRelay = c.serverRelay;
    startServer(options);
    auto device = startDevice("cam-slow");
    auto phone = startPhone();
    constexpr std::size_t kLimit = 16 * 1048576;
    phone->SetReceiveQueueLimit(kLimit);
    const int handle = phone->Connect("cam-slow", 0);
    ASSERT_GE(handle, 0);
    const int deviceHandle = accept(*device);
    ASSERT_GE(deviceHandle, 0);
    const auto session = phone->SessionByHandle(handle);
    ASSERT_TRUE(session);

    constexpr std::size_t kMiB = 1048576;
    constexpr std::size_t kTotal = 32 * kMiB;
    // Data relayed by a server arrives on channel 0 whatever channel it was written on.
    const int channel = c.role == 3 ? 0 : 5;
    std::vector<uint8_t> payload(kTotal);
    std::mt19937 random(99);
    for (auto& b : payload)
        b = static_cast<uint8_t>(random());

    std::atomic<uint32_t> mostReadable{0};
    auto readable = [&] {
        uint32_t bytes = 0;
        phone->CheckBuffer(handle, channel, nullptr, &bytes);
        mostReadable.store(std::max(mostReadable.load(), bytes));
        return bytes;
    };
    auto reader = std::async(std::launch::async, [&] {
        std::vector<uint8_t> got;
        got.reserve(kTotal);
        std::vector<char> buffer(kMiB);
        int error = 0;
        int fills = 0;
        while (got.size() < kTotal) {
            if (fills < 2 && got.size() >= static_cast<std::size_t>(fills) * kTotal / 2) {
                ++fills;
                // Until the queue is full and the sender held back.
                if (!waitUntil(
                        [&] {
                            readable();
                            return session->fullChannels() != 0 || phone->SessionError(handle) != 0;
                        },
                        std::chrono::milliseconds(60000)))
                    break;
            }
            readable();
            int length = static_cast<int>(kMiB);
            const int result = phone->Read(handle, channel, buffer.data(), &length, 50);
            if (result == -3)
                continue;
            if (result != 0) {
                error = result;
                break;
            }
            got.insert(got.end(), buffer.begin(), buffer.begin() + length);
            // The reader's own work on what it took.
            std::this_thread::sleep_for(std::chrono::microseconds(20000LL * length / static_cast<long long>(kMiB)));
        }
        EXPECT_EQ(error, 0);
        return got;
    });
    for (std::size_t offset = 0; offset < kTotal; offset += kMiB)
        ASSERT_EQ(device->Write(deviceHandle, channel, reinterpret_cast<const char*>(payload.data() + offset),
                                static_cast<int>(kMiB)),
                  static_cast<int>(kMiB));
    const std::vector<uint8_t> got = reader.get();
    ASSERT_EQ(got.size(), kTotal);
    EXPECT_EQ(crc32(got.data(), got.size()), crc32(payload.data(), payload.size()));
    EXPECT_EQ(phone->SessionError(handle), 0);
    EXPECT_GE(mostReadable.load(), kLimit / 2);
    EXPECT_LE(mostReadable.load(), kLimit);
}

INSTANTIATE_TEST_SUITE_P(Orlix, SlowReader,
                         ::testing::Values(PathCase{"punched", 1, false, false, 2, 2},
                                           PathCase{"forwarded", 4, false, false, 3, 2},
                                           PathCase{"serverRelay", 1, true, false, 3, 3}),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

// A connect that no server ever answers (the device is unknown and the server stays silent) gives
// up after its connect waits, each as long as the process's setting makes it (shortened here), with
// -3.
TEST_F(Loopback, ConnectNobodyAnswersEndsAtItsTimeOut)
{
    rendezvous::RendezvousOptions options;
    options.silentUnknown = true;
    startServer(options);
    auto phone = startPhone();
    ClientTimings timings = lumora::test::quickClientTimings();
    timings.connectWaitMs = 20;
    phone->SetTimings(timings);
    EXPECT_EQ(phone->Connect("cam-nowhere", 0), -3);
}

// The pending count of a channel covers what was written until the peer acknowledges it.
TEST_F(Loopback, WrittenBytesArePendingUntilAcknowledged)
{
    startServer();
    auto device = startDevice("cam-ack");
    auto phone = startPhone();
    const int handle = phone->Connect("cam-ack", 0);
    ASSERT_GE(handle, 0);
    std::vector<char> data(200000, 'x');
    ASSERT_EQ(phone->Write(handle, 3, data.data(), static_cast<int>(data.size())), 200000);
    uint32_t pending = 0;
    ASSERT_EQ(phone->CheckBuffer(handle, 3, &pending, nullptr), 0);
    EXPECT_GT(pending, 0u);
    EXPECT_TRUE(waitUntil([&] {
        phone->CheckBuffer(handle, 3, &pending, nullptr);
        return pending == 0;
    }));
}

struct LookupCase {
    const char* name;
    uint8_t status;
    int error;
};

class LookupFailure : public Loopback, public ::testing::WithParamInterface<LookupCase> {};

TEST_P(LookupFailure, EndsTheConnect)
{
    rendezvous::RendezvousOptions options;
    if (GetParam().status != 0)
        options.refused["cam-refused"] = GetParam().status;
    startServer(options);
    auto phone = startPhone();
    EXPECT_EQ(phone->Connect("cam-refused", 0), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(Orlix, LookupFailure,
                         ::testing::Values(LookupCase{"statusTwo", 2, -4}, LookupCase{"statusFive", 5, -6},
                                           LookupCase{"unknownId", 0, -6}),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

TEST_F(Loopback, BreakAndShutdownEndAWaitingConnect)
{
    rendezvous::RendezvousOptions options;
    options.silentUnknown = true;
    startServer(options);
    auto phone = startPhone();
    auto first = std::async(std::launch::async, [&] { return phone->Connect("cam-absent", 0); });
    ASSERT_TRUE(waitUntil([&] { return phone->SessionState(0) == kSessionConnecting; }));
    EXPECT_EQ(phone->ConnectBreak("cam-absent"), 0);
    EXPECT_EQ(first.get(), -19);

    auto second = std::async(std::launch::async, [&] { return phone->Connect("cam-absent", 1); });
    ASSERT_TRUE(waitUntil([&] { return phone->SessionState(0) == kSessionConnecting; }));
    phone->Shutdown();
    EXPECT_EQ(second.get(), -19);
}

// Closing on the phone: its operations report -14; the device sees the link end (-27) and its
// housekeeping removes the session, whose handle then is unknown (-6).
TEST_F(Loopback, CloseEndsTheSessionOnBothSides)
{
    startServer();
    // The device notices the closed link within a shortened dead-connection time-out at the
    // latest; the connecting side's probes keep an open link alive well within it.
    auto device = startDevice("cam-close");
    device->SetLinkTimeout(2000);
    auto phone = startPhone();
    const int handle = phone->Connect("cam-close", 0);
    ASSERT_GE(handle, 0);
    const int deviceHandle = accept(*device);
    ASSERT_GE(deviceHandle, 0);
    EXPECT_EQ(phone->Close(handle), 0);
    char buffer[16];
    int length = sizeof(buffer);
    EXPECT_EQ(phone->Read(handle, 0, buffer, &length, 0), -14);
    EXPECT_EQ(phone->Write(handle, 0, buffer, 4), -14);
    SessionInfo info{};
    EXPECT_EQ(phone->Check(handle, &info), -14);

    EXPECT_TRUE(waitUntil([&] { return device->Check(deviceHandle, &info) == -6; }, std::chrono::milliseconds(20000)));
}

TEST_F(Loopback, DeviceGoingAwayFailsTheSessionWithMinus27)
{
    startServer();
    auto device = startDevice("cam-gone");
    auto phone = startPhone();
    const int handle = phone->Connect("cam-gone", 0);
    ASSERT_GE(handle, 0);
    // A reader waiting on the session wakes when the link ends.
    auto reader = std::async(std::launch::async, [&] {
        char buffer[16];
        int length = sizeof(buffer);
        int result = 0;
        while (result == 0 || result == -3) {
            length = sizeof(buffer);
            result = phone->Read(handle, 2, buffer, &length, 50);
        }
        return result;
    });
    device->Shutdown();
    EXPECT_EQ(reader.get(), -27);
    SessionInfo info{};
    EXPECT_EQ(phone->Check(handle, &info), -27);
}

TEST_F(Loopback, LosingTheServerEndsServerRelayedSessionsOnly)
{
    rendezvous::RendezvousOptions options;
    options.serverRelayIds = {"cam-relayed"};
    startServer(options);
    auto relayedDevice = startDevice("cam-relayed");
    auto directDevice = startDevice("cam-direct");
    auto phone = startPhone();
    const int relayed = phone->Connect("cam-relayed", 0);
    const int direct = phone->Connect("cam-direct", 0);
    ASSERT_GE(relayed, 0);
    ASSERT_GE(direct, 0);
    const int directDeviceHandle = accept(*directDevice);
    m_server->stop();
    EXPECT_TRUE(waitUntil([&] { return phone->SessionError(relayed) == -27; }, std::chrono::milliseconds(30000)));
    EXPECT_TRUE(waitUntil([&] { return phone->ServerState(0) != kServerLoggedIn; }, std::chrono::milliseconds(30000)));
    exchange(*phone, direct, *directDevice, directDeviceHandle, 1);
}

// A second initialise while sessions run keeps the peer: the session goes on working.
TEST_F(Loopback, SecondInitialiseKeepsRunningSessions)
{
    startServer();
    auto device = startDevice("cam-reinit");
    auto phone = startPhone();
    const int handle = phone->Connect("cam-reinit", 0);
    ASSERT_GE(handle, 0);
    const int deviceHandle = accept(*device);
    const auto guid = phone->OwnGuid();
    EXPECT_EQ(phone->Initialize(serverString().c_str(), nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(phone->OwnGuid(), guid);
    exchange(*phone, handle, *device, deviceHandle, 4);
}

// Shutting both sides down while other threads read, write, listen and connect: every call
// returns and nothing is freed under them (checked by the sanitizer build).
TEST_F(Loopback, ShutdownUnderConcurrentCallsIsClean)
{
    rendezvous::RendezvousOptions options;
    options.silentUnknown = true;
    startServer(options);
    auto device = startDevice("cam-busy");
    auto phone = startPhone();
    const int handle = phone->Connect("cam-busy", 0);
    ASSERT_GE(handle, 0);
    const int deviceHandle = accept(*device);
    ASSERT_GE(deviceHandle, 0);

    std::atomic<bool> stop{false};
    std::vector<std::future<int>> calls;
    calls.push_back(std::async(std::launch::async, [&] { return phone->Connect("cam-absent", 0); }));
    calls.push_back(std::async(std::launch::async, [&] { return device->Listen(nullptr, 600, nullptr); }));
    for (int i = 0; i < 2; ++i) {
        calls.push_back(std::async(std::launch::async, [&, i] {
            std::vector<char> buffer(65536);
            int result = 0;
            while (!stop.load()) {
                int length = static_cast<int>(buffer.size());
                result = phone->Read(handle, i, buffer.data(), &length, 600);
                if (result != 0 && result != -3)
                    break;
            }
            return result;
        }));
        calls.push_back(std::async(std::launch::async, [&, i] {
            std::vector<char> buffer(4096, 'w');
            int result = 0;
            while (!stop.load() && result >= 0)
                result = device->Write(deviceHandle, i, buffer.data(), static_cast<int>(buffer.size()));
            return result;
        }));
    }
    ASSERT_TRUE(waitUntil([&] { return phone->SessionCount() == 2; }));
    std::thread phoneDown([&] { phone->Shutdown(); });
    std::thread deviceDown([&] { device->Shutdown(); });
    phoneDown.join();
    deviceDown.join();
    stop = true;
    EXPECT_EQ(calls[0].get(), -19);
    for (std::size_t i = 1; i < calls.size(); ++i)
        calls[i].get();
}

} // namespace
