// A bad link between two peers on loopback, for session tests: a UDP forwarder on 127.0.0.1 that
// passes datagrams between two endpoints (known by their ports) and on the way drops a share of
// them and holds back another share for a few milliseconds, so that later ones overtake them.
// Both peers are told that the other is at the forwarder's port (see RendezvousOptions::interpose):
// what one sends there reaches the other from that port. Datagrams from other senders are dropped
// and counted.
//
// Threads: one thread of its own; the counters may be read on any thread.
#pragma once

#include "PlatformThread.h"
#include "UdpSocket.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace lumora::test {

struct LinkFaults {
    double loss = 0.0;     // share of datagrams that vanish, each direction
    double holdBack = 0.0; // share held back (and so overtaken by later ones)
    int holdMaxMs = 8;     // a held datagram goes out 1 to holdMaxMs ms later
    uint32_t seed = 1;
};

class LossyLink {
public:
    LossyLink(uint16_t firstPort, uint16_t secondPort, LinkFaults faults)
        : m_ports{firstPort, secondPort}, m_faults(faults), m_random(faults.seed)
    {
    }
    ~LossyLink() { stop(); }
    LossyLink(const LossyLink&) = delete;
    LossyLink& operator=(const LossyLink&) = delete;

    bool start(std::string* error = nullptr)
    {
        platform::NetError result = m_socket.open(platform::AddressFamily::IPv4);
        if (result == platform::NetError::None)
            result = m_socket.bind(platform::NetAddress::ipv4Loopback(0));
        platform::NetAddress local;
        if (result == platform::NetError::None)
            result = m_socket.localAddress(local);
        if (result == platform::NetError::None)
            result = m_socket.setNonBlocking(true);
        if (result != platform::NetError::None) {
            if (error)
                *error = std::string("lossy link socket: ") + platform::netErrorName(result);
            return false;
        }
        // Bursts of a sixteen-channel session must not be lost in the socket instead of here.
        (void)m_socket.setReceiveBufferSize(4 << 20);
        (void)m_socket.setSendBufferSize(4 << 20);
        m_port = local.port;
        if (!m_thread.start([this] { run(); }, 0, "lossy-link")) {
            if (error)
                *error = "lossy link thread could not be started";
            return false;
        }
        return true;
    }

    void stop()
    {
        if (m_stopping.exchange(true))
            return;
        m_socket.shutdownReceive();
        m_socket.interruptWait();
        if (m_thread.running())
            m_thread.join();
        m_socket.close();
    }

    uint16_t port() const { return m_port; }
    bool joins(uint16_t a, uint16_t b) const
    {
        return (a == m_ports[0] && b == m_ports[1]) || (a == m_ports[1] && b == m_ports[0]);
    }
    uint64_t forwarded() const { return m_forwarded.load(); }
    uint64_t lost() const { return m_lost.load(); }
    uint64_t heldBack() const { return m_heldBack.load(); }
    uint64_t strangers() const { return m_strangers.load(); }

private:
    using Clock = std::chrono::steady_clock;

    struct Held {
        Clock::time_point due;
        uint16_t to = 0;
        std::vector<uint8_t> bytes;
    };

    bool chance(double share) { return share > 0 && std::uniform_real_distribution<double>(0, 1)(m_random) < share; }

    void send(uint16_t to, const uint8_t* data, std::size_t length)
    {
        if (m_socket.sendTo(data, length, platform::NetAddress::ipv4Loopback(to)) >= 0)
            ++m_forwarded;
    }

    void take(const uint8_t* data, std::size_t length, const platform::NetAddress& source)
    {
        // On loopback a peer shows up as 127.0.0.1, ::ffff:127.0.0.1 or ::1: its port tells it.
        const int from = source.isLoopback() && source.port == m_ports[0]   ? 0
                         : source.isLoopback() && source.port == m_ports[1] ? 1
                                                                            : -1;
        if (from < 0) {
            ++m_strangers;
            return;
        }
        if (chance(m_faults.loss)) {
            ++m_lost;
            return;
        }
        const uint16_t to = m_ports[1 - from];
        if (chance(m_faults.holdBack)) {
            ++m_heldBack;
            const int ms = std::uniform_int_distribution<int>(1, std::max(1, m_faults.holdMaxMs))(m_random);
            m_held.push_back({Clock::now() + std::chrono::milliseconds(ms), to, {data, data + length}});
            return;
        }
        send(to, data, length);
    }

    void run()
    {
        uint8_t buffer[2048];
        while (!m_stopping.load()) {
            int waitMs = 50;
            if (!m_held.empty()) {
                const auto first = std::min_element(m_held.begin(), m_held.end(),
                                                    [](const Held& a, const Held& b) { return a.due < b.due; });
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(first->due - Clock::now());
                waitMs = static_cast<int>(std::clamp<int64_t>(left.count(), 0, 50));
            }
            const platform::NetError waited = m_socket.waitReadable(waitMs);
            if (waited == platform::NetError::Shutdown)
                return;
            for (;;) {
                platform::NetAddress source;
                const int received = m_socket.receiveFrom(buffer, sizeof buffer, source);
                if (received < 0)
                    break;
                take(buffer, static_cast<std::size_t>(received), source);
            }
            const auto now = Clock::now();
            for (auto it = m_held.begin(); it != m_held.end();) {
                if (it->due > now) {
                    ++it;
                    continue;
                }
                send(it->to, it->bytes.data(), it->bytes.size());
                it = m_held.erase(it);
            }
        }
    }

    const uint16_t m_ports[2];
    const LinkFaults m_faults;
    std::mt19937 m_random;
    platform::UdpSocket m_socket;
    platform::Thread m_thread;
    uint16_t m_port = 0;
    std::vector<Held> m_held; // the link's thread only
    std::atomic<bool> m_stopping{false};
    std::atomic<uint64_t> m_forwarded{0};
    std::atomic<uint64_t> m_lost{0};
    std::atomic<uint64_t> m_heldBack{0};
    std::atomic<uint64_t> m_strangers{0};
};

} // namespace lumora::test
