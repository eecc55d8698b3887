// Hostile datagrams at the rendezvous server's two ports and at a device while a phone connects,
// closes and connects again: random bytes, mutated handshake messages, and handshakes that take
// a slot and then send something other than the connection request. Every connect must still
// succeed, and the device must stay registered. The connect times with and without the flood
// are printed.
#include "P2PClient.h"
#include "QuickClientTimings.h"
#include "P2PPeer.h"
#include "PeerUtils.h"
#include "ReliabilityLayer.h"
#include "RendezvousServer.h"
#include "UdpSocket.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace P2PNet;

constexpr int kCycleDeadlineMs = 20000;

using lumora::test::waitUntil;

// Sends hostile datagrams at a set of loopback ports from a few sockets of its own until stopped.
// Owns its thread; the pacing pause is flow control, not synchronisation.
class Flooder {
public:
    explicit Flooder(std::vector<uint16_t> ports) : m_ports(std::move(ports)) {}
    ~Flooder() { stop(); }

    void start()
    {
        m_thread = std::thread([this] { run(); });
    }
    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    uint64_t sent() const { return m_sent.load(); }

private:
    struct Socket {
        platform::UdpSocket udp;
        uint16_t port = 0;
    };

    void send(Socket& from, uint16_t port, const uint8_t* data, std::size_t length)
    {
        if (from.udp.sendTo(data, length, platform::NetAddress::ipv4Loopback(port)) > 0)
            m_sent.fetch_add(1);
    }

    static std::vector<uint8_t> openRequest(uint64_t guid)
    {
        BitStream out;
        out.WriteU8(ID_OPEN_REQUEST);
        out.WriteBytesAligned(kOfflineMarker, 8);
        uint8_t token[8];
        ComputeHandshakeToken(guid, token);
        out.WriteBytes(token, 8);
        out.WriteU8(kPeerProtocolVersion);
        out.WriteU64(guid);
        out.PadToByteLength(540);
        return std::vector<uint8_t>(out.GetData(), out.GetData() + out.GetNumberOfBytesUsed());
    }

    static std::vector<uint8_t> openConfirm(uint64_t guid, uint16_t port)
    {
        BitStream out;
        out.WriteU8(ID_OPEN_CONFIRM);
        out.WriteBytesAligned(kOfflineMarker, 16);
        SystemAddress::FromIPv4(127, 0, 0, 1, port).Serialize(out);
        out.WriteU16(1200);
        out.WriteU64(guid);
        return std::vector<uint8_t>(out.GetData(), out.GetData() + out.GetNumberOfBytesUsed());
    }

