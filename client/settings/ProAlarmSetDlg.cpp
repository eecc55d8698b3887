#include "ProAlarmSetDlg.h"

#include "CMoveRectStatic.h"
#include "SettingsJson.h"
#include "libLumora.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTime>
#include <QTimeEdit>
#include <QVBoxLayout>
#include <climits>

namespace {

constexpr const char* kSection = "AlarmSet";
constexpr int kMaxNumberText = 11; // "-2147483648"

// A row of the schedule: its "Week" index, check box, language key, and the start and end
// pickers of its two periods.
struct DayControls {
    int week;
    int flag;
    const char* key;
    int time[2][2];
};
// On the screen in four lines of two: every day and Monday, Tuesday and Wednesday, Thursday and
// Friday, Saturday and Sunday.
constexpr DayControls kDays[8] = {
    {0, 1127, "Eve", {{1128, 1129}, {1130, 1131}}}, {2, 1132, "Mon", {{1133, 1134}, {1135, 1136}}},
    {3, 1138, "Tue", {{1137, 1139}, {1140, 1141}}}, {4, 1143, "Wed", {{1142, 1144}, {1145, 1146}}},
    {5, 1148, "Thu", {{1147, 1149}, {1150, 1151}}}, {6, 1152, "Fri", {{1153, 1154}, {1155, 1156}}},
    {7, 1157, "Sat", {{1158, 1159}, {1160, 1161}}}, {1, 1162, "Sun", {{1163, 1164}, {1165, 1166}}},
};

// parent[key] as an object: made one when missing or of another type, so that writing into it
// cannot throw.
Json::Value& objectMember(Json::Value& parent, const char* key)
{
    Json::Value& v = parent[key];
    if (!v.isObject())
        v = Json::Value(Json::objectValue);
    return v;
}

void selectIndex(QComboBox* box, int index)
{
    box->setCurrentIndex(index >= 0 && index < box->count() ? index : -1);
}

Json::Value timeOf(const QTime& t)
{
    Json::Value v(Json::objectValue);
    v["Hour"] = t.isValid() ? t.hour() : -1;
    v["Min"] = t.isValid() ? t.minute() : -1;
    v["Sec"] = t.isValid() ? t.second() : -1;
    return v;
}

// "Start" or "End" of a period into its picker; a time that is not a time of day leaves it.
void showTime(QTimeEdit* edit, const Json::Value& period, const char* key)
{
    const Json::Value& t = MemberObject(period, key);
    const QTime time(MemberInt(t, "Hour"), MemberInt(t, "Min"), MemberInt(t, "Sec"));
    if (time.isValid())
        edit->setTime(time);
}

} // namespace

