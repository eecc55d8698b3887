#include "CongestionManager.h"

#include <cmath>

namespace P2PNet {

CongestionManager::CongestionManager(uint32_t mtu)
{
    Init(mtu);
}

void CongestionManager::Init(uint32_t mtu)
{
    m_mtu = mtu;
    m_cwnd = mtu;
    m_ssThresh = 0;
    m_oldestUnacknowledgedUs = 0;
    m_nextDatagramNumber = 0;
    m_nextCongestionBlock = 0;
    m_backedOff = false;
    m_speedUpBlocked = false;
    m_expectedNextNumber = 0;
    m_continuousSend = false;
    m_lastRtt = -1;
    m_estimatedRtt = -1;
    m_rttDeviation = -1;
}

bool CongestionManager::OnGotPacket(uint32_t datagramNumber, uint64_t timeUs, uint32_t& skipped)
{
    datagramNumber &= kNumberMask;
    skipped = 0;
    if (datagramNumber == m_expectedNextNumber) {
        if (m_oldestUnacknowledgedUs == 0)
            m_oldestUnacknowledgedUs = timeUs;
        m_expectedNextNumber = (datagramNumber + 1) & kNumberMask;
        return true;
    }
    if (((m_expectedNextNumber - datagramNumber) & kNumberMask) <= kHalfRange) {
        // Late or duplicate datagram: still acknowledged, nothing skipped.
        if (m_oldestUnacknowledgedUs == 0)
            m_oldestUnacknowledgedUs = timeUs;
        return true;
    }
    const uint32_t ahead = (datagramNumber - m_expectedNextNumber) & kNumberMask;
    if (ahead > kMaxSkippedAccepted)
        return false;
    if (m_oldestUnacknowledgedUs == 0)
        m_oldestUnacknowledgedUs = timeUs;
    skipped = ahead > kMaxSkippedReported ? kMaxSkippedReported : ahead;
    m_expectedNextNumber = (datagramNumber + 1) & kNumberMask;
    return true;
}

void CongestionManager::OnAck(uint64_t rttUs, bool continuousSend, uint32_t datagramNumber)
{
    const double rtt = static_cast<double>(rttUs);
    m_lastRtt = rtt;
    if (m_estimatedRtt == -1) {
        m_estimatedRtt = rtt;
        m_rttDeviation = rtt;
    } else {
        const double d = rtt - m_estimatedRtt;
        m_estimatedRtt += 0.05 * d;
        m_rttDeviation += 0.05 * (std::fabs(d) - m_rttDeviation);
    }

    m_continuousSend = continuousSend;
    if (!continuousSend)
        return;

    datagramNumber &= kNumberMask;
    bool newPeriod = false;
    if (datagramNumber != m_nextCongestionBlock &&
        ((m_nextCongestionBlock - datagramNumber) & kNumberMask) > kHalfRange) {
        m_backedOff = false;
        m_speedUpBlocked = false;
        m_nextCongestionBlock = m_nextDatagramNumber;
        newPeriod = true;
    }

    const double mtu = m_mtu;
    if (m_ssThresh == 0 || m_cwnd <= m_ssThresh) {
        m_cwnd += mtu;
        if (m_ssThresh != 0 && m_cwnd > m_ssThresh)
            m_cwnd = m_ssThresh + 3.0 * mtu * mtu / m_cwnd;
    } else if (newPeriod) {
        m_cwnd += 3.0 * mtu * mtu / m_cwnd;
    }
}

void CongestionManager::OnResend()
{
    const double mtu = m_mtu;
    if (m_backedOff || m_cwnd <= 2.0 * mtu)
        return;
    m_ssThresh = m_cwnd - 6.0 * mtu * mtu / m_cwnd;
    if (m_ssThresh < mtu)
        m_ssThresh = mtu;
    m_cwnd = m_ssThresh;
    m_nextCongestionBlock = m_nextDatagramNumber;
    m_backedOff = true;
}

void CongestionManager::OnNak()
{
    if (m_backedOff)
        return;
    const double mtu = m_mtu;
    m_ssThresh = m_cwnd - mtu * mtu / m_cwnd / 6.0;
    if (m_ssThresh < mtu)
        m_ssThresh = mtu;
    m_cwnd = m_ssThresh;
}

bool CongestionManager::IsAckDue(uint64_t timeUs) const
{
    if (m_lastRtt == -1)
        return true;
    return timeUs >= m_oldestUnacknowledgedUs + m_ackDelayUs;
}

uint64_t CongestionManager::GetRetransmissionTimeout() const
{
    if (m_estimatedRtt == -1)
        return kMaxRetransmissionTimeoutUs;
    // 0.4 as the single-precision constant, widened to double.
    const double x = 0.4000000059604645 * m_rttDeviation + 2.0 * m_estimatedRtt;
    const uint64_t timeout = (x > 0 ? static_cast<uint64_t>(x) : 0) + kRetransmissionSlackUs;
    return timeout > kMaxRetransmissionTimeoutUs ? kMaxRetransmissionTimeoutUs : timeout;
}

uint64_t CongestionManager::GetTransmissionBudget(uint64_t bytesInFlight) const
{
    const double budget = m_cwnd - static_cast<double>(bytesInFlight);
    return budget > 0 ? static_cast<uint64_t>(budget) : 0;
}

uint32_t CongestionManager::TakeNextDatagramNumber()
{
    const uint32_t number = m_nextDatagramNumber;
    m_nextDatagramNumber = (m_nextDatagramNumber + 1) & kNumberMask;
    return number;
}

void CongestionManager::SetRoundTripEstimate(double estimatedRtt, double rttDeviation)
{
    m_estimatedRtt = estimatedRtt;
    m_rttDeviation = rttDeviation;
    m_lastRtt = estimatedRtt;
}

void CongestionManager::SetCongestionWindow(double cwnd, double ssThresh)
{
    m_cwnd = cwnd;
    m_ssThresh = ssThresh;
}

} // namespace P2PNet
