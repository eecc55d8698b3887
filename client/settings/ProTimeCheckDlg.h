// The clock page: the device's date and time, its time zone and network time of "Time.Conf".
//
// The device keeps universal time; the page shows and takes local time of the zone the page sends
// (ClockTime.h). OK sends the typed date and time; "Computer" sends the PC's own clock and zone.
#pragma once

#include "ClockTime.h"
#include "DevicePage.h"

#include <optional>

class QCheckBox;
class QComboBox;
class QLineEdit;

class ProTimeCheckDlg : public DevicePage {
    Q_OBJECT
public:
    static constexpr int IDD = 333;
    explicit ProTimeCheckDlg(QWidget* parent = nullptr);

    // The zone codes of the zone list, by list index.
    static constexpr int kZoneCodes[29] = {2,  4,  6,  8,  10, 12, 14, 16, 17, 18, 20, 22, 24, 26, 28,
                                           30, 31, 32, 33, 34, 35, 36, 38, 40, 42, 43, 44, 46, 48};
    // The zone sent while no zone is chosen: +8:00.
    static constexpr int kDefaultZoneCode = 40;

protected:
    void fromJson(const Json::Value& conf) override;
    void toJson(Json::Value& conf) const override;
    QString validate() const override;

private:
    // The code of the chosen zone, or kDefaultZoneCode.
    int zoneCode() const;
    // The typed date-time as the device's universal time; nothing when it is no date-time.
    std::optional<ClockFields> typedClock() const;
    void syncComputer();

    QLineEdit* m_clock;
    QComboBox* m_zone;
    QComboBox* m_ntpServer;
    QCheckBox* m_ntp;
    std::optional<PcClock> m_pcClock; // while the PC-clock button sends
};
