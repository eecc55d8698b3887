#include "ApiGate.h"

void ApiGate::countIn()
{
    m_count.fetch_add(1);
    if (m_removing.load() == 0)
        return;
    // A removal is under way: step back and wait for it behind the critical section.
    countOut();
    platform::CriticalSectionLock lock(m_section);
    m_count.fetch_add(1);
}

void ApiGate::countOut()
{
    int32_t value = m_count.load();
    for (;;) {
        const int32_t next = value > 0 ? value - 1 : 0;
        if (m_count.compare_exchange_weak(value, next)) {
            if (next == 0)
                m_drained.set();
            return;
        }
    }
}

bool ApiGate::waitDrained(int timeoutMs)
{
    const uint64_t start = platform::monotonicMicros() / 1000;
    while (m_count.load() != 0) {
        int step = 50;
        if (timeoutMs != platform::kInfinite) {
            const uint64_t elapsed = platform::monotonicMicros() / 1000 - start;
            if (elapsed >= static_cast<uint64_t>(timeoutMs))
                return false;
            step = static_cast<int>(std::min<uint64_t>(50, static_cast<uint64_t>(timeoutMs) - elapsed));
        }
        m_drained.wait(step);
    }
    return true;
}
