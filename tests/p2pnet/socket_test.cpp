#include "BsdSocket.h"
#include "PlatformSocket.h"
#include "PlatformThread.h"
#include "SocketEventHandler.h"
#include "SocketLibrary.h"
#include "SystemAddress.h"
#include "UdpSocket.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using namespace P2PNet;

namespace {

constexpr auto kDeadline = std::chrono::seconds(5);

// Records what a socket's receive thread hands over. Any thread may wait for it.
class RecordingHandler : public SocketEventHandler {
public:
    struct Datagram {
        std::string data;
        SystemAddress source;
        uint64_t arrivalMicros;
        P2PNetSocket2* socket;
    };

    void OnDatagram(RecvBuffer* buffer) override
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_datagrams.push_back({std::string(buffer->data, static_cast<std::size_t>(buffer->byteCount)),
                                   buffer->source, buffer->arrivalMicros, buffer->socket});
        }
        m_changed.notify_all();
        delete buffer;
    }

    void ReturnBuffer(RecvBuffer* buffer) override
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_returned;
        }
        m_changed.notify_all();
        delete buffer;
    }

    RecvBuffer* TakeBuffer() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // Every third request finds the pool dry when asked to.
        if (m_dryEveryThird && (++m_takes % 3) != 0)
            return nullptr;
        return new RecvBuffer;
    }

    // Waits until at least count datagrams arrived; false at the deadline.
    bool waitForDatagrams(std::size_t count)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, kDeadline, [&] { return m_datagrams.size() >= count; });
    }

    bool waitForReturned(int count)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, kDeadline, [&] { return m_returned >= count; });
    }

    std::vector<Datagram> datagrams()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_datagrams;
    }

    void setDryEveryThird() { m_dryEveryThird = true; }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Datagram> m_datagrams;
    int m_returned = 0;
    int m_takes = 0;
    bool m_dryEveryThird = false;
};

BindRequest requestFor(SocketEventHandler& handler, uint16_t family, const char* host = "", uint16_t port = 0)
{
    BindRequest request;
    request.port = port;
    request.hostAddress = host;
    request.addressFamily = family;
    request.eventHandler = &handler;
    return request;
}

bool isSelfTest(const RecordingHandler::Datagram& d)
{
    return d.data == std::string(4, '\0');
}

// A socket bound and receiving, with its handler; the self-test datagram is consumed.
struct Endpoint {
    RecordingHandler handler;
    std::unique_ptr<PlatformSocket> socket = CreatePlatformSocket();

    void open(uint16_t family, const char* host = "")
    {
        ASSERT_EQ(socket->Bind(requestFor(handler, family, host)), static_cast<int>(BindResult::Bound));
        ASSERT_TRUE(socket->StartReceiving());
        ASSERT_TRUE(handler.waitForDatagrams(1));
        ASSERT_TRUE(isSelfTest(handler.datagrams()[0]));
    }

    int send(const std::string& data, const SystemAddress& target, int ttl = 0)
    {
        DatagramOut out;
        out.data = data.data();
        out.length = static_cast<int32_t>(data.size());
        out.target = target;
        out.ttl = ttl;
        return socket->SendDatagram(out);
    }
};

} // namespace

// --- Binding ----------------------------------------------------------------------------------

struct BindCase {
    const char* name;
    uint16_t family;
    const char* host;
    int expectedVersion;  // 0: either
};

class PlatformSocketBind : public ::testing::TestWithParam<BindCase> {};

