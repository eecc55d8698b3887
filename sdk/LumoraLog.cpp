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

void routeLinkLog()
{
    netlog::SetSink([](const std::string& line) {
        logger().forcedLog(log4cplus::ERROR_LOG_LEVEL, line);
    });
}

// log4cplus must be initialised once before its first use in the process; the library keeps it
// for the life of the process.
void ensureLog4cplus()
{
    static log4cplus::Initializer* initializer = new log4cplus::Initializer();
    (void)initializer;
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
        logger().setLogLevel(log4cplus::ERROR_LOG_LEVEL);
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

void Write(const char* file, int line, const char* function, const std::string& text)
{
    ensureLog4cplus();
    log4cplus::Logger l = logger();
    if (l.isEnabledFor(log4cplus::ERROR_LOG_LEVEL))
        l.forcedLog(log4cplus::ERROR_LOG_LEVEL, text, file, line, function);
}

} // namespace lumoralog
