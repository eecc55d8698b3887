#include "DevicePage.h"

#include "GuiMailbox.h"

DevicePage::DevicePage(QWidget* parent) : QDialog(parent), m_mailbox(GuiMailbox::create(this))
{
    setModal(false);
}

DevicePage::~DevicePage()
{
    m_mailbox->close();
}

int DevicePage::Ask(const QString& uid, const Request& request)
{
    m_uid = uid;
    std::shared_ptr<GuiMailbox> box = m_mailbox;
    m_lastRequest = request(uid.toStdString(), [box](int code, int result, std::string text, std::string who, char*, int) {
        box->post([code, result, text = std::move(text), who = std::move(who)](QObject* self) {
            auto* page = static_cast<DevicePage*>(self);
            if (QString::fromStdString(who) != page->uid())
                return;
            page->OnDeviceReply(code, result, QString::fromUtf8(text.c_str()));
        });
    });
    return m_lastRequest;
}
