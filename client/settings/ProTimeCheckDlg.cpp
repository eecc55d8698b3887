#include "ProTimeCheckDlg.h"

#include "SettingsJson.h"
#include "SettingsLayout.h"
#include "StringConvert.h"
#include "libLumora.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QGridLayout>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>
#include <iterator>

namespace {

// Public time services: a national time-standards institute, Korea's standards institute, an
// operating-system vendor, a Korean network provider and a university.
constexpr const char* kNtpServers[] = {"time.nist.gov", "time.kriss.re.kr", "time.windows.com", "time.bora.net",
                                       "tick.usask.ca"};

void putClock(Json::Value& conf, const ClockFields& utc)
{
    Json::Value& date = conf["Date"];
    date["Year"] = utc.year;
    date["Mon"] = utc.month;
    date["Day"] = utc.day;
    Json::Value& time = conf["Time"];
    time["Hour"] = utc.hour;
    time["Min"] = utc.minute;
    time["Sec"] = utc.second;
}

} // namespace

ProTimeCheckDlg::ProTimeCheckDlg(QWidget* parent)
    : DevicePage(IDD, {"Time.Conf", GetTimezone, SetTimezone, Writer::Styled, SetReport::Common, false}, parent)
{
    auto* grid = new QGridLayout(this);
    m_clock = control(1039, new QLineEdit(this));
    m_clock->setMaxLength(kMaxEditText);
    grid->addWidget(m_clock, 0, 0, 1, 2);

    m_zone = control(1040, new QComboBox(this));
    for (int i = 0; i < int(std::size(kZoneCodes)); ++i)
        m_zone->addItem(text("TimeCheck", QStringLiteral("datetimeZone%1").arg(i).toLatin1().constData()));
    m_zone->setCurrentIndex(-1);
    grid->addWidget(m_zone, 1, 0, 1, 2);

    // The server may be typed; a server of the device's that the list lacks is shown as typed.
    m_ntpServer = control(1041, new QComboBox(this));
    m_ntpServer->setEditable(true);
    m_ntpServer->setInsertPolicy(QComboBox::NoInsert);
    m_ntpServer->lineEdit()->setMaxLength(kMaxEditText);
    for (const char* host : kNtpServers)
        m_ntpServer->addItem(QString::fromLatin1(host));
    m_ntpServer->setCurrentIndex(-1);
    grid->addWidget(m_ntpServer, 2, 0, 1, 2);
    m_ntp = control(1044, new QCheckBox(text("TimeCheck", "NetCheck"), this));
    grid->addWidget(m_ntp, 2, 2);

    auto* computer = control(1043, new QPushButton(text("TimeCheck", "Computer"), this));
    enableWithDevice(computer);
    connect(computer, &QPushButton::clicked, this, [this] { syncComputer(); });
    grid->addWidget(computer, 3, 1, Qt::AlignRight);
    auto* set = control(1, new QPushButton(text("TimeCheck", "Set"), this));
    set->setDefault(true);
    setSaveButton(set);
    grid->addWidget(set, 3, 2);

    grid->setColumnStretch(0, 1);
    grid->setColumnMinimumWidth(0, 160);
    grid->setRowStretch(4, 1);
}

int ProTimeCheckDlg::zoneCode() const
{
    const int index = m_zone->currentIndex();
    return index >= 0 && index < int(std::size(kZoneCodes)) ? kZoneCodes[index] : kDefaultZoneCode;
}

void ProTimeCheckDlg::fromJson(const Json::Value& conf)
{
    // A zone the list lacks leaves the choice as it was; the clock is shown in the zone OK sends.
    const int code = MemberInt(conf, "TimeZone", -1);
    const int* found = std::find(std::begin(kZoneCodes), std::end(kZoneCodes), code);
    if (found != std::end(kZoneCodes))
        m_zone->setCurrentIndex(int(found - std::begin(kZoneCodes)));

    const Json::Value& date = MemberObject(conf, "Date");
    const Json::Value& time = MemberObject(conf, "Time");
    const ClockFields utc{MemberInt(date, "Year"), MemberInt(date, "Mon"), MemberInt(date, "Day"),
                          MemberInt(time, "Hour"), MemberInt(time, "Min"), MemberInt(time, "Sec")};
    // A device clock that is no date-time is shown as it came, for the user to correct.
    m_clock->setText(FormatClock(ShiftClock(utc, ZoneOffsetMinutes(zoneCode())).value_or(utc)));

    m_ntp->setChecked(MemberBool(conf, "NtpEnable"));
    const QString server = MemberText(conf, "NtpServ");
    if (!server.isEmpty()) {
        const int index = m_ntpServer->findText(server, Qt::MatchExactly | Qt::MatchCaseSensitive);
        m_ntpServer->setCurrentIndex(index);
        if (index < 0)
            m_ntpServer->setEditText(server);
    }
}

std::optional<ClockFields> ProTimeCheckDlg::typedClock() const
{
    const std::optional<ClockFields> local = ParseClock(m_clock->text());
    return local ? ShiftClock(*local, -ZoneOffsetMinutes(zoneCode())) : std::nullopt;
}

QString ProTimeCheckDlg::validate() const
{
    if (m_pcClock)
        return {};
    return typedClock() ? QString() : text("Common", "FailRemind");
}

void ProTimeCheckDlg::toJson(Json::Value& conf) const
{
    if (m_pcClock) {
        putClock(conf, m_pcClock->utc);
        conf["TimeZone"] = m_pcClock->zoneCode;
    } else {
        if (const std::optional<ClockFields> utc = typedClock())
            putClock(conf, *utc);
        conf["TimeZone"] = zoneCode();
    }
    conf["NtpEnable"] = m_ntp->isChecked();
    conf["NtpServ"] = WideToMultiByte(m_ntpServer->currentText().trimmed());
}

void ProTimeCheckDlg::syncComputer()
{
    // The edit and the zone list are neither read nor changed.
    m_pcClock = ClockOfPc(QDateTime::currentDateTimeUtc());
    save();
    m_pcClock.reset();
}
