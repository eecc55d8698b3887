// The video encoder page: the main and the sub stream of "AVEnc.VideoEncode" (the "VideoEncode"
// entries with "EncCh" 0 and 1), each with its encoding and resolution from the device's own
// lists, rate control, frame rate, I-frame interval and bit rate. The page keeps the document and
// sends it whole; entries of other streams and keys it does not show go back as they came.
//
// A resolution is the pair the device lists: the page selects the option whose width and height
// both match the stream's, and sends the chosen option's pair. A current resolution the device
// does not list is shown as an item of its own, which sends the stream's width and height back
// unchanged. A stream the device has no entry for is shown disabled and its numbers are not
// checked: a device with a main stream only can still be set.
#pragma once

#include "DevicePage.h"

class QComboBox;
class QLineEdit;

class CVideoSettingDlg : public DevicePage {
    Q_OBJECT
public:
    static constexpr int IDD = 352;
    explicit CVideoSettingDlg(QWidget* parent = nullptr);

protected:
    void fromJson(const Json::Value& video) override;
    void toJson(Json::Value& video) const override;
    QString validate() const override;
    void onLoad() override;

private:
    struct Stream {
        QWidget* group = nullptr;
        bool present = false; // the device's last answer has an entry for the stream
        QComboBox* encode = nullptr;
        QComboBox* resolution = nullptr;
        QLineEdit* iFrame = nullptr;
        QLineEdit* frameRate = nullptr;
        QComboBox* rateCtrl = nullptr;
        QLineEdit* bitrate = nullptr;
    };
    void fillStream(Stream& stream, const Json::Value& entry);
    void editEntry(const Stream& stream, Json::Value& entry) const;

    Stream m_streams[2]; // by "EncCh": 0 main, 1 sub
};