TEST_P(PlatformSocketBind, BoundAddressIsReachableLoopbackWithTheChosenPort)
{
    const BindCase& c = GetParam();
    RecordingHandler handler;
    auto socket = CreatePlatformSocket();
    ASSERT_EQ(socket->Bind(requestFor(handler, c.family, c.host)), static_cast<int>(BindResult::Bound));
    const SystemAddress bound = socket->GetBoundAddress();
    EXPECT_TRUE(bound.IsLoopback()) << bound.ToString();
    EXPECT_NE(bound.GetPort(), 0);
    if (c.expectedVersion != 0) {
        EXPECT_EQ(bound.GetIPVersion(), c.expectedVersion);
    }
    EXPECT_TRUE(socket->IsBound());
    EXPECT_EQ(socket->GetBindRequest().addressFamily, c.family);

    // The self-test datagram sent by Bind comes from and to the socket itself.
    ASSERT_TRUE(socket->StartReceiving());
    ASSERT_TRUE(handler.waitForDatagrams(1));
    const auto first = handler.datagrams()[0];
    EXPECT_TRUE(isSelfTest(first));
    EXPECT_EQ(first.socket, socket.get());
    EXPECT_EQ(first.source.GetPort(), bound.GetPort());
    EXPECT_EQ(first.source.IsLoopback(), true) << first.source.ToString();
}

INSTANTIATE_TEST_SUITE_P(Families, PlatformSocketBind,
                         ::testing::Values(BindCase{"v4_any", kWireFamilyIPv4, "", 4},
                                           BindCase{"v4_unassigned_text", kWireFamilyIPv4, "unassigned_system_address", 4},
                                           BindCase{"v4_loopback", kWireFamilyIPv4, "127.0.0.1", 4},
                                           BindCase{"v6_any", kWireFamilyIPv6, "", 6},
                                           BindCase{"v6_loopback", kWireFamilyIPv6, "::1", 6},
                                           BindCase{"either", 0, "", 0}),
                         [](const ::testing::TestParamInfo<BindCase>& paramInfo) { return std::string(paramInfo.param.name); });

TEST(PlatformSocketBindFailures, TakenPortAndBadRequestsAreReported)
{
    Endpoint first;
    ASSERT_NO_FATAL_FAILURE(first.open(kWireFamilyIPv4, "127.0.0.1"));
    RecordingHandler handler;

    auto taken = CreatePlatformSocket();
    EXPECT_EQ(taken->Bind(requestFor(handler, kWireFamilyIPv4, "127.0.0.1", first.socket->GetBoundAddress().GetPort())),
              static_cast<int>(BindResult::NoAddress));
    EXPECT_TRUE(taken->GetBoundAddress().IsUnassigned());
    EXPECT_FALSE(taken->StartReceiving());

    BindRequest stream = requestFor(handler, kWireFamilyIPv4);
    stream.socketType = 1;
    EXPECT_EQ(CreatePlatformSocket()->Bind(stream), static_cast<int>(BindResult::BadRequest));

    BindRequest noHandler = requestFor(handler, kWireFamilyIPv4);
    noHandler.eventHandler = nullptr;
    EXPECT_EQ(CreatePlatformSocket()->Bind(noHandler), static_cast<int>(BindResult::BadRequest));

    EXPECT_EQ(CreatePlatformSocket()->Bind(requestFor(handler, 99)), static_cast<int>(BindResult::NoAddress));
    EXPECT_EQ(CreatePlatformSocket()->Bind(requestFor(handler, kWireFamilyIPv4, "cannot.resolve")),
              static_cast<int>(BindResult::NoAddress));
}

// --- Sending and receiving --------------------------------------------------------------------

