#include "OutgoingBatch.h"

#include "PlatformSocket.h"

namespace P2PNet {

void OutgoingBatch::Add(PlatformSocket* socket, const SystemAddress& target, const uint8_t* data, uint32_t length)
{
    const std::size_t offset = m_bytes.size();
    m_bytes.insert(m_bytes.end(), data, data + length);
    m_datagrams.push_back(Datagram{socket, target, offset, length});
    if (m_datagrams.size() >= kLimit)
        Flush();
}

void OutgoingBatch::Flush()
{
    std::size_t first = 0;
    while (first < m_datagrams.size()) {
        PlatformSocket* socket = m_datagrams[first].socket;
        m_scratch.clear();
        std::size_t next = first;
        for (; next < m_datagrams.size() && m_datagrams[next].socket == socket; ++next) {
            const Datagram& d = m_datagrams[next];
            DatagramOut out;
            out.data = reinterpret_cast<const char*>(m_bytes.data() + d.offset);
            out.length = static_cast<int32_t>(d.length);
            out.target = d.target;
            m_scratch.push_back(out);
        }
        socket->SendDatagrams(m_scratch.data(), static_cast<int>(m_scratch.size()));
        first = next;
    }
    m_datagrams.clear();
    m_bytes.clear();
}

} // namespace P2PNet
