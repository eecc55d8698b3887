// The peer's own addresses: the host's addresses as the system lists them (kInternalAddressCount
// entries, the used ones first, sorted, with the first socket's port while the peer runs), and
// the first external address a remote reported seeing us at. Any thread.
//
// Lock: m_lock guards both; a leaf lock.
#pragma once

#include "BitStream.h"
#include "RemoteSystem.h"
#include "SystemAddress.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>

namespace P2PNet {

class LocalAddresses {
public:
    LocalAddresses();

    // Lists the host's addresses again (a failed listing keeps the table), sorts the used
    // entries and gives them port when there is one.
    void Reload(std::optional<uint16_t> port);
    // Gives every used entry port.
    void ApplyPort(uint16_t port);
    // Entry index (< kInternalAddressCount); UNASSIGNED_SYSTEM_ADDRESS when unused.
    SystemAddress At(unsigned index) const;
    void Set(unsigned index, const SystemAddress& address);
    // Used entries, up to the first unused one.
    unsigned Count() const;
    bool Contains(const SystemAddress& address) const;
    // Whether a used entry's text (without port) is ip.
    bool ContainsText(const char* ip) const;
    // Entry index as text without port, into the caller's buffer of size bytes.
    void Text(unsigned index, char* text, std::size_t size) const;
    // Writes all kInternalAddressCount entries, as the handshake carries them.
    void Serialize(BitStream& out) const;

    SystemAddress FirstExternal() const;
    // Keeps seenAs as the first external address unless one is known.
    void NoteExternal(const SystemAddress& seenAs);
    void ForgetExternal();

private:
    mutable std::mutex m_lock;
    SystemAddress m_addresses[kInternalAddressCount];
    SystemAddress m_firstExternal;
};

} // namespace P2PNet