ProAlarmSetDlg::ProAlarmSetDlg(QWidget* parent)
    : DevicePage(IDD, {"Alarm.MoveAlarm", GetAlarmSetting, SetAlarmSetting, Writer::Compact, SetReport::Common, true}, parent)
{
    auto label = [this](int id, const char* key) { return control(id, new QLabel(text(kSection, key), this)); };
    auto group = [this](int id, const char* key) { return control(id, new QGroupBox(text(kSection, key), this)); };
    auto numberEdit = [this](int id, const char* initial) {
        auto* edit = control(id, new QLineEdit(QString::fromLatin1(initial), this));
        edit->setMaxLength(kMaxNumberText);
        return edit;
    };
    auto choices = [this](int id, int count) {
        auto* box = control(id, new QComboBox(this));
        for (int i = 0; i < count; ++i)
            box->addItem(QString::number(i));
        box->setCurrentIndex(-1);
        return box;
    };

    // Motion detection and its area.
    auto* motion = group(1322, "MoveAlarm");
    auto* motionGrid = new QGridLayout(motion);
    m_motion = control(1102, new QCheckBox(text(kSection, "EnMotion"), this));
    auto* clear = control(1103, new QPushButton(text(kSection, "ClearRect"), this));
    m_sensitivity = choices(1104, 8);
    m_grid = control(1119, new CMoveRectStatic(this));
    motionGrid->addWidget(m_motion, 0, 0, 1, 3);
    motionGrid->addWidget(clear, 1, 0);
    motionGrid->addWidget(label(1323, "Sensitivity"), 1, 1, Qt::AlignRight);
    motionGrid->addWidget(m_sensitivity, 1, 2);
    motionGrid->addWidget(m_grid, 2, 0, 1, 3, Qt::AlignCenter);
    connect(clear, &QPushButton::clicked, m_grid, &CMoveRectStatic::ClearArea);

    // The alarm output.
    auto* io = group(1324, "IOAlarm");
    auto* ioGrid = new QGridLayout(io);
    m_delay = choices(1118, 6);
    m_high = control(1106, new QRadioButton(text(kSection, "HLevel"), this));
    m_low = control(1107, new QRadioButton(text(kSection, "LLevel"), this));
    m_level = new QButtonGroup(this);
    m_level->addButton(m_high, 0);
    m_level->addButton(m_low, 1);
    m_high->setChecked(true);
    ioGrid->addWidget(label(1325, "IODelay"), 0, 0);
    ioGrid->addWidget(m_delay, 0, 1);
    ioGrid->addWidget(m_high, 1, 0);
    ioGrid->addWidget(m_low, 1, 1);
    ioGrid->setColumnStretch(2, 1);

    // Recording on an alarm.
    auto* rec = group(1326, "AlarmRec");
    auto* recGrid = new QGridLayout(rec);
    m_record = control(1108, new QCheckBox(text(kSection, "EnRec"), this));
    m_recordFtp = control(1110, new QCheckBox(text(kSection, "Upload"), this));
    m_recordTime = numberEdit(1121, "0");
    recGrid->addWidget(m_record, 0, 0);
    recGrid->addWidget(m_recordFtp, 0, 1);
    recGrid->addWidget(label(1327, "RecTime"), 1, 0);
    recGrid->addWidget(m_recordTime, 1, 1);

    // Snapshots on an alarm.
    auto* snap = group(1328, "AlarmSnap");
    auto* snapGrid = new QGridLayout(snap);
    m_snapFtp = control(1111, new QCheckBox(text(kSection, "Upload"), this));
    m_pictures = numberEdit(1122, "5");
    m_snapSec = numberEdit(1123, "0");
    m_snapMsec = numberEdit(1125, "0");
    snapGrid->addWidget(m_snapFtp, 0, 0, 1, 2);
    snapGrid->addWidget(label(1329, "SnapNum"), 1, 0);
    snapGrid->addWidget(m_pictures, 1, 1);
    snapGrid->addWidget(label(1330, "SnapSec"), 2, 0);
    snapGrid->addWidget(m_snapSec, 2, 1);
    snapGrid->addWidget(label(1331, "SnapMSec"), 3, 0);
    snapGrid->addWidget(m_snapMsec, 3, 1);

    // The preset position the camera turns to.
    auto* pre = group(1332, "AlarmPre");
    auto* preGrid = new QGridLayout(pre);
    m_preset = control(1126, new QComboBox(this));
    m_preset->setMinimumContentsLength(10);
    preGrid->addWidget(label(1333, "PreID"), 0, 0);
    preGrid->addWidget(m_preset, 0, 1);
    preGrid->setColumnStretch(1, 1);

    // The week schedule: headers over both halves, then the rows two by two.
    auto* week = group(1334, "AlarmTimeSet");
    auto* weekGrid = new QGridLayout(week);
    weekGrid->addWidget(label(1335, "Beg"), 0, 1, Qt::AlignCenter);
    weekGrid->addWidget(label(1336, "End"), 0, 2, Qt::AlignCenter);
    weekGrid->addWidget(label(1337, "Beg"), 0, 5, Qt::AlignCenter);
    weekGrid->addWidget(label(1338, "End"), 0, 6, Qt::AlignCenter);
    weekGrid->setColumnMinimumWidth(3, 16);
    for (int i = 0; i < 8; ++i) {
        const DayControls& d = kDays[i];
        DayRow& row = m_days[d.week];
        const int line = 1 + (i / 2) * 2;
        const int column = (i % 2) * 4;
        row.flag = control(d.flag, new QCheckBox(text(kSection, d.key), this));
        weekGrid->addWidget(row.flag, line, column, 2, 1);
        for (int period = 0; period < 2; ++period) {
            for (int end = 0; end < 2; ++end) {
                auto* edit = control(d.time[period][end], new QTimeEdit(QTime(0, 0, 0), this));
                edit->setDisplayFormat(QStringLiteral("HH:mm:ss"));
                edit->setAlignment(Qt::AlignRight);
                row.time[period][end] = edit;
                weekGrid->addWidget(edit, line + period, column + 1 + end);
            }
        }
    }

    auto* set = control(1, new QPushButton(text(kSection, "Set"), this));
    set->setDefault(true);
    setSaveButton(set);

    auto* left = new QVBoxLayout;
    left->addWidget(motion);
    left->addWidget(io);
    auto* right = new QVBoxLayout;
    right->addWidget(rec);
    right->addWidget(snap);
    right->addWidget(pre);
    right->addStretch(1);
    auto* top = new QHBoxLayout;
    top->addLayout(left);
    top->addLayout(right);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(week);
    bottom->addWidget(set, 0, Qt::AlignBottom);
    auto* page = new QVBoxLayout(this);
    page->addLayout(top);
    page->addLayout(bottom);
    page->addStretch(1);
}

