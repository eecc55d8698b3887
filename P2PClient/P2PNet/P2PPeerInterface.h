// The public interface of the UDP peer. One implementation: P2PPeer (P2PPeer.h).
//
// Threads: every operation may be called from any thread. Operations that change connection state
// or send only queue work for the peer's update thread and return; results that arrive later reach
// the application as Packets whose first byte is a message id (MessageIdentifiers.h), taken with
// Receive() and given back with ReleasePacket(). Nothing here throws.
//
// Units: caller time-outs and intervals in milliseconds; the peer clock is NowMillis()/NowMicros().
#pragma once

#include "BitStream.h"
#include "Packet.h"
#include "PeerPlugin.h"
#include "ReliabilityLayer.h"
#include "SystemAddress.h"

#include <cstdint>
#include <vector>

namespace P2PNet {

class PlatformSocket;

// Result of Start.
enum class StartResult : int {
    Started = 0,
    AlreadyStarted = 1,
    InvalidSocketSpecs = 2,           // null array or count 0
    InvalidMaxConnections = 3,        // maximum connections 0
    SocketFamilyNotSupported = 4,     // bind result 1
    SocketPortAlreadyInUse = 5,       // bind result 2 (no address could be bound)
    SocketFailedTestSend = 7,         // bind result 3 (bound, but cannot send to itself)
    FailedToCreateUpdateThread = 9,
    CouldNotMakeGuid = 10,
};

// Result of the connect operations.
enum class ConnectResult : int {
    AttemptStarted = 0,
    InvalidParameter = 1,             // not running, null host, or no socket of that index
    CannotResolveDomainName = 2,
    AlreadyConnectedToEndpoint = 3,
    AttemptAlreadyInProgress = 4,
};

// What QueryLinkState reports. Callers treat Connected as the only usable state.
enum class LinkState : int {
    Pending = 0,                      // a queued connection request has that address
    Connecting = 1,                   // handshake under way (slot states 4, 5, 6)
    Connected = 2,                    // slot state 7
    Disconnecting = 3,                // slot states 1, 3
    DisconnectingSilently = 4,        // slot state 2
    Disconnected = 5,                 // slot known but inactive
    NotConnected = 6,                 // nothing known
};

// One socket to open at Start. host empty or "UNASSIGNED_SYSTEM_ADDRESS" binds the any-address.
struct SocketSpec {
    uint16_t port = 0;                // 0 = any free port
    char host[256] = {};
    uint16_t family = 0;              // 2 IPv4, 23 IPv6, 0 either
    uint16_t remotePort = 0;          // passed to the socket, which ignores it
    int32_t protocol = 0;
};

// Called by the update thread at the start of every update round.
using CycleHook = void (*)(class P2PPeerInterface* peer, void* userData);

// The slots in interface order. Where an operation names a remote system by SystemAddress or
// PeerTarget and finds none, it returns UNASSIGNED_SYSTEM_ADDRESS / UNASSIGNED_P2PNET_GUID / -1.
class P2PPeerInterface {
public:
    virtual ~P2PPeerInterface() = default;

    // Opens the sockets and starts the update thread. threadPriority -99999 means normal.
    virtual StartResult Start(unsigned maxConnections, const SocketSpec* specs, unsigned specCount,
                              int threadPriority) = 0;
    virtual bool ReservedSlot2() { return false; }
    virtual void ReservedSlot3() {}

    // Address exception list (texts of at most 15 characters, '*' matches the rest).
    virtual void AddExemptPattern(const char* pattern) = 0;
    virtual void RemoveExemptPattern(const char* pattern) = 0;  // null empties the list
    virtual bool MatchesExemptPattern(const char* text) = 0;

    // Maximum number of connections other peers may open to us.
    virtual void SetIncomingLimit(uint16_t count) = 0;
    virtual uint16_t GetIncomingLimit() const = 0;
    virtual unsigned CountConnected() = 0;

