// The reliability layer of one peer connection: turns messages into numbered UDP datagrams of at
// most the connection MTU, acknowledges what arrives, resends reliable messages that are not
// acknowledged in time, paces new data by its CongestionManager, reassembles split messages,
// drops duplicates, puts ordered and sequenced messages in order per ordering channel and reports
// send receipts.
//
// How the peer drives it (all calls on the peer's update thread; the layer has no lock, no
// socket and no clock of its own: every call that needs the time takes it, in microseconds, so
// tests can run it on a fake clock):
//
//   ReliabilityLayer layer;                                  // or ReliabilityLayer(mtu, now)
//   layer.Reset(connectionMtu - 28, nowUs);                  // new connection / slot closed;
//                                                            // frees everything it holds
//   layer.SetTimeout(ms);                                    // dead-connection time-out
//   layer.SetUnreliableTimeout(ms);                          // 0 = unreliable data never expires
//   layer.SetSplitProgressInterval(fragments);               // 0 = no split progress messages
//
//   layer.HandleDatagram(data, length, remote, send, plugins, nowUs);   // each datagram from remote
//   layer.Send(data, bits, priority, kind, channel, nowUs, receipt);    // each outgoing message
//   layer.Update(remote, send, nowUs, bitsPerSecondLimit, plugins);     // once per update round
//   LayerMessage m; while (layer.Receive(m)) { ... }                    // delivered messages,
//                                  // receipts 14/15 and split progress 30 (generatedLocally set)
//
//   layer.LinkIsDead()            // set by Update: close the connection (reported as lost)
//   layer.IsDeadAt(nowMs)         // the same test applied at a given time (closing slots)
//   layer.IsOutgoingIdle()        // nothing queued and nothing waiting for acknowledgement
//   layer.HasUnacknowledged()     // reliable data sent and not yet acknowledged
//   layer.HasPendingAcknowledgements() // acknowledgements still to be sent
//   layer.GetStatistics()         // byte counters, queue sizes, window, round trip
//   layer.GetLastArrivalMs(), GetLastUpdateUs()/SetLastUpdateUs()      // probe and clock checks
//   layer.GetMtu()
//
// `send` is how datagrams leave: a callable that writes one datagram to the remote system (the
// peer binds its socket and the remote address into it). `plugins` are told of refused
// datagrams (OnLayerNotice), of each message sent or parsed (OnMessageTrace) and of each
// acknowledged reliable message (OnMessageAcked).
//
// Messages with the ids 14 and 15 (send receipts) are produced only by the layer itself: such
// messages arriving from the network are dropped here (IsLocalOnlyMessageId), so the peer can
// hand 14 and 15 from Receive() to the application as they are.
#pragma once

#include "CongestionManager.h"
#include "DatagramRangeList.h"
#include "InternalPacket.h"
#include "ReliabilityKind.h"
#include "SystemAddress.h"

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <vector>

namespace P2PNet {

class BitStream;
class PeerPlugin;

// Writes one datagram to the remote system.
using DatagramSender = std::function<void(const uint8_t* data, uint32_t length)>;

// A message taken from the layer's output queue.
struct LayerMessage {
    std::vector<uint8_t> data;
    uint32_t bitLength = 0;
    // Made by the layer itself (receipts 14 and 15, split progress 30), not received.
    bool generatedLocally = false;
};

// How a layer acknowledges what it receives and answers the acknowledgements it gets.
enum class AckRule : uint8_t {
    // At the end of each round that received data (the peer runs a round as soon as datagrams
    // arrive), except that a round's lone datagram of whole messages waits up to
    // kLoneAckDelayUs for company; every ACK datagram repeats the ranges of the two ACKs before it, so that one lost
    // ACK costs no resend; a negatively acknowledged message is resent in the next round wherever
    // it sits in the resend list.
    EndOfRound = 0,
    // The earlier rule, kept to talk to and test against peers that use it: ACKs wait up to
    // CongestionManager::kAckDelayUs (10 ms) after the first unacknowledged arrival, carry only
    // new ranges, and a negatively acknowledged message waits until it reaches the head of the
    // resend list.
    Delayed = 1,
};

// The seven byte counters of a layer.
enum class LayerCounter : int {
    BytesPushed = 0,             // handed to Send
    BytesSent = 1,               // data of new messages sent
    BytesResent = 2,             // data of messages resent
    BytesReceivedDelivered = 3,  // data of received messages delivered
    BytesReceivedIgnored = 4,    // data of received messages dropped
    DatagramBytesSent = 5,       // raw datagram bytes sent
    DatagramBytesReceived = 6,   // raw datagram bytes received
};
constexpr int kLayerCounterCount = 7;

struct ReliabilityStatistics {
    // Bytes within the last second and since the last reset, indexed by LayerCounter.
    std::array<uint64_t, kLayerCounterCount> perSecond{};
    std::array<uint64_t, kLayerCounterCount> total{};
    // Resent bytes per new bytes sent, and ignored bytes per received message bytes, within the
    // last second (0 when nothing was sent or received).
    double resentShare = 0;
    double ignoredShare = 0;
    std::array<uint32_t, kSendPriorityCount> queuedMessages{};
    std::array<uint64_t, kSendPriorityCount> queuedBytes{};
    // Reliable messages sent and not yet acknowledged, their data bytes, and their bytes on the
    // wire (header and data).
    uint32_t messagesWaitingForAck = 0;
    uint64_t bytesWaitingForAck = 0;
    uint64_t bytesInFlight = 0;
    double congestionWindow = 0;
    double estimatedRttUs = -1;
    uint64_t retransmissionTimeoutUs = 0;
    bool linkIsDead = false;

