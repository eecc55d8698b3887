// The receiver of socket events: a socket's receive thread asks it for empty buffers and hands
// every datagram to it. The peer and the NAT type detection client implement it.
#pragma once

#include "SystemAddress.h"

#include <cstdint>

namespace P2PNet {

class P2PNetSocket2;

// One received datagram, lent by a SocketEventHandler to a socket's receive thread.
struct RecvBuffer {
    // Largest datagram taken; longer ones are dropped by the socket.
    static constexpr int kMaxDatagram = 1472;

    char data[kMaxDatagram];
    int32_t byteCount = 0;
    // Sender, with debugPort set and systemIndex unknown.
    SystemAddress source;
    // Arrival on the peer clock (NowMicros, microseconds).
    uint64_t arrivalMicros = 0;
    // The socket it came through; not owned.
    P2PNetSocket2* socket = nullptr;
};

// All three operations run on the socket's receive thread; an implementation shared by several
// sockets must lock what they touch. The handler must outlive every socket that uses it, up to
// the end of that socket's StopReceiving.
class SocketEventHandler {
public:
    virtual ~SocketEventHandler();

    // A filled buffer (byteCount > 0); the handler takes it over. The default frees it.
    virtual void OnDatagram(RecvBuffer* buffer);
    // Several filled buffers taken in one receive, in arrival order; the handler takes them all
    // over. The default hands each to OnDatagram.
    virtual void OnDatagrams(RecvBuffer* const* buffers, int count);
    // A buffer given back without data (a failed or empty receive). The default frees it.
    virtual void ReturnBuffer(RecvBuffer* buffer);
    // An empty buffer for the next receive, or null when none can be had now (the socket asks
    // again shortly). The default allocates one.
    virtual RecvBuffer* TakeBuffer();
};

} // namespace P2PNet
