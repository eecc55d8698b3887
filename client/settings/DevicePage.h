// How a settings page asks a device and gets its reply. A page is a modeless dialog; it calls
// Ask with the SDK request to run for a UID. The request's callback runs later on an SDK thread:
// it copies the reply into values and posts them to the page through the page's mailbox, so
// OnDeviceReply always runs on the GUI thread, and never after the page is gone. A reply for a
// UID the page no longer shows is dropped.
//
//   Ask(uid, [](std::string id, DeviceResultCallback cb) { return GetMobileNet(id, cb); });
#pragma once

#include "LumoraTypes.h"

#include <QDialog>
#include <QString>
#include <functional>
#include <memory>
#include <string>

class GuiMailbox;

class DevicePage : public QDialog {
    Q_OBJECT
public:
    using Request = std::function<int(std::string uid, DeviceResultCallback callback)>;

    explicit DevicePage(QWidget* parent = nullptr);
    ~DevicePage() override;

    QString uid() const { return m_uid; }
    // The result of the last request call (0 sent, -11 device not logged in).
    int lastRequestResult() const { return m_lastRequest; }

protected:
    // Sends the request for uid; the page now shows that device.
    int Ask(const QString& uid, const Request& request);
    // GUI thread: the device's reply (result 0) or the failure (-1 time-out).
    virtual void OnDeviceReply(int code, int result, const QString& text) = 0;

private:
    std::shared_ptr<GuiMailbox> m_mailbox;
    QString m_uid;
    int m_lastRequest = 0;
};