    // Adds another connection's figures, for the sum over all connections: every count and
    // share is added (estimatedRttUs too), linkIsDead is set when either is.
    ReliabilityStatistics& operator+=(const ReliabilityStatistics& add);
};

class ReliabilityLayer {
public:
    // Largest split count accepted from the network and produced by Send: a 1 MiB message plus
    // headroom fits at the smallest MTU (576, 516 data bytes per fragment: 2033 fragments).
    static constexpr uint32_t kMaxSplitCount = 4096;
    // Split messages being reassembled at once. A well-behaved sender has at most 512 reliable
    // messages unacknowledged, so it can never have more incomplete messages open than that.
    static constexpr std::size_t kMaxOpenSplitAssemblies = 1024;
    // Bytes a connection may hold for messages not yet deliverable (fragments of incomplete split
    // messages, early ordered messages). Far above what a sender within its 512-message window
    // can cause; bounds what a hostile one can.
    static constexpr uint64_t kMaxHeldBytes = 64ull * 1024 * 1024;
    // Ranges of missing datagram numbers kept for NAKs; further gaps are left to the resend
    // time-out of the sender.
    static constexpr std::size_t kMaxPendingNakRanges = 4096;
    // Reliable messages more than this far ahead of the next expected one are dropped.
    static constexpr uint32_t kMaxHoleCount = 1000000;
    // Layer MTU range (the connection MTU less 28); values outside are clamped.
    static constexpr uint32_t kMinMtu = 64;
    static constexpr uint32_t kMaxMtu = 1472;
    static constexpr uint32_t kDefaultMtu = 576 - 28;
    static constexpr uint32_t kDefaultTimeoutMs = 6000;
    // Reliable messages that may be unacknowledged at once (resend buffer slots).
    static constexpr uint32_t kResendBufferSize = 512;
    // Bytes of new data one round puts on the wire at most (AckRule::EndOfRound). The round is
    // clocked by arriving acknowledgements, so this spaces a window's worth of datagrams over
    // several rounds instead of one burst that a user-space forwarder on the path (or the
    // receiver's socket) could not take in one go.
    static constexpr uint64_t kMaxBurstBytes = 64 * 1024;
    // A round that stopped at kMaxBurstBytes with more data allowed asks for the next round this
    // many microseconds later (IsBurstLimited), so that the sending rate does not hang on how
    // often acknowledgements arrive: a forwarder on the path that passes them on in batches
    // would otherwise let one burst out per batch.
    static constexpr uint64_t kBurstGapUs = 150;
    // AckRule::EndOfRound: how long the acknowledgement of a lone data datagram (the only one of
    // its round) may wait for more, in microseconds.
    static constexpr uint64_t kLoneAckDelayUs = 1000;
    // Sent datagrams remembered for acknowledgement.
    static constexpr std::size_t kMaxDatagramHistory = 512;

    explicit ReliabilityLayer(uint32_t mtu = kDefaultMtu, uint64_t timeUs = 0);
    ~ReliabilityLayer();
    ReliabilityLayer(const ReliabilityLayer&) = delete;
    ReliabilityLayer& operator=(const ReliabilityLayer&) = delete;

    // Starts over for a new connection: frees every queued, unacknowledged, partly reassembled
    // and undelivered message and clears all numbering, counters and round-trip state. The
    // settings (time-outs, progress interval) are kept. mtu: connection MTU less 28 bytes.
    void Reset(uint32_t mtu, uint64_t timeUs);

