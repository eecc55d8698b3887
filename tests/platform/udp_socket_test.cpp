#include "PlatformThread.h"
#include "UdpSocket.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace platform;

namespace {

constexpr auto kDeadline = std::chrono::seconds(5);

// A bound socket on a loopback address with an ephemeral port.
struct Bound {
    UdpSocket socket;
    NetAddress address;  // where others reach it
};

void bindLoopback(Bound& bound, AddressFamily family)
{
    const char* host = family == AddressFamily::IPv4 ? "127.0.0.1" : "::1";
    ASSERT_EQ(bound.socket.openAndBind(host, 0, family), NetError::None);
    ASSERT_EQ(bound.socket.localAddress(bound.address), NetError::None);
    ASSERT_NE(bound.address.port, 0);
}

// Receives one datagram on a thread of its own so that a missing datagram fails the test at
// the deadline instead of hanging it.
struct Received {
    int result = 0;
    std::string data;
    NetAddress source;
    ReceiveInfo info;
};

Received receiveOne(UdpSocket& socket, std::size_t capacity = 2048)
{
    auto future = std::async(std::launch::async, [&socket, capacity] {
        Received r;
        std::vector<char> buffer(capacity);
        r.result = socket.receiveFrom(buffer.data(), buffer.size(), r.source, &r.info);
        if (r.result > 0)
            r.data.assign(buffer.data(), static_cast<std::size_t>(r.result));
        return r;
    });
    if (future.wait_for(kDeadline) != std::future_status::ready) {
        socket.shutdownReceive();
        ADD_FAILURE() << "no datagram before the deadline";
    }
    return future.get();
}

} // namespace

// --- Loopback guard ---------------------------------------------------------------------------

struct GuardCase {
    const char* name;
    AddressFamily socketFamily;
    const char* target;
    bool dropped;
};

class LoopbackGuard : public ::testing::TestWithParam<GuardCase> {
protected:
    void SetUp() override { forceLoopbackOnly(); }
};

TEST_P(LoopbackGuard, DropsAndCountsEveryTargetOutsideLoopback)
{
    const GuardCase& c = GetParam();
    UdpSocket socket;
    ASSERT_EQ(socket.openAndBind(nullptr, 0, c.socketFamily), NetError::None);
    std::vector<NetAddress> targets;
    LookupOptions numeric;
    ASSERT_EQ(lookupAddresses(c.target, 9, numeric, targets), NetError::None);
    ASSERT_FALSE(targets.empty());

    const uint64_t before = droppedNonLoopbackDatagrams();
    const char payload[] = "guard";
    // Reported as sent either way: a dropped datagram looks like one lost on the way.
    EXPECT_EQ(socket.sendTo(payload, sizeof payload, targets[0]), static_cast<int>(sizeof payload));
    const uint64_t after = droppedNonLoopbackDatagrams();
    if (c.dropped) {
        // Other tests of this process may drop too, but never in parallel with this one.
        EXPECT_EQ(after - before, 1u);
    } else {
        EXPECT_EQ(after, before);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Targets, LoopbackGuard,
    ::testing::Values(GuardCase{"v4_documentation", AddressFamily::IPv4, "192.0.2.1", true},
                      GuardCase{"v4_private", AddressFamily::IPv4, "10.1.2.3", true},
                      GuardCase{"v4_broadcast", AddressFamily::IPv4, "255.255.255.255", true},
                      GuardCase{"v4_any", AddressFamily::IPv4, "0.0.0.0", true},
                      GuardCase{"v4_loopback_net", AddressFamily::IPv4, "127.3.4.5", false},
                      GuardCase{"v4_mapped_outside_on_v4", AddressFamily::IPv4, "::ffff:192.0.2.1", true},
                      GuardCase{"v6_documentation", AddressFamily::IPv6, "2001:db8::1", true},
                      GuardCase{"v6_link_local", AddressFamily::IPv6, "fe80::1", true},
                      GuardCase{"v6_mapped_outside", AddressFamily::IPv6, "::ffff:192.0.2.1", true},
                      GuardCase{"v6_v4_target_outside", AddressFamily::IPv6, "198.51.100.7", true},
                      GuardCase{"v6_loopback", AddressFamily::IPv6, "::1", false},
                      GuardCase{"v6_mapped_loopback", AddressFamily::IPv6, "::ffff:127.0.0.1", false}),
    [](const ::testing::TestParamInfo<GuardCase>& paramInfo) { return std::string(paramInfo.param.name); });

TEST(LoopbackGuardLookup, AnswersOnlyLocalhostAndNumericTexts)
{
    forceLoopbackOnly();
    std::vector<NetAddress> out;
    LookupOptions names;
    names.numericOnly = false;
    EXPECT_EQ(lookupAddresses("camera.example.invalid", 80, names, out), NetError::NotFound);
    EXPECT_TRUE(out.empty());

    names.family = AddressFamily::IPv4;
    ASSERT_EQ(lookupAddresses("LocalHost", 80, names, out), NetError::None);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], NetAddress::ipv4Loopback(80));

    names.family = AddressFamily::Unspecified;
    ASSERT_EQ(lookupAddresses("2001:db8::5", 7, names, out), NetError::None);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].family, AddressFamily::IPv6);
    EXPECT_EQ(out[0].port, 7);
}

