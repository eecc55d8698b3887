#include "NetLog.h"

#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace netlog {

namespace {

// Distinct repeating texts followed at once; the one written longest ago makes room.
constexpr std::size_t kMaxRepeating = 256;

struct Repeat {
    Level level = Level::Warn;
    std::string file;
    int line = 0;
    std::string function;
    uint32_t lastWritten = 0;
    uint64_t unwritten = 0; // occurrences counted since lastWritten
};

std::mutex g_mutex;
Sink g_sink;
std::function<uint32_t()> g_clock;
uint32_t g_intervalMs = 10 * 60 * 1000;
std::map<std::string, Repeat> g_repeats;

struct Pending {
    Level level;
    std::string text;
    std::string file;
    int line;
    std::string function;
};

const char* baseName(const char* file)
{
    const char* slash = std::strrchr(file, '/');
    return slash ? slash + 1 : file;
}

uint32_t nowLocked()
{
    if (g_clock)
        return g_clock();
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
}

std::string repeatedText(const std::string& text, uint64_t count)
{
    return text + " (repeated " + std::to_string(count) + " times)";
}

// Counts whose interval has passed are written now (`all`: every count).
void collectDueLocked(uint32_t now, bool all, std::vector<Pending>& out)
{
    for (auto& [text, r] : g_repeats) {
        if (r.unwritten == 0 || (!all && now - r.lastWritten < g_intervalMs))
            continue;
        out.push_back({r.level, repeatedText(text, r.unwritten), r.file, r.line, r.function});
        r.unwritten = 0;
        r.lastWritten = now;
    }
}

void emit(const Sink& sink, const std::vector<Pending>& lines)
{
    if (!sink)
        return;
    for (const auto& p : lines)
        sink(p.level, p.text, p.file.c_str(), p.line, p.function.c_str());
}

} // namespace

void SetSink(Sink sink)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_sink = std::move(sink);
}

void SetClock(std::function<uint32_t()> clock)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_clock = std::move(clock);
}

void SetRepeatIntervalMs(uint32_t intervalMs)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_intervalMs = intervalMs;
}

void Write(Level level, const char* file, int line, const char* function, const std::string& text)
{
    std::vector<Pending> lines;
    Sink sink;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!g_sink)
            return;
        sink = g_sink;
        if (!g_repeats.empty())
            collectDueLocked(nowLocked(), false, lines);
    }
    lines.push_back({level, text, baseName(file), line, function});
    emit(sink, lines);
}

void WriteRepeating(Level level, const char* file, int line, const char* function, const std::string& text)
{
    std::vector<Pending> lines;
    Sink sink;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!g_sink)
            return;
        sink = g_sink;
        const uint32_t now = nowLocked();
        auto it = g_repeats.find(text);
        if (it == g_repeats.end()) {
            if (g_repeats.size() >= kMaxRepeating) {
                auto oldest = g_repeats.begin();
                for (auto r = g_repeats.begin(); r != g_repeats.end(); ++r)
                    if (now - r->second.lastWritten > now - oldest->second.lastWritten)
                        oldest = r;
                if (oldest->second.unwritten != 0)
                    lines.push_back({oldest->second.level, repeatedText(oldest->first, oldest->second.unwritten),
                                     oldest->second.file, oldest->second.line, oldest->second.function});
                g_repeats.erase(oldest);
            }
            g_repeats.emplace(text, Repeat{level, baseName(file), line, function, now, 0});
            lines.push_back({level, text, baseName(file), line, function});
        } else {
            ++it->second.unwritten;
        }
        collectDueLocked(now, false, lines);
    }
    emit(sink, lines);
}

void FlushRepeats()
{
    std::vector<Pending> lines;
    Sink sink;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        sink = g_sink;
        collectDueLocked(nowLocked(), true, lines);
    }
    emit(sink, lines);
}

} // namespace netlog
