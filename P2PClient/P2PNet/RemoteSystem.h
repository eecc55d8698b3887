// One slot of the peer's remote-system table, its states, the ping statistics its pongs feed, and
// the address hash the update thread uses to find a slot by address.
//
// Threads: the table belongs to the peer's update thread; the peer guards the fields that other
// threads may read (see P2PPeer::m_tableLock).
#pragma once

#include "ReliabilityLayer.h"
#include "SystemAddress.h"

#include <array>
#include <cstdint>
#include <vector>

namespace P2PNet {

class PlatformSocket;

enum class RemoteSystemState : uint32_t {
    NoAction = 0,
    DisconnectAsap = 1,            // close once the reliability layer is idle, then report 21
    DisconnectAsapSilently = 2,    // the same, without a notice to the application
    DisconnectOnNoAck = 3,         // the remote sent 21: close when all sent data is acknowledged
    RequestedConnection = 4,       // we sent 9 and wait for 16
    HandlingConnectionRequest = 5, // we accepted 9, sent 16 and wait for 19
    UnverifiedSender = 6,          // slot taken on 7, waiting for 9
    Connected = 7,
};

// True for the three states of a slot on its way out.
bool IsClosingState(RemoteSystemState state);

// Number of internal addresses each side reports in the handshake.
inline constexpr unsigned kInternalAddressCount = 10;
inline constexpr unsigned kPingRingSize = 5;
inline constexpr uint16_t kNoPing = 0xFFFF;

struct PingSample {
    uint16_t pingMs = kNoPing;
    int64_t clockDifferentialMs = 0;  // remote clock minus ours
};

struct RemoteSystem {
    bool isActive = false;
    SystemAddress systemAddress;      // systemIndex = this slot's index
    SystemAddress myExternalAddress;  // our address as the remote reports it (16 or 19)
    SystemAddress theirInternalAddresses[kInternalAddressCount];
    P2PNetGUID guid;
    ReliabilityLayer reliabilityLayer;
    std::array<PingSample, kPingRingSize> pingRing{};
    unsigned pingRingIndex = 0;
    uint16_t lowestPing = kNoPing;
    uint64_t nextPingTime = 0;        // ms
    uint64_t lastReliableSend = 0;    // ms
    uint64_t connectionTime = 0;      // ms
    uint64_t remoteTimeBase = 0;      // ms, remote clock
    unsigned mtu = 576;
    PlatformSocket* socket = nullptr;
    DatagramSender sender;            // writes the reliability layer's datagrams to the remote
    RemoteSystemState state = RemoteSystemState::NoAction;
    bool weInitiatedTheConnection = false;
    bool heldByApplication = false;   // HoldIncoming: the application cannot take more of its data
    uint32_t timeoutMs = 6000;        // dead-connection time-out, also the length of a ban
    uint64_t closeNoticeTime = 0;     // ms; when the remote's close notice (21) arrived

    // Pong handling: records a round trip (pingTime and pongTime in ms; now in ms).
    void OnPong(uint64_t pingTime, uint64_t pongTime, uint64_t now);
    void ClearPings();
    // Mean of the stored samples up to the first empty one; -1 when none.
    int AveragePing() const;
    // Newest sample; -1 when none.
    int LatestPing() const;
    // Clock differential stored with the lowest-ping sample; 0 when none.
    int64_t ClockOffset() const;
};

// Widening of the u16 times of a 5-byte pong (ms): the ping time is `now` with its low 16 bits
// replaced, one wrap back when they lie ahead of now's; the pong time likewise against the remote
// time base, one wrap forward when the base's low bits lie ahead.
uint64_t WidenPingTime(uint64_t now, uint16_t low16);
uint64_t WidenPongTime(uint64_t remoteTimeBase, uint16_t low16);

// Chains of slot indexes by address hash, bucketCount = 8 x slots. Update thread only.
class RemoteSystemHash {
public:
    void Reset(unsigned slotCount);
    void Clear();
    void Add(const SystemAddress& address, uint16_t slotIndex);
    // Removes the entry for address when it leads to slotIndex (whatever slot it leads to when
    // slotIndex is 0xFFFF).
    void Remove(const SystemAddress& address, uint16_t slotIndex = 0xFFFF);
    // The slot index entered for address; -1 when none.
    int Find(const SystemAddress& address) const;

private:
    struct Entry {
        SystemAddress address;
        uint16_t slotIndex;
    };
    unsigned Bucket(const SystemAddress& address) const;
    std::vector<std::vector<Entry>> m_buckets;
};

} // namespace P2PNet