    // The data (password) a connecting peer must send; at most 255 bytes, longer is cut.
    virtual void SetJoinPassword(const char* data, int length) = 0;
    // Copies up to *length bytes into data (when not null) and sets *length to the stored length.
    virtual void GetJoinPassword(char* data, int* length) = 0;

    // Queues a connection attempt: attemptCount first requests, intervalMs apart (the MTU tried
    // falls from 1472 to 1200 to 576 over the attempts). timeoutMs 0 keeps the default link
    // time-out. The outcome arrives as ID_JOIN_ACCEPTED or a refusal (ID_JOIN_FAILED, ...).
    virtual ConnectResult Connect(const SystemAddress& target, const char* data, int dataLength,
                                  const void* publicKey = nullptr, unsigned socketIndex = 0,
                                  unsigned attemptCount = 12, unsigned intervalMs = 500,
                                  uint32_t timeoutMs = 0) = 0;
    virtual ConnectResult ConnectByHostText(const char* host, uint16_t port, const char* data,
                                            int dataLength, const void* publicKey = nullptr,
                                            unsigned socketIndex = 0, unsigned attemptCount = 12,
                                            unsigned intervalMs = 500, uint32_t timeoutMs = 0) = 0;
    virtual ConnectResult ConnectThroughSocket(const char* host, uint16_t port, const char* data,
                                               int dataLength, PlatformSocket* socket,
                                               const void* publicKey = nullptr,
                                               unsigned attemptCount = 12, unsigned intervalMs = 500,
                                               uint32_t timeoutMs = 0) = 0;

    // Stops the threads and closes every connection. With blockMs > 0 every remote first gets a
    // disconnection notice and Stop waits up to blockMs for the notices to be acknowledged.
    virtual void Stop(unsigned blockMs, uint8_t orderingChannel = 0,
                      SendPriority priority = SendPriority::Low) = 0;
    virtual bool IsRunning() const = 0;
    // With addresses: copies up to *count connected addresses and sets *count to the number
    // copied; without: sets *count to the number connected. False when stopped or count is null.
    virtual bool ListConnectedAddresses(SystemAddress* addresses, unsigned short* count) = 0;

    // Receipt numbers for the *WithReceipt kinds: 1, 2, ..., 0xFFFFFFFF, 1, ...
    virtual uint32_t PeekReceiptCounter() = 0;
    virtual uint32_t TakeReceiptNumber() = 0;

    // Queues a message for the update thread. Returns the receipt number, 0 when refused (empty
    // data, not running, undefined target without broadcast). A target that is this peer itself
    // gets the data looped back through Receive (and ID_RECEIPT_ACKED for the receipt kinds).
    virtual uint32_t Send(const BitStream* stream, SendPriority priority, ReliabilityKind reliability,
                          uint8_t orderingChannel, const PeerTarget& target, bool broadcast,
                          uint32_t forceReceiptNumber = 0) = 0;
    virtual uint32_t SendBytes(const char* data, int length, SendPriority priority,
                               ReliabilityKind reliability, uint8_t orderingChannel,
                               const PeerTarget& target, bool broadcast,
                               uint32_t forceReceiptNumber = 0) = 0;
    virtual void LoopBackBytes(const char* data, int length) = 0;
    // Sends count buffers joined as one message; never looped back.
    virtual uint32_t SendGathered(const char** data, const int* lengths, int count,
                                  SendPriority priority, ReliabilityKind reliability,
                                  uint8_t orderingChannel, const PeerTarget& target, bool broadcast,
                                  uint32_t forceReceiptNumber = 0) = 0;

    // Waits at most 10 ms; returns the next packet for the application or null.
    virtual Packet* Receive() = 0;
    virtual void UpdatePlugins() = 0;
    virtual void ReleasePacket(Packet* packet) = 0;  // null is ignored
    virtual unsigned GetSlotCount() const = 0;

