// The SDK's log facade. Lines go to the installed sink (the SDK's rolling log file once it is set
// up; a tool may install one that writes to its standard error); with no sink they are dropped.
// Never log passwords or keys.
#pragma once

#include <functional>
#include <sstream>
#include <string>

namespace netlog {

using Sink = std::function<void(const std::string& line)>;
void SetSink(Sink sink);
void Write(const char* file, int line, const char* function, const std::string& text);

} // namespace netlog

// NETLOG("connect to frist  " << rc << " uid " << uid);
#define NETLOG(expr)                                                                                         \
    do {                                                                                                     \
        std::ostringstream netlog_stream_;                                                                   \
        netlog_stream_ << expr;                                                                              \
        ::netlog::Write(__FILE__, __LINE__, __PRETTY_FUNCTION__, netlog_stream_.str());                      \
    } while (0)
