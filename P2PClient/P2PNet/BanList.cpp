#include "BanList.h"

#include "PeerUtils.h"
#include "SystemAddress.h"

#include <algorithm>
#include <cstring>

namespace P2PNet {

namespace {

// Long enough for any IPv6 or mapped address text.
constexpr std::size_t kTextLimit = kMaxHostTextLength;

bool Usable(const char* text)
{
    return text != nullptr && *text != '\0' && std::strlen(text) <= kTextLimit;
}

bool MatchesPattern(const std::string& entry, const char* text)
{
    // Equal texts match, and so does a text that agrees with the entry up to a '*' in the entry
    // while it still has a character there.
    for (std::size_t i = 0;; ++i) {
        const char e = i < entry.size() ? entry[i] : '\0';
        const char t = text[i];
        if (e == '*')
            return t != '\0';
        if (e != t)
            return false;
        if (e == '\0')
            return true;
    }
}

} // namespace

void BanList::Ban(const char* ip, uint32_t ms)
{
    if (!Usable(ip))
        return;
    const uint64_t expiry = ms == 0 ? 0 : NowMillis() + ms;
    std::lock_guard lock(m_lock);
    for (BanEntry& entry : m_bans) {
        if (entry.pattern == ip) {
            entry.expiry = expiry;
            return;
        }
    }
    m_bans.push_back(BanEntry{ip, expiry});
    m_banCount = m_bans.size();
}

void BanList::Unban(const char* ip)
{
    if (ip == nullptr)
        return;
    std::lock_guard lock(m_lock);
    for (std::size_t i = 0; i < m_bans.size(); ++i) {
        if (m_bans[i].pattern == ip) {
            m_bans[i] = std::move(m_bans.back());
            m_bans.pop_back();
            m_banCount = m_bans.size();
            return;
        }
    }
}

void BanList::ClearBans()
{
    std::lock_guard lock(m_lock);
    m_bans.clear();
    m_banCount = 0;
}

bool BanList::IsBanned(const char* ip)
{
    if (!Usable(ip))
        return false;
    const uint64_t now = NowMillis();
    std::lock_guard lock(m_lock);
    for (std::size_t i = 0; i < m_bans.size();) {
        BanEntry& entry = m_bans[i];
        if (entry.expiry != 0 && entry.expiry < now) {
            entry = std::move(m_bans.back());
            m_bans.pop_back();
            m_banCount = m_bans.size();
            continue;
        }
        if (MatchesPattern(entry.pattern, ip))
            return true;
        ++i;
    }
    return false;
}

void BanList::AddExempt(const char* pattern)
{
    if (!Usable(pattern))
        return;
    std::lock_guard lock(m_lock);
    m_exempt.emplace_back(pattern);
}

void BanList::RemoveExempt(const char* pattern)
{
    std::lock_guard lock(m_lock);
    if (pattern == nullptr) {
        m_exempt.clear();
        return;
    }
    if (std::strlen(pattern) > kTextLimit)
        return;
    m_exempt.erase(std::remove_if(m_exempt.begin(), m_exempt.end(),
                                  [&](const std::string& entry) { return MatchesPattern(entry, pattern); }),
                   m_exempt.end());
}

bool BanList::MatchesExempt(const char* text)
{
    if (text == nullptr || std::strlen(text) > kTextLimit)
        return false;
    std::lock_guard lock(m_lock);
    for (const std::string& entry : m_exempt)
        if (MatchesPattern(entry, text))
            return true;
    return false;
}

} // namespace P2PNet