TEST(PlatformSocketTraffic, DualStackSocketTalksToIPv4Sockets)
{
    Endpoint v4;
    Endpoint dual;
    ASSERT_NO_FATAL_FAILURE(v4.open(kWireFamilyIPv4, "127.0.0.1"));
    ASSERT_NO_FATAL_FAILURE(dual.open(kWireFamilyIPv6));
    const uint16_t v4Port = v4.socket->GetBoundAddress().GetPort();
    const uint16_t dualPort = dual.socket->GetBoundAddress().GetPort();

    // IPv4 sender to the dual-stack socket: the source is reported in IPv4-mapped form.
    ASSERT_EQ(v4.send("to-dual", SystemAddress::FromIPv4(127, 0, 0, 1, dualPort)), 7);
    ASSERT_TRUE(dual.handler.waitForDatagrams(2));
    const auto atDual = dual.handler.datagrams()[1];
    EXPECT_EQ(atDual.data, "to-dual");
    EXPECT_TRUE(atDual.source.IsIPv6());
    EXPECT_EQ(atDual.source.ToString(), "::ffff:127.0.0.1|" + std::to_string(v4Port));
    EXPECT_EQ(atDual.source.systemIndex, SystemAddress::kUnknownIndex);

    // The dual-stack socket sends to a plain IPv4 target.
    ASSERT_EQ(dual.send("to-v4", SystemAddress::FromIPv4(127, 0, 0, 1, v4Port)), 5);
    ASSERT_TRUE(v4.handler.waitForDatagrams(2));
    const auto atV4 = v4.handler.datagrams()[1];
    EXPECT_EQ(atV4.data, "to-v4");
    EXPECT_EQ(atV4.source, SystemAddress::FromIPv4(127, 0, 0, 1, dualPort));

    // An IPv4 socket given the mapped form of an IPv4 target sends to the IPv4 address.
    SystemAddress mapped;
    ASSERT_TRUE(mapped.ParseWithPort("::ffff:127.0.0.1", dualPort, true, 6));
    ASSERT_EQ(v4.send("mapped", mapped), 6);
    ASSERT_TRUE(dual.handler.waitForDatagrams(3));
    EXPECT_EQ(dual.handler.datagrams()[2].data, "mapped");
}

TEST(PlatformSocketTraffic, DatagramTtlAppliesToThatDatagramOnly)
{
    for (uint16_t family : {kWireFamilyIPv4, kWireFamilyIPv6}) {
        Endpoint sender;
        ASSERT_NO_FATAL_FAILURE(sender.open(family, family == kWireFamilyIPv4 ? "127.0.0.1" : "::1"));
        platform::UdpSocket receiver;
        const platform::AddressFamily receiverFamily =
            family == kWireFamilyIPv4 ? platform::AddressFamily::IPv4 : platform::AddressFamily::IPv6;
        ASSERT_EQ(receiver.openAndBind(family == kWireFamilyIPv4 ? "127.0.0.1" : "::1", 0, receiverFamily),
                  platform::NetError::None);
        ASSERT_EQ(receiver.setReceiveTtl(true), platform::NetError::None);
        platform::NetAddress receiverAddress;
        ASSERT_EQ(receiver.localAddress(receiverAddress), platform::NetError::None);
        const SystemAddress target = FromNetAddress(receiverAddress);

        ASSERT_EQ(sender.send("ttl2", target, 2), 4);
        ASSERT_EQ(sender.send("default", target), 7);
        char buffer[64];
        platform::NetAddress source;
        platform::ReceiveInfo info;
        ASSERT_EQ(receiver.receiveFrom(buffer, sizeof buffer, source, &info), 4);
        EXPECT_EQ(info.ttl, 2);
        ASSERT_EQ(receiver.receiveFrom(buffer, sizeof buffer, source, &info), 7);
        EXPECT_GT(info.ttl, 2) << "the socket's TTL is left as it was";
    }
}

TEST(PlatformSocketTraffic, EmptyAndOversizedDatagramsAreGivenBack)
{
    Endpoint receiver;
    Endpoint sender;
    ASSERT_NO_FATAL_FAILURE(receiver.open(kWireFamilyIPv4, "127.0.0.1"));
    ASSERT_NO_FATAL_FAILURE(sender.open(kWireFamilyIPv4, "127.0.0.1"));
    const SystemAddress target = receiver.socket->GetBoundAddress();

    // An empty datagram is sent once (reported as 0 bytes) and never handed on as data.
    EXPECT_EQ(sender.send(std::string(), target), 0);
    // Longer than a receive buffer: dropped, never handed on cut short.
    EXPECT_EQ(sender.send(std::string(RecvBuffer::kMaxDatagram + 1, 'L'), target), RecvBuffer::kMaxDatagram + 1);
    ASSERT_TRUE(receiver.handler.waitForReturned(2));
    const std::string full(RecvBuffer::kMaxDatagram, 'F');
    EXPECT_EQ(sender.send(full, target), RecvBuffer::kMaxDatagram);
    ASSERT_TRUE(receiver.handler.waitForDatagrams(2));
    const auto datagrams = receiver.handler.datagrams();
    ASSERT_EQ(datagrams.size(), 2u);
    EXPECT_EQ(datagrams[1].data, full);
}

