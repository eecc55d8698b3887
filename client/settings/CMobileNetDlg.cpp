#include "CMobileNetDlg.h"

#include "libLumora.h"

#include <QLabel>
#include <QVBoxLayout>

CMobileNetDlg::CMobileNetDlg(QWidget* parent) : DevicePage(parent), m_status(new QLabel(this))
{
    setObjectName(QStringLiteral("MobileNetDlg"));
    setWindowTitle(QStringLiteral("4G / Wi-Fi"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_status);
    resize(360, 200);
}

void CMobileNetDlg::RequestMobileNet(const QString& uid)
{
    m_reply.clear();
    m_status->setText(uid);
    Ask(uid, [](std::string id, DeviceResultCallback cb) { return GetMobileNet(std::move(id), std::move(cb)); });
}

void CMobileNetDlg::OnDeviceReply(int, int result, const QString& text)
{
    m_result = result;
    m_reply = text;
    m_status->setText(uid() + QLatin1Char('\n') + text);
    emit replyArrived();
}
