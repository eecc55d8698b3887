#include "CVideoSettingDlg.h"

#include "SettingsJson.h"
#include "SettingsLayout.h"
#include "StringConvert.h"
#include "libLumora.h"

#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <climits>
#include <optional>

namespace {

constexpr const char* kSection = "VideoSet";

// The controls of one stream: group box, then (caption, control) pairs in the order shown.
struct StreamIds {
    int group;
    const char* groupKey;
    int encode, encodeCaption;
    int resolution, resolutionCaption;
    int iFrame, iFrameCaption;
    int frameRate, frameRateCaption;
    int rateCtrl, rateCtrlCaption;
    int bitrate, bitrateCaption;
};
constexpr StreamIds kStreamIds[2] = {
    {1339, "MainStream", 1204, 1340, 1109, 1341, 1205, 1342, 1206, 1343, 1232, 1344, 1207, 1345},
    {1346, "SubStream", 1208, 1347, 1110, 1348, 1209, 1349, 1210, 1350, 1233, 1351, 1211, 1352},
};

// A number of a resolution as the device gives it: an integer, or a string of one.
std::optional<int> dimension(const Json::Value& obj, const char* key)
{
    if (HasInt(obj, key))
        return MemberInt(obj, key);
    if (HasString(obj, key)) {
        bool ok = false;
        const int value = MemberText(obj, key).trimmed().toInt(&ok);
        if (ok)
            return value;
    }
    return std::nullopt;
}

QString resolutionText(const Json::Value& obj)
{
    return QStringLiteral("%1 x %2").arg(dimension(obj, "Width").value_or(0)).arg(dimension(obj, "Height").value_or(0));
}

// The edits' numbers: an integer, within [low, high] when a range is given.
struct NumberField {
    QLineEdit* edit;
    const char* captionKey;
    int low;
    int high;
};

} // namespace

CVideoSettingDlg::CVideoSettingDlg(QWidget* parent)
    : DevicePage(IDD, {"AVEnc.VideoEncode", GetVideoEncSetting, SetVideoEncSetting, Writer::Compact, SetReport::Common, true},
                 parent)
{
    auto* layout = new QGridLayout(this);
    for (int s = 0; s < 2; ++s) {
        const StreamIds& ids = kStreamIds[s];
        Stream& stream = m_streams[s];
        auto* group = control(ids.group, new QGroupBox(text(kSection, ids.groupKey), this));
        stream.group = group;
        auto* grid = new QGridLayout(group);
        int row = 0;
        auto add = [&](QWidget* field, int captionId, const char* key) {
            auto* caption = control(captionId, new QLabel(text(kSection, key), group));
            caption->setBuddy(field);
            grid->addWidget(caption, row, 0);
            grid->addWidget(field, row, 1);
            ++row;
        };
        auto edit = [&](int id) {
            auto* e = control(id, new QLineEdit(group));
            e->setMaxLength(11);
            e->setText(QStringLiteral("0"));
            return e;
        };
        stream.encode = control(ids.encode, new QComboBox(group));
        add(stream.encode, ids.encodeCaption, "MainType");
        stream.resolution = control(ids.resolution, new QComboBox(group));
        add(stream.resolution, ids.resolutionCaption, "MainPix");
        stream.iFrame = edit(ids.iFrame);
        add(stream.iFrame, ids.iFrameCaption, "MainIDis");
        stream.frameRate = edit(ids.frameRate);
        add(stream.frameRate, ids.frameRateCaption, "MainFBR");
        stream.rateCtrl = control(ids.rateCtrl, new QComboBox(group));
        stream.rateCtrl->addItems({QStringLiteral("VBR"), QStringLiteral("CBR")});
        stream.rateCtrl->setCurrentIndex(-1);
        add(stream.rateCtrl, ids.rateCtrlCaption, "MainCType");
        stream.bitrate = edit(ids.bitrate);
        add(stream.bitrate, ids.bitrateCaption, "MainCBR");
        grid->setColumnStretch(1, 1);
        layout->addWidget(group, 0, s);
    }
    auto* set = control(1, new QPushButton(text(kSection, "Set"), this));
    set->setDefault(true);
    setSaveButton(set);
    layout->addWidget(set, 1, 1, Qt::AlignRight);
    layout->setRowStretch(2, 1);
}

void CVideoSettingDlg::onLoad()
{
    // The lists are the device's: a new request shows none until its answer.
    for (Stream& stream : m_streams) {
        stream.encode->clear();
        stream.resolution->clear();
    }
}

void CVideoSettingDlg::fromJson(const Json::Value& video)
{
    for (Stream& stream : m_streams)
        stream.present = false;
    const Json::Value& entries = MemberArray(video, "VideoEncode");
    for (const Json::Value& entry : entries) {
        if (!HasInt(entry, "EncCh"))
            continue;
        const int channel = MemberInt(entry, "EncCh");
        if (channel == 0 || channel == 1) {
            fillStream(m_streams[channel], entry);
            m_streams[channel].present = true;
        }
    }
    for (Stream& stream : m_streams)
        stream.group->setEnabled(stream.present);
}

