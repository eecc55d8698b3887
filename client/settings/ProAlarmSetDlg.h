// The alarm page: motion detection with its area (the motion grid), the alarm output, what the
// device does on an alarm (record, snapshots, FTP upload, a preset position) and the week schedule
// of "Alarm.MoveAlarm". The page keeps the device's document and sends it whole, every value an
// integer.
//
// The preset choice lists the device's preset positions in the device's order ("PrePointList.info"
// of a second request); "PresetId" is 1 for the first of them and 0 for none. The preset list and
// the alarm document may answer in either order: the document's preset is chosen once both have
// come, and while the list is missing the page sends back the device's own "PresetId".
#pragma once

#include "DevicePage.h"

class CMoveRectStatic;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QRadioButton;
class QTimeEdit;

class ProAlarmSetDlg : public DevicePage {
    Q_OBJECT
public:
    static constexpr int IDD = 335;
    explicit ProAlarmSetDlg(QWidget* parent = nullptr);

    CMoveRectStatic* grid() const { return m_grid; }

protected:
    void fromJson(const Json::Value& alarm) override;
    void toJson(Json::Value& alarm) const override;
    QString validate() const override;
    void onLoad() override;

private:
    void onPresetList(int result, const std::string& text);
    void choosePreset();
    void setAlarmLevel(int level);
    int alarmLevel() const;

    CMoveRectStatic* m_grid;
    QCheckBox* m_motion;
    QComboBox* m_sensitivity;
    QComboBox* m_delay;
    QRadioButton* m_high;
    QRadioButton* m_low;
    QButtonGroup* m_level;
    QCheckBox* m_record;
    QCheckBox* m_recordFtp;
    QLineEdit* m_recordTime;
    QCheckBox* m_snapFtp;
    QLineEdit* m_pictures;
    QLineEdit* m_snapSec;
    QLineEdit* m_snapMsec;
    QComboBox* m_preset;

    // One row of the schedule per "Week" index: its check box and its two periods' start and
    // end pickers.
    struct DayRow {
        QCheckBox* flag = nullptr;
        QTimeEdit* time[2][2] = {};
    };
    DayRow m_days[8];

    bool m_presetsCame = false;  // the preset list of the current load has been filled in
    bool m_documentCame = false; // the alarm document of the current load has been shown
    int m_devicePreset = 0;      // "PresetId" of the document shown, chosen once the list came
};
