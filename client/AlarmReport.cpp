#include "AlarmReport.h"

#include <cstdio>
#include <exception>
#include <json/json.h>
#include <memory>

namespace {

int number(const Json::Value& object, const char* key)
{
    if (!object.isObject())
        return 0;
    const Json::Value& v = object[key];
    if (v.isInt())
        return v.asInt();
    if (v.isUInt())
        return static_cast<int>(v.asUInt() & 0x7fffffffU);
    if (v.isDouble() && v.asDouble() > -2147483648.0 && v.asDouble() < 2147483648.0)
        return static_cast<int>(v.asDouble());
    return 0;
}

} // namespace

std::string AlarmReport::timeText() const
{
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour, minute, second);
    return buffer;
}

std::optional<AlarmReport> ParseAlarmReport(const char* text, std::size_t length)
{
    if (text == nullptr || length == 0)
        return std::nullopt;
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["stackLimit"] = 64;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    // jsoncpp throws (Json::RuntimeError) past the stack limit instead of failing the parse.
    try {
        if (!reader->parse(text, text + length, &root, &errors) || !root.isObject())
            return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
    const Json::Value& info = root["AlarmReport.info"];
    AlarmReport report;
    report.type = number(info, "AlarmType");
    report.state = number(info, "AlarmSta");
    const Json::Value& time = info.isObject() ? info["AlarmTime"] : Json::Value();
    const Json::Value& date = info.isObject() ? info["AlarmDate"] : Json::Value();
    report.second = number(time, "Sec");
    report.minute = number(time, "Min");
    report.hour = number(time, "Hour");
    report.day = number(date, "Day");
    report.month = number(date, "Mon");
    report.year = number(date, "Year");
    return report;
}
