#include "ClockTime.h"

#include <QRegularExpression>
#include <algorithm>

namespace {

constexpr int kLowestZoneCode = 2;   // -11:00
constexpr int kHighestZoneCode = 48; // +12:00

} // namespace

int ZoneOffsetMinutes(int zoneCode)
{
    return (zoneCode - 24) * 30;
}

std::optional<ClockFields> ShiftClock(const ClockFields& t, int minutes)
{
    const QDate date(t.year, t.month, t.day);
    const QTime time(t.hour, t.minute, t.second);
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    const QDateTime shifted = QDateTime(date, time, Qt::UTC).addSecs(qint64(minutes) * 60);
    const QDate d = shifted.date();
    const QTime tm = shifted.time();
    if (d.year() < 1 || d.year() > 9999)
        return std::nullopt;
    return ClockFields{d.year(), d.month(), d.day(), tm.hour(), tm.minute(), tm.second()};
}

QString FormatClock(const ClockFields& t)
{
    return QStringLiteral("%1-%2-%3 %4:%5:%6").arg(t.year).arg(t.month).arg(t.day).arg(t.hour).arg(t.minute).arg(t.second);
}

std::optional<ClockFields> ParseClock(const QString& text)
{
    // [0-9] rather than \d: only ASCII digits are a device's digits.
    static const QRegularExpression pattern(QStringLiteral(
        "\\A([0-9]{4})-(0[0-9]|1[0-2]|[0-9])-(0[0-9]|[12][0-9]|3[01]|[0-9])\\s"
        "(0[0-9]|1[0-9]|2[0-3]|[0-9]):([0-5][0-9]|[0-9]):([0-5][0-9]|[0-9])\\z"));
    const QRegularExpressionMatch m = pattern.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    auto field = [&m](int i) { return m.capturedView(i).toInt(); };
    return ClockFields{field(1), field(2), field(3), field(4), field(5), field(6)};
}

PcClock ClockOfPc(const QDateTime& instant)
{
    const int offsetSeconds = instant.toLocalTime().offsetFromUtc();
    PcClock pc;
    pc.zoneCode = std::clamp(24 + offsetSeconds / 1800, kLowestZoneCode, kHighestZoneCode);
    const QDateTime utc = instant.toUTC();
    const QDate d = utc.date();
    const QTime t = utc.time();
    pc.utc = ClockFields{d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second()};
    return pc;
}
