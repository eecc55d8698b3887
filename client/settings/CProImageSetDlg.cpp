#include "CProImageSetDlg.h"

#include "LangText.h"
#include "SettingsJson.h"
#include "SettingsLayout.h"
#include "libLumora.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimeEdit>

namespace {

constexpr const char* kSection = "ImageSet";
// The switch modes in the order of their codes: the list position is "Type".
constexpr const char* kModes[] = {"Mode0", "Mode1", "Mode2", "Mode3", "Mode4", "Mode5", "Mode6", "Mode7"};
// An int as typed: at most a sign and ten digits.
constexpr int kMaxNumberText = 11;

QLabel* label(const char* key, QWidget* parent)
{
    return new QLabel(LangText(kSection, key), parent);
}

void readTime(const Json::Value& color, const char* key, QTimeEdit* picker)
{
    const Json::Value& t = MemberObject(color, key);
    const QTime time(MemberInt(t, "Hour"), MemberInt(t, "Min"), MemberInt(t, "Sec"));
    // A time of day the picker cannot show leaves it as it was.
    if (time.isValid())
        picker->setTime(time);
}

Json::Value writeTime(const QTimeEdit* picker)
{
    const QTime time = picker->time();
    Json::Value t(Json::objectValue);
    t["Hour"] = time.hour();
    t["Min"] = time.minute();
    t["Sec"] = time.second();
    return t;
}

QLineEdit* numberEdit(QWidget* parent)
{
    auto* edit = new QLineEdit(QStringLiteral("0"), parent);
    edit->setMaxLength(kMaxNumberText);
    return edit;
}

} // namespace

CProImageSetDlg::CProImageSetDlg(QWidget* parent)
    : DevicePage(IDD, {"IspPicColor.info", GetPicColor, SetPicColor, Writer::Compact, SetReport::FailureOnly, true}, parent)
{
    setWindowTitle(text(kSection, "Title"));
    auto* outer = new QGridLayout(this);
    auto* box = new QGroupBox(text(kSection, "Group"), this);
    outer->addWidget(box, 0, 0, 1, 2);
    auto* grid = new QGridLayout(box);

    m_mode = control(1176, new QComboBox(box));
    for (const char* key : kModes)
        m_mode->addItem(text(kSection, key));
    m_mode->setCurrentIndex(-1);
    auto* modeLabel = label("Mode", box);
    modeLabel->setBuddy(m_mode);
    grid->addWidget(modeLabel, 0, 0);
    grid->addWidget(m_mode, 0, 1);

    auto* autoBox = new QGroupBox(text(kSection, "Auto"), box);
    auto* autoGrid = new QGridLayout(autoBox);
    m_level = control(1177, numberEdit(autoBox));
    m_time = control(1178, numberEdit(autoBox));
    autoGrid->addWidget(label("Level", autoBox), 0, 0);
    autoGrid->addWidget(m_level, 0, 1);
    autoGrid->addWidget(label("Time", autoBox), 1, 0);
    autoGrid->addWidget(m_time, 1, 1);
    grid->addWidget(autoBox, 1, 0, 1, 2);

    auto* timerBox = new QGroupBox(text(kSection, "Timer"), box);
    auto* timerGrid = new QGridLayout(timerBox);
    m_timerOn = control(1106, new QRadioButton(text(kSection, "TimerOn"), timerBox));
    m_timerOff = control(1107, new QRadioButton(text(kSection, "TimerOff"), timerBox));
    m_timer = new QButtonGroup(this);
    m_timer->addButton(m_timerOn, 0);
    m_timer->addButton(m_timerOff, 1);
    m_start = control(1179, new QTimeEdit(QTime(0, 0), timerBox));
    m_end = control(1180, new QTimeEdit(QTime(0, 0), timerBox));
    for (QTimeEdit* picker : {m_start, m_end}) {
        picker->setDisplayFormat(QStringLiteral("HH:mm:ss"));
        picker->setAlignment(Qt::AlignRight);
    }
    timerGrid->addWidget(m_timerOn, 0, 0);
    timerGrid->addWidget(m_timerOff, 0, 1);
    timerGrid->addWidget(label("Start", timerBox), 1, 0);
    timerGrid->addWidget(m_start, 1, 1);
    timerGrid->addWidget(label("End", timerBox), 2, 0);
    timerGrid->addWidget(m_end, 2, 1);
    grid->addWidget(timerBox, 0, 2, 2, 1);

    auto* set = control(1, new QPushButton(text(kSection, "Set"), this));
    set->setDefault(true);
    setSaveButton(set);
    outer->addWidget(set, 1, 1, Qt::AlignRight);
    outer->setRowStretch(2, 1);
}

void CProImageSetDlg::fromJson(const Json::Value& color)
{
    const int type = MemberInt(color, "Type");
    m_mode->setCurrentIndex(type >= 0 && type < m_mode->count() ? type : -1);
    m_level->setText(QString::number(MemberInt(color, "SwitchLevel")));
    m_time->setText(QString::number(MemberInt(color, "SwitchTime")));
    (MemberInt(color, "TimerOpera") == 0 ? m_timerOn : m_timerOff)->setChecked(true);
    readTime(color, "Start", m_start);
    readTime(color, "End", m_end);
}

QString CProImageSetDlg::validate() const
{
    bool ok = false;
    const int level = m_level->text().trimmed().toInt(&ok);
    if (!ok || level < 0 || level > 255) {
        m_level->setFocus();
        return text(kSection, "LevelRange");
    }
    m_time->text().trimmed().toInt(&ok);
    if (!ok) {
        m_time->setFocus();
        return text(kSection, "TimeNumber");
    }
    return {};
}

void CProImageSetDlg::toJson(Json::Value& color) const
{
    // A mode the list does not know stays as the device gave it: the page never invents one.
    if (m_mode->currentIndex() >= 0)
        color["Type"] = m_mode->currentIndex();
    color["SwitchLevel"] = m_level->text().trimmed().toInt();
    color["SwitchTime"] = m_time->text().trimmed().toInt();
    color["TimerOpera"] = m_timer->checkedId();
    color["Start"] = writeTime(m_start);
    color["End"] = writeTime(m_end);
}
