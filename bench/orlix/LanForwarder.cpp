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
    std::vector<uint8_t> buffer(65536);
    for (;;) {
        platform::NetAddress source;
        const int length = m_socket.receiveFrom(buffer.data(), buffer.size(), source);
        if (length == static_cast<int>(platform::NetError::Shutdown))
            return;
        if (length < 0)
            continue;
        const platform::NetAddress from = source.unmapped();
        if (from.port == m_device.port) {
            if (m_haveClient)
                m_socket.sendTo(buffer.data(), static_cast<std::size_t>(length), m_client);
        } else {
            m_client = from;
            m_haveClient = true;
            m_socket.sendTo(buffer.data(), static_cast<std::size_t>(length), m_device);
        }
        m_forwarded.fetch_add(1, std::memory_order_relaxed);
    }
}

} // namespace orlixbench
