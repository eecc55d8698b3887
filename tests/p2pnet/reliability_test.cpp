// ReliabilityLayer: wire form of what it sends, acknowledgements and receipts, the receive path
// (duplicates, ordering, split messages, refusals) on hand-made datagrams, and two layers talking
// through an in-memory link with loss, reordering and duplication on a fake clock.
#include "BitStream.h"
#include "PeerPlugin.h"
#include "ReliabilityLayer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <queue>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace P2PNet {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kMtu = 1464;  // a 1492-byte connection

// ---------------------------------------------------------------------------------------------
// Helpers

class RecordingPlugin : public PeerPlugin {
public:
    void OnLayerNotice(const char* text, uint32_t, const SystemAddress&, bool) override { notices.emplace_back(text); }
    void OnMessageTrace(const uint8_t*, uint32_t, uint32_t, const SystemAddress&, uint64_t, bool sent) override
    {
        ++(sent ? traced_sent : traced_received);
    }
    void OnMessageAcked(uint32_t number, const SystemAddress&, uint64_t) override { acked.push_back(number); }

    bool HasNotice(const std::string& text) const
    {
        return std::find(notices.begin(), notices.end(), text) != notices.end();
    }

    std::vector<std::string> notices;
    std::vector<uint32_t> acked;
    int traced_sent = 0;
    int traced_received = 0;
};

// One side of a test: a layer, what it sent and the plugin that watches it.
struct Endpoint {
    explicit Endpoint(uint32_t mtu = kMtu) : layer(mtu, 0) {}

    DatagramSender Sender()
    {
        return [this](const uint8_t* data, uint32_t length) { sent.emplace_back(data, data + length); };
    }
    std::span<PeerPlugin* const> Plugins() { return {&pluginList, 1}; }

    bool Handle(const Bytes& datagram, uint64_t timeUs)
    {
        return layer.HandleDatagram(datagram.data(), static_cast<uint32_t>(datagram.size()), address, Sender(),
                                    Plugins(), timeUs);
    }
    void Update(uint64_t timeUs, uint32_t bitsPerSecond = 0)
    {
        layer.Update(address, Sender(), timeUs, bitsPerSecond, Plugins());
    }
    std::vector<LayerMessage> Drain()
    {
        std::vector<LayerMessage> out;
        LayerMessage m;
        while (layer.Receive(m))
            out.push_back(std::move(m));
        return out;
    }
    std::vector<Bytes> TakeSent()
    {
        std::vector<Bytes> out;
        out.swap(sent);
        return out;
    }

    ReliabilityLayer layer;
    SystemAddress address;
    RecordingPlugin plugin;
    PeerPlugin* pluginList = &plugin;
    std::vector<Bytes> sent;
};

Bytes B(std::initializer_list<int> values)
{
    Bytes out;
    for (int v : values)
        out.push_back(static_cast<uint8_t>(v));
    return out;
}

bool Send(Endpoint& e, const Bytes& data, ReliabilityKind kind, uint32_t channel = 0, uint32_t receipt = 0,
          uint64_t timeUs = 0, SendPriority priority = SendPriority::High)
{
    return e.layer.Send(data.data(), static_cast<uint32_t>(data.size() * 8), priority, kind, channel, timeUs, receipt);
}

// A message as it is written on the wire, for building datagrams by hand.
struct WireMessage {
    int kind = 2;
    uint32_t number = 0;
    uint32_t sequencing = 0;
    uint32_t ordering = 0;
    uint8_t channel = 0;
    bool split = false;
    uint32_t splitCount = 0;
    uint16_t splitId = 0;
    uint32_t splitIndex = 0;
    Bytes data;
};

bool KindHasNumber(int k) { return k == 2 || k == 3 || k == 4 || k == 6 || k == 7; }
bool KindHasSequencing(int k) { return k == 1 || k == 4; }
bool KindHasOrdering(int k) { return k == 1 || k == 3 || k == 4 || k == 7; }

Bytes DataDatagram(uint32_t datagramNumber, const std::vector<WireMessage>& messages)
{
    BitStream s;
    s.WriteU8(0x80);
    s.WriteU24(datagramNumber);
    for (const WireMessage& m : messages) {
        s.WriteU8(static_cast<uint8_t>((m.kind << 5) | (m.split ? 0x10 : 0)));
        s.WriteU16(static_cast<uint16_t>(m.data.size() * 8));
        if (KindHasNumber(m.kind))
            s.WriteU24(m.number);
        if (KindHasSequencing(m.kind))
            s.WriteU24(m.sequencing);
        if (KindHasOrdering(m.kind)) {
            s.WriteU24(m.ordering);
            s.WriteU8(m.channel);
        }
        if (m.split) {
            s.WriteU32(m.splitCount);
            s.WriteU16(m.splitId);
            s.WriteU32(m.splitIndex);
        }
        s.WriteBytes(m.data.data(), static_cast<uint32_t>(m.data.size()));
    }
    return Bytes(s.GetData(), s.GetData() + s.GetNumberOfBytesUsed());
}

struct WireRange {
    uint32_t low;
    uint32_t high;
};

Bytes RangeDatagram(uint8_t flags, const std::vector<WireRange>& ranges)
{
    BitStream s;
    s.WriteU8(flags);
    s.WriteU16(static_cast<uint16_t>(ranges.size()));
    for (const WireRange& r : ranges) {
        s.WriteU8(r.low == r.high ? 1 : 0);
        s.WriteU24(r.low);
        if (r.low != r.high)
            s.WriteU24(r.high);
    }
    return Bytes(s.GetData(), s.GetData() + s.GetNumberOfBytesUsed());
}

Bytes Ack(const std::vector<WireRange>& ranges) { return RangeDatagram(0xC0, ranges); }
Bytes Nak(const std::vector<WireRange>& ranges) { return RangeDatagram(0xA0, ranges); }

uint32_t DatagramNumber(const Bytes& d)
{
    return d[1] | (d[2] << 8) | (d[3] << 16);
}

