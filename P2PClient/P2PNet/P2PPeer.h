// The UDP peer: sockets, remote-system table, handshake, update thread and the application's
// packet queue. See P2PPeerInterface.h for the operations.
//
// Threads:
//  - the update thread ("P2PPeerUpdate") runs every round: received datagrams, queued commands,
//    connection requests, per-connection reliability work; it alone changes the remote-system
//    table, under m_tableLock, which query operations take to read whole values;
//  - one receive thread per socket, which only queues datagrams (OnDatagram);
//  - callers of the public operations, which only touch the locked queues.
//
// Rooms of their own, each guarded by its one lock, a leaf here: BanList (ban and exception
// lists), LocalAddresses (our own addresses), PacketQueue (packets waiting for Receive), PluginSet
// (the plug-ins), ReceiveBuffers (datagrams waiting for the update thread), SocketQueries (socket
// questions to the update thread), UpdateThreadEvents (the update thread's start, end and open
// slots) and PeerTestFaults (set through P2PPeerTestHooks.h). OutgoingBatch has no lock: the
// round's thread alone uses it, under m_roundLock.
//
// Lock order: a thread holding one of these takes only those below it, never one above.
//   m_socketsLock     the sockets: shared by operations that send, exclusive in Start and Stop
//   m_roundLock       one update round at a time (never held together with m_socketsLock)
//   m_tableLock       the remote-system table; recursive, as plug-ins called under it may query
//   m_connectionLock  the connection attempts
//   leaves            m_commandLock (work for the update thread), m_settingsLock (values the
//                     application sets) and the rooms' locks: nothing is locked under them, and
//                     no plug-in or socket is called under them.
#pragma once

#include "BanList.h"
#include "LocalAddresses.h"
#include "MessageIdentifiers.h"
#include "OutgoingBatch.h"
#include "P2PPeerInterface.h"
#include "PacketQueue.h"
#include "PeerTestFaults.h"
#include "PlatformSocket.h"
#include "PlatformThread.h"
#include "PluginSet.h"
#include "ReceiveBuffers.h"
#include "RemoteSystem.h"
#include "SocketLibrary.h"
#include "SocketQueries.h"
#include "UpdateThreadEvents.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

namespace P2PNet {

// ---- Offline messages: pure functions, callable without a running peer -------------------------

enum class OfflineClass {
    NotOffline,  // for the reliability layer of a connected remote
    TooShort,    // 2 bytes or less: an offline message that is only shown to the plug-ins
    Offline,     // an offline message to handle
};

// Decides whether a datagram is an offline message by its first byte, its length and the
// offline marker (the ban check comes before and is the peer's).
OfflineClass ClassifyOfflineMessage(const uint8_t* data, unsigned length);

// The 8-byte token a first connection request carries, computed from the sender's GUID.
void ComputeHandshakeToken(uint64_t guid, uint8_t token[8]);

// MTU tried by the first request number `requestsMade` of an attempt of attemptCount requests:
// index requestsMade / max(1, attemptCount / 3), capped at 2, into {1472, 1200, 576}.
unsigned MtuForRequest(unsigned requestsMade, unsigned attemptCount, unsigned* mtuIndex = nullptr);

// An MTU learned from a remote, clamped to 576..1472.
unsigned ClampRemoteMtu(unsigned mtu);

inline constexpr unsigned kMtuSizes[3] = {1472, 1200, 576};
inline constexpr unsigned kMaximumMtu = 1472;
inline constexpr unsigned kMinimumMtu = 576;
inline constexpr unsigned kDefaultMtu = 576;
inline constexpr unsigned kUdpHeaderSize = 28;
inline constexpr uint32_t kDefaultTimeoutMs = 6000;
inline constexpr uint64_t kHandshakeLimitMs = 10000;
// A slot taken on a confirmation (7) waits this long for the connection request (9).
inline constexpr uint64_t kUnverifiedLimitMs = 3000;
// Slots waiting for their connection request from one IP address at a time.
inline constexpr unsigned kUnverifiedPerAddress = 4;
// How long an answered open request (6 sent) lets a confirmation from that address take a slot,
// and how many such answers are remembered.
inline constexpr uint64_t kAnsweredRequestMs = 10000;
inline constexpr std::size_t kAnsweredRequestCount = 1024;

// ---- The peer ----------------------------------------------------------------------------------

class P2PPeer : public P2PPeerInterface, public SocketEventHandler {
public:
    P2PPeer();
    ~P2PPeer() override;
    P2PPeer(const P2PPeer&) = delete;
    P2PPeer& operator=(const P2PPeer&) = delete;

