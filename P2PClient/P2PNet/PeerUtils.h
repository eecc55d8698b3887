// Small services shared by the peer core and the session client: allocation hooks, clocks,
// critical sections, the Mersenne Twister seed, the address hash and integer formatting.
#pragma once

#include "PlatformThread.h"

#include <cstddef>
#include <cstdint>
#include <functional>

namespace P2PNet {

// ---- Allocation hooks -------------------------------------------------------------------------
// Process-wide, replaceable as a set. Install them before any peer exists; they are read without
// a lock. Callers pass the name of their source file and the line, or an empty name and 0.
struct AllocationHooks {
    void* (*allocate)(std::size_t size, const char* file, unsigned line);
    void* (*reallocate)(void* block, std::size_t size, const char* file, unsigned line);
    void (*free)(void* block, const char* file, unsigned line);
    // Called where an allocation of the peer core failed; the default does nothing.
    void (*outOfMemory)(const char* file, unsigned line);
};

// The defaults: malloc, realloc, free and an empty out-of-memory notice.
AllocationHooks DefaultAllocationHooks();
// Replaces all four hooks; a null member keeps the default for that hook.
void SetAllocationHooks(const AllocationHooks& hooks);
const AllocationHooks& GetAllocationHooks();

void* PeerAllocate(std::size_t size, const char* file = "", unsigned line = 0);
void* PeerReallocate(void* block, std::size_t size, const char* file = "", unsigned line = 0);
void PeerFree(void* block, const char* file = "", unsigned line = 0);
void PeerOutOfMemory(const char* file = "", unsigned line = 0);

// ---- Clocks -----------------------------------------------------------------------------------
// Microseconds on the monotonic clock; never goes back.
uint64_t NowMicros();
// NowMicros() / 1000.
uint64_t NowMillis();
// Converts a counter value at a counter frequency (ticks per second) to microseconds without
// overflowing: (value / frequency) * 1000000 + (value % frequency) * 1000000 / frequency.
// A frequency of 0 gives 0.
uint64_t CounterToMicros(uint64_t value, uint64_t frequency);

// ---- Log --------------------------------------------------------------------------------------
// libTovel's one log, for the peer core and the session client alike. Lines go to the sink the
// program installed; with none they are dropped: the library never writes to standard output or
// standard error. Debug lines are made only once SetDebugLog(true) was called (off by default).
// A line is at most 511 bytes, without a line end. Never log passwords or keys.
enum class LogLevel { Debug, Info, Warn, Error };
// Called on the thread that logs, with no lock of the library held; must not block.
using LogSink = std::function<void(LogLevel level, const char* text)>;
// Installs the sink (empty: none); any thread.
void SetLogSink(LogSink sink);
void SetDebugLog(bool on);
void Log(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void LogDebug(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---- Locks ------------------------------------------------------------------------------------
// Every lock of the peer core is a re-entrant critical section.
using CriticalSection = platform::CriticalSection;
using CriticalSectionLock = platform::CriticalSectionLock;

// ---- Random numbers ---------------------------------------------------------------------------
// A Mersenne Twister (624 words of 32 bits). Seed() uses the classic linear seeding:
// word 0 = seed | 1, word i = word i-1 * 69069 (mod 2^32); no words are left, so the first Next()
// twists the state.
// Not thread-safe; the process-wide generator below adds a lock.
class MersenneTwister {
public:
    static constexpr int kStateWords = 624;

    MersenneTwister() { Seed(4357u); }
    explicit MersenneTwister(uint32_t seed) { Seed(seed); }

    void Seed(uint32_t seed);
    uint32_t Next();
    // A raw state word, for checking the seeding.
    uint32_t StateWord(int index) const { return m_state[index]; }

private:
    void Reload();

    uint32_t m_state[kStateWords];
    int m_position = 0;
};

// Seeds the process-wide generator as MersenneTwister::Seed does and logs the seed (Info,
// "random seed %i").
void SeedTwister(uint32_t seed);
// Next value of the process-wide generator; any thread.
uint32_t RandomMT();

// ---- Hashing ----------------------------------------------------------------------------------
// The SuperFastHash algorithm over `length` bytes (16-bit little-endian pieces, tail bytes taken
// as signed), starting from `start` instead of the length. Null data or length <= 0 gives 0.
uint32_t SuperFastHash(const void* data, int length, uint32_t start);

// ---- Integer to text --------------------------------------------------------------------------
// Writes value in the given base (2..16, digits "0123456789abcdef", most significant first) into
// the caller's buffer of `size` bytes, always terminated when size > 0. A "-" is written only for
// a negative value in base 10; other bases write the magnitude. A base outside 2..16 gives the
// empty text. Returns the buffer. A buffer too small for the digits gets the empty text.
// 66 bytes hold any value in any base.
constexpr std::size_t kIntegerTextSize = 66;
char* IntegerToText(int64_t value, int base, char* buffer, std::size_t size);

} // namespace P2PNet
