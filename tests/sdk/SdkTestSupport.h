// Shared helpers of the SDK tests: recorders for result and message callbacks, and waits with
// deadlines.
#pragma once

#include "LumoraTypes.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sdktest {

struct ResultCall {
    int tag = 0; // which request (the tag given to callback())
    int code = 0;
    int result = 0;
    std::string text;
    std::string uid;
    bool nullData = true;
    int value = 0;
};

struct MessageCall {
    int message = 0;
    std::string uid;
    bool hasText = false;
    std::string text;       // up to the terminating NUL
    bool terminated = false; // a NUL at text[value] (1502: value is the length)
    int value = 0;
    int reserved = 0;
    bool hasExtra = false;
    std::string extra;       // up to the terminating NUL (message 0: the file's full path)
};

// Waits (polling with yields) until pred holds; false after the deadline.
template <class Pred>
bool waitUntil(Pred pred, int timeoutMs = 20000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class ResultRecorder {
public:
    DeviceResultCallback callback(int tag)
    {
        return [this, tag](int code, int result, std::string text, std::string uid, char* data, int value) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_calls.push_back({tag, code, result, std::move(text), std::move(uid), data == nullptr, value});
            m_cv.notify_all();
        };
    }

    // Waits until `count` calls with this tag have arrived.
    bool wait(int tag, size_t count = 1, int timeoutMs = 20000)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return countLocked(tag) >= count; });
    }

    std::vector<ResultCall> calls(int tag)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<ResultCall> out;
        for (const auto& c : m_calls)
            if (c.tag == tag)
                out.push_back(c);
        return out;
    }

    size_t count(int tag)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return countLocked(tag);
    }

    size_t total()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls.size();
    }

private:
    size_t countLocked(int tag) const
    {
        size_t n = 0;
        for (const auto& c : m_calls)
            if (c.tag == tag)
                ++n;
        return n;
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<ResultCall> m_calls;
};

class MessageRecorder {
public:
    DeviceMessageCallback callback()
    {
        return [this](int message, std::string uid, char* text, char* extra, int value, int reserved) {
            MessageCall call{message, std::move(uid), text != nullptr, {}, false, value, reserved, extra != nullptr, {}};
            if (extra != nullptr)
                call.extra = extra;
            if (text != nullptr) {
                call.text = text;
                call.terminated = message == 1502 && value >= 0 && text[value] == '\0';
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            m_calls.push_back(std::move(call));
            m_cv.notify_all();
        };
    }

    bool wait(int message, size_t count = 1, int timeoutMs = 20000)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return countLocked(message) >= count; });
    }

    size_t count(int message)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return countLocked(message);
    }

    std::vector<MessageCall> calls()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }

private:
    size_t countLocked(int message) const
    {
        size_t n = 0;
        for (const auto& c : m_calls)
            if (c.message == message)
                ++n;
        return n;
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<MessageCall> m_calls;
};

// A millisecond tick that runs with real time plus an offset the test moves forward.
class FakeClock {
public:
    uint32_t now() const;
    void advance(uint32_t ms) { m_offset += ms; }
    std::function<uint32_t()> function()
    {
        return [this] { return now(); };
    }

private:
    std::atomic<uint32_t> m_offset{0};
};

inline uint32_t FakeClock::now() const
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<uint32_t>(ms.count()) + m_offset.load();
}

} // namespace sdktest
