// UDP sockets over IPv4 and dual-stack IPv6 in place of Windows Sockets 2.2 (WSAStartup and
// WSACleanup, getaddrinfo, socket, bind, setsockopt, getsockname, sendto, recvfrom, closesocket)
// and of the host-name lookup used to list the host's own addresses.
//
// Nothing here exposes a system header: addresses travel as NetAddress, failures as the small
// closed set NetError. Socket options are applied under their Linux names (receive and send
// buffer sizes, linger off, IPv6-only off, broadcast, TTL or hop limit).
//
// Loopback guard: when the environment variable LUMORA_LOOPBACK_ONLY is set and not empty (or
// after forceLoopbackOnly()), every datagram addressed outside 127.0.0.0/8, ::1 and
// ::ffff:127.0.0.0/104 is dropped and counted instead of sent. The send still reports the full
// length to its caller, as a lossy network would: the layers above must already cope with
// datagrams that vanish, and a failure result would make them take paths (error reports,
// retries at once) that a real network never shows them. Host-name lookups under the guard
// answer only "localhost" (numerically, without asking any resolver) and numeric texts.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <shared_mutex>
#include <string>
#include <vector>

namespace platform {

enum class AddressFamily : uint8_t { Unspecified = 0, IPv4 = 4, IPv6 = 6 };

// Every failure of this layer. Values are negative so that byte-count results can carry them:
// a result r < 0 means static_cast<NetError>(r).
enum class NetError : int {
    None = 0,
    WouldBlock = -1,          // non-blocking socket with nothing to do now, or the system is short of buffers
    MessageTooLong = -2,      // datagram larger than the socket or the path allows (don't-fragment)
    AddressInUse = -3,        // bind: the port is taken
    AddressUnavailable = -4,  // bind or send: address not local, wrong family or not supported
    Unreachable = -5,         // send: no route, refused, or not permitted (broadcast without the option)
    Shutdown = -6,            // socket not open, or its receiving was shut down
    NotFound = -7,            // lookup: nothing matched
    Failed = -8,              // anything else
};

const char* netErrorName(NetError error);

// A UDP endpoint in plain form. Bytes are in network order; the port is in host order.
struct NetAddress {
    AddressFamily family = AddressFamily::IPv4;
    std::array<uint8_t, 16> bytes{};  // IPv4 uses bytes[0..3], the rest stays zero
    uint16_t port = 0;
    uint32_t flowInfo = 0;  // IPv6 only, as the system holds it (network order)
    uint32_t scopeId = 0;   // IPv6 only, interface index

    static NetAddress ipv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port = 0);
    static NetAddress ipv4Any(uint16_t port = 0) { return ipv4(0, 0, 0, 0, port); }
    static NetAddress ipv4Loopback(uint16_t port = 0) { return ipv4(127, 0, 0, 1, port); }
    static NetAddress ipv6Any(uint16_t port = 0);
    static NetAddress ipv6Loopback(uint16_t port = 0);

    // ::ffff:a.b.c.d
    bool isIPv4Mapped() const;
    // 127.0.0.0/8, ::1 or ::ffff:127.0.0.0/104.
    bool isLoopback() const;
    // 0.0.0.0 or ::
    bool isAny() const;
    // An IPv4 address as ::ffff:a.b.c.d (same port); any other address unchanged.
    NetAddress toIPv4Mapped() const;
    // ::ffff:a.b.c.d as the IPv4 address a.b.c.d (same port); any other address unchanged.
    NetAddress unmapped() const;

    // Family, address bytes and port; flow information and scope id take no part.
    friend bool operator==(const NetAddress& a, const NetAddress& b);
};

// Numeric host text: dotted decimal for IPv4, the standard colon form for IPv6 (with "%scope"
// when a scope id is set). No port. Empty when the system cannot format it.
std::string numericHostText(const NetAddress& address);
// "host|port" is not this layer's business; this gives "a.b.c.d:port" or "[v6]:port" for logs.
std::string endpointText(const NetAddress& address);

struct LookupOptions {
    AddressFamily family = AddressFamily::Unspecified;
    bool numericOnly = true;  // never ask a resolver: the host must be a numeric address
    bool passive = false;     // a null or empty host gives the any-address instead of loopback
};

// Looks host up for a datagram socket, as getaddrinfo does; results in the system's order,
// each with the given port. A non-numeric host under the loopback guard only matches
// "localhost" (case-insensitive), which gives 127.0.0.1 and ::1 as the family allows.
NetError lookupAddresses(const char* host, uint16_t port, const LookupOptions& options, std::vector<NetAddress>& out);

// The host's own unicast addresses of the interfaces that are up (IPv4 and IPv6, numeric, no
// resolver involved): the non-loopback ones in interface order, or, when there are none, the
// loopback ones. Ports are 0.
NetError hostAddresses(std::vector<NetAddress>& out);

// Process-wide use count of the socket library (WSAStartup/WSACleanup). Linux needs no start-up;
// the count is kept so that the owners' pairing can be checked. netStartup returns the count
// after the call; netCleanup never goes below zero.
int netStartup();
int netCleanup();
int netUsers();

// The loopback guard (see the header comment). forceLoopbackOnly turns it on for the rest of
// the process; there is no way to turn it off.
bool loopbackOnly();
void forceLoopbackOnly();
// Datagrams dropped by the guard since the process started.
uint64_t droppedNonLoopbackDatagrams();

struct SendOptions {
    int ttl = 0;                // > 0: TTL (IPv4) or hop limit (IPv6) of this datagram only
    bool dontFragment = false;  // this datagram only; IPv4 sends with it set are serialised
};