    StartResult Start(unsigned maxConnections, const SocketSpec* specs, unsigned specCount,
                      int threadPriority) override;
    void AddExemptPattern(const char* pattern) override;
    void RemoveExemptPattern(const char* pattern) override;
    bool MatchesExemptPattern(const char* text) override;
    void SetIncomingLimit(uint16_t count) override;
    uint16_t GetIncomingLimit() const override;
    unsigned CountConnected() override;
    void SetJoinPassword(const char* data, int length) override;
    void GetJoinPassword(char* data, int* length) override;
    ConnectResult Connect(const SystemAddress& target, const char* data, int dataLength,
                          const void* publicKey = nullptr, unsigned socketIndex = 0,
                          unsigned attemptCount = 12, unsigned intervalMs = 500,
                          uint32_t timeoutMs = 0) override;
    ConnectResult ConnectByHostText(const char* host, uint16_t port, const char* data, int dataLength,
                                    const void* publicKey = nullptr, unsigned socketIndex = 0,
                                    unsigned attemptCount = 12, unsigned intervalMs = 500,
                                    uint32_t timeoutMs = 0) override;
    ConnectResult ConnectThroughSocket(const char* host, uint16_t port, const char* data,
                                       int dataLength, PlatformSocket* socket,
                                       const void* publicKey = nullptr, unsigned attemptCount = 12,
                                       unsigned intervalMs = 500, uint32_t timeoutMs = 0) override;
    void Stop(unsigned blockMs, uint8_t orderingChannel = 0,
              SendPriority priority = SendPriority::Low) override;
    bool IsRunning() const override;
    bool ListConnectedAddresses(SystemAddress* addresses, unsigned short* count) override;
    uint32_t PeekReceiptCounter() override;
    uint32_t TakeReceiptNumber() override;
    uint32_t Send(const BitStream* stream, SendPriority priority, ReliabilityKind reliability,
                  uint8_t orderingChannel, const PeerTarget& target, bool broadcast,
                  uint32_t forceReceiptNumber = 0) override;
    uint32_t SendBytes(const char* data, int length, SendPriority priority,
                       ReliabilityKind reliability, uint8_t orderingChannel,
                       const PeerTarget& target, bool broadcast,
                       uint32_t forceReceiptNumber = 0) override;
    void LoopBackBytes(const char* data, int length) override;
    uint32_t SendGathered(const char** data, const int* lengths, int count, SendPriority priority,
                          ReliabilityKind reliability, uint8_t orderingChannel,
                          const PeerTarget& target, bool broadcast,
                          uint32_t forceReceiptNumber = 0) override;
    Packet* Receive() override;
    void UpdatePlugins() override;
    void ReleasePacket(Packet* packet) override;
    unsigned GetSlotCount() const override;
    void DropConnection(const PeerTarget& target, bool notify, uint8_t orderingChannel = 0,
                        SendPriority priority = SendPriority::Low) override;
    LinkState QueryLinkState(const PeerTarget& target) override;
    void CancelConnectRequest(const SystemAddress& target) override;
    int FindSlotIndex(const SystemAddress& address) override;
    SystemAddress SlotAddress(int index) override;
    P2PNetGUID SlotGuid(int index) override;
    void ListConnected(std::vector<SystemAddress>& addresses, std::vector<P2PNetGUID>& guids) override;
    void BanAddress(const char* ip, uint32_t ms) override;
    void UnbanAddress(const char* ip) override;
    void ClearBans() override;
    bool IsAddressBanned(const char* ip) override;
    void SetRejoinLimit(bool limit) override;
    bool PingHost(const char* host, uint16_t port, bool onlyIfAccepting,
                  unsigned socketIndex = 0) override;
    void PingConnected(const SystemAddress& target) override;
    int AveragePing(const PeerTarget& target) override;
    int LatestPing(const PeerTarget& target) override;
    int LowestPing(const PeerTarget& target) override;
    void SetKeepAlivePing(bool doPing) override;
    int64_t ClockOffset(const PeerTarget& target) override;
    void SetOfflineReply(const char* data, unsigned length) override;
    void GetOfflineReply(char** data, unsigned* length) override;
    SystemAddress GetInternalAddress(const SystemAddress& target, unsigned index = 0) override;
    void SetInternalAddress(const SystemAddress& address, unsigned index = 0) override;
    SystemAddress GetExternalAddress(const SystemAddress& target) override;
    P2PNetGUID GetOwnGuid() const override;
    SystemAddress GetBoundAddress(unsigned socketIndex = 0) override;
    void LoadLocalAddresses() override;
    P2PNetGUID GetGuidOfAddress(const SystemAddress& address) override;
    SystemAddress GetAddressOfGuid(const P2PNetGUID& guid) override;
    void SetLinkTimeout(uint32_t timeoutMs, const SystemAddress& target) override;
    uint32_t GetLinkTimeout(const SystemAddress& target) override;
    int MtuOf(const SystemAddress& target) override;
    unsigned GetLocalAddressCount() override;
    const char* GetLocalAddressText(unsigned index) override;
    bool IsLocalAddressText(const char* ip) override;
    void SetReplyAddressChangeAllowed(bool allow) override;
    void SendAdvertisement(const char* host, uint16_t port, const char* data, int length,
                           unsigned socketIndex = 0) override;
    void SetSplitProgressStep(int step) override;
    int GetSplitProgressStep() const override;
    void SetUnreliableLifetime(uint32_t ms) override;
    // How every connection acknowledges and answers acknowledgements (ReliabilityLayer.h);
    // AckRule::EndOfRound unless set. Applies to open connections and new ones; both ends may
    // use different rules.
    void SetAckRule(AckRule rule);
    AckRule GetAckRule() const { return m_ackRule; }
    // Milliseconds a slot that got the remote's close notice waits for the remote to acknowledge
    // data of its own once nothing more arrives (1000 by default): a closing remote drops its
    // slot as soon as its notice is acknowledged, after which nothing of ours is acknowledged.
    void SetCloseGrace(uint32_t ms) { m_closeGraceMs = ms; }
    void SendTtlProbe(const SystemAddress& target, int ttl, unsigned socketIndex = 0) override;
    void SendTtlProbe(const char* host, uint16_t port, int ttl, unsigned socketIndex = 0) override;
    void AddPlugin(PeerPlugin* plugin) override;
    void RemovePlugin(PeerPlugin* plugin) override;
    void QueuePacket(Packet* packet, bool pushAtHead) override;
    void RebindGuidAddress(const P2PNetGUID& guid, const SystemAddress& address) override;
    void HoldIncoming(const PeerTarget& target, bool hold) override;
    Packet* NewPacket(unsigned bytes) override;
    PlatformSocket* QuerySocket(const PeerTarget& target) override;
    void QuerySockets(std::vector<PlatformSocket*>& sockets) override;
    void FreeSocketList(std::vector<PlatformSocket*>& sockets) override;
    void WriteOutOfBandHeader(BitStream* stream) override;
    void SetCycleHook(CycleHook hook, void* userData) override;
    void SetHookPointer(void* pointer) override;
    void SetBitsPerSecondLimit(int bitsPerSecond) override;
    bool SlotStatistics(int index, ReliabilityStatistics* out) override;
    ReliabilityStatistics* LinkStatistics(const SystemAddress& address,
                                          ReliabilityStatistics* out = nullptr) override;
    void AllStatistics(std::vector<SystemAddress>& addresses, std::vector<P2PNetGUID>& guids,
                       std::vector<ReliabilityStatistics>& statistics) override;
    unsigned PendingPacketCount() override;
    void UpdateCycle() override;
    bool SendRawTo(const SystemAddress& target, const char* data, int length,
                   unsigned socketIndex = 0) override;
    bool SendRawToHost(const char* host, uint16_t port, const char* data, int length,
                       unsigned socketIndex = 0) override;

