// The Berkeley-style UDP socket of the peer: one system socket (platform::UdpSocket) bound to one
// local address and port, with its own receive thread that hands every datagram to a
// SocketEventHandler. PlatformSocket adds binding and sending.
#pragma once

#include "P2PNetSocket2.h"
#include "PlatformThread.h"
#include "SocketEventHandler.h"
#include "SystemAddress.h"
#include "UdpSocket.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace P2PNet {

// Interface base of the Berkeley-style socket.
class ISocketBase {
public:
    virtual ~ISocketBase() = default;
};

// What to bind, filled by the peer from its SocketSpec.
struct BindRequest {
    uint16_t port = 0;  // host order; 0 = a port the system chooses
    // Numeric host text; empty or "UNASSIGNED_SYSTEM_ADDRESS" (any case) = the any-address.
    std::string hostAddress;
    uint16_t addressFamily = 0;  // 2 IPv4, 23 IPv6 (dual-stack), 0 either
    int32_t socketType = 2;      // datagram; nothing else is supported
    int32_t protocol = 0;        // 0 or 17 (UDP)
    uint8_t nonBlocking = 0;
    int32_t broadcast = 1;
    int32_t headerInclude = 0;  // not supported for datagram sockets; ignored
    int32_t doNotFragment = 0;  // not applied: don't-fragment is chosen per datagram (DatagramOut)
    int32_t receiveThreadPriority = 0;  // kept; threads run at the default priority
    SocketEventHandler* eventHandler = nullptr;  // not owned; must outlive the receive thread
    uint16_t remotePort = 0;  // not applied
};

// Conversions between the peer's addresses and the platform layer's. Ports travel in host order;
// flow information and scope id are kept; debugPort is set and systemIndex is unknown.
platform::NetAddress ToNetAddress(const SystemAddress& address);
SystemAddress FromNetAddress(const platform::NetAddress& address);

// Entries of the host-address table filled by ListHostAddresses.
constexpr int kHostAddressTableSize = 10;

class BsdSocket : public ISocketBase, public P2PNetSocket2 {
public:
    // Stack of the receive thread.
    static constexpr std::size_t kReceiveThreadStackSize = 2u * 1024u * 1024u;
    // Datagrams taken with one system call at most.
    static constexpr int kReceiveBatch = 32;

    BsdSocket();
    // Stops and joins the receive thread, then closes the socket.
    ~BsdSocket() override;

    // Binds the socket as the request says; see PlatformSocket::Bind.
    virtual int Bind(const BindRequest& request) = 0;

    // Starts the receive thread (kReceiveThreadStackSize stack) that runs ReceiveLoop. False when
    // the socket is not bound, has no event handler, was stopped, or the thread runs already or
    // cannot be created.
    bool StartReceiving();
    // Thread body: receives until StopReceiving. Runs on the thread StartReceiving made; whoever
    // runs it on a thread of their own must join that thread before deleting the socket.
    void ReceiveLoop();
    // Sets the stop flag, wakes a blocked receive and waits until no receive thread runs. Any
    // thread but the receive thread itself; idempotent. The socket cannot receive again.
    void StopReceiving();
    // Receive loops running now.
    int GetReceiveThreadCount() const { return m_receiveThreads.load(); }
    // A receive thread was started and not yet joined, or a loop runs.
    bool IsReceiving() const { return m_receiveThread.running() || m_receiveThreads.load() > 0; }

    bool IsBound() const { return m_socket.isOpen(); }
    bool IsNonBlocking() const { return m_nonBlocking; }
    // The request of the last successful Bind.
    const BindRequest& GetBindRequest() const { return m_bindRequest; }
    // Optional hook offered every datagram before it is sent; not owned, null to remove. Set it
    // before sending starts.
    void SetDatagramHook(DatagramHook* hook) { m_datagramHook = hook; }
    DatagramHook* GetDatagramHook() const { return m_datagramHook; }

    // Fills table[0..kHostAddressTableSize) with the host's own numeric addresses (port 0) in the
    // order the system gives them; entries after the last address become
    // UNASSIGNED_SYSTEM_ADDRESS. When the addresses cannot be had the table is left as it was.
    // Logs its steps as debug lines.
    static void ListHostAddresses(SystemAddress* table);

protected:
    platform::UdpSocket m_socket;
    // Owner thread only (Bind); read by the receive thread once it runs.
    SocketEventHandler* m_eventHandler = nullptr;
    bool m_nonBlocking = false;
    BindRequest m_bindRequest;
    DatagramHook* m_datagramHook = nullptr;

private:
    std::atomic<int> m_receiveThreads{0};
    // Signalled (under m_receiveThreadsMutex) when a receive loop leaves.
    std::mutex m_receiveThreadsMutex;
    std::condition_variable m_receiveThreadsLeft;
    std::atomic<bool> m_stop{false};
    platform::Thread m_receiveThread;
};

} // namespace P2PNet