void ProAlarmSetDlg::onLoad()
{
    // A new load lists the device's presets afresh; the document chooses among them once both
    // have come, whichever comes first.
    m_preset->clear();
    m_presetsCame = false;
    m_documentCame = false;
    m_grid->CancelDrag();
    ask(GetPresetPTZ, [this](int result, const std::string& reply) { onPresetList(result, reply); });
}

void ProAlarmSetDlg::onPresetList(int result, const std::string& reply)
{
    if (result != 0)
        return;
    const std::optional<Json::Value> root = ParseDeviceText(reply);
    if (!root)
        return;
    const Json::Value& list = MemberObject(*root, "PrePointList.info");
    if (!list.isObject())
        return;
    const Json::Value& points = MemberArray(list, "Points");
    m_preset->clear();
    for (Json::ArrayIndex i = 0; i < points.size(); ++i) {
        const QString desc = MemberText(MemberObject(points[i], "PtzPreBit.info"), "Desc");
        m_preset->addItem(desc.isEmpty() ? text("RTPannel", "PTZPreset") + QString::number(i) : desc);
    }
    m_presetsCame = true;
    choosePreset();
}

void ProAlarmSetDlg::choosePreset()
{
    if (m_presetsCame && m_documentCame)
        selectIndex(m_preset, m_devicePreset - 1);
    else
        m_preset->setCurrentIndex(-1);
}

void ProAlarmSetDlg::setAlarmLevel(int level)
{
    // Neither button checked shows a level that is neither high nor low.
    m_level->setExclusive(false);
    m_high->setChecked(level == 0);
    m_low->setChecked(level == 1);
    m_level->setExclusive(true);
}

int ProAlarmSetDlg::alarmLevel() const
{
    return m_high->isChecked() ? 0 : m_low->isChecked() ? 1 : -1;
}