TEST(PlatformSocketTraffic, DryBufferPoolDelaysButLosesNothing)
{
    Endpoint receiver;
    receiver.handler.setDryEveryThird();
    ASSERT_NO_FATAL_FAILURE(receiver.open(kWireFamilyIPv6, "::1"));
    Endpoint sender;
    ASSERT_NO_FATAL_FAILURE(sender.open(kWireFamilyIPv6, "::1"));
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(sender.send("n" + std::to_string(i), receiver.socket->GetBoundAddress()), i < 10 ? 2 : 3);
    ASSERT_TRUE(receiver.handler.waitForDatagrams(21));
    const auto datagrams = receiver.handler.datagrams();
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(datagrams[static_cast<std::size_t>(i + 1)].data, "n" + std::to_string(i));
    const uint64_t now = platform::monotonicMicros();
    EXPECT_LE(datagrams.back().arrivalMicros, now);
    EXPECT_GE(datagrams.back().arrivalMicros, datagrams[1].arrivalMicros);
}

namespace {
class CountingHook : public DatagramHook {
public:
    explicit CountingHook(int result) : m_result(result) {}
    int OnSendDatagram(const char*, int length, const SystemAddress& target) override
    {
        ++calls;
        lastLength = length;
        lastTarget = target;
        return m_result;
    }
    int calls = 0;
    int lastLength = -1;
    SystemAddress lastTarget;

private:
    int m_result;
};
} // namespace

TEST(PlatformSocketTraffic, DatagramHookTakesOrPassesEachSend)
{
    Endpoint receiver;
    Endpoint sender;
    ASSERT_NO_FATAL_FAILURE(receiver.open(kWireFamilyIPv4, "127.0.0.1"));
    ASSERT_NO_FATAL_FAILURE(sender.open(kWireFamilyIPv6));
    const SystemAddress target = receiver.socket->GetBoundAddress();

    CountingHook taking(11);
    sender.socket->SetDatagramHook(&taking);
    EXPECT_EQ(sender.send("taken", target), 11);
    EXPECT_EQ(taking.calls, 1);
    EXPECT_EQ(taking.lastLength, 5);
    // The hook sees the target fitted to the dual-stack socket.
    EXPECT_TRUE(taking.lastTarget.IsIPv6());
    EXPECT_EQ(taking.lastTarget.ToString(), "::ffff:127.0.0.1|" + std::to_string(target.GetPort()));

    CountingHook passing(-1);
    sender.socket->SetDatagramHook(&passing);
    EXPECT_EQ(sender.send("passed", target), 6);
    EXPECT_EQ(passing.calls, 1);
    ASSERT_TRUE(receiver.handler.waitForDatagrams(2));
    EXPECT_EQ(receiver.handler.datagrams()[1].data, "passed");
    EXPECT_EQ(receiver.handler.datagrams().size(), 2u) << "the taken datagram never reached the network";
    sender.socket->SetDatagramHook(nullptr);
}

TEST(PlatformSocketTraffic, TargetsOutsideLoopbackAreDroppedByTheGuard)
{
    platform::forceLoopbackOnly();
    Endpoint sender;
    ASSERT_NO_FATAL_FAILURE(sender.open(kWireFamilyIPv4));
    const uint64_t before = platform::droppedNonLoopbackDatagrams();
    EXPECT_EQ(sender.send("away", SystemAddress::FromIPv4(192, 0, 2, 1, 19886)), 4);
    EXPECT_EQ(platform::droppedNonLoopbackDatagrams(), before + 1);
}

TEST(PlatformSocketTraffic, BadDatagramArgumentsFailWithoutSending)
{
    Endpoint sender;
    ASSERT_NO_FATAL_FAILURE(sender.open(kWireFamilyIPv4, "127.0.0.1"));
    DatagramOut out;
    out.target = sender.socket->GetBoundAddress();
    out.length = 10;  // no data
    EXPECT_LT(sender.socket->SendDatagram(out), 0);
    out.data = "x";
    out.length = -1;
    EXPECT_LT(sender.socket->SendDatagram(out), 0);
    EXPECT_LT(CreatePlatformSocket()->SendDatagram(DatagramOut{}), 0) << "an unbound socket sends nothing";
}

