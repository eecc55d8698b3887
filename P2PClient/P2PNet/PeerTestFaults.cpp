#include "PeerTestFaults.h"

#include <algorithm>

namespace P2PNet {

void PeerTestFaults::SetSendLoss(double fraction, uint32_t seed)
{
    fraction = std::clamp(fraction, 0.0, 1.0);
    {
        std::lock_guard lock(m_lock);
        // splitmix64 of the seed: small seeds would start the generator on small values.
        uint64_t z = seed + 0x9E3779B97F4A7C15ull;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        m_randomState = z == 0 ? 1 : z;
    }
    m_lossThreshold = fraction >= 1.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(fraction * 4294967296.0);
}

bool PeerTestFaults::Drop(unsigned length)
{
    const unsigned maxSize = m_maxDatagram;
    if (maxSize != 0 && length > maxSize) {
        ++m_dropped;
        return true;
    }
    const uint32_t threshold = m_lossThreshold;
    if (threshold == 0)
        return false;
    uint32_t draw = 0;
    {
        std::lock_guard lock(m_lock);
        // xorshift64*: deterministic for a seed, cheap enough for every datagram.
        m_randomState ^= m_randomState >> 12;
        m_randomState ^= m_randomState << 25;
        m_randomState ^= m_randomState >> 27;
        draw = static_cast<uint32_t>((m_randomState * 0x2545F4914F6CDD1Dull) >> 32);
    }
    if (draw < threshold || threshold == 0xFFFFFFFFu) {
        ++m_dropped;
        return true;
    }
    return false;
}

int PeerTestFaults::OnSendDatagram(const char* data, int length, const SystemAddress& target)
{
    (void)data;
    (void)target;
    // A dropped datagram reports success, as a lossy path would; -1 lets the socket send.
    return Drop(static_cast<unsigned>(std::max(0, length))) ? length : -1;
}

} // namespace P2PNet
