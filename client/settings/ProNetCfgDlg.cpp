#include "ProNetCfgDlg.h"

#include "SettingsJson.h"
#include "SettingsLayout.h"
#include "StringConvert.h"
#include "libLumora.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {

// The edits in document order: control id, label id, label key (or the label's own text), key.
struct AddressField {
    int edit;
    int label;
    const char* langKey;
    const char* fixedLabel;
    const char* key;
};
constexpr AddressField kFields[] = {
    {1006, 1008, "IPAddr", nullptr, "IP"},   {1009, 1010, "Mask", nullptr, "Netmask"},
    {1011, 1014, "Gateway", nullptr, "Getway"}, {1012, 1015, nullptr, "DNS1", "DNS1"},
    {1013, 1016, nullptr, "DNS2", "DNS2"},
};

} // namespace

ProNetCfgDlg::ProNetCfgDlg(QWidget* parent)
    : DevicePage(IDD, {"NetWork.Eth", GetNetworkEth, SetNetworkEth, Writer::Styled, SetReport::Common, false}, parent)
{
    auto* grid = new QGridLayout(this);
    m_dhcp = control(1007, new QCheckBox(text("NetSet", "DHCP"), this));
    grid->addWidget(m_dhcp, 0, 1);
    QLineEdit* edits[5] = {};
    int row = 1;
    for (const AddressField& f : kFields) {
        auto* label = control(f.label, new QLabel(f.langKey ? text("NetSet", f.langKey) : QString::fromLatin1(f.fixedLabel), this));
        auto* edit = control(f.edit, new QLineEdit(this));
        edit->setMaxLength(kMaxEditText);
        label->setBuddy(edit);
        grid->addWidget(label, row, 0);
        grid->addWidget(edit, row, 1);
        edits[row - 1] = edit;
        ++row;
    }
    m_ip = edits[0];
    m_mask = edits[1];
    m_gateway = edits[2];
    m_dns1 = edits[3];
    m_dns2 = edits[4];
    auto* set = control(1, new QPushButton(text("NetSet", "Set"), this));
    set->setDefault(true);
    setSaveButton(set);
    grid->addWidget(set, row, 1, Qt::AlignRight);
    grid->setRowStretch(row + 1, 1);
    grid->setColumnStretch(2, 1);
}

void ProNetCfgDlg::fromJson(const Json::Value& eth)
{
    m_dhcp->setChecked(MemberBool(eth, "DhcpEnble"));
    m_ip->setText(MemberText(eth, "IP"));
    m_mask->setText(MemberText(eth, "Netmask"));
    m_gateway->setText(MemberText(eth, "Getway"));
    m_dns1->setText(MemberText(eth, "DNS1"));
    m_dns2->setText(MemberText(eth, "DNS2"));
}

void ProNetCfgDlg::toJson(Json::Value& eth) const
{
    eth["DhcpEnble"] = m_dhcp->isChecked();
    eth["IP"] = WideToMultiByte(m_ip->text());
    eth["Netmask"] = WideToMultiByte(m_mask->text());
    eth["Getway"] = WideToMultiByte(m_gateway->text());
    eth["DNS1"] = WideToMultiByte(m_dns1->text());
    eth["DNS2"] = WideToMultiByte(m_dns2->text());
}
