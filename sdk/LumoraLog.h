// The SDK's log file over log4cplus: every line of the SDK and of the device link (NetLog.h) goes
// to the logger "DllSysInfo", which writes INFO and above; InitLog attaches the rolling
// "DllSysState.log" appender once per process. Never log passwords or keys.
#pragma once

#include "NetLog.h"

namespace lumoralog {

// Sets up the rolling file appender "DllSysState" ("DllSysState.log" in the current folder,
// 10 backups) on the root logger and the level INFO on "DllSysInfo"; only the first call of the
// process (or of InitLogWithConfig) does anything. Routes the device link's log lines here.
void InitLog();
// The same set-up from "DllSysInfo.properties" in the current folder.
void InitLogWithConfig();

} // namespace lumoralog

// LUMORA_LOG("alarm picture not written: " << path); an error.
#define LUMORA_LOG(expr) NETLOG_AT(::netlog::Level::Error, expr)
// LUMORA_LOG_AT(::netlog::Level::Info, "Dev " << uid << " connect success");
#define LUMORA_LOG_AT(level, expr) NETLOG_AT(level, expr)
