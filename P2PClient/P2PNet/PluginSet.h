// The peer's plug-ins: two lists (PeerPlugin::UsesSecondList), and the calls the peer makes on
// all of them, the first list before the second.
//
// Lock: m_lock guards m_lists, which is replaced whole on every add and remove (copy on write).
// Callers take a snapshot and call the plug-ins from it with no lock held, so a plug-in may add or
// remove plug-ins, or query the peer, from inside a call. A leaf lock.
#pragma once

#include "PeerPlugin.h"

#include <memory>
#include <mutex>
#include <vector>

namespace P2PNet {

struct PluginLists {
    std::vector<PeerPlugin*> first;   // plug-ins answering false to UsesSecondList
    std::vector<PeerPlugin*> second;

    // Calls fn(plugin) for every plug-in, the first list first.
    template <class F>
    void ForEach(F&& fn) const
    {
        for (PeerPlugin* plugin : first)
            fn(plugin);
        for (PeerPlugin* plugin : second)
            fn(plugin);
    }
    // Tells every plug-in what a packet for the application reports: a new connection
    // (OnNewConnection), an ended one (LinkEnded) or a failed attempt (OnFailedConnection).
    // Other packets are not reported.
    void NotifyOfPacket(Packet* packet) const;
    // Offers packet to the plug-ins in order until one takes it: kPluginConsumed (the caller
    // releases it) or kPluginKeep from that one, kPluginContinue when none took it.
    PluginVerdict Offer(Packet* packet) const;
};

class PluginSet {
public:
    // The lists as they are now; unchanged by later adds and removes.
    std::shared_ptr<const PluginLists> Snapshot() const;
    // Whether plugin is in the list it joins.
    bool Contains(PeerPlugin* plugin) const;
    // Appends plugin to its list.
    void Insert(PeerPlugin* plugin);
    // Removes plugin from the list it is in; false when it was in neither.
    bool Erase(PeerPlugin* plugin);

private:
    mutable std::mutex m_lock;
    std::shared_ptr<const PluginLists> m_lists = std::make_shared<PluginLists>();
};

} // namespace P2PNet
