// NAT punch-through client over real UDP on loopback: two clients and a facilitator, each a real
// peer pumped on its own thread.
#include "HolePunchClient.h"
#include "MessageIdentifiers.h"
#include "PeerUtils.h"
#include "support/PunchFacilitator.h"
#include "support/PunchRecorders.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace P2PNet;
using punchtest::PunchFacilitator;
using punchtest::RawSendRecorder;
using punchtest::connectTo;
using punchtest::kIPv4Loopback;
using punchtest::kIPv6Loopback;
using punchtest::Received;
using punchtest::TestPeer;
using punchtest::TextRecorder;
using punchtest::waitUntil;

namespace {

// A message id no component claims, used to know that everything sent before it was handled.
constexpr uint8_t kMarker = 200;

// The schedule shrunk so that a failing attempt ends in a few hundred milliseconds.
PunchConfig FastConfig()
{
    PunchConfig config;
    config.internalSendIntervalMs = 5;
    config.externalSendIntervalMs = 5;
    config.waitAfterInternalMs = 10;
    config.waitAfterTtlMs = 10;
    config.waitAfterPortMs = 10;
    config.waitAfterAllAttemptsMs = 20;
    return config;
}

std::string GuidText(const P2PNetGUID& guid) { return guid.ToString(); }

// Sends kMarker from `from` to `to` and waits until `to` has it: everything `from` sent before on
// the same ordered channel has then been through `to`'s plug-ins.
bool Flush(TestPeer& from, TestPeer& to)
{
    static std::atomic<uint8_t> sequence{0};
    const uint8_t tag = ++sequence;
    if (!from.sendBytes({kMarker, tag}, PeerTarget(to.guid())))
        return false;
    return to.saw([tag](const Received& r) { return r.id() == kMarker && r.data.size() == 2 && r.data[1] == tag; });
}

// The punch datagrams among a peer's raw sends: everything not addressed to the facilitator (the
// handshake and probes of the connection to it are raw sends too).
std::vector<RawSendRecorder::Datagram> PunchSends(RawSendRecorder& raw, const SystemAddress& facilitator)
{
    std::vector<RawSendRecorder::Datagram> out;
    for (const auto& d : raw.sent().snapshot())
        if (d.to != facilitator)
            out.push_back(d);
    return out;
}

// The bytes of an out-of-band datagram after its 25-byte header: [sub][u16 session][u16 port].
struct PunchDatagram {
    bool ttlProbe = false;
    uint8_t sub = 0xFF;
    uint16_t session = 0;
    uint16_t port = 0;
    uint16_t sentTo = 0;
};

PunchDatagram Decode(const RawSendRecorder::Datagram& d)
{
    PunchDatagram out;
    out.sentTo = d.to.GetPort();
    if (d.data.size() == 2 && d.data[0] == 0 && d.data[1] == 1) {
        out.ttlProbe = true;
        return out;
    }
    if (d.data.size() >= 30 && d.data[0] == ID_OUT_OF_BAND) {
        out.sub = d.data[25];
        out.session = static_cast<uint16_t>(d.data[26] << 8 | d.data[27]);
        out.port = static_cast<uint16_t>(d.data[28] << 8 | d.data[29]);
    }
    return out;
}

// [27][u64 time][59][u16 session][external][u8 n][internal...][u64 guid][bit weAreSender]
BitStream ConnectAtTime(uint64_t time, uint16_t session, const SystemAddress& external,
                        const std::vector<SystemAddress>& internal, uint64_t guid, bool weAreSender)
{
    BitStream out;
    out.WriteU8(ID_TIME_PREFIX);
    out.WriteU64(time);
    out.WriteU8(ID_PUNCH_CONNECT_AT_TIME);
    out.WriteU16(session);
    external.Serialize(out);
    out.WriteU8(static_cast<uint8_t>(internal.size()));
    for (const SystemAddress& address : internal)
        address.Serialize(out);
    out.WriteU64(guid);
    out.WriteBit(weAreSender);
    return out;
}

std::vector<uint8_t> Bytes(const BitStream& stream)
{
    return std::vector<uint8_t>(stream.GetData(), stream.GetData() + stream.GetNumberOfBytesUsed());
}

// A facilitator and two clients connected to it. Client B may run without the punch-through
// plug-in, as a system that never answers.
class PunchFixture {
public:
    PunchFixture(const PunchConfig& configA, bool bPunches, const PunchFacilitator::Options& options, bool ipv6 = false)
        : f(ipv6 ? kIPv6Loopback : kIPv4Loopback), a(ipv6 ? kIPv6Loopback : kIPv4Loopback),
          b(ipv6 ? kIPv6Loopback : kIPv4Loopback), facilitator(f.add<PunchFacilitator>(options)),
          clientA(a.add<HolePunchClient>(configA)),
          clientB(bPunches ? &b.add<HolePunchClient>(configA) : nullptr)
    {
        clientA.SetDebugSink(&textsA);
        if (clientB != nullptr)
            clientB->SetDebugSink(&textsB);
        f.startPump();
        a.startPump();
        b.startPump();
    }
    bool ready() { return f.started() && a.started() && b.started() && connectTo(a, f) && connectTo(b, f); }

