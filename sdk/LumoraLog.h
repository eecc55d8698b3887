// The SDK's log facade over log4cplus: every line goes to the logger "DllSysInfo" at ERROR, the
// only level that logger lets through; InitLog attaches the rolling "DllSysState.log" appender
// once per process. Never log passwords or keys.
#pragma once

#include <sstream>
#include <string>

namespace lumoralog {

// Sets up the rolling file appender "DllSysState" ("DllSysState.log" in the current folder,
// 10 backups) on the root logger and the level ERROR on "DllSysInfo"; only the first call of the
// process (or of InitLogWithConfig) does anything. Also routes the device link's log lines here.
void InitLog();
// The same set-up from "DllSysInfo.properties" in the current folder.
void InitLogWithConfig();
void Write(const char* file, int line, const char* function, const std::string& text);

} // namespace lumoralog

// LUMORA_LOG("Dev " << uid << " connect success");
#define LUMORA_LOG(expr)                                                                                     \
    do {                                                                                                     \
        std::ostringstream lumoralog_stream_;                                                                \
        lumoralog_stream_ << expr;                                                                           \
        ::lumoralog::Write(__FILE__, __LINE__, __PRETTY_FUNCTION__, lumoralog_stream_.str());                \
    } while (0)
