// The Wi-Fi page: the wireless interface's switch, the network it joins and its addresses
// ("NetWork.Wireless"), and a scan for access points ("NetWork.WirelessSearch") whose list fills
// the network's name and encryption on a double-click. The network name travels as UTF-8.
#pragma once

#include "DevicePage.h"

class CXListCtrl;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

class ProWirelessDlg : public DevicePage {
    Q_OBJECT
public:
    static constexpr int IDD = 332;
    explicit ProWirelessDlg(QWidget* parent = nullptr);

protected:
    void fromJson(const Json::Value& wireless) override;
    void toJson(Json::Value& wireless) const override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The network fields and the scan follow the interface's switch; the addresses do not.
    void applyEnabling(bool on);
    void scan();
    void onScanReply(int result, const std::string& text);
    void useFoundNetwork(int row);
    void sizeColumns();

    QCheckBox* m_enable;
    QLabel* m_status;
    QLineEdit* m_ssid;
    QLineEdit* m_password;
    QLineEdit* m_encType;
    CXListCtrl* m_found;
    QPushButton* m_scan;
    QCheckBox* m_dhcp;
    QLineEdit* m_ip;
    QLineEdit* m_mask;
    QLineEdit* m_gateway;
};
