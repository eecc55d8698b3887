#include "ProImgNoiseDlg.h"

#include "SettingsJson.h"
#include "libLumora.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {
constexpr const char* kSection = "Denoise";
constexpr int kMaxNumberText = 11; // a sign and ten digits
} // namespace

ProImgNoiseDlg::ProImgNoiseDlg(QWidget* parent)
    : DevicePage(IDD, {"IspDenoise.info", GetDecNoise, SetDecNoise, Writer::Compact, SetReport::FailureOnly, true}, parent)
{
    setWindowTitle(text(kSection, "Title"));
    auto* grid = new QGridLayout(this);
    m_2d = control(1188, new QCheckBox(text(kSection, "En2D"), this));
    m_3d = control(1108, new QCheckBox(text(kSection, "En3D"), this));
    m_value = control(1189, new QLineEdit(QStringLiteral("0"), this));
    m_value->setMaxLength(kMaxNumberText);
    auto* label = new QLabel(text(kSection, "Val3D"), this);
    label->setBuddy(m_value);
    grid->addWidget(m_2d, 0, 0, 1, 2);
    grid->addWidget(m_3d, 1, 0, 1, 2);
    grid->addWidget(label, 2, 0);
    grid->addWidget(m_value, 2, 1);
    auto* set = control(1, new QPushButton(text(kSection, "Set"), this));
    set->setDefault(true);
    enableWithDevice(set);
    // The page closes once the settings went out; a refused value keeps it open.
    connect(set, &QPushButton::clicked, this, [this] {
        const bool sendable = validate().isEmpty();
        save();
        if (sendable)
            emit closeRequested();
    });
    grid->addWidget(set, 2, 2);
    grid->setRowStretch(3, 1);
    grid->setColumnStretch(1, 1);
}

void ProImgNoiseDlg::fromJson(const Json::Value& noise)
{
    m_2d->setChecked(MemberBool(noise, "En2DEntiNoise"));
    m_3d->setChecked(MemberBool(noise, "En3DEntiNoise"));
    m_value->setText(QString::number(MemberInt(noise, "Val3D")));
}

QString ProImgNoiseDlg::validate() const
{
    bool ok = false;
    m_value->text().trimmed().toInt(&ok);
    if (!ok) {
        m_value->setFocus();
        return text(kSection, "ValNumber");
    }
    return {};
}

void ProImgNoiseDlg::toJson(Json::Value& noise) const
{
    noise["En2DEntiNoise"] = m_2d->isChecked();
    noise["En3DEntiNoise"] = m_3d->isChecked();
    noise["Val3D"] = m_value->text().trimmed().toInt();
}