void CVideoSettingDlg::fillStream(Stream& stream, const Json::Value& entry)
{
    stream.encode->clear();
    const Json::Value& encodings = MemberArray(entry, "OpionEncode");
    const QString current = MemberText(entry, "Encode");
    int chosen = 0;
    for (Json::ArrayIndex i = 0; i < encodings.size(); ++i) {
        // An item that is not a text shows blank and keeps its place, so indexes stay the device's.
        const QString name = encodings[i].isString() ? QString::fromStdString(encodings[i].asString()) : QString();
        stream.encode->addItem(name);
        if (encodings[i].isString() && name == current)
            chosen = static_cast<int>(i);
    }
    stream.encode->setCurrentIndex(stream.encode->count() > 0 ? chosen : -1);

    stream.resolution->clear();
    const Json::Value& options = MemberArray(entry, "VideoResolutionOpt");
    const std::optional<int> width = dimension(entry, "Width");
    const std::optional<int> height = dimension(entry, "Height");
    int match = -1;
    for (Json::ArrayIndex i = 0; i < options.size(); ++i) {
        stream.resolution->addItem(resolutionText(options[i]));
        if (width && height && dimension(options[i], "Width") == width && dimension(options[i], "Height") == height)
            match = static_cast<int>(i);
    }
    if (match < 0) {
        // The stream's own resolution, listed or not: choosing it keeps it.
        stream.resolution->addItem(resolutionText(entry));
        match = stream.resolution->count() - 1;
    }
    stream.resolution->setCurrentIndex(match);

    const int rate = MemberInt(entry, "RateCtrl", -1);
    stream.rateCtrl->setCurrentIndex(rate == 0 || rate == 1 ? rate : -1);
    stream.frameRate->setText(QString::number(MemberInt(entry, "FrameRate")));
    stream.iFrame->setText(QString::number(MemberInt(entry, "IFrame")));
    stream.bitrate->setText(QString::number(MemberInt(entry, "Bitrate")));
}

QString CVideoSettingDlg::validate() const
{
    for (int s = 0; s < 2; ++s) {
        const Stream& stream = m_streams[s];
        if (!stream.present)
            continue;
        const NumberField fields[] = {
            {stream.iFrame, "MainIDis", 1, 100},
            {stream.frameRate, "MainFBR", 1, 30},
            {stream.bitrate, "MainCBR", INT_MIN, INT_MAX},
        };
        for (const NumberField& f : fields) {
            bool ok = false;
            const int value = f.edit->text().trimmed().toInt(&ok);
            const QString field = text(kSection, kStreamIds[s].groupKey) + QStringLiteral(", ") + text(kSection, f.captionKey);
            if (!ok)
                return text(kSection, "NumberTip").arg(field);
            if (value < f.low || value > f.high)
                return text(kSection, "RangeTip").arg(field).arg(f.low).arg(f.high);
        }
    }
    return {};
}

void CVideoSettingDlg::editEntry(const Stream& stream, Json::Value& entry) const
{
    const int encode = stream.encode->currentIndex();
    const Json::Value& encodings = MemberArray(entry, "OpionEncode");
    if (encode >= 0 && static_cast<Json::ArrayIndex>(encode) < encodings.size() && encodings[encode].isString())
        entry["Encode"] = encodings[encode];

    const int resolution = stream.resolution->currentIndex();
    const Json::Value& options = MemberArray(entry, "VideoResolutionOpt");
    if (resolution >= 0 && static_cast<Json::ArrayIndex>(resolution) < options.size()) {
        const std::optional<int> width = dimension(options[resolution], "Width");
        const std::optional<int> height = dimension(options[resolution], "Height");
        // Both or neither: a width of one resolution never goes with the height of another.
        if (width && height) {
            entry["Width"] = *width;
            entry["Height"] = *height;
        }
    }

    entry["FrameRate"] = stream.frameRate->text().trimmed().toInt();
    entry["IFrame"] = stream.iFrame->text().trimmed().toInt();
    entry["Bitrate"] = stream.bitrate->text().trimmed().toInt();
    if (stream.rateCtrl->currentIndex() >= 0)
        entry["RateCtrl"] = stream.rateCtrl->currentIndex();
}

void CVideoSettingDlg::toJson(Json::Value& video) const
{
    if (!video.isMember("VideoEncode") || !video["VideoEncode"].isArray())
        return;
    for (Json::Value& entry : video["VideoEncode"]) {
        if (!HasInt(entry, "EncCh"))
            continue;
        const int channel = MemberInt(entry, "EncCh");
        if (channel == 0 || channel == 1)
            editEntry(m_streams[channel], entry);
    }
}