struct ReceiveInfo {
    uint64_t arrivalMicros = 0;  // monotonicMicros() when the datagram was taken
    int ttl = -1;                // TTL or hop limit it arrived with; -1 unless setReceiveTtl(true)
    bool truncated = false;      // it was longer than the buffer and was cut
};

// One datagram of a batched receive: the caller's buffer and what arrived in it.
struct ReceiveSlot {
    void* buffer = nullptr;
    std::size_t capacity = 0;
    int length = 0;          // bytes received
    NetAddress source;
    bool truncated = false;  // it was longer than the buffer and was cut
};

// One datagram of a batched send.
struct BatchDatagram {
    const void* data = nullptr;
    std::size_t length = 0;
    NetAddress target;
};

// One UDP socket. IPv6 sockets are dual-stack: they carry IPv4 traffic as ::ffff:a.b.c.d.
// Sockets start with don't-fragment off (as on Windows) and TTL as the system sets it.
//
// Threads: sendTo and receiveFrom may run on any threads at once; shutdownReceive may be called
// from any thread. open, bind, the option setters and close belong to the owner and must not
// overlap a send or receive on another thread (close only after every receiver has returned).
class UdpSocket {
public:
    UdpSocket();
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // Creates the socket (closing an earlier one). IPv4 or IPv6 only.
    NetError open(AddressFamily family);
    NetError bind(const NetAddress& local);
    // Looks the numeric host text up for the family (null or empty host = the any-address;
    // Unspecified family = whatever the lookup gives) and tries each result in order: open,
    // bind, and on a failed bind close and take the next. Stops at the first socket that cannot
    // be created. On failure the socket is left closed.
    NetError openAndBind(const char* host, uint16_t port, AddressFamily family);
    void close();

    bool isOpen() const { return m_fd >= 0; }
    AddressFamily family() const { return m_family; }
    // The name the system bound (the chosen port when bound to 0).
    NetError localAddress(NetAddress& out) const;

    NetError setReceiveBufferSize(int bytes);
    NetError setSendBufferSize(int bytes);
    NetError setLingerOff();
    NetError setNonBlocking(bool on);
    bool nonBlocking() const { return m_nonBlocking; }
    NetError setBroadcast(bool on);
    // Lets several sockets bind one port (before bind); each of them receives broadcasts to it.
    NetError setReuseAddress(bool on);
    // Report the TTL or hop limit of each received datagram in ReceiveInfo::ttl.
    NetError setReceiveTtl(bool on);
    // The socket-wide unicast TTL (IPv4 sockets) or hop limit (IPv6 sockets), used when a send
    // gives none.
    NetError socketTtl(int& ttl) const;
    NetError setSocketTtl(int ttl);
    // The socket-wide don't-fragment setting of IPv4 traffic (false after open).
    NetError socketDontFragment(bool& on) const;

    // Sends one datagram. An IPv4 socket accepts ::ffff:a.b.c.d targets, an IPv6 socket IPv4
    // targets (sent as mapped). Returns the byte count sent or a negative NetError. Under the
    // loopback guard a target outside loopback is dropped, counted, and reported as sent.
    int sendTo(const void* data, std::size_t length, const NetAddress& target, const SendOptions& options = {});

    // Takes one datagram of at most capacity bytes (longer ones are cut). Blocks until one
    // arrives or shutdownReceive is called, unless the socket is non-blocking (then WouldBlock).
    // Returns the byte count (0 for an empty datagram) or a negative NetError; Shutdown once
    // receiving has been shut down.
    int receiveFrom(void* buffer, std::size_t capacity, NetAddress& source, ReceiveInfo* info = nullptr);

    // Takes up to count datagrams that are waiting, in one system call; waits for the first one
    // as receiveFrom does. Returns the number taken (at least 1) or a negative NetError;
    // *arrivalMicros (when given) is the time they were taken.
    int receiveBatch(ReceiveSlot* slots, int count, uint64_t* arrivalMicros = nullptr);

    // Sends the datagrams in order, as many per system call as the system takes. A datagram the
    // system refuses is skipped; the loopback guard's drops count as sent. Returns the number
    // sent, or a negative NetError when the socket is not open.
    int sendBatch(const BatchDatagram* datagrams, int count);

    // Waits until a datagram can be read, interruptWait is called, or timeoutMs passes (negative:
    // no limit). None: readable; WouldBlock: timed out or interrupted; Shutdown: not open, or
    // receiving was shut down.
    NetError waitReadable(int timeoutMs);
    // Ends the waitReadable call in progress; with none in progress, the next one returns at once.
    void interruptWait();

    // Wakes every receiveFrom blocked on this socket and makes later ones return Shutdown at
    // once. Sending still works. Undone only by open.
    void shutdownReceive();
    bool receiveShutDown() const { return m_shutdown.load(std::memory_order_acquire); }

private:
    int sendLocked(const void* data, std::size_t length, const NetAddress& target, const SendOptions& options);

    int m_fd = -1;
    int m_wakeFd = -1;  // eventfd that becomes readable for good on shutdownReceive
    int m_interruptFd = -1; // eventfd counting interruptWait calls not yet taken by a wait
    AddressFamily m_family = AddressFamily::Unspecified;
    bool m_nonBlocking = false;
    bool m_receiveTtl = false;
    std::atomic<bool> m_shutdown{false};
    // Sends take it shared; an IPv4 don't-fragment send takes it exclusively while it flips the
    // socket-wide setting, so no other datagram goes out with the wrong setting.
    std::shared_mutex m_sendLock;
};

} // namespace platform
