#include "UdpSocket.h"

#include "PlatformThread.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ifaddrs.h>
#include <mutex>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

namespace {

std::atomic<int> g_netUsers{0};
std::atomic<bool> g_forcedLoopbackOnly{false};
std::atomic<uint64_t> g_droppedNonLoopback{0};

bool loopbackOnlyFromEnvironment()
{
    // Read once: the environment is not safe to read while another thread changes it.
    static const bool fromEnvironment = [] {
        const char* value = std::getenv("LUMORA_LOOPBACK_ONLY");
        return value != nullptr && value[0] != '\0';
    }();
    return fromEnvironment;
}

NetError fromErrno(int error)
{
    switch (error) {
    case 0:
        return NetError::None;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case ENOBUFS:
    case ENOMEM:
        return NetError::WouldBlock;
    case EMSGSIZE:
        return NetError::MessageTooLong;
    case EADDRINUSE:
        return NetError::AddressInUse;
    case EADDRNOTAVAIL:
    case EAFNOSUPPORT:
    case EPFNOSUPPORT:
    case EPROTONOSUPPORT:
    case EDESTADDRREQ:
        return NetError::AddressUnavailable;
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN:
    case EHOSTDOWN:
    case ECONNREFUSED:
    case EACCES:
    case EPERM:
        return NetError::Unreachable;
    case EBADF:
    case ENOTSOCK:
    case ESHUTDOWN:
        return NetError::Shutdown;
    default:
        return NetError::Failed;
    }
}

NetError fromLookupError(int error)
{
    switch (error) {
    case 0:
        return NetError::None;
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
    case EAI_AGAIN:
        return NetError::NotFound;
    case EAI_FAMILY:
        return NetError::AddressUnavailable;
    case EAI_SYSTEM:
        return fromErrno(errno);
    default:
        return NetError::Failed;
    }
}

int systemFamily(AddressFamily family)
{
    switch (family) {
    case AddressFamily::IPv4:
        return AF_INET;
    case AddressFamily::IPv6:
        return AF_INET6;
    default:
        return AF_UNSPEC;
    }
}

// Fills storage from address; returns the socket-address length.
socklen_t toSockaddr(const NetAddress& address, sockaddr_storage& storage)
{
    std::memset(&storage, 0, sizeof storage);
    if (address.family == AddressFamily::IPv6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(address.port);
        in6->sin6_flowinfo = address.flowInfo;
        std::memcpy(&in6->sin6_addr, address.bytes.data(), 16);
        in6->sin6_scope_id = address.scopeId;
        return sizeof(sockaddr_in6);
    }
    auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(address.port);
    std::memcpy(&in4->sin_addr, address.bytes.data(), 4);
    return sizeof(sockaddr_in);
}

bool fromSockaddr(const sockaddr* sa, NetAddress& out)
{
    if (sa == nullptr)
        return false;
    NetAddress result;
    if (sa->sa_family == AF_INET) {
        sockaddr_in in4;
        std::memcpy(&in4, sa, sizeof in4);
        result.family = AddressFamily::IPv4;
        std::memcpy(result.bytes.data(), &in4.sin_addr, 4);
        result.port = ntohs(in4.sin_port);
    } else if (sa->sa_family == AF_INET6) {
        sockaddr_in6 in6;
        std::memcpy(&in6, sa, sizeof in6);
        result.family = AddressFamily::IPv6;
        std::memcpy(result.bytes.data(), &in6.sin6_addr, 16);
        result.port = ntohs(in6.sin6_port);
        result.flowInfo = in6.sin6_flowinfo;
        result.scopeId = in6.sin6_scope_id;
    } else {
        return false;
    }
    out = result;
    return true;
}

bool isIPv4Traffic(AddressFamily socketFamily, const NetAddress& target)
{
    return socketFamily == AddressFamily::IPv4 || target.isIPv4Mapped();
}

} // namespace

const char* netErrorName(NetError error)
{
    switch (error) {
    case NetError::None:
        return "none";
    case NetError::WouldBlock:
        return "would block";
    case NetError::MessageTooLong:
        return "message too long";
    case NetError::AddressInUse:
        return "address in use";
    case NetError::AddressUnavailable:
        return "address unavailable";
    case NetError::Unreachable:
        return "unreachable";
    case NetError::Shutdown:
        return "shut down";
    case NetError::NotFound:
        return "not found";
    case NetError::Failed:
        return "failed";
    }
    return "unknown";
}