// --- Round trips ------------------------------------------------------------------------------

struct TripCase {
    const char* name;
    AddressFamily receiver;
    AddressFamily sender;
    bool receiverAny;     // receiver bound to the any-address
    bool targetMapped;    // sender aims at ::ffff:127.0.0.1 instead of the plain address
    bool sourceMapped;    // receiver sees the sender as ::ffff:127.0.0.1
};

class RoundTrip : public ::testing::TestWithParam<TripCase> {};

TEST_P(RoundTrip, DatagramArrivesWithItsSource)
{
    const TripCase& c = GetParam();
    // IPv4 traffic whenever either end or the target is IPv4.
    const bool ipv4Traffic = c.receiver == AddressFamily::IPv4 || c.sender == AddressFamily::IPv4 || c.targetMapped;
    UdpSocket receiver;
    NetAddress receiverAddress;
    const char* receiverHost = c.receiverAny ? nullptr : (c.receiver == AddressFamily::IPv4 ? "127.0.0.1" : "::1");
    ASSERT_EQ(receiver.openAndBind(receiverHost, 0, c.receiver), NetError::None);
    ASSERT_EQ(receiver.localAddress(receiverAddress), NetError::None);
    ASSERT_EQ(receiver.family(), c.receiver);

    // A dual-stack sender of IPv4 traffic binds the any-address: ::1 cannot reach 127.0.0.1.
    UdpSocket sender;
    NetAddress senderAddress;
    const bool senderAny = c.sender == AddressFamily::IPv6 && ipv4Traffic;
    const char* senderHost = senderAny ? nullptr : (c.sender == AddressFamily::IPv4 ? "127.0.0.1" : "::1");
    ASSERT_EQ(sender.openAndBind(senderHost, 0, c.sender), NetError::None);
    ASSERT_EQ(sender.localAddress(senderAddress), NetError::None);

    NetAddress target = ipv4Traffic ? NetAddress::ipv4Loopback(receiverAddress.port)
                                    : NetAddress::ipv6Loopback(receiverAddress.port);
    if (c.targetMapped)
        target = target.toIPv4Mapped();

    const std::string payload = std::string("trip-") + c.name;
    ASSERT_EQ(sender.sendTo(payload.data(), payload.size(), target), static_cast<int>(payload.size()));
    const Received r = receiveOne(receiver);
    ASSERT_EQ(r.result, static_cast<int>(payload.size())) << netErrorName(static_cast<NetError>(r.result));
    EXPECT_EQ(r.data, payload);
    EXPECT_FALSE(r.info.truncated);
    EXPECT_NE(r.info.arrivalMicros, 0u);

    NetAddress expectedSource = ipv4Traffic ? NetAddress::ipv4Loopback(senderAddress.port)
                                            : NetAddress::ipv6Loopback(senderAddress.port);
    if (c.sourceMapped)
        expectedSource = expectedSource.toIPv4Mapped();
    EXPECT_EQ(r.source, expectedSource) << endpointText(r.source) << " vs " << endpointText(expectedSource);
}

INSTANTIATE_TEST_SUITE_P(
    Families, RoundTrip,
    ::testing::Values(TripCase{"v4_to_v4", AddressFamily::IPv4, AddressFamily::IPv4, false, false, false},
                      TripCase{"v6_to_v6", AddressFamily::IPv6, AddressFamily::IPv6, false, false, false},
                      TripCase{"v4_to_dual_stack", AddressFamily::IPv6, AddressFamily::IPv4, true, false, true},
                      TripCase{"dual_stack_to_v4", AddressFamily::IPv4, AddressFamily::IPv6, false, false, false},
                      TripCase{"v4_socket_mapped_target", AddressFamily::IPv4, AddressFamily::IPv4, false, true, false},
                      TripCase{"v6_to_dual_stack_any", AddressFamily::IPv6, AddressFamily::IPv6, true, false, false}),
    [](const ::testing::TestParamInfo<TripCase>& paramInfo) { return std::string(paramInfo.param.name); });

