#include "CSetDevServerDlg.h"

#include "SettingsJson.h"
#include "SettingsLayout.h"
#include "StringConvert.h"
#include "libLumora.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {
constexpr const char* kSection = "P2PServer";
} // namespace

CSetDevServerDlg::CSetDevServerDlg(QWidget* parent)
    : DevicePage(IDD, {"P2pSerCfg.info", GetP2PServer, SetP2PServer, Writer::Compact, SetReport::Common, false}, parent)
{
    setWindowTitle(text(kSection, "Title"));
    auto* grid = new QGridLayout(this);
    m_code = control(1229, new QLineEdit(this));
    m_code->setMaxLength(kMaxEditText);
    m_code->setMinimumWidth(360);
    auto* label = new QLabel(text(kSection, "Server"), this);
    label->setBuddy(m_code);
    grid->addWidget(label, 0, 0);
    grid->addWidget(m_code, 0, 1);
    auto* buttons = new QHBoxLayout;
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
    buttons->addStretch(1);
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    buttons->addStretch(1);
    grid->addLayout(buttons, 1, 0, 1, 2);
    grid->setRowStretch(2, 1);
    grid->setColumnStretch(1, 1);
}

void CSetDevServerDlg::fromJson(const Json::Value& server)
{
    // A code longer than the field takes is shown cut; the user sees what would be sent.
    m_code->setText(MemberText(server, "P2pSerCode"));
    m_code->setCursorPosition(0);
}

QString CSetDevServerDlg::validate() const
{
    return m_code->text().trimmed().isEmpty() ? text(kSection, "Empty") : QString();
}

void CSetDevServerDlg::toJson(Json::Value& server) const
{
    server["P2pSerCode"] = WideToMultiByte(m_code->text());
}

std::string CSetDevServerDlg::requestText(const Json::Value& server) const
{
    // The export takes the bare code, not a document.
    return server["P2pSerCode"].asString();
}
