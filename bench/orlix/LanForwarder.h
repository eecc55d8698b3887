// Makes a device that bound an ephemeral port answer the local-network search on loopback: the
// search of a loopback-only client reaches 127.0.0.1 at the search port only, so this binds that
// port and forwards datagrams between the device and whoever else writes to it (the searching
// client). The client then connects to the search port and the whole session runs through here:
// one extra loopback hop in each direction.
//
// Threads: one forwarding thread; start and stop belong to the owner.
#pragma once

#include "PlatformThread.h"
#include "UdpSocket.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace orlixbench {

class LanForwarder {
public:
    LanForwarder() = default;
    ~LanForwarder() { stop(); }
    LanForwarder(const LanForwarder&) = delete;
    LanForwarder& operator=(const LanForwarder&) = delete;

    // Binds 127.0.0.1:searchPort and forwards to the device at 127.0.0.1:devicePort.
    bool start(uint16_t searchPort, uint16_t devicePort, std::string& error);
    void stop();

    uint64_t forwarded() const { return m_forwarded.load(); }

private:
    void run();

    platform::UdpSocket m_socket;
    platform::Thread m_thread;
    platform::NetAddress m_device;
    // Forwarding thread only.
    platform::NetAddress m_client;
    bool m_haveClient = false;
    std::atomic<uint64_t> m_forwarded{0};
};

} // namespace orlixbench
