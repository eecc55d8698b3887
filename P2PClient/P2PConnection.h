// One session between this side and one remote device id, with 16 data channels: per-channel
// receive queues (DataList) that Orlix_Read drains, and per-channel send queues that count the bytes
// written and not yet acknowledged.
//
// Threads: exported calls (any thread, counted in at the client's ApiGate), the client's receive
// thread (state changes, appends, acknowledgements) and its housekeeping thread. state, error, role,
// relay state and connection type are atomics; the addresses, GUID, device id, server and deadlines
// are guarded by the session's lock.
#pragma once

#include "DataList.h"
#include "SystemAddress.h"
#include "Wakeup.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

class P2PClient;
struct ServerRecord;

// Session states.
enum SessionState : int32_t {
    kSessionFailed = 0,
    kSessionConnecting = 1,
    kSessionConnected = 2, // not yet used through the interface
    kSessionInUse = 4,
    kSessionClosed = 5,
};

// Relay states.
enum RelayState : int32_t {
    kRelayRequested = 0,
    kRelayNone = 1,
    kRelayKnown = 2,
};

inline constexpr int kChannelCount = 16;
// A channel's receive queue reached its limit although the link was held back: the session ends
// with this code (the link itself is sound).
inline constexpr int32_t kErrorQueueOverflow = -28;
// Milliseconds a relay request waits for the coordinator's answer.
inline constexpr uint64_t kRelayRequestMs = 25000;
// Milliseconds a direct connect on the local network has before a server route is used again.
inline constexpr uint64_t kLanConnectMs = 3000;
// Back-off of new attempts after "already joined" refusals: the first waits this long, each
// further one twice as long, up to the limit (ms).
inline constexpr uint64_t kRejoinFirstMs = 100;
inline constexpr uint64_t kRejoinLimitMs = 2000;

// Bytes written on a channel and not yet acknowledged, by receipt number.
class SendQueue {
public:
    // Records a write; called before the data is handed to the peer.
    void add(uint32_t receipt, uint32_t length);
    // Removes the newest record with that receipt; false when there is none.
    bool acknowledge(uint32_t receipt);
    void clear();
    uint32_t pending() const;

private:
    struct Record {
        uint32_t length;
        uint32_t receipt;
    };
    mutable std::mutex m_mutex;
    std::deque<Record> m_records;
    uint32_t m_pending = 0;
};

class P2PConnection {
public:
    P2PConnection(P2PClient& owner, int32_t handle, const std::string& deviceId);
    ~P2PConnection();
    P2PConnection(const P2PConnection&) = delete;
    P2PConnection& operator=(const P2PConnection&) = delete;

    int32_t handle() const { return m_handle; }
    int32_t state() const { return m_state.load(); }
    int32_t error() const { return m_error.load(); }
    int32_t role() const { return m_role.load(); }
    int32_t connectionType() const { return m_connectionType.load(); }
    int32_t relayState() const { return m_relayState.load(); }
    void setState(int32_t state, int32_t error)
    {
        m_state.store(state);
        m_error.store(error);
    }

    std::string deviceId() const;
    P2PNet::P2PNetGUID remoteGuid() const;
    P2PNet::SystemAddress remoteAddress() const;
    P2PNet::SystemAddress relayAddress() const;

    // State := state, error := error; remote address and GUID unassigned (the GUID is kept as
    // the failed link's), peer NAT type 5, role 2, queues cleared; waiting readers are woken.
    void fail(int32_t error, int32_t state);
    // Empties every receive and send queue; the queues remain.
    void clearQueues();
    // Wakes every reader now waiting on a channel.
    void wakeReaders();

    // The receive queue of a channel, created on first use; null without memory.
    DataList* receiveQueue(int channel);
    SendQueue* sendQueue(int channel);
    // Appends received bytes to a channel's queue; false when dropped. A queue that becomes full
    // holds the session's link back (see updateHold).
    bool deliver(int channel, const uint8_t* data, std::size_t length);
    // Brings the hold of the session's link in line with the full state of a channel's queue: the
    // link is held while any queue is full. Called by whoever changed that state.
    void updateHold(int channel);
    // Channels whose queue is full, one bit each.
    uint32_t fullChannels() const;
    // Bytes readable and pending on a channel (0 without a queue).
    uint32_t readableBytes(int channel);
    uint32_t pendingBytes(int channel);
    // Finds and removes the send record of a receipt in any channel; false when none.
    bool acknowledge(uint32_t receipt);

    // Turns a relay request whose deadline has passed back into "none".
    void expireRelayRequest(uint64_t nowMs);

private:
    friend class P2PClient;

    P2PClient& m_owner;
    const int32_t m_handle;

    mutable std::mutex m_mutex; // guards the fields up to m_deviceId
    P2PNet::SystemAddress m_remoteAddress;
    P2PNet::P2PNetGUID m_remoteGuid;
    ServerRecord* m_server = nullptr;
    P2PNet::SystemAddress m_punchedAddress;
    int32_t m_peerNatType = 5;
    uint64_t m_lookupDeadline = 0;
    P2PNet::SystemAddress m_relayAddress;
    uint64_t m_relayRequestDeadline = 0;
    uint64_t m_lanDeadline = 0;
    P2PNet::SystemAddress m_lanAddress;
    bool m_lanSearch = false;
    // The remote GUID a failure forgot while its peer link may still be up; the close or the
    // next connect of the session drops that link.
    P2PNet::P2PNetGUID m_failedLinkGuid;
    // "Already joined" back-off: no new attempt before m_rejoinAt; a refusal that came earlier
    // leaves its address for the housekeeping pass that finds the time come.
    uint64_t m_rejoinAt = 0;
    uint64_t m_rejoinDelayMs = 0;
    bool m_rejoinPending = false;
    P2PNet::SystemAddress m_rejoinAddress;
    std::string m_deviceId;

    std::atomic<int32_t> m_relayState{kRelayNone};
    std::atomic<int32_t> m_connectionType{1};
    std::atomic<int32_t> m_state{kSessionFailed};
    std::atomic<int32_t> m_role{2};
    std::atomic<int32_t> m_error{-1};

    // Connect wait: released by the hello, an accepted answer, a failure, a break, a close.
    Wakeup m_connectWakeup;
    // Taken while the connect wait turns the session to in use.
    std::mutex m_useMutex;

    // Holding the link back while queues are full. Taken before m_mutex, never after it.
    mutable std::mutex m_holdMutex;
    uint32_t m_fullChannels = 0;
    P2PNet::PeerTarget m_heldLink; // the link held, while m_fullChannels is not 0

    std::mutex m_queuesMutex; // guards creation of the queues, not their contents
    std::array<std::unique_ptr<DataList>, kChannelCount> m_receive;
    std::array<std::unique_ptr<SendQueue>, kChannelCount> m_send;
};
