#include "P2PConnection.h"

#include "P2PClient.h"

#include <new>

void SendQueue::add(uint32_t receipt, uint32_t length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.push_back({length, receipt});
    m_pending += length;
}

bool SendQueue::acknowledge(uint32_t receipt)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_records.rbegin(); it != m_records.rend(); ++it) {
        if (it->receipt != receipt)
            continue;
        m_pending -= it->length;
        m_records.erase(std::next(it).base());
        return true;
    }
    return false;
}

void SendQueue::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.clear();
    m_pending = 0;
}

uint32_t SendQueue::pending() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pending;
}

P2PConnection::P2PConnection(P2PClient& owner, int32_t handle, const std::string& deviceId)
    : m_owner(owner)
    , m_handle(handle)
    , m_remoteAddress(P2PNet::UNASSIGNED_SYSTEM_ADDRESS)
    , m_remoteGuid(P2PNet::UNASSIGNED_P2PNET_GUID)
    , m_punchedAddress(P2PNet::UNASSIGNED_SYSTEM_ADDRESS)
    , m_relayAddress(P2PNet::UNASSIGNED_SYSTEM_ADDRESS)
    , m_lanAddress(P2PNet::UNASSIGNED_SYSTEM_ADDRESS)
    , m_deviceId(deviceId.substr(0, 63))
{
}

P2PConnection::~P2PConnection()
{
    m_connectWakeup.close();
    wakeReaders();
}

std::string P2PConnection::deviceId() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_deviceId;
}

P2PNet::P2PNetGUID P2PConnection::remoteGuid() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_remoteGuid;
}

P2PNet::SystemAddress P2PConnection::remoteAddress() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_remoteAddress;
}

P2PNet::SystemAddress P2PConnection::relayAddress() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_relayAddress;
}

void P2PConnection::fail(int32_t error, int32_t state)
{
    m_state.store(state);
    m_error.store(error);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_remoteAddress = P2PNet::UNASSIGNED_SYSTEM_ADDRESS;
        if (m_remoteGuid != P2PNet::UNASSIGNED_P2PNET_GUID)
            m_failedLinkGuid = m_remoteGuid;
        m_remoteGuid = P2PNet::UNASSIGNED_P2PNET_GUID;
        m_peerNatType = 5;
    }
    m_role.store(2);
    clearQueues();
    wakeReaders();
}

void P2PConnection::clearQueues()
{
    {
        std::lock_guard<std::mutex> lock(m_queuesMutex);
        for (auto& queue : m_receive)
            if (queue)
                queue->clear();
        for (auto& queue : m_send)
            if (queue)
                queue->clear();
    }
    std::lock_guard<std::mutex> hold(m_holdMutex);
    if (m_fullChannels != 0)
        m_owner.holdLink(m_heldLink, false);
    m_fullChannels = 0;
    m_heldLink = P2PNet::PeerTarget();
}

void P2PConnection::wakeReaders()
{
    std::lock_guard<std::mutex> lock(m_queuesMutex);
    for (auto& queue : m_receive)
        if (queue)
            queue->wakeAll();
}

DataList* P2PConnection::receiveQueue(int channel)
{
    if (channel < 0 || channel >= kChannelCount)
        return nullptr;
    std::lock_guard<std::mutex> lock(m_queuesMutex);
    auto& queue = m_receive[static_cast<std::size_t>(channel)];
    if (!queue)
        queue.reset(new (std::nothrow) DataList(m_owner.ReceiveQueueLimit()));
    return queue.get();
}

SendQueue* P2PConnection::sendQueue(int channel)
{
    if (channel < 0 || channel >= kChannelCount)
        return nullptr;
    std::lock_guard<std::mutex> lock(m_queuesMutex);
    auto& queue = m_send[static_cast<std::size_t>(channel)];
    if (!queue)
        queue.reset(new (std::nothrow) SendQueue());
    return queue.get();
}

bool P2PConnection::deliver(int channel, const uint8_t* data, std::size_t length)
{
    DataList* queue = receiveQueue(channel);
    bool becameFull = false;
    if (!queue || !queue->append(data, length, &becameFull))
        return false;
    if (becameFull)
        updateHold(channel);
    return true;
}

void P2PConnection::updateHold(int channel)
{
    DataList* queue = receiveQueue(channel);
    if (!queue)
        return;
    // The queue's own state decides, read under the hold lock: whichever of the appender and the
    // reader comes last sets the hold as the queue now is.
    std::lock_guard<std::mutex> hold(m_holdMutex);
    const uint32_t bit = 1u << channel;
    const uint32_t before = m_fullChannels;
    m_fullChannels = queue->full() ? before | bit : before & ~bit;
    if ((before == 0) == (m_fullChannels == 0))
        return;
    if (m_fullChannels != 0) {
        // Relayed by a server, the session's data comes over the link to that server.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_heldLink = m_role.load() == 3 ? P2PNet::PeerTarget(m_relayAddress) : P2PNet::PeerTarget(m_remoteGuid);
    }
    m_owner.holdLink(m_heldLink, m_fullChannels != 0);
}

uint32_t P2PConnection::fullChannels() const
{
    std::lock_guard<std::mutex> hold(m_holdMutex);
    return m_fullChannels;
}

uint32_t P2PConnection::readableBytes(int channel)
{
    std::lock_guard<std::mutex> lock(m_queuesMutex);
    const auto& queue = m_receive[static_cast<std::size_t>(channel)];
    return queue ? queue->bytes() : 0;
}

uint32_t P2PConnection::pendingBytes(int channel)
{
    std::lock_guard<std::mutex> lock(m_queuesMutex);
    const auto& queue = m_send[static_cast<std::size_t>(channel)];
    return queue ? queue->pending() : 0;
}

bool P2PConnection::acknowledge(uint32_t receipt)
{
    std::lock_guard<std::mutex> lock(m_queuesMutex);
    for (auto& queue : m_send)
        if (queue && queue->acknowledge(receipt))
            return true;
    return false;
}

void P2PConnection::expireRelayRequest(uint64_t nowMs)
{
    uint64_t deadline;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        deadline = m_relayRequestDeadline;
    }
    int32_t expected = kRelayRequested;
    if (nowMs > deadline)
        m_relayState.compare_exchange_strong(expected, kRelayNone);
}
