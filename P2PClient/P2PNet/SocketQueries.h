// The hand-off of socket queries to the update thread: a caller asking which socket serves a
// connection (or for every socket) while the peer runs gets a ticket, queues its question as a
// command, and waits here for the update thread's answer under that ticket.
//
// A wait ends with the answer, at its limit, or when the update thread has ended (Close): no
// answer comes after that. Open makes it usable again for the next update thread.
//
// Lock: m_lock guards m_answers and m_closed; waiters wait on m_answered. A leaf lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace P2PNet {

class PlatformSocket;

class SocketQueries {
public:
    // A ticket no other query of this peer has had.
    uint64_t NextTicket() { return m_nextTicket++; }
    // Update thread: the answer to the query of ticket.
    void Answer(uint64_t ticket, std::vector<PlatformSocket*> sockets);
    // Waits up to limitMs (platform::kInfinite: no limit) for the answer of ticket and moves it
    // into sockets; false, with sockets left empty, when none came.
    bool Await(uint64_t ticket, int limitMs, std::vector<PlatformSocket*>& sockets);
    // Before the update thread starts: waits may expect an answer again; old answers are dropped.
    void Open();
    // When the update thread ends: every wait ends; an answer given before still reaches its
    // waiter.
    void Close();

private:
    struct Answered {
        uint64_t ticket = 0;
        std::vector<PlatformSocket*> sockets;
    };

    std::mutex m_lock;
    std::condition_variable m_answered;
    std::vector<Answered> m_answers;
    bool m_closed = true;
    std::atomic<uint64_t> m_nextTicket{1};
};

} // namespace P2PNet
