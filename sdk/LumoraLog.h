// The SDK's log file over log4cplus, the sink of libLumora's one log facade (NETLOG, NetLog.h):
// every line of the SDK and of the device link goes to the logger "DllSysInfo", which writes INFO
// and above; InitLog attaches the rolling "DllSysState.log" appender once per process.
#pragma once

namespace lumoralog {

// Sets up the rolling file appender "DllSysState" ("DllSysState.log" in the current folder,
// 10 backups) on the root logger and the level INFO on "DllSysInfo"; only the first call of the
// process (or of InitLogWithConfig) does anything. Routes the device link's log lines here.
void InitLog();
// The same set-up from "DllSysInfo.properties" in the current folder.
void InitLogWithConfig();

} // namespace lumoralog
