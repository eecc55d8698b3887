// The clock page's date-time arithmetic, free of widgets and devices.
//
// A device keeps its clock in universal time plus a zone code: 24 + 2 x the zone's offset from
// universal time in hours, so that the code counts half hours (40 is +8:00, 35 is +5:30, 24 is
// universal time). The page shows and takes the device's local time. Shifting between the two
// carries into the date, month and year, and keeps the half hour of the half-hour zones.
//
//   ClockFields shown = *ShiftClock(deviceUtc, ZoneOffsetMinutes(40)); // 2:00 UTC -> 10:00
//   std::optional<ClockFields> typed = ParseClock("2016-1-5 9:3:7");
#pragma once

#include <QDateTime>
#include <QString>
#include <optional>

struct ClockFields {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    bool operator==(const ClockFields&) const = default;
};

// The offset from universal time of a zone code, in minutes (code 35 gives 330).
int ZoneOffsetMinutes(int zoneCode);

// t moved by minutes, carried into the date. Nothing when t is no calendar date and time of day
// (month 13, 31 February, hour 24) or the result leaves the four-digit years a device takes.
std::optional<ClockFields> ShiftClock(const ClockFields& t, int minutes);

// "year-month-day hour:minute:second" without leading zeros ("2016-1-5 9:3:7").
QString FormatClock(const ClockFields& t);

// The fields of a typed date-time: a four-digit year, a month up to 12, a day up to 31, one
// white-space character, an hour up to 23, a minute and a second up to 59, each of one or two
// digits, and nothing else. Nothing when the text has another form; the calendar is not checked
// here (ShiftClock does).
std::optional<ClockFields> ParseClock(const QString& text);

// The PC's clock as a device takes it: the zone code of the PC's offset at that instant, daylight
// saving included (half hours kept, truncated toward universal time, within the codes a device
// knows: 2 to 48), and the universal time of the instant.
struct PcClock {
    int zoneCode = 24;
    ClockFields utc;
};
PcClock ClockOfPc(const QDateTime& instant);
