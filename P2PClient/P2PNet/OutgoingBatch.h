// The datagrams the reliability layers write during an update round, collected and sent together:
// one send call per run of datagrams through the same socket, in order, at kLimit datagrams and at
// the round's end.
//
// No lock of its own: only the thread running an update round uses it, under the peer's
// m_roundLock.
#pragma once

#include "P2PNetSocket2.h"
#include "SystemAddress.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace P2PNet {

class PlatformSocket;

class OutgoingBatch {
public:
    static constexpr std::size_t kLimit = 64;

    // Keeps a copy of data for target through socket; sends the batch once it holds kLimit.
    void Add(PlatformSocket* socket, const SystemAddress& target, const uint8_t* data, uint32_t length);
    // Sends everything collected.
    void Flush();

private:
    struct Datagram {
        PlatformSocket* socket;
        SystemAddress target;
        std::size_t offset;  // into m_bytes
        uint32_t length;
    };

    std::vector<Datagram> m_datagrams;
    std::vector<uint8_t> m_bytes;
    std::vector<DatagramOut> m_scratch;
};

} // namespace P2PNet
