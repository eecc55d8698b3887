// The SDK's log facade. Lines go to the installed sink (the SDK's rolling log file once it is set
// up; a tool may install one that writes to its standard error); with no sink they are dropped.
// Never log passwords or keys.
//
// Levels: Debug for what only a developer tracing the code wants (off in the log file), Info for
// the events a reader follows (logins, reconnections), Warn for faults the library rides out
// (a picture that does not decode, a lost frame), Error for faults that end something.
//
// A fault that can repeat for every frame is written with NETLOG_REPEATING: its first occurrence
// is written as it is; later ones with the same text are counted, and once the repeat interval
// has passed since the line was last written the next occurrence (or any later log line) writes
// it again with "(repeated N times)".
#pragma once

#include <cstdint>
#include <functional>
#include <sstream>
#include <string>

namespace netlog {

enum class Level { Debug, Info, Warn, Error };

// `file` is the source file's name without its folder.
using Sink = std::function<void(Level level, const std::string& text, const char* file, int line, const char* function)>;
void SetSink(Sink sink);
void Write(Level level, const char* file, int line, const char* function, const std::string& text);
void WriteRepeating(Level level, const char* file, int line, const char* function, const std::string& text);

// The millisecond tick the repeat counting uses (empty: the monotonic clock) and the interval
// between two lines of one repeating fault (10 minutes by default).
void SetClock(std::function<uint32_t()> clock);
void SetRepeatIntervalMs(uint32_t intervalMs);
// Writes the counts of every repeating fault not written yet (at shut-down).
void FlushRepeats();

} // namespace netlog

#define NETLOG_AT(level, expr)                                                                               \
    do {                                                                                                     \
        std::ostringstream netlog_stream_;                                                                   \
        netlog_stream_ << expr;                                                                              \
        ::netlog::Write(level, __FILE__, __LINE__, __func__, netlog_stream_.str());                          \
    } while (0)

#define NETLOG_REPEATING(level, expr)                                                                        \
    do {                                                                                                     \
        std::ostringstream netlog_stream_;                                                                   \
        netlog_stream_ << expr;                                                                              \
        ::netlog::WriteRepeating(level, __FILE__, __LINE__, __func__, netlog_stream_.str());                 \
    } while (0)

// NETLOG("connect to frist  " << rc << " uid " << uid); an error.
#define NETLOG(expr) NETLOG_AT(::netlog::Level::Error, expr)
