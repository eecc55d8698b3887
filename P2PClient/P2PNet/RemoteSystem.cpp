#include "RemoteSystem.h"

#include <algorithm>

namespace P2PNet {

bool IsClosingState(RemoteSystemState state)
{
    return state == RemoteSystemState::DisconnectAsap || state == RemoteSystemState::DisconnectAsapSilently ||
           state == RemoteSystemState::DisconnectOnNoAck;
}

void RemoteSystem::OnPong(uint64_t pingTime, uint64_t pongTime, uint64_t now)
{
    uint64_t ping = pingTime < now ? now - pingTime : 0;
    uint16_t ping16 = ping >= kNoPing ? static_cast<uint16_t>(kNoPing - 1) : static_cast<uint16_t>(ping);
    // The remote's pong time is taken as the midpoint of the round trip; halves by shifting so
    // that the sum cannot overflow.
    int64_t differential = static_cast<int64_t>(pongTime - ((now >> 1) + (pingTime >> 1)));
    pingRing[pingRingIndex].pingMs = ping16;
    pingRing[pingRingIndex].clockDifferentialMs = differential;
    pingRingIndex = (pingRingIndex + 1) % kPingRingSize;
    if (lowestPing == kNoPing || lowestPing >= ping16)
        lowestPing = ping16;
}

void RemoteSystem::ClearPings()
{
    for (PingSample& sample : pingRing)
        sample = PingSample{};
    pingRingIndex = 0;
    lowestPing = kNoPing;
}

int RemoteSystem::AveragePing() const
{
    int sum = 0;
    int count = 0;
    for (const PingSample& sample : pingRing) {
        if (sample.pingMs == kNoPing)
            break;
        sum += sample.pingMs;
        ++count;
    }
    return count == 0 ? -1 : sum / count;
}

int RemoteSystem::LatestPing() const
{
    const PingSample& newest = pingRing[(pingRingIndex + kPingRingSize - 1) % kPingRingSize];
    return newest.pingMs == kNoPing ? -1 : newest.pingMs;
}

int64_t RemoteSystem::ClockOffset() const
{
    if (lowestPing == kNoPing)
        return 0;
    for (const PingSample& sample : pingRing)
        if (sample.pingMs == lowestPing)
            return sample.clockDifferentialMs;
    return 0;
}

uint64_t WidenPingTime(uint64_t now, uint16_t low16)
{
    uint64_t t = (now & ~uint64_t{0xFFFF}) | low16;
    if (low16 > (now & 0xFFFF))
        t -= 65536;
    return t;
}

uint64_t WidenPongTime(uint64_t remoteTimeBase, uint16_t low16)
{
    uint64_t t = (remoteTimeBase & ~uint64_t{0xFFFF}) | low16;
    if ((remoteTimeBase & 0xFFFF) > low16)
        t += 65536;
    return t;
}

void RemoteSystemHash::Reset(unsigned slotCount)
{
    m_buckets.assign(std::max(1u, slotCount * 8u), {});
}

void RemoteSystemHash::Clear()
{
    m_buckets.clear();
}

unsigned RemoteSystemHash::Bucket(const SystemAddress& address) const
{
    return address.Hash() % static_cast<unsigned>(m_buckets.size());
}

void RemoteSystemHash::Add(const SystemAddress& address, uint16_t slotIndex)
{
    if (m_buckets.empty())
        return;
    Remove(address);
    m_buckets[Bucket(address)].push_back(Entry{address, slotIndex});
}

void RemoteSystemHash::Remove(const SystemAddress& address, uint16_t slotIndex)
{
    if (m_buckets.empty())
        return;
    std::vector<Entry>& chain = m_buckets[Bucket(address)];
    for (std::size_t i = 0; i < chain.size(); ++i) {
        if (chain[i].address == address && (slotIndex == 0xFFFF || chain[i].slotIndex == slotIndex)) {
            chain[i] = chain.back();
            chain.pop_back();
            return;
        }
    }
}

int RemoteSystemHash::Find(const SystemAddress& address) const
{
    if (m_buckets.empty())
        return -1;
    for (const Entry& entry : m_buckets[Bucket(address)])
        if (entry.address == address)
            return entry.slotIndex;
    return -1;
}

} // namespace P2PNet
