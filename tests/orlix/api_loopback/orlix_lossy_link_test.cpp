// Sessions through the Orlix_* exports over a bad link: the rendezvous server puts a forwarder of
// the test's between the caller (libTovel) and the device (this program's P2PClient), which loses
// a share of the datagrams each way and lets others overtake. On the punched path and on the
// relayed path, every one of the 16 channels carries framed, CRC-checked records both ways at
// once; each side must get every record of every channel intact, in order, exactly once, and the
// session must stay up.
#include "LossyLink.h"
#include "Orlix.h"
#include "P2PClient.h"
#include "QuickClientTimings.h"
#include "RendezvousServer.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using lumora::test::LinkFaults;
using lumora::test::LossyLink;
using lumora::test::waitUntil;

constexpr int kChannels = 16;
constexpr uint32_t kRecordsPerChannel = 48;
constexpr std::size_t kMaxPayload = 3000; // many records span more than one datagram
// Ends only a broken run: the exchange takes seconds, more under a sanitizer on a loaded machine.
constexpr auto kExchangeLimit = std::chrono::seconds(180);

uint32_t crc32(const uint8_t* data, std::size_t length, uint32_t crc = 0)
{
    crc = ~crc;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void putU32(std::vector<uint8_t>& out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

uint32_t getU32(const uint8_t* in)
{
    return (uint32_t{in[0]} << 24) | (uint32_t{in[1]} << 16) | (uint32_t{in[2]} << 8) | in[3];
}

// A record: [u32 channel << 24 | sequence][u32 payload length][payload][u32 CRC of all before it].
std::vector<uint8_t> makeRecord(int channel, uint32_t sequence, std::mt19937& random)
{
    const std::size_t length = 1 + random() % kMaxPayload;
    std::vector<uint8_t> record;
    putU32(record, (static_cast<uint32_t>(channel) << 24) | sequence);
    putU32(record, static_cast<uint32_t>(length));
    for (std::size_t i = 0; i < length; ++i)
        record.push_back(static_cast<uint8_t>(random()));
    putU32(record, crc32(record.data(), record.size()));
    return record;
}

// Reads one side's 16 channels until each has given every record, checking each as it completes.
// The channel data is a byte stream: records are cut out of what the reads join or split.
struct ChannelCheck {
    std::vector<uint8_t> pending;
    uint32_t next = 0;
    std::string fault;
};

using ReadFn = std::function<int(int channel, char* buffer, int* length)>;

std::string readAll(const ReadFn& read)
{
    std::array<ChannelCheck, kChannels> channels;
    std::vector<char> buffer(16384);
    const auto deadline = std::chrono::steady_clock::now() + kExchangeLimit;
    auto finished = [&] {
        for (const ChannelCheck& check : channels)
            if (check.next < kRecordsPerChannel && check.fault.empty())
                return false;
        return true;
    };
    while (!finished()) {
        if (std::chrono::steady_clock::now() > deadline)
            break;
        bool any = false;
        for (int channel = 0; channel < kChannels; ++channel) {
            ChannelCheck& check = channels[static_cast<std::size_t>(channel)];
            int length = static_cast<int>(buffer.size());
            const int result = read(channel, buffer.data(), &length);
            if (result == -3 || (result == 0 && length == 0))
                continue;
            if (result != 0)
                return "channel " + std::to_string(channel) + ": read gave " + std::to_string(result);
            any = true;
            check.pending.insert(check.pending.end(), buffer.begin(), buffer.begin() + length);
            std::size_t used = 0;
            while (check.fault.empty() && check.pending.size() - used >= 8) {
                const uint8_t* at = check.pending.data() + used;
                const uint32_t tag = getU32(at);
                const uint32_t payload = getU32(at + 4);
                if (payload == 0 || payload > kMaxPayload) {
                    check.fault = "bad length " + std::to_string(payload) + " at record " + std::to_string(check.next);
                    break;
                }
                const std::size_t whole = 8 + payload + 4;
                if (check.pending.size() - used < whole)
                    break;
                if (crc32(at, whole - 4) != getU32(at + whole - 4))
                    check.fault = "CRC mismatch at record " + std::to_string(check.next);
                else if (tag != ((static_cast<uint32_t>(channel) << 24) | check.next))
                    check.fault = "record " + std::to_string(tag & 0xFFFFFF) + " of channel " +
                                  std::to_string(tag >> 24) + " where record " + std::to_string(check.next) +
                                  " was due";
                else if (++check.next > kRecordsPerChannel)
                    check.fault = "more records than were sent";
                used += whole;
            }
            check.pending.erase(check.pending.begin(), check.pending.begin() + static_cast<std::ptrdiff_t>(used));
        }
        // Nothing waiting on any channel: give the link a moment (pacing, not synchronisation).
        if (!any)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::string report;
    for (int channel = 0; channel < kChannels; ++channel) {
        const ChannelCheck& check = channels[static_cast<std::size_t>(channel)];
        if (!check.fault.empty())
            report += "channel " + std::to_string(channel) + ": " + check.fault + "; ";
        else if (check.next != kRecordsPerChannel || !check.pending.empty())
            report += "channel " + std::to_string(channel) + ": " + std::to_string(check.next) + " of " +
                      std::to_string(kRecordsPerChannel) + " records, " + std::to_string(check.pending.size()) +
                      " bytes left over; ";
    }
    return report;
}

using WriteFn = std::function<int(int channel, const char* data, int length)>;

// Writes every channel's records, interleaved over the channels, each record in one write.
std::string writeAll(const WriteFn& write, uint32_t seed)
{
    std::mt19937 random(seed);
    for (uint32_t sequence = 0; sequence < kRecordsPerChannel; ++sequence)
        for (int channel = 0; channel < kChannels; ++channel) {
            const std::vector<uint8_t> record = makeRecord(channel, sequence, random);
            const int length = static_cast<int>(record.size());
            const int written = write(channel, reinterpret_cast<const char*>(record.data()), length);
            if (written != length)
                return "write of record " + std::to_string(sequence) + " on channel " + std::to_string(channel) +
                       " gave " + std::to_string(written);
        }
    return {};
}

struct LossyPath {
    const char* name;
    uint8_t natType;    // claimed for both sides: 1 punches, 4 asks for a relay
    int connectionType; // byte 81 of the check record
};

class OrlixLossyLink : public ::testing::TestWithParam<LossyPath> {
protected:
    void TearDown() override
    {
        Orlix_DeInitialize();
        if (m_device)
            m_device->Shutdown();
        if (m_server)
            m_server->stop();
        std::lock_guard<std::mutex> lock(m_linksMutex);
        m_links.clear();
    }

    // The server's question: the bad link between the two peers, made on first use.
    uint16_t interpose(const P2PNet::SystemAddress& caller, const P2PNet::SystemAddress& target)
    {
        std::lock_guard<std::mutex> lock(m_linksMutex);
        for (const auto& link : m_links)
            if (link->joins(caller.GetPort(), target.GetPort()))
                return link->port();
        LinkFaults faults;
        faults.loss = 0.02;
        faults.holdBack = 0.05;
        faults.holdMaxMs = 8;
        faults.seed = 20261211 + static_cast<uint32_t>(m_links.size());
        auto link = std::make_unique<LossyLink>(caller.GetPort(), target.GetPort(), faults);
        if (!link->start())
            return 0;
        m_links.push_back(std::move(link));
        return m_links.back()->port();
    }

    std::unique_ptr<rendezvous::RendezvousServer> m_server;
    std::unique_ptr<P2PClient> m_device;
    std::mutex m_linksMutex;
    std::vector<std::unique_ptr<LossyLink>> m_links;
};

TEST_P(OrlixLossyLink, SixteenChannelsCarryCheckedRecordsBothWays)
{
    const LossyPath& path = GetParam();
    rendezvous::RendezvousOptions options;
    options.natType = path.natType;
    options.interpose = [this](const P2PNet::SystemAddress& caller, const P2PNet::SystemAddress& target) {
        return interpose(caller, target);
    };
    m_server = std::make_unique<rendezvous::RendezvousServer>(std::move(options));
    std::string error;
    ASSERT_TRUE(m_server->start(&error)) << error;
    m_device = std::make_unique<P2PClient>();
    m_device->SetTimings(lumora::test::quickClientTimings());
    m_device->SetLoginInfo("cam-lossy", "secret", P2PClient::kModeDevice);
    ASSERT_EQ(m_device->Initialize(m_server->serverString().c_str(), nullptr, nullptr, nullptr), 0);
    ASSERT_TRUE(m_server->waitRegistered("cam-lossy", 15000));
    ASSERT_EQ(Orlix_Initialize_IPv6(m_server->serverString().c_str(), nullptr, nullptr, nullptr), 0);

    const int handle = Orlix_Connect("cam-lossy", 0, 0);
    ASSERT_GE(handle, 0);
    unsigned char record[84] = {};
    ASSERT_EQ(Orlix_Check(handle, reinterpret_cast<Orlix_SessionInfo*>(record)), 0);
    EXPECT_EQ(record[81], path.connectionType);
    int deviceHandle = -3;
    ASSERT_TRUE(waitUntil([&] {
        deviceHandle = m_device->Listen(nullptr, 1, nullptr);
        return deviceHandle >= 0;
    }));
    {
        std::lock_guard<std::mutex> lock(m_linksMutex);
        ASSERT_EQ(m_links.size(), 1u) << "the session did not go through the test's link";
    }

    const ReadFn phoneRead = [&](int channel, char* buffer, int* length) {
        return Orlix_Read(handle, channel, buffer, length, 0);
    };
    const ReadFn deviceRead = [&](int channel, char* buffer, int* length) {
        return m_device->Read(deviceHandle, channel, buffer, length, 0);
    };
    auto phoneGot = std::async(std::launch::async, [&] { return readAll(phoneRead); });
    auto deviceGot = std::async(std::launch::async, [&] { return readAll(deviceRead); });
    auto phoneWrote = std::async(std::launch::async, [&] {
        return writeAll([&](int channel, const char* data, int length) { return Orlix_Write(handle, channel, data, length); },
                        1);
    });
    const std::string deviceWrote = writeAll(
        [&](int channel, const char* data, int length) { return m_device->Write(deviceHandle, channel, data, length); },
        2);

    EXPECT_EQ(phoneWrote.get(), "");
    EXPECT_EQ(deviceWrote, "");
    EXPECT_EQ(deviceGot.get(), "") << "caller to device";
    EXPECT_EQ(phoneGot.get(), "") << "device to caller";
    EXPECT_EQ(Orlix_Check(handle, reinterpret_cast<Orlix_SessionInfo*>(record)), 0) << "the session ended";
    EXPECT_EQ(m_device->Check(deviceHandle, nullptr), 0);

    std::lock_guard<std::mutex> lock(m_linksMutex);
    const LossyLink& link = *m_links.front();
    EXPECT_GT(link.lost(), 0u) << "nothing was lost: the test did not test loss";
    EXPECT_GT(link.heldBack(), 0u) << "nothing was overtaken: the test did not test reordering";
    std::printf("%s: %llu datagrams passed, %llu lost, %llu held back\n", path.name,
                static_cast<unsigned long long>(link.forwarded()), static_cast<unsigned long long>(link.lost()),
                static_cast<unsigned long long>(link.heldBack()));
}

INSTANTIATE_TEST_SUITE_P(Orlix, OrlixLossyLink,
                         ::testing::Values(LossyPath{"punched", 1, 2}, LossyPath{"relayed", 4, 3}),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

} // namespace
