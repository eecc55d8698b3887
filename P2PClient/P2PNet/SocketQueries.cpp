#include "SocketQueries.h"

#include "PlatformThread.h"

#include <algorithm>
#include <chrono>

namespace P2PNet {

void SocketQueries::Answer(uint64_t ticket, std::vector<PlatformSocket*> sockets)
{
    {
        std::lock_guard lock(m_lock);
        m_answers.push_back(Answered{ticket, std::move(sockets)});
    }
    m_answered.notify_all();
}

bool SocketQueries::Await(uint64_t ticket, int limitMs, std::vector<PlatformSocket*>& sockets)
{
    sockets.clear();
    std::unique_lock lock(m_lock);
    auto answered = [&] {
        return m_closed || std::any_of(m_answers.begin(), m_answers.end(),
                                       [&](const Answered& a) { return a.ticket == ticket; });
    };
    if (limitMs == platform::kInfinite)
        m_answered.wait(lock, answered);
    else
        m_answered.wait_for(lock, std::chrono::milliseconds(std::max(0, limitMs)), answered);
    for (auto it = m_answers.begin(); it != m_answers.end(); ++it) {
        if (it->ticket == ticket) {
            sockets = std::move(it->sockets);
            m_answers.erase(it);
            return true;
        }
    }
    return false;
}

void SocketQueries::Open()
{
    std::lock_guard lock(m_lock);
    m_answers.clear();
    m_closed = false;
}

void SocketQueries::Close()
{
    {
        std::lock_guard lock(m_lock);
        m_closed = true;
    }
    m_answered.notify_all();
}

} // namespace P2PNet