void ProAlarmSetDlg::fromJson(const Json::Value& alarm)
{
    const Json::Value& move = MemberObject(alarm, "MoveInfo");
    m_motion->setChecked(MemberBool(move, "MdEnable"));
    selectIndex(m_sensitivity, MemberInt(move, "Sensitive"));
    m_grid->SetArea(move.isObject() ? move["Area"] : Json::Value());

    const Json::Value& policy = MemberObject(alarm, "PolicyInfo");
    const Json::Value& io = MemberObject(policy, "IoOutputInfo");
    setAlarmLevel(MemberInt(io, "AlarmLevel"));
    selectIndex(m_delay, MemberInt(io, "Delay"));
    const Json::Value& rec = MemberObject(policy, "RecordInfo");
    m_record->setChecked(MemberBool(rec, "RecEnable"));
    m_recordFtp->setChecked(MemberBool(rec, "FtpEnable"));
    m_recordTime->setText(QString::number(MemberInt(rec, "RecordTime")));
    const Json::Value& snap = MemberObject(policy, "SnapInfo");
    m_snapFtp->setChecked(MemberBool(snap, "FtpEnable"));
    m_pictures->setText(QString::number(MemberInt(snap, "PictureNum")));
    m_snapSec->setText(QString::number(MemberInt(snap, "Sec")));
    m_snapMsec->setText(QString::number(MemberInt(snap, "Msec")));
    m_devicePreset = MemberInt(MemberObject(policy, "PresetInfo"), "PresetId");
    m_documentCame = true;
    choosePreset();

    // Rows and periods the document has no entry for keep what they show; with more than two
    // periods the last one is shown in period 2.
    const Json::Value& days = MemberArray(alarm, "Week");
    for (Json::ArrayIndex i = 0; i < days.size() && i < 8; ++i) {
        const Json::Value& day = days[i];
        DayRow& row = m_days[i];
        row.flag->setChecked(MemberBool(day, "Flag"));
        const Json::Value& periods = MemberArray(day, "TimePeriod");
        for (Json::ArrayIndex j = 0; j < periods.size(); ++j) {
            const int period = j == 0 ? 0 : 1;
            showTime(row.time[period][0], periods[j], "Start");
            showTime(row.time[period][1], periods[j], "End");
        }
    }
}

QString ProAlarmSetDlg::validate() const
{
    struct Number {
        QLineEdit* edit;
        int low;
        int high;
    };
    const Number numbers[] = {
        {m_pictures, 0, 10}, {m_recordTime, INT_MIN, INT_MAX}, {m_snapSec, INT_MIN, INT_MAX}, {m_snapMsec, INT_MIN, INT_MAX}};
    for (const Number& n : numbers) {
        bool ok = false;
        const int value = n.edit->text().trimmed().toInt(&ok);
        if (!ok || value < n.low || value > n.high) {
            n.edit->setFocus();
            n.edit->selectAll();
            return n.low != INT_MIN ? text(kSection, "PicNumRange") : text(kSection, "NumError");
        }
    }
    return {};
}

void ProAlarmSetDlg::toJson(Json::Value& alarm) const
{
    m_grid->CommitSelection();
    Json::Value move(Json::objectValue);
    move["MdEnable"] = m_motion->isChecked() ? 1 : 0;
    move["Sensitive"] = m_sensitivity->currentIndex();
    move["Area"] = m_grid->GetArea();
    alarm["MoveInfo"] = move;

    Json::Value& policy = objectMember(alarm, "PolicyInfo");
    Json::Value& io = objectMember(policy, "IoOutputInfo");
    io["AlarmLevel"] = alarmLevel();
    io["Delay"] = m_delay->currentIndex();
    Json::Value& rec = objectMember(policy, "RecordInfo");
    rec["RecEnable"] = m_record->isChecked() ? 1 : 0;
    rec["RecordTime"] = m_recordTime->text().trimmed().toInt();
    rec["FtpEnable"] = m_recordFtp->isChecked() ? 1 : 0;
    Json::Value& snap = objectMember(policy, "SnapInfo");
    snap["PictureNum"] = m_pictures->text().trimmed().toInt();
    snap["Sec"] = m_snapSec->text().trimmed().toInt();
    snap["Msec"] = m_snapMsec->text().trimmed().toInt();
    snap["FtpEnable"] = m_snapFtp->isChecked() ? 1 : 0;
    Json::Value& preset = objectMember(policy, "PresetInfo");
    // Without the device's list there is nothing to choose from: its own choice goes back.
    preset["PresetId"] = m_presetsCame ? m_preset->currentIndex() + 1 : MemberInt(preset, "PresetId");

    Json::Value days(Json::arrayValue);
    for (const DayRow& row : m_days) {
        Json::Value day(Json::objectValue);
        day["Flag"] = row.flag->isChecked() ? 1 : 0;
        Json::Value periods(Json::arrayValue);
        for (const auto& period : row.time) {
            Json::Value p(Json::objectValue);
            p["Start"] = timeOf(period[0]->time());
            p["End"] = timeOf(period[1]->time());
            periods.append(p);
        }
        day["TimePeriod"] = periods;
        days.append(day);
    }
    alarm["Week"] = days;
}