    // SocketEventHandler: called on a socket's receive thread.
    void OnDatagram(RecvBuffer* buffer) override;
    void OnDatagrams(RecvBuffer* const* buffers, int count) override;
    void ReturnBuffer(RecvBuffer* buffer) override;
    RecvBuffer* TakeBuffer() override;

    // Received datagrams dropped because ReceiveBuffers::kMaxQueued were already waiting for the
    // update thread.
    uint64_t DroppedIncomingDatagrams() const;
    // How long Start waits for the new update thread to run before it gives up.
    static constexpr int kThreadStartLimitMs = 10000;

private:
    struct QueuedCommand {
        enum class Kind { Send, Close, ChangeAddress, SocketQuery, Hold };
        Kind kind = Kind::Send;
        std::vector<uint8_t> data;
        uint32_t bits = 0;
        SendPriority priority = SendPriority::High;
        ReliabilityKind reliability = ReliabilityKind::Reliable;
        uint8_t orderingChannel = 0;
        PeerTarget target;
        bool broadcast = false;  // Hold: true holds, false releases
        bool setState = false;
        RemoteSystemState state = RemoteSystemState::NoAction;
        uint32_t receipt = 0;
        uint64_t queryId = 0;  // socket queries: the asker's ticket
    };

    struct RequestedConnection {
        SystemAddress target;
        uint64_t nextRequestTime = 0;  // ms
        unsigned requestsMade = 0;
        unsigned attemptCount = 0;
        unsigned intervalMs = 0;
        unsigned socketIndex = 0;
        PlatformSocket* socket = nullptr;  // when given directly
        std::vector<uint8_t> data;
        uint32_t timeoutMs = 0;
        int action = 1;  // 1 = connect
    };

