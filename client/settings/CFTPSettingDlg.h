// The FTP page: the server the device uploads to ("FtpCfg.info": address, port, user, password,
// folder). It keeps the device's document and sends it whole, so keys it does not show go back as
// they came. The document travels as compact JSON text, which the SDK carries as a string.
#pragma once

#include "DevicePage.h"

#include <QString>

class QLineEdit;

class CFTPSettingDlg : public DevicePage {
    Q_OBJECT
public:
    static constexpr int IDD = 359;
    explicit CFTPSettingDlg(QWidget* parent = nullptr);

    // The port as the device takes it from the edit's text: leading white space skipped, an
    // optional sign, the digits up to the first other character; 0 without digits; a number out
    // of range saturates at the int's limits.
    static int PortFromText(const QString& text);

protected:
    void fromJson(const Json::Value& ftp) override;
    void toJson(Json::Value& ftp) const override;

private:
    QLineEdit* m_addr;
    QLineEdit* m_port;
    QLineEdit* m_user;
    QLineEdit* m_password;
    QLineEdit* m_path;
};
