#include "LumoraLog.h"

#include "NetLog.h"

#include <log4cplus/configurator.h>
#include <log4cplus/fileappender.h>
#include <log4cplus/helpers/loglog.h>
#include <log4cplus/initializer.h>
#include <log4cplus/layout.h>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>
#include <memory>
#include <mutex>

namespace lumoralog {

// Kept for the life of the process; external so that it stays a root for leak checkers.
log4cplus::Initializer* g_log4cplusInitializer = nullptr;

namespace {

constexpr const char* kLoggerName = "DllSysInfo";
constexpr const char* kAppenderName = "DllSysState";
constexpr const char* kLogFile = "DllSysState.log";
constexpr const char* kPattern = "%D{%y-%m-%d %H:%M:%S,%Q} [%t] %p : %m%n";

std::mutex g_mutex;
bool g_initialised = false;

log4cplus::Logger logger()
{
    return log4cplus::Logger::getInstance(LOG4CPLUS_TEXT(kLoggerName));
}

log4cplus::LogLevel levelOf(netlog::Level level)
{
    switch (level) {
    case netlog::Level::Debug:
        return log4cplus::DEBUG_LOG_LEVEL;
    case netlog::Level::Info:
        return log4cplus::INFO_LOG_LEVEL;
    case netlog::Level::Warn:
        return log4cplus::WARN_LOG_LEVEL;
    case netlog::Level::Error:
        break;
    }
    return log4cplus::ERROR_LOG_LEVEL;
}

void routeLinkLog()
{
    netlog::SetSink([](netlog::Level level, const std::string& text, const char* file, int line, const char* function) {
        log4cplus::Logger l = logger();
        const log4cplus::LogLevel ll = levelOf(level);
        if (l.isEnabledFor(ll))
            l.forcedLog(ll, text, file, line, function);
    });
}

// log4cplus must be initialised once before its first use in the process; the library keeps it
// for the life of the process (threads of the library may still log while the process ends).
std::once_flag g_log4cplusOnce;

void ensureLog4cplus()
{
    std::call_once(g_log4cplusOnce, [] { g_log4cplusInitializer = new log4cplus::Initializer(); });
}

} // namespace

void InitLog()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_initialised)
        return;
    g_initialised = true;
    try {
        ensureLog4cplus();
        // The library writes nothing to the standard streams: log4cplus's own notes stay quiet.
        log4cplus::helpers::LogLog::getLogLog()->setQuietMode(true);
        log4cplus::SharedAppenderPtr appender(new log4cplus::RollingFileAppender(
            LOG4CPLUS_TEXT(kLogFile), 2, 10, true, false));
        appender->setName(LOG4CPLUS_TEXT(kAppenderName));
        appender->setLayout(std::make_unique<log4cplus::PatternLayout>(LOG4CPLUS_TEXT(kPattern)));
        log4cplus::Logger::getRoot().addAppender(appender);
        logger().setLogLevel(log4cplus::INFO_LOG_LEVEL);
        routeLinkLog();
    } catch (...) {
        log4cplus::Logger::getRoot().log(log4cplus::FATAL_LOG_LEVEL, LOG4CPLUS_TEXT("InitLog Fail"));
    }
}

void InitLogWithConfig()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_initialised)
        return;
    g_initialised = true;
    try {
        ensureLog4cplus();
        log4cplus::PropertyConfigurator::doConfigure(LOG4CPLUS_TEXT("DllSysInfo.properties"));
        routeLinkLog();
    } catch (...) {
        log4cplus::Logger::getRoot().log(log4cplus::FATAL_LOG_LEVEL, LOG4CPLUS_TEXT("InitLogWithConfig Fail"));
    }
}

} // namespace lumoralog
