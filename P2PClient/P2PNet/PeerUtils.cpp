#include "PeerUtils.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

namespace P2PNet {

namespace {

void* defaultAllocate(std::size_t size, const char*, unsigned) { return std::malloc(size); }
void* defaultReallocate(void* block, std::size_t size, const char*, unsigned) { return std::realloc(block, size); }
void defaultFree(void* block, const char*, unsigned) { std::free(block); }
void defaultOutOfMemory(const char*, unsigned) {}

AllocationHooks g_hooks = {defaultAllocate, defaultReallocate, defaultFree, defaultOutOfMemory};

std::mutex g_twisterMutex;
MersenneTwister g_twister;

} // namespace

AllocationHooks DefaultAllocationHooks()
{
    return {defaultAllocate, defaultReallocate, defaultFree, defaultOutOfMemory};
}

void SetAllocationHooks(const AllocationHooks& hooks)
{
    g_hooks.allocate = hooks.allocate ? hooks.allocate : defaultAllocate;
    g_hooks.reallocate = hooks.reallocate ? hooks.reallocate : defaultReallocate;
    g_hooks.free = hooks.free ? hooks.free : defaultFree;
    g_hooks.outOfMemory = hooks.outOfMemory ? hooks.outOfMemory : defaultOutOfMemory;
}

const AllocationHooks& GetAllocationHooks() { return g_hooks; }

void* PeerAllocate(std::size_t size, const char* file, unsigned line) { return g_hooks.allocate(size, file, line); }

void* PeerReallocate(void* block, std::size_t size, const char* file, unsigned line)
{
    return g_hooks.reallocate(block, size, file, line);
}

void PeerFree(void* block, const char* file, unsigned line)
{
    if (block)
        g_hooks.free(block, file, line);
}

void PeerOutOfMemory(const char* file, unsigned line) { g_hooks.outOfMemory(file, line); }

uint64_t CounterToMicros(uint64_t value, uint64_t frequency)
{
    if (frequency == 0)
        return 0;
    return (value / frequency) * 1000000u + (value % frequency) * 1000000u / frequency;
}

uint64_t NowMicros() { return platform::monotonicMicros(); }

uint64_t NowMillis() { return NowMicros() / 1000u; }

namespace {

std::atomic<bool> g_debugLog{false};
std::mutex g_logSinkMutex;
// Replaced whole, so that a line in progress keeps the sink it started with.
std::shared_ptr<const LogSink> g_logSink;

void WriteLine(LogLevel level, const char* format, va_list arguments)
{
    std::shared_ptr<const LogSink> sink;
    {
        std::lock_guard<std::mutex> lock(g_logSinkMutex);
        sink = g_logSink;
    }
    if (!sink)
        return;
    char line[512];
    std::vsnprintf(line, sizeof line, format, arguments);
    (*sink)(level, line);
}

} // namespace

void SetLogSink(LogSink sink)
{
    std::shared_ptr<const LogSink> installed;
    if (sink)
        installed = std::make_shared<const LogSink>(std::move(sink));
    std::lock_guard<std::mutex> lock(g_logSinkMutex);
    g_logSink.swap(installed);
}

void SetDebugLog(bool on) { g_debugLog.store(on); }

void Log(LogLevel level, const char* format, ...)
{
    if (level == LogLevel::Debug && !g_debugLog.load())
        return;
    va_list arguments;
    va_start(arguments, format);
    WriteLine(level, format, arguments);
    va_end(arguments);
}

void LogDebug(const char* format, ...)
{
    if (!g_debugLog.load())
        return;
    va_list arguments;
    va_start(arguments, format);
    WriteLine(LogLevel::Debug, format, arguments);
    va_end(arguments);
}

void MersenneTwister::Seed(uint32_t seed)
{
    m_state[0] = seed | 1u;
    for (int i = 1; i < kStateWords; ++i)
        m_state[i] = m_state[i - 1] * 69069u;
    // No words left: the first Next() twists the whole state.
    m_position = kStateWords;
}

void MersenneTwister::Reload()
{
    constexpr int kM = 397;
    constexpr uint32_t kMatrix = 0x9908b0dfu;
    for (int i = 0; i < kStateWords; ++i) {
        const uint32_t y = (m_state[i] & 0x80000000u) | (m_state[(i + 1) % kStateWords] & 0x7fffffffu);
        m_state[i] = m_state[(i + kM) % kStateWords] ^ (y >> 1) ^ ((y & 1u) ? kMatrix : 0u);
    }
    m_position = 0;
}

uint32_t MersenneTwister::Next()
{
    if (m_position >= kStateWords)
        Reload();
    uint32_t y = m_state[m_position++];
    y ^= y >> 11;
    y ^= (y << 7) & 0x9d2c5680u;
    y ^= (y << 15) & 0xefc60000u;
    y ^= y >> 18;
    return y;
}

void SeedTwister(uint32_t seed)
{
    {
        std::lock_guard<std::mutex> lock(g_twisterMutex);
        g_twister.Seed(seed);
    }
    Log(LogLevel::Info, "random seed %i", static_cast<int>(seed));
}

uint32_t RandomMT()
{
    std::lock_guard<std::mutex> lock(g_twisterMutex);
    return g_twister.Next();
}

uint32_t SuperFastHash(const void* data, int length, uint32_t start)
{
    if (data == nullptr || length <= 0)
        return 0;
    const auto* p = static_cast<const uint8_t*>(data);
    auto get16 = [](const uint8_t* q) { return static_cast<uint32_t>(q[0]) | (static_cast<uint32_t>(q[1]) << 8); };
    auto signedByte = [](uint8_t b) { return static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(b))); };

    uint32_t hash = start;
    const int rem = length & 3;
    for (int blocks = length >> 2; blocks > 0; --blocks) {
        hash += get16(p);
        const uint32_t tmp = (get16(p + 2) << 11) ^ hash;
        hash = (hash << 16) ^ tmp;
        p += 4;
        hash += hash >> 11;
    }
    switch (rem) {
    case 3:
        hash += get16(p);
        hash ^= hash << 16;
        hash ^= signedByte(p[2]) << 18;
        hash += hash >> 11;
        break;
    case 2:
        hash += get16(p);
        hash ^= hash << 11;
        hash += hash >> 17;
        break;
    case 1:
        hash += signedByte(p[0]);
        hash ^= hash << 10;
        hash += hash >> 1;
        break;
    default:
        break;
    }
    // Avalanche the last bits.
    hash ^= hash << 3;
    hash += hash >> 5;
    hash ^= hash << 4;
    hash += hash >> 17;
    hash ^= hash << 25;
    hash += hash >> 6;
    return hash;
}

char* IntegerToText(int64_t value, int base, char* buffer, std::size_t size)
{
    if (buffer == nullptr || size == 0)
        return buffer;
    buffer[0] = '\0';
    if (base < 2 || base > 16)
        return buffer;

    static constexpr char kDigits[] = "0123456789abcdef";
    // The magnitude as unsigned, so that the most negative value has one too.
    uint64_t magnitude = value < 0 ? 0u - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    char reversed[kIntegerTextSize];
    std::size_t count = 0;
    do {
        reversed[count++] = kDigits[magnitude % static_cast<unsigned>(base)];
        magnitude /= static_cast<unsigned>(base);
    } while (magnitude != 0);
    if (value < 0 && base == 10)
        reversed[count++] = '-';
    if (count + 1 > size)
        return buffer;
    for (std::size_t i = 0; i < count; ++i)
        buffer[i] = reversed[count - 1 - i];
    buffer[count] = '\0';
    return buffer;
}

} // namespace P2PNet
