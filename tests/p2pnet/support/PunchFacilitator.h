// The server side of NAT punch-through: a peer plugin that arranges punches between two peers
// that are both connected to the peer it is attached to. It does what HolePunchClient expects of
// a facilitator; the tests drive clients with it and the rendezvous server tool can attach it to
// its own peer and call StartPunch from its route-request handling.
//
// A punch (one session, numbered by a 16-bit session id):
//   1. StartPunch(requester, target), or a message 58 from the requester, checks both sides;
//   2. both sides get the timed start message 59 with the other side's addresses, for the same
//      moment (now + startLeadMs + the larger of the two latest pings, on this peer's clock; each
//      receiving peer turns it into its own clock), the requester with weAreSender set;
//   3. right after it both get 60 [session id]; a HolePunchClient answers only for a session it
//      has an attempt for (so 60 must follow 59), and records this peer as the facilitator that
//      it may ask for a retry;
//   4. the session ends when both have answered; a side that has not answered within
//      answerTimeoutMs is reported to the other side with 63.
// The punching itself happens between the two clients; this side never learns how it went.
//
// Messages handled (numbers big-endian, addresses in the peer's bit-stream form, GUIDs as u64):
//   in   58  [58][u64 target GUID]                        request from a connected client
//   in   60  [60][u16 session id][u16 predicted port]     a client's answer; the port is recorded
//   out  59  [27][u64 start time ms][59][u16 session id][address external][u8 n]
//            [n x address internal][u64 GUID][bit weAreSender]   (the other side's data)
//   out  60  [60][u16 session id]
//   out  62  [62][u64 target GUID]                        target not connected
//   out  63  [63][u64 silent side GUID][u16 session id]   target did not answer in time
//   out  64  [64][u64 lost side GUID][u16 session id]     the other side disconnected mid-punch
//   out  65  [65][u64 target GUID]                        one of the two is busy with another punch
//   out  126 [126][u8 n][n x address]                     port test (SendPortTest)
//   out  13  out of band [oob header][u8 11][u16 first][u16 second]   port stride (SendPortStride)
// All connected messages go ReliableOrdered, priority High, ordering channel 0. A new request of
// the same requester for the same target replaces its open session (that is how a client's retry
// looks from here).
//
// Threads: StartPunch, SendPortTest, SendPortStride and the counters may be called from any
// thread; the plugin slots run on the thread that calls the peer's Receive. One lock guards the
// sessions; it is never held while calling into anything but the peer's queueing operations.
#pragma once

#include "PeerPlugin.h"
#include "SystemAddress.h"

#include <cstdint>
#include <mutex>
#include <vector>

namespace punchtest {

class PunchFacilitator : public P2PNet::PeerPlugin {
public:
    struct Options {
        // Added to the larger of the two sides' latest pings to set the common start time.
        uint32_t startLeadMs = 100;
        // How long both sides have to answer 60; then 63 goes to the side whose partner is
        // silent. 0 waits for ever.
        uint32_t answerTimeoutMs = 5000;
        // Send the sides' internal addresses in 59 (else n = 0, and the clients probe only the
        // external address).
        bool reportInternalAddresses = true;
    };

    enum class StartOutcome {
        Started,
        NotAttached,
        RequesterNotConnected,  // nothing sent: there is no one to tell
        TargetNotConnected,     // 62 sent to the requester
        Busy,                   // 65 sent to the requester
    };

    PunchFacilitator();
    explicit PunchFacilitator(const Options& options);

    StartOutcome StartPunch(const P2PNet::P2PNetGUID& requester, const P2PNet::P2PNetGUID& target);
    // 126 to a connected client: it reports its external port to each address, out of band.
    bool SendPortTest(const P2PNet::P2PNetGUID& client, const std::vector<P2PNet::SystemAddress>& addresses);
    // The port stride a client's NAT was measured to have, out of band to its address.
    bool SendPortStride(const P2PNet::P2PNetGUID& client, uint16_t firstPort, uint16_t secondPort);

    struct Counters {
        uint64_t started = 0;
        uint64_t refused = 0;    // 62 or 65 sent, or the requester was not connected
        uint64_t answers = 0;    // 60 answers matched to a session
        uint64_t timedOut = 0;   // sessions ended by answerTimeoutMs
        uint64_t lost = 0;       // sessions ended because a side disconnected
        uint64_t malformed = 0;  // 58 or 60 too short
    };
    Counters GetCounters() const;
    std::size_t OpenSessions() const;
    // The port a side answered in the most recent session it took part in; 0 when none.
    uint16_t LastPredictedPort(const P2PNet::P2PNetGUID& side) const;

    void Tick() override;
    P2PNet::PluginVerdict OfferMessage(P2PNet::Packet* packet) override;
    void LinkEnded(const P2PNet::SystemAddress& address, P2PNet::P2PNetGUID guid, int reason) override;
    void PeerStopping() override;

private:
    struct Session {
        uint16_t id = 0;
        P2PNet::P2PNetGUID side[2];  // 0 requester, 1 target
        bool answered[2] = {false, false};
        uint64_t startedMs = 0;
    };

    void SendFailure(uint8_t id, const P2PNet::P2PNetGUID& to, const P2PNet::P2PNetGUID& about,
                     bool withSession, uint16_t sessionId);
    void SendStart(const Session& session, int to, uint64_t startTimeMs);
    bool IsConnected(const P2PNet::P2PNetGUID& guid);
    void RecordAnswer(const P2PNet::P2PNetGUID& side, uint16_t port);

    Options m_options;
    mutable std::mutex m_lock;
    std::vector<Session> m_sessions;
    uint16_t m_nextSessionId = 1;
    Counters m_counters;
    std::vector<std::pair<P2PNet::P2PNetGUID, uint16_t>> m_predictedPorts;
};

} // namespace punchtest
