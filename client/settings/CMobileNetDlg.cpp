#include "CMobileNetDlg.h"

#include "SettingsJson.h"
#include "libLumora.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QPushButton>
#include <QRadioButton>

namespace {
constexpr const char* kSection = "MobileNet";
} // namespace

CMobileNetDlg::CMobileNetDlg(QWidget* parent)
    : DevicePage(IDD, {"Net.Mobile", GetMobileNet, SetMobileNet, Writer::Styled, SetReport::Common, true}, parent)
{
    setWindowTitle(text(kSection, "Title"));
    auto* grid = new QGridLayout(this);
    m_on = control(1106, new QRadioButton(text(kSection, "On"), this));
    m_off = control(1107, new QRadioButton(text(kSection, "Off"), this));
    m_switch = new QButtonGroup(this);
    m_switch->addButton(m_on, 1);
    m_switch->addButton(m_off, 0);
    grid->addWidget(m_on, 0, 0);
    grid->addWidget(m_off, 0, 1);
    auto* ok = control(1, new QPushButton(text(kSection, "OK"), this));
    auto* cancel = control(2, new QPushButton(text(kSection, "Cancel"), this));
    ok->setDefault(true);
    enableWithDevice(ok);
    connect(ok, &QPushButton::clicked, this, [this] {
        const bool sendable = validate().isEmpty();
        save();
        if (sendable)
            emit closeRequested();
    });
    connect(cancel, &QPushButton::clicked, this, &DevicePage::closeRequested);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    buttons->addStretch(1);
    grid->addLayout(buttons, 1, 0, 1, 2);
    grid->setRowStretch(2, 1);
}

void CMobileNetDlg::fromJson(const Json::Value& mobile)
{
    const Json::Value& enable = mobile.isMember("enable") ? mobile["enable"] : Json::Value::nullSingleton();
    if (enable.isNull() || enable.isBool() || enable.isNumeric()) {
        // No "enable" says the link is off, as devices without one report it.
        const bool on = enable.isBool() ? enable.asBool() : enable.isNumeric() && enable.asDouble() != 0;
        (on ? m_on : m_off)->setChecked(true);
        return;
    }
    // An "enable" of another kind says nothing: the user chooses.
    m_switch->setExclusive(false);
    m_on->setChecked(false);
    m_off->setChecked(false);
    m_switch->setExclusive(true);
}

QString CMobileNetDlg::validate() const
{
    return m_switch->checkedId() < 0 ? text(kSection, "Choose") : QString();
}

void CMobileNetDlg::toJson(Json::Value& mobile) const
{
    mobile["enable"] = m_on->isChecked();
}