// ---------------------------------------------------------------------------------------------
// NetAddress

NetAddress NetAddress::ipv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port)
{
    NetAddress result;
    result.family = AddressFamily::IPv4;
    result.bytes[0] = a;
    result.bytes[1] = b;
    result.bytes[2] = c;
    result.bytes[3] = d;
    result.port = port;
    return result;
}

NetAddress NetAddress::ipv6Any(uint16_t port)
{
    NetAddress result;
    result.family = AddressFamily::IPv6;
    result.port = port;
    return result;
}

NetAddress NetAddress::ipv6Loopback(uint16_t port)
{
    NetAddress result = ipv6Any(port);
    result.bytes[15] = 1;
    return result;
}

bool NetAddress::isIPv4Mapped() const
{
    if (family != AddressFamily::IPv6)
        return false;
    for (int i = 0; i < 10; ++i) {
        if (bytes[i] != 0)
            return false;
    }
    return bytes[10] == 0xff && bytes[11] == 0xff;
}

bool NetAddress::isLoopback() const
{
    if (family == AddressFamily::IPv4)
        return bytes[0] == 127;
    if (family != AddressFamily::IPv6)
        return false;
    if (isIPv4Mapped())
        return bytes[12] == 127;
    for (int i = 0; i < 15; ++i) {
        if (bytes[i] != 0)
            return false;
    }
    return bytes[15] == 1;
}

bool NetAddress::isAny() const
{
    const int count = family == AddressFamily::IPv4 ? 4 : 16;
    for (int i = 0; i < count; ++i) {
        if (bytes[i] != 0)
            return false;
    }
    return true;
}

NetAddress NetAddress::toIPv4Mapped() const
{
    if (family != AddressFamily::IPv4)
        return *this;
    NetAddress result = ipv6Any(port);
    result.bytes[10] = 0xff;
    result.bytes[11] = 0xff;
    std::memcpy(&result.bytes[12], bytes.data(), 4);
    return result;
}

NetAddress NetAddress::unmapped() const
{
    if (!isIPv4Mapped())
        return *this;
    return ipv4(bytes[12], bytes[13], bytes[14], bytes[15], port);
}

bool operator==(const NetAddress& a, const NetAddress& b)
{
    return a.family == b.family && a.port == b.port && a.bytes == b.bytes;
}

std::string numericHostText(const NetAddress& address)
{
    char text[INET6_ADDRSTRLEN + 16] = {};
    if (address.family == AddressFamily::IPv4) {
        if (inet_ntop(AF_INET, address.bytes.data(), text, sizeof text) == nullptr)
            return {};
        return text;
    }
    if (address.family != AddressFamily::IPv6)
        return {};
    if (inet_ntop(AF_INET6, address.bytes.data(), text, sizeof text) == nullptr)
        return {};
    std::string result = text;
    if (address.scopeId != 0)
        result += "%" + std::to_string(address.scopeId);
    return result;
}

std::string endpointText(const NetAddress& address)
{
    const std::string host = numericHostText(address);
    if (address.family == AddressFamily::IPv6)
        return "[" + host + "]:" + std::to_string(address.port);
    return host + ":" + std::to_string(address.port);
}

// ---------------------------------------------------------------------------------------------
// Lookups

