// The wired network page: DHCP, address, mask, gateway and two DNS servers of "NetWork.Eth".
// Addresses are sent as typed; the device judges them.
#pragma once

#include "DevicePage.h"

class QCheckBox;
class QLineEdit;

class ProNetCfgDlg : public DevicePage {
    Q_OBJECT
public:
    static constexpr int IDD = 331;
    explicit ProNetCfgDlg(QWidget* parent = nullptr);

protected:
    void fromJson(const Json::Value& eth) override;
    void toJson(Json::Value& eth) const override;

private:
    QCheckBox* m_dhcp;
    QLineEdit* m_ip;
    QLineEdit* m_mask;
    QLineEdit* m_gateway;
    QLineEdit* m_dns1;
    QLineEdit* m_dns2;
};
