#include "PluginSet.h"

#include "MessageIdentifiers.h"

#include <algorithm>

namespace P2PNet {

void PluginLists::NotifyOfPacket(Packet* packet) const
{
    if (packet->length == 0)
        return;
    const uint8_t id = packet->data[0];
    int failedReason = -1;
    switch (id) {
    case ID_JOIN_ACCEPTED:
    case ID_NEW_INCOMING:
        ForEach([&](PeerPlugin* plugin) {
            plugin->OnNewConnection(packet->systemAddress, packet->guid, id == ID_NEW_INCOMING);
        });
        return;
    case ID_PEER_CLOSED:
    case ID_PEER_LOST:
        ForEach([&](PeerPlugin* plugin) {
            plugin->LinkEnded(packet->systemAddress, packet->guid, id == ID_PEER_CLOSED ? 1 : 2);
        });
        return;
    case ID_JOIN_FAILED: failedReason = 0; break;
    case ID_ALREADY_JOINED: failedReason = 1; break;
    case ID_NO_FREE_SLOTS: failedReason = 2; break;
    case ID_PEER_BANNED: failedReason = 4; break;
    case ID_BAD_JOIN_DATA: failedReason = 5; break;
    case ID_PROTOCOL_MISMATCH: failedReason = 6; break;
    case ID_JOINED_TOO_RECENTLY: failedReason = 7; break;
    case ID_SECURITY_REFUSED_1: failedReason = 8; break;
    case ID_SECURITY_REFUSED_2: failedReason = 9; break;
    case ID_SECURITY_REFUSED_3: failedReason = 10; break;
    default: return;
    }
    ForEach([&](PeerPlugin* plugin) { plugin->OnFailedConnection(packet, failedReason); });
}

PluginVerdict PluginLists::Offer(Packet* packet) const
{
    for (const std::vector<PeerPlugin*>* list : {&first, &second}) {
        for (PeerPlugin* plugin : *list) {
            const PluginVerdict verdict = plugin->OfferMessage(packet);
            if (verdict == kPluginConsumed || verdict == kPluginKeep)
                return verdict;
        }
    }
    return kPluginContinue;
}

std::shared_ptr<const PluginLists> PluginSet::Snapshot() const
{
    std::lock_guard lock(m_lock);
    return m_lists;
}

bool PluginSet::Contains(PeerPlugin* plugin) const
{
    std::lock_guard lock(m_lock);
    const std::vector<PeerPlugin*>& list = plugin->UsesSecondList() ? m_lists->second : m_lists->first;
    return std::find(list.begin(), list.end(), plugin) != list.end();
}

void PluginSet::Insert(PeerPlugin* plugin)
{
    std::lock_guard lock(m_lock);
    // Copy on write: threads iterating an older snapshot keep it alive.
    auto lists = std::make_shared<PluginLists>(*m_lists);
    (plugin->UsesSecondList() ? lists->second : lists->first).push_back(plugin);
    m_lists = std::move(lists);
}

bool PluginSet::Erase(PeerPlugin* plugin)
{
    std::lock_guard lock(m_lock);
    auto lists = std::make_shared<PluginLists>(*m_lists);
    for (std::vector<PeerPlugin*>* list : {&lists->first, &lists->second}) {
        auto it = std::find(list->begin(), list->end(), plugin);
        if (it == list->end())
            continue;
        *it = list->back();
        list->pop_back();
        m_lists = std::move(lists);
        return true;
    }
    return false;
}

} // namespace P2PNet
