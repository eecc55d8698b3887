// The socket the peer creates: binding (with the self-test send) and sending over the platform
// UDP socket.
#pragma once

#include "BsdSocket.h"

#include <memory>

namespace P2PNet {

// Results of PlatformSocket::Bind.
enum class BindResult : int {
    Bound = 0,
    BadRequest = 1,        // not a datagram socket, unknown protocol, or no event handler
    NoAddress = 2,         // no address of the lookup could be bound (both tries)
    CannotSendToSelf = 3,  // bound, but the 4-byte test datagram to itself could not be sent
};

// Socket settings applied after every successful bind.
class SocketPlatformMixin {
public:
    static constexpr int kReceiveBufferBytes = 2 * 1024 * 1024;
    static constexpr int kSendBufferBytes = 16384;
    // Pause between the two bind tries, milliseconds.
    static constexpr uint32_t kBindRetryDelayMs = 100;

protected:
    // Receive buffer, linger off, send buffer, non-blocking and broadcast as requested. Failures
    // of these options do not fail the bind.
    static void ApplySocketOptions(platform::UdpSocket& socket, const BindRequest& request);
    // The address others reach a socket bound to `local` at: the any-address and IPv4-mapped
    // addresses of an IPv6 socket become ::1, the IPv4 any-address 127.0.0.1; the port is kept.
    static SystemAddress ReachableBoundAddress(const platform::NetAddress& local);
};

class PlatformSocket : public BsdSocket, public SocketPlatformMixin {
public:
    PlatformSocket();
    ~PlatformSocket() override;

    // Sends one datagram, on the calling thread. The target is first fitted to the socket's
    // family (an IPv4-mapped target on an IPv4 socket, an IPv4 target on an IPv6 socket); then
    // the datagram hook, when set, may take it; else it goes to the system with the datagram's
    // own TTL and don't-fragment setting. Returns the byte count or a negative platform::NetError.
    int SendDatagram(const DatagramOut& datagram) override;
    // Sends several datagrams in order, as few system calls as the system allows (one by one
    // through SendDatagram while a datagram hook is installed). Returns the number sent.
    int SendDatagrams(const DatagramOut* datagrams, int count);

    // Binds as the request says (see BindRequest), sets the socket options and the bound address
    // and sends a 4-byte datagram of zeros to itself, which the receive thread will hand to the
    // event handler. A NoAddress try is repeated once after kBindRetryDelayMs. Returns a
    // BindResult as int. Owner thread, before StartReceiving.
    int Bind(const BindRequest& request) override;

private:
    BindResult BindOnce(const BindRequest& request);
};

// The factory the peer creates its sockets with.
std::unique_ptr<PlatformSocket> CreatePlatformSocket();

} // namespace P2PNet