TEST(UdpSocketBind, PortZeroGivesAnEphemeralPortAndATakenPortIsReported)
{
    for (AddressFamily family : {AddressFamily::IPv4, AddressFamily::IPv6}) {
        Bound first;
        ASSERT_NO_FATAL_FAILURE(bindLoopback(first, family));
        UdpSocket second;
        EXPECT_EQ(second.openAndBind(family == AddressFamily::IPv4 ? "127.0.0.1" : "::1", first.address.port, family),
                  NetError::AddressInUse);
        EXPECT_FALSE(second.isOpen());
    }
}

TEST(UdpSocketBind, DualStackAnyBindsBothFamilies)
{
    UdpSocket dual;
    ASSERT_EQ(dual.openAndBind(nullptr, 0, AddressFamily::IPv6), NetError::None);
    NetAddress bound;
    ASSERT_EQ(dual.localAddress(bound), NetError::None);
    EXPECT_TRUE(bound.isAny());
    // The IPv4 side of the port is taken too.
    UdpSocket v4;
    EXPECT_EQ(v4.openAndBind("127.0.0.1", bound.port, AddressFamily::IPv4), NetError::AddressInUse);
}

TEST(UdpSocketBind, RejectsTextThatIsNotANumericAddress)
{
    UdpSocket socket;
    EXPECT_EQ(socket.openAndBind("not-an-address", 0, AddressFamily::IPv4), NetError::NotFound);
    EXPECT_FALSE(socket.isOpen());
}

TEST(UdpSocketReceive, LongDatagramIsCutToTheBuffer)
{
    Bound receiver;
    Bound sender;
    ASSERT_NO_FATAL_FAILURE(bindLoopback(receiver, AddressFamily::IPv4));
    ASSERT_NO_FATAL_FAILURE(bindLoopback(sender, AddressFamily::IPv4));
    const std::string payload(2000, 'x');
    ASSERT_EQ(sender.socket.sendTo(payload.data(), payload.size(), receiver.address), 2000);
    const Received r = receiveOne(receiver.socket, 1472);
    EXPECT_EQ(r.result, 1472);
    EXPECT_TRUE(r.info.truncated);
}

TEST(UdpSocketReceive, NonBlockingSocketSaysWouldBlockThenDelivers)
{
    Bound receiver;
    Bound sender;
    ASSERT_NO_FATAL_FAILURE(bindLoopback(receiver, AddressFamily::IPv6));
    ASSERT_NO_FATAL_FAILURE(bindLoopback(sender, AddressFamily::IPv6));
    ASSERT_EQ(receiver.socket.setNonBlocking(true), NetError::None);
    char buffer[64];
    NetAddress source;
    EXPECT_EQ(receiver.socket.receiveFrom(buffer, sizeof buffer, source), static_cast<int>(NetError::WouldBlock));

    ASSERT_EQ(sender.socket.sendTo("hi", 2, receiver.address), 2);
    int result = static_cast<int>(NetError::WouldBlock);
    const auto until = std::chrono::steady_clock::now() + kDeadline;
    while (result == static_cast<int>(NetError::WouldBlock) && std::chrono::steady_clock::now() < until) {
        result = receiver.socket.receiveFrom(buffer, sizeof buffer, source);
        if (result == static_cast<int>(NetError::WouldBlock))
            std::this_thread::yield();
    }
    EXPECT_EQ(result, 2);
}

