// Count of the calls (exported operations and plug-in callbacks) currently inside one P2PClient,
// so that the housekeeping thread frees a session only when no call can be holding it.
#pragma once

#include "PlatformThread.h"

#include <algorithm>
#include <atomic>
#include <cstdint>

class ApiGate {
public:
    // Counting in: while a removal runs, waits for it to finish first. Any thread.
    void countIn();
    // Counting out: exactly once per countIn on every path. Sets `drained` when the count is 0.
    void countOut();
    int32_t count() const { return m_count.load(); }

    // Removal handshake (housekeeping thread): waits until no call is inside (at most waitMs in
    // total, in waits on `drained`), then runs remove() with `removing` raised, under the critical
    // section, so that a call counting in meanwhile waits for it. False when calls stayed inside.
    template <class Remove>
    bool removeWhenIdle(Remove&& remove, int waitMs)
    {
        const uint64_t deadline = platform::monotonicMicros() / 1000 + static_cast<uint64_t>(waitMs);
        for (;;) {
            {
                platform::CriticalSectionLock lock(m_section);
                m_removing.store(1);
                // A caller counts in before it looks at `removing`; this side raises `removing`
                // before it looks at the count: one of the two always sees the other.
                if (m_count.load() == 0) {
                    remove();
                    m_removing.store(0);
                    return true;
                }
                m_removing.store(0);
            }
            const uint64_t now = platform::monotonicMicros() / 1000;
            if (now >= deadline)
                return false;
            m_drained.wait(static_cast<int>(deadline - now < 1000 ? deadline - now : 1000));
        }
    }

    // Waits until the count is 0; false when timeoutMs passed first (kInfinite waits for ever).
    bool waitDrained(int timeoutMs);

private:
    platform::CriticalSection m_section;
    std::atomic<int32_t> m_count{0};
    std::atomic<int32_t> m_removing{0};
    platform::AutoResetEvent m_drained;
};

// Counts in for the lifetime of the guard.
class ApiGateGuard {
public:
    explicit ApiGateGuard(ApiGate& gate) : m_gate(gate) { m_gate.countIn(); }
    ~ApiGateGuard() { m_gate.countOut(); }
    ApiGateGuard(const ApiGateGuard&) = delete;
    ApiGateGuard& operator=(const ApiGateGuard&) = delete;

private:
    ApiGate& m_gate;
};
