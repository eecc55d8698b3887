#include "ProWirelessDlg.h"

#include "CXListCtrl.h"
#include "SettingsJson.h"
#include "SettingsLayout.h"
#include "StringConvert.h"
#include "libLumora.h"

#include <QCheckBox>
#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>

namespace {

constexpr const char* kSection = "WiFiSet";

// The state text of "WirelessStatus"; null for a code without one (the shown text stays).
const char* statusKey(int code)
{
    switch (code) {
    case 0:
    case 1:
    case 2:
    case 3:
        return "Disconnect";
    case 4:
        return "Connecting";
    case 5:
        return "RequestAddr";
    case 6:
        return "Connected";
    case 7:
        return "Fail";
    default:
        return nullptr;
    }
}

// Shares of the list's width, in thirteenths: name, signal, encryption.
constexpr int kColumnShares[] = {5, 4, 4};
const QColor kRowBackground(255, 225, 255);

} // namespace

ProWirelessDlg::ProWirelessDlg(QWidget* parent)
    : DevicePage(IDD, {"NetWork.Wireless", GetWirelessEth, SetWirelessEth, Writer::Styled, SetReport::Common, false}, parent)
{
    auto* grid = new QGridLayout(this);
    auto edit = [this](int id) {
        auto* e = control(id, new QLineEdit(this));
        e->setMaxLength(kMaxEditText);
        return e;
    };
    auto row = [this, grid](int labelId, const char* key, QLineEdit* e, int at) {
        auto* label = control(labelId, new QLabel(text(kSection, key), this));
        label->setBuddy(e);
        grid->addWidget(label, at, 0);
        grid->addWidget(e, at, 1);
    };

    m_enable = control(1017, new QCheckBox(text(kSection, "OpenWiFi"), this));
    m_status = control(1018, new QLabel(text(kSection, "WiFiStatus"), this));
    grid->addWidget(m_enable, 0, 1);
    grid->addWidget(m_status, 1, 1);
    m_ssid = edit(1020);
    m_password = edit(1022);
    m_encType = edit(1024);
    row(1019, "SSID", m_ssid, 2);
    row(1021, "Password", m_password, 3);
    row(1023, "EncType", m_encType, 4);
    m_dhcp = control(1028, new QCheckBox(QStringLiteral("DHCP"), this));
    grid->addWidget(m_dhcp, 5, 1);
    m_ip = edit(1030);
    m_mask = edit(1032);
    m_gateway = edit(1033);
    row(1029, "IPAddr", m_ip, 6);
    row(1031, "Mask", m_mask, 7);
    row(1010, "Gateway", m_gateway, 8);
    auto* set = control(1, new QPushButton(text(kSection, "Set"), this));
    set->setDefault(true);
    setSaveButton(set);
    grid->addWidget(set, 9, 1, Qt::AlignRight);

    m_found = control(1026, new CXListCtrl(this));
    m_found->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_found->setSelectionMode(QAbstractItemView::SingleSelection);
    m_found->InsertColumn(0, QStringLiteral("SSID"));
    m_found->InsertColumn(1, text(kSection, "Signal"));
    m_found->InsertColumn(2, text(kSection, "EncType"));
    m_found->installEventFilter(this);
    grid->addWidget(m_found, 0, 2, 9, 1);
    // The scan asks the device, so it waits for the device's first answer as OK does; the switch
    // enables the button itself inside that.
    auto* scanHolder = new QWidget(this);
    auto* scanLayout = new QHBoxLayout(scanHolder);
    scanLayout->setContentsMargins(0, 0, 0, 0);
    m_scan = control(1027, new QPushButton(text(kSection, "WiFiSearch"), scanHolder));
    scanLayout->addWidget(m_scan);
    enableWithDevice(scanHolder);
    grid->addWidget(scanHolder, 9, 2, Qt::AlignRight);
    grid->setColumnStretch(1, 2);
    grid->setColumnStretch(2, 3);
    grid->setRowStretch(10, 1);

    connect(m_enable, &QCheckBox::clicked, this, [this](bool on) { applyEnabling(on); });
    connect(m_scan, &QPushButton::clicked, this, [this] { scan(); });
    connect(m_found, &QTableWidget::cellDoubleClicked, this, [this](int r, int) { useFoundNetwork(r); });
}

