#include "LanForwarder.h"

#include <vector>

namespace orlixbench {

bool LanForwarder::start(uint16_t searchPort, uint16_t devicePort, std::string& error)
{
    const platform::NetError bound = m_socket.openAndBind("127.0.0.1", searchPort, platform::AddressFamily::IPv4);
    if (bound != platform::NetError::None) {
        error = "cannot bind 127.0.0.1:" + std::to_string(searchPort) + " (error " +
                std::to_string(static_cast<int>(bound)) + ")";
        return false;
    }
    m_socket.setReceiveBufferSize(4 << 20);
    m_socket.setSendBufferSize(4 << 20);
    m_device = platform::NetAddress::ipv4Loopback(devicePort);
    if (!m_thread.start([this] { run(); }, 0, "lan-forwarder")) {
        error = "no forwarding thread";
        m_socket.close();
        return false;
    }
    return true;
}

void LanForwarder::stop()
{
    if (!m_thread.running())
        return;
    m_socket.shutdownReceive();
    m_thread.join();
    m_socket.close();
}

void LanForwarder::run()
{
    // Whole bursts per system call each way: a datagram at a time, the forwarder and not the
    // session was what the direct path measured.
    constexpr int kBatch = 64;
    constexpr std::size_t kDatagramBytes = 2048;
    std::vector<uint8_t> storage(kBatch * kDatagramBytes);
    platform::ReceiveSlot slots[kBatch];
    platform::BatchDatagram out[kBatch];
    for (;;) {
        for (int i = 0; i < kBatch; ++i)
            slots[i] = platform::ReceiveSlot{storage.data() + static_cast<std::size_t>(i) * kDatagramBytes,
                                             kDatagramBytes, 0, {}, false};
        const int received = m_socket.receiveBatch(slots, kBatch);
        if (received == static_cast<int>(platform::NetError::Shutdown))
            return;
        if (received <= 0)
            continue;
        int count = 0;
        for (int i = 0; i < received; ++i) {
            const platform::NetAddress from = slots[i].source.unmapped();
            platform::NetAddress target;
            if (from.port == m_device.port) {
                if (!m_haveClient)
                    continue;
                target = m_client;
            } else {
                m_client = from;
                m_haveClient = true;
                target = m_device;
            }
            out[count++] = platform::BatchDatagram{slots[i].buffer, static_cast<std::size_t>(slots[i].length), target};
        }
        if (count > 0)
            m_socket.sendBatch(out, count);
        m_forwarded.fetch_add(static_cast<uint64_t>(count), std::memory_order_relaxed);
    }
}

} // namespace orlixbench
