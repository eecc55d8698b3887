#include "ProOSDSetDlg.h"

#include "COSDStatic.h"
#include "SettingsJson.h"
#include "SettingsLayout.h"
#include "StringConvert.h"
#include "libLumora.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {

constexpr const char* kSection = "OSDSet";

// The labels in item order: check box id, its language key, the preview text's key.
struct LabelRow {
    int checkId;
    const char* checkKey;
    const char* previewKey;
};
constexpr LabelRow kLabels[] = {{1170, "DispName", "SName"}, {1108, "DispTime", "STime"}, {1110, "DispFCBR", "SCFBR"}};

// Asks for the OSD of video channel 0.
int getOsd(std::string uid, DeviceResultCallback callback)
{
    return GetOSDSetting(std::move(uid), R"({"Vich":0})", std::move(callback));
}

// The object holding an item's flag and place: "NameConf" lies one level deeper than the others.
const Json::Value& placeOf(const Json::Value& osd, int item)
{
    switch (item) {
    case COSDStatic::Name:
        return MemberObject(MemberObject(osd, "OsdNameInfo"), "NameConf");
    case COSDStatic::Time:
        return MemberObject(osd, "OsdDateInfo");
    default:
        return MemberObject(osd, "OsdRateInfo");
    }
}

// obj[key] as an object to write into; a member of another type is replaced, never indexed.
Json::Value& objectAt(Json::Value& obj, const char* key)
{
    Json::Value& member = obj[key];
    if (!member.isObject())
        member = Json::Value(Json::objectValue);
    return member;
}

Json::Value& writablePlaceOf(Json::Value& osd, int item)
{
    switch (item) {
    case COSDStatic::Name:
        return objectAt(objectAt(osd, "OsdNameInfo"), "NameConf");
    case COSDStatic::Time:
        return objectAt(osd, "OsdDateInfo");
    default:
        return objectAt(osd, "OsdRateInfo");
    }
}

} // namespace

ProOSDSetDlg::ProOSDSetDlg(QWidget* parent)
    : DevicePage(IDD, {"OsdCfg.info", getOsd, SetOSDSetting, Writer::Compact, SetReport::Common, true}, parent)
{
    auto* grid = new QGridLayout(this);
    m_preview = control(1169, new COSDStatic(this));
    for (int item = 0; item < COSDStatic::kItems; ++item)
        m_preview->setItemText(item, text(kSection, kLabels[item].previewKey));
    grid->addWidget(m_preview, 0, 0, 1, 3, Qt::AlignHCenter);

    auto* nameLabel = control(1358, new QLabel(text(kSection, "Name"), this));
    m_name = control(1168, new QLineEdit(this));
    m_name->setMaxLength(kMaxEditText);
    nameLabel->setBuddy(m_name);
    grid->addWidget(nameLabel, 1, 0);
    grid->addWidget(m_name, 1, 1, 1, 2);

    auto* checks = new QHBoxLayout;
    for (int item = 0; item < COSDStatic::kItems; ++item) {
        QCheckBox* box = control(kLabels[item].checkId, new QCheckBox(text(kSection, kLabels[item].checkKey), this));
        connect(box, &QCheckBox::toggled, this, [this, item](bool on) { m_preview->setItemShown(item, on); });
        checks->addWidget(box);
        m_show[static_cast<size_t>(item)] = box;
    }
    checks->addStretch(1);
    grid->addLayout(checks, 2, 0, 1, 3);
    connect(m_preview, &COSDStatic::itemMoved, this, [this](int item) { m_moved[static_cast<size_t>(item)] = true; });

    auto* set = control(1, new QPushButton(text(kSection, "Set"), this));
    set->setDefault(true);
    setSaveButton(set);
    grid->addWidget(set, 3, 2, Qt::AlignRight);
    grid->setRowStretch(4, 1);
    grid->setColumnStretch(1, 1);
}

void ProOSDSetDlg::onLoad()
{
    for (int item = 0; item < COSDStatic::kItems; ++item)
        m_preview->setItemShown(item, false);
}

void ProOSDSetDlg::fromJson(const Json::Value& osd)
{
    const Json::Value& nameInfo = MemberObject(osd, "OsdNameInfo");
    // Device texts are UTF-8, as window texts are read here.
    m_name->setText(MemberText(nameInfo, "NameText"));
    for (int item = 0; item < COSDStatic::kItems; ++item) {
        const Json::Value& place = placeOf(osd, item);
        const bool on = MemberBool(place, "Enable");
        const QPoint topLeft(MemberInt(place, "Xcord") / 2, MemberInt(place, "Ycord") / 2);
        // The box follows the check box's signal, so the flag is set last. A label that is off
        // still takes the device's place: ticking it later shows it there, and an untouched one
        // sends back what the device holds.
        m_preview->setItemPosition(item, topLeft);
        m_show[static_cast<size_t>(item)]->setChecked(on);
        if (on)
            m_preview->PlaceItem(item, topLeft.x(), topLeft.y());
        else
            m_preview->setItemShown(item, false);
        m_moved[static_cast<size_t>(item)] = false;
    }
}

void ProOSDSetDlg::toJson(Json::Value& osd) const
{
    objectAt(osd, "OsdNameInfo")["NameText"] = WideToUtf8(m_name->text());
    for (int item = 0; item < COSDStatic::kItems; ++item) {
        Json::Value& place = writablePlaceOf(osd, item);
        const bool on = m_show[static_cast<size_t>(item)]->isChecked();
        place["Enable"] = on ? 1 : 0;
        const QRect box = m_preview->itemBox(item);
        // A hidden label the user never moved keeps the device's own numbers (odd ones too).
        const bool keepDevicePlace = !on && !m_moved[static_cast<size_t>(item)] && HasInt(place, "Xcord") && HasInt(place, "Ycord");
        if (!keepDevicePlace) {
            place["Xcord"] = 2 * box.left();
            place["Ycord"] = 2 * box.top();
        }
    }
}
