// The colour adjustment page: brightness, saturation, sharpness, contrast and chroma of the
// picture ("CamCfg.info"), and a button that has the camera restore its own default colours.
// The page keeps the device's document and sends it back whole. "SetDefault" travels only with
// the defaults button: OK never sends it, whatever the kept document holds.
#pragma once

#include "DevicePage.h"

class QSlider;

class ProImgColorSetDlg : public DevicePage {
    Q_OBJECT
public:
    static constexpr int IDD = 341;
    explicit ProImgColorSetDlg(QWidget* parent = nullptr);

protected:
    void fromJson(const Json::Value& cam) override;
    void toJson(Json::Value& cam) const override;

private:
    void restoreDefaults();

    QSlider* m_sliders[5] = {};
    bool m_restoring = false; // the set being built is the defaults button's
};
