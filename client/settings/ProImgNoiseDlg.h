// The noise reduction page: 2D and 3D noise reduction on or off and the strength of the 3D one
// ("IspDenoise.info"). The page keeps the device's document, sends it back whole and closes.
#pragma once

#include "DevicePage.h"

class QCheckBox;
class QLineEdit;

class ProImgNoiseDlg : public DevicePage {
    Q_OBJECT
public:
    static constexpr int IDD = 340;
    explicit ProImgNoiseDlg(QWidget* parent = nullptr);

protected:
    void fromJson(const Json::Value& noise) override;
    void toJson(Json::Value& noise) const override;
    QString validate() const override;

private:
    QCheckBox* m_2d;
    QCheckBox* m_3d;
    QLineEdit* m_value;
};
