#include "UdpForwarder.h"

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
    uint8_t buffer[2048];
    for (;;) {
        platform::NetAddress source;
        const int received = m_socket.receiveFrom(buffer, sizeof buffer, source);
        if (received == static_cast<int>(platform::NetError::Shutdown) || m_stopping.load()) return;
        if (received < 0) continue;
        const int from = endpointOf(source);
        if (from < 0) {
            ++m_dropped;
            continue;
        }
        const platform::NetAddress target = reachable(m_endpoints[1 - from]);
        if (m_socket.sendTo(buffer, static_cast<std::size_t>(received), target) >= 0)
            ++m_forwarded;
        else
            ++m_dropped;
    }
}

}  // namespace rendezvous
