#include "LocalAddresses.h"

#include "BsdSocket.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace P2PNet {

LocalAddresses::LocalAddresses()
{
    for (SystemAddress& a : m_addresses)
        a = UNASSIGNED_SYSTEM_ADDRESS;
    m_firstExternal = UNASSIGNED_SYSTEM_ADDRESS;
}

void LocalAddresses::Reload(std::optional<uint16_t> port)
{
    SystemAddress table[kInternalAddressCount];
    {
        std::lock_guard lock(m_lock);
        std::copy(std::begin(m_addresses), std::end(m_addresses), std::begin(table));
    }
    // The listing may take a while: not under the lock.
    BsdSocket::ListHostAddresses(table);
    unsigned count = 0;
    while (count < kInternalAddressCount && !table[count].IsUnassigned())
        ++count;
    std::sort(table, table + count);
    if (port)
        for (unsigned i = 0; i < count; ++i)
            table[i].SetPort(*port);
    std::lock_guard lock(m_lock);
    std::copy(std::begin(table), std::end(table), std::begin(m_addresses));
}

void LocalAddresses::ApplyPort(uint16_t port)
{
    std::lock_guard lock(m_lock);
    for (SystemAddress& a : m_addresses) {
        if (a.IsUnassigned())
            break;
        a.SetPort(port);
    }
}

SystemAddress LocalAddresses::At(unsigned index) const
{
    std::lock_guard lock(m_lock);
    return m_addresses[index];
}

void LocalAddresses::Set(unsigned index, const SystemAddress& address)
{
    std::lock_guard lock(m_lock);
    m_addresses[index] = address;
}

unsigned LocalAddresses::Count() const
{
    std::lock_guard lock(m_lock);
    unsigned count = 0;
    while (count < kInternalAddressCount && !m_addresses[count].IsUnassigned())
        ++count;
    return count;
}

bool LocalAddresses::Contains(const SystemAddress& address) const
{
    std::lock_guard lock(m_lock);
    return std::find(std::begin(m_addresses), std::end(m_addresses), address) != std::end(m_addresses);
}

bool LocalAddresses::ContainsText(const char* ip) const
{
    std::lock_guard lock(m_lock);
    for (const SystemAddress& own : m_addresses) {
        if (own.IsUnassigned())
            continue;
        char text[kAddressTextSize];
        own.ToText(false, text, sizeof text);
        if (std::strcmp(text, ip) == 0)
            return true;
    }
    return false;
}

void LocalAddresses::Text(unsigned index, char* text, std::size_t size) const
{
    std::lock_guard lock(m_lock);
    m_addresses[index].ToText(false, text, size);
}

void LocalAddresses::Serialize(BitStream& out) const
{
    std::lock_guard lock(m_lock);
    for (const SystemAddress& own : m_addresses)
        own.Serialize(out);
}

SystemAddress LocalAddresses::FirstExternal() const
{
    std::lock_guard lock(m_lock);
    return m_firstExternal;
}

void LocalAddresses::NoteExternal(const SystemAddress& seenAs)
{
    std::lock_guard lock(m_lock);
    if (m_firstExternal.IsUnassigned())
        m_firstExternal = seenAs;
}

void LocalAddresses::ForgetExternal()
{
    std::lock_guard lock(m_lock);
    m_firstExternal = UNASSIGNED_SYSTEM_ADDRESS;
}

} // namespace P2PNet