    friend class P2PPeerTestHooks;

    // ---- update cycle (P2PPeerUpdate.cpp), update thread ----
    void UpdateThreadMain();
    void RunUpdateRound();
    // Whether a connection's data is held back: by the application's wish, or while the packets
    // waiting for Receive are too many.
    bool IsHeld(const RemoteSystem& remote) const { return remote.heldByApplication || m_packets.IsFull(); }
    void ProcessReceivedDatagram(const uint8_t* data, unsigned length, const SystemAddress& sender,
                                 PlatformSocket* socket, uint64_t timeReadMicros);
    // One datagram handled as a round of its own on the calling thread (P2PPeerTestHooks).
    void ProcessDatagramAsRound(const uint8_t* data, unsigned length, const SystemAddress& sender);
    void ExecuteCommands(uint64_t nowMs);
    void ProcessConnectionRequests(uint64_t nowMs);
    void UpdateRemoteSystems(uint64_t nowMs, uint64_t nowMicros);
    enum class MessageOutcome { Continue, StopForThisRound, SlotClosed };
    // Handles one complete message of remote; takes over data.
    MessageOutcome HandleConnectedMessage(RemoteSystem& remote, LayerMessage& message,
                                          uint64_t nowMs);
    void HandleConnectionRequest(RemoteSystem& remote, const uint8_t* data, unsigned bytes,
                                 uint64_t nowMs);
    void SendJoinAccepted(RemoteSystem& remote, uint64_t requestTime, uint64_t nowMs);

    // ---- handshake (P2PPeerHandshake.cpp), update thread ----
    // True when the datagram was handled; *isOffline set when it is an offline message.
    bool HandleOfflineDatagram(const uint8_t* data, unsigned length, const SystemAddress& sender,
                               PlatformSocket* socket, uint64_t timeReadMicros, bool* isOffline);
    void HandleOpenRequest(const uint8_t* data, unsigned length, const SystemAddress& sender,
                           PlatformSocket* socket);
    void HandleOpenReply(const uint8_t* data, unsigned length, const SystemAddress& sender,
                         PlatformSocket* socket);
    void HandleOpenConfirm(const uint8_t* data, unsigned length, const SystemAddress& sender,
                           PlatformSocket* socket);
    void HandleOpenConfirmReply(const uint8_t* data, unsigned length, const SystemAddress& sender,
                                PlatformSocket* socket);
    void HandleRefusal(const uint8_t* data, unsigned length, const SystemAddress& sender);
    // Sends the next first request of rc; false when the attempt has ended (caller frees it). An
    // attempt that ran out adds its target to failed, for ID_JOIN_FAILED.
    bool SendOpenRequest(RequestedConnection& rc, uint64_t nowMs, std::vector<SystemAddress>& failed);

    // ---- start, stop, connect, send (P2PPeer.cpp) ----
    // Stops every socket's receive thread, waits for it, then deletes the sockets.
    void DeleteSockets();
    void DeleteSocketsLocked();  // m_socketsLock held exclusively