NetError lookupAddresses(const char* host, uint16_t port, const LookupOptions& options, std::vector<NetAddress>& out)
{
    out.clear();
    if (options.family != AddressFamily::Unspecified && options.family != AddressFamily::IPv4 &&
        options.family != AddressFamily::IPv6)
        return NetError::AddressUnavailable;
    const bool noHost = host == nullptr || host[0] == '\0';

    addrinfo hints{};
    hints.ai_family = systemFamily(options.family);
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICSERV | (options.passive ? AI_PASSIVE : 0);
    const bool numericOnly = options.numericOnly || loopbackOnly();
    if (numericOnly)
        hints.ai_flags |= AI_NUMERICHOST;
    const std::string service = std::to_string(port);

    addrinfo* results = nullptr;
    int rc = getaddrinfo(noHost ? nullptr : host, service.c_str(), &hints, &results);
    if (rc != 0 && !options.numericOnly && !noHost && strcasecmp(host, "localhost") == 0) {
        // Under the guard no resolver is asked; "localhost" is answered here.
        if (options.family != AddressFamily::IPv6)
            out.push_back(NetAddress::ipv4Loopback(port));
        if (options.family != AddressFamily::IPv4)
            out.push_back(NetAddress::ipv6Loopback(port));
        return NetError::None;
    }
    if (rc != 0)
        return fromLookupError(rc);
    for (addrinfo* it = results; it != nullptr; it = it->ai_next) {
        NetAddress address;
        if (fromSockaddr(it->ai_addr, address))
            out.push_back(address);
    }
    freeaddrinfo(results);
    return out.empty() ? NetError::NotFound : NetError::None;
}

NetError hostAddresses(std::vector<NetAddress>& out)
{
    out.clear();
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return fromErrno(errno);
    std::vector<NetAddress> loopbacks;
    for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        if ((it->ifa_flags & IFF_UP) == 0)
            continue;
        NetAddress address;
        if (!fromSockaddr(it->ifa_addr, address))
            continue;
        address.port = 0;
        address.flowInfo = 0;
        auto& target = ((it->ifa_flags & IFF_LOOPBACK) != 0 || address.isLoopback()) ? loopbacks : out;
        bool seen = false;
        for (const NetAddress& known : target)
            seen = seen || known == address;
        if (!seen)
            target.push_back(address);
    }
    freeifaddrs(list);
    if (out.empty())
        out = std::move(loopbacks);
    return out.empty() ? NetError::NotFound : NetError::None;
}

int netStartup()
{
    return g_netUsers.fetch_add(1) + 1;
}

int netCleanup()
{
    int users = g_netUsers.load();
    while (users > 0 && !g_netUsers.compare_exchange_weak(users, users - 1)) {
    }
    return users > 0 ? users - 1 : 0;
}

int netUsers()
{
    return g_netUsers.load();
}

bool loopbackOnly()
{
    return g_forcedLoopbackOnly.load(std::memory_order_relaxed) || loopbackOnlyFromEnvironment();
}

void forceLoopbackOnly()
{
    g_forcedLoopbackOnly.store(true);
}

uint64_t droppedNonLoopbackDatagrams()
{
    return g_droppedNonLoopback.load();
}

// ---------------------------------------------------------------------------------------------
// UdpSocket

UdpSocket::UdpSocket() = default;

UdpSocket::~UdpSocket()
{
    close();
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
    if (m_interruptFd >= 0)
        ::close(m_interruptFd);
}

NetError UdpSocket::open(AddressFamily family)
{
    close();
    if (family != AddressFamily::IPv4 && family != AddressFamily::IPv6)
        return NetError::AddressUnavailable;
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0)
        return fromErrno(errno);
    if (m_interruptFd < 0) {
        m_interruptFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (m_interruptFd < 0)
            return fromErrno(errno);
    }
    m_shutdown.store(false, std::memory_order_release);

    const int fd = ::socket(systemFamily(family), SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0)
        return fromErrno(errno);
    const int off = 0;
    if (family == AddressFamily::IPv6 && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) {
        const int error = errno;
        ::close(fd);
        return fromErrno(error);
    }
    // Windows leaves the IPv4 don't-fragment bit off unless asked; Linux sets it by default.
    const int pmtu = IP_PMTUDISC_DONT;
    setsockopt(fd, IPPROTO_IP, IP_MTU_DISCOVER, &pmtu, sizeof pmtu);
    m_fd = fd;
    m_family = family;
    m_nonBlocking = false;
    m_receiveTtl = false;
    return NetError::None;
}

NetError UdpSocket::bind(const NetAddress& local)
{
    if (m_fd < 0)
        return NetError::Shutdown;
    NetAddress address = local;
    if (m_family == AddressFamily::IPv6)
        address = address.toIPv4Mapped();
    else if (address.family == AddressFamily::IPv6)
        address = address.unmapped();
    if (address.family != m_family)
        return NetError::AddressUnavailable;
    sockaddr_storage storage;
    const socklen_t length = toSockaddr(address, storage);
    if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&storage), length) != 0)
        return fromErrno(errno);
    return NetError::None;
}

