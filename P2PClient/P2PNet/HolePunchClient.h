// NAT punch-through, client side: a peer plugin that opens a direct UDP path to another peer
// behind a NAT with the help of a facilitator (a server both peers are connected to). The
// facilitator tells both sides, for the same moment, the other side's external and internal
// addresses; both then send small out-of-band datagrams at each other on a fixed schedule until
// one gets through. Results reach the application as local packets:
//   [ID_PUNCH_SUCCEEDED][u8 weAreSender]  source = the target's address as reached, its GUID
//   [ID_PUNCH_FAILED][u8 weAreSender]     source = the target's external address, its GUID
// and as the facilitator's failure messages ID_PUNCH_TARGET_NOT_CONNECTED / _UNRESPONSIVE / _LOST,
// which are passed on after the attempt they name is dropped.
//
// Wire layouts (numbers big-endian, addresses in their bit-stream form):
//   58  to the facilitator        [58][u64 target GUID]
//   59  from the facilitator      [27][u64 start time][59][u16 session id][address target external]
//                                 [u8 n][n x address target internal][u64 target GUID][bit weAreSender]
//   60  facilitator asks          [60][u16 session id]
//       we answer                 [60][u16 session id][u16 predicted external port]
//   13  out of band, peer to peer [oob header][u8 0 or 1][u16 session id][u16 port it was sent to]
//   13  out of band, facilitator  [oob header][u8 11][u16 first external port][u16 second]
//   13  out of band, port report  [oob header][u8 10][u16 our external port as that system sees it]
//   62  facilitator               [62][u64 target GUID]
//   63, 64 facilitator            [63 or 64][u64 target GUID][u16 session id]
//   65  facilitator               [65][u64 target GUID]
//   126 facilitator               [126][u8 n][n x address]  (n < 2: port stride not measurable)
//
// Threads: everything runs on the thread that calls the peer's Receive (Tick and OfferMessage),
// except RequestPunch, which only queues a send and may be called from any thread.
#pragma once

#include "Packet.h"
#include "PeerPlugin.h"
#include "PunchDebugPrinter.h"
#include "SystemAddress.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace P2PNet {

class BitStream;

enum PunchMessageId : uint8_t {
    ID_PUNCH_REQUEST = 58,
    ID_PUNCH_CONNECT_AT_TIME = 59,
    ID_PUNCH_GET_RECENT_PORT = 60,
    ID_PUNCH_TARGET_NOT_CONNECTED = 62,
    ID_PUNCH_TARGET_UNRESPONSIVE = 63,
    ID_PUNCH_TARGET_LOST = 64,
    ID_PUNCH_IN_PROGRESS = 65,
    ID_PUNCH_FAILED = 66,
    ID_PUNCH_SUCCEEDED = 67,
    ID_PUNCH_PORT_TEST = 126,
};

// The byte after the out-of-band header of punch datagrams.
enum PunchOutOfBandSub : uint8_t {
    kPunchUnidirectional = 0,
    kPunchBidirectional = 1,
    kPunchPortReport = 10,
    kPunchPortStride = 11,
};

// The schedule of one attempt. Times in milliseconds.
struct PunchConfig {
    uint64_t internalSendIntervalMs = 15;  // between sends to one internal address
    uint64_t externalSendIntervalMs = 50;  // between sends to one external port
    int sendsPerInternalAddress = 2;
    int sendsPerExternalPort = 8;
    int64_t waitAfterInternalMs = 30;      // 0 or less: go on to the external tests at once
    int maxExternalPortOffset = 2;         // ports tried: the external port + 0 .. this
    uint64_t waitAfterTtlMs = 100;         // after the TTL-2 datagram of a port
    uint64_t waitAfterPortMs = 200;        // after the last send to a port (and every 8th fixed-port send)
    uint64_t waitAfterAllAttemptsMs = 200; // before the attempt is declared failed
    int maxInternalAddresses = 10;         // at most 10
    bool retryOnFailure = true;            // one more attempt through the facilitator
};

class HolePunchClient : public PeerPlugin {
public:
    static constexpr int kMaxInternalAddresses = 10;

    // Attempt states, named as the trace texts name them. 3, 4 and 5 are never entered.
    enum class AttemptState : int {
        PROBING_INTERNAL = 0,
        AWAITING_INTERNAL_ANSWER = 1,
        PROBING_EXTERNAL_SAME_TO_SAME = 2,
        PROBING_EXTERNAL_1024_TO_SAME = 3,
        PROBING_EXTERNAL_SAME_TO_1024 = 4,
        PROBING_EXTERNAL_1024_TO_1024 = 5,
        AFTER_ALL_ATTEMPTS = 6,
        PUNCHING_FIXED_PORT = 7,
    };

