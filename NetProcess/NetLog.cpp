#include "NetLog.h"

#include <mutex>

namespace netlog {

namespace {
std::mutex g_mutex;
Sink g_sink;
} // namespace

void SetSink(Sink sink)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_sink = std::move(sink);
}

void Write(const char* file, int line, const char* function, const std::string& text)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    const std::string where = std::string(file) + ":" + std::to_string(line) + " " + function + " ";
    if (g_sink)
        g_sink(where + text);
}

} // namespace netlog