    // Marks the calling thread as running this peer's update round (the hash lookups and the
    // immediate sends are for the round's thread only).
    class RoundScope {
    public:
        explicit RoundScope(const P2PPeer* peer);
        ~RoundScope();
    private:
        const P2PPeer* m_previous;
    };
    bool InUpdateRound() const;
    ConnectResult QueueConnection(const SystemAddress& target, const char* data, int dataLength,
                                  unsigned socketIndex, PlatformSocket* socket, unsigned attemptCount,
                                  unsigned intervalMs, uint32_t timeoutMs);
    uint32_t SendBits(const uint8_t* data, uint32_t bits, SendPriority priority,
                      ReliabilityKind reliability, uint8_t orderingChannel, const PeerTarget& target,
                      bool broadcast, uint32_t forceReceiptNumber, bool mayLoopBack);
    void QuerySocketsOf(const PeerTarget& target, bool all, int limitMs,
                        std::vector<PlatformSocket*>& sockets);
    // The reliability layer's way out for one connection: datagrams to remote through socket are
    // collected during the update round and sent together (m_outgoing), at the latest at the
    // round's end.
    DatagramSender SenderFor(PlatformSocket* socket, const SystemAddress& remote);

    // ---- remote-system table (P2PPeer.cpp) ----
    // Lookups; `activeOnly` restricts to active slots. On the update thread the hash serves.
    RemoteSystem* FindRemote(const SystemAddress& address, bool activeOnly);
    RemoteSystem* FindRemote(const P2PNetGUID& guid, bool activeOnly);
    RemoteSystem* FindRemote(const PeerTarget& target, bool activeOnly);
    int SlotIndexOf(const RemoteSystem* remote) const;
    unsigned CountIncomingConnections() const;
    // Takes a slot for address; *tooRecent is set when refused for connecting too often.
    RemoteSystem* TakeSlot(const SystemAddress& address, const P2PNetGUID& guid, unsigned mtu,
                           PlatformSocket* socket, bool* tooRecent, uint64_t nowMs);
    // Immediate send through the reliability layer (update thread only).
    // ownedData (when given) holds data and may be taken over by the one connection it goes to.
    bool SendImmediate(const uint8_t* data, uint32_t bits, SendPriority priority,
                       ReliabilityKind reliability, uint8_t orderingChannel,
                       const PeerTarget& target, bool broadcast, uint32_t receipt, uint64_t nowMicros,
                       std::vector<uint8_t>* ownedData = nullptr);
    // Fills in a send command and queues it, waking the update thread as the priority asks.
    void PushSendCommand(QueuedCommand command, uint32_t bits, SendPriority priority,
                         ReliabilityKind reliability, uint8_t orderingChannel, const PeerTarget& target,
                         bool broadcast, uint32_t receipt, bool setState, RemoteSystemState state);
    // Queues a send command with data the command takes over; any thread.
    void QueueSendOwned(std::vector<uint8_t> data, uint32_t bits, SendPriority priority,
                        ReliabilityKind reliability, uint8_t orderingChannel, const PeerTarget& target,
                        bool broadcast, uint32_t receipt);
    // Queues a send command; any thread.
    void QueueSend(const uint8_t* data, uint32_t bits, SendPriority priority,
                   ReliabilityKind reliability, uint8_t orderingChannel, const PeerTarget& target,
                   bool broadcast, uint32_t receipt, bool setState = false,
                   RemoteSystemState state = RemoteSystemState::NoAction);
    // Closes a connection (see the remote-system table rules); immediate forms on the update
    // thread only.
    void CloseConnectionInternal(const PeerTarget& target, bool notify, bool immediate,
                                 uint8_t orderingChannel, SendPriority priority);
    // Frees a slot at once, whatever its state and whether or not the peer is stopping. Update
    // thread (or Stop after it), table lock held.
    void RemoveSlot(RemoteSystem* remote);
    // Open requests answered lately (update thread): only their senders' confirmations take a
    // slot.
    void NoteAnsweredRequest(const SystemAddress& sender, uint64_t nowMs);
    bool WasAnsweredLately(const SystemAddress& sender, uint64_t nowMs) const;
    // Slots of the sender's IP address that wait for their connection request (table lock held).
    unsigned CountUnverifiedFrom(const SystemAddress& sender) const;
    // The one of those that has waited longest, or null (table lock held).
    RemoteSystem* OldestUnverifiedFrom(const SystemAddress& sender) const;
    // True when a closing slot may go now (update thread, table lock held).
    bool ClosingSlotIsDone(RemoteSystem& remote, uint64_t nowMs) const;
    void SendConnectedPing(const SystemAddress& target, bool immediate);
    bool IsLoopbackTarget(const PeerTarget& target) const;

