// The relay client: the peer plug-in that asks a relay coordinator (a rendezvous server) for a
// UDP forwarding to a target that neither a direct route nor punch-through can reach, pings the
// proxy servers the coordinator lists and reports their round-trip times, and hands the
// coordinator's answers to a RelayResultHandler.
//
// Messages (id 92, then a sub-command byte):
//   6  to the coordinator:   [source][1 bit 0][u64 target GUID][u32 time-out ms][1 bit 0]
//   7  from the coordinator: [source][target][u64 target GUID][u16 n][n x proxy address]
//   8  to the coordinator:   [source][target][u16 n][n x ([proxy address][u16 round trip ms])]
//   0, 1, 5 from the coordinator: [source][target][u64 target GUID][string proxy text][u16 port]
//   2, 3, 4 from the coordinator: [source][target][u64 target GUID]
//
// Answers 0, 2, 3, 4, 5 and the ping request 7 are taken only from the coordinator this side
// asked, for the target it asked about, while that request is outstanding (25 s): a peer cannot
// redirect this side's traffic to a proxy of its choosing or make it ping addresses unasked.
// The notice 1 (the other side was granted a forwarding towards this side) is unsolicited by
// nature and is taken from any connected system.
//
// Threads: every operation runs on the thread that calls the peer's Receive (the plug-in hooks)
// except RequestRelay, which may be called from any thread; the request list has its own lock.
#pragma once

#include "P2PPeerInterface.h"
#include "PeerPlugin.h"
#include "SystemAddress.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace P2PNet {

class RelayClient;

// Why the coordinator could not arrange a forwarding; the values are the sub-commands.
enum class RelayFailure : uint8_t {
    NoServerOnline = 2,     // no proxy server online
    TargetNotConnected = 3, // the target is not connected to the coordinator
    AllServersBusy = 4,     // every proxy server is busy
};

// Result callbacks of the relay client; called on the thread that calls the peer's Receive.
// proxyText is the proxy's numeric host text, proxyPort its host-order port.
class RelayResultHandler {
public:
    virtual ~RelayResultHandler() = default;
    // Forwarding granted (92/0): connect to the proxy.
    virtual void OnRelayReady(const char* proxyText, uint16_t proxyPort, const SystemAddress& source,
                              const SystemAddress& target, const P2PNetGUID& targetGuid,
                              RelayClient* client) = 0;
    // The other side was granted a forwarding towards this side (92/1).
    virtual void OnRelayNotice(const char* proxyText, uint16_t proxyPort, const SystemAddress& source,
                               const SystemAddress& target, const P2PNetGUID& targetGuid,
                               RelayClient* client) = 0;
    // The coordinator could not arrange a forwarding (92/2, 92/3, 92/4).
    virtual void OnRelayFailed(RelayFailure reason, const SystemAddress& source, const SystemAddress& target,
                               const P2PNetGUID& targetGuid, RelayClient* client) = 0;
    // A forwarding for this pair is already in progress (92/5).
    virtual void OnRelayPending(const char* proxyText, uint16_t proxyPort, const SystemAddress& source,
                                const SystemAddress& target, const P2PNetGUID& targetGuid,
                                RelayClient* client) = 0;
};

// Sub-commands of the relay message.
enum class RelayMessage : uint8_t {
    Granted = 0,
    Notice = 1,
    NoServer = 2,
    TargetAbsent = 3,
    ServersBusy = 4,
    InProgress = 5,
    Request = 6,
    PingServers = 7,
    PingReport = 8,
};

inline constexpr uint8_t ID_RELAY = 92;

class RelayClient : public PeerPlugin {
public:
    // Forwarding time-out asked of the coordinator, and how long an unanswered request is
    // remembered (the session gives up on it after the same time).
    static constexpr uint32_t kRequestTimeoutMs = 20000;
    static constexpr uint64_t kRequestLifetimeMs = 25000;
    // A ping group is reported at the latest this long after it was made.
    static constexpr uint64_t kGroupLifetimeMs = 1000;
    // A proxy server pinged within this time is not pinged again; its stored time is reported.
    static constexpr uint64_t kPingReuseMs = 10000;
    // Round-trip value of a server that has not answered.
    static constexpr uint16_t kNoAnswer = 1000;
    // Most proxy servers taken from one ping request.
    static constexpr unsigned kMaxServersPerGroup = 32;

    RelayClient();
    ~RelayClient() override;
    RelayClient(const RelayClient&) = delete;
    RelayClient& operator=(const RelayClient&) = delete;

    // Null stops new requests; answers already on their way are then dropped.
    void SetResultHandler(RelayResultHandler* handler) { m_handler = handler; }
    RelayResultHandler* GetResultHandler() const { return m_handler; }

    // Sends 92/6 to the coordinator. source unassigned means this side as the coordinator sees
    // it. False (nothing sent) when no handler is set, the plug-in is not attached, or the peer
    // is not connected to the coordinator.
    bool RequestRelay(const SystemAddress& coordinator, const SystemAddress& source, const P2PNetGUID& targetGuid);

    // Number of relay messages refused because no matching request was outstanding.
    uint64_t RefusedMessageCount() const { return m_refused; }

    void Tick() override;
    PluginVerdict OfferMessage(Packet* packet) override;
    void PeerStopping() override;

private:
    struct ServerPing {
        SystemAddress server;
        uint16_t pingsSentAgain = 0;
        uint16_t roundTripMs = kNoAnswer;
        uint64_t firstPingMs = 0;
    };
    struct PingGroup {
        SystemAddress source;
        SystemAddress target;
        P2PNetGUID targetGuid;
        uint64_t startMs = 0;
        SystemAddress coordinator;
        std::vector<SystemAddress> servers;
    };
    struct PingBack {
        SystemAddress proxy;
        uint64_t startMs = 0;
        uint32_t pingsSent = 0;
    };
    struct OutstandingRequest {
        SystemAddress coordinator;
        P2PNetGUID targetGuid;
        uint64_t deadlineMs = 0;
    };

    PluginVerdict OnPong(Packet* packet);
    PluginVerdict OnRelayAnswer(Packet* packet, RelayMessage sub);
    PluginVerdict OnPingServers(Packet* packet);
    // True (and the request dropped when `consume`) when a request to that target is
    // outstanding at the sender of the packet.
    bool MatchRequest(const Packet* packet, const P2PNetGUID& targetGuid, bool consume);
    void Ping(const SystemAddress& address);
    void ReportGroup(const PingGroup& group);
    void ReportFinishedGroups();
    int SocketFamily();

    RelayResultHandler* m_handler = nullptr;
    // Receive thread only.
    std::vector<ServerPing> m_serverPings;
    std::vector<PingGroup> m_groups;
    std::vector<PingBack> m_pingBacks;
    uint64_t m_refused = 0;
    // Any thread, under m_requestLock.
    std::mutex m_requestLock;
    std::vector<OutstandingRequest> m_requests;
};

} // namespace P2PNet
