// A UDP forwarder between two endpoints: every datagram from one is sent on to the other, from
// the forwarder's own port on 127.0.0.1. Datagrams from any other sender are dropped and
// counted, so a granted forwarding cannot be used to reach third parties.
//
// Endpoints are compared without regard to IPv4-mapped forms; on loopback an endpoint also
// matches by port alone (a dual-stack peer may show up as 127.0.0.1 or ::1). An IPv6 loopback
// endpoint is reached at 127.0.0.1 with its port (the peers bind dual-stack sockets).
//
// Threads: one receive thread per forwarder; the counters may be read on any thread.
#pragma once

#include "PlatformThread.h"
#include "UdpSocket.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace rendezvous {

class UdpForwarder {
public:
    UdpForwarder(const platform::NetAddress& first, const platform::NetAddress& second);
    ~UdpForwarder();
    UdpForwarder(const UdpForwarder&) = delete;
    UdpForwarder& operator=(const UdpForwarder&) = delete;

    // Binds 127.0.0.1 on a free port and starts forwarding.
    bool start(std::string* error = nullptr);
    void stop();

    uint16_t port() const { return m_port; }
    // True when this forwarder joins these two endpoints (in either order).
    bool joins(const platform::NetAddress& a, const platform::NetAddress& b) const;
    // True when the endpoint is one of the two.
    bool touches(const platform::NetAddress& a) const;

    uint64_t forwarded() const { return m_forwarded.load(); }
    uint64_t dropped() const { return m_dropped.load(); }

private:
    void run();
    // 0 or 1 for the endpoint the address is, -1 for a stranger.
    int endpointOf(const platform::NetAddress& address) const;

    platform::NetAddress m_endpoints[2];
    platform::UdpSocket m_socket;
    platform::Thread m_thread;
    uint16_t m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::atomic<uint64_t> m_forwarded{0};
    std::atomic<uint64_t> m_dropped{0};
};

}  // namespace rendezvous
