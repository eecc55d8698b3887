// The mobile network switch: the device's 4G link on or off ("enable" of "Net.Mobile"). The page
// keeps the device's document, sends it back whole and closes; the outcome is told. When the
// device's answer does not say whether the link is on, neither choice is made for the user, and
// nothing is sent until one is.
#pragma once

#include "DevicePage.h"

class QButtonGroup;
class QRadioButton;

class CMobileNetDlg : public DevicePage {
    Q_OBJECT
public:
    static constexpr int IDD = 365;
    explicit CMobileNetDlg(QWidget* parent = nullptr);

protected:
    void fromJson(const Json::Value& mobile) override;
    void toJson(Json::Value& mobile) const override;
    QString validate() const override;

private:
    QRadioButton* m_on;
    QRadioButton* m_off;
    QButtonGroup* m_switch;
};
