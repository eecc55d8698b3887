// Sliding-window congestion control of one connection: numbers the outgoing datagrams, measures
// the round-trip time from acknowledgements, sizes the congestion window, gives the resend
// time-out and decides when acknowledgements are due.
//
// Owned by one ReliabilityLayer and used only on the peer's update thread. Times are microseconds
// (u64); window and round-trip arithmetic is double precision; datagram numbers are 24-bit.
#pragma once

#include <cstdint>

namespace P2PNet {

class CongestionManager {
public:
    // Datagram numbers wrap at 2^24.
    static constexpr uint32_t kNumberMask = 0xFFFFFF;
    static constexpr uint32_t kHalfRange = 0x7FFFFF;
    // A datagram more than this many numbers ahead of the expected one is refused.
    static constexpr uint32_t kMaxSkippedAccepted = 50000;
    // At most this many skipped numbers are reported (and NAK'ed) for one datagram.
    static constexpr uint32_t kMaxSkippedReported = 1000;
    // Resend time-out before any round-trip sample, and its upper bound.
    static constexpr uint64_t kMaxRetransmissionTimeoutUs = 1000000;
    // Added to the computed resend time-out.
    static constexpr uint64_t kRetransmissionSlackUs = 30000;
    // Acknowledgements wait at most this long after the first unacknowledged arrival, unless
    // the owner sets another delay (SetAckDelay).
    static constexpr uint64_t kAckDelayUs = 10000;

    // mtu: the connection MTU less the 28 bytes of IP and UDP headers.
    explicit CongestionManager(uint32_t mtu = 548);

    // Back to the state of a new connection.
    void Init(uint32_t mtu);

    // Registers a received data datagram. On acceptance sets `skipped` to the number of datagram
    // numbers just below this one that were skipped (at most 1000); false refuses the datagram
    // (more than 50000 ahead), leaving the state as it was.
    bool OnGotPacket(uint32_t datagramNumber, uint64_t timeUs, uint32_t& skipped);

    // A sent datagram was acknowledged after rttUs; continuousSend tells whether the sender still
    // had queued data.
    void OnAck(uint64_t rttUs, bool continuousSend, uint32_t datagramNumber);

    // A NAK arrived (the caller calls it per NAK'ed number while IsContinuousSend()).
    void OnNak();

    // A message is resent after its time-out (the caller calls it while sending continuously).
    void OnResend();

    // True when an ACK datagram should go out now: before the first round-trip sample always,
    // afterwards once the ACK delay has passed since the first unacknowledged arrival.
    bool IsAckDue(uint64_t timeUs) const;
    // The ACK delay in microseconds (kAckDelayUs unless set); 0 makes ACKs due as soon as
    // anything arrived. Kept by Init.
    void SetAckDelay(uint64_t delayUs) { m_ackDelayUs = delayUs; }
    uint64_t GetAckDelay() const { return m_ackDelayUs; }

    // Resend time-out in microseconds.
    uint64_t GetRetransmissionTimeout() const;

    // Bytes of new data that may be sent: congestion window less bytes in flight, 0 when negative.
    uint64_t GetTransmissionBudget(uint64_t bytesInFlight) const;
    // Bytes that may be resent in one round: the bytes in flight.
    uint64_t GetResendBudget(uint64_t bytesInFlight) const { return bytesInFlight; }

    // Number for the next datagram sent; advances (24-bit).
    uint32_t TakeNextDatagramNumber();
    uint32_t GetNextDatagramNumber() const { return m_nextDatagramNumber; }

    // Called after an ACK datagram went out.
    void ClearOldestUnacknowledged() { m_oldestUnacknowledgedUs = 0; }

    uint32_t GetMtu() const { return m_mtu; }
    double GetCongestionWindow() const { return m_cwnd; }
    double GetSlowStartThreshold() const { return m_ssThresh; }
    double GetLastRtt() const { return m_lastRtt; }
    double GetEstimatedRtt() const { return m_estimatedRtt; }
    double GetRttDeviation() const { return m_rttDeviation; }
    bool IsContinuousSend() const { return m_continuousSend; }
    bool IsBackedOff() const { return m_backedOff; }
    uint32_t GetExpectedNextDatagramNumber() const { return m_expectedNextNumber; }
    uint32_t GetNextCongestionBlock() const { return m_nextCongestionBlock; }
    uint64_t GetOldestUnacknowledged() const { return m_oldestUnacknowledgedUs; }

    // Diagnostics and tests: put the controller into a given state.
    void SetRoundTripEstimate(double estimatedRtt, double rttDeviation);
    void SetCongestionWindow(double cwnd, double ssThresh);

private:
    uint32_t m_mtu = 0;
    uint64_t m_ackDelayUs = kAckDelayUs;
    double m_cwnd = 0;
    double m_ssThresh = 0;
    uint64_t m_oldestUnacknowledgedUs = 0;
    uint32_t m_nextDatagramNumber = 0;
    uint32_t m_nextCongestionBlock = 0;
    bool m_backedOff = false;
    // Cleared together with m_backedOff at the start of each control period.
    bool m_speedUpBlocked = false;
    uint32_t m_expectedNextNumber = 0;
    bool m_continuousSend = false;
    double m_lastRtt = -1;
    double m_estimatedRtt = -1;
    double m_rttDeviation = -1;
};

} // namespace P2PNet