    void SetTimeout(uint32_t timeoutMs) { m_timeoutMs = timeoutMs; }
    uint32_t GetTimeout() const { return m_timeoutMs; }
    // How acknowledgements are sent and answered; kept by Reset. EndOfRound by default.
    void SetAckRule(AckRule rule);
    AckRule GetAckRule() const { return m_ackRule; }
    // Queued unreliable messages older than this are dropped unsent; 0 = never.
    void SetUnreliableTimeout(uint32_t timeoutMs);
    // With n > 0, every n-th fragment of an incomplete split message (once its first fragment
    // is in) produces a progress message 30.
    void SetSplitProgressInterval(uint32_t fragments) { m_splitProgressInterval = fragments; }
    uint32_t GetSplitProgressInterval() const { return m_splitProgressInterval; }

    // Queues a message (copied). Out-of-range kinds, priorities and channels are normalised.
    // False for an empty message or one that would need more than kMaxSplitCount fragments.
    // ownedData: the vector data lies in, which the layer may take over (moved from) instead of
    // copying a message it splits; left as it was when the layer copies.
    bool Send(const uint8_t* data, uint32_t bitLength, SendPriority priority, ReliabilityKind kind,
              uint32_t orderingChannel, uint64_t timeUs, uint32_t receiptNumber = 0,
              std::vector<uint8_t>* ownedData = nullptr);

    // Handles one datagram from the remote system. False when an acknowledgement list was
    // unreadable (plugins are told); true otherwise, also for datagrams refused with a notice.
    bool HandleDatagram(const uint8_t* data, uint32_t length, const SystemAddress& remote,
                        const DatagramSender& send, std::span<PeerPlugin* const> plugins,
                        uint64_t timeUs);

    // One round of time-outs, acknowledgements and sending. bitsPerSecondLimit 0 = no limit.
    void Update(const SystemAddress& remote, const DatagramSender& send, uint64_t timeUs,
                uint32_t bitsPerSecondLimit, std::span<PeerPlugin* const> plugins);

    // Takes the oldest message of the output queue; false when it is empty.
    bool Receive(LayerMessage& message);
    bool HasOutput() const { return !m_output.empty(); }

    // Holding back the remote's data while the application cannot take more: data datagrams
    // are then dropped unacknowledged (their numbers are kept for a NAK), so the remote's resend
    // window fills and its sending stops; acknowledgements still count. Releasing the hold sends
    // the NAK, and the remote resends at once. Cleared by Reset.
    void SetIncomingHeld(bool held) { m_incomingHeld = held; }
    bool IsIncomingHeld() const { return m_incomingHeld; }

    bool LinkIsDead() const { return m_dead; }
    // The dead-connection test at a given time: silent for longer than the time-out (at most an
    // hour), or the clock went back by more than 10 s.
    bool IsDeadAt(uint64_t timeMs) const;
    bool IsOutgoingIdle() const { return m_sendQueue.empty() && m_resendHead == nullptr; }
    bool HasUnacknowledged() const { return m_resendHead != nullptr; }
    // True when the last round's new data stopped at kMaxBurstBytes although the congestion
    // window, the resend buffer and the rate limit allowed more: the next round is due
    // kBurstGapUs later, whether or not anything arrives.
    bool IsBurstLimited() const { return m_burstLimited; }
    // Acknowledgements of received datagrams not yet sent (held by the delayed-acknowledgement
    // rule); a slot dropped before they leave leaves the remote resending until its time-out.
    bool HasPendingAcknowledgements() const { return !m_acks.IsEmpty(); }

    uint64_t GetLastArrivalMs() const { return m_lastArrivalMs; }
    uint64_t GetLastUpdateUs() const { return m_lastUpdateUs; }
    void SetLastUpdateUs(uint64_t timeUs) { m_lastUpdateUs = timeUs; }
    uint32_t GetMtu() const { return m_mtu; }
    const CongestionManager& GetCongestionManager() const { return m_congestion; }
    ReliabilityStatistics GetStatistics() const;

    // Message ids that only the layer itself produces (send receipts 14 and 15).
    static bool IsLocalOnlyMessageId(uint8_t id) { return id == 14 || id == 15; }

    // Receive-side state, for diagnostics and tests.
    uint32_t GetNextExpectedMessageNumber() const { return m_nextExpectedNumber; }
    std::size_t GetMissingMessageCount() const;
    std::size_t GetOpenSplitAssemblies() const { return m_splits.size(); }
    uint64_t GetHeldBytes() const { return m_heldBytes; }

    // Half-range comparison of 24-bit numbers: true when a is older than b.
    static bool IsOlder(uint32_t a, uint32_t b);

private:
    using PacketPtr = std::unique_ptr<InternalPacket>;

