// A recording-plan clock the test sets by hand.
#pragma once

#include "liveview/RecordPlan.h"

#include <atomic>

namespace livetest {

class PlanTestClock : public RecordPlanClock {
public:
    PlanLocalTime localTime() const override { return PlanLocalTime{m_weekday.load(), m_seconds.load()}; }
    uint32_t tick() const override { return m_tick.load(); }

    void setTime(int weekday, int hours, int minutes, int seconds)
    {
        m_weekday = weekday;
        m_seconds = hours * 3600 + minutes * 60 + seconds;
    }
    void setTick(uint32_t tick) { m_tick = tick; }
    void advanceMs(uint32_t ms) { m_tick += ms; }

private:
    std::atomic<int> m_weekday{1};
    std::atomic<int> m_seconds{0};
    std::atomic<uint32_t> m_tick{1000};
};

} // namespace livetest
