// A LAN neighbour that answers the search probe with many made-up cameras: it listens on the port
// the cameras answer on and, for each probe, sends `answersPerProbe` answers, each with a new MAC
// and UID, to the address the probe came from. Loopback only, like the cameras of the fixture.
#pragma once

#include "UdpSocket.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace frametest {

class LanSpoofer {
public:
    LanSpoofer(int port, int answersPerProbe) : m_answers(answersPerProbe)
    {
        m_ok = m_socket.open(platform::AddressFamily::IPv4) == platform::NetError::None &&
               m_socket.setReuseAddress(true) == platform::NetError::None &&
               m_socket.bind(platform::NetAddress::ipv4Any(static_cast<uint16_t>(port))) == platform::NetError::None;
        if (m_ok)
            m_thread = std::thread([this] { run(); });
    }
    ~LanSpoofer()
    {
        m_socket.shutdownReceive();
        if (m_thread.joinable())
            m_thread.join();
    }
    LanSpoofer(const LanSpoofer&) = delete;
    LanSpoofer& operator=(const LanSpoofer&) = delete;

    bool ok() const { return m_ok; }
    int sent() const { return m_sent.load(); }
    static bool isSpoofedUid(const QString& uid) { return uid.startsWith(QStringLiteral("SPOOF")); }

private:
    void run()
    {
        char probe[64];
        for (;;) {
            platform::NetAddress from;
            const int n = m_socket.receiveFrom(probe, sizeof probe, from);
            if (n == static_cast<int>(platform::NetError::Shutdown))
                return;
            if (n != 4 || probe[0] != 0x44 || probe[1] != 0x48 || probe[2] != 0x01 || probe[3] != 0x01)
                continue;
            for (int i = 0; i < m_answers; ++i) {
                const unsigned id = m_next++;
                std::vector<char> answer(4 + 168 + 32, 0);
                answer[0] = 0x44;
                answer[1] = 0x48;
                answer[2] = 0x01;
                answer[3] = 0x02;
                std::strncpy(answer.data() + 4, "127.0.0.1", 79);
                const unsigned char mac[6] = {0x0a, 0xbb, static_cast<unsigned char>(id >> 24), static_cast<unsigned char>(id >> 16),
                                              static_cast<unsigned char>(id >> 8), static_cast<unsigned char>(id)};
                std::memcpy(answer.data() + 4 + 80, mac, 6);
                std::snprintf(answer.data() + 4 + 88, 64, "SPOOF%08u", id);
                std::strncpy(answer.data() + 4 + 152, "HW", 15);
                std::strncpy(answer.data() + 4 + 168, "SW", 31);
                if (m_socket.sendTo(answer.data(), answer.size(), from) > 0)
                    ++m_sent;
            }
        }
    }

    platform::UdpSocket m_socket;
    int m_answers;
    unsigned m_next = 1;
    bool m_ok = false;
    std::atomic<int> m_sent{0};
    std::thread m_thread;
};

} // namespace frametest