NetError UdpSocket::openAndBind(const char* host, uint16_t port, AddressFamily family)
{
    close();
    LookupOptions options;
    options.family = family;
    options.numericOnly = true;
    options.passive = true;
    std::vector<NetAddress> candidates;
    const NetError lookup = lookupAddresses(host, port, options, candidates);
    if (lookup != NetError::None)
        return lookup;
    NetError last = NetError::NotFound;
    for (const NetAddress& candidate : candidates) {
        const NetError opened = open(candidate.family);
        if (opened != NetError::None)
            return opened;
        last = bind(candidate);
        if (last == NetError::None)
            return NetError::None;
        close();
    }
    return last;
}

void UdpSocket::close()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_family = AddressFamily::Unspecified;
}

NetError UdpSocket::localAddress(NetAddress& out) const
{
    if (m_fd < 0)
        return NetError::Shutdown;
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (getsockname(m_fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0)
        return fromErrno(errno);
    return fromSockaddr(reinterpret_cast<const sockaddr*>(&storage), out) ? NetError::None : NetError::Failed;
}

namespace {
NetError setIntOption(int fd, int level, int option, int value)
{
    if (fd < 0)
        return NetError::Shutdown;
    return setsockopt(fd, level, option, &value, sizeof value) == 0 ? NetError::None : fromErrno(errno);
}

NetError getIntOption(int fd, int level, int option, int& value)
{
    if (fd < 0)
        return NetError::Shutdown;
    socklen_t length = sizeof value;
    return getsockopt(fd, level, option, &value, &length) == 0 ? NetError::None : fromErrno(errno);
}
} // namespace

NetError UdpSocket::setReceiveBufferSize(int bytes)
{
    return setIntOption(m_fd, SOL_SOCKET, SO_RCVBUF, bytes);
}

NetError UdpSocket::setSendBufferSize(int bytes)
{
    return setIntOption(m_fd, SOL_SOCKET, SO_SNDBUF, bytes);
}

NetError UdpSocket::setLingerOff()
{
    if (m_fd < 0)
        return NetError::Shutdown;
    linger value{};
    return setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &value, sizeof value) == 0 ? NetError::None : fromErrno(errno);
}

NetError UdpSocket::setNonBlocking(bool on)
{
    // Receives always ask the system without waiting and wait in poll themselves, so that
    // shutdownReceive can wake them; the flag only decides whether receiveFrom waits.
    if (m_fd < 0)
        return NetError::Shutdown;
    m_nonBlocking = on;
    return NetError::None;
}

NetError UdpSocket::setBroadcast(bool on)
{
    return setIntOption(m_fd, SOL_SOCKET, SO_BROADCAST, on ? 1 : 0);
}

NetError UdpSocket::setReuseAddress(bool on)
{
    return setIntOption(m_fd, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0);
}

NetError UdpSocket::setReceiveTtl(bool on)
{
    // A dual-stack socket needs both: IPv4 traffic reports its TTL under the IPv4 option.
    NetError result = setIntOption(m_fd, IPPROTO_IP, IP_RECVTTL, on ? 1 : 0);
    if (m_family == AddressFamily::IPv6)
        result = setIntOption(m_fd, IPPROTO_IPV6, IPV6_RECVHOPLIMIT, on ? 1 : 0);
    if (result == NetError::None)
        m_receiveTtl = on;
    return result;
}

NetError UdpSocket::socketTtl(int& ttl) const
{
    if (m_family == AddressFamily::IPv6)
        return getIntOption(m_fd, IPPROTO_IPV6, IPV6_UNICAST_HOPS, ttl);
    return getIntOption(m_fd, IPPROTO_IP, IP_TTL, ttl);
}

NetError UdpSocket::setSocketTtl(int ttl)
{
    if (m_family == AddressFamily::IPv6)
        return setIntOption(m_fd, IPPROTO_IPV6, IPV6_UNICAST_HOPS, ttl);
    return setIntOption(m_fd, IPPROTO_IP, IP_TTL, ttl);
}

