// NAT type detection, client side: a peer plugin that, while a detection server is set, answers
// the server's test requests and turns the server's verdict into a local packet
// [ID_NAT_TYPE_RESULT][u8 NAT type][0] for the application. It is also the event handler of a test
// socket of its own, through which the server (or a system it asks) can show that unsolicited
// datagrams reach us: a 1-byte datagram holding 0 on that socket means NAT type 0.
//
// With no server set (the state after construction, and after every test) the plugin passes
// every packet on untouched.
//
// Wire layouts (numbers big-endian, addresses in their bit-stream form):
//   97  from the server          [97][address A][address B]             test request
//   97  to A, out of band        [oob header][97][u8 3][address B]      sent through socket 0
//   97  to the server            [97][bit 0]                            the test is over
//   98  from the server          [98][u8 NAT type], or out of band [oob header][2 or 98][u8 type]
//   97  to the server            [97][bit 1][u16 test socket port]      start request (StartDetection)
//
// Threads: Tick and OfferMessage run on the thread that calls the peer's Receive; the test
// socket's receive thread only queues buffers; StartDetection and EndDetection may be called from
// any thread.
#pragma once

#include "Packet.h"
#include "PeerPlugin.h"
#include "SocketEventHandler.h"
#include "SystemAddress.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace P2PNet {

class PlatformSocket;

enum NatTypeMessageId : uint8_t {
    ID_NAT_TYPE_TEST = 97,
    ID_NAT_TYPE_RESULT = 98,
};

// The byte after ID_NAT_TYPE_TEST in the out-of-band datagram sent to a test address.
constexpr uint8_t kNatTypeTestForward = 3;
// NAT type reported when the test socket is reached from outside.
constexpr uint8_t kNatTypeReachable = 0;
// NAT type after which the server is not told that the test is over.
constexpr uint8_t kNatTypeNoEndNotice = 4;

class NatTypeDetectionClient : public PeerPlugin, public SocketEventHandler {
public:
    NatTypeDetectionClient();
    ~NatTypeDetectionClient() override;

    // Starts a detection with a server this peer is connected to: binds a test socket on a
    // system-chosen port of the peer's family, sets the server and sends it the start request.
    // False (nothing changed) when not attached, the peer is not running, the server is
    // unassigned, a detection is already running or the socket cannot be bound.
    bool StartDetection(const SystemAddress& server);
    // Ends a running detection as a verdict would, without a result packet. Any thread.
    void EndDetection();
    bool IsDetecting() const;
    // Where the test socket can be reached; unassigned when no detection runs.
    SystemAddress GetTestSocketAddress() const;
    // Test requests and verdicts that were too short and were dropped.
    uint64_t MalformedCount() const { return m_malformed.load(std::memory_order_relaxed); }

    void Tick() override;
    PluginVerdict OfferMessage(Packet* packet) override;
    void PeerStopping() override;
    void LinkEnded(const SystemAddress& address, P2PNetGUID guid, int reason) override;

    // SocketEventHandler, on the test socket's receive thread.
    void OnDatagram(RecvBuffer* buffer) override;
    void ReturnBuffer(RecvBuffer* buffer) override;
    RecvBuffer* TakeBuffer() override;

private:
    // Pushes the local verdict packet, tells the server unless the type says not to, ends the test.
    void Report(uint8_t natType);
    void ForwardTestRequest(Packet* packet);
    // Clears the server, stops and deletes the test socket, frees queued buffers. Takes m_stateLock.
    void EndTest();

    // Guards m_server and m_testSocket against StartDetection / EndDetection on other threads.
    // Never taken by the socket's receive thread, so EndTest may wait for that thread under it.
    mutable std::recursive_mutex m_stateLock;
    SystemAddress m_server = UNASSIGNED_SYSTEM_ADDRESS;
    std::unique_ptr<PlatformSocket> m_testSocket;

    // Buffers the test socket delivered; its receive thread appends, Tick takes.
    std::mutex m_queueLock;
    std::vector<std::unique_ptr<RecvBuffer>> m_received;

    std::atomic<uint64_t> m_malformed{0};
};

} // namespace P2PNet
