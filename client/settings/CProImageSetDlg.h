// The colour/black switch page: how the camera changes between colour and black-and-white
// pictures and drives its infrared lamp ("IspPicColor.info"). The page keeps the device's document
// and sends it back whole, so keys it does not show travel back unchanged.
#pragma once

#include "DevicePage.h"

class QButtonGroup;
class QComboBox;
class QLineEdit;
class QRadioButton;
class QTimeEdit;

class CProImageSetDlg : public DevicePage {
    Q_OBJECT
public:
    static constexpr int IDD = 338;
    explicit CProImageSetDlg(QWidget* parent = nullptr);

protected:
    void fromJson(const Json::Value& color) override;
    void toJson(Json::Value& color) const override;
    QString validate() const override;

private:
    QComboBox* m_mode;
    QLineEdit* m_level;
    QLineEdit* m_time;
    QRadioButton* m_timerOn;
    QRadioButton* m_timerOff;
    QButtonGroup* m_timer;
    QTimeEdit* m_start;
    QTimeEdit* m_end;
};