NetError UdpSocket::socketDontFragment(bool& on) const
{
    int mode = 0;
    const NetError result = getIntOption(m_fd, IPPROTO_IP, IP_MTU_DISCOVER, mode);
    on = result == NetError::None && mode != IP_PMTUDISC_DONT;
    return result;
}

int UdpSocket::sendTo(const void* data, std::size_t length, const NetAddress& target, const SendOptions& options)
{
    if (m_fd < 0)
        return static_cast<int>(NetError::Shutdown);
    if (data == nullptr && length != 0)
        return static_cast<int>(NetError::Failed);
    if (length > static_cast<std::size_t>(INT_MAX))
        return static_cast<int>(NetError::MessageTooLong);

    NetAddress to = target;
    if (m_family == AddressFamily::IPv4) {
        to = to.unmapped();
        if (to.family != AddressFamily::IPv4)
            return static_cast<int>(NetError::AddressUnavailable);
    } else {
        to = to.toIPv4Mapped();
    }

    if (loopbackOnly() && !to.isLoopback()) {
        g_droppedNonLoopback.fetch_add(1);
        return static_cast<int>(length);
    }

    if (options.dontFragment && isIPv4Traffic(m_family, to)) {
        // No per-datagram control for the IPv4 don't-fragment bit: flip the socket-wide
        // setting with every other send of this socket held off, then put it back.
        std::unique_lock<std::shared_mutex> lock(m_sendLock);
        int old = IP_PMTUDISC_DONT;
        getIntOption(m_fd, IPPROTO_IP, IP_MTU_DISCOVER, old);
        const NetError set = setIntOption(m_fd, IPPROTO_IP, IP_MTU_DISCOVER, IP_PMTUDISC_DO);
        if (set != NetError::None)
            return static_cast<int>(set);
        const int result = sendLocked(data, length, to, options);
        setIntOption(m_fd, IPPROTO_IP, IP_MTU_DISCOVER, old);
        return result;
    }
    std::shared_lock<std::shared_mutex> lock(m_sendLock);
    return sendLocked(data, length, to, options);
}

int UdpSocket::sendLocked(const void* data, std::size_t length, const NetAddress& to, const SendOptions& options)
{
    sockaddr_storage storage;
    const socklen_t addressLength = toSockaddr(to, storage);
    iovec iov{const_cast<void*>(data), length};
    msghdr message{};
    message.msg_name = &storage;
    message.msg_namelen = addressLength;
    message.msg_iov = &iov;
    message.msg_iovlen = 1;

    // Room for a TTL and a don't-fragment control message.
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int)) * 2] = {};
    std::size_t controlLength = 0;
    const bool ipv4Traffic = isIPv4Traffic(m_family, to);
    auto addControl = [&](int level, int type, int value) {
        message.msg_control = control;
        message.msg_controllen = controlLength + CMSG_SPACE(sizeof(int));
        cmsghdr* header = controlLength == 0 ? CMSG_FIRSTHDR(&message)
                                             : reinterpret_cast<cmsghdr*>(control + controlLength);
        header->cmsg_level = level;
        header->cmsg_type = type;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &value, sizeof value);
        controlLength += CMSG_SPACE(sizeof(int));
    };
    if (options.ttl > 0) {
        const int ttl = options.ttl > 255 ? 255 : options.ttl;
        // IPv4 traffic of a dual-stack socket takes the IPv4 control message.
        if (ipv4Traffic)
            addControl(IPPROTO_IP, IP_TTL, ttl);
        else
            addControl(IPPROTO_IPV6, IPV6_HOPLIMIT, ttl);
    }
    if (options.dontFragment && !ipv4Traffic)
        addControl(IPPROTO_IPV6, IPV6_DONTFRAG, 1);

    for (;;) {
        const ssize_t sent = ::sendmsg(m_fd, &message, MSG_NOSIGNAL);
        if (sent >= 0)
            return static_cast<int>(sent);
        if (errno != EINTR)
            return static_cast<int>(fromErrno(errno));
    }
}

