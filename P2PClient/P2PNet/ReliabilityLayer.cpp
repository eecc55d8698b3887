#include "ReliabilityLayer.h"

#include "BitStream.h"
#include "PeerPlugin.h"

#include <algorithm>
#include <cstring>

// Datagram format. Byte 0 carries the flags, from the most significant bit: isValid, isAck,
// isNak (hasExtraField in an ACK), isPair, isContinuousSend, needsExtraField, 0, 0.
//   data datagram: [flags][u24 datagram number][message][message]...
//   ACK datagram:  [flags][u32 extra field, only when hasExtraField][DatagramRangeList]
//   NAK datagram:  [flags][DatagramRangeList]
// Message, starting on a byte boundary:
//   [kind << 5 | split << 4][u16 data bits][u24 reliable number: kinds 2-4]
//   [u24 sequencing index: kinds 1, 4][u24 ordering index, u8 channel: kinds 1, 3, 4]
//   [u32 split count, u16 split id, u32 split index: fragments][data bytes]
// 16- and 32-bit numbers are big-endian, 24-bit numbers little-endian.

namespace P2PNet {

ReliabilityStatistics& ReliabilityStatistics::operator+=(const ReliabilityStatistics& add)
{
    for (int i = 0; i < kLayerCounterCount; ++i) {
        perSecond[i] += add.perSecond[i];
        total[i] += add.total[i];
    }
    resentShare += add.resentShare;
    ignoredShare += add.ignoredShare;
    for (unsigned i = 0; i < kSendPriorityCount; ++i) {
        queuedMessages[i] += add.queuedMessages[i];
        queuedBytes[i] += add.queuedBytes[i];
    }
    messagesWaitingForAck += add.messagesWaitingForAck;
    bytesWaitingForAck += add.bytesWaitingForAck;
    bytesInFlight += add.bytesInFlight;
    congestionWindow += add.congestionWindow;
    estimatedRttUs += add.estimatedRttUs;
    retransmissionTimeoutUs += add.retransmissionTimeoutUs;
    linkIsDead = linkIsDead || add.linkIsDead;
    return *this;
}

namespace {

constexpr uint8_t kFlagValid = 0x80;
constexpr uint8_t kFlagAck = 0x40;
constexpr uint8_t kFlagNak = 0x20;
constexpr uint8_t kFlagHasExtraField = 0x20;
constexpr uint8_t kFlagContinuousSend = 0x08;
constexpr uint8_t kFlagSplit = 0x10;

constexpr uint8_t kProbe = 'P';
constexpr uint8_t kProbeReply = 'Q';

constexpr uint8_t kIdReceiptAcked = 14;
constexpr uint8_t kIdReceiptLost = 15;
constexpr uint8_t kIdSplitProgress = 30;

constexpr uint64_t kMaxElapsedUs = 100000;
constexpr uint64_t kDeadLimitMs = 3600000;
constexpr uint64_t kClockBackLimitMs = 10000;
constexpr uint64_t kCounterPruneIntervalUs = 100000;
constexpr uint64_t kCounterWindowUs = 1000000;
// Counter entries closer together than this share one bucket of the sliding window.
constexpr uint64_t kCounterBucketUs = 10000;
// A message is split when its data exceeds MTU - 32 bytes; fragments carry that much.
constexpr uint32_t kSplitOverhead = 32;
constexpr uint32_t kHalfRange = 0x7FFFFF;
// Ordered messages waiting in a heap are spaced by this weight per ordering index.
constexpr uint32_t kOrderingWeightShift = 20;
constexpr uint32_t kOrderedWeightLow = 0xFFFFF;
constexpr std::size_t kMaxPooledPackets = 512;

constexpr uint64_t StepWeight(uint32_t p)
{
    return (uint64_t{1} << p) * p + p;
}

constexpr uint64_t GrowthWeight(uint32_t p)
{
    return (uint64_t{1} << p) * (p + 1) + p;
}

bool QueueEntryAfter(const auto& a, const auto& b)
{
    if (a.weight != b.weight)
        return a.weight > b.weight;
    return a.sequence > b.sequence;
}

void PutU32Host(uint8_t* out, uint32_t value)
{
    std::memcpy(out, &value, sizeof value);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Byte counters

void ReliabilityLayer::ByteCounter::Add(uint64_t timeUs, uint64_t bytes)
{
    total += bytes;
    window += bytes;
    if (!buckets.empty() && timeUs >= buckets.back().timeUs && timeUs - buckets.back().timeUs < kCounterBucketUs)
        buckets.back().bytes += bytes;
    else
        buckets.push_back(Bucket{timeUs, bytes});
}

void ReliabilityLayer::ByteCounter::Prune(uint64_t timeUs)
{
    while (!buckets.empty() && buckets.front().timeUs + kCounterWindowUs < timeUs) {
        window -= buckets.front().bytes;
        buckets.pop_front();
    }
}

void ReliabilityLayer::ByteCounter::Clear()
{
    total = 0;
    window = 0;
    buckets.clear();
}

// ---------------------------------------------------------------------------------------------
// Life cycle

ReliabilityLayer::ReliabilityLayer(uint32_t mtu, uint64_t timeUs)
    : m_scratch(std::make_unique<BitStream>())
{
    Reset(mtu, timeUs);
}

ReliabilityLayer::~ReliabilityLayer()
{
    FreeAll();
}

void ReliabilityLayer::FreeAll()
{
    // Queued packets (unreliable ones are also on the unreliable list, which only links them).
    for (QueueEntry& entry : m_sendQueue)
        RecyclePacket(entry.packet);
    m_sendQueue.clear();
    m_unreliableHead = nullptr;
    // Sent reliable packets waiting for an acknowledgement.
    while (m_resendHead != nullptr) {
        InternalPacket* packet = m_resendHead;
        RemoveResendList(packet);
        RecyclePacket(packet);
    }
    m_resendBuffer.fill(nullptr);
    m_history.clear();
    m_receipts.clear();
    m_acks.Clear();
    m_naks.Clear();
    for (auto& ranges : m_previousAcks)
        ranges.clear();
    m_nakResends.clear();
    // Receive side: incomplete split messages, early ordered messages, undelivered output.
    m_splits.clear();
    for (OrderingChannel& channel : m_ordering) {
        channel.heap.entries.clear();
        channel.heap.entries.shrink_to_fit();
    }
    m_holes.clear();
    m_holes.shrink_to_fit();
    m_output.clear();
    m_heldBytes = 0;
}

void ReliabilityLayer::Reset(uint32_t mtu, uint64_t timeUs)
{
    FreeAll();
    m_mtu = std::clamp(mtu, kMinMtu, kMaxMtu);
    m_congestion.Init(m_mtu);
    SetAckRule(m_ackRule);
    m_queueSequence = 0;
    for (uint32_t p = 0; p < kSendPriorityCount; ++p)
        m_nextWeight[p] = StepWeight(p);
    m_queuedCount.fill(0);
    m_queuedBytes.fill(0);
    m_nextReliableNumber = 0;
    m_nextSendOrder = 0;
    m_nextSplitId = 0;
    m_sendOrderingIndex.fill(0);
    m_sendSequencingIndex.fill(0);
    m_historyBase = 0;
    m_unackedCount = 0;
    m_unackedBytes = 0;
    m_bytesInFlight = 0;
    m_continuousSend = false;
    m_lastUpdateUs = timeUs;
    m_currentTimeUs = timeUs;
    m_lastArrivalMs = timeUs / 1000;
    m_lastCounterPruneUs = timeUs;
    m_dead = false;
    m_incomingHeld = false;
    m_burstLimited = false;
    for (ByteCounter& counter : m_counters)
        counter.Clear();
    m_nextExpectedNumber = 0;
    for (OrderingChannel& channel : m_ordering)
        channel = OrderingChannel{};
    m_receivedDatagrams = 0;
    m_roundDataDatagrams = 0;
    m_roundHadFragment = false;
    m_unreliableCountdownUs = m_unreliableTimeoutUs;
}

void ReliabilityLayer::SetAckRule(AckRule rule)
{
    m_ackRule = rule;
    m_congestion.SetAckDelay(rule == AckRule::Delayed ? CongestionManager::kAckDelayUs : kLoneAckDelayUs);
    if (rule == AckRule::Delayed) {
        for (auto& ranges : m_previousAcks)
            ranges.clear();
        m_nakResends.clear();
    }
}

void ReliabilityLayer::SetUnreliableTimeout(uint32_t timeoutMs)
{
    m_unreliableTimeoutUs = uint64_t{timeoutMs} * 1000;
    m_unreliableCountdownUs = m_unreliableTimeoutUs;
}

// ---------------------------------------------------------------------------------------------
// Packets

ReliabilityLayer::PacketPtr ReliabilityLayer::AcquirePacket()
{
    if (m_packetPool.empty())
        return std::make_unique<InternalPacket>();
    PacketPtr packet = std::move(m_packetPool.back());
    m_packetPool.pop_back();
    return packet;
}

void ReliabilityLayer::RecyclePacket(PacketPtr packet)
{
    if (!packet)
        return;
    if (m_packetPool.size() >= kMaxPooledPackets)
        return;
    // A block of up to one datagram stays with the pooled packet for the next fragment; larger
    // ones (reassembled messages) go back to the allocator.
    packet->heapBlock.clear();
    if (packet->heapBlock.capacity() > kMaxMtu)
        packet->heapBlock.shrink_to_fit();
    packet->sharedBlock.reset();
    packet->data = nullptr;
    packet->dataDropped = false;
    packet->resendPrev = packet->resendNext = nullptr;
    packet->unreliablePrev = packet->unreliableNext = nullptr;
    packet->timesSent = 0;
    packet->reliableMessageNumber = kNoMessageNumber;
    packet->splitPacketCount = 0;
    packet->splitPacketIndex = 0;
    packet->splitPacketId = 0;
    packet->orderingIndex = 0;
    packet->sequencingIndex = 0;
    packet->orderingChannel = 0;
    packet->receiptNumber = 0;
    m_packetPool.push_back(std::move(packet));
}

void ReliabilityLayer::SetPacketData(InternalPacket& packet, const uint8_t* data, uint32_t byteLength)
{
    if (byteLength <= InternalPacket::kInlineBytes) {
        if (byteLength > 0)
            std::memcpy(packet.inlineStore, data, byteLength);
        packet.storage = DataStorage::Inline;
        packet.data = packet.inlineStore;
    } else {
        packet.heapBlock.assign(data, data + byteLength);
        packet.storage = DataStorage::Heap;
        packet.data = packet.heapBlock.data();
    }
}

void ReliabilityLayer::DropPacketData(InternalPacket& packet)
{
    packet.heapBlock.clear();
    packet.heapBlock.shrink_to_fit();
    packet.sharedBlock.reset();
    packet.data = nullptr;
    packet.dataDropped = true;
}

// ---------------------------------------------------------------------------------------------
// Send side

uint64_t ReliabilityLayer::NextWeight(SendPriority priority)
{
    const uint32_t p = static_cast<uint32_t>(priority);
    uint64_t next = m_nextWeight[p];
    if (!m_sendQueue.empty()) {
        const QueueEntry& top = m_sendQueue.front();
        const uint32_t t = static_cast<uint32_t>(top.packet->priority);
        const uint64_t min = top.weight - (uint64_t{1} << t) * t + t;
        if (next < min)
            next = min + StepWeight(p);
        m_nextWeight[p] = next + GrowthWeight(p);
    } else {
        for (uint32_t i = 0; i < kSendPriorityCount; ++i)
            m_nextWeight[i] = StepWeight(i);
    }
    return next;
}

void ReliabilityLayer::PushSendQueue(InternalPacket* packet)
{
    const uint64_t weight = NextWeight(packet->priority);
    m_sendQueue.push_back(QueueEntry{weight, m_queueSequence++, packet});
    std::push_heap(m_sendQueue.begin(), m_sendQueue.end(),
                   [](const QueueEntry& a, const QueueEntry& b) { return QueueEntryAfter(a, b); });
    const uint32_t p = static_cast<uint32_t>(packet->priority);
    ++m_queuedCount[p];
    m_queuedBytes[p] += packet->ByteLength();
}

InternalPacket* ReliabilityLayer::PopSendQueue()
{
    std::pop_heap(m_sendQueue.begin(), m_sendQueue.end(),
                  [](const QueueEntry& a, const QueueEntry& b) { return QueueEntryAfter(a, b); });
    InternalPacket* packet = m_sendQueue.back().packet;
    m_sendQueue.pop_back();
    const uint32_t p = static_cast<uint32_t>(packet->priority);
    --m_queuedCount[p];
    m_queuedBytes[p] -= packet->ByteLength();
    return packet;
}

bool ReliabilityLayer::Send(const uint8_t* data, uint32_t bitLength, SendPriority priority,
                            ReliabilityKind kind, uint32_t orderingChannel, uint64_t timeUs,
                            uint32_t receiptNumber, std::vector<uint8_t>* ownedData)
{
    if (bitLength == 0 || data == nullptr)
        return false;
    kind = NormalizeReliabilityKind(kind);
    priority = NormalizeSendPriority(priority);
    if (orderingChannel >= NUMBER_OF_ORDERED_STREAMS)
        orderingChannel = 0;

    const uint64_t wideByteLength = (uint64_t{bitLength} + 7) / 8;
    const uint32_t fragmentBytes = m_mtu - kSplitOverhead;
    const bool split = wideByteLength > fragmentBytes;
    if (split && (wideByteLength - 1) / fragmentBytes + 1 > kMaxSplitCount)
        return false;
    const uint32_t byteLength = static_cast<uint32_t>(wideByteLength);

    m_counters[static_cast<int>(LayerCounter::BytesPushed)].Add(timeUs, byteLength);

    PacketPtr owned = AcquirePacket();
    InternalPacket* packet = owned.release();
    packet->reliableMessageNumber = kNoMessageNumber;
    packet->creationTimeUs = timeUs;
    packet->sendOrder = m_nextSendOrder;
    m_nextSendOrder = (m_nextSendOrder + 1) & kSequenceNumberMask;
    packet->priority = priority;
    packet->reliability = kind;
    packet->receiptNumber = receiptNumber;
    packet->dataBitLength = bitLength;
    packet->splitPacketCount = 0;
    packet->orderingChannel = static_cast<uint8_t>(orderingChannel);

    if (split) {
        if (kind == ReliabilityKind::Unreliable)
            packet->reliability = ReliabilityKind::Reliable;
        else if (kind == ReliabilityKind::UnreliableWithReceipt)
            packet->reliability = ReliabilityKind::ReliableWithReceipt;
        else if (kind == ReliabilityKind::UnreliableSequenced)
            packet->reliability = ReliabilityKind::ReliableSequenced;
        kind = packet->reliability;
    }

    if (IsSequencedKind(kind)) {
        packet->orderingIndex = m_sendOrderingIndex[orderingChannel];
        packet->sequencingIndex = m_sendSequencingIndex[orderingChannel];
        m_sendSequencingIndex[orderingChannel] = (m_sendSequencingIndex[orderingChannel] + 1) & kSequenceNumberMask;
    } else if (kind == ReliabilityKind::ReliableOrdered || kind == ReliabilityKind::ReliableOrderedWithReceipt) {
        packet->orderingIndex = m_sendOrderingIndex[orderingChannel];
        m_sendOrderingIndex[orderingChannel] = (m_sendOrderingIndex[orderingChannel] + 1) & kSequenceNumberMask;
        m_sendSequencingIndex[orderingChannel] = 0;
    }

    if (split) {
        SplitMessage(packet, data, byteLength, bitLength, ownedData);
        return true;
    }
    SetPacketData(*packet, data, byteLength);
    if (!IsReliableKind(kind))
        AppendUnreliableList(packet);
    PushSendQueue(packet);
    return true;
}

void ReliabilityLayer::SplitMessage(InternalPacket* packet, const uint8_t* data, uint32_t byteLength,
                                    uint32_t bitLength, std::vector<uint8_t>* ownedData)
{
    const uint32_t fragmentBytes = m_mtu - kSplitOverhead;
    const uint32_t count = (byteLength - 1) / fragmentBytes + 1;

    auto block = std::make_shared<SplitSendBlock>();
    if (ownedData != nullptr && ownedData->data() == data && ownedData->size() >= byteLength)
        block->data = std::move(*ownedData);
    else
        block->data.assign(data, data + byteLength);
    block->byteLength = byteLength;
    block->fragmentsUnacknowledged = count;

    const uint16_t splitId = m_nextSplitId++;
    for (uint32_t i = 0; i < count; ++i) {
        InternalPacket* fragment = packet;
        if (i > 0) {
            fragment = AcquirePacket().release();
            fragment->reliableMessageNumber = kNoMessageNumber;
            fragment->orderingIndex = packet->orderingIndex;
            fragment->sequencingIndex = packet->sequencingIndex;
            fragment->orderingChannel = packet->orderingChannel;
            fragment->reliability = packet->reliability;
            fragment->sendOrder = packet->sendOrder;
            fragment->creationTimeUs = packet->creationTimeUs;
            fragment->priority = packet->priority;
            fragment->receiptNumber = packet->receiptNumber;
        }
        const uint32_t offset = i * fragmentBytes;
        fragment->splitPacketId = splitId;
        fragment->splitPacketIndex = i;
        fragment->splitPacketCount = count;
        fragment->dataBitLength = (i + 1 == count) ? bitLength - offset * 8 : fragmentBytes * 8;
        fragment->storage = DataStorage::SharedBlock;
        fragment->sharedBlock = block;
        fragment->data = block->data.data() + offset;
        PushSendQueue(fragment);
    }
}

uint32_t ReliabilityLayer::HeaderBits(const InternalPacket& packet)
{
    const ReliabilityKind kind = packet.reliability;
    uint32_t bits = IsReliableKind(kind) ? 48 : 24;
    if (IsSequencedKind(kind))
        bits += 24;
    if (IsOrderedOrSequencedKind(kind))
        bits += 32;
    if (packet.IsSplit())
        bits += 80;
    return bits;
}

uint32_t ReliabilityLayer::PackedBytes(const InternalPacket& packet)
{
    return (HeaderBits(packet) + 7) / 8 + packet.ByteLength();
}

namespace {

// A message sits on two circular lists (resends and unreliable ones) through two pairs of link
// fields; these work on either pair.
using RingLink = InternalPacket* InternalPacket::*;

void ringAppend(InternalPacket*& head, InternalPacket* packet, RingLink prev, RingLink next)
{
    if (head == nullptr) {
        packet->*prev = packet->*next = packet;
        head = packet;
        return;
    }
    InternalPacket* tail = head->*prev;
    packet->*prev = tail;
    packet->*next = head;
    tail->*next = packet;
    head->*prev = packet;
}

void ringRemove(InternalPacket*& head, InternalPacket* packet, RingLink prev, RingLink next)
{
    if (packet->*next == nullptr)
        return;
    if (packet->*next == packet) {
        head = nullptr;
    } else {
        (packet->*prev)->*next = packet->*next;
        (packet->*next)->*prev = packet->*prev;
        if (head == packet)
            head = packet->*next;
    }
    packet->*prev = packet->*next = nullptr;
}

} // namespace

void ReliabilityLayer::AppendResendList(InternalPacket* packet)
{
    ringAppend(m_resendHead, packet, &InternalPacket::resendPrev, &InternalPacket::resendNext);
}

void ReliabilityLayer::RemoveResendList(InternalPacket* packet)
{
    ringRemove(m_resendHead, packet, &InternalPacket::resendPrev, &InternalPacket::resendNext);
}

void ReliabilityLayer::AppendUnreliableList(InternalPacket* packet)
{
    ringAppend(m_unreliableHead, packet, &InternalPacket::unreliablePrev, &InternalPacket::unreliableNext);
}

void ReliabilityLayer::RemoveUnreliableList(InternalPacket* packet)
{
    ringRemove(m_unreliableHead, packet, &InternalPacket::unreliablePrev, &InternalPacket::unreliableNext);
}

void ReliabilityLayer::ExpireUnreliable(uint64_t timeUs)
{
    while (m_unreliableHead != nullptr) {
        InternalPacket* packet = m_unreliableHead;
        if (packet->creationTimeUs + m_unreliableTimeoutUs >= timeUs)
            break;
        RemoveUnreliableList(packet);
        // A receipt message must still be reported: the message was never sent.
        if (packet->reliability == ReliabilityKind::UnreliableWithReceipt)
            QueueReceipt(kIdReceiptLost, packet->receiptNumber);
        // The packet itself stays queued and is discarded when it reaches the top.
        DropPacketData(*packet);
    }
}

void ReliabilityLayer::QueueReceipt(uint8_t id, uint32_t receiptNumber)
{
    LayerMessage message;
    message.data.resize(5);
    message.data[0] = id;
    PutU32Host(message.data.data() + 1, receiptNumber);
    message.bitLength = 40;
    message.generatedLocally = true;
    m_output.push_back(std::move(message));
}

void ReliabilityLayer::Update(const SystemAddress& remote, const DatagramSender& send, uint64_t timeUs,
                              uint32_t bitsPerSecondLimit, std::span<PeerPlugin* const> plugins)
{
    const Context context{remote, send, plugins, timeUs};
    m_currentTimeUs = timeUs;
    m_burstLimited = false;

    uint64_t elapsed = timeUs - m_lastUpdateUs;
    if (timeUs < m_lastUpdateUs || elapsed > kMaxElapsedUs)
        elapsed = kMaxElapsedUs;
    m_lastUpdateUs = timeUs;

    if (m_unreliableTimeoutUs > 0) {
        if (elapsed >= m_unreliableCountdownUs) {
            ExpireUnreliable(timeUs);
            m_unreliableCountdownUs = m_unreliableTimeoutUs / 2;
        } else {
            m_unreliableCountdownUs -= elapsed;
        }
    }

    if (IsDeadAt(timeUs / 1000)) {
        m_dead = true;
        return;
    }

    // EndOfRound: a round that took a burst of data datagrams, or a fragment of a split message
    // (a stream whose sender waits for the ACK clock), acknowledges at once; a lone datagram of
    // whole messages waits up to kLoneAckDelayUs for company, so that one message at a time (a
    // request and its answer) does not cost an ACK datagram, and a wake-up of both peers, each.
    const bool burst = m_ackRule == AckRule::EndOfRound && (m_roundDataDatagrams >= 2 || m_roundHadFragment);
    m_roundDataDatagrams = 0;
    m_roundHadFragment = false;
    if (!m_acks.IsEmpty() && (burst || m_congestion.IsAckDue(timeUs) || m_acks.RangeCount() > 3))
        SendAcknowledgements(context);
    // A NAK sent while held would only bring a resend that is dropped again.
    if (!m_naks.IsEmpty() && !m_incomingHeld)
        SendNegativeAcknowledgements(context);

    if (timeUs < m_lastCounterPruneUs || timeUs - m_lastCounterPruneUs >= kCounterPruneIntervalUs) {
        for (ByteCounter& counter : m_counters)
            counter.Prune(timeUs);
        m_lastCounterPruneUs = timeUs;
    }

    if (!m_receipts.empty()) {
        auto expired = [timeUs](const ReceiptEntry& e) { return e.expiryUs < timeUs; };
        for (const ReceiptEntry& entry : m_receipts)
            if (expired(entry))
                QueueReceipt(kIdReceiptLost, entry.receiptNumber);
        m_receipts.erase(std::remove_if(m_receipts.begin(), m_receipts.end(), expired), m_receipts.end());
    }

    if (m_resendHead != nullptr || !m_sendQueue.empty())
        SendRound(context, bitsPerSecondLimit);
}

void ReliabilityLayer::SendRound(const Context& context, uint32_t bitsPerSecondLimit)
{
    const uint64_t timeUs = context.timeUs;
    const bool lastRoundContinuous = m_continuousSend;
    const uint64_t transmissionBudget = m_congestion.GetTransmissionBudget(m_bytesInFlight);
    const uint64_t resendBudget = m_congestion.GetResendBudget(m_bytesInFlight);
    const uint32_t maxBits = MaxDatagramMessageBits();
    uint64_t bytesThisRound = 0;
    uint32_t datagramsClosed = 0;
    PendingDatagram datagram;

    auto close = [&]() {
        CloseDatagram(context, datagram, datagramsClosed == 0 ? lastRoundContinuous : true);
        ++datagramsClosed;
    };

    // Resends asked for by a NAK first, wherever they sit in the resend list.
    std::size_t nakTaken = 0;
    while (nakTaken < m_nakResends.size() && bytesThisRound < resendBudget) {
        const uint32_t number = m_nakResends[nakTaken];
        InternalPacket* packet = m_resendBuffer[number % kResendBufferSize];
        if (packet == nullptr || packet->reliableMessageNumber != number || packet->nextActionTimeUs > timeUs) {
            ++nakTaken;  // acknowledged or already resent since
            continue;
        }
        const uint32_t bytes = PackedBytes(*packet);
        if (datagram.bits + bytes * 8 > maxBits) {
            if (datagram.IsEmpty())
                break;
            close();
            continue;
        }
        ++nakTaken;
        PackResend(packet, datagram, bytes, false, lastRoundContinuous, timeUs);
        bytesThisRound += bytes;
    }
    m_nakResends.erase(m_nakResends.begin(), m_nakResends.begin() + static_cast<std::ptrdiff_t>(nakTaken));

    // Resends: messages whose time-out has come, oldest first.
    while (bytesThisRound < resendBudget && m_resendHead != nullptr) {
        InternalPacket* packet = m_resendHead;
        if (packet->nextActionTimeUs > timeUs)
            break;
        const uint32_t bytes = PackedBytes(*packet);
        if (datagram.bits + bytes * 8 > maxBits) {
            if (datagram.IsEmpty())
                break;
            close();
            continue;
        }
        PackResend(packet, datagram, bytes, true, lastRoundContinuous, timeUs);
        bytesThisRound += bytes;
    }

    // New data, as far as the congestion window, the resend buffer and the rate limit allow.
    auto slotFree = [this]() { return m_resendBuffer[m_nextReliableNumber % kResendBufferSize] == nullptr; };
    const ByteCounter& sentCounter = m_counters[static_cast<int>(LayerCounter::BytesSent)];
    auto rateExceeded = [&]() {
        return bitsPerSecondLimit != 0 && sentCounter.window > (uint64_t{bitsPerSecondLimit} + 7) / 8;
    };
    const uint64_t newDataBudget =
        m_ackRule == AckRule::EndOfRound ? std::min<uint64_t>(transmissionBudget, kMaxBurstBytes) : transmissionBudget;
    if (bytesThisRound < newDataBudget) {
        while (!m_sendQueue.empty() && bytesThisRound < newDataBudget && slotFree() && !rateExceeded()) {
            InternalPacket* packet = m_sendQueue.front().packet;
            if (packet->dataDropped) {
                PopSendQueue();
                RemoveUnreliableList(packet);
                RecyclePacket(packet);
                continue;
            }
            const uint32_t bytes = PackedBytes(*packet);
            if (datagram.bits + bytes * 8 > maxBits) {
                if (datagram.IsEmpty())
                    break;
                close();
                continue;
            }
            PopSendQueue();
            const uint64_t timeout = m_congestion.GetRetransmissionTimeout();
            if (IsReliableKind(packet->reliability)) {
                packet->reliableMessageNumber = m_nextReliableNumber;
                m_nextReliableNumber = (m_nextReliableNumber + 1) & kSequenceNumberMask;
                packet->retransmissionTimeoutUs = timeout;
                packet->nextActionTimeUs = timeUs + timeout;
                m_resendBuffer[packet->reliableMessageNumber % kResendBufferSize] = packet;
                AppendResendList(packet);
                ++m_unackedCount;
                m_unackedBytes += packet->ByteLength();
                m_bytesInFlight += bytes;
            } else {
                RemoveUnreliableList(packet);
                if (packet->reliability == ReliabilityKind::UnreliableWithReceipt)
                    datagram.receipts.push_back(ReceiptEntry{0, packet->receiptNumber, timeUs + timeout});
            }
            ++packet->timesSent;
            m_counters[static_cast<int>(LayerCounter::BytesSent)].Add(timeUs, packet->ByteLength());
            datagram.messages.push_back(packet);
            datagram.bits += bytes * 8;
            bytesThisRound += bytes;
        }
    }

    if (!datagram.IsEmpty())
        close();
    m_continuousSend = !m_sendQueue.empty();
    m_burstLimited = newDataBudget < transmissionBudget && bytesThisRound >= newDataBudget && !m_sendQueue.empty() &&
                     slotFree() && !rateExceeded();
}

void ReliabilityLayer::PackResend(InternalPacket* packet, PendingDatagram& datagram, uint32_t bytes,
                                  bool afterTimeout, bool lastRoundContinuous, uint64_t timeUs)
{
    // To the tail of the resend list: the list stays in order of the last send.
    if (packet == m_resendHead) {
        m_resendHead = packet->resendNext;
    } else {
        RemoveResendList(packet);
        AppendResendList(packet);
    }
    datagram.messages.push_back(packet);
    datagram.bits += bytes * 8;
    m_counters[static_cast<int>(LayerCounter::BytesResent)].Add(timeUs, packet->ByteLength());
    ++packet->timesSent;
    // A resend after a NAK has already been answered by the NAK's back-off.
    if (afterTimeout && lastRoundContinuous)
        m_congestion.OnResend();
    packet->retransmissionTimeoutUs = m_congestion.GetRetransmissionTimeout();
    packet->nextActionTimeUs = timeUs + packet->retransmissionTimeoutUs;
}

void ReliabilityLayer::CloseDatagram(const Context& context, PendingDatagram& datagram, bool continuousSend)
{
    const uint32_t number = m_congestion.TakeNextDatagramNumber();
    BitStream& stream = *m_scratch;
    stream.Reset();
    stream.WriteU8(static_cast<uint8_t>(kFlagValid | (continuousSend ? kFlagContinuousSend : 0)));
    stream.WriteU24(number);

    HistoryEntry entry;
    entry.sendTimeUs = context.timeUs;
    for (InternalPacket* packet : datagram.messages) {
        packet->headerBitLength = HeaderBits(*packet);
        WriteMessage(stream, *packet);
        if (IsReliableKind(packet->reliability))
            entry.messageNumbers.push_back(packet->reliableMessageNumber);
        TraceMessage(context, *packet, number, true);
    }
    PushHistory(number, std::move(entry));
    for (ReceiptEntry& receipt : datagram.receipts) {
        receipt.datagramNumber = number;
        m_receipts.push_back(receipt);
    }

    context.send(stream.GetData(), stream.GetNumberOfBytesUsed());
    m_counters[static_cast<int>(LayerCounter::DatagramBytesSent)].Add(context.timeUs, stream.GetNumberOfBytesUsed());

    // Unreliable messages have no further use once sent.
    for (InternalPacket* packet : datagram.messages)
        if (!IsReliableKind(packet->reliability))
            RecyclePacket(packet);
    datagram.messages.clear();
    datagram.receipts.clear();
    datagram.bits = 0;
}

void ReliabilityLayer::WriteMessage(BitStream& stream, const InternalPacket& packet) const
{
    const ReliabilityKind wire = WireReliabilityKind(packet.reliability);
    stream.WriteU8(static_cast<uint8_t>((static_cast<uint32_t>(wire) << 5) | (packet.IsSplit() ? kFlagSplit : 0)));
    stream.WriteU16Aligned(static_cast<uint16_t>(packet.dataBitLength));
    if (IsReliableKind(wire))
        stream.WriteU24(packet.reliableMessageNumber);
    if (IsSequencedKind(wire))
        stream.WriteU24(packet.sequencingIndex);
    if (IsOrderedOrSequencedKind(wire)) {
        stream.WriteU24(packet.orderingIndex);
        stream.WriteU8(packet.orderingChannel);
    }
    if (packet.IsSplit()) {
        stream.WriteU32Aligned(packet.splitPacketCount);
        stream.WriteU16Aligned(packet.splitPacketId);
        stream.WriteU32Aligned(packet.splitPacketIndex);
    }
    stream.WriteBytesAligned(packet.data, packet.ByteLength());
}

void ReliabilityLayer::PushHistory(uint32_t datagramNumber, HistoryEntry entry)
{
    if (m_history.empty() ||
        ((m_historyBase + static_cast<uint32_t>(m_history.size())) & kSequenceNumberMask) != datagramNumber) {
        m_history.clear();
        m_historyBase = datagramNumber;
    }
    if (m_history.size() >= kMaxDatagramHistory) {
        m_history.pop_front();
        m_historyBase = (m_historyBase + 1) & kSequenceNumberMask;
    }
    m_history.push_back(std::move(entry));
}

template <class Visitor>
void ReliabilityLayer::VisitHistory(const DatagramRangeList::Range& range, Visitor&& visit)
{
    // Only numbers the history holds are visited, however wide the range is: the history covers
    // at most two plain intervals of the 24-bit number space (two when it wraps).
    if (m_history.empty())
        return;
    const uint32_t size = static_cast<uint32_t>(m_history.size());
    const uint32_t base = m_historyBase;
    const uint64_t end = uint64_t{base} + size - 1;
    auto visitSegment = [&](uint32_t a, uint32_t b) {
        const uint32_t low = std::max(a, range.low);
        const uint32_t high = std::min(b, range.high);
        for (uint64_t n = low; n <= high; ++n)
            visit(static_cast<uint32_t>((n - base) & kSequenceNumberMask));
    };
    if (end <= kSequenceNumberMask) {
        visitSegment(base, static_cast<uint32_t>(end));
    } else {
        visitSegment(base, kSequenceNumberMask);
        visitSegment(0, static_cast<uint32_t>(end & kSequenceNumberMask));
    }
}

void ReliabilityLayer::SendAcknowledgements(const Context& context)
{
    if (m_ackRule == AckRule::EndOfRound) {
        // The ranges of the last two ACKs go out again with the new ones: a lost ACK datagram
        // is made good by the next one instead of by resends of everything it covered.
        std::vector<DatagramRangeList::Range> fresh = m_acks.Ranges();
        for (const auto& previous : m_previousAcks)
            for (const DatagramRangeList::Range& range : previous)
                m_acks.InsertRange(range.low, range.high);
        m_previousAcks[1].swap(m_previousAcks[0]);
        m_previousAcks[0].swap(fresh);
    }
    BitStream& stream = *m_scratch;
    while (!m_acks.IsEmpty()) {
        stream.Reset();
        stream.WriteU8(kFlagValid | kFlagAck);
        m_acks.SerializeAndRemoveFront(stream, MaxDatagramMessageBits());
        context.send(stream.GetData(), stream.GetNumberOfBytesUsed());
        m_counters[static_cast<int>(LayerCounter::DatagramBytesSent)].Add(context.timeUs, stream.GetNumberOfBytesUsed());
        m_congestion.ClearOldestUnacknowledged();
    }
}

void ReliabilityLayer::SendNegativeAcknowledgements(const Context& context)
{
    BitStream& stream = *m_scratch;
    stream.Reset();
    stream.WriteU8(kFlagValid | kFlagNak);
    m_naks.SerializeAndRemoveFront(stream, MaxDatagramMessageBits());
    context.send(stream.GetData(), stream.GetNumberOfBytesUsed());
    m_counters[static_cast<int>(LayerCounter::DatagramBytesSent)].Add(context.timeUs, stream.GetNumberOfBytesUsed());
}

// ---------------------------------------------------------------------------------------------
// Datagram handling

bool ReliabilityLayer::HandleDatagram(const uint8_t* data, uint32_t length, const SystemAddress& remote,
                                      const DatagramSender& send, std::span<PeerPlugin* const> plugins,
                                      uint64_t timeUs)
{
    const Context context{remote, send, plugins, timeUs};
    m_currentTimeUs = timeUs;
    m_counters[static_cast<int>(LayerCounter::DatagramBytesReceived)].Add(timeUs, length);
    if (data != nullptr && length > 0)
        m_lastArrivalMs = timeUs / 1000;

    if (data == nullptr) {
        Notice(context, "buffer == 0", 0);
        return true;
    }
    if (length >= 1 && data[0] == kProbe) {
        const uint8_t reply = kProbeReply;
        send(&reply, 1);
        m_counters[static_cast<int>(LayerCounter::DatagramBytesSent)].Add(timeUs, 1);
        return true;
    }
    if (length >= 1 && data[0] == kProbeReply)
        return true;
    if (length <= 2) {
        Notice(context, "length <= 2", length * 8);
        return true;
    }
    const uint8_t flags = data[0];
    if ((flags & kFlagValid) == 0) {
        Notice(context, "dhf.isValid==false", length * 8);
        return true;
    }

    BitStream stream(data, length, false);
    stream.IgnoreBits(8);
    if (flags & kFlagAck)
        return HandleAck(stream, (flags & kFlagHasExtraField) != 0, context);
    if (flags & kFlagNak)
        return HandleNak(stream, context);
    HandleData(stream, context);
    return true;
}

bool ReliabilityLayer::HandleAck(BitStream& stream, bool hasExtraField, const Context& context)
{
    const uint32_t bitCount = stream.GetNumberOfBitsUsed();
    if ((hasExtraField && !stream.IgnoreBits(32)) || !DatagramRangeList::Deserialize(stream, m_incomingRanges)) {
        Notice(context, "incomingAcks.Deserialize failed", bitCount);
        return false;
    }
    for (const DatagramRangeList::Range& range : m_incomingRanges) {
        if (range.high < range.low || range.high == kSequenceNumberMask) {
            Notice(context, "incomingAcks minIndex > maxIndex or maxIndex is max value", bitCount);
            return false;
        }
    }

    // Receipts of unreliable messages whose datagram is acknowledged: one pass over the receipt
    // list against the merged ranges.
    if (!m_receipts.empty()) {
        m_mergedRanges = m_incomingRanges;
        std::sort(m_mergedRanges.begin(), m_mergedRanges.end(),
                  [](const auto& a, const auto& b) { return a.low < b.low; });
        std::size_t out = 0;
        for (std::size_t i = 0; i < m_mergedRanges.size(); ++i) {
            if (out > 0 && m_mergedRanges[i].low <= m_mergedRanges[out - 1].high + 1)
                m_mergedRanges[out - 1].high = std::max(m_mergedRanges[out - 1].high, m_mergedRanges[i].high);
            else
                m_mergedRanges[out++] = m_mergedRanges[i];
        }
        m_mergedRanges.resize(out);
        auto acknowledged = [this](const ReceiptEntry& e) {
            auto it = std::upper_bound(m_mergedRanges.begin(), m_mergedRanges.end(), e.datagramNumber,
                                       [](uint32_t n, const auto& r) { return n < r.low; });
            return it != m_mergedRanges.begin() && e.datagramNumber <= (it - 1)->high;
        };
        for (const ReceiptEntry& entry : m_receipts)
            if (acknowledged(entry))
                QueueReceipt(kIdReceiptAcked, entry.receiptNumber);
        m_receipts.erase(std::remove_if(m_receipts.begin(), m_receipts.end(), acknowledged), m_receipts.end());
    }

    for (const DatagramRangeList::Range& range : m_incomingRanges) {
        VisitHistory(range, [&](uint32_t index) {
            HistoryEntry& entry = m_history[index];
            if (entry.acknowledged)
                return;
            entry.acknowledged = true;
            const uint32_t number = (m_historyBase + index) & kSequenceNumberMask;
            const uint64_t rtt = context.timeUs > entry.sendTimeUs ? context.timeUs - entry.sendTimeUs : 0;
            m_congestion.OnAck(rtt, m_continuousSend, number);
            for (uint32_t messageNumber : entry.messageNumbers)
                AcknowledgeMessage(messageNumber, context);
            entry.messageNumbers.clear();
            entry.messageNumbers.shrink_to_fit();
        });
    }
    // Acknowledged entries at the front have no further use.
    while (!m_history.empty() && m_history.front().acknowledged) {
        m_history.pop_front();
        m_historyBase = (m_historyBase + 1) & kSequenceNumberMask;
    }
    return true;
}

void ReliabilityLayer::AcknowledgeMessage(uint32_t messageNumber, const Context& context)
{
    InternalPacket*& slot = m_resendBuffer[messageNumber % kResendBufferSize];
    InternalPacket* packet = slot;
    if (packet == nullptr || packet->reliableMessageNumber != messageNumber)
        return;
    slot = nullptr;
    RemoveResendList(packet);
    --m_unackedCount;
    m_unackedBytes -= packet->ByteLength();
    m_bytesInFlight -= PackedBytes(*packet);

    for (PeerPlugin* plugin : context.plugins)
        plugin->OnMessageAcked(messageNumber, context.remote, context.timeUs / 1000);

    const ReliabilityKind kind = packet->reliability;
    if (kind == ReliabilityKind::ReliableWithReceipt || kind == ReliabilityKind::ReliableOrderedWithReceipt) {
        // A split message is acknowledged when its last outstanding fragment is, whatever the
        // order the fragments were acknowledged in.
        if (!packet->IsSplit() || --packet->sharedBlock->fragmentsUnacknowledged == 0)
            QueueReceipt(kIdReceiptAcked, packet->receiptNumber);
    }
    RecyclePacket(packet);
}

bool ReliabilityLayer::HandleNak(BitStream& stream, const Context& context)
{
    const uint32_t bitCount = stream.GetNumberOfBitsUsed();
    if (!DatagramRangeList::Deserialize(stream, m_incomingRanges)) {
        Notice(context, "incomingNAKs.Deserialize failed", bitCount);
        return false;
    }
    for (const DatagramRangeList::Range& range : m_incomingRanges) {
        if (range.high < range.low) {
            Notice(context, "incomingNAKs minIndex>maxIndex", bitCount);
            return false;
        }
    }
    for (const DatagramRangeList::Range& range : m_incomingRanges) {
        VisitHistory(range, [&](uint32_t index) {
            HistoryEntry& entry = m_history[index];
            if (entry.acknowledged)
                return;
            if (m_congestion.IsContinuousSend())
                m_congestion.OnNak();
            for (uint32_t messageNumber : entry.messageNumbers) {
                InternalPacket* packet = m_resendBuffer[messageNumber % kResendBufferSize];
                if (packet == nullptr || packet->reliableMessageNumber != messageNumber)
                    continue;
                packet->nextActionTimeUs = context.timeUs;
                if (m_ackRule == AckRule::EndOfRound && m_nakResends.size() < kResendBufferSize * 4)
                    m_nakResends.push_back(messageNumber);
            }
        });
    }
    return true;
}

void ReliabilityLayer::HandleData(BitStream& stream, const Context& context)
{
    uint32_t datagramNumber = 0;
    if (!stream.ReadU24(datagramNumber))
        return;
    uint32_t skipped = 0;
    if (!m_congestion.OnGotPacket(datagramNumber, context.timeUs, skipped)) {
        Notice(context, "congestionManager.OnGotPacket failed", stream.GetNumberOfBitsUsed());
        return;
    }
    // A NAK only hurries a resend that the time-out would make anyway, so a sender that skips
    // numbers on purpose cannot grow the list without bound.
    if (m_naks.RangeCount() < kMaxPendingNakRanges) {
        for (uint32_t k = skipped; k >= 1; --k)
            m_naks.Insert((datagramNumber - k) & kSequenceNumberMask);
    }
    if (m_incomingHeld) {
        if (m_naks.RangeCount() < kMaxPendingNakRanges)
            m_naks.Insert(datagramNumber);
        m_counters[static_cast<int>(LayerCounter::BytesReceivedIgnored)].Add(context.timeUs,
                                                                               stream.GetNumberOfUnreadBits() / 8);
        return;
    }
    m_acks.Insert(datagramNumber);
    ++m_receivedDatagrams;
    ++m_roundDataDatagrams;

    bool first = true;
    while (stream.GetNumberOfUnreadBits() > 0) {
        PacketPtr packet = CreateInternalPacketFromBitStream(stream);
        if (!packet) {
            if (first)
                Notice(context, "CreateInternalPacketFromBitStream failed", stream.GetNumberOfBitsUsed());
            break;
        }
        first = false;
        if (packet->splitPacketCount != 0)
            m_roundHadFragment = true;
        TraceMessage(context, *packet, m_receivedDatagrams, false);
        HandleIncomingMessage(std::move(packet), context);
    }
}

ReliabilityLayer::PacketPtr ReliabilityLayer::CreateInternalPacketFromBitStream(BitStream& stream)
{
    if (stream.GetNumberOfUnreadBits() < 32)
        return nullptr;
    stream.AlignRead();
    uint8_t head = 0;
    uint16_t bitLength = 0;
    if (!stream.ReadU8(head) || !stream.ReadU16(bitLength) || bitLength == 0)
        return nullptr;
    ReliabilityKind kind = static_cast<ReliabilityKind>(head >> 5);
    const bool split = (head & kFlagSplit) != 0;

    PacketPtr packet = AcquirePacket();
    packet->reliableMessageNumber = kNoMessageNumber;
    packet->orderingChannel = 0;
    packet->dataBitLength = bitLength;
    if (IsReliableKind(kind) && !stream.ReadU24(packet->reliableMessageNumber))
        return RecyclePacket(std::move(packet)), nullptr;
    if (IsSequencedKind(kind) && !stream.ReadU24(packet->sequencingIndex))
        return RecyclePacket(std::move(packet)), nullptr;
    if (IsOrderedOrSequencedKind(kind)) {
        if (!stream.ReadU24(packet->orderingIndex) || !stream.ReadU8(packet->orderingChannel) ||
            packet->orderingChannel >= NUMBER_OF_ORDERED_STREAMS)
            return RecyclePacket(std::move(packet)), nullptr;
    }
    if (split) {
        if (!stream.ReadU32(packet->splitPacketCount) || !stream.ReadU16(packet->splitPacketId) ||
            !stream.ReadU32(packet->splitPacketIndex) || packet->splitPacketIndex >= packet->splitPacketCount)
            return RecyclePacket(std::move(packet)), nullptr;
    } else {
        packet->splitPacketCount = 0;
    }

    const uint32_t byteLength = packet->ByteLength();
    stream.AlignRead();
    if (stream.GetNumberOfUnreadBits() < byteLength * 8)
        return RecyclePacket(std::move(packet)), nullptr;
    if (byteLength <= InternalPacket::kInlineBytes) {
        packet->storage = DataStorage::Inline;
        packet->data = packet->inlineStore;
    } else {
        packet->heapBlock.resize(byteLength);
        packet->storage = DataStorage::Heap;
        packet->data = packet->heapBlock.data();
    }
    packet->data[byteLength - 1] = 0;
    stream.ReadBytesAligned(packet->data, byteLength);

    // Kinds 5-7 never go out on the wire; a sender that writes them means 0, 2 and 3.
    packet->reliability = WireReliabilityKind(kind);
    return packet;
}

void ReliabilityLayer::HandleIncomingMessage(PacketPtr packet, const Context& context)
{
    const ReliabilityKind kind = packet->reliability;
    if (IsReliableKind(kind)) {
        const uint32_t hole = (packet->reliableMessageNumber - m_nextExpectedNumber) & kSequenceNumberMask;
        if (hole == 0) {
            if (!m_holes.empty())
                m_holes.pop_front();
            m_nextExpectedNumber = (m_nextExpectedNumber + 1) & kSequenceNumberMask;
        } else if (hole > kHalfRange) {
            Ignore(std::move(packet));
            Notice(context, "holeCount > typeRange/(DatagramSequenceNumberType) 2", 0);
            return;
        } else if (hole < m_holes.size()) {
            if (!m_holes[hole]) {
                Ignore(std::move(packet));
                return;
            }
            m_holes[hole] = false;
        } else {
            if (hole > kMaxHoleCount) {
                Ignore(std::move(packet));
                Notice(context, "holeCount > 1000000", 0);
                return;
            }
            m_holes.resize(hole, true);
            m_holes.push_back(false);
        }
        while (!m_holes.empty() && !m_holes.front()) {
            m_holes.pop_front();
            m_nextExpectedNumber = (m_nextExpectedNumber + 1) & kSequenceNumberMask;
        }
        if (m_holes.empty())
            m_holes.shrink_to_fit();
    }

    if (packet->IsSplit()) {
        packet = HandleSplitFragment(std::move(packet), context);
        if (!packet)
            return;
    }

    if (IsOrderedOrSequencedKind(packet->reliability))
        HandleOrdered(std::move(packet));
    else
        Deliver(std::move(packet));
}

ReliabilityLayer::PacketPtr ReliabilityLayer::HandleSplitFragment(PacketPtr packet, const Context& context)
{
    const uint32_t count = packet->splitPacketCount;
    if (count > kMaxSplitCount) {
        Ignore(std::move(packet));
        return nullptr;
    }
    auto it = m_splits.find(packet->splitPacketId);
    if (it == m_splits.end()) {
        const uint64_t slotBytes = uint64_t{count} * sizeof(PacketPtr);
        if (m_splits.size() >= kMaxOpenSplitAssemblies || m_heldBytes + slotBytes > kMaxHeldBytes) {
            Ignore(std::move(packet));
            return nullptr;
        }
        it = m_splits.emplace(packet->splitPacketId, SplitAssembly{}).first;
        it->second.splitCount = count;
        it->second.fragments.resize(count);
        it->second.heldBytes = slotBytes;
        m_heldBytes += slotBytes;
    }
    SplitAssembly& assembly = it->second;
    const uint32_t index = packet->splitPacketIndex;
    const uint64_t bytes = packet->ByteLength();
    if (index >= assembly.splitCount || assembly.fragments[index] || m_heldBytes + bytes > kMaxHeldBytes) {
        Ignore(std::move(packet));
        return nullptr;
    }
    m_heldBytes += bytes;
    assembly.heldBytes += bytes;
    assembly.fragments[index] = std::move(packet);
    ++assembly.received;
    assembly.lastFragmentUs = context.timeUs;

    if (assembly.received < assembly.splitCount) {
        const InternalPacket* first = assembly.fragments[0].get();
        if (m_splitProgressInterval != 0 && first != nullptr && assembly.received % m_splitProgressInterval == 0) {
            const uint32_t firstBytes = first->ByteLength();
            LayerMessage progress;
            progress.data.resize(13 + firstBytes);
            progress.data[0] = kIdSplitProgress;
            PutU32Host(progress.data.data() + 1, assembly.received);
            PutU32Host(progress.data.data() + 5, assembly.splitCount);
            PutU32Host(progress.data.data() + 9, firstBytes);
            std::memcpy(progress.data.data() + 13, first->data, firstBytes);
            progress.bitLength = static_cast<uint32_t>(progress.data.size() * 8);
            progress.generatedLocally = true;
            m_output.push_back(std::move(progress));
        }
        return nullptr;
    }

    // Complete: acknowledge at once, then rebuild the message from its fragments.
    if (!m_acks.IsEmpty())
        SendAcknowledgements(context);
    uint64_t totalBytes = 0;
    uint64_t totalBits = 0;
    for (const PacketPtr& fragment : assembly.fragments) {
        totalBytes += fragment->ByteLength();
        totalBits += fragment->dataBitLength;
    }
    const InternalPacket& first = *assembly.fragments[0];
    PacketPtr message = AcquirePacket();
    message->reliableMessageNumber = first.reliableMessageNumber;
    message->orderingIndex = first.orderingIndex;
    message->sequencingIndex = first.sequencingIndex;
    message->orderingChannel = first.orderingChannel;
    message->priority = first.priority;
    message->reliability = first.reliability;
    message->splitPacketCount = 0;
    message->dataBitLength = static_cast<uint32_t>(totalBits);
    message->heapBlock.resize(static_cast<std::size_t>(totalBytes));
    message->storage = DataStorage::Heap;
    message->data = message->heapBlock.data();
    uint8_t* out = message->data;
    for (PacketPtr& fragment : assembly.fragments) {
        std::memcpy(out, fragment->data, fragment->ByteLength());
        out += fragment->ByteLength();
        RecyclePacket(std::move(fragment));
    }
    m_heldBytes -= assembly.heldBytes;
    m_splits.erase(it);
    return message;
}

void ReliabilityLayer::PushOrderingHeap(OrderingChannel& channel, PacketPtr packet)
{
    if (channel.heap.entries.empty())
        channel.heapBase = channel.nextOrderingIndex;
    const uint64_t offset = (packet->orderingIndex - channel.heapBase) & kSequenceNumberMask;
    const uint64_t low = IsSequencedKind(packet->reliability) ? packet->sequencingIndex : kOrderedWeightLow;
    const uint64_t weight = (offset << kOrderingWeightShift) + low;
    m_heldBytes += packet->ByteLength();
    channel.heap.entries.push_back(OrderingHeap::Entry{weight, channel.heapSequence++, std::move(packet)});
    std::push_heap(channel.heap.entries.begin(), channel.heap.entries.end(),
                   [](const OrderingHeap::Entry& a, const OrderingHeap::Entry& b) { return QueueEntryAfter(a, b); });
}

ReliabilityLayer::PacketPtr ReliabilityLayer::PopOrderingHeap(OrderingChannel& channel)
{
    std::pop_heap(channel.heap.entries.begin(), channel.heap.entries.end(),
                  [](const OrderingHeap::Entry& a, const OrderingHeap::Entry& b) { return QueueEntryAfter(a, b); });
    PacketPtr packet = std::move(channel.heap.entries.back().packet);
    channel.heap.entries.pop_back();
    m_heldBytes -= packet->ByteLength();
    return packet;
}

void ReliabilityLayer::HandleOrdered(PacketPtr packet)
{
    OrderingChannel& channel = m_ordering[packet->orderingChannel];
    const bool sequenced = IsSequencedKind(packet->reliability);

    if (packet->orderingIndex != channel.nextOrderingIndex) {
        if (IsOlder(packet->orderingIndex, channel.nextOrderingIndex) ||
            m_heldBytes + packet->ByteLength() > kMaxHeldBytes) {
            Ignore(std::move(packet));
            return;
        }
        PushOrderingHeap(channel, std::move(packet));
        return;
    }

    if (sequenced) {
        if (IsOlder(packet->sequencingIndex, channel.nextSequencingIndex)) {
            Ignore(std::move(packet));
            return;
        }
        channel.nextSequencingIndex = (packet->sequencingIndex + 1) & kSequenceNumberMask;
        Deliver(std::move(packet));
        return;
    }

    Deliver(std::move(packet));
    channel.nextOrderingIndex = (channel.nextOrderingIndex + 1) & kSequenceNumberMask;
    channel.nextSequencingIndex = 0;
    while (!channel.heap.entries.empty() &&
           channel.heap.entries.front().packet->orderingIndex == channel.nextOrderingIndex) {
        PacketPtr next = PopOrderingHeap(channel);
        if (IsSequencedKind(next->reliability)) {
            // Sequenced messages sort by sequencing index; a copy of one already delivered
            // (the network may duplicate unreliable ones) is dropped.
            if (IsOlder(next->sequencingIndex, channel.nextSequencingIndex)) {
                Ignore(std::move(next));
                continue;
            }
            channel.nextSequencingIndex = (next->sequencingIndex + 1) & kSequenceNumberMask;
            Deliver(std::move(next));
        } else {
            Deliver(std::move(next));
            channel.nextOrderingIndex = (channel.nextOrderingIndex + 1) & kSequenceNumberMask;
            // Sequencing starts over after each ordered message.
            channel.nextSequencingIndex = 0;
        }
    }
}

void ReliabilityLayer::Deliver(PacketPtr packet)
{
    const uint32_t byteLength = packet->ByteLength();
    if (IsLocalOnlyMessageId(packet->data[0])) {
        Ignore(std::move(packet));
        return;
    }
    m_counters[static_cast<int>(LayerCounter::BytesReceivedDelivered)].Add(m_currentTimeUs, byteLength);
    LayerMessage message;
    if (packet->storage == DataStorage::Heap && packet->heapBlock.size() == byteLength) {
        message.data = std::move(packet->heapBlock);
        packet->data = nullptr;
    } else {
        message.data.assign(packet->data, packet->data + byteLength);
    }
    message.bitLength = packet->dataBitLength;
    m_output.push_back(std::move(message));
    RecyclePacket(std::move(packet));
}

void ReliabilityLayer::Ignore(PacketPtr packet)
{
    m_counters[static_cast<int>(LayerCounter::BytesReceivedIgnored)].Add(m_currentTimeUs, packet->ByteLength());
    RecyclePacket(std::move(packet));
}

bool ReliabilityLayer::Receive(LayerMessage& message)
{
    if (m_output.empty())
        return false;
    message = std::move(m_output.front());
    m_output.pop_front();
    return true;
}

// ---------------------------------------------------------------------------------------------
// Queries

bool ReliabilityLayer::IsDeadAt(uint64_t timeMs) const
{
    if (timeMs >= m_lastArrivalMs) {
        const uint64_t silent = timeMs - m_lastArrivalMs;
        return silent > m_timeoutMs && silent <= kDeadLimitMs;
    }
    const uint64_t back = m_lastArrivalMs - timeMs;
    return back > kClockBackLimitMs && back <= kDeadLimitMs;
}

bool ReliabilityLayer::IsOlder(uint32_t a, uint32_t b)
{
    a &= kSequenceNumberMask;
    b &= kSequenceNumberMask;
    if (b > kHalfRange)
        return ((b - 0x7FFFFE) & kSequenceNumberMask) <= a && a < b;
    return a >= ((b - 0x800000) & kSequenceNumberMask) || a < b;
}

std::size_t ReliabilityLayer::GetMissingMessageCount() const
{
    return static_cast<std::size_t>(std::count(m_holes.begin(), m_holes.end(), true));
}

ReliabilityStatistics ReliabilityLayer::GetStatistics() const
{
    ReliabilityStatistics stats;
    for (int i = 0; i < kLayerCounterCount; ++i) {
        stats.perSecond[i] = m_counters[i].window;
        stats.total[i] = m_counters[i].total;
    }
    const uint64_t sent = stats.perSecond[static_cast<int>(LayerCounter::BytesSent)];
    const uint64_t resent = stats.perSecond[static_cast<int>(LayerCounter::BytesResent)];
    const uint64_t delivered = stats.perSecond[static_cast<int>(LayerCounter::BytesReceivedDelivered)];
    const uint64_t ignored = stats.perSecond[static_cast<int>(LayerCounter::BytesReceivedIgnored)];
    stats.resentShare = sent ? static_cast<double>(resent) / static_cast<double>(sent) : 0.0;
    stats.ignoredShare = (delivered + ignored) ? static_cast<double>(ignored) / static_cast<double>(delivered + ignored) : 0.0;
    stats.queuedMessages = m_queuedCount;
    stats.queuedBytes = m_queuedBytes;
    stats.messagesWaitingForAck = m_unackedCount;
    stats.bytesWaitingForAck = m_unackedBytes;
    stats.bytesInFlight = m_bytesInFlight;
    stats.congestionWindow = m_congestion.GetCongestionWindow();
    stats.estimatedRttUs = m_congestion.GetEstimatedRtt();
    stats.retransmissionTimeoutUs = m_congestion.GetRetransmissionTimeout();
    stats.linkIsDead = m_dead;
    return stats;
}

// ---------------------------------------------------------------------------------------------
// Plugin notices

void ReliabilityLayer::Notice(const Context& context, const char* text, uint32_t bitCount)
{
    for (PeerPlugin* plugin : context.plugins)
        plugin->OnLayerNotice(text, bitCount, context.remote, true);
}

void ReliabilityLayer::TraceMessage(const Context& context, const InternalPacket& packet, uint32_t frameNumber, bool sent)
{
    for (PeerPlugin* plugin : context.plugins)
        plugin->OnMessageTrace(packet.data, packet.dataBitLength, frameNumber, context.remote, context.timeUs / 1000, sent);
}

} // namespace P2PNet