// --- Stopping ---------------------------------------------------------------------------------

TEST(PlatformSocketStop, StopWakesTheBlockedReceiveThreadAndJoinsIt)
{
    for (uint16_t family : {kWireFamilyIPv4, kWireFamilyIPv6}) {
        Endpoint endpoint;
        ASSERT_NO_FATAL_FAILURE(endpoint.open(family));
        EXPECT_TRUE(endpoint.socket->IsReceiving());
        // The receive thread is blocked in the system now (nothing else will arrive).
        endpoint.socket->StopReceiving();
        EXPECT_EQ(endpoint.socket->GetReceiveThreadCount(), 0);
        EXPECT_FALSE(endpoint.socket->IsReceiving());
        EXPECT_FALSE(endpoint.socket->StartReceiving()) << "a stopped socket stays stopped";
        endpoint.socket->StopReceiving();  // again: nothing to do
        // Sending still works after the stop.
        EXPECT_EQ(endpoint.send("after", endpoint.socket->GetBoundAddress()), 5);
    }
}

TEST(PlatformSocketStop, DeletingARunningSocketStopsItsThreadFirst)
{
    // Deleting while datagrams keep arriving: the destructor must stop and join the receive
    // thread before the socket goes (the sanitizer build catches any later touch).
    RecordingHandler handler;
    Endpoint sender;
    ASSERT_NO_FATAL_FAILURE(sender.open(kWireFamilyIPv4, "127.0.0.1"));
    for (int round = 0; round < 5; ++round) {
        auto socket = CreatePlatformSocket();
        ASSERT_EQ(socket->Bind(requestFor(handler, kWireFamilyIPv4, "127.0.0.1")), static_cast<int>(BindResult::Bound));
        ASSERT_TRUE(socket->StartReceiving());
        for (int i = 0; i < 50; ++i)
            sender.send("burst", socket->GetBoundAddress());
        socket.reset();
    }
    SUCCEED();
}

TEST(PlatformSocketStop, ReceiveLoopOnACallerThreadIsWaitedFor)
{
    RecordingHandler handler;
    auto socket = CreatePlatformSocket();
    ASSERT_EQ(socket->Bind(requestFor(handler, kWireFamilyIPv6, "::1")), static_cast<int>(BindResult::Bound));
    platform::Thread thread;
    ASSERT_TRUE(thread.start([&] { socket->ReceiveLoop(); }, BsdSocket::kReceiveThreadStackSize, "test-recv"));
    ASSERT_TRUE(handler.waitForDatagrams(1));
    socket->StopReceiving();
    EXPECT_EQ(socket->GetReceiveThreadCount(), 0);
    thread.join();
}

// --- Host addresses and the library count -----------------------------------------------------

TEST(BsdSocketHostAddresses, FillsTheTableAndUnassignsTheRest)
{
    SystemAddress table[kHostAddressTableSize];
    for (SystemAddress& entry : table)
        entry = SystemAddress::FromIPv4(1, 2, 3, 4, 5);
    BsdSocket::ListHostAddresses(table);
    ASSERT_FALSE(table[0].IsUnassigned());
    bool ended = false;
    for (const SystemAddress& entry : table) {
        EXPECT_NE(entry, SystemAddress::FromIPv4(1, 2, 3, 4, 5));
        if (entry.IsUnassigned()) {
            ended = true;
        } else {
            EXPECT_FALSE(ended) << "addresses come first, unassigned entries after";
            EXPECT_EQ(entry.GetPort(), 0);
        }
    }
}

TEST(SocketLibraryCount, ReferencesPairUp)
{
    const int base = SocketLibrary::Users();
    {
        SocketLibraryRef outer;
        SocketLibraryRef inner;
        EXPECT_EQ(SocketLibrary::Users(), base + 2);
    }
    EXPECT_EQ(SocketLibrary::Users(), base);
}