int UdpSocket::receiveFrom(void* buffer, std::size_t capacity, NetAddress& source, ReceiveInfo* info)
{
    if (m_fd < 0 || receiveShutDown())
        return static_cast<int>(NetError::Shutdown);
    if (capacity > static_cast<std::size_t>(INT_MAX))
        capacity = INT_MAX;

    sockaddr_storage storage;
    iovec iov{buffer, capacity};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int)) * 2];
    msghdr message{};
    ssize_t received = 0;
    for (;;) {
        std::memset(&storage, 0, sizeof storage);
        message = msghdr{};
        message.msg_name = &storage;
        message.msg_namelen = sizeof storage;
        message.msg_iov = &iov;
        message.msg_iovlen = 1;
        if (m_receiveTtl) {
            message.msg_control = control;
            message.msg_controllen = sizeof control;
        }
        received = ::recvmsg(m_fd, &message, MSG_DONTWAIT);
        if (received >= 0)
            break;
        const int error = errno;
        if (error == EINTR)
            continue;
        if (error != EAGAIN && error != EWOULDBLOCK)
            return static_cast<int>(fromErrno(error));
        if (m_nonBlocking)
            return static_cast<int>(NetError::WouldBlock);
        // Wait for a datagram or for shutdownReceive; the wake descriptor stays readable once
        // set, so every waiter sees it.
        pollfd waits[2] = {{m_fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        if (receiveShutDown())
            return static_cast<int>(NetError::Shutdown);
        const int ready = ::poll(waits, 2, -1);
        if (ready < 0 && errno != EINTR)
            return static_cast<int>(fromErrno(errno));
        if (receiveShutDown() || (waits[1].revents & POLLIN) != 0)
            return static_cast<int>(NetError::Shutdown);
    }

    if (!fromSockaddr(reinterpret_cast<const sockaddr*>(&storage), source))
        source = NetAddress{};
    if (info != nullptr) {
        info->arrivalMicros = monotonicMicros();
        info->truncated = (message.msg_flags & MSG_TRUNC) != 0;
        info->ttl = -1;
        if (m_receiveTtl && (message.msg_flags & MSG_CTRUNC) == 0) {
            for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
                const bool ttl = (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_TTL) ||
                                 (header->cmsg_level == IPPROTO_IPV6 && header->cmsg_type == IPV6_HOPLIMIT);
                if (ttl && header->cmsg_len >= CMSG_LEN(sizeof(int)))
                    std::memcpy(&info->ttl, CMSG_DATA(header), sizeof(int));
            }
        }
    }
    return static_cast<int>(received);
}