    // Closes the connection to target (notify: send ID_PEER_CLOSED first). Without notify a
    // connected target is reported to this side's application as ID_PEER_LOST at once.
    virtual void DropConnection(const PeerTarget& target, bool notify, uint8_t orderingChannel = 0,
                                SendPriority priority = SendPriority::Low) = 0;
    virtual LinkState QueryLinkState(const PeerTarget& target) = 0;
    virtual void CancelConnectRequest(const SystemAddress& target) = 0;
    virtual int FindSlotIndex(const SystemAddress& address) = 0;
    virtual SystemAddress SlotAddress(int index) = 0;
    virtual P2PNetGUID SlotGuid(int index) = 0;
    virtual void ListConnected(std::vector<SystemAddress>& addresses,
                               std::vector<P2PNetGUID>& guids) = 0;

    // Ban list: address texts of at most 15 characters; '*' matches the rest of the text.
    // ms 0 bans for ever.
    virtual void BanAddress(const char* ip, uint32_t ms) = 0;
    virtual void UnbanAddress(const char* ip) = 0;
    virtual void ClearBans() = 0;
    virtual bool IsAddressBanned(const char* ip) = 0;
    // When set, a second connection from one IP within 100 ms is refused (ID_JOINED_TOO_RECENTLY).
    virtual void SetRejoinLimit(bool limit) = 0;

    // Offline ping; onlyIfAccepting asks for an answer only while the remote has a free slot.
    virtual bool PingHost(const char* host, uint16_t port, bool onlyIfAccepting,
                          unsigned socketIndex = 0) = 0;
    virtual void PingConnected(const SystemAddress& target) = 0;
    virtual int AveragePing(const PeerTarget& target) = 0;
    virtual int LatestPing(const PeerTarget& target) = 0;
    virtual int LowestPing(const PeerTarget& target) = 0;
    virtual void SetKeepAlivePing(bool doPing) = 0;
    // Remote clock minus local clock in ms, from the lowest-ping sample; 0 when unknown.
    virtual int64_t ClockOffset(const PeerTarget& target) = 0;

    // Bytes appended to every offline ping and pong this peer sends.
    virtual void SetOfflineReply(const char* data, unsigned length) = 0;
    // Hands out a pointer to the stored bytes (not a copy); valid until the next SetOfflineReply.
    virtual void GetOfflineReply(char** data, unsigned* length) = 0;

    virtual SystemAddress GetInternalAddress(const SystemAddress& target, unsigned index = 0) = 0;
    virtual void SetInternalAddress(const SystemAddress& address, unsigned index = 0) = 0;
    // Unassigned target: our first external address; else our address as that remote saw it.
    virtual SystemAddress GetExternalAddress(const SystemAddress& target) = 0;
    virtual P2PNetGUID GetOwnGuid() const = 0;
    virtual SystemAddress GetBoundAddress(unsigned socketIndex = 0) = 0;
    virtual void LoadLocalAddresses() = 0;
    virtual P2PNetGUID GetGuidOfAddress(const SystemAddress& address) = 0;
    virtual SystemAddress GetAddressOfGuid(const P2PNetGUID& guid) = 0;
    virtual bool ReservedSlot57() { return false; }

    // Dead-connection time-out; an unassigned target sets the default and every active slot.
    virtual void SetLinkTimeout(uint32_t timeoutMs, const SystemAddress& target) = 0;
    virtual uint32_t GetLinkTimeout(const SystemAddress& target) = 0;
    virtual int MtuOf(const SystemAddress& target) = 0;
    virtual unsigned GetLocalAddressCount() = 0;
    // Text without port, in a static buffer.
    virtual const char* GetLocalAddressText(unsigned index) = 0;
    virtual bool IsLocalAddressText(const char* ip) = 0;
    // Admits ID_JOIN_ACCEPTED in any slot state, not only while connecting.
    virtual void SetReplyAddressChangeAllowed(bool allow) = 0;
    virtual void SendAdvertisement(const char* host, uint16_t port, const char* data, int length,
                                   unsigned socketIndex = 0) = 0;

