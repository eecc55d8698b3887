// CongestionManager: resend time-out, window changes on acknowledgements, resends and NAKs, and
// the limits of OnGotPacket, as tables of cases.
#include "CongestionManager.h"

#include <gtest/gtest.h>

#include <cmath>

namespace P2PNet {
namespace {

constexpr uint32_t kMtu = 1464;

// ---- Resend time-out ----

struct RtoCase {
    const char* name;
    double estimate;   // -1: no sample yet
    double deviation;
    uint64_t expectedUs;
};

class RetransmissionTimeout : public ::testing::TestWithParam<RtoCase> {};

TEST_P(RetransmissionTimeout, FollowsEstimateAndDeviation)
{
    const RtoCase& c = GetParam();
    CongestionManager cm(kMtu);
    if (c.estimate != -1)
        cm.SetRoundTripEstimate(c.estimate, c.deviation);
    EXPECT_EQ(cm.GetRetransmissionTimeout(), c.expectedUs);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RetransmissionTimeout,
    ::testing::Values(RtoCase{"no_sample", -1, -1, 1000000},
                      RtoCase{"typical", 100000, 20000, 238000},
                      RtoCase{"capped", 600000, 0, 1000000},
                      RtoCase{"zero_rtt_keeps_slack", 0, 0, 30000},
                      RtoCase{"just_below_cap", 485000, 0, 1000000},
                      RtoCase{"deviation_weighs_0_4", 10000, 100000, 90000}),
    [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

TEST(RoundTrip, FirstSampleSetsEstimateAndDeviationThenSmooths)
{
    CongestionManager cm(kMtu);
    cm.OnAck(50000, false, 0);
    EXPECT_EQ(cm.GetEstimatedRtt(), 50000);
    EXPECT_EQ(cm.GetRttDeviation(), 50000);
    EXPECT_EQ(cm.GetRetransmissionTimeout(), 150000u);  // 0.4 * 50000 + 100000 + 30000

    cm.OnAck(70000, false, 1);  // d = 20000
    EXPECT_DOUBLE_EQ(cm.GetEstimatedRtt(), 51000);
    EXPECT_DOUBLE_EQ(cm.GetRttDeviation(), 50000 + 0.05 * (20000 - 50000));
    EXPECT_EQ(cm.GetLastRtt(), 70000);
}

// ---- Acknowledgements due ----

TEST(AckDue, AlwaysBeforeFirstRttThenTenMillisecondsAfterFirstArrival)
{
    CongestionManager cm(kMtu);
    EXPECT_TRUE(cm.IsAckDue(0));
    uint32_t skipped = 0;
    ASSERT_TRUE(cm.OnGotPacket(0, 5000000, skipped));
    cm.OnAck(20000, false, 0);
    EXPECT_FALSE(cm.IsAckDue(5009999));
    EXPECT_TRUE(cm.IsAckDue(5010000));
    // A later arrival does not move the oldest unacknowledged time.
    ASSERT_TRUE(cm.OnGotPacket(1, 5008000, skipped));
    EXPECT_TRUE(cm.IsAckDue(5010000));
    cm.ClearOldestUnacknowledged();
    ASSERT_TRUE(cm.OnGotPacket(2, 6000000, skipped));
    EXPECT_FALSE(cm.IsAckDue(6005000));
}

// ---- OnGotPacket ----

struct GotPacketCase {
    const char* name;
    uint32_t expected;     // expected next number before the call
    uint32_t number;       // arriving datagram number
    bool accepted;
    uint32_t skipped;
    uint32_t expectedAfter;
};

class GotPacket : public ::testing::TestWithParam<GotPacketCase> {};

TEST_P(GotPacket, SkipsAndRefusals)
{
    const GotPacketCase& c = GetParam();
    CongestionManager cm(kMtu);
    uint32_t skipped = 0;
    // Bring the expected number where the case wants it, in steps the manager accepts.
    uint32_t at = 0;
    while (at != c.expected) {
        const uint32_t step = std::min<uint32_t>((c.expected - at) & 0xFFFFFF, 40000);
        ASSERT_TRUE(cm.OnGotPacket((at + step - 1) & 0xFFFFFF, 1, skipped));
        at = (at + step) & 0xFFFFFF;
    }
    ASSERT_EQ(cm.GetExpectedNextDatagramNumber(), c.expected);

    skipped = 12345;
    EXPECT_EQ(cm.OnGotPacket(c.number, 2, skipped), c.accepted);
    if (c.accepted) {
        EXPECT_EQ(skipped, c.skipped);
    }
    EXPECT_EQ(cm.GetExpectedNextDatagramNumber(), c.expectedAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Table, GotPacket,
    ::testing::Values(GotPacketCase{"in_order", 0, 0, true, 0, 1},
                      GotPacketCase{"refused_far_ahead", 0, 60000, false, 0, 0},
                      GotPacketCase{"last_accepted", 0, 50000, true, 1000, 50001},
                      GotPacketCase{"first_refused", 0, 50001, false, 0, 0},
                      GotPacketCase{"skips_capped_at_1000", 0, 1200, true, 1000, 1201},
                      GotPacketCase{"small_gap", 0, 3, true, 3, 4},
                      GotPacketCase{"late_datagram", 10, 5, true, 0, 10},
                      GotPacketCase{"wraps", 0xFFFFFE, 1, true, 3, 2},
                      GotPacketCase{"old_half_range", 100, (100 - 0x7FFFFF) & 0xFFFFFF, true, 0, 100}),
    [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

// ---- Window changes ----

TEST(Window, StartsAtOneMtuAndGrowsOneMtuPerAckWhileSendingContinuously)
{
    CongestionManager cm(kMtu);
    EXPECT_EQ(cm.GetCongestionWindow(), kMtu);
    EXPECT_EQ(cm.GetSlowStartThreshold(), 0);
    for (uint32_t n = 0; n < 5; ++n) {
        cm.TakeNextDatagramNumber();
        cm.OnAck(10000, true, n);
        EXPECT_EQ(cm.GetCongestionWindow(), kMtu * (n + 2.0));
    }
}

TEST(Window, DoesNotGrowWhenTheSenderRanDry)
{
    CongestionManager cm(kMtu);
    cm.OnAck(10000, false, 0);
    cm.OnAck(10000, false, 1);
    EXPECT_EQ(cm.GetCongestionWindow(), kMtu);
    EXPECT_FALSE(cm.IsContinuousSend());
}

struct WindowCase {
    const char* name;
    double cwnd;
    double ssThresh;
    enum Event { Resend, Nak, AckNewPeriod, AckSamePeriod } event;
    double expectedCwnd;
    double expectedSsThresh;
};

class WindowChange : public ::testing::TestWithParam<WindowCase> {};

TEST_P(WindowChange, Table)
{
    const WindowCase& c = GetParam();
    const double m = kMtu;
    CongestionManager cm(kMtu);
    cm.SetCongestionWindow(c.cwnd * m, c.ssThresh * m);
    // Datagrams 0-9 sent; the control period ends at block 0 until an acknowledgement after it.
    for (int i = 0; i < 10; ++i)
        cm.TakeNextDatagramNumber();
    switch (c.event) {
    case WindowCase::Resend: cm.OnResend(); break;
    case WindowCase::Nak: cm.OnNak(); break;
    case WindowCase::AckNewPeriod: cm.OnAck(1000, true, 5); break;  // 5 lies after block 0
    case WindowCase::AckSamePeriod: cm.OnAck(1000, true, 0); break; // the block itself
    }
    EXPECT_NEAR(cm.GetCongestionWindow(), c.expectedCwnd * m, 1e-6);
    EXPECT_NEAR(cm.GetSlowStartThreshold(), c.expectedSsThresh * m, 1e-6);
}

// Values in MTUs: cwnd - 6 MTU^2 / cwnd is cwnd - 6/cwnd MTUs, and so on.
INSTANTIATE_TEST_SUITE_P(
    Table, WindowChange,
    ::testing::Values(
        WindowCase{"resend_at_two_mtu_changes_nothing", 2, 0, WindowCase::Resend, 2, 0},
        WindowCase{"resend_backs_off", 10, 0, WindowCase::Resend, 10 - 0.6, 10 - 0.6},
        WindowCase{"resend_threshold_floor_is_one_mtu", 2.5, 0, WindowCase::Resend, 1, 1},
        WindowCase{"nak_shrinks_a_little", 10, 0, WindowCase::Nak, 10 - 1.0 / 60, 10 - 1.0 / 60},
        WindowCase{"nak_floor_is_one_mtu", 1, 0, WindowCase::Nak, 1, 1},
        WindowCase{"slow_start_crossing_threshold", 4, 4.5, WindowCase::AckSamePeriod, 4.5 + 3.0 / 5, 4.5},
        WindowCase{"slow_start_at_threshold", 4, 4, WindowCase::AckSamePeriod, 4 + 3.0 / 5, 4},
        WindowCase{"avoidance_grows_in_new_period", 8, 4, WindowCase::AckNewPeriod, 8 + 3.0 / 8, 4},
        WindowCase{"avoidance_waits_for_new_period", 8, 4, WindowCase::AckSamePeriod, 8, 4}),
    [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

TEST(Window, OneBackOffPerControlPeriod)
{
    const double m = kMtu;
    CongestionManager cm(kMtu);
    cm.SetCongestionWindow(20 * m, 0);
    for (int i = 0; i < 10; ++i)
        cm.TakeNextDatagramNumber();
    cm.OnResend();
    const double once = cm.GetCongestionWindow();
    EXPECT_LT(once, 20 * m);
    EXPECT_TRUE(cm.IsBackedOff());
    EXPECT_EQ(cm.GetNextCongestionBlock(), 10u);

    cm.OnResend();
    cm.OnNak();
    EXPECT_EQ(cm.GetCongestionWindow(), once) << "a second loss in the same period changes nothing";

    // An acknowledgement of a datagram sent after the back-off opens a new period.
    for (int i = 0; i < 5; ++i)
        cm.TakeNextDatagramNumber();
    cm.OnAck(1000, true, 12);
    EXPECT_FALSE(cm.IsBackedOff());
    EXPECT_EQ(cm.GetNextCongestionBlock(), 15u);
    cm.OnResend();
    EXPECT_LT(cm.GetCongestionWindow(), once);
}

TEST(Window, BudgetsFollowBytesInFlight)
{
    CongestionManager cm(kMtu);
    cm.SetCongestionWindow(10000, 0);
    EXPECT_EQ(cm.GetTransmissionBudget(4000), 6000u);
    EXPECT_EQ(cm.GetTransmissionBudget(12000), 0u);
    EXPECT_EQ(cm.GetResendBudget(12000), 12000u);
}

TEST(DatagramNumbers, AdvanceAndWrapAt24Bits)
{
    CongestionManager cm(kMtu);
    EXPECT_EQ(cm.TakeNextDatagramNumber(), 0u);
    EXPECT_EQ(cm.TakeNextDatagramNumber(), 1u);
    cm.Init(kMtu);
    EXPECT_EQ(cm.GetNextDatagramNumber(), 0u);
}

} // namespace
} // namespace P2PNet
