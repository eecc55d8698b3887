#include "BenchHarness.h"

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

namespace bench {
namespace {

uint8_t patternByte(std::size_t i) { return static_cast<uint8_t>(i * 131u + 7u); }

// What the receiver thread publishes to the sender thread. The counters are written by the
// receiver only; latencies are appended before messages is advanced (release), so a sender that
// saw the count (acquire) may read them.
struct Receiver {
    std::atomic<uint64_t> messages{0};
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> lastArrivalNs{0};
    std::atomic<uint64_t> faults{0};
    std::atomic<uint64_t> latencyFromSeq{UINT64_MAX};
    std::atomic<bool> stop{false};
    std::vector<uint64_t> latenciesNs;
    uint64_t expectedSeq = 0;
    std::size_t messageBytes = 0;

    std::mutex mutex;
    std::condition_variable progressed;
    std::atomic<int> waiters{0};

    void onMessage(const uint8_t* data, std::size_t length)
    {
        const uint64_t arrival = nowNanos();
        uint64_t stamp = 0;
        uint64_t seq = UINT64_MAX;
        if (length >= kStampBytes) {
            std::memcpy(&stamp, data, 8);
            std::memcpy(&seq, data + 8, 8);
        }
        if (length != messageBytes || seq != expectedSeq ||
            (length > kStampBytes && data[length - 1] != patternByte(length - 1)))
            faults.fetch_add(1, std::memory_order_relaxed);
        expectedSeq = seq + 1;
        if (seq >= latencyFromSeq.load(std::memory_order_relaxed) && latenciesNs.size() < latenciesNs.capacity())
            latenciesNs.push_back(arrival - stamp);
        bytes.fetch_add(length, std::memory_order_relaxed);
        lastArrivalNs.store(arrival, std::memory_order_relaxed);
        messages.fetch_add(1, std::memory_order_release);
        if (waiters.load(std::memory_order_acquire) > 0) {
            std::lock_guard<std::mutex> lock(mutex);
            progressed.notify_all();
        }
    }

    void waitForProgress(int waitMs)
    {
        const uint64_t seen = messages.load(std::memory_order_acquire);
        waiters.fetch_add(1, std::memory_order_acq_rel);
        std::unique_lock<std::mutex> lock(mutex);
        progressed.wait_for(lock, std::chrono::milliseconds(waitMs),
                            [&] { return messages.load(std::memory_order_acquire) != seen; });
        waiters.fetch_sub(1, std::memory_order_acq_rel);
    }
};

double percentileMicros(std::vector<uint64_t>& sorted, double p)
{
    if (sorted.empty())
        return 0;
    const std::size_t rank = std::min(sorted.size() - 1, static_cast<std::size_t>(p * static_cast<double>(sorted.size())));
    return static_cast<double>(sorted[rank]) / 1000.0;
}

uint64_t secondsToNanos(double s) { return static_cast<uint64_t>(s * 1e9); }

} // namespace

CaseResult runCase(Link& link, const CaseSpec& spec)
{
    CaseResult result;
    Receiver receiver;
    receiver.messageBytes = spec.messageBytes;
    receiver.latenciesNs.reserve(spec.latencySamples);
    link.setProgressWaiter([&receiver](int waitMs) { receiver.waitForProgress(waitMs); });

    std::thread receiverThread([&] {
        const MessageSink sink = [&receiver](const uint8_t* data, std::size_t length) { receiver.onMessage(data, length); };
        while (!receiver.stop.load(std::memory_order_acquire))
            link.serviceReceiver(1, sink);
    });

    std::vector<uint8_t> message(std::max(spec.messageBytes, kStampBytes));
    for (std::size_t i = kStampBytes; i < message.size(); ++i)
        message[i] = patternByte(i);
    uint64_t seq = 0;
    auto sendOne = [&] {
        const uint64_t stamp = nowNanos();
        std::memcpy(message.data(), &stamp, 8);
        std::memcpy(message.data() + 8, &seq, 8);
        if (!link.send(message.data(), message.size()))
            return false;
        ++seq;
        return true;
    };
    auto waitForArrivals = [&](uint64_t count, uint64_t deadlineNs) {
        while (receiver.messages.load(std::memory_order_acquire) < count && nowNanos() < deadlineNs)
            link.serviceSender(1);
        return receiver.messages.load(std::memory_order_acquire) >= count;
    };

    // Goodput: keep at most windowBytes in flight until goodputBytes are sent or time is up.
    const uint64_t start = nowNanos();
    const uint64_t sendDeadline = start + secondsToNanos(spec.goodputSeconds);
    const std::size_t batch = std::max<std::size_t>(1, 16384 / message.size());
    uint64_t sentBytes = 0;
    bool refused = false;
    while (sentBytes < spec.goodputBytes && nowNanos() < sendDeadline) {
        while (sentBytes - receiver.bytes.load(std::memory_order_acquire) + message.size() > spec.windowBytes &&
               nowNanos() < sendDeadline)
            link.serviceSender(1);
        if (nowNanos() >= sendDeadline)
            break;
        if (!sendOne()) {
            refused = true;
            break;
        }
        sentBytes += message.size();
        if (seq % batch == 0)
            link.serviceSender(0);
    }
    const uint64_t goodputMessages = seq;
    const bool drained = waitForArrivals(goodputMessages, nowNanos() + secondsToNanos(spec.drainSeconds));
    const uint64_t delivered = receiver.bytes.load(std::memory_order_acquire);
    const uint64_t last = drained ? receiver.lastArrivalNs.load(std::memory_order_relaxed) : nowNanos();
    result.goodputMessages = receiver.messages.load(std::memory_order_acquire);
    result.goodputMBps = last > start ? static_cast<double>(delivered) / (static_cast<double>(last - start) / 1e9) / 1e6 : 0;

    // Latency: one message in flight; the next is sent once the previous one arrived.
    bool latencyComplete = drained && !refused;
    if (latencyComplete) {
        receiver.latencyFromSeq.store(seq, std::memory_order_relaxed);
        const uint64_t latencyDeadline = nowNanos() + secondsToNanos(spec.latencySeconds);
        for (std::size_t i = 0; i < spec.latencySamples && nowNanos() < latencyDeadline; ++i) {
            if (!sendOne()) {
                refused = true;
                break;
            }
            if (!waitForArrivals(seq, std::max(latencyDeadline, nowNanos() + secondsToNanos(spec.drainSeconds)))) {
                latencyComplete = false;
                break;
            }
        }
    }

    receiver.stop.store(true, std::memory_order_release);
    receiverThread.join();
    link.setProgressWaiter({});

    std::vector<uint64_t> latencies = receiver.latenciesNs;
    std::sort(latencies.begin(), latencies.end());
    result.latencySamples = latencies.size();
    result.p50us = percentileMicros(latencies, 0.50);
    result.p90us = percentileMicros(latencies, 0.90);
    result.p99us = percentileMicros(latencies, 0.99);
    result.faults = receiver.faults.load();
    result.complete = drained && latencyComplete && !refused && result.faults == 0;
    if (refused)
        result.note = "send refused";
    else if (!drained)
        result.note = "incomplete: " + std::to_string(goodputMessages - result.goodputMessages) + " messages still missing";
    else if (!latencyComplete)
        result.note = "latency phase timed out";
    else if (result.faults != 0)
        result.note = std::to_string(result.faults) + " messages out of order or damaged";
    return result;
}

} // namespace bench