uint32_t U32Host(const uint8_t* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

bool IsReceipt(const LayerMessage& m, uint8_t id, uint32_t receipt)
{
    return m.generatedLocally && m.bitLength == 40 && m.data.size() == 5 && m.data[0] == id &&
           U32Host(m.data.data() + 1) == receipt;
}

// A parsed message header of a datagram the layer sent.
struct ParsedMessage {
    int kind = 0;
    bool split = false;
    uint32_t bits = 0;
    uint32_t number = 0xFFFFFF;
    uint32_t splitCount = 0;
    uint16_t splitId = 0;
    uint32_t splitIndex = 0;
    Bytes data;
};

std::vector<ParsedMessage> ParseDataDatagram(const Bytes& d)
{
    std::vector<ParsedMessage> out;
    BitStream s(d.data(), static_cast<uint32_t>(d.size()), false);
    uint8_t flags;
    uint32_t number;
    s.ReadU8(flags);
    s.ReadU24(number);
    while (s.GetNumberOfUnreadBits() > 0) {
        uint8_t head;
        uint16_t bits;
        EXPECT_TRUE(s.ReadU8(head) && s.ReadU16(bits));
        ParsedMessage m;
        m.kind = head >> 5;
        m.split = (head & 0x10) != 0;
        m.bits = bits;
        uint32_t ignored;
        uint8_t channel;
        if (KindHasNumber(m.kind))
            s.ReadU24(m.number);
        if (KindHasSequencing(m.kind))
            s.ReadU24(ignored);
        if (KindHasOrdering(m.kind)) {
            s.ReadU24(ignored);
            s.ReadU8(channel);
        }
        if (m.split) {
            s.ReadU32(m.splitCount);
            s.ReadU16(m.splitId);
            s.ReadU32(m.splitIndex);
        }
        m.data.resize((bits + 7) / 8);
        EXPECT_TRUE(s.ReadBytes(m.data.data(), static_cast<uint32_t>(m.data.size())));
        out.push_back(std::move(m));
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// What goes on the wire

struct KnownAnswerCase {
    const char* name;
    int kind;
    uint32_t channel;
    int messages;  // how many copies of "abc" are sent
    Bytes expected;
};

class SendWireForm : public ::testing::TestWithParam<KnownAnswerCase> {};

TEST_P(SendWireForm, KnownAnswer)
{
    const KnownAnswerCase& c = GetParam();
    Endpoint a;
    for (int i = 0; i < c.messages; ++i)
        ASSERT_TRUE(Send(a, B({'a', 'b', 'c'}), static_cast<ReliabilityKind>(c.kind), c.channel));
    a.Update(0);
    const auto sent = a.TakeSent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SendWireForm,
    ::testing::Values(
        KnownAnswerCase{"unreliable", 0, 0, 1, B({0x80, 0, 0, 0, 0x00, 0x00, 0x18, 'a', 'b', 'c'})},
        KnownAnswerCase{"unreliable_sequenced", 1, 2, 1,
                        B({0x80, 0, 0, 0, 0x20, 0x00, 0x18, 0, 0, 0, 0, 0, 0, 2, 'a', 'b', 'c'})},
        KnownAnswerCase{"reliable", 2, 0, 1, B({0x80, 0, 0, 0, 0x40, 0x00, 0x18, 0, 0, 0, 'a', 'b', 'c'})},
        KnownAnswerCase{"reliable_ordered", 3, 5, 1,
                        B({0x80, 0, 0, 0, 0x60, 0x00, 0x18, 0, 0, 0, 0, 0, 0, 5, 'a', 'b', 'c'})},
        KnownAnswerCase{"reliable_sequenced", 4, 1, 1,
                        B({0x80, 0, 0, 0, 0x80, 0x00, 0x18, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 'a', 'b', 'c'})},
        KnownAnswerCase{"unreliable_receipt_goes_as_0", 5, 0, 1, B({0x80, 0, 0, 0, 0x00, 0x00, 0x18, 'a', 'b', 'c'})},
        KnownAnswerCase{"reliable_receipt_goes_as_2", 6, 0, 1, B({0x80, 0, 0, 0, 0x40, 0x00, 0x18, 0, 0, 0, 'a', 'b', 'c'})},
        KnownAnswerCase{"ordered_receipt_goes_as_3", 7, 3, 1,
                        B({0x80, 0, 0, 0, 0x60, 0x00, 0x18, 0, 0, 0, 0, 0, 0, 3, 'a', 'b', 'c'})},
        KnownAnswerCase{"kind_9_is_reliable", 9, 0, 1, B({0x80, 0, 0, 0, 0x40, 0x00, 0x18, 0, 0, 0, 'a', 'b', 'c'})},
        KnownAnswerCase{"channel_40_is_0", 3, 40, 1,
                        B({0x80, 0, 0, 0, 0x60, 0x00, 0x18, 0, 0, 0, 0, 0, 0, 0, 'a', 'b', 'c'})},
        // Two ordered messages share a datagram; 24-bit numbers are little-endian.
        KnownAnswerCase{"two_ordered_numbers_advance", 3, 7, 2,
                        B({0x80, 0, 0, 0, 0x60, 0x00, 0x18, 0, 0, 0, 0, 0, 0, 7, 'a', 'b', 'c',
                           0x60, 0x00, 0x18, 1, 0, 0, 1, 0, 0, 7, 'a', 'b', 'c'})}),
    [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

TEST(SendSplit, OversizedUnreliableMessageGoesAsReliableFragments)
{
    Endpoint a;  // layer MTU 1464: 1432 data bytes per fragment
    Bytes message(2000);
    for (std::size_t i = 0; i < message.size(); ++i)
        message[i] = static_cast<uint8_t>(i * 7);
    ASSERT_TRUE(Send(a, message, ReliabilityKind::Unreliable));
    a.Update(0);
    std::vector<ParsedMessage> fragments;
    for (const Bytes& d : a.TakeSent())
        for (ParsedMessage& m : ParseDataDatagram(d))
            fragments.push_back(std::move(m));
    ASSERT_EQ(fragments.size(), 2u);
    Bytes joined;
    for (uint32_t i = 0; i < 2; ++i) {
        EXPECT_EQ(fragments[i].kind, 2);
        EXPECT_TRUE(fragments[i].split);
        EXPECT_EQ(fragments[i].splitCount, 2u);
        EXPECT_EQ(fragments[i].splitIndex, i);
        EXPECT_EQ(fragments[i].splitId, fragments[0].splitId);
        EXPECT_EQ(fragments[i].number, i);
        joined.insert(joined.end(), fragments[i].data.begin(), fragments[i].data.end());
    }
    EXPECT_EQ(fragments[0].data.size(), 1432u);
    EXPECT_EQ(fragments[1].data.size(), 568u);
    EXPECT_EQ(joined, message);
}

TEST(SendSplit, CountIsCappedSoThatOneMebibyteFitsAtTheSmallestMtu)
{
    Endpoint small(576 - 28);  // 516 data bytes per fragment
    const Bytes mebibyte(1024 * 1024 + 4096, 0x5A);
    EXPECT_TRUE(Send(small, mebibyte, ReliabilityKind::ReliableOrdered));
    const Bytes tooMany(516 * ReliabilityLayer::kMaxSplitCount + 1, 0x5A);
    EXPECT_FALSE(Send(small, tooMany, ReliabilityKind::ReliableOrdered));
    EXPECT_FALSE(small.layer.Send(tooMany.data(), 0, SendPriority::High, ReliabilityKind::Reliable, 0, 0, 0));
    // A bit length near 2^32 must not wrap into a small message.
    EXPECT_FALSE(small.layer.Send(tooMany.data(), 0xFFFFFFFFu, SendPriority::High, ReliabilityKind::Reliable, 0, 0, 0));
}

TEST(SendPriorityOrder, UrgentMessagesOvertakeQueuedLowerPriorities)
{
    Endpoint a;
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(Send(a, B({100, i}), ReliabilityKind::Reliable, 0, 0, 0, SendPriority::Low));
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(Send(a, B({200, i}), ReliabilityKind::Reliable, 0, 0, 0, SendPriority::Immediate));
    a.Update(0);
    std::vector<int> order;
    for (const Bytes& d : a.TakeSent())
        for (const ParsedMessage& m : ParseDataDatagram(d))
            order.push_back(m.data[0]);
    ASSERT_EQ(order.size(), 25u);
    // The priority-0 messages overtake the whole priority-3 backlog queued before them.
    EXPECT_EQ(std::count(order.begin(), order.begin() + 5, 200), 5);
}

// ---------------------------------------------------------------------------------------------
// Acknowledgements and receipts

TEST(Receipts, UnreliableWithReceiptNotAcknowledgedGivesOneLostReceipt)
{
    Endpoint a;
    ASSERT_TRUE(Send(a, B({40, 1}), ReliabilityKind::UnreliableWithReceipt, 0, 77));
    a.Update(0);
    ASSERT_EQ(a.TakeSent().size(), 1u);
    a.Update(900000);
    EXPECT_TRUE(a.Drain().empty());
    a.Update(1000001);  // resend time-out with no round-trip sample: 1 s
    auto out = a.Drain();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(IsReceipt(out[0], 15, 77));
    a.Update(3000000);
    EXPECT_TRUE(a.Drain().empty());
}

TEST(Receipts, AcknowledgedMessagesGiveOneDeliveredReceipt)
{
    for (ReliabilityKind kind : {ReliabilityKind::UnreliableWithReceipt, ReliabilityKind::ReliableWithReceipt,
                                 ReliabilityKind::ReliableOrderedWithReceipt}) {
        SCOPED_TRACE(static_cast<int>(kind));
        Endpoint a, b;
        ASSERT_TRUE(Send(a, B({40, 2}), kind, 0, 5));
        a.Update(0);
        for (const Bytes& d : a.TakeSent())
            b.Handle(d, 1000);
        b.Update(1000);
        for (const Bytes& d : b.TakeSent())
            EXPECT_TRUE(a.Handle(d, 2000));
        auto out = a.Drain();
        ASSERT_EQ(out.size(), 1u);
        EXPECT_TRUE(IsReceipt(out[0], 14, 5));
        // The same acknowledgement again, and the expiry time, produce nothing more.
        b.Update(3000);
        a.Update(5000000);
        EXPECT_TRUE(a.Drain().empty());
        EXPECT_FALSE(a.layer.HasUnacknowledged());
    }
}

// The last fragment may be acknowledged before an earlier one: the receipt waits for all.
TEST(Receipts, SplitMessageReceiptWaitsForEveryFragment)
{
    for (ReliabilityKind kind : {ReliabilityKind::ReliableWithReceipt, ReliabilityKind::ReliableOrderedWithReceipt}) {
        SCOPED_TRACE(static_cast<int>(kind));
        Endpoint a;
        ASSERT_TRUE(Send(a, Bytes(2 * 1432 + 10, 3), kind, 4, 8));
        // The window starts at one datagram: acknowledging fragment 0 lets 1 and then 2 out.
        std::map<uint32_t, uint32_t> datagramOfFragment;
        bool firstAcked = false;
        uint64_t t = 0;
        for (int round = 0; round < 20 && datagramOfFragment.size() < 3; ++round, t += 20000) {
            a.Update(t);
            for (const Bytes& d : a.TakeSent())
                for (const ParsedMessage& m : ParseDataDatagram(d))
                    datagramOfFragment.emplace(m.splitIndex, DatagramNumber(d));
            if (!firstAcked && datagramOfFragment.count(0)) {
                a.Handle(Ack({{datagramOfFragment[0], datagramOfFragment[0]}}), t + 1000);
                firstAcked = true;
            }
        }
        ASSERT_EQ(datagramOfFragment.size(), 3u);
        ASSERT_NE(datagramOfFragment[1], datagramOfFragment[2]);
        EXPECT_TRUE(a.Drain().empty());
        a.Handle(Ack({{datagramOfFragment[2], datagramOfFragment[2]}}), t);
        EXPECT_TRUE(a.Drain().empty()) << "receipt before fragment 1 was acknowledged";
        a.Handle(Ack({{datagramOfFragment[1], datagramOfFragment[1]}}), t);
        auto out = a.Drain();
        ASSERT_EQ(out.size(), 1u);
        EXPECT_TRUE(IsReceipt(out[0], 14, 8));
        EXPECT_FALSE(a.layer.HasUnacknowledged());
    }
}

TEST(Acks, UnknownAndRepeatedAcknowledgementsProduceNothing)
{
    Endpoint a;
    ASSERT_TRUE(Send(a, B({40}), ReliabilityKind::ReliableWithReceipt, 0, 3));
    a.Update(0);
    EXPECT_TRUE(a.Handle(Ack({{500, 600}}), 1000));
    EXPECT_TRUE(a.Drain().empty());
    EXPECT_TRUE(a.layer.HasUnacknowledged());
    EXPECT_TRUE(a.Handle(Ack({{0, 0}}), 2000));
    EXPECT_EQ(a.Drain().size(), 1u);
    EXPECT_EQ(a.plugin.acked, std::vector<uint32_t>{0});
    EXPECT_TRUE(a.Handle(Ack({{0, 0}}), 3000));
    EXPECT_TRUE(a.Drain().empty());
    EXPECT_EQ(a.plugin.acked.size(), 1u);
}

// One datagram of the widest ranges the wire allows must cost no more than the sent datagrams it
// names: a layer that walked every number of every range would take minutes here.
TEST(Acks, HugeRangesVisitOnlyTheSendHistory)
{
    for (bool nak : {false, true}) {
        SCOPED_TRACE(nak ? "NAK" : "ACK");
        Endpoint a;
        for (int i = 0; i < 40; ++i)
            ASSERT_TRUE(Send(a, Bytes(1000, static_cast<uint8_t>(i)), ReliabilityKind::Reliable));
        a.Update(0);
        ASSERT_FALSE(a.TakeSent().empty());
        std::vector<WireRange> ranges(200, WireRange{0, 0xFFFFFE});
        const Bytes datagram = nak ? Nak(ranges) : Ack(ranges);
        ASSERT_LT(datagram.size(), 1472u);
        EXPECT_TRUE(a.Handle(datagram, 1000));
        if (nak) {
            EXPECT_TRUE(a.layer.HasUnacknowledged());
            a.Update(2000);  // NAK'ed messages are due again at once
            EXPECT_FALSE(a.TakeSent().empty());
        } else {
            EXPECT_FALSE(a.layer.HasUnacknowledged());
        }
    }
}

struct BadRangeCase {
    const char* name;
    Bytes datagram;
    const char* notice;
};

class BadRanges : public ::testing::TestWithParam<BadRangeCase> {};

TEST_P(BadRanges, AreRefusedWithANotice)
{
    Endpoint a;
    ASSERT_TRUE(Send(a, B({40}), ReliabilityKind::Reliable));
    a.Update(0);
    EXPECT_FALSE(a.Handle(GetParam().datagram, 1000));
    EXPECT_TRUE(a.plugin.HasNotice(GetParam().notice));
    EXPECT_TRUE(a.layer.HasUnacknowledged());
}

INSTANTIATE_TEST_SUITE_P(
    Table, BadRanges,
    ::testing::Values(
        BadRangeCase{"ack_truncated", B({0xC0, 0x00, 0x02, 0x01, 0, 0, 0}), "incomingAcks.Deserialize failed"},
        BadRangeCase{"ack_extra_field_missing", B({0xE0, 0x00, 0x01}), "incomingAcks.Deserialize failed"},
        BadRangeCase{"ack_inverted", B({0xC0, 0x00, 0x01, 0x00, 5, 0, 0, 4, 0, 0}),
                     "incomingAcks minIndex > maxIndex or maxIndex is max value"},
        BadRangeCase{"ack_ends_at_max", B({0xC0, 0x00, 0x01, 0x00, 0, 0, 0, 0xFF, 0xFF, 0xFF}),
                     "incomingAcks minIndex > maxIndex or maxIndex is max value"},
        BadRangeCase{"nak_truncated", B({0xA0, 0x00, 0x01, 0x00, 0, 0}), "incomingNAKs.Deserialize failed"},
        BadRangeCase{"nak_inverted", B({0xA0, 0x00, 0x01, 0x00, 9, 0, 0, 1, 0, 0}), "incomingNAKs minIndex>maxIndex"}),
    [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

TEST(Acks, AcknowledgementsAreSentAndRangesMerge)
{
    Endpoint b;
    for (uint32_t n : {0u, 1u, 2u, 5u})
        b.Handle(DataDatagram(n, {WireMessage{.kind = 0, .data = B({40})}}), 1000);
    b.Update(1000);
    const auto sent = b.TakeSent();
    // 3 and 4 were skipped: one ACK datagram, one NAK datagram.
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], Ack({{0, 2}, {5, 5}}));
    EXPECT_EQ(sent[1], Nak({{3, 4}}));
}

TEST(Acks, DatagramFarAheadNaksTheThousandNumbersBelowIt)
{
    Endpoint b;
    b.Handle(DataDatagram(1200, {WireMessage{.kind = 0, .data = B({40})}}), 1000);
    b.Update(1000);
    const auto sent = b.TakeSent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], Ack({{1200, 1200}}));
    EXPECT_EQ(sent[1], Nak({{200, 1199}}));
}

TEST(Acks, NakMakesTheMessageDueAgain)
{
    Endpoint a;
    ASSERT_TRUE(Send(a, B({40, 41}), ReliabilityKind::Reliable));
    a.Update(0);
    const auto first = a.TakeSent();
    ASSERT_EQ(first.size(), 1u);
    a.Update(1000);
    EXPECT_TRUE(a.TakeSent().empty());
    a.Handle(Nak({{0, 0}}), 2000);
    a.Update(3000);
    const auto again = a.TakeSent();
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(DatagramNumber(again[0]), 1u);
    EXPECT_EQ(ParseDataDatagram(again[0])[0].data, B({40, 41}));
}

// A held layer takes no data: datagrams go unacknowledged and undelivered, no NAK leaves while
// held; the release NAKs what was dropped, so the sender resends it at once, and it arrives.
TEST(Hold, DataWaitsUnacknowledgedUntilTheReleaseNaksIt)
{
    Endpoint b;
    b.Handle(DataDatagram(0, {WireMessage{.kind = 2, .number = 0, .data = B({40})}}), 1000);
    b.layer.SetIncomingHeld(true);
    b.Handle(DataDatagram(1, {WireMessage{.kind = 2, .number = 1, .data = B({41})}}), 2000);
    b.Handle(DataDatagram(3, {WireMessage{.kind = 2, .number = 2, .data = B({42})}}), 3000);
    // Acknowledgements that arrive meanwhile still count.
    EXPECT_TRUE(b.Handle(Ack({{0, 0}}), 3500));
    b.Update(4000);
    auto sent = b.TakeSent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], Ack({{0, 0}}));
    auto got = b.Drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].data, B({40}));

    b.layer.SetIncomingHeld(false);
    b.Update(5000);
    sent = b.TakeSent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], Nak({{1, 3}}));
    b.Handle(DataDatagram(4, {WireMessage{.kind = 2, .number = 1, .data = B({41})},
                              WireMessage{.kind = 2, .number = 2, .data = B({42})}}),
             6000);
    got = b.Drain();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].data, B({41}));
    EXPECT_EQ(got[1].data, B({42}));
    b.layer.SetIncomingHeld(true);
    b.layer.Reset(kMtu, 7000);
    EXPECT_FALSE(b.layer.IsIncomingHeld());
}