    // Declared before the peers, so they outlive the pump threads that print into them.
    TextRecorder textsA;
    TextRecorder textsB;
    TestPeer f{kIPv4Loopback};
    TestPeer a{kIPv4Loopback};
    TestPeer b{kIPv4Loopback};
    PunchFacilitator& facilitator;
    HolePunchClient& clientA;
    HolePunchClient* clientB;
};

// ---- Success --------------------------------------------------------------------------------------

struct SuccessCase {
    const char* name;
    bool reportInternal;
    bool ipv6;
};

class PunchSuccess : public ::testing::TestWithParam<SuccessCase> {};

TEST_P(PunchSuccess, BothSidesGetSucceededAndCanConnect)
{
    PunchFacilitator::Options options;
    options.reportInternalAddresses = GetParam().reportInternal;
    PunchFixture fx(PunchConfig{}, true, options, GetParam().ipv6);
    ASSERT_TRUE(fx.ready());

    ASSERT_TRUE(fx.clientA.RequestPunch(fx.b.guid(), fx.f.address()));

    Received atA;
    Received atB;
    ASSERT_TRUE(fx.a.sawId(ID_PUNCH_SUCCEEDED, &atA));
    ASSERT_TRUE(fx.b.sawId(ID_PUNCH_SUCCEEDED, &atB));
    ASSERT_EQ(atA.data.size(), 2u);
    EXPECT_EQ(atA.data[1], 1) << "the requester is the sender";
    EXPECT_EQ(atB.data[1], 0);
    EXPECT_TRUE(atA.generatedLocally);
    EXPECT_EQ(atA.guid, fx.b.guid());
    EXPECT_EQ(atB.guid, fx.a.guid());
    EXPECT_EQ(atA.address, fx.b.address());
    EXPECT_EQ(atA.address.systemIndex, SystemAddress::kUnknownIndex);
    EXPECT_EQ(atB.address, fx.a.address());
    EXPECT_TRUE(fx.textsA.waitForPrefix("Punch-through to guid " + GuidText(fx.b.guid()) + ", system address " +
                                        fx.b.address().ToString(true) + " succeeded on 1st attempt."));
    if (!GetParam().reportInternal) {
        EXPECT_GE(fx.textsA.countPrefix("Send with TTL 2 to "), 1u) << "only the external address was known";
    }

    // What P2PClient does with a success: connect straight to the punched address.
    ASSERT_EQ(fx.a.peer().Connect(atA.address, nullptr, 0), ConnectResult::AttemptStarted);
    const P2PNetGUID bGuid = fx.b.guid();
    EXPECT_TRUE(fx.a.saw([&](const Received& r) { return r.id() == ID_JOIN_ACCEPTED && r.guid == bGuid; }));
    EXPECT_EQ(fx.a.countId(ID_PUNCH_FAILED), 0u);
    EXPECT_EQ(fx.b.countId(ID_PUNCH_FAILED), 0u);
}

INSTANTIATE_TEST_SUITE_P(Routes, PunchSuccess,
                         ::testing::Values(SuccessCase{"internal_and_external", true, false},
                                           SuccessCase{"external_only", false, false},
                                           SuccessCase{"ipv6_external_only", false, true}),
                         [](const ::testing::TestParamInfo<SuccessCase>& paramInfo) { return paramInfo.param.name; });

// ---- Failure and retry ----------------------------------------------------------------------------

TEST(PunchFailure, FailsWithPunchFailedAfterOneRetry)
{
    PunchFacilitator::Options options;
    options.answerTimeoutMs = 0;  // a silent target is only found out by the clients
    PunchFixture fx(FastConfig(), false, options);
    ASSERT_TRUE(fx.ready());
    const std::string bGuid = GuidText(fx.b.guid());

    ASSERT_TRUE(fx.clientA.RequestPunch(fx.b.guid(), fx.f.address()));
    Received failed;
    ASSERT_TRUE(fx.a.sawId(ID_PUNCH_FAILED, &failed));
    EXPECT_TRUE(failed.generatedLocally);
    EXPECT_EQ(failed.guid, fx.b.guid());
    ASSERT_EQ(failed.data.size(), 2u);
    EXPECT_EQ(failed.data[1], 1);
    EXPECT_EQ(fx.textsA.countPrefix("First punch-through failure on guid " + bGuid), 1u);
    EXPECT_EQ(fx.textsA.countPrefix("Failed punch-through twice. Returning failure to guid " + bGuid), 1u);
    EXPECT_EQ(fx.facilitator.GetCounters().started, 2u) << "the first request and exactly one retry";
    EXPECT_EQ(fx.a.countId(ID_PUNCH_SUCCEEDED), 0u);

    // A later punch to the same target gets its own retry again.
    ASSERT_TRUE(fx.clientA.RequestPunch(fx.b.guid(), fx.f.address()));
    ASSERT_TRUE(waitUntil([&] { return fx.a.countId(ID_PUNCH_FAILED) == 2; }));
    EXPECT_EQ(fx.textsA.countPrefix("First punch-through failure on guid " + bGuid), 2u);
    EXPECT_EQ(fx.facilitator.GetCounters().started, 4u);
}

TEST(PunchFailure, NoRetryWhenDisabled)
{
    PunchConfig config = FastConfig();
    config.retryOnFailure = false;
    PunchFacilitator::Options options;
    options.answerTimeoutMs = 0;
    PunchFixture fx(config, false, options);
    ASSERT_TRUE(fx.ready());

    ASSERT_TRUE(fx.clientA.RequestPunch(fx.b.guid(), fx.f.address()));
    ASSERT_TRUE(fx.a.sawId(ID_PUNCH_FAILED));
    EXPECT_EQ(fx.textsA.countPrefix("Failed punch-through once. Returning failure to guid " + GuidText(fx.b.guid())), 1u);
    EXPECT_EQ(fx.facilitator.GetCounters().started, 1u);
}

// A facilitator stand-in driven by hand: the retry that the client asks for is refused as "in
// progress", after which nothing else will ever come for that target.
TEST(PunchFailure, RetryRefusedAsInProgressReportsFailure)
{
    TextRecorder texts; // outlives the peers' pump threads that print into it
    TestPeer f{kIPv4Loopback};
    TestPeer a{kIPv4Loopback};
    HolePunchClient& client = a.add<HolePunchClient>(FastConfig());
    client.SetDebugSink(&texts);
    f.startPump();
    a.startPump();
    ASSERT_TRUE(f.started() && a.started() && connectTo(a, f));

    const uint64_t target = 5555;
    ASSERT_TRUE(f.sendStream(ConnectAtTime(NowMillis(), 9, SystemAddress("127.0.0.1", 23440), {}, target, true),
                             PeerTarget(a.guid())));
    ASSERT_TRUE(f.sendBytes({ID_PUNCH_GET_RECENT_PORT, 0, 9}, PeerTarget(a.guid())));
    Received answer;
    ASSERT_TRUE(f.sawId(ID_PUNCH_GET_RECENT_PORT, &answer));
    EXPECT_EQ(answer.data, (std::vector<uint8_t>{ID_PUNCH_GET_RECENT_PORT, 0, 9,
                                                 static_cast<uint8_t>(a.address().GetPort() >> 8),
                                                 static_cast<uint8_t>(a.address().GetPort() & 0xFF)}));

    Received retry;
    ASSERT_TRUE(f.sawId(ID_PUNCH_REQUEST, &retry));
    EXPECT_EQ(retry.data, (std::vector<uint8_t>{ID_PUNCH_REQUEST, 0, 0, 0, 0, 0, 0, 0x15, 0xB3}));
    ASSERT_TRUE(f.sendBytes({ID_PUNCH_IN_PROGRESS, 0, 0, 0, 0, 0, 0, 0x15, 0xB3}, PeerTarget(a.guid())));

    Received failed;
    ASSERT_TRUE(a.sawId(ID_PUNCH_FAILED, &failed));
    EXPECT_EQ(failed.guid, P2PNetGUID(target));
    EXPECT_TRUE(a.sawId(ID_PUNCH_IN_PROGRESS)) << "the facilitator's message is passed on as well";
    EXPECT_EQ(texts.countPrefix("Punch-through retry to guid 5555 failed due to ID_PUNCH_IN_PROGRESS. Returning failure."), 1u);
}

// A unidirectional punch that arrives late in the internal probing must not leave the client
// sending for ever: the fixed-port budget is already spent, so it sends once and gives up.
TEST(PunchFailure, LateUnidirectionalDuringInternalProbingStillEnds)
{
    TestPeer f{kIPv4Loopback};
    TestPeer a{kIPv4Loopback};
    TestPeer target{kIPv4Loopback};  // never connected to a: only its out-of-band datagrams reach a
    a.add<HolePunchClient>();
    RawSendRecorder& raw = a.add<RawSendRecorder>();
    f.startPump();
    a.startPump();
    target.startPump();
    ASSERT_TRUE(f.started() && a.started() && target.started() && connectTo(a, f));

    std::vector<SystemAddress> internal;
    for (uint16_t i = 0; i < 10; ++i)
        internal.push_back(SystemAddress("127.0.0.1", static_cast<uint16_t>(23450 + i)));
    ASSERT_TRUE(f.sendStream(ConnectAtTime(NowMillis(), 31, SystemAddress("127.0.0.1", 23449), internal,
                                           target.guid().g, false),
                             PeerTarget(a.guid())));
    // Two sends per internal address: at 7 sends a is probing its fourth address.
    ASSERT_TRUE(waitUntil([&] { return PunchSends(raw, f.address()).size() >= 7; }));
    const uint8_t unidirectional[5] = {kPunchUnidirectional, 0, 31, 0, 0};
    ASSERT_TRUE(target.peer().SendRawTo(a.address(), reinterpret_cast<const char*>(unidirectional), 5));

    Received failed;
    ASSERT_TRUE(a.sawId(ID_PUNCH_FAILED, &failed));
    EXPECT_EQ(failed.guid, target.guid());
    EXPECT_EQ(failed.address, target.address()) << "the fixed port is where the punch came from";
    std::size_t toTarget = 0;
    for (const auto& d : PunchSends(raw, f.address()))
        toTarget += d.to == target.address() && Decode(d).sub == kPunchBidirectional ? 1 : 0;
    EXPECT_EQ(toTarget, 2u) << "the answer to the punch and one fixed-port send";
}

// ---- The schedule ---------------------------------------------------------------------------------

// A stand-in facilitator that sends a hand-made start message and never asks for our port, so
// the client has no facilitator to retry through.
TEST(PunchSchedule, InternalThenThreeExternalPortsEightTimesEachAfterATtlProbe)
{
    TextRecorder texts; // outlives the peers' pump threads that print into it
    TestPeer f{kIPv4Loopback};
    TestPeer a{kIPv4Loopback};
    // The default counts (two sends per internal address, three external ports, eight sends
    // each) with the pauses between them shrunk.
    HolePunchClient& client = a.add<HolePunchClient>(FastConfig());
    RawSendRecorder& raw = a.add<RawSendRecorder>();
    client.SetDebugSink(&texts);
    f.startPump();
    a.startPump();
    ASSERT_TRUE(f.started() && a.started() && connectTo(a, f));

    // Ports below the system's ephemeral range, where no test peer listens.
    const SystemAddress external("127.0.0.1", 23400);
    const SystemAddress internal("127.0.0.1", 23410);
    const uint64_t target = 424242;
    ASSERT_TRUE(f.sendStream(ConnectAtTime(NowMillis(), 77, external, {internal}, target, true), PeerTarget(a.guid())));

    Received failed;
    ASSERT_TRUE(a.sawId(ID_PUNCH_FAILED, &failed));
    EXPECT_EQ(failed.guid, P2PNetGUID(target));
    EXPECT_EQ(failed.address, external);
    EXPECT_EQ(texts.countPrefix("Not connected to facilitator, so cannot retry punch-through after first failure."), 1u);

    std::vector<PunchDatagram> sent;
    for (const auto& d : PunchSends(raw, f.address()))
        sent.push_back(Decode(d));
    std::vector<PunchDatagram> expected;
    for (int i = 0; i < 2; ++i)
        expected.push_back(PunchDatagram{false, kPunchUnidirectional, 77, 23410, 23410});
    for (uint16_t port = 23400; port <= 23402; ++port) {
        expected.push_back(PunchDatagram{true, 0xFF, 0, 0, port});
        for (int i = 0; i < 8; ++i)
            expected.push_back(PunchDatagram{false, kPunchUnidirectional, 77, port, port});
    }
    ASSERT_EQ(sent.size(), expected.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(sent[i].ttlProbe, expected[i].ttlProbe);
        EXPECT_EQ(sent[i].sub, expected[i].sub);
        EXPECT_EQ(sent[i].session, expected[i].session);
        EXPECT_EQ(sent[i].port, expected[i].port);
        EXPECT_EQ(sent[i].sentTo, expected[i].sentTo);
    }
}

TEST(PunchSchedule, TargetWithoutInternalAddressesGoesStraightToTheExternalTests)
{
    TestPeer f{kIPv4Loopback};
    TestPeer a{kIPv4Loopback};
    a.add<HolePunchClient>(FastConfig());
    RawSendRecorder& raw = a.add<RawSendRecorder>();
    f.startPump();
    a.startPump();
    ASSERT_TRUE(f.started() && a.started() && connectTo(a, f));

    ASSERT_TRUE(f.sendStream(ConnectAtTime(NowMillis(), 5, SystemAddress("127.0.0.1", 23420), {}, 99, false),
                             PeerTarget(a.guid())));
    Received failed;
    ASSERT_TRUE(a.sawId(ID_PUNCH_FAILED, &failed));
    EXPECT_EQ(failed.data[1], 0) << "weAreSender comes from the start message";
    const auto sent = PunchSends(raw, f.address());
    ASSERT_FALSE(sent.empty());
    EXPECT_TRUE(Decode(sent.front()).ttlProbe);
    EXPECT_EQ(Decode(sent.front()).sentTo, 23420);
    EXPECT_EQ(sent.size(), 3u * 9u);
}

// ---- Facilitator failure messages -----------------------------------------------------------------

TEST(PunchFacilitatorMessages, TargetNotConnectedReachesTheApplication)
{
    PunchFixture fx(FastConfig(), true, PunchFacilitator::Options{});
    ASSERT_TRUE(fx.ready());
    const P2PNetGUID stranger(12345);

    ASSERT_TRUE(fx.clientA.RequestPunch(stranger, fx.f.address()));
    Received notConnected;
    ASSERT_TRUE(fx.a.sawId(ID_PUNCH_TARGET_NOT_CONNECTED, &notConnected));
    EXPECT_FALSE(notConnected.generatedLocally);
    EXPECT_TRUE(fx.textsA.waitForPrefix("Punch-through attempt to guid 12345 failed due to ID_PUNCH_TARGET_NOT_CONNECTED."));
}

TEST(PunchFacilitatorMessages, UnresponsiveTargetEndsTheAttemptWithoutRetry)
{
    PunchFacilitator::Options options;
    options.answerTimeoutMs = 300;  // well inside the default schedule of about two seconds
    PunchFixture fx(PunchConfig{}, false, options);
    ASSERT_TRUE(fx.ready());

    ASSERT_TRUE(fx.clientA.RequestPunch(fx.b.guid(), fx.f.address()));
    Received unresponsive;
    ASSERT_TRUE(fx.a.sawId(ID_PUNCH_TARGET_UNRESPONSIVE, &unresponsive));
    EXPECT_EQ(fx.clientA.AttemptCount(), 0u);
    EXPECT_TRUE(fx.textsA.waitForPrefix("Punch-through attempt to guid " + GuidText(fx.b.guid()) +
                                        " failed due to ID_PUNCH_TARGET_UNRESPONSIVE."));
    EXPECT_EQ(fx.facilitator.GetCounters().timedOut, 1u);
}

TEST(PunchFacilitatorMessages, LosingTheFacilitatorFailsTheAttemptAtOnce)
{
    PunchFacilitator::Options options;
    options.answerTimeoutMs = 0;
    PunchFixture fx(PunchConfig{}, false, options);
    ASSERT_TRUE(fx.ready());

    ASSERT_TRUE(fx.clientA.RequestPunch(fx.b.guid(), fx.f.address()));
    // A's answer to 60 shows that A has recorded its facilitator.
    const P2PNetGUID aGuid = fx.a.guid();
    ASSERT_TRUE(waitUntil([&] { return fx.facilitator.LastPredictedPort(aGuid) != 0; }));
    fx.f.peer().DropConnection(PeerTarget(fx.a.guid()), true);

    Received failed;
    ASSERT_TRUE(fx.a.sawId(ID_PUNCH_FAILED, &failed));
    EXPECT_EQ(failed.guid, fx.b.guid());
    EXPECT_EQ(fx.textsA.countPrefix("First punch-through failure"), 0u) << "no facilitator to retry through";
}

// ---- Port knowledge -------------------------------------------------------------------------------

TEST(PunchPorts, StrideFromTheFacilitatorShiftsThePredictedPort)
{
    PunchFixture fx(FastConfig(), true, PunchFacilitator::Options{});
    ASSERT_TRUE(fx.ready());

    ASSERT_TRUE(fx.facilitator.SendPortStride(fx.a.guid(), 5000, 5002));
    ASSERT_TRUE(fx.textsA.waitForPrefix("HAS_PORT_STRIDE 2. First external port 5000. Second external port 5002."));

    ASSERT_TRUE(fx.clientA.RequestPunch(fx.b.guid(), fx.f.address()));
    ASSERT_TRUE(fx.a.sawId(ID_PUNCH_SUCCEEDED));
    const P2PNetGUID aGuid = fx.a.guid();
    const uint16_t expected = static_cast<uint16_t>(fx.a.address().GetPort() + 2);
    ASSERT_TRUE(waitUntil([&] { return fx.facilitator.LastPredictedPort(aGuid) != 0; }));
    EXPECT_EQ(fx.facilitator.LastPredictedPort(aGuid), expected) << "our port as the facilitator sees it, plus the stride";
    EXPECT_EQ(fx.facilitator.LastPredictedPort(fx.b.guid()), fx.b.address().GetPort());
}

TEST(PunchPorts, PortTestReportsOurExternalPortToEachAddress)
{
    PunchFixture fx(FastConfig(), true, PunchFacilitator::Options{});
    ASSERT_TRUE(fx.ready());

    // One address only: the NAT's stride cannot be measured, but the address still gets its report.
    ASSERT_TRUE(fx.facilitator.SendPortTest(fx.a.guid(), {fx.f.address()}));
    Received report;
    ASSERT_TRUE(fx.f.saw(
        [](const Received& r) { return r.id() == ID_OUT_OF_BAND && r.data.size() >= 4 && r.data[1] == kPunchPortReport; }, &report));
    EXPECT_EQ(report.guid, fx.a.guid());
    EXPECT_EQ(static_cast<uint16_t>(report.data[2] << 8 | report.data[3]), fx.a.address().GetPort());
    EXPECT_TRUE(fx.textsA.waitForPrefix("INCAPABLE_PORT_STRIDE. My external ID is "));
    EXPECT_EQ(fx.clientA.GetStrideState(), HolePunchClient::StrideState::NotMeasurable);
}

// ---- What the network cannot do -------------------------------------------------------------------

TEST(PunchNetworkInput, ResultsFromTheNetworkAreNeverPassedOn)
{
    TestPeer f{kIPv4Loopback};
    TestPeer a{kIPv4Loopback};
    a.add<HolePunchClient>();
    f.startPump();
    a.startPump();
    ASSERT_TRUE(f.started() && a.started() && connectTo(a, f));

    ASSERT_TRUE(f.sendBytes({ID_PUNCH_SUCCEEDED, 1}, PeerTarget(a.guid())));
    ASSERT_TRUE(f.sendBytes({ID_PUNCH_FAILED, 1}, PeerTarget(a.guid())));
    ASSERT_TRUE(Flush(f, a));
    EXPECT_EQ(a.countId(ID_PUNCH_SUCCEEDED), 0u);
    EXPECT_EQ(a.countId(ID_PUNCH_FAILED), 0u);
}

struct MalformedCase {
    const char* name;
    std::vector<uint8_t> bytes;
    bool outOfBand;
};

class PunchMalformed : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(PunchMalformed, IsDroppedAndCounted)
{
    TestPeer f{kIPv4Loopback};
    TestPeer a{kIPv4Loopback};
    HolePunchClient& client = a.add<HolePunchClient>();
    f.startPump();
    a.startPump();
    ASSERT_TRUE(f.started() && a.started() && connectTo(a, f));