    // A byte count with a running total and a one-second sliding window.
    struct ByteCounter {
        struct Bucket {
            uint64_t timeUs;
            uint64_t bytes;
        };
        uint64_t total = 0;
        uint64_t window = 0;
        std::deque<Bucket> buckets;
        void Add(uint64_t timeUs, uint64_t bytes);
        void Prune(uint64_t timeUs);
        void Clear();
    };

    struct QueueEntry {
        uint64_t weight;
        uint64_t sequence;
        InternalPacket* packet;
    };

    struct HistoryEntry {
        uint64_t sendTimeUs = 0;
        std::vector<uint32_t> messageNumbers;
        bool acknowledged = false;
    };

    struct ReceiptEntry {
        uint32_t datagramNumber;
        uint32_t receiptNumber;
        uint64_t expiryUs;
    };

    // A split message being reassembled.
    struct SplitAssembly {
        uint32_t splitCount = 0;
        std::vector<PacketPtr> fragments;
        uint32_t received = 0;
        uint64_t lastFragmentUs = 0;
        // Bytes charged to m_heldBytes for this assembly.
        uint64_t heldBytes = 0;
    };

    // Ordered and sequenced messages that arrived early on one channel, smallest weight first.
    struct OrderingHeap {
        struct Entry {
            uint64_t weight;
            uint64_t sequence;
            std::unique_ptr<InternalPacket> packet;
        };
        std::vector<Entry> entries;
    };

    struct OrderingChannel {
        uint64_t heapSequence = 0;
        uint32_t nextOrderingIndex = 0;
        uint32_t nextSequencingIndex = 0;
        uint32_t heapBase = 0;
        OrderingHeap heap;
    };

    // A datagram being packed during Update.
    struct PendingDatagram {
        std::vector<InternalPacket*> messages;
        std::vector<ReceiptEntry> receipts;
        uint32_t bits = 0;
        bool IsEmpty() const { return messages.empty(); }
    };

    struct Context {
        const SystemAddress& remote;
        const DatagramSender& send;
        std::span<PeerPlugin* const> plugins;
        uint64_t timeUs;
    };

    void FreeAll();
    PacketPtr AcquirePacket();
    void RecyclePacket(PacketPtr packet);
    void RecyclePacket(InternalPacket* packet) { RecyclePacket(PacketPtr(packet)); }
    static void SetPacketData(InternalPacket& packet, const uint8_t* data, uint32_t byteLength);
    static void DropPacketData(InternalPacket& packet);

    // Send side.
    uint64_t NextWeight(SendPriority priority);
    void PushSendQueue(InternalPacket* packet);
    InternalPacket* PopSendQueue();
    void SplitMessage(InternalPacket* packet, const uint8_t* data, uint32_t byteLength, uint32_t bitLength,
                      std::vector<uint8_t>* ownedData);
    static uint32_t HeaderBits(const InternalPacket& packet);
    static uint32_t PackedBytes(const InternalPacket& packet);
    uint32_t MaxDatagramMessageBits() const { return m_mtu * 8 - 72; }
    void AppendResendList(InternalPacket* packet);
    void RemoveResendList(InternalPacket* packet);
    void AppendUnreliableList(InternalPacket* packet);
    void RemoveUnreliableList(InternalPacket* packet);
    void ExpireUnreliable(uint64_t timeUs);
    void SendRound(const Context& context, uint32_t bitsPerSecondLimit);
    // Moves a resent packet into the datagram and to the tail of the resend list.
    void PackResend(InternalPacket* packet, PendingDatagram& datagram, uint32_t bytes, bool afterTimeout,
                    bool lastRoundContinuous, uint64_t timeUs);
    void CloseDatagram(const Context& context, PendingDatagram& datagram, bool continuousSend);
    void WriteMessage(BitStream& stream, const InternalPacket& packet) const;
    void SendAcknowledgements(const Context& context);
    void SendNegativeAcknowledgements(const Context& context);
    void PushHistory(uint32_t datagramNumber, HistoryEntry entry);
    template <class Visitor>
    void VisitHistory(const DatagramRangeList::Range& range, Visitor&& visit);
    bool HandleAck(BitStream& stream, bool hasExtraField, const Context& context);
    bool HandleNak(BitStream& stream, const Context& context);
    void AcknowledgeMessage(uint32_t messageNumber, const Context& context);
    void QueueReceipt(uint8_t id, uint32_t receiptNumber);

