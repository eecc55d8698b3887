// The clock page: the device keeps universal time and a zone code, the page shows and takes local
// time of that zone. The arithmetic is checked by tables without a camera; the page against a
// camera for what it shows, what it sends, what it refuses and the PC's clock.
#include "SettingsPageSupport.h"
#include "settings/ClockTime.h"
#include "settings/DevicePages.h"
#include "settings/ProTimeCheckDlg.h"

#include "LangText.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QLineEdit>
#include <QPushButton>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <optional>
#include <string>

using namespace settingstest;

namespace {

// Sets the process's local zone for its lifetime (the C library and Qt read TZ after tzset).
class LocalZone {
public:
    explicit LocalZone(const char* tz)
    {
        if (const char* old = std::getenv("TZ"))
            m_previous = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~LocalZone()
    {
        if (m_previous)
            setenv("TZ", m_previous->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> m_previous;
};

// The local zone's offset east of universal time at this moment, in seconds, from the C library.
long localOffsetNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local.tm_gmtoff;
}

ClockFields at(int y, int mo, int d, int h, int mi, int s)
{
    return ClockFields{y, mo, d, h, mi, s};
}

} // namespace

// ---- The arithmetic ----

TEST(ClockArithmetic, ZoneCodesCountHalfHoursFromUniversalTime)
{
    // Every code of the zone list, with the offset the list names.
    const int offsets[29] = {-660, -600, -540, -480, -420, -360, -300, -240, -210, -180, -120, -60, 0, 60, 120,
                             180,  210,  240,  270,  300,  330,  360,  420,  480,  540,  570,  600, 660, 720};
    for (int i = 0; i < 29; ++i)
        EXPECT_EQ(ZoneOffsetMinutes(ProTimeCheckDlg::kZoneCodes[i]), offsets[i]) << "list index " << i;
}

TEST(ClockArithmetic, DeviceTimeIsShownInItsZoneCarriedIntoTheDate)
{
    struct Row {
        const char* name;
        ClockFields device;
        int zone;
        ClockFields shown;
    };
    const Row rows[] = {
        {"+8 on the same day", at(2016, 1, 5, 2, 0, 0), 40, at(2016, 1, 5, 10, 0, 0)},
        {"universal time", at(2016, 1, 5, 2, 0, 0), 24, at(2016, 1, 5, 2, 0, 0)},
        {"+5:30 keeps the half hour", at(2016, 1, 5, 2, 0, 0), 35, at(2016, 1, 5, 7, 30, 0)},
        {"-4", at(2016, 1, 5, 14, 0, 0), 16, at(2016, 1, 5, 10, 0, 0)},
        {"forward into the next year", at(2016, 12, 31, 20, 15, 9), 40, at(2017, 1, 1, 4, 15, 9)},
        {"back into 29 February", at(2016, 3, 1, 1, 0, 0), 12, at(2016, 2, 29, 19, 0, 0)},
        {"-3:30 back into the last year", at(2016, 1, 1, 0, 10, 0), 17, at(2015, 12, 31, 20, 40, 0)},
    };
    for (const Row& r : rows) {
        const int offset = ZoneOffsetMinutes(r.zone);
        EXPECT_EQ(ShiftClock(r.device, offset), r.shown) << r.name;
        EXPECT_EQ(ShiftClock(r.shown, -offset), r.device) << r.name << ", typed back";
    }
    EXPECT_EQ(FormatClock(at(2016, 1, 5, 9, 3, 7)), "2016-1-5 9:3:7");
}

TEST(ClockArithmetic, TypedTextsOfAnotherFormOrNoCalendarDateAreRefused)
{
    struct Row {
        const char* text;
        std::optional<ClockFields> fields; // of the form
        bool date;                         // and a real date-time
    };
    const Row rows[] = {
        {"2016-1-5 9:3:7", at(2016, 1, 5, 9, 3, 7), true},
        {"2016-01-05 23:59:59", at(2016, 1, 5, 23, 59, 59), true},
        {"2016-13-5 9:3:7", std::nullopt, false},
        {"2016-1-5 24:0:0", std::nullopt, false},
        {"2016-1-5 9:60:0", std::nullopt, false},
        {"2016-1-5  9:3:7", std::nullopt, false},
        {" 2016-1-5 9:3:7", std::nullopt, false},
        {"2016-1-5 9:3:7x", std::nullopt, false},
        {"16-1-5 9:3:7", std::nullopt, false},
        {"2016-02-31 10:00:00", at(2016, 2, 31, 10, 0, 0), false},
        {"2016-0-0 0:0:0", at(2016, 0, 0, 0, 0, 0), false},
        {"\xd9\xa2\xd9\xa0\xd9\xa1\xd9\xa6-1-5 9:3:7", std::nullopt, false}, // Arabic-Indic digits
    };
    for (const Row& r : rows) {
        const std::optional<ClockFields> parsed = ParseClock(QString::fromUtf8(r.text));
        EXPECT_EQ(parsed, r.fields) << r.text;
        EXPECT_EQ(parsed && ShiftClock(*parsed, 0).has_value(), r.date) << r.text;
    }
    EXPECT_FALSE(ShiftClock(at(1, 1, 1, 2, 0, 0), -ZoneOffsetMinutes(40))) << "before year 1";
}

TEST(ClockArithmetic, ThePcClockFollowsTheZoneRulesOfItsInstant)
{
    struct Row {
        const char* tz;
        QDateTime instant;
        int zone;
    };
    const QDateTime summer(QDate(2024, 7, 1), QTime(23, 30, 5), Qt::UTC);
    const QDateTime winter(QDate(2024, 1, 15), QTime(23, 30, 5), Qt::UTC);
    const Row rows[] = {
        {"CET-1CEST,M3.5.0,M10.5.0/3", summer, 28},   // daylight saving: +2
        {"CET-1CEST,M3.5.0,M10.5.0/3", winter, 26},   // standard time: +1
        {"IST-5:30", summer, 35},                      // half hour kept
        {"NPT-5:45", summer, 35},                      // quarter hour: toward universal time
        {"EST5EDT,M3.2.0,M11.1.0", summer, 16},        // west: -4 in summer
        {"XST-14", winter, 48},                        // beyond the last code a device knows
    };
    for (const Row& r : rows) {
        LocalZone zone(r.tz);
        const PcClock pc = ClockOfPc(r.instant);
        EXPECT_EQ(pc.zoneCode, r.zone) << r.tz << " at " << r.instant.toString(Qt::ISODate).toStdString();
        const QDate d = r.instant.date();
        EXPECT_EQ(pc.utc, at(d.year(), d.month(), d.day(), 23, 30, 5)) << r.tz << ": the device takes universal time";
    }
    // The same instant given in local time is the same instant.
    LocalZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(ClockOfPc(summer.toLocalTime()).utc, at(2024, 7, 1, 23, 30, 5));
}

// ---- The page against a camera ----

namespace {

Json::Value timeConf(ClockFields utc, int zone, bool ntp, const char* server)
{
    Json::Value conf;
    conf["Date"]["Year"] = utc.year;
    conf["Date"]["Mon"] = utc.month;
    conf["Date"]["Day"] = utc.day;
    conf["Time"]["Hour"] = utc.hour;
    conf["Time"]["Min"] = utc.minute;
    conf["Time"]["Sec"] = utc.second;
    conf["TimeZone"] = zone;
    conf["NtpEnable"] = ntp;
    if (server != nullptr)
        conf["NtpServ"] = server;
    return conf;
}

int zoneIndex(int code)
{
    for (int i = 0; i < 29; ++i)
        if (ProTimeCheckDlg::kZoneCodes[i] == code)
            return i;
    return -1;
}

class ClockPageTest : public OneCameraTest {};

} // namespace

TEST_F(ClockPageTest, TheDevicesUniversalTimeIsShownInItsZone)
{
    struct Row {
        const char* name;
        Json::Value stored;
        const char* clock;
        int zoneIndex;
        bool ntp;
        const char* server; // the NTP list's text
        int serverIndex;
    };
    const Row rows[] = {
        {"+8", timeConf(at(2026, 3, 14, 2, 0, 0), 40, true, "time.nist.gov"), "2026-3-14 10:0:0", 23, true, "time.nist.gov", 0},
        {"universal time", timeConf(at(2026, 3, 14, 2, 0, 0), 24, false, "time.bora.net"), "2026-3-14 2:0:0", 12, false,
         "time.bora.net", 3},
        {"-11 back into the last year", timeConf(at(2026, 1, 1, 5, 7, 9), 2, true, "ntp.example.org"), "2025-12-31 18:7:9", 0,
         true, "ntp.example.org", -1},
        // A zone the list lacks keeps the choice, and the clock is shown in the chosen zone (-11).
        {"unknown zone, no server", timeConf(at(2026, 1, 1, 5, 7, 9), 41, false, nullptr), "2025-12-31 18:7:9", 0, false,
         "ntp.example.org", -1},
        {"+9:30 into the next month", timeConf(at(2026, 4, 30, 20, 45, 0), 43, true, "time.windows.com"), "2026-5-1 6:15:0",
         25, true, "time.windows.com", 2},
        // A device clock that is no date-time is shown as it came, for the user to correct.
        {"no date-time", timeConf(at(2026, 2, 30, 25, 0, 0), 40, true, "time.windows.com"), "2026-2-30 25:0:0", 23, true,
         "time.windows.com", 2},
    };
    ProTimeCheckDlg page;
    for (const Row& r : rows) {
        ASSERT_TRUE(cam().setDocument("Time.Conf", r.stored));
        ASSERT_EQ(loadPage(page, cam()), 0) << r.name;
        EXPECT_EQ(ctl<QLineEdit>(&page, 1039)->text(), r.clock) << r.name;
        EXPECT_EQ(ctl<QComboBox>(&page, 1040)->currentIndex(), r.zoneIndex) << r.name;
        EXPECT_EQ(ctl<QCheckBox>(&page, 1044)->isChecked(), r.ntp) << r.name;
        EXPECT_EQ(ctl<QComboBox>(&page, 1041)->currentText(), r.server) << r.name;
        EXPECT_EQ(ctl<QComboBox>(&page, 1041)->currentIndex(), r.serverIndex) << r.name;
    }
    EXPECT_EQ(ctl<QComboBox>(&page, 1040)->count(), 29);
    EXPECT_EQ(ctl<QComboBox>(&page, 1041)->count(), 5) << "a device's own server is shown, not added";
    EXPECT_EQ(ctl<QComboBox>(&page, 1040)->itemText(23), LangText("TimeCheck", "datetimeZone23"));
    EXPECT_TRUE(messages.texts().isEmpty());
}

TEST_F(ClockPageTest, OkSendsTheTypedLocalTimeAsUniversalTime)
{
    struct Row {
        const char* name;
        const char* typed;
        int zone;
        Json::Value sent;
    };
    const Row rows[] = {
        {"+8", "2016-1-5 9:3:7", 40, timeConf(at(2016, 1, 5, 1, 3, 7), 40, false, "time.kriss.re.kr")},
        {"+5:30 back across midnight", "2016-1-1 3:0:0", 35, timeConf(at(2015, 12, 31, 21, 30, 0), 35, false, "time.kriss.re.kr")},
        {"-5 forward across midnight", "2016-02-29 22:00:00", 14, timeConf(at(2016, 3, 1, 3, 0, 0), 14, false, "time.kriss.re.kr")},
    };
    ASSERT_TRUE(cam().setDocument("Time.Conf", timeConf(at(2026, 3, 14, 2, 0, 0), 24, true, "time.nist.gov")));
    ProTimeCheckDlg page;
    ASSERT_EQ(loadPage(page, cam()), 0);
    ctl<QCheckBox>(&page, 1044)->setChecked(false);
    ctl<QComboBox>(&page, 1041)->setCurrentIndex(1);
    for (const Row& r : rows) {
        messages.clear();
        ctl<QLineEdit>(&page, 1039)->setText(QString::fromLatin1(r.typed));
        ctl<QComboBox>(&page, 1040)->setCurrentIndex(zoneIndex(r.zone));
        ASSERT_EQ(savePage(page), 0) << r.name;
        EXPECT_EQ(messages.texts(), QStringList{LangText("Common", "Success")}) << r.name;
        EXPECT_EQ(lastSent(cam(), 1404, "Time.Conf"), r.sent) << r.name;
        EXPECT_EQ(cam().document("Time.Conf"), r.sent) << r.name << ": the camera keeps what it received";
    }

    // A server typed into the list's field is sent as typed.
    ctl<QComboBox>(&page, 1041)->setEditText(QStringLiteral(" ntp.example.org "));
    ASSERT_EQ(savePage(page), 0);
    EXPECT_EQ(lastSent(cam(), 1404, "Time.Conf")["NtpServ"].asString(), "ntp.example.org");
}

TEST_F(ClockPageTest, ATypedTextThatIsNoDateTimeIsRefusedAndNothingSent)
{
    ASSERT_TRUE(cam().setDocument("Time.Conf", timeConf(at(2026, 3, 14, 2, 0, 0), 40, true, "time.nist.gov")));
    ProTimeCheckDlg page;
    ASSERT_EQ(loadPage(page, cam()), 0);
    const char* refused[] = {"2016-13-5 9:3:7", "2016-1-5 24:0:0", "2016-02-31 10:00:00", "2016-1-5  9:3:7", "5.1.2016 9:3:7"};
    for (const char* typed : refused) {
        messages.clear();
        const size_t before = sentCount(cam(), 1404);
        ctl<QLineEdit>(&page, 1039)->setText(QString::fromLatin1(typed));
        ctl<QPushButton>(&page, 1)->click();
        settle(cam());
        EXPECT_EQ(sentCount(cam(), 1404), before) << typed;
        EXPECT_EQ(messages.texts(), QStringList{LangText("Common", "FailRemind")}) << typed;
        EXPECT_EQ(ctl<QLineEdit>(&page, 1039)->text(), typed) << "the typed text stays for correcting";
    }
}

TEST_F(ClockPageTest, ThePcButtonSendsThePcsClockWithDaylightSaving)
{
    // Daylight saving all year round, so the test does not depend on the date: standard time is
    // +4:30, the PC's clock runs at +5:30.
    LocalZone zone("XST-4:30XDT,0/0,J365/25");
    ASSERT_EQ(localOffsetNow(), 330 * 60) << "the C library reads the zone rules";
    ASSERT_TRUE(cam().setDocument("Time.Conf", timeConf(at(2026, 3, 14, 2, 0, 0), 40, true, "time.windows.com")));
    ProTimeCheckDlg page;
    auto* computer = ctl<QPushButton>(&page, 1043);
    EXPECT_FALSE(computer->isEnabled()) << "nothing to send before the device answered";
    ASSERT_EQ(loadPage(page, cam()), 0);
    ctl<QLineEdit>(&page, 1039)->setText(QStringLiteral("not a date")); // the button reads neither the edit
    ctl<QComboBox>(&page, 1040)->setCurrentIndex(0);                    // nor the zone list

    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    ASSERT_EQ(savePage(page, 1043), 0);
    const QDateTime after = QDateTime::currentDateTimeUtc().addSecs(1);
    EXPECT_EQ(messages.texts(), QStringList{LangText("Common", "Success")});

    const Json::Value sent = lastSent(cam(), 1404, "Time.Conf");
    EXPECT_EQ(sent["TimeZone"], 35);
    EXPECT_EQ(sent["NtpEnable"], true);
    EXPECT_EQ(sent["NtpServ"], "time.windows.com");
    const QDateTime utc(QDate(sent["Date"]["Year"].asInt(), sent["Date"]["Mon"].asInt(), sent["Date"]["Day"].asInt()),
                        QTime(sent["Time"]["Hour"].asInt(), sent["Time"]["Min"].asInt(), sent["Time"]["Sec"].asInt()), Qt::UTC);
    EXPECT_TRUE(utc >= before && utc <= after) << "universal time of the moment sent: " << utc.toString(Qt::ISODate).toStdString();
    EXPECT_EQ(ctl<QLineEdit>(&page, 1039)->text(), "not a date");
    EXPECT_EQ(ctl<QComboBox>(&page, 1040)->currentIndex(), 0);
}