    // Every `step` fragments of a split message being received, the application gets a progress
    // message (id 30); 0 switches it off.
    virtual void SetSplitProgressStep(int step) = 0;
    virtual int GetSplitProgressStep() const = 0;
    // Queued unreliable messages older than this are dropped unsent; 0 keeps them.
    virtual void SetUnreliableLifetime(uint32_t ms) = 0;
    // Sends the two bytes 00 01 with the given IP TTL.
    virtual void SendTtlProbe(const SystemAddress& target, int ttl, unsigned socketIndex = 0) = 0;
    virtual void SendTtlProbe(const char* host, uint16_t port, int ttl, unsigned socketIndex = 0) = 0;

    // Plug-ins are attached once after Start, before Receive is called, and not changed while
    // the peer runs.
    virtual void AddPlugin(PeerPlugin* plugin) = 0;
    virtual void RemovePlugin(PeerPlugin* plugin) = 0;
    // Pushes a packet at the head (pushAtHead) or tail of the application's packet queue.
    virtual void QueuePacket(Packet* packet, bool pushAtHead) = 0;
    virtual void RebindGuidAddress(const P2PNetGUID& guid, const SystemAddress& address) = 0;
    // Holds back (hold true) or lets in again the data of the connection to target, for an
    // application that cannot take more of it yet: while held, the remote's data datagrams go
    // unacknowledged, so its resend window fills and it stops sending; nothing is lost. Queued for
    // the update thread, in call order; a new connection starts released.
    virtual void HoldIncoming(const PeerTarget& target, bool hold) = 0;
    // A packet with its own n-byte buffer, source unassigned; give it back with ReleasePacket.
    virtual Packet* NewPacket(unsigned bytes) = 0;
    // Socket of the connection to target, asked of the update thread (waits at most 1000 ms).
    virtual PlatformSocket* QuerySocket(const PeerTarget& target) = 0;
    // Every socket of the peer, asked of the update thread.
    virtual void QuerySockets(std::vector<PlatformSocket*>& sockets) = 0;
    virtual void FreeSocketList(std::vector<PlatformSocket*>& sockets) = 0;
    // Appends [13][u64 own GUID][align][offline marker].
    virtual void WriteOutOfBandHeader(BitStream* stream) = 0;
    virtual void SetCycleHook(CycleHook hook, void* userData) = 0;
    virtual void SetHookPointer(void* pointer) = 0;
    virtual void ReservedSlot82() {}
    // Bits-per-second limit on new data of every connection; 0 is unlimited.
    virtual void SetBitsPerSecondLimit(int bitsPerSecond) = 0;
    virtual bool ReservedSlot84() { return false; }

    // Statistics of slot index; false when out of range or inactive.
    virtual bool SlotStatistics(int index, ReliabilityStatistics* out) = 0;
    // Unassigned address: sum over all active slots. Null when unknown or not running. Writes
    // into out when given, else into a static record.
    virtual ReliabilityStatistics* LinkStatistics(const SystemAddress& address,
                                                  ReliabilityStatistics* out = nullptr) = 0;
    virtual void AllStatistics(std::vector<SystemAddress>& addresses, std::vector<P2PNetGUID>& guids,
                               std::vector<ReliabilityStatistics>& statistics) = 0;
    // Packets waiting for Receive; also wakes a waiting Receive.
    virtual unsigned PendingPacketCount() = 0;
    // One update round on the calling thread (serialised with the update thread's rounds).
    virtual void UpdateCycle() = 0;
    // Out-of-band datagram [out-of-band header][data], sent once.
    virtual bool SendRawTo(const SystemAddress& target, const char* data, int length,
                           unsigned socketIndex = 0) = 0;
    virtual bool SendRawToHost(const char* host, uint16_t port, const char* data, int length,
                               unsigned socketIndex = 0) = 0;
};

} // namespace P2PNet
