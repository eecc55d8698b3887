#include "CLocalRecPlanDlg.h"

#include "FrameText.h"
#include "StringConvert.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTime>
#include <QTimeEdit>
#include <QVBoxLayout>
#include <cstdio>

namespace {

constexpr const char* kSection = "LocRecSet";
constexpr const char* kTimeFormat = "HH:mm:ss";

// The day rows in plan order: check box, start and end picker ids, and where the row stands
// (every day and Monday on the first line, then Tuesday and Wednesday...).
struct DayControls {
    int check;
    int start;
    int end;
    int line;
    int side;
};
constexpr DayControls kDayControls[] = {
    {1289, 1290, 1291, 0, 0}, {1295, 1296, 1297, 0, 1}, {1292, 1293, 1294, 1, 0}, {1298, 1299, 1300, 1, 1},
    {1301, 1302, 1303, 2, 0}, {1304, 1305, 1306, 2, 1}, {1307, 1308, 1309, 3, 0}, {1310, 1311, 1312, 3, 1},
};

template <class W> W* named(int id, W* widget)
{
    widget->setObjectName(QStringLiteral("ctl_%1").arg(id));
    return widget;
}

// A stored time "hours:minutes:seconds"; an invalid time when the text holds fewer than three
// numbers or they are no time of day.
QTime parseTime(const QString& text)
{
    const std::string narrow = WideToUtf8(text);
    int h = -1, m = -1, s = -1;
    if (std::sscanf(narrow.c_str(), "%d:%d:%d", &h, &m, &s) != 3)
        return {};
    return QTime(h, m, s); // invalid unless 0-23, 0-59, 0-59
}

QTimeEdit* timePicker(int id, QWidget* parent)
{
    auto* picker = named(id, new QTimeEdit(QTime::currentTime(), parent));
    picker->setDisplayFormat(QString::fromLatin1(kTimeFormat));
    picker->setAlignment(Qt::AlignRight);
    return picker;
}

} // namespace

CLocalRecPlanDlg::CLocalRecPlanDlg(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("LocalRecPlanDlg"));
    setModal(false);
    setWindowTitle(LangText("ToolBar", "LocalRecPlan"));
    // A copy under CAppConfig's lock: the plan worker reloads the shared plan on its own thread.
    m_plan = CAppConfig::GetInstance()->CopyRecPlan();

    auto* options = new QVBoxLayout;
    m_enable = named(1286, new QCheckBox(LangText(kSection, "OpenLocRec"), this));
    m_autoCover = named(1287, new QCheckBox(LangText(kSection, "AutoCover"), this));
    auto* lengthLabel = named(1052, new QLabel(LangText(kSection, "RecTime"), this));
    m_length = named(1288, new QComboBox(this));
    for (int minutes : kLengths)
        m_length->addItem(QString::number(minutes));
    lengthLabel->setBuddy(m_length);
    options->addWidget(m_enable);
    options->addWidget(m_autoCover);
    options->addSpacing(12);
    options->addWidget(lengthLabel);
    options->addWidget(m_length);
    options->addStretch(1);

    m_enable->setChecked(m_plan.Enable);
    m_autoCover->setChecked(m_plan.AutoCover);
    // An index outside the list leaves nothing selected.
    m_length->setCurrentIndex(m_plan.RecTime >= 0 && m_plan.RecTime < static_cast<int>(kLengths.size()) ? m_plan.RecTime : -1);

    static constexpr const char* kDayKeys[] = {"Eve", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    auto* days = new QGridLayout;
    for (size_t i = 0; i < m_days.size(); ++i) {
        const DayControls& c = kDayControls[i];
        DayRow& row = m_days[i];
        row.enable = named(c.check, new QCheckBox(LangText(kSection, kDayKeys[i]), this));
        row.start = timePicker(c.start, this);
        row.end = timePicker(c.end, this);
        const RecPlanDay& day = m_plan.days[i];
        row.enable->setChecked(day.enable);
        // A stored text that is no time of day leaves the picker where it was.
        if (const QTime start = parseTime(day.start); start.isValid())
            row.start->setTime(start);
        if (const QTime end = parseTime(day.end); end.isValid())
            row.end->setTime(end);
        const int column = c.side * 4;
        days->addWidget(row.enable, c.line, column);
        days->addWidget(row.start, c.line, column + 1);
        days->addWidget(row.end, c.line, column + 2);
    }
    days->setColumnMinimumWidth(3, 24);

    auto* ok = named(1, new QPushButton(LangText(kSection, "Set"), this));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &CLocalRecPlanDlg::accept);

    auto* top = new QHBoxLayout;
    top->addLayout(options);
    top->addSpacing(24);
    top->addLayout(days, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ok);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(buttons);
}

void CLocalRecPlanDlg::accept()
{
    m_plan.Enable = m_enable->isChecked();
    m_plan.AutoCover = m_autoCover->isChecked();
    // With nothing selected (a stored length the list has not) the stored index stays.
    if (m_length->currentIndex() >= 0)
        m_plan.RecTime = m_length->currentIndex();
    for (size_t i = 0; i < m_days.size(); ++i) {
        RecPlanDay& day = m_plan.days[i];
        day.enable = m_days[i].enable->isChecked();
        day.start = m_days[i].start->time().toString(QString::fromLatin1(kTimeFormat));
        day.end = m_days[i].end->time().toString(QString::fromLatin1(kTimeFormat));
    }
    CAppConfig::GetInstance()->StoreRecPlan(m_plan);
    QDialog::accept();
}