void ProWirelessDlg::applyEnabling(bool on)
{
    for (QWidget* w : {static_cast<QWidget*>(m_ssid), static_cast<QWidget*>(m_password),
                       static_cast<QWidget*>(m_encType), static_cast<QWidget*>(m_scan)})
        w->setEnabled(on);
}

void ProWirelessDlg::fromJson(const Json::Value& wireless)
{
    m_enable->setChecked(MemberBool(wireless, "WirelessEnable"));
    applyEnabling(m_enable->isChecked());
    m_dhcp->setChecked(MemberBool(wireless, "DhcpEnble"));
    if (HasInt(wireless, "WirelessStatus")) {
        if (const char* key = statusKey(MemberInt(wireless, "WirelessStatus")))
            m_status->setText(text(kSection, key));
    }
    m_ssid->setText(HasString(wireless, "SSID") ? Utf8ToWide(wireless["SSID"].asString()) : QString());
    m_password->setText(MemberText(wireless, "Password"));
    m_encType->setText(MemberText(wireless, "EncType"));
    m_ip->setText(MemberText(wireless, "IP"));
    m_mask->setText(MemberText(wireless, "Netmask"));
    m_gateway->setText(MemberText(wireless, "Getway"));
}

void ProWirelessDlg::toJson(Json::Value& wireless) const
{
    wireless["WirelessEnable"] = m_enable->isChecked();
    wireless["DhcpEnble"] = m_dhcp->isChecked();
    wireless["SSID"] = WideToUtf8(m_ssid->text());
    wireless["EncType"] = WideToMultiByte(m_encType->text());
    wireless["Password"] = WideToMultiByte(m_password->text());
    // The state is the device's to report; a set always carries 0.
    wireless["WirelessStatus"] = 0;
    wireless["IP"] = WideToMultiByte(m_ip->text());
    wireless["Getway"] = WideToMultiByte(m_gateway->text());
    wireless["Netmask"] = WideToMultiByte(m_mask->text());
}

void ProWirelessDlg::scan()
{
    m_found->DeleteAllItems();
    ask(SearchWireless, [this](int result, const std::string& reply) { onScanReply(result, reply); });
}

void ProWirelessDlg::onScanReply(int result, const std::string& reply)
{
    if (result != 0)
        return; // a failed scan leaves the list as the scan button left it: empty
    const std::optional<Json::Value> root = ParseDeviceText(reply);
    if (!root)
        return;
    const Json::Value& found = MemberArray(MemberObject(*root, "NetWork.WirelessSearch"), "Aplist");
    if (found.empty())
        return;
    m_found->setUpdatesEnabled(false);
    for (const Json::Value& ap : found) {
        if (!ap.isObject())
            continue; // not an access point: no row rather than an empty one
        const int row = m_found->InsertItem(m_found->rowCount(), QString());
        const QString ssid = HasString(ap, "SSID") ? Utf8ToWide(ap["SSID"].asString()) : QString();
        m_found->SetItemText(row, 0, ssid, Qt::black, kRowBackground);
        m_found->SetItemText(row, 1, QString::number(MemberInt(ap, "RSSI")), Qt::black, kRowBackground);
        m_found->SetItemText(row, 2, MemberText(ap, "EncType"), Qt::black, kRowBackground);
    }
    m_found->setUpdatesEnabled(true);
}

void ProWirelessDlg::useFoundNetwork(int row)
{
    if (row < 0 || row >= m_found->rowCount())
        return;
    m_ssid->setText(m_found->GetItemText(row, 0));
    m_encType->setText(m_found->GetItemText(row, 2));
    // The new network's password is for the user to type.
    m_password->clear();
}

bool ProWirelessDlg::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_found && event->type() == QEvent::Resize)
        sizeColumns();
    return DevicePage::eventFilter(watched, event);
}

void ProWirelessDlg::sizeColumns()
{
    const int scrollBar = m_found->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, m_found);
    const int usable = m_found->width() - scrollBar - 2 * m_found->frameWidth();
    for (int c = 0; c < 3; ++c)
        m_found->setColumnWidth(c, usable * kColumnShares[c] / 13);
}
