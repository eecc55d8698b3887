// The peer's ban list and its exception list: IP address texts or patterns, any thread.
//
// A pattern matches a text equal to it, or a text that agrees with it up to a '*' in the pattern
// and still has a character there ("10.0.*" matches "10.0.3.4", not "10.0."). Texts longer than
// kMaxHostTextLength are refused (nothing is added, nothing matches).
//
// Lock: m_lock guards both lists; it is a leaf (nothing else is locked or called under it).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace P2PNet {

class BanList {
public:
    // Bans ip (a text or a pattern) for ms milliseconds from now on the peer clock; 0 = for good.
    // Banning a pattern again replaces its expiry.
    void Ban(const char* ip, uint32_t ms);
    void Unban(const char* ip);
    void ClearBans();
    // True when a ban that has not expired matches ip; expired bans are dropped on the way.
    bool IsBanned(const char* ip);
    // False while no ban is held at all: lets the receive path skip the address text.
    bool HasBans() const { return m_banCount.load() != 0; }

    void AddExempt(const char* pattern);
    // Removes every exception pattern matches; null removes them all.
    void RemoveExempt(const char* pattern);
    bool MatchesExempt(const char* text);

private:
    struct BanEntry {
        std::string pattern;
        uint64_t expiry = 0;  // peer clock ms; 0 = never
    };

    std::mutex m_lock;
    std::vector<BanEntry> m_bans;
    std::vector<std::string> m_exempt;
    std::atomic<std::size_t> m_banCount{0};  // m_bans.size(), readable without the lock
};

} // namespace P2PNet