    const MalformedCase& c = GetParam();
    if (c.outOfBand)
        ASSERT_TRUE(f.peer().SendRawTo(a.address(), reinterpret_cast<const char*>(c.bytes.data()), static_cast<int>(c.bytes.size())));
    else
        ASSERT_TRUE(f.sendBytes(c.bytes, PeerTarget(a.guid())));
    // The out-of-band datagram races the marker; wait for the count rather than the marker alone.
    ASSERT_TRUE(waitUntil([&] { return client.MalformedCount() == 1; }));
    ASSERT_TRUE(Flush(f, a));
    EXPECT_EQ(client.MalformedCount(), 1u);
    EXPECT_EQ(client.AttemptCount(), 0u);
}

std::vector<uint8_t> TruncatedStart(std::size_t keep)
{
    std::vector<uint8_t> bytes = Bytes(ConnectAtTime(1, 1, SystemAddress("127.0.0.1", 23430), {}, 7, true));
    bytes.resize(keep);
    return bytes;
}

std::vector<uint8_t> StartWithMissingInternal()
{
    BitStream out;
    out.WriteU8(ID_TIME_PREFIX);
    out.WriteU64(1);
    out.WriteU8(ID_PUNCH_CONNECT_AT_TIME);
    out.WriteU16(1);
    SystemAddress("127.0.0.1", 23430).Serialize(out);
    out.WriteU8(200);  // 200 internal addresses announced, one present
    SystemAddress("127.0.0.1", 23431).Serialize(out);
    return Bytes(out);
}

INSTANTIATE_TEST_SUITE_P(
    Input, PunchMalformed,
    ::testing::Values(MalformedCase{"start_cut_in_address", TruncatedStart(15), false},
                      MalformedCase{"start_without_guid", TruncatedStart(21), false},
                      MalformedCase{"start_with_missing_internal", StartWithMissingInternal(), false},
                      MalformedCase{"port_question_without_session", {ID_PUNCH_GET_RECENT_PORT, 1}, false},
                      MalformedCase{"port_test_without_addresses", {ID_PUNCH_PORT_TEST, 3, 4}, false},
                      MalformedCase{"target_lost_without_session", {ID_PUNCH_TARGET_LOST, 0, 0, 0, 0, 0, 0, 0, 7}, false},
                      MalformedCase{"bidirectional_cut", {kPunchBidirectional, 0, 1, 2}, true},
                      MalformedCase{"stride_cut", {kPunchPortStride, 0, 1, 2}, true}),
    [](const ::testing::TestParamInfo<MalformedCase>& paramInfo) { return paramInfo.param.name; });

} // namespace
