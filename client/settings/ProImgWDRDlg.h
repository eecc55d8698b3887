// The wide dynamic range page: on or off, automatic or manual, and its value 0 to 255
// ("IspWdr.info"). The page keeps the device's document, sends it back whole and closes. The
// manual flag is read as a truth value and sent as the integer 0 or 1, as devices take it.
#pragma once

#include "DevicePage.h"

class QButtonGroup;
class QCheckBox;
class QLineEdit;
class QRadioButton;

class ProImgWDRDlg : public DevicePage {
    Q_OBJECT
public:
    static constexpr int IDD = 339;
    explicit ProImgWDRDlg(QWidget* parent = nullptr);

protected:
    void fromJson(const Json::Value& wdr) override;
    void toJson(Json::Value& wdr) const override;
    QString validate() const override;

private:
    QCheckBox* m_enable;
    QRadioButton* m_auto;
    QRadioButton* m_manual;
    QButtonGroup* m_mode;
    QLineEdit* m_value;
};