TEST(UdpSocketWait, EndsOnADatagramAnInterruptOrItsLimit)
{
    Bound receiver;
    Bound sender;
    ASSERT_NO_FATAL_FAILURE(bindLoopback(receiver, AddressFamily::IPv4));
    ASSERT_NO_FATAL_FAILURE(bindLoopback(sender, AddressFamily::IPv4));
    EXPECT_EQ(receiver.socket.waitReadable(0), NetError::WouldBlock);

    // An interrupt given while nobody waits ends the next wait at once, and only that one.
    receiver.socket.interruptWait();
    EXPECT_EQ(receiver.socket.waitReadable(-1), NetError::WouldBlock);
    EXPECT_EQ(receiver.socket.waitReadable(0), NetError::WouldBlock);

    // A waiter without a limit is ended by an interrupt from another thread.
    std::atomic<bool> waiting{false};
    auto waiter = std::async(std::launch::async, [&] {
        waiting = true;
        return receiver.socket.waitReadable(-1);
    });
    const auto until = std::chrono::steady_clock::now() + kDeadline;
    while (!waiting.load() && std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
    receiver.socket.interruptWait();
    ASSERT_EQ(waiter.wait_for(kDeadline), std::future_status::ready);
    EXPECT_EQ(waiter.get(), NetError::WouldBlock);

    // A datagram makes the socket readable, and stays so until it is taken.
    ASSERT_EQ(sender.socket.sendTo("w", 1, receiver.address), 1);
    EXPECT_EQ(receiver.socket.waitReadable(-1), NetError::None);
    EXPECT_EQ(receiver.socket.waitReadable(0), NetError::None);
    EXPECT_EQ(receiveOne(receiver.socket).data, "w");
    EXPECT_EQ(receiver.socket.waitReadable(0), NetError::WouldBlock);

    receiver.socket.shutdownReceive();
    EXPECT_EQ(receiver.socket.waitReadable(-1), NetError::Shutdown);
    UdpSocket closed;
    EXPECT_EQ(closed.waitReadable(-1), NetError::Shutdown);
    closed.interruptWait(); // harmless on a socket never opened
}

// --- Shut-down --------------------------------------------------------------------------------

TEST(UdpSocketShutdown, WakesEveryBlockedReceiverAndKeepsSending)
{
    for (AddressFamily family : {AddressFamily::IPv4, AddressFamily::IPv6}) {
        Bound receiver;
        ASSERT_NO_FATAL_FAILURE(bindLoopback(receiver, family));
        std::atomic<int> started{0};
        auto blocked = [&] {
            ++started;
            char buffer[64];
            NetAddress source;
            return receiver.socket.receiveFrom(buffer, sizeof buffer, source);
        };
        auto first = std::async(std::launch::async, blocked);
        auto second = std::async(std::launch::async, blocked);
        const auto until = std::chrono::steady_clock::now() + kDeadline;
        while (started.load() < 2 && std::chrono::steady_clock::now() < until)
            std::this_thread::yield();

        receiver.socket.shutdownReceive();
        ASSERT_EQ(first.wait_for(kDeadline), std::future_status::ready);
        ASSERT_EQ(second.wait_for(kDeadline), std::future_status::ready);
        EXPECT_EQ(first.get(), static_cast<int>(NetError::Shutdown));
        EXPECT_EQ(second.get(), static_cast<int>(NetError::Shutdown));

        // Later receives return at once, even with a datagram waiting.
        Bound sender;
        ASSERT_NO_FATAL_FAILURE(bindLoopback(sender, family));
        ASSERT_EQ(sender.socket.sendTo("x", 1, receiver.address), 1);
        char buffer[8];
        NetAddress source;
        EXPECT_EQ(receiver.socket.receiveFrom(buffer, sizeof buffer, source), static_cast<int>(NetError::Shutdown));
        // The shut-down socket still sends.
        EXPECT_EQ(receiver.socket.sendTo("y", 1, sender.address), 1);
        EXPECT_EQ(receiveOne(sender.socket).data, "y");
    }
}

TEST(UdpSocketShutdown, ClosedSocketRefusesWork)
{
    UdpSocket socket;
    char buffer[8];
    NetAddress source;
    EXPECT_EQ(socket.sendTo("x", 1, NetAddress::ipv4Loopback(9)), static_cast<int>(NetError::Shutdown));
    EXPECT_EQ(socket.receiveFrom(buffer, sizeof buffer, source), static_cast<int>(NetError::Shutdown));
}

// --- TTL and don't-fragment per datagram ------------------------------------------------------

struct TtlCase {
    const char* name;
    AddressFamily receiver;
    AddressFamily sender;
};

class PerDatagramTtl : public ::testing::TestWithParam<TtlCase> {};

TEST_P(PerDatagramTtl, AppliesToThatDatagramOnlyEvenWithConcurrentSends)
{
    const TtlCase& c = GetParam();
    Bound receiver;
    Bound sender;
    ASSERT_NO_FATAL_FAILURE(bindLoopback(receiver, c.receiver));
    if (c.sender != c.receiver) {
        ASSERT_EQ(sender.socket.openAndBind(nullptr, 0, c.sender), NetError::None);
    } else {
        ASSERT_NO_FATAL_FAILURE(bindLoopback(sender, c.sender));
    }
    ASSERT_EQ(receiver.socket.setReceiveTtl(true), NetError::None);
    ASSERT_EQ(receiver.socket.setReceiveBufferSize(1 << 20), NetError::None);
    int socketTtl = 0;
    ASSERT_EQ(sender.socket.socketTtl(socketTtl), NetError::None);
    if (socketTtl < 0)
        socketTtl = 64;  // "system default" reads as -1 for IPv6 hops
    NetAddress target = receiver.address;
    if (c.receiver == AddressFamily::IPv4 && c.sender == AddressFamily::IPv6)
        target = target.toIPv4Mapped();

    // Two threads share the sending socket: one sends with TTL 3, the other with the socket's
    // own TTL. Each datagram must arrive with its own sender's TTL.
    constexpr int kPerThread = 100;
    auto sendMany = [&](char tag, int ttl) {
        for (int i = 0; i < kPerThread; ++i) {
            const std::string payload = std::string(1, tag) + std::to_string(i);
            SendOptions options;
            options.ttl = ttl;
            EXPECT_EQ(sender.socket.sendTo(payload.data(), payload.size(), target, options),
                      static_cast<int>(payload.size()));
        }
    };
    std::thread withTtl(sendMany, 't', 3);
    std::thread plain(sendMany, 'p', 0);

    std::map<char, int> counts;
    for (int i = 0; i < 2 * kPerThread; ++i) {
        const Received r = receiveOne(receiver.socket);
        ASSERT_GT(r.result, 0);
        const int expected = r.data[0] == 't' ? 3 : socketTtl;
        ASSERT_EQ(r.info.ttl, expected) << "datagram " << r.data;
        ++counts[r.data[0]];
    }
    withTtl.join();
    plain.join();
    EXPECT_EQ(counts['t'], kPerThread);
    EXPECT_EQ(counts['p'], kPerThread);

    int after = 0;
    ASSERT_EQ(sender.socket.socketTtl(after), NetError::None);
    EXPECT_EQ(after < 0 ? 64 : after, socketTtl);
}

INSTANTIATE_TEST_SUITE_P(Families, PerDatagramTtl,
                         ::testing::Values(TtlCase{"v4", AddressFamily::IPv4, AddressFamily::IPv4},
                                           TtlCase{"v6", AddressFamily::IPv6, AddressFamily::IPv6},
                                           TtlCase{"dual_stack_to_v4", AddressFamily::IPv4, AddressFamily::IPv6}),
                         [](const ::testing::TestParamInfo<TtlCase>& paramInfo) { return std::string(paramInfo.param.name); });

namespace {
// A raw IPv4 socket that sees the header of every UDP datagram on loopback; needs CAP_NET_RAW
// (the test namespace has it as root). Returns -1 when it cannot be had.
int openRawUdpObserver()
{
    const int fd = ::socket(AF_INET, SOCK_RAW, IPPROTO_UDP);
    if (fd < 0)
        return -1;
    timeval timeout{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    // Other tests of the namespace may send at the same time; room for their copies too.
    const int bytes = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    return fd;
}

// Reads raw datagrams until one for port arrives; its IP header's don't-fragment bit, or -1.
int nextDontFragmentBit(int rawFd, uint16_t port, std::string& payload)
{
    unsigned char packet[2048];
    for (int tries = 0; tries < 200000; ++tries) {
        const ssize_t n = ::recv(rawFd, packet, sizeof packet, 0);
        if (n < 0)
            return -1;
        if (n < 28)
            continue;
        const int headerLength = (packet[0] & 0x0f) * 4;
        if (n < headerLength + 8)
            continue;
        const uint16_t destination = static_cast<uint16_t>(packet[headerLength + 2] << 8 | packet[headerLength + 3]);
        if (destination != port)
            continue;
        payload.assign(reinterpret_cast<const char*>(packet + headerLength + 8),
                       static_cast<std::size_t>(n - headerLength - 8));
        return (packet[6] & 0x40) != 0 ? 1 : 0;
    }
    return -1;
}
} // namespace

TEST(PerDatagramDontFragment, SetsTheBitOnThatDatagramOnly)
{
    for (AddressFamily senderFamily : {AddressFamily::IPv4, AddressFamily::IPv6}) {
        Bound receiver;
        Bound sender;
        ASSERT_NO_FATAL_FAILURE(bindLoopback(receiver, AddressFamily::IPv4));
        if (senderFamily == AddressFamily::IPv4) {
            ASSERT_NO_FATAL_FAILURE(bindLoopback(sender, AddressFamily::IPv4));
        } else {
            ASSERT_EQ(sender.socket.openAndBind(nullptr, 0, AddressFamily::IPv6), NetError::None);
        }
        bool dontFragment = true;
        ASSERT_EQ(sender.socket.socketDontFragment(dontFragment), NetError::None);
        EXPECT_FALSE(dontFragment) << "sockets start with don't-fragment off";

        const int raw = openRawUdpObserver();
        SendOptions df;
        df.dontFragment = true;
        for (int round = 0; round < 3; ++round) {
            ASSERT_EQ(sender.socket.sendTo("df", 2, receiver.address, df), 2);
            ASSERT_EQ(sender.socket.sendTo("plain", 5, receiver.address), 5);
        }
        for (int i = 0; i < 6; ++i) {
            const Received r = receiveOne(receiver.socket);
            EXPECT_EQ(r.data, i % 2 == 0 ? "df" : "plain");
        }
        ASSERT_EQ(sender.socket.socketDontFragment(dontFragment), NetError::None);
        EXPECT_FALSE(dontFragment) << "the socket-wide setting is put back";

        if (raw < 0)
            continue;  // without CAP_NET_RAW the bit itself cannot be seen
        for (int i = 0; i < 6; ++i) {
            std::string payload;
            const int bit = nextDontFragmentBit(raw, receiver.address.port, payload);
            ASSERT_NE(bit, -1);
            EXPECT_EQ(bit, payload == "df" ? 1 : 0) << payload;
        }
        ::close(raw);
    }
}

TEST(PerDatagramDontFragment, IPv6DatagramsAreSentWithAndWithout)
{
    Bound receiver;
    Bound sender;
    ASSERT_NO_FATAL_FAILURE(bindLoopback(receiver, AddressFamily::IPv6));
    ASSERT_NO_FATAL_FAILURE(bindLoopback(sender, AddressFamily::IPv6));
    SendOptions options;
    options.dontFragment = true;
    options.ttl = 9;
    ASSERT_EQ(receiver.socket.setReceiveTtl(true), NetError::None);
    ASSERT_EQ(sender.socket.sendTo("six", 3, receiver.address, options), 3);
    const Received r = receiveOne(receiver.socket);
    EXPECT_EQ(r.data, "six");
    EXPECT_EQ(r.info.ttl, 9);
}

// --- Addresses and the library count ----------------------------------------------------------

TEST(NetAddressForms, MappingLoopbackAndText)
{
    const NetAddress v4 = NetAddress::ipv4(192, 0, 2, 1, 5000);
    const NetAddress mapped = v4.toIPv4Mapped();
    EXPECT_TRUE(mapped.isIPv4Mapped());
    EXPECT_EQ(mapped.port, 5000);
    EXPECT_EQ(mapped.unmapped(), v4);
    EXPECT_EQ(numericHostText(mapped), "::ffff:192.0.2.1");
    EXPECT_EQ(numericHostText(v4), "192.0.2.1");
    EXPECT_EQ(endpointText(NetAddress::ipv6Loopback(7)), "[::1]:7");
    EXPECT_FALSE(v4.isLoopback());
    EXPECT_TRUE(NetAddress::ipv4(127, 9, 9, 9).isLoopback());
    EXPECT_TRUE(NetAddress::ipv4(127, 0, 0, 1).toIPv4Mapped().isLoopback());
    EXPECT_TRUE(NetAddress::ipv6Loopback().isLoopback());
    EXPECT_FALSE(NetAddress::ipv6Any().isLoopback());
}

TEST(HostAddresses, ListsNumericAddressesOfTheHost)
{
    std::vector<NetAddress> addresses;
    ASSERT_EQ(hostAddresses(addresses), NetError::None);
    ASSERT_FALSE(addresses.empty());
    for (const NetAddress& a : addresses) {
        EXPECT_FALSE(numericHostText(a).empty());
        EXPECT_EQ(a.port, 0);
    }
}

TEST(NetLibrary, CountsUsersAndNeverGoesNegative)
{
    const int base = netUsers();
    EXPECT_EQ(netStartup(), base + 1);
    EXPECT_EQ(netStartup(), base + 2);
    EXPECT_EQ(netCleanup(), base + 1);
    EXPECT_EQ(netCleanup(), base);
    if (base == 0) {
        EXPECT_EQ(netCleanup(), 0);
    }
    EXPECT_EQ(netUsers(), base);
}
