// The OSD page: the name text the device writes over its video and the three labels (name, date
// and time, frame and bit rate), each shown or not and placed by dragging it in the preview.
// Exchanges "OsdCfg.info" and keeps it: keys the page does not show go back as they came.
// Device coordinates are twice the preview's.
#pragma once

#include "DevicePage.h"

#include <array>

class COSDStatic;
class QCheckBox;
class QLineEdit;

class ProOSDSetDlg : public DevicePage {
    Q_OBJECT
public:
    static constexpr int IDD = 336;
    explicit ProOSDSetDlg(QWidget* parent = nullptr);

    // Asks the device uid for its OSD settings (load under the name the device views use).
    void RequestOSDSetting(const QString& uid) { load(uid); }
    COSDStatic* preview() const { return m_preview; }

protected:
    void fromJson(const Json::Value& osd) override;
    void toJson(Json::Value& osd) const override;
    // The labels are hidden until the device's answer places them.
    void onLoad() override;

private:
    COSDStatic* m_preview;
    QLineEdit* m_name;
    std::array<QCheckBox*, 3> m_show{};
    // The user dragged the label since the last answer: its preview place is sent even while it
    // is hidden.
    std::array<bool, 3> m_moved{};
};