    void run()
    {
        std::vector<std::unique_ptr<Socket>> sockets;
        for (int i = 0; i < 8; ++i) {
            auto socket = std::make_unique<Socket>();
            if (socket->udp.open(platform::AddressFamily::IPv4) != platform::NetError::None ||
                socket->udp.bind(platform::NetAddress::ipv4Loopback(0)) != platform::NetError::None)
                continue;
            socket->udp.setNonBlocking(true);
            platform::NetAddress local;
            socket->udp.localAddress(local);
            socket->port = local.port;
            sockets.push_back(std::move(socket));
        }
        if (sockets.empty())
            return;
        std::mt19937 random(20261210);
        std::vector<uint8_t> junk(1472);
        uint8_t drain[1500];
        for (uint64_t round = 0; !m_stop.load(); ++round) {
            Socket& from = *sockets[round % sockets.size()];
            const uint16_t port = m_ports[random() % m_ports.size()];
            const uint64_t guid = (static_cast<uint64_t>(random()) << 32) | random();
            switch (random() % 5) {
            case 0: { // random bytes
                const std::size_t length = 1 + random() % junk.size();
                for (std::size_t i = 0; i < length; ++i)
                    junk[i] = static_cast<uint8_t>(random());
                send(from, port, junk.data(), length);
                break;
            }
            case 1: { // a mutated open request
                std::vector<uint8_t> request = openRequest(guid);
                for (int flips = 1 + static_cast<int>(random() % 3); flips > 0; --flips)
                    request[random() % request.size()] ^= static_cast<uint8_t>(1 + random() % 255);
                send(from, port, request.data(), request.size());
                break;
            }
            case 2: { // a confirmation without a request
                const std::vector<uint8_t> confirm = openConfirm(guid, port);
                send(from, port, confirm.data(), confirm.size());
                break;
            }
            case 3: { // a whole handshake, then user data instead of the connection request
                const std::vector<uint8_t> request = openRequest(guid);
                send(from, port, request.data(), request.size());
                const std::vector<uint8_t> confirm = openConfirm(guid, port);
                send(from, port, confirm.data(), confirm.size());
                ReliabilityLayer layer(1200 - 28, NowMicros());
                const SystemAddress target = SystemAddress::FromIPv4(127, 0, 0, 1, port);
                DatagramSender sender = [&](const uint8_t* data, uint32_t length) { send(from, port, data, length); };
                const uint8_t user[3] = {0x88, 1, 2};
                layer.Send(user, 24, SendPriority::Immediate, ReliabilityKind::Reliable, 0, NowMicros());
                layer.Update(target, sender, NowMicros(), 0, {});
                break;
            }
            default: { // something that looks like a reliability datagram
                const std::size_t length = 4 + random() % 60;
                for (std::size_t i = 0; i < length; ++i)
                    junk[i] = static_cast<uint8_t>(random());
                junk[0] |= 0x80;
                send(from, port, junk.data(), length);
                break;
            }
            }
            // Answers are read and thrown away, so the sockets' buffers never fill.
            platform::NetAddress source;
            while (from.udp.receiveFrom(drain, sizeof drain, source) > 0) {
            }
            if (round % 16 == 15)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    std::vector<uint16_t> m_ports;
    std::atomic<bool> m_stop{false};
    std::atomic<uint64_t> m_sent{0};
    std::thread m_thread;
};

class Flood : public ::testing::Test {
protected:
    void SetUp() override
    {
        rendezvous::RendezvousOptions options;
        options.silentUnknown = true;
        options.punchDelayMs = lumora::test::kQuickPunchDelayMs;
        m_server = std::make_unique<rendezvous::RendezvousServer>(std::move(options));
        std::string error;
        ASSERT_TRUE(m_server->start(&error)) << error;
        m_device = std::make_unique<P2PClient>();
        m_device->SetLoginInfo("cam-flood", "secret", P2PClient::kModeDevice);
        ASSERT_EQ(m_device->Initialize(m_server->serverString().c_str(), nullptr, nullptr, nullptr), 0);
        ASSERT_TRUE(m_server->waitRegistered("cam-flood", 15000));
        m_phone = std::make_unique<P2PClient>();
        m_phone->SetLoginInfo("phone", "secret", P2PClient::kModeConnecting);
        ASSERT_EQ(m_phone->Initialize(m_server->serverString().c_str(), nullptr, nullptr, nullptr), 0);
        ASSERT_TRUE(waitUntil([&] { return m_phone->ServerState(0) == kServerLoggedIn; }));
    }

    void TearDown() override
    {
        if (m_phone)
            m_phone->Shutdown();
        if (m_device)
            m_device->Shutdown();
        if (m_server)
            m_server->stop();
    }

    // One connect, a message each way and a close; the connect's milliseconds, or -1.
    long cycle()
    {
        const auto started = std::chrono::steady_clock::now();
        auto connect = std::async(std::launch::async, [&] { return m_phone->Connect("cam-flood", 0); });
        if (connect.wait_for(std::chrono::milliseconds(kCycleDeadlineMs)) != std::future_status::ready) {
            m_phone->ConnectBreak("cam-flood");
            connect.get();
            return -1;
        }
        const int handle = connect.get();
        const long ms = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count());
        if (handle < 0)
            return -1;
        int deviceHandle = -1;
        waitUntil([&] {
            deviceHandle = m_device->Listen(nullptr, 1, nullptr);
            return deviceHandle >= 0;
        });
        bool carried = deviceHandle >= 0 && m_phone->Write(handle, 0, "ping", 4) == 4;
        std::string got;
        while (carried && got.size() < 4) {
            char buffer[8];
            int length = static_cast<int>(4 - got.size());
            const int result = m_device->Read(deviceHandle, 0, buffer, &length, 100);
            if (result == -3)
                continue;
            carried = result == 0;
            got.append(buffer, static_cast<std::size_t>(std::max(0, length)));
        }
        m_phone->Close(handle);
        SessionInfo info{};
        waitUntil([&] { return m_device->Check(deviceHandle, &info) != 0; });
        return carried && got == "ping" ? ms : -1;
    }

    static std::string summary(std::vector<long> times)
    {
        std::sort(times.begin(), times.end());
        return "median " + std::to_string(times[times.size() / 2]) + " ms, max " + std::to_string(times.back()) +
               " ms";
    }

    std::unique_ptr<rendezvous::RendezvousServer> m_server;
    std::unique_ptr<P2PClient> m_device;
    std::unique_ptr<P2PClient> m_phone;
};

TEST_F(Flood, ConnectsGoOnWhileHostileDatagramsArrive)
{
    constexpr int kCycles = 6;
    std::vector<long> quiet;
    for (int i = 0; i < kCycles; ++i) {
        const long ms = cycle();
        ASSERT_GE(ms, 0) << "quiet cycle " << i;
        quiet.push_back(ms);
    }

    Flooder flooder({m_server->port(), static_cast<uint16_t>(m_server->port() + 1), m_device->BoundAddress().GetPort()});
    flooder.start();
    std::vector<long> flooded;
    for (int i = 0; i < kCycles; ++i) {
        const long ms = cycle();
        EXPECT_GE(ms, 0) << "cycle " << i << " under the flood";
        if (ms >= 0)
            flooded.push_back(ms);
    }
    flooder.stop();
    EXPECT_TRUE(m_server->isRegistered("cam-flood"));
    EXPECT_EQ(m_phone->ServerState(0), kServerLoggedIn);
    ASSERT_FALSE(flooded.empty());
    std::printf("connect without flood: %s; under a flood of %llu datagrams: %s\n", summary(quiet).c_str(),
                static_cast<unsigned long long>(flooder.sent()), summary(flooded).c_str());
}

} // namespace
