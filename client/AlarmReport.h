// The event document a camera pushes as device message 1502 and the texts the client makes of
// it. The document comes from the network: anything that is not a JSON object is refused.
//
//   {"AlarmReport.info": {"AlarmType": n, "AlarmSta": n,
//                         "AlarmTime": {"Sec", "Min", "Hour"}, "AlarmDate": {"Day", "Mon", "Year"}}}
// A missing or non-numeric number reads as 0.
#pragma once

#include <optional>
#include <string>

struct AlarmReport {
    int type = 0;
    int state = 0; // 1: alarm raised (pop-up and sound)
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;

    // "%04d-%02d-%02d %02d:%02d:%02d"
    std::string timeText() const;
    bool raised() const { return state == 1; }
};

std::optional<AlarmReport> ParseAlarmReport(const char* text, std::size_t length);
