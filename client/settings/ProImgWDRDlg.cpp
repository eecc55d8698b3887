#include "ProImgWDRDlg.h"

#include "SettingsJson.h"
#include "libLumora.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

namespace {
constexpr const char* kSection = "WDRSet";
constexpr int kMaxNumberText = 11; // a sign and ten digits
} // namespace

ProImgWDRDlg::ProImgWDRDlg(QWidget* parent)
    : DevicePage(IDD, {"IspWdr.info", GetWDR, SetWDR, Writer::Compact, SetReport::FailureOnly, true}, parent)
{
    setWindowTitle(text(kSection, "Title"));
    auto* grid = new QGridLayout(this);
    m_enable = control(1186, new QCheckBox(text(kSection, "WdrEn"), this));
    m_auto = control(1106, new QRadioButton(text(kSection, "Auto"), this));
    m_manual = control(1107, new QRadioButton(text(kSection, "Manual"), this));
    m_mode = new QButtonGroup(this);
    m_mode->addButton(m_auto, 0);
    m_mode->addButton(m_manual, 1);
    m_auto->setChecked(true);
    m_value = control(1187, new QLineEdit(QStringLiteral("0"), this));
    m_value->setMaxLength(kMaxNumberText);
    auto* label = new QLabel(text(kSection, "Value"), this);
    label->setBuddy(m_value);
    grid->addWidget(m_enable, 0, 0, 1, 2);
    grid->addWidget(m_auto, 1, 0);
    grid->addWidget(m_manual, 1, 1);
    grid->addWidget(label, 2, 0);
    grid->addWidget(m_value, 2, 1);
    auto* set = control(1, new QPushButton(text(kSection, "Set"), this));
    set->setDefault(true);
    enableWithDevice(set);
    // The page closes once the settings went out; a refused value keeps it open.
    connect(set, &QPushButton::clicked, this, [this] {
        const bool sendable = validate().isEmpty();
        save();
        if (sendable)
            emit closeRequested();
    });
    grid->addWidget(set, 2, 2);
    grid->setRowStretch(3, 1);
    grid->setColumnStretch(1, 1);
}

void ProImgWDRDlg::fromJson(const Json::Value& wdr)
{
    m_enable->setChecked(MemberBool(wdr, "WdrEn"));
    (MemberBool(wdr, "WdrManEn") ? m_manual : m_auto)->setChecked(true);
    m_value->setText(QString::number(MemberInt(wdr, "WdrVal")));
}

QString ProImgWDRDlg::validate() const
{
    bool ok = false;
    const int value = m_value->text().trimmed().toInt(&ok);
    if (!ok || value < 0 || value > 255) {
        m_value->setFocus();
        return text(kSection, "ValRange");
    }
    return {};
}

void ProImgWDRDlg::toJson(Json::Value& wdr) const
{
    wdr["WdrEn"] = m_enable->isChecked();
    wdr["WdrManEn"] = m_mode->checkedId() == 1 ? 1 : 0;
    wdr["WdrVal"] = m_value->text().trimmed().toInt();
}
