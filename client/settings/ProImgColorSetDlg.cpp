#include "ProImgColorSetDlg.h"

#include "SettingsJson.h"
#include "libLumora.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSlider>

namespace {

constexpr const char* kSection = "ColorAdjust";

// The sliders from top to bottom: control id, document key (also the language key).
struct Slider {
    int id;
    const char* key;
};
constexpr Slider kSliders[] = {
    {1190, "Brightness"}, {1191, "Saturtion"}, {1192, "Acutance"}, {1193, "Contrast"}, {1194, "Chroma"},
};

// Asks for the document of video channel 0.
int getColours(std::string uid, DeviceResultCallback callback)
{
    return GetColorSetting(std::move(uid), R"({"ViCh":0})", std::move(callback));
}

} // namespace

ProImgColorSetDlg::ProImgColorSetDlg(QWidget* parent)
    : DevicePage(IDD, {"CamCfg.info", getColours, SetColorSetting, Writer::Compact, SetReport::FailureOnly, true}, parent)
{
    setWindowTitle(text(kSection, "Title"));
    auto* grid = new QGridLayout(this);
    int row = 0;
    for (const Slider& s : kSliders) {
        auto* slider = control(s.id, new QSlider(Qt::Horizontal, this));
        slider->setRange(0, 255);
        slider->setSingleStep(1);
        slider->setMinimumWidth(260);
        auto* label = new QLabel(text(kSection, s.key), this);
        label->setBuddy(slider);
        auto* value = new QLabel(QStringLiteral("0"), this);
        value->setMinimumWidth(value->fontMetrics().horizontalAdvance(QStringLiteral("000")));
        connect(slider, &QSlider::valueChanged, value, [value](int v) { value->setNum(v); });
        grid->addWidget(label, row, 0);
        grid->addWidget(slider, row, 1);
        grid->addWidget(value, row, 2);
        m_sliders[row++] = slider;
    }
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    auto* defaults = control(1195, new QPushButton(text(kSection, "Default"), this));
    auto* ok = control(1, new QPushButton(text(kSection, "OK"), this));
    auto* cancel = control(2, new QPushButton(text(kSection, "Cancel"), this));
    ok->setDefault(true);
    setSaveButton(ok);
    enableWithDevice(defaults);
    connect(defaults, &QPushButton::clicked, this, &ProImgColorSetDlg::restoreDefaults);
    connect(cancel, &QPushButton::clicked, this, &DevicePage::closeRequested);
    buttons->addWidget(defaults);
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    grid->addLayout(buttons, row, 0, 1, 3);
    grid->setRowStretch(row + 1, 1);
}

void ProImgColorSetDlg::fromJson(const Json::Value& cam)
{
    // A value outside 0 to 255 stops at the slider's end.
    for (size_t i = 0; i < std::size(kSliders); ++i)
        m_sliders[i]->setValue(MemberInt(cam, kSliders[i].key));
}

void ProImgColorSetDlg::toJson(Json::Value& cam) const
{
    if (m_restoring) {
        // The camera restores its own colours; the values sent are the kept ones, not the sliders'.
        cam["SetDefault"] = true;
        return;
    }
    cam.removeMember("SetDefault");
    for (size_t i = 0; i < std::size(kSliders); ++i)
        cam[kSliders[i].key] = m_sliders[i]->value();
}

void ProImgColorSetDlg::restoreDefaults()
{
    m_restoring = true;
    save();
    m_restoring = false;
    emit closeRequested();
}