    // Receive side.
    void HandleData(BitStream& stream, const Context& context);
    PacketPtr CreateInternalPacketFromBitStream(BitStream& stream);
    void HandleIncomingMessage(PacketPtr packet, const Context& context);
    PacketPtr HandleSplitFragment(PacketPtr packet, const Context& context);
    void HandleOrdered(PacketPtr packet);
    void PushOrderingHeap(OrderingChannel& channel, PacketPtr packet);
    PacketPtr PopOrderingHeap(OrderingChannel& channel);
    void Deliver(PacketPtr packet);
    void Ignore(PacketPtr packet);

    void Notice(const Context& context, const char* text, uint32_t bitCount);
    void TraceMessage(const Context& context, const InternalPacket& packet, uint32_t frameNumber, bool sent);

    // ---- Configuration ----
    uint32_t m_mtu = kDefaultMtu;
    AckRule m_ackRule = AckRule::EndOfRound;
    uint32_t m_timeoutMs = kDefaultTimeoutMs;
    uint64_t m_unreliableTimeoutUs = 0;
    uint64_t m_unreliableCountdownUs = 0;
    uint32_t m_splitProgressInterval = 0;

    CongestionManager m_congestion;

    // ---- Send side ----
    // Packets taken from the pool for sending are owned by the layer through raw pointers while
    // they sit in the send queue or, once sent, in the resend list; they go back through
    // RecyclePacket when acknowledged, sent unreliably, discarded or freed by Reset.
    std::vector<QueueEntry> m_sendQueue;
    uint64_t m_queueSequence = 0;
    std::array<uint64_t, kSendPriorityCount> m_nextWeight{};
    std::array<uint32_t, kSendPriorityCount> m_queuedCount{};
    std::array<uint64_t, kSendPriorityCount> m_queuedBytes{};
    uint32_t m_nextReliableNumber = 0;
    uint32_t m_nextSendOrder = 0;
    uint16_t m_nextSplitId = 0;
    std::array<uint32_t, NUMBER_OF_ORDERED_STREAMS> m_sendOrderingIndex{};
    std::array<uint32_t, NUMBER_OF_ORDERED_STREAMS> m_sendSequencingIndex{};
    // ResendBuffer: slot = reliable message number mod 512.
    std::array<InternalPacket*, kResendBufferSize> m_resendBuffer{};
    // Heads of the circular resend list (send order) and unreliable list.
    InternalPacket* m_resendHead = nullptr;
    InternalPacket* m_unreliableHead = nullptr;
    // DatagramHistory: entry i is datagram number m_historyBase + i.
    std::deque<HistoryEntry> m_history;
    uint32_t m_historyBase = 0;
    // ReceiptList, in send order.
    std::deque<ReceiptEntry> m_receipts;
    DatagramRangeList m_acks;
    DatagramRangeList m_naks;
    // The new ranges of the last two ACK rounds, repeated in the next ACK (AckRule::EndOfRound).
    std::array<std::vector<DatagramRangeList::Range>, 2> m_previousAcks;
    // Reliable message numbers negatively acknowledged and not yet resent (AckRule::EndOfRound).
    std::vector<uint32_t> m_nakResends;
    uint32_t m_unackedCount = 0;
    uint64_t m_unackedBytes = 0;
    uint64_t m_bytesInFlight = 0;
    bool m_continuousSend = false;

    // ---- Time and liveness ----
    uint64_t m_lastUpdateUs = 0;
    // Time of the call in progress (HandleDatagram or Update), for the byte counters.
    uint64_t m_currentTimeUs = 0;
    uint64_t m_lastArrivalMs = 0;
    uint64_t m_lastCounterPruneUs = 0;
    bool m_dead = false;
    bool m_incomingHeld = false;
    bool m_burstLimited = false;
    std::array<ByteCounter, kLayerCounterCount> m_counters;

    // ---- Receive side ----
    uint32_t m_nextExpectedNumber = 0;
    // One flag per reliable message number from m_nextExpectedNumber on: true = still missing.
    std::deque<bool> m_holes;
    std::array<OrderingChannel, NUMBER_OF_ORDERED_STREAMS> m_ordering;
    std::map<uint16_t, SplitAssembly> m_splits;
    uint64_t m_heldBytes = 0;
    uint32_t m_receivedDatagrams = 0;
    // Data datagrams handled since the last Update (the current round), and whether one of
    // them carried a split fragment.
    uint32_t m_roundDataDatagrams = 0;
    bool m_roundHadFragment = false;
    std::deque<LayerMessage> m_output;

    // ---- Scratch (kept between rounds) ----
    std::vector<PacketPtr> m_packetPool;
    std::vector<DatagramRangeList::Range> m_incomingRanges;
    std::vector<DatagramRangeList::Range> m_mergedRanges;
    std::unique_ptr<BitStream> m_scratch;
};

} // namespace P2PNet
