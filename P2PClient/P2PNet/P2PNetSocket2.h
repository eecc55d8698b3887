// Base of the peer's sockets: what the peer reads from any socket (its kind, the socket
// description (SocketSpec) it was opened from, its bound address) and the one way to send a datagram.
#pragma once

#include "SystemAddress.h"

#include <cstdint>

namespace P2PNet {

// One datagram to send.
struct DatagramOut {
    const char* data = nullptr;
    int32_t length = 0;
    SystemAddress target;
    // > 0: the TTL (IPv4) or hop limit (IPv6) of this datagram only; 0 or less leaves the
    // socket's own.
    int32_t ttl = 0;
    // Sets don't-fragment on this datagram only.
    bool dontFragment = false;
};

// Takes over sending for a socket: offered every datagram before it reaches the system.
// Called on whichever thread sends; must not block.
class DatagramHook {
public:
    virtual ~DatagramHook() = default;
    // 0 or more: the datagram is handled and this is the send result; negative: send it as usual.
    virtual int OnSendDatagram(const char* data, int length, const SystemAddress& target) = 0;
};

// Kind codes of a socket. The peer marks its sockets kPeerSocketKind; its loops skip sockets of
// kind 0 (none set) or kClosedSocketKind.
constexpr uint8_t kNoSocketKind = 0;
constexpr uint8_t kClosedSocketKind = 3;
constexpr uint8_t kPeerSocketKind = 7;

class P2PNetSocket2 {
public:
    P2PNetSocket2() = default;
    virtual ~P2PNetSocket2();
    P2PNetSocket2(const P2PNetSocket2&) = delete;
    P2PNetSocket2& operator=(const P2PNetSocket2&) = delete;

    // Sends one datagram; returns the byte count sent or a negative value. Any thread.
    virtual int SendDatagram(const DatagramOut& datagram) = 0;

    uint8_t GetSocketKind() const { return m_socketKind; }
    void SetSocketKind(uint8_t kind) { m_socketKind = kind; }
    // Index of the SocketSpec entry this socket was opened for.
    unsigned GetUserIndex() const { return m_userIndex; }
    void SetUserIndex(unsigned index) { m_userIndex = index; }
    // Where others reach this socket: the any-address is reported as loopback (127.0.0.1 or ::1)
    // with the bound port. Unassigned before a successful bind. Written only by Bind.
    const SystemAddress& GetBoundAddress() const { return m_boundAddress; }

protected:
    uint8_t m_socketKind = kNoSocketKind;
    unsigned m_userIndex = 0;
    SystemAddress m_boundAddress = UNASSIGNED_SYSTEM_ADDRESS;
};

} // namespace P2PNet
