// The host of the 4G/Wi-Fi switch page, opened from the device menu. The page's controls come
// with the settings dialogs; the host asks the device for its "Net.Mobile" document and keeps
// the reply.
#pragma once

#include "DevicePage.h"

class QLabel;

class CMobileNetDlg : public DevicePage {
    Q_OBJECT
public:
    explicit CMobileNetDlg(QWidget* parent = nullptr);

    // Asks the device for its mobile-network settings (GetMobileNet).
    void RequestMobileNet(const QString& uid);
    // The last reply text ("" until one came).
    QString replyText() const { return m_reply; }
    int replyResult() const { return m_result; }

signals:
    void replyArrived();

protected:
    void OnDeviceReply(int code, int result, const QString& text) override;

private:
    QLabel* m_status;
    QString m_reply;
    int m_result = 0;
};