TEST(Window, AtMost512ReliableMessagesWaitForAcknowledgementWhateverTheWindow)
{
    Endpoint a;
    // Open the congestion window: a backlog acknowledged as it goes out.
    for (int i = 0; i < 300; ++i)
        ASSERT_TRUE(Send(a, Bytes(1000, 1), ReliabilityKind::Reliable));
    uint64_t t = 0;
    for (; a.layer.HasUnacknowledged() || !a.layer.IsOutgoingIdle(); t += 1000) {
        ASSERT_LT(t, 10000000u);
        a.Update(t);
        for (const Bytes& d : a.TakeSent())
            a.Handle(Ack({{DatagramNumber(d), DatagramNumber(d)}}), t + 500);
    }
    ASSERT_GT(a.layer.GetStatistics().congestionWindow, 100.0 * kMtu);

    // Now 600 small messages and no acknowledgements: the window would take them all.
    for (int i = 0; i < 600; ++i)
        ASSERT_TRUE(Send(a, B({40, i & 0xFF}), ReliabilityKind::ReliableOrdered, 1));
    for (int round = 0; round < 5; ++round)
        a.Update(t + 1000 * round);
    const ReliabilityStatistics stats = a.layer.GetStatistics();
    EXPECT_EQ(stats.messagesWaitingForAck, ReliabilityLayer::kResendBufferSize);
    EXPECT_EQ(stats.queuedMessages[static_cast<int>(SendPriority::High)], 88u);
}

// Opens a's congestion window: a backlog acknowledged datagram by datagram as it goes out.
// Returns the time reached.
uint64_t OpenWindow(Endpoint& a)
{
    for (int i = 0; i < 300; ++i)
        EXPECT_TRUE(Send(a, Bytes(1000, 1), ReliabilityKind::Reliable));
    uint64_t t = 0;
    for (; a.layer.HasUnacknowledged() || !a.layer.IsOutgoingIdle(); t += 1000) {
        if (t >= 10000000u)
            break;
        a.Update(t);
        for (const Bytes& d : a.TakeSent())
            a.Handle(Ack({{DatagramNumber(d), DatagramNumber(d)}}), t + 500);
    }
    return t;
}

// A round's new data stops at the burst limit under EndOfRound, and the layer says so while more
// is queued that the window would take (the peer then runs the next round kBurstGapUs later
// instead of waiting for an acknowledgement). Not so under Delayed, nor when the rate limit is
// what holds data back.
struct BurstCase {
    const char* name;
    AckRule rule;
    uint32_t bitsPerSecond;
    bool limited;
};

