#include "PlatformSocket.h"

#include "PlatformThread.h"

#include <algorithm>
#include <strings.h>

namespace P2PNet {

namespace {

constexpr int kUdpProtocol = 17;
constexpr int kDatagramSocketType = 2;
// Attempts for a send that the system reports as 0 bytes sent.
constexpr int kZeroSendAttempts = 4;

bool isAnyHostText(const std::string& host)
{
    return host.empty() || strcasecmp(host.c_str(), "UNASSIGNED_SYSTEM_ADDRESS") == 0;
}

} // namespace

void SocketPlatformMixin::ApplySocketOptions(platform::UdpSocket& socket, const BindRequest& request)
{
    socket.setReceiveBufferSize(kReceiveBufferBytes);
    socket.setLingerOff();
    socket.setSendBufferSize(kSendBufferBytes);
    if (request.nonBlocking != 0)
        socket.setNonBlocking(true);
    socket.setBroadcast(request.broadcast != 0);
}

SystemAddress SocketPlatformMixin::ReachableBoundAddress(const platform::NetAddress& local)
{
    platform::NetAddress reachable = local;
    if (local.family == platform::AddressFamily::IPv4) {
        if (local.isAny())
            reachable = platform::NetAddress::ipv4Loopback(local.port);
    } else if (local.isAny() || local.isIPv4Mapped()) {
        reachable = platform::NetAddress::ipv6Loopback(local.port);
    }
    return FromNetAddress(reachable);
}

PlatformSocket::PlatformSocket() = default;

PlatformSocket::~PlatformSocket()
{
    StopReceiving();
}

int PlatformSocket::SendDatagram(const DatagramOut& datagram)
{
    if (datagram.length < 0 || (datagram.data == nullptr && datagram.length > 0))
        return static_cast<int>(platform::NetError::Failed);
    if (!m_socket.isOpen())
        return static_cast<int>(platform::NetError::Shutdown);

    SystemAddress target = datagram.target;
    if (m_socket.family() == platform::AddressFamily::IPv4) {
        target.MatchSocketFamily(kWireFamilyIPv4);
    } else if (target.IsIPv4()) {
        target.MatchSocketFamily(kWireFamilyIPv6);
        target.systemIndex = SystemAddress::kUnknownIndex;
    }

    if (m_datagramHook != nullptr) {
        const int handled = m_datagramHook->OnSendDatagram(datagram.data, datagram.length, target);
        if (handled >= 0)
            return handled;
    }

    platform::SendOptions options;
    options.ttl = datagram.ttl > 0 ? datagram.ttl : 0;
    options.dontFragment = datagram.dontFragment;
    const platform::NetAddress to = ToNetAddress(target);
    int sent = 0;
    // Only a non-empty datagram reported as 0 bytes is sent again; an empty one is sent once.
    for (int attempt = 0; attempt < kZeroSendAttempts; ++attempt) {
        sent = m_socket.sendTo(datagram.data, static_cast<std::size_t>(datagram.length), to, options);
        if (sent != 0 || datagram.length == 0)
            break;
    }
    return sent;
}

int PlatformSocket::SendDatagrams(const DatagramOut* datagrams, int count)
{
    if (datagrams == nullptr || count <= 0)
        return 0;
    if (!m_socket.isOpen())
        return static_cast<int>(platform::NetError::Shutdown);
    constexpr int kBatch = 64;
    platform::BatchDatagram batch[kBatch];
    int filled = 0;
    int sent = 0;
    auto flush = [&] {
        if (filled > 0) {
            const int result = m_socket.sendBatch(batch, filled);
            sent += std::max(0, result);
        }
        filled = 0;
    };
    for (int i = 0; i < count; ++i) {
        const DatagramOut& d = datagrams[i];
        if (d.length < 0 || (d.data == nullptr && d.length > 0))
            continue;
        SystemAddress target = d.target;
        if (m_socket.family() == platform::AddressFamily::IPv4) {
            target.MatchSocketFamily(kWireFamilyIPv4);
        } else if (target.IsIPv4()) {
            target.MatchSocketFamily(kWireFamilyIPv6);
            target.systemIndex = SystemAddress::kUnknownIndex;
        }
        // A hook that takes a datagram ends its way here, as in SendDatagram.
        if (m_datagramHook != nullptr && m_datagramHook->OnSendDatagram(d.data, d.length, target) >= 0) {
            ++sent;
            continue;
        }
        batch[filled++] = platform::BatchDatagram{d.data, static_cast<std::size_t>(d.length), ToNetAddress(target)};
        if (filled == kBatch)
            flush();
    }
    flush();
    return sent;
}

int PlatformSocket::Bind(const BindRequest& request)
{
    BindResult result = BindOnce(request);
    if (result == BindResult::NoAddress) {
        platform::sleepMillis(kBindRetryDelayMs);
        result = BindOnce(request);
    }
    return static_cast<int>(result);
}

BindResult PlatformSocket::BindOnce(const BindRequest& request)
{
    if (IsReceiving())
        return BindResult::BadRequest;
    if (request.socketType != kDatagramSocketType || (request.protocol != 0 && request.protocol != kUdpProtocol) ||
        request.eventHandler == nullptr)
        return BindResult::BadRequest;
    platform::AddressFamily family;
    switch (request.addressFamily) {
    case 0:
        family = platform::AddressFamily::Unspecified;
        break;
    case kWireFamilyIPv4:
        family = platform::AddressFamily::IPv4;
        break;
    case kWireFamilyIPv6:
        family = platform::AddressFamily::IPv6;
        break;
    default:
        return BindResult::NoAddress;
    }

    const char* host = isAnyHostText(request.hostAddress) ? nullptr : request.hostAddress.c_str();
    if (m_socket.openAndBind(host, request.port, family) != platform::NetError::None)
        return BindResult::NoAddress;
    ApplySocketOptions(m_socket, request);
    m_nonBlocking = request.nonBlocking != 0;

    platform::NetAddress local;
    if (m_socket.localAddress(local) != platform::NetError::None) {
        m_socket.close();
        return BindResult::NoAddress;
    }
    m_boundAddress = ReachableBoundAddress(local);
    m_eventHandler = request.eventHandler;

    // The socket must be able to reach itself; the test datagram waits in the socket for the
    // receive thread.
    static const char kSelfTest[4] = {0, 0, 0, 0};
    DatagramOut selfTest;
    selfTest.data = kSelfTest;
    selfTest.length = sizeof kSelfTest;
    selfTest.target = m_boundAddress;
    if (SendDatagram(selfTest) < 0)
        return BindResult::CannotSendToSelf;
    m_bindRequest = request;
    return BindResult::Bound;
}

std::unique_ptr<PlatformSocket> CreatePlatformSocket()
{
    return std::make_unique<PlatformSocket>();
}

} // namespace P2PNet