    // ---- packets and datagrams ----
    // A packet with a copy of data, source set, pushed at the tail of the packet queue.
    void PushPacket(const uint8_t* data, unsigned bytes, const SystemAddress& source,
                    const P2PNetGUID& guid, bool generatedLocally);
    void PushOneBytePacket(uint8_t id, const SystemAddress& source, const P2PNetGUID& guid);
    // Raw datagram outside the reliability layer; plug-ins of the second list are told first.
    int SendRaw(PlatformSocket* socket, const uint8_t* data, unsigned length,
                const SystemAddress& target, int ttl = 0, bool dontFragment = false);
    PlatformSocket* SocketAt(unsigned index) const;
    void NotifyRawReceive(const uint8_t* data, unsigned length, const SystemAddress& sender);
    void ShiftTimestamp(Packet* packet);
    static bool WantsDontFragment(const PlatformSocket* socket);

    // ---- state: written under the named lock, or by the update thread only ----
    std::atomic<bool> m_endThreads{true};
    unsigned m_maximumConnections = 0;
    std::atomic<uint16_t> m_maximumIncomingConnections{0};
    P2PNetGUID m_myGuid;
    std::atomic<uint32_t> m_defaultTimeoutMs{kDefaultTimeoutMs};
    std::atomic<uint32_t> m_closeGraceMs{1000};
    struct AnsweredRequest {
        SystemAddress address;
        uint64_t timeMs = 0;
    };
    std::deque<AnsweredRequest> m_answeredRequests; // update thread only, oldest first
    std::atomic<uint32_t> m_unreliableTimeoutMs{1000};
    std::atomic<int> m_splitProgressStep{0};
    std::atomic<AckRule> m_ackRule{AckRule::EndOfRound};
    std::atomic<int> m_bitsPerSecondLimit{0};
    std::atomic<bool> m_limitConnectionFrequency{false};
    std::atomic<bool> m_occasionalPing{false};
    std::atomic<bool> m_acceptJoinInAnyState{false};
    std::atomic<void*> m_hookPointer{nullptr};
    // The next receipt number: 1 after Start, never 0.
    std::atomic<uint32_t> m_receiptCounter{1};

    // The rooms (see the top of this file). Declared before the sockets and the update thread,
    // which use them, so that they outlive both.
    BanList m_banList;
    LocalAddresses m_localAddresses;
    PacketQueue m_packets;
    PluginSet m_plugins;
    ReceiveBuffers m_receiveBuffers;  // the sockets' receive threads fill them
    SocketQueries m_socketQueries;
    UpdateThreadEvents m_threadEvents;
    PeerTestFaults m_testFaults;      // the datagram hook of every socket

    // Values the application sets and the update thread reads: under m_settingsLock.
    std::mutex m_settingsLock;
    CycleHook m_cycleHook = nullptr;
    void* m_cycleHookData = nullptr;
    std::vector<uint8_t> m_joinPassword;
    std::vector<char> m_offlineReply;

    SocketLibraryRef m_socketLibrary;
    // Sockets: created by Start and deleted by Stop under m_socketsLock (exclusive), never while
    // the update thread runs; public operations that send hold it shared. The update thread
    // needs no lock: the sockets outlive it.
    mutable std::shared_mutex m_socketsLock;
    std::vector<std::unique_ptr<PlatformSocket>> m_sockets;

    // Remote-system table: the update thread changes it under m_tableLock; other threads read
    // it under the same lock. Recursive: plug-ins called from the update thread may query.
    mutable platform::CriticalSection m_tableLock;
    std::vector<std::unique_ptr<RemoteSystem>> m_remoteSystems;
    std::vector<RemoteSystem*> m_slotPointers;  // m_remoteSystems[i].get()
    std::vector<RemoteSystem*> m_activeSystems;
    RemoteSystemHash m_addressHash;
    std::atomic<bool> m_stopping{false};

    // Serialises update rounds (the update thread and UpdateCycle callers).
    std::mutex m_roundLock;
    // Datagrams written by the reliability layers in the current round (under m_roundLock).
    OutgoingBatch m_outgoing;
    // Earliest deadline of any connection (NowMicros) for a delayed acknowledgement or the rest
    // of a burst the burst limit held back; 0 when none.
    std::atomic<uint64_t> m_nextAckDueMicros{0};

    // Work queued for the update thread: under m_commandLock.
    std::mutex m_commandLock;
    std::deque<QueuedCommand> m_commands;

    // Connection attempts not answered yet: under m_connectionLock.
    std::mutex m_connectionLock;
    std::deque<RequestedConnection> m_requestedConnections;

    // Wakes the update thread before its round's time is up.
    platform::AutoResetEvent m_updateEvent;

    platform::Thread m_updateThread;
};

} // namespace P2PNet
