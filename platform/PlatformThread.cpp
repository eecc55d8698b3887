#include "PlatformThread.h"

#include <chrono>
#include <pthread.h>
#include <thread>
#include <time.h>

namespace platform {

uint64_t monotonicMicros()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

uint32_t tickMillis()
{
    return static_cast<uint32_t>(monotonicMicros() / 1000u);
}

void sleepMillis(uint32_t ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

struct Thread::Impl {
    pthread_t handle{};
    // Held by start() until the Thread is published: a function that stops its own thread at once
    // must find it started, with its handle set.
    std::mutex publishing;
    std::function<void()> fn;
    std::string name;
};

namespace {
void* threadEntry(void* arg)
{
    // The thread's own reference to its state, handed over by start().
    const std::unique_ptr<std::shared_ptr<Thread::Impl>> owned(static_cast<std::shared_ptr<Thread::Impl>*>(arg));
    Thread::Impl* impl = owned->get();
    if (!impl->name.empty())
        pthread_setname_np(pthread_self(), impl->name.substr(0, 15).c_str());
    { std::lock_guard<std::mutex> published(impl->publishing); }
    impl->fn();
    return nullptr;
}
} // namespace

Thread::~Thread()
{
    join();
}

bool Thread::start(std::function<void()> fn, std::size_t stackSize, const std::string& name)
{
    if (m_started)
        return false;
    auto impl = std::make_shared<Impl>();
    impl->fn = std::move(fn);
    impl->name = name;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (stackSize > 0) {
        // Keep to the system minimum; Windows callers ask for small stacks that Linux refuses.
        if (stackSize < 65536)
            stackSize = 65536;
        pthread_attr_setstacksize(&attr, stackSize);
    }
    auto threadReference = std::make_unique<std::shared_ptr<Impl>>(impl);
    std::unique_lock<std::mutex> publishing(impl->publishing);
    const int rc = pthread_create(&impl->handle, &attr, &threadEntry, threadReference.get());
    pthread_attr_destroy(&attr);
    if (rc != 0)
        return false;
    threadReference.release(); // now the thread's, freed when it ends
    m_impl = std::move(impl);
    m_started = true;
    return true;
}

void Thread::join()
{
    if (!m_started)
        return;
    if (pthread_equal(pthread_self(), m_impl->handle)) {
        // A thread cannot join itself; let it finish on its own.
        pthread_detach(m_impl->handle);
    } else {
        pthread_join(m_impl->handle, nullptr);
    }
    m_impl.reset();
    m_started = false;
}

bool Thread::isCurrent() const
{
    return m_started && pthread_equal(pthread_self(), m_impl->handle);
}

void AutoResetEvent::set()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_signalled = true;
    }
    m_cv.notify_one();
}

void AutoResetEvent::reset()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_signalled = false;
}

bool AutoResetEvent::wait(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (timeoutMs < 0) {
        m_cv.wait(lock, [this] { return m_signalled; });
    } else if (!m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_signalled; })) {
        return false;
    }
    m_signalled = false;
    return true;
}

bool AutoResetEvent::waitMicros(uint64_t timeoutUs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_cv.wait_for(lock, std::chrono::microseconds(timeoutUs), [this] { return m_signalled; }))
        return false;
    m_signalled = false;
    return true;
}

void ManualResetEvent::set()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_signalled = true;
    }
    m_cv.notify_all();
}

void ManualResetEvent::reset()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_signalled = false;
}

bool ManualResetEvent::isSet()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_signalled;
}

bool ManualResetEvent::wait(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (timeoutMs < 0) {
        m_cv.wait(lock, [this] { return m_signalled; });
        return true;
    }
    return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_signalled; });
}

Semaphore::Semaphore(long initial, long maximum) : m_count(initial), m_maximum(maximum) {}

bool Semaphore::release(long count)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_count >= m_maximum)
            return false;
        m_count = (m_maximum - m_count < count) ? m_maximum : m_count + count;
    }
    m_cv.notify_all();
    return true;
}

bool Semaphore::wait(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (timeoutMs < 0) {
        m_cv.wait(lock, [this] { return m_count > 0; });
    } else if (!m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_count > 0; })) {
        return false;
    }
    --m_count;
    return true;
}

long Semaphore::count()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_count;
}

} // namespace platform