int UdpSocket::receiveBatch(ReceiveSlot* slots, int count, uint64_t* arrivalMicros)
{
    if (m_fd < 0 || receiveShutDown())
        return static_cast<int>(NetError::Shutdown);
    if (slots == nullptr || count <= 0)
        return static_cast<int>(NetError::Failed);
    constexpr int kMaxBatch = 64;
    count = std::min(count, kMaxBatch);
    sockaddr_storage storage[kMaxBatch];
    iovec iov[kMaxBatch];
    mmsghdr messages[kMaxBatch];
    int received = 0;
    for (;;) {
        for (int i = 0; i < count; ++i) {
            iov[i] = iovec{slots[i].buffer, std::min<std::size_t>(slots[i].capacity, INT_MAX)};
            messages[i] = mmsghdr{};
            messages[i].msg_hdr.msg_name = &storage[i];
            messages[i].msg_hdr.msg_namelen = sizeof storage[i];
            messages[i].msg_hdr.msg_iov = &iov[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        received = ::recvmmsg(m_fd, messages, static_cast<unsigned>(count), MSG_DONTWAIT, nullptr);
        if (received > 0)
            break;
        if (received == 0)
            continue;
        const int error = errno;
        if (error == EINTR)
            continue;
        if (error != EAGAIN && error != EWOULDBLOCK)
            return static_cast<int>(fromErrno(error));
        if (m_nonBlocking)
            return static_cast<int>(NetError::WouldBlock);
        pollfd waits[2] = {{m_fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        if (receiveShutDown())
            return static_cast<int>(NetError::Shutdown);
        const int ready = ::poll(waits, 2, -1);
        if (ready < 0 && errno != EINTR)
            return static_cast<int>(fromErrno(errno));
        if (receiveShutDown() || (waits[1].revents & POLLIN) != 0)
            return static_cast<int>(NetError::Shutdown);
    }
    if (arrivalMicros != nullptr)
        *arrivalMicros = monotonicMicros();
    for (int i = 0; i < received; ++i) {
        ReceiveSlot& slot = slots[i];
        slot.length = static_cast<int>(messages[i].msg_len);
        slot.truncated = (messages[i].msg_hdr.msg_flags & MSG_TRUNC) != 0;
        if (!fromSockaddr(reinterpret_cast<const sockaddr*>(&storage[i]), slot.source))
            slot.source = NetAddress{};
    }
    return received;
}

int UdpSocket::sendBatch(const BatchDatagram* datagrams, int count)
{
    if (m_fd < 0)
        return static_cast<int>(NetError::Shutdown);
    if (datagrams == nullptr || count <= 0)
        return 0;
    constexpr int kMaxBatch = 64;
    sockaddr_storage storage[kMaxBatch];
    iovec iov[kMaxBatch];
    mmsghdr messages[kMaxBatch];
    int sent = 0;
    std::shared_lock<std::shared_mutex> lock(m_sendLock);
    for (int first = 0; first < count;) {
        // Fill one batch with the datagrams that really go out.
        int filled = 0;
        int next = first;
        for (; next < count && filled < kMaxBatch; ++next) {
            const BatchDatagram& d = datagrams[next];
            if ((d.data == nullptr && d.length != 0) || d.length > static_cast<std::size_t>(INT_MAX))
                continue;
            NetAddress to = d.target;
            if (m_family == AddressFamily::IPv4) {
                to = to.unmapped();
                if (to.family != AddressFamily::IPv4)
                    continue;
            } else {
                to = to.toIPv4Mapped();
            }
            if (loopbackOnly() && !to.isLoopback()) {
                g_droppedNonLoopback.fetch_add(1);
                ++sent;
                continue;
            }
            iov[filled] = iovec{const_cast<void*>(d.data), d.length};
            messages[filled] = mmsghdr{};
            messages[filled].msg_hdr.msg_name = &storage[filled];
            messages[filled].msg_hdr.msg_namelen = toSockaddr(to, storage[filled]);
            messages[filled].msg_hdr.msg_iov = &iov[filled];
            messages[filled].msg_hdr.msg_iovlen = 1;
            ++filled;
        }
        first = next;
        for (int done = 0; done < filled;) {
            const int result = ::sendmmsg(m_fd, messages + done, static_cast<unsigned>(filled - done), MSG_NOSIGNAL);
            if (result > 0) {
                done += result;
                sent += result;
            } else if (result < 0 && errno == EINTR) {
                continue;
            } else {
                ++done;  // the system refused this one; the rest still go
            }
        }
    }
    return sent;
}

NetError UdpSocket::waitReadable(int timeoutMs)
{
    if (m_fd < 0 || receiveShutDown())
        return NetError::Shutdown;
    pollfd waits[3] = {{m_fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}, {m_interruptFd, POLLIN, 0}};
    int ready = 0;
    do {
        ready = ::poll(waits, 3, timeoutMs < 0 ? -1 : timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0)
        return fromErrno(errno);
    if (receiveShutDown() || (waits[1].revents & POLLIN) != 0)
        return NetError::Shutdown;
    if ((waits[2].revents & POLLIN) != 0) {
        uint64_t taken = 0;
        [[maybe_unused]] const ssize_t read = ::read(m_interruptFd, &taken, sizeof taken);
        return NetError::WouldBlock;
    }
    return ready > 0 && (waits[0].revents & (POLLIN | POLLERR)) != 0 ? NetError::None : NetError::WouldBlock;
}

void UdpSocket::interruptWait()
{
    if (m_interruptFd >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_interruptFd, &one, sizeof one);
    }
}

void UdpSocket::shutdownReceive()
{
    m_shutdown.store(true, std::memory_order_release);
    if (m_wakeFd >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_wakeFd, &one, sizeof one);
    }
}

} // namespace platform
