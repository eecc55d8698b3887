// Measurement harness of bench-peer: one transport's sender end and receiver end in one process,
// a one-way message stream between them, goodput under a bounded in-flight window and one-way
// latency with a single message in flight.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace bench {

// Nanoseconds on the steady clock. Both ends of a link live in this process, so a time stamp the
// sender writes into a message is directly comparable with the receiver's clock.
inline uint64_t nowNanos()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// Every message begins with [u64 send time in ns][u64 sequence number], native byte order (both
// ends share the process). Messages are never shorter than this.
constexpr std::size_t kStampBytes = 16;

using MessageSink = std::function<void(const uint8_t* data, std::size_t length)>;

// One transport under test with its two ends already connected. The sender end is driven only by
// the sender thread (send, serviceSender), the receiver end only by the receiver thread.
class Link {
public:
    virtual ~Link() = default;
    // Queues one message on the sender end; false when the transport refused it.
    virtual bool send(const uint8_t* data, std::size_t length) = 0;
    // Lets the sender end make progress (acknowledgements, resends, flushing) for up to waitMs.
    // A link whose sender needs no servicing waits on the harness's progress signal instead.
    virtual void serviceSender(int waitMs) = 0;
    // Runs the receiver end for up to waitMs and hands each whole message to sink.
    virtual void serviceReceiver(int waitMs, const MessageSink& sink) = 0;
    // Called by the receiver thread after each message; links that wait in serviceSender without
    // a transport to run use it to wake up.
    void setProgressWaiter(std::function<void(int waitMs)> waiter) { m_wait = std::move(waiter); }

protected:
    void waitForProgress(int waitMs)
    {
        if (m_wait)
            m_wait(waitMs);
    }

private:
    std::function<void(int)> m_wait;
};

struct CaseSpec {
    std::size_t messageBytes;
    uint64_t goodputBytes;     // bytes to move in the goodput phase
    std::size_t windowBytes;   // bytes sent but not yet received, at most
    double goodputSeconds;     // time cap of the goodput phase's sending
    double drainSeconds;       // time allowed for the last messages to arrive
    std::size_t latencySamples;
    double latencySeconds;     // time cap of the latency phase
};

struct CaseResult {
    bool complete = false;     // every message sent arrived, in order
    double goodputMBps = 0;    // 10^6 bytes per second of payload delivered
    uint64_t goodputMessages = 0;
    double p50us = 0, p90us = 0, p99us = 0;
    std::size_t latencySamples = 0;
    uint64_t faults = 0;       // messages out of order, of the wrong length or with damaged bytes
    std::string note;
};

// Runs both phases on link; the calling thread sends, a thread of the harness receives.
CaseResult runCase(Link& link, const CaseSpec& spec);

} // namespace bench
