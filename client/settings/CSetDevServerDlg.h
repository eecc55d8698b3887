// The device's P2P server code ("P2pSerCode" of "P2pSerCfg.info"). The page sends the bare code;
// the SDK builds the document around it. An empty code is refused: it would cut the device off
// its servers. The page closes once the code went out; the outcome is told.
#pragma once

#include "DevicePage.h"

class QLineEdit;

class CSetDevServerDlg : public DevicePage {
    Q_OBJECT
public:
    static constexpr int IDD = 364;
    explicit CSetDevServerDlg(QWidget* parent = nullptr);

protected:
    void fromJson(const Json::Value& server) override;
    void toJson(Json::Value& server) const override;
    QString validate() const override;
    std::string requestText(const Json::Value& server) const override;

private:
    QLineEdit* m_code;
};