    // Port-stride knowledge.
    enum class StrideState : int { Known = 0, Unknown = 1, NotMeasurable = 3 };

    HolePunchClient();
    explicit HolePunchClient(const PunchConfig& config);
    ~HolePunchClient() override;

    // Null: no texts. The sink must outlive this client or be replaced first.
    void SetDebugSink(PunchDebugSink* sink) { m_debugSink = sink; }

    // Asks the facilitator (a connected system) to arrange a punch to target: sends
    // [58][u64 target GUID]. False when not attached or the send was refused.
    bool RequestPunch(const P2PNetGUID& target, const SystemAddress& facilitator);

    // Read-only views for tests and traces. The attempt and list sizes are consistent only on the
    // Receive thread, or while no punch is under way.
    std::size_t AttemptCount() const { return m_attempts.size(); }
    std::size_t FailedOnceCount() const { return m_failedOnce.size(); }
    uint16_t MostRecentExternalPort() const { return m_mostRecentExternalPort; }
    uint16_t PortStride() const { return m_portStride; }
    StrideState GetStrideState() const { return m_strideState; }
    // Messages of the punch protocol that were too short or inconsistent and were dropped.
    // Any thread.
    uint64_t MalformedCount() const { return m_malformed.load(std::memory_order_relaxed); }

    void Tick() override;
    PluginVerdict OfferMessage(Packet* packet) override;
    void PeerStopping() override;
    void LinkEnded(const SystemAddress& address, P2PNetGUID guid, int reason) override;
    void OnNewConnection(const SystemAddress& address, P2PNetGUID guid, bool incoming) override;

private:
    struct Attempt {
        uint64_t nextActionTimeMs = 0;  // 0 = inactive
        SystemAddress targetExternal;
        SystemAddress facilitator;      // recorded when it asks for our predicted port
        SystemAddress targetInternal[kMaxInternalAddresses];
        P2PNetGUID targetGuid;
        bool weAreSender = false;
        int portIndex = 0;              // external port offset or internal-address index
        int sendCount = 0;
        int fixedPortTotal = 0;         // sends allowed in PUNCHING_FIXED_PORT
        uint16_t sessionId = 0;
        bool sentTtl = false;
        AttemptState state = AttemptState::PROBING_INTERNAL;
    };
    struct FailedOnce {
        SystemAddress facilitator;
        P2PNetGUID targetGuid;
    };

    // One step of an attempt whose time has come. False when the attempt is finished and must
    // be removed.
    bool Step(Attempt& attempt);
    void OnConnectAtTime(Packet* packet);
    PluginVerdict OnOutOfBand(Packet* packet);
    void OnUnidirectional(Attempt& attempt, const Packet* packet);
    void OnBidirectional(std::size_t attemptIndex, const Packet* packet, uint16_t port);
    void OnGetMostRecentPort(Packet* packet);
    void OnFacilitatorFailure(Packet* packet);
    void OnInProgress(Packet* packet);
    void OnPortTest(Packet* packet);
    void OnConnectedTo(const P2PNetGUID& guid);
    // Attempt failure after AFTER_ALL_ATTEMPTS: retry through the facilitator or report 66.
    void FailAttempt(const Attempt& attempt);

    void SendPunchDatagram(const SystemAddress& to, uint8_t sub, uint16_t sessionId, uint16_t port);
    void PushResult(uint8_t id, const SystemAddress& address, const P2PNetGUID& guid, bool weAreSender);
    bool SendPunchRequest(const P2PNetGUID& target, const SystemAddress& facilitator);
    bool IsConnectedTo(const SystemAddress& address);
    int FindAttemptByGuid(const P2PNetGUID& guid) const;
    int FindAttemptBySession(uint16_t sessionId, const P2PNetGUID& guid) const;
    int FindFailedOnce(const P2PNetGUID& guid) const;
    void Print(const char* format, ...) __attribute__((format(printf, 2, 3)));

    PunchConfig m_config;
    PunchDebugSink* m_debugSink = nullptr;

    // Receive thread only.
    std::vector<Attempt> m_attempts;
    std::vector<FailedOnce> m_failedOnce;
    uint16_t m_mostRecentExternalPort = 0;  // 0 = not known
    uint16_t m_portStride = 0;
    StrideState m_strideState = StrideState::Unknown;
    std::atomic<uint64_t> m_malformed{0};
};

} // namespace P2PNet
