#include "UdpForwarder.h"

#include <vector>

namespace rendezvous {

namespace {

bool sameEndpoint(const platform::NetAddress& a, const platform::NetAddress& b) {
    const platform::NetAddress x = a.unmapped();
    const platform::NetAddress y = b.unmapped();
    if (x == y) return true;
    return x.port == y.port && x.isLoopback() && y.isLoopback();
}

// Where to send from an IPv4 loopback socket.
platform::NetAddress reachable(const platform::NetAddress& endpoint) {
    const platform::NetAddress plain = endpoint.unmapped();
    if (plain.family == platform::AddressFamily::IPv6 && plain.isLoopback())
        return platform::NetAddress::ipv4Loopback(plain.port);
    return plain;
}

}  // namespace

UdpForwarder::UdpForwarder(const platform::NetAddress& first, const platform::NetAddress& second)
    : m_endpoints{first, second} {}

UdpForwarder::~UdpForwarder() { stop(); }

bool UdpForwarder::start(std::string* error) {
    platform::NetError result = m_socket.open(platform::AddressFamily::IPv4);
    if (result == platform::NetError::None) result = m_socket.bind(platform::NetAddress::ipv4Loopback(0));
    platform::NetAddress local;
    if (result == platform::NetError::None) result = m_socket.localAddress(local);
    if (result != platform::NetError::None) {
        if (error) *error = std::string("forwarder socket: ") + platform::netErrorName(result);
        m_socket.close();
        return false;
    }
    m_port = local.port;
    // Room for a sender's burst while this thread is away (both ways share the socket).
    m_socket.setReceiveBufferSize(4 << 20);
    m_socket.setSendBufferSize(4 << 20);
    if (!m_thread.start([this] { run(); }, 0, "relay-forward")) {
        if (error) *error = "forwarder thread could not be started";
        m_socket.close();
        return false;
    }
    return true;
}

void UdpForwarder::stop() {
    if (m_stopping.exchange(true)) return;
    if (m_thread.running()) {
        m_socket.shutdownReceive();
        m_thread.join();
    }
    m_socket.close();
}

int UdpForwarder::endpointOf(const platform::NetAddress& address) const {
    // Exact matches first, so that two endpoints on one port of different hosts stay apart.
    for (int i = 0; i < 2; ++i)
        if (address.unmapped() == m_endpoints[i].unmapped()) return i;
    for (int i = 0; i < 2; ++i)
        if (sameEndpoint(address, m_endpoints[i])) return i;
    return -1;
}

bool UdpForwarder::joins(const platform::NetAddress& a, const platform::NetAddress& b) const {
    return (sameEndpoint(a, m_endpoints[0]) && sameEndpoint(b, m_endpoints[1])) ||
           (sameEndpoint(a, m_endpoints[1]) && sameEndpoint(b, m_endpoints[0]));
}

bool UdpForwarder::touches(const platform::NetAddress& a) const { return endpointOf(a) >= 0; }

void UdpForwarder::run() {
    // A burst is taken with one system call and sent on with one more (each datagram to its own
    // target): one datagram per call capped what a relayed session could move.
    constexpr int kBatch = 64;
    constexpr std::size_t kDatagramBytes = 4096;
    std::vector<uint8_t> storage(kBatch * kDatagramBytes);
    platform::ReceiveSlot slots[kBatch];
    platform::BatchDatagram out[kBatch];
    const platform::NetAddress targets[2] = {reachable(m_endpoints[1]), reachable(m_endpoints[0])};
    for (;;) {
        for (int i = 0; i < kBatch; ++i)
            slots[i] = platform::ReceiveSlot{storage.data() + static_cast<std::size_t>(i) * kDatagramBytes,
                                             kDatagramBytes, 0, {}, false};
        const int received = m_socket.receiveBatch(slots, kBatch);
        if (received == static_cast<int>(platform::NetError::Shutdown) || m_stopping.load()) return;
        if (received <= 0) continue;
        int count = 0;
        uint64_t refused = 0;
        for (int i = 0; i < received; ++i) {
            const int from = endpointOf(slots[i].source);
            // A datagram cut to the buffer would reach the other side damaged: dropped instead.
            if (from < 0 || slots[i].truncated || slots[i].length < 0) {
                ++refused;
                continue;
            }
            out[count++] = platform::BatchDatagram{slots[i].buffer, static_cast<std::size_t>(slots[i].length),
                                                   targets[from]};
        }
        if (count > 0) {
            const int sent = m_socket.sendBatch(out, count);
            const int delivered = sent < 0 ? 0 : sent;
            m_forwarded.fetch_add(static_cast<uint64_t>(delivered));
            refused += static_cast<uint64_t>(count - delivered);
        }
        if (refused > 0) m_dropped.fetch_add(refused);
    }
}

}  // namespace rendezvous