class BurstLimit : public ::testing::TestWithParam<BurstCase> {};

TEST_P(BurstLimit, ARoundStopsAtTheLimitAndSaysSoWhileMoreWaits)
{
    Endpoint a;
    a.layer.SetAckRule(GetParam().rule);
    a.layer.Reset(kMtu, 0);
    uint64_t t = OpenWindow(a);
    ASSERT_GT(a.layer.GetStatistics().congestionWindow, 2.0 * ReliabilityLayer::kMaxBurstBytes);
    a.Update(t += 1000000);  // a second on: the rate limit's window is empty
    EXPECT_FALSE(a.layer.IsBurstLimited()) << "nothing queued";

    for (int i = 0; i < 300; ++i)
        ASSERT_TRUE(Send(a, Bytes(1000, 2), ReliabilityKind::Reliable, 0, 0, t));
    int rounds = 0;
    while (!a.layer.IsOutgoingIdle() && rounds < 100) {
        a.Update(t, GetParam().bitsPerSecond);
        ++rounds;
        uint64_t bytes = 0;
        for (const Bytes& d : a.TakeSent()) {
            bytes += d.size();
            a.Handle(Ack({{DatagramNumber(d), DatagramNumber(d)}}), t + 100);
        }
        if (GetParam().rule == AckRule::EndOfRound) {
            EXPECT_LE(bytes, ReliabilityLayer::kMaxBurstBytes + kMtu) << "round " << rounds;
        }
        const bool more = !a.layer.IsOutgoingIdle();  // every datagram is acknowledged: data is queued
        if (GetParam().limited && more) {
            EXPECT_TRUE(a.layer.IsBurstLimited()) << "round " << rounds;
        }
        if (!GetParam().limited) {
            EXPECT_FALSE(a.layer.IsBurstLimited()) << "round " << rounds;
        }
        if (GetParam().bitsPerSecond != 0)
            break;  // one round shows it; the rest would wait for the rate window
        t += 200;
    }
    if (GetParam().limited) {
        EXPECT_GT(rounds, 3) << "300000 bytes take several bursts";
    }
    if (GetParam().bitsPerSecond == 0) {
        EXPECT_TRUE(a.layer.IsOutgoingIdle());
        EXPECT_FALSE(a.layer.IsBurstLimited()) << "the last round sent the rest";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, BurstLimit,
    ::testing::Values(BurstCase{"end_of_round", AckRule::EndOfRound, 0, true},
                      BurstCase{"delayed", AckRule::Delayed, 0, false},
                      BurstCase{"end_of_round_rate_limited", AckRule::EndOfRound, 8000, false}),
    [](const ::testing::TestParamInfo<BurstCase>& param) { return std::string(param.param.name); });

// A split message whose buffer is handed over is taken, not copied, and arrives whole; a
// buffer that does not start at the message, or a message that is not split, stays with the
// caller.
TEST(SendSplit, HandedOverBufferIsTakenAndArrivesWhole)
{
    Endpoint a, b;
    Bytes message(100000);
    for (std::size_t i = 0; i < message.size(); ++i)
        message[i] = static_cast<uint8_t>(i * 31 + i / 251);
    const Bytes expected = message;
    ASSERT_TRUE(a.layer.Send(message.data(), static_cast<uint32_t>(message.size() * 8), SendPriority::High,
                             ReliabilityKind::ReliableOrdered, 0, 0, 0, &message));
    EXPECT_TRUE(message.empty()) << "the buffer was taken over";

    Bytes offset = expected;
    ASSERT_TRUE(a.layer.Send(offset.data() + 1, static_cast<uint32_t>((offset.size() - 1) * 8), SendPriority::High,
                             ReliabilityKind::ReliableOrdered, 0, 0, 0, &offset));
    EXPECT_EQ(offset, expected) << "data does not start the buffer: copied";
    Bytes small = B({40, 1, 2, 3});
    ASSERT_TRUE(a.layer.Send(small.data(), 32, SendPriority::High, ReliabilityKind::ReliableOrdered, 0, 0, 0, &small));
    EXPECT_EQ(small, B({40, 1, 2, 3})) << "a whole message keeps its own copy";
    offset.assign(offset.size(), 0);  // later changes of the caller's buffers reach nobody
    small.assign(small.size(), 0);

    std::vector<LayerMessage> got;
    for (uint64_t t = 0; got.size() < 3 && t < 60000000; t += 10000) {
        a.Update(t);
        for (const Bytes& d : a.TakeSent())
            b.Handle(d, t);
        b.Update(t);
        for (const Bytes& d : b.TakeSent())
            a.Handle(d, t);
        for (LayerMessage& m : b.Drain())
            got.push_back(std::move(m));
    }
    ASSERT_EQ(got.size(), 3u);
    EXPECT_TRUE(got[0].data == expected);
    EXPECT_TRUE(got[1].data == Bytes(expected.begin() + 1, expected.end()));
    EXPECT_EQ(got[2].data, B({40, 1, 2, 3}));
}

// Per rule: the ACK datagrams a receiver sends for data datagrams 0 and 1 in one round, then 2, 3
// and 4 in a round each. EndOfRound repeats the ranges of the two ACKs before; Delayed does not.
struct AckRuleCase {
    const char* name;
    AckRule rule;
    std::vector<std::vector<WireRange>> acks;
};

class AckRules : public ::testing::TestWithParam<AckRuleCase> {};

TEST_P(AckRules, EachRoundAcknowledgesWhatArrivedAndRepeatsAsTheRuleSays)
{
    Endpoint b;
    b.layer.SetAckRule(GetParam().rule);
    b.layer.Reset(kMtu, 0);
    EXPECT_EQ(b.layer.GetAckRule(), GetParam().rule) << "the rule is kept by Reset";
    const std::vector<std::vector<uint32_t>> rounds = {{0, 1}, {2}, {3}, {4}};
    std::vector<Bytes> acks;
    uint64_t t = 1000;
    for (const std::vector<uint32_t>& round : rounds) {
        for (uint32_t n : round)
            b.Handle(DataDatagram(n, {WireMessage{.kind = 0, .data = B({40})}}), t);
        // No round-trip sample yet: both rules acknowledge in the round itself.
        b.Update(t);
        for (Bytes& d : b.TakeSent())
            acks.push_back(std::move(d));
        t += 1000;
    }
    std::vector<Bytes> expected;
    for (const std::vector<WireRange>& ranges : GetParam().acks)
        expected.push_back(Ack(ranges));
    EXPECT_EQ(acks, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AckRules,
    ::testing::Values(AckRuleCase{"end_of_round", AckRule::EndOfRound, {{{0, 1}}, {{0, 2}}, {{0, 3}}, {{2, 4}}}},
                      AckRuleCase{"delayed", AckRule::Delayed, {{{0, 1}}, {{2, 2}}, {{3, 3}}, {{4, 4}}}}),
    [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

// Once the round trip is known: when the ACK for one round's data goes out, by rule and by what
// the round took. EndOfRound acknowledges a burst or a split fragment in the round itself and a
// lone datagram of whole messages within kLoneAckDelayUs; Delayed waits 10 ms for all of them.
struct AckTimingCase {
    const char* name;
    AckRule rule;
    int datagrams;     // data datagrams in the round
    bool fragment;     // each carries a fragment of a split message instead of a whole one
    uint64_t waitUs;   // the ACK leaves this long after the round (0: in the round itself)
};

class AckTiming : public ::testing::TestWithParam<AckTimingCase> {};

TEST_P(AckTiming, AcknowledgementLeavesWhenTheRuleSays)
{
    const AckTimingCase& c = GetParam();
    Endpoint b;
    b.layer.SetAckRule(c.rule);
    // A round-trip sample: b sends one reliable message and gets it acknowledged.
    ASSERT_TRUE(Send(b, B({40}), ReliabilityKind::Reliable));
    b.Update(0);
    b.TakeSent();
    b.Handle(Ack({{0, 0}}), 500);
    ASSERT_GE(b.layer.GetCongestionManager().GetLastRtt(), 0);

    const uint64_t t = 1000;
    for (int i = 0; i < c.datagrams; ++i) {
        WireMessage message{.kind = 2, .number = static_cast<uint32_t>(i), .data = B({41})};
        if (c.fragment) {
            message.split = true;
            message.splitCount = 4;
            message.splitIndex = static_cast<uint32_t>(i);
        }
        b.Handle(DataDatagram(static_cast<uint32_t>(i), {message}), t);
    }
    b.Update(t);
    const std::size_t inRound = b.TakeSent().size();
    std::size_t justBefore = 0;
    if (c.waitUs > 0) {
        b.Update(t + c.waitUs - 1);
        justBefore = b.TakeSent().size();
    }
    b.Update(t + std::max<uint64_t>(c.waitUs, 1));
    const std::size_t atWait = b.TakeSent().size();
    const std::size_t expectedInRound = c.waitUs == 0 ? 1u : 0u;
    EXPECT_EQ(inRound, expectedInRound);
    EXPECT_EQ(justBefore, 0u);
    EXPECT_EQ(atWait, 1u - expectedInRound);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AckTiming,
    ::testing::Values(
        AckTimingCase{"end_of_round_lone_whole", AckRule::EndOfRound, 1, false, ReliabilityLayer::kLoneAckDelayUs},
        AckTimingCase{"end_of_round_burst", AckRule::EndOfRound, 2, false, 0},
        AckTimingCase{"end_of_round_lone_fragment", AckRule::EndOfRound, 1, true, 0},
        AckTimingCase{"delayed_lone_whole", AckRule::Delayed, 1, false, CongestionManager::kAckDelayUs},
        AckTimingCase{"delayed_burst", AckRule::Delayed, 2, false, CongestionManager::kAckDelayUs},
        AckTimingCase{"delayed_lone_fragment", AckRule::Delayed, 1, true, CongestionManager::kAckDelayUs}),
    [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

// Two reliable messages in two datagrams; the second one's datagram is NAK'ed while the first is
// still waiting for its time-out.
struct NakResendCase {
    const char* name;
    AckRule rule;
    bool resentAtOnce;
};

class NakResends : public ::testing::TestWithParam<NakResendCase> {};

TEST_P(NakResends, NakedMessageBehindTheHeadOfTheResendList)
{
    Endpoint a;
    a.layer.SetAckRule(GetParam().rule);
    ASSERT_TRUE(Send(a, Bytes(800, 1), ReliabilityKind::Reliable));
    ASSERT_TRUE(Send(a, Bytes(800, 2), ReliabilityKind::Reliable));
    a.Update(0);
    const auto first = a.TakeSent();
    ASSERT_EQ(first.size(), 2u);
    ASSERT_EQ(ParseDataDatagram(first[1])[0].data, Bytes(800, 2));

    a.Handle(Nak({{DatagramNumber(first[1]), DatagramNumber(first[1])}}), 2000);
    a.Update(3000);
    const auto again = a.TakeSent();
    if (!GetParam().resentAtOnce) {
        EXPECT_TRUE(again.empty());
        return;
    }
    ASSERT_EQ(again.size(), 1u);
    const auto messages = ParseDataDatagram(again[0]);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].data, Bytes(800, 2));
    EXPECT_EQ(messages[0].number, 1u);
    // Resent once: the next round sends nothing more until a time-out.
    a.Update(4000);
    EXPECT_TRUE(a.TakeSent().empty());
}

INSTANTIATE_TEST_SUITE_P(Table, NakResends,
                         ::testing::Values(NakResendCase{"end_of_round", AckRule::EndOfRound, true},
                                           NakResendCase{"delayed", AckRule::Delayed, false}),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

TEST(Probe, IsAnsweredEvenOnAFreshLayer)
{
    Endpoint a;
    EXPECT_TRUE(a.Handle(B({'P'}), 0));
    EXPECT_EQ(a.TakeSent(), std::vector<Bytes>{B({'Q'})});
    EXPECT_TRUE(a.Handle(B({'Q'}), 0));
    EXPECT_TRUE(a.TakeSent().empty());
    EXPECT_TRUE(a.plugin.notices.empty());
}

// ---------------------------------------------------------------------------------------------
// Receive path on hand-made datagrams

struct Receiver : Endpoint {
    uint32_t nextDatagram = 0;
    void Feed(std::vector<WireMessage> messages, uint64_t timeUs = 1000)
    {
        Handle(DataDatagram(nextDatagram++, messages), timeUs);
    }
    std::vector<Bytes> Payloads()
    {
        std::vector<Bytes> out;
        for (LayerMessage& m : Drain())
            out.push_back(std::move(m.data));
        return out;
    }
};

WireMessage Reliable(uint32_t number, Bytes data)
{
    return WireMessage{.kind = 2, .number = number, .data = std::move(data)};
}

WireMessage Ordered(uint32_t number, uint32_t ordering, uint8_t channel, Bytes data)
{
    return WireMessage{.kind = 3, .number = number, .ordering = ordering, .channel = channel, .data = std::move(data)};
}

TEST(Receive, ReliableMessagesOutOfOrderAreDeliveredOnceEach)
{
    Receiver r;
    r.Feed({Reliable(0, B({40, 0}))});
    r.Feed({Reliable(2, B({40, 2}))});
    r.Feed({Reliable(1, B({40, 1}))});
    EXPECT_EQ(r.Payloads(), (std::vector<Bytes>{B({40, 0}), B({40, 2}), B({40, 1})}));
    EXPECT_EQ(r.layer.GetNextExpectedMessageNumber(), 3u);
    r.Feed({Reliable(1, B({40, 1}))});
    EXPECT_TRUE(r.Payloads().empty());
}

struct HoleCase {
    const char* name;
    uint32_t number;
    bool accepted;
    const char* notice;
    std::size_t missingAfter;
};

class HoleWindow : public ::testing::TestWithParam<HoleCase> {};

TEST_P(HoleWindow, FarAheadMessages)
{
    const HoleCase& c = GetParam();
    Receiver r;
    r.Feed({Reliable(c.number, B({40}))});
    EXPECT_EQ(r.Payloads().size(), c.accepted ? 1u : 0u);
    if (c.notice[0] != 0) {
        EXPECT_TRUE(r.plugin.HasNotice(c.notice));
    }
    EXPECT_EQ(r.layer.GetMissingMessageCount(), c.missingAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Table, HoleWindow,
    ::testing::Values(HoleCase{"one_million_ahead", 1000000, true, "", 1000000},
                      HoleCase{"one_million_and_one", 1000001, false, "holeCount > 1000000", 0},
                      HoleCase{"half_range_is_old", 0x800000, false,
                               "holeCount > typeRange/(DatagramSequenceNumberType) 2", 0},
                      HoleCase{"just_behind", 0xFFFFFF, false, "holeCount > typeRange/(DatagramSequenceNumberType) 2", 0}),
    [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

TEST(Receive, OrderedChannelsAreIndependent)
{
    Receiver r;
    r.Feed({Ordered(0, 0, 5, B({50, 0})), Ordered(1, 0, 6, B({60, 0}))});
    r.Feed({Ordered(2, 2, 5, B({50, 2})), Ordered(3, 2, 6, B({60, 2}))});
    EXPECT_EQ(r.Payloads(), (std::vector<Bytes>{B({50, 0}), B({60, 0})}));
    r.Feed({Ordered(4, 1, 5, B({50, 1}))});
    EXPECT_EQ(r.Payloads(), (std::vector<Bytes>{B({50, 1}), B({50, 2})}));
    r.Feed({Ordered(5, 1, 6, B({60, 1}))});
    EXPECT_EQ(r.Payloads(), (std::vector<Bytes>{B({60, 1}), B({60, 2})}));
}

TEST(Receive, SequencedMessagesDropOlderOnes)
{
    Receiver r;
    auto seq = [](int kind, uint32_t number, uint32_t sequencing, uint32_t ordering, Bytes data) {
        return WireMessage{.kind = kind, .number = number, .sequencing = sequencing, .ordering = ordering,
                           .channel = 2, .data = std::move(data)};
    };
    r.Feed({seq(1, 0, 3, 0, B({70, 3}))});
    r.Feed({seq(1, 0, 1, 0, B({70, 1}))});           // older than 3: dropped
    r.Feed({seq(4, 0, 4, 0, B({70, 4}))});           // reliable sequenced
    r.Feed({seq(1, 0, 4, 0, B({70, 4}))});           // a network copy of 4 (same index): dropped
    EXPECT_EQ(r.Payloads(), (std::vector<Bytes>{B({70, 3}), B({70, 4})}));
    // Sequenced messages of the next ordering index wait for the ordered message before them,
    // and a sequencing index of 0 then counts again.
    r.Feed({seq(1, 0, 0, 1, B({71, 0}))});
    EXPECT_TRUE(r.Payloads().empty());
    r.Feed({Ordered(1, 0, 2, B({72}))});
    EXPECT_EQ(r.Payloads(), (std::vector<Bytes>{B({72}), B({71, 0})}));
    r.Feed({seq(1, 0, 1, 1, B({71, 1}))});
    EXPECT_EQ(r.Payloads(), (std::vector<Bytes>{B({71, 1})}));
}

TEST(Receive, OrderedMessagesAfterAPoppedOneRestartSequencing)
{
    Receiver r;
    auto seq = [](uint32_t sequencing, uint32_t ordering, Bytes data) {
        return WireMessage{.kind = 1, .sequencing = sequencing, .ordering = ordering, .channel = 9, .data = std::move(data)};
    };
    r.Feed({seq(5, 0, B({80, 5}))});
    EXPECT_EQ(r.Payloads().size(), 1u);
    // Ordered 1 arrives before ordered 0: it waits; when 0 comes, 1 is popped from the heap.
    r.Feed({Ordered(1, 1, 9, B({81}))});
    r.Feed({Ordered(0, 0, 9, B({80}))});
    EXPECT_EQ(r.Payloads(), (std::vector<Bytes>{B({80}), B({81})}));
    // Sequencing on ordering index 2 starts at 0 again.
    r.Feed({seq(0, 2, B({82, 0}))});
    EXPECT_EQ(r.Payloads(), (std::vector<Bytes>{B({82, 0})}));
}

WireMessage Fragment(uint32_t number, uint16_t id, uint32_t index, uint32_t count, Bytes data, int kind = 2)
{
    return WireMessage{.kind = kind, .number = number, .split = true, .splitCount = count, .splitId = id,
                       .splitIndex = index, .data = std::move(data)};
}

TEST(Receive, SplitMessageIsDeliveredOnceWhenComplete)
{
    Receiver r;
    r.Feed({Fragment(2, 7, 2, 3, B({3, 3}))});
    r.Feed({Fragment(0, 7, 0, 3, B({1, 1}))});
    EXPECT_TRUE(r.Payloads().empty());
    r.Feed({Fragment(0, 7, 0, 3, B({1, 1}))});  // duplicate fragment 0
    r.Feed({Fragment(1, 7, 1, 3, B({2, 2}))});
    EXPECT_EQ(r.Payloads(), (std::vector<Bytes>{B({1, 1, 2, 2, 3, 3})}));
    EXPECT_EQ(r.layer.GetOpenSplitAssemblies(), 0u);
    EXPECT_EQ(r.layer.GetHeldBytes(), 0u);
    // The completion acknowledged the datagrams at once.
    const auto sent = r.TakeSent();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back()[0], 0xC0);
}

TEST(Receive, SplitProgressAfterEachFragmentButTheLast)
{
    Receiver r;
    r.layer.SetSplitProgressInterval(1);
    r.Feed({Fragment(0, 1, 0, 3, B({9, 8, 7}))});
    r.Feed({Fragment(1, 1, 1, 3, B({6}))});
    r.Feed({Fragment(2, 1, 2, 3, B({5}))});
    const auto out = r.Drain();
    ASSERT_EQ(out.size(), 3u);
    for (int i = 0; i < 2; ++i) {
        const LayerMessage& p = out[i];
        EXPECT_TRUE(p.generatedLocally);
        ASSERT_EQ(p.data.size(), 16u);
        EXPECT_EQ(p.data[0], 30);
        EXPECT_EQ(U32Host(&p.data[1]), static_cast<uint32_t>(i + 1));
        EXPECT_EQ(U32Host(&p.data[5]), 3u);
        EXPECT_EQ(U32Host(&p.data[9]), 3u);
        EXPECT_EQ(Bytes(p.data.begin() + 13, p.data.end()), B({9, 8, 7}));
    }
    EXPECT_EQ(out[2].data, B({9, 8, 7, 6, 5}));
    EXPECT_FALSE(out[2].generatedLocally);
}

struct SplitCountCase {
    const char* name;
    uint32_t count;
    std::size_t openAfter;
};

class SplitCountCap : public ::testing::TestWithParam<SplitCountCase> {};

TEST_P(SplitCountCap, CountsAboveTheCapAreRefused)
{
    Receiver r;
    r.Feed({Fragment(0, 1, 0, GetParam().count, B({1, 2, 3}))});
    EXPECT_EQ(r.layer.GetOpenSplitAssemblies(), GetParam().openAfter);
    EXPECT_LT(r.layer.GetHeldBytes(), 64u * 1024);
    // The datagram is acknowledged either way.
    r.Update(2000);
    ASSERT_FALSE(r.TakeSent().empty());
}

INSTANTIATE_TEST_SUITE_P(Table, SplitCountCap,
                         ::testing::Values(SplitCountCase{"at_cap", ReliabilityLayer::kMaxSplitCount, 1},
                                           SplitCountCase{"above_cap", ReliabilityLayer::kMaxSplitCount + 1, 0},
                                           SplitCountCase{"max_u32", 0xFFFFFFFFu, 0}),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

TEST(Receive, FragmentBeyondTheFirstCountIsDropped)
{
    Receiver r;
    r.Feed({Fragment(0, 4, 0, 2, B({1}))});
    r.Feed({Fragment(1, 4, 5, 8, B({2}))});  // index 5 with its own count 8: beyond the channel's 2
    r.Feed({Fragment(2, 4, 1, 2, B({3}))});
    EXPECT_EQ(r.Payloads(), (std::vector<Bytes>{B({1, 3})}));
}

TEST(Receive, OpenAssembliesAreBounded)
{
    Receiver r;
    for (uint32_t i = 0; i < ReliabilityLayer::kMaxOpenSplitAssemblies + 10; ++i)
        r.Feed({Fragment(i, static_cast<uint16_t>(i), 0, 2, B({1}), 0)});
    EXPECT_EQ(r.layer.GetOpenSplitAssemblies(), ReliabilityLayer::kMaxOpenSplitAssemblies);
}

TEST(Receive, ResetFreesIncompleteAssembliesAndEarlyMessages)
{
    Receiver r;
    for (uint16_t id = 0; id < 3; ++id)
        r.Feed({Fragment(id, id, 0, 4000, Bytes(1000, 1))});
    r.Feed({Ordered(3, 5, 1, Bytes(500, 2))});
    EXPECT_EQ(r.layer.GetOpenSplitAssemblies(), 3u);
    EXPECT_GT(r.layer.GetHeldBytes(), 3000u);
    r.layer.Reset(kMtu, 2000);
    EXPECT_EQ(r.layer.GetOpenSplitAssemblies(), 0u);
    EXPECT_EQ(r.layer.GetHeldBytes(), 0u);
    EXPECT_EQ(r.layer.GetNextExpectedMessageNumber(), 0u);
    // Numbering starts over: a message numbered 0 is new again.
    r.nextDatagram = 0;
    r.Feed({Reliable(0, B({40}))}, 3000);
    EXPECT_EQ(r.Payloads().size(), 1u);
}

TEST(Receive, ReceiptIdsFromTheNetworkAreDropped)
{
    Receiver r;
    r.Feed({Reliable(0, B({14, 1, 0, 0, 0})), Reliable(1, B({15, 1, 0, 0, 0})), Reliable(2, B({16, 1}))});
    // An ordered 14 is dropped but still lets its channel go on.
    r.Feed({Ordered(3, 0, 0, B({14, 2, 0, 0, 0})), Ordered(4, 1, 0, B({41}))});
    r.Feed({WireMessage{.kind = 0, .data = B({15, 9, 9, 9, 9})}});
    EXPECT_EQ(r.Payloads(), (std::vector<Bytes>{B({16, 1}), B({41})}));
    EXPECT_TRUE(ReliabilityLayer::IsLocalOnlyMessageId(14));
    EXPECT_TRUE(ReliabilityLayer::IsLocalOnlyMessageId(15));
    EXPECT_FALSE(ReliabilityLayer::IsLocalOnlyMessageId(16));
    EXPECT_GT(r.layer.GetStatistics().total[static_cast<int>(LayerCounter::BytesReceivedIgnored)], 0u);
}

struct RefusalCase {
    const char* name;
    Bytes datagram;
    const char* notice;
    bool acknowledged;
};

class Refusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusals, GiveTheirNotice)
{
    const RefusalCase& c = GetParam();
    Endpoint r;
    EXPECT_TRUE(r.Handle(c.datagram, 1000));
    EXPECT_TRUE(r.plugin.HasNotice(c.notice)) << (r.plugin.notices.empty() ? "" : r.plugin.notices[0]);
    EXPECT_TRUE(r.Drain().empty());
    r.Update(2000);
    const auto sent = r.TakeSent();
    EXPECT_EQ(!sent.empty() && sent[0][0] == 0xC0, c.acknowledged);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Refusals,
    ::testing::Values(
        RefusalCase{"two_bytes", B({0x80, 0}), "length <= 2", false},
        RefusalCase{"not_valid", B({0x00, 0, 0, 0, 0, 0, 8, 1}), "dhf.isValid==false", false},
        RefusalCase{"too_far_ahead", DataDatagram(60000, {WireMessage{.kind = 0, .data = B({40})}}),
                    "congestionManager.OnGotPacket failed", false},
        RefusalCase{"zero_bit_length", B({0x80, 0, 0, 0, 0x00, 0x00, 0x00, 1, 2, 3}),
                    "CreateInternalPacketFromBitStream failed", true},
        RefusalCase{"data_past_end", B({0x80, 0, 0, 0, 0x00, 0x00, 0x40, 1, 2, 3}),
                    "CreateInternalPacketFromBitStream failed", true},
        RefusalCase{"channel_32", B({0x80, 0, 0, 0, 0x60, 0x00, 0x08, 0, 0, 0, 0, 0, 0, 32, 1}),
                    "CreateInternalPacketFromBitStream failed", true},
        RefusalCase{"index_not_below_count",
                    B({0x80, 0, 0, 0, 0x50, 0x00, 0x08, 0, 0, 0, 0, 0, 0, 2, 0, 1, 0, 0, 0, 2, 1}),
                    "CreateInternalPacketFromBitStream failed", true}),
    [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

TEST(Refusals, NullBuffer)
{
    Endpoint r;
    EXPECT_TRUE(r.layer.HandleDatagram(nullptr, 0, r.address, r.Sender(), r.Plugins(), 0));
    EXPECT_TRUE(r.plugin.HasNotice("buffer == 0"));
}

// ---------------------------------------------------------------------------------------------
// Time-outs

struct DeadCase {
    const char* name;
    uint64_t lastArrivalMs;
    uint64_t nowMs;
    bool dead;
};

class DeadConnection : public ::testing::TestWithParam<DeadCase> {};

TEST_P(DeadConnection, Verdict)
{
    const DeadCase& c = GetParam();
    Endpoint a;
    a.layer.Reset(kMtu, c.lastArrivalMs * 1000);
    a.layer.SetTimeout(6000);
    EXPECT_EQ(a.layer.IsDeadAt(c.nowMs), c.dead);
    a.Update(c.nowMs * 1000);
    EXPECT_EQ(a.layer.LinkIsDead(), c.dead);
}

INSTANTIATE_TEST_SUITE_P(Table, DeadConnection,
                         ::testing::Values(DeadCase{"within_timeout", 100000, 106000, false},
                                           DeadCase{"past_timeout", 100000, 106001, true},
                                           DeadCase{"clock_back_10s", 100000, 90000, false},
                                           DeadCase{"clock_back_more", 100000, 89999, true},
                                           DeadCase{"silent_over_an_hour", 100000, 100000 + 3600001, false}),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

TEST(Timeouts, ArrivalKeepsTheLinkAlive)
{
    Endpoint a;
    a.layer.SetTimeout(1000);
    a.Handle(B({'P'}), 900000);
    a.Update(1800000);
    EXPECT_FALSE(a.layer.LinkIsDead());
    a.Update(1901000);
    EXPECT_TRUE(a.layer.LinkIsDead());
}

TEST(Timeouts, ExpiredUnreliableMessagesAreDroppedUnsentWithLostReceipts)
{
    Endpoint a;
    a.layer.SetUnreliableTimeout(1000);
    a.layer.SetTimeout(100000);
    // Urgent reliable data fills the window, and nothing is acknowledged: the unreliable
    // messages queued behind it wait until they expire.
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(Send(a, Bytes(1432, 41), ReliabilityKind::Reliable, 0, 0, 0, SendPriority::Immediate));
    for (uint32_t i = 0; i < 5; ++i)
        ASSERT_TRUE(Send(a, B({40, static_cast<int>(i)}), ReliabilityKind::UnreliableWithReceipt, 0, 100 + i, 0,
                         SendPriority::Low));
    std::multiset<uint32_t> lost;
    auto drainLost = [&] {
        for (const LayerMessage& m : a.Drain()) {
            ASSERT_EQ(m.data[0], 15);
            lost.insert(U32Host(&m.data[1]));
        }
    };
    std::vector<Bytes> sent;
    for (uint64_t t = 100000; t <= 1600000; t += 100000) {
        a.Update(t);
        for (Bytes& d : a.TakeSent())
            sent.push_back(std::move(d));
        drainLost();
    }
    EXPECT_EQ(lost, (std::multiset<uint32_t>{100, 101, 102, 103, 104}));
    // Now everything sent is acknowledged and the window opens: the expired messages are
    // discarded, never sent, and give no second receipt.
    for (const Bytes& d : sent)
        a.Handle(Ack({{DatagramNumber(d), DatagramNumber(d)}}), 1700000);
    for (uint64_t t = 1800000; t <= 3000000; t += 100000) {
        a.Update(t);
        for (Bytes& d : a.TakeSent()) {
            a.Handle(Ack({{DatagramNumber(d), DatagramNumber(d)}}), t);
            sent.push_back(std::move(d));
        }
    }
    drainLost();
    EXPECT_EQ(lost.size(), 5u);
    for (const Bytes& d : sent)
        for (const ParsedMessage& m : ParseDataDatagram(d))
            EXPECT_EQ(m.data[0], 41) << "an expired message was sent";
    EXPECT_TRUE(a.layer.IsOutgoingIdle());
}

TEST(Timeouts, UnacknowledgedMessagesAreResentAfterTheTimeout)
{
    Endpoint a;
    ASSERT_TRUE(Send(a, B({40, 1}), ReliabilityKind::Reliable));
    a.Update(0);
    ASSERT_EQ(a.TakeSent().size(), 1u);
    a.Update(999999);
    EXPECT_TRUE(a.TakeSent().empty());
    a.Update(1000000);
    const auto again = a.TakeSent();
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(ParseDataDatagram(again[0])[0].number, 0u);
    EXPECT_GT(a.layer.GetStatistics().total[static_cast<int>(LayerCounter::BytesResent)], 0u);
}

TEST(RateLimit, BitsPerSecondLimitHoldsNewDataBack)
{
    Endpoint a, b;
    for (int i = 0; i < 200; ++i)
        ASSERT_TRUE(Send(a, Bytes(1000, 1), ReliabilityKind::Reliable));
    // 80000 bits per second: 10000 bytes of new data within any one second.
    uint64_t t = 0;
    for (; t <= 1000000; t += 10000) {
        a.Update(t, 80000);
        for (const Bytes& d : a.TakeSent())
            b.Handle(d, t);
        b.Update(t);
        for (const Bytes& d : b.TakeSent())
            a.Handle(d, t);
    }
    const uint64_t sent = a.layer.GetStatistics().total[static_cast<int>(LayerCounter::BytesSent)];
    EXPECT_GT(sent, 5000u);
    EXPECT_LE(sent, 10000u + 2 * 1464u);
}

// ---------------------------------------------------------------------------------------------
// Two layers through an in-memory link with loss, reordering and duplication, on a fake clock

struct LinkProfile {
    const char* name;
    double loss;
    double duplicate;
    uint64_t delayUs;
    uint64_t jitterUs;  // delays vary by up to this much, which reorders datagrams
    uint32_t mtu;
    uint64_t bytesAtoB;
    uint64_t bytesBtoA;
};

// Datagrams in flight between the two endpoints, delivered in order of arrival time.
class LossyLink {
public:
    LossyLink(const LinkProfile& profile, uint64_t seed) : m_profile(profile), m_rng(seed) {}

    void Push(int to, const uint8_t* data, uint32_t length, uint64_t nowUs)
    {
        if (Chance(m_profile.loss))
            return;
        const int copies = Chance(m_profile.duplicate) ? 2 : 1;
        for (int i = 0; i < copies; ++i) {
            const uint64_t jitter = m_profile.jitterUs ? m_rng() % (m_profile.jitterUs + 1) : 0;
            m_queue.push(InFlight{nowUs + m_profile.delayUs + jitter, m_order++, to, Bytes(data, data + length)});
        }
    }

    // Moves every datagram due by nowUs into `out` (pairs of destination and bytes).
    void TakeDue(uint64_t nowUs, std::vector<std::pair<int, Bytes>>& out)
    {
        while (!m_queue.empty() && m_queue.top().at <= nowUs) {
            InFlight& top = const_cast<InFlight&>(m_queue.top());
            out.emplace_back(top.to, std::move(top.data));
            m_queue.pop();
        }
    }

private:
    struct InFlight {
        uint64_t at;
        uint64_t order;
        int to;
        Bytes data;
        bool operator>(const InFlight& o) const { return at != o.at ? at > o.at : order > o.order; }
    };
    bool Chance(double p) { return p > 0 && std::uniform_real_distribution<double>(0, 1)(m_rng) < p; }

    LinkProfile m_profile;
    std::mt19937_64 m_rng;
    uint64_t m_order = 0;
    std::priority_queue<InFlight, std::vector<InFlight>, std::greater<>> m_queue;
};

// Message body: [0xC8][kind][channel][u32 serial][u32 channel order][u32 length][filler], the
// filler a function of serial and position, so the receiver can check every byte.
constexpr uint8_t kMarker = 0xC8;
constexpr std::size_t kBodyHeader = 15;

uint8_t Filler(uint32_t serial, std::size_t i)
{
    uint32_t x = serial * 2654435761u + static_cast<uint32_t>(i) * 40503u;
    x ^= x >> 13;
    return static_cast<uint8_t>(x * 0x9E3779B1u >> 24);
}

void PutU32(Bytes& b, std::size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t GetU32(const Bytes& b, std::size_t at)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= uint32_t{b[at + i]} << (8 * i);
    return v;
}

// What one side sends and what the other side must see of it.
class TrafficStream {
public:
    struct Sent {
        int kind;           // as sent
        int effectiveKind;  // after the upgrade of split messages
        uint32_t channel;
        uint32_t length;
        uint32_t receipt;   // 0 = none
        uint32_t deliveries = 0;
        int receiptId = 0;  // 14 or 15 once reported
        int receipts = 0;
    };

    TrafficStream(uint64_t seed, uint32_t mtu, uint64_t totalBytes) : m_rng(seed), m_mtu(mtu), m_left(totalBytes) {}

    bool Done() const { return m_left == 0; }

    // Queues messages while the sender's queue is short.
    void Feed(Endpoint& from, uint64_t nowUs)
    {
        const ReliabilityStatistics stats = from.layer.GetStatistics();
        uint64_t queued = 0;
        for (uint64_t b : stats.queuedBytes)
            queued += b;
        while (m_left > 0 && queued < 512 * 1024) {
            const uint32_t length = NextLength();
            const int kind = static_cast<int>(m_rng() % 8);
            const uint32_t channel = static_cast<uint32_t>(m_rng() % NUMBER_OF_ORDERED_STREAMS);
            const bool split = length > m_mtu - 32;
            int effective = kind;
            if (split)
                effective = kind == 0 ? 2 : kind == 5 ? 6 : kind == 1 ? 4 : kind;
            const bool hasReceipt = kind >= 5;
            const uint32_t serial = static_cast<uint32_t>(m_sent.size());
            const bool channelled = effective == 1 || effective == 3 || effective == 4 || effective == 7;
            Bytes body(length);
            body[0] = kMarker;
            body[1] = static_cast<uint8_t>(kind);
            body[2] = static_cast<uint8_t>(channel);
            PutU32(body, 3, serial);
            PutU32(body, 7, channelled ? m_channelOrder[channel]++ : 0);
            PutU32(body, 11, length);
            for (std::size_t i = kBodyHeader; i < length; ++i)
                body[i] = Filler(serial, i);
            const uint32_t receipt = hasReceipt ? serial + 1 : 0;
            const auto priority = static_cast<SendPriority>(m_rng() % 4);
            ASSERT_TRUE(from.layer.Send(body.data(), length * 8, priority, static_cast<ReliabilityKind>(kind), channel,
                                        nowUs, receipt));
            m_sent.push_back(Sent{kind, effective, channel, length, receipt});
            m_outstanding += MustArrive(effective) + (hasReceipt ? 1 : 0);
            if (hasReceipt)
                m_byReceipt[receipt] = serial;
            queued += length;
            m_left -= std::min<uint64_t>(m_left, length);
        }
    }

    // A message delivered at the far end.
    void Delivered(const LayerMessage& m)
    {
        ASSERT_FALSE(m.generatedLocally);
        ASSERT_GE(m.data.size(), kBodyHeader);
        ASSERT_EQ(m.data[0], kMarker);
        const uint32_t serial = GetU32(m.data, 3);
        ASSERT_LT(serial, m_sent.size());
        Sent& s = m_sent[serial];
        ASSERT_EQ(m.data.size(), s.length);
        ASSERT_EQ(m.bitLength, s.length * 8);
        std::size_t bad = kBodyHeader;
        while (bad < m.data.size() && m.data[bad] == Filler(serial, bad))
            ++bad;
        ASSERT_EQ(bad, m.data.size()) << "serial " << serial << " differs at byte " << bad;
        ++s.deliveries;
        const int k = s.effectiveKind;
        if (s.deliveries == 1 && MustArrive(k))
            --m_outstanding;
        if (k != 0 && k != 5) {
            // Only plain unreliable messages may be seen twice (the network duplicates them).
            ASSERT_EQ(s.deliveries, 1u) << "serial " << serial << " kind " << k;
        }
        if (k == 1 || k == 3 || k == 4 || k == 7) {
            const uint32_t order = GetU32(m.data, 7);
            auto [it, fresh] = m_lastChannelOrder.emplace(s.channel, order);
            if (!fresh) {
                ASSERT_GT(order, it->second) << "channel " << s.channel << " went back";
                it->second = order;
            }
        }
        ++m_deliveredMessages;
    }

    // A receipt reported to the sender.
    void Receipt(const LayerMessage& m)
    {
        ASSERT_TRUE(m.generatedLocally);
        ASSERT_EQ(m.data.size(), 5u);
        ASSERT_TRUE(m.data[0] == 14 || m.data[0] == 15);
        const uint32_t receipt = U32Host(&m.data[1]);
        auto it = m_byReceipt.find(receipt);
        ASSERT_NE(it, m_byReceipt.end());
        Sent& s = m_sent[it->second];
        ++s.receipts;
        s.receiptId = m.data[0];
        if (s.receipts == 1)
            --m_outstanding;
        ASSERT_EQ(s.receipts, 1) << "receipt " << receipt << " reported twice";
        if (s.effectiveKind == 6 || s.effectiveKind == 7) {
            ASSERT_EQ(m.data[0], 14) << "a reliable message reported lost";
        }
        if (m.data[0] == 14 && s.effectiveKind == 5) {
            // Its datagram was acknowledged, so it arrived and was delivered at once.
            ASSERT_GE(s.deliveries, 1u) << "receipt 14 for an undelivered message";
        }
    }

    // Everything that must arrive has arrived and every receipt is in.
    bool Complete() const { return m_left == 0 && m_outstanding == 0; }

    void ExpectComplete() const
    {
        std::size_t missing = 0, receiptsMissing = 0;
        for (const Sent& s : m_sent) {
            const int k = s.effectiveKind;
            missing += MustArrive(k) && s.deliveries == 0;
            receiptsMissing += s.receipt != 0 && s.receipts == 0;
        }
        EXPECT_EQ(missing, 0u);
        EXPECT_EQ(receiptsMissing, 0u);
    }

    std::size_t MessagesSent() const { return m_sent.size(); }
    std::size_t MessagesDelivered() const { return m_deliveredMessages; }

private:
    static bool MustArrive(int effectiveKind)
    {
        return effectiveKind == 2 || effectiveKind == 3 || effectiveKind == 6 || effectiveKind == 7;
    }

    uint32_t NextLength()
    {
        // The first message is the largest one, 1 MiB; then mostly small, some medium, a few large.
        if (m_sent.empty())
            return 1024 * 1024;
        const uint32_t r = m_rng() % 1000;
        if (r < 700)
            return static_cast<uint32_t>(kBodyHeader + m_rng() % 200);
        if (r < 997)
            return static_cast<uint32_t>(200 + m_rng() % 6000);
        return static_cast<uint32_t>(20000 + m_rng() % (1024 * 1024 - 20000));
    }

    std::mt19937 m_rng;
    uint32_t m_mtu;
    uint64_t m_left;
    std::vector<Sent> m_sent;
    std::map<uint32_t, uint32_t> m_byReceipt;
    std::map<uint32_t, uint32_t> m_channelOrder;
    std::map<uint32_t, uint32_t> m_lastChannelOrder;
    std::size_t m_deliveredMessages = 0;
    // Deliveries and receipts still owed.
    std::size_t m_outstanding = 0;
};

class LossyPair : public ::testing::TestWithParam<LinkProfile> {};

TEST_P(LossyPair, EverythingReliableArrivesExactlyOnceInOrderWithOneReceiptEach)
{
    const LinkProfile& profile = GetParam();
    Endpoint side[2] = {Endpoint(profile.mtu), Endpoint(profile.mtu)};
    LossyLink link(profile, 1234);
    TrafficStream stream[2] = {TrafficStream(7, profile.mtu, profile.bytesAtoB),
                               TrafficStream(8, profile.mtu, profile.bytesBtoA)};
    for (Endpoint& e : side) {
        e.layer.SetTimeout(60000);
        e.layer.SetUnreliableTimeout(1000);
    }
    // Datagrams leave through the link instead of the endpoint's list.
    uint64_t now = 0;
    DatagramSender senders[2] = {
        [&](const uint8_t* d, uint32_t n) { link.Push(1, d, n, now); },
        [&](const uint8_t* d, uint32_t n) { link.Push(0, d, n, now); },
    };

    const uint64_t deadlineUs = 600ull * 1000000;
    std::vector<std::pair<int, Bytes>> due;
    for (; now < deadlineUs; now += 1000) {
        for (int i = 0; i < 2; ++i) {
            stream[i].Feed(side[i], now);
            ASSERT_FALSE(HasFatalFailure());
        }
        due.clear();
        link.TakeDue(now, due);
        for (auto& [to, data] : due)
            side[to].layer.HandleDatagram(data.data(), static_cast<uint32_t>(data.size()), side[to].address,
                                          senders[to], side[to].Plugins(), now);
        for (int i = 0; i < 2; ++i) {
            side[i].layer.Update(side[i].address, senders[i], now, 0, side[i].Plugins());
            ASSERT_FALSE(side[i].layer.LinkIsDead());
            ASSERT_LE(side[i].layer.GetStatistics().messagesWaitingForAck, ReliabilityLayer::kResendBufferSize);
            LayerMessage m;
            while (side[i].layer.Receive(m)) {
                if (m.generatedLocally)
                    stream[i].Receipt(m);
                else
                    stream[1 - i].Delivered(m);
                ASSERT_FALSE(HasFatalFailure());
            }
        }
        if (stream[0].Complete() && stream[1].Complete() && side[0].layer.IsOutgoingIdle() &&
            side[1].layer.IsOutgoingIdle())
            break;
    }
    stream[0].ExpectComplete();
    stream[1].ExpectComplete();
    EXPECT_LT(now, deadlineUs) << "the transfer did not finish";
    for (Endpoint& e : side) {
        EXPECT_EQ(e.layer.GetOpenSplitAssemblies(), 0u);
        EXPECT_EQ(e.layer.GetHeldBytes(), 0u);
        // The only notice expected: copies of messages already delivered (resends that crossed
        // their acknowledgement, network duplicates).
        for (const std::string& notice : e.plugin.notices)
            ASSERT_EQ(notice, "holeCount > typeRange/(DatagramSequenceNumberType) 2");
    }
    const ReliabilityStatistics stats = side[0].layer.GetStatistics();
    if (profile.loss > 0) {
        EXPECT_GT(stats.total[static_cast<int>(LayerCounter::BytesResent)], 0u);
    }
    std::printf("%s: %.2f fake s, %zu messages sent, %zu delivered, %zu notices, resent %llu of %llu bytes\n",
                profile.name, now / 1e6, stream[0].MessagesSent() + stream[1].MessagesSent(),
                stream[0].MessagesDelivered() + stream[1].MessagesDelivered(),
                side[0].plugin.notices.size() + side[1].plugin.notices.size(),
                static_cast<unsigned long long>(stats.total[static_cast<int>(LayerCounter::BytesResent)]),
                static_cast<unsigned long long>(stats.total[static_cast<int>(LayerCounter::BytesSent)]));
}

INSTANTIATE_TEST_SUITE_P(
    Net, LossyPair,
    ::testing::Values(LinkProfile{"clean", 0, 0, 2000, 0, 1464, 6 << 20, 2 << 20},
                      LinkProfile{"lossy_reordered_duplicated", 0.05, 0.02, 5000, 5000, 1464, 24 << 20, 6 << 20},
                      LinkProfile{"smallest_mtu", 0.02, 0.05, 3000, 10000, 548, 6 << 20, 1 << 20}),
    [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

} // namespace
} // namespace P2PNet
