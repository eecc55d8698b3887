#include "DevicePage.h"

#include "ClientMessageBox.h"
#include "GuiMailbox.h"
#include "LangText.h"
#include "SettingsJson.h"
#include "StringConvert.h"

#include <QAbstractButton>
#include <QApplication>
#include <QHideEvent>
#include <QVBoxLayout>
#include <utility>

namespace {

void defaultSink(DevicePage* page, const QString& text)
{
    // A closed page's window cannot carry the box: it would open behind everything.
    QWidget* owner = page->isVisible() ? page->window() : QApplication::activeWindow();
    ShowMessage(owner, text);
}

DevicePage::MessageSink& sink()
{
    static DevicePage::MessageSink s = defaultSink;
    return s;
}

} // namespace

DevicePage::DevicePage(int dialogId, Document document, QWidget* parent)
    : QWidget(parent), m_dialogId(dialogId), m_doc(std::move(document)), m_mailbox(GuiMailbox::create(this))
{
    setObjectName(QStringLiteral("DevicePage%1").arg(dialogId));
}

DevicePage::~DevicePage()
{
    m_mailbox->close();
}

DevicePage::MessageSink DevicePage::setMessageSink(MessageSink next)
{
    MessageSink previous = std::move(sink());
    sink() = next ? std::move(next) : MessageSink(defaultSink);
    return previous;
}

QString DevicePage::text(const char* section, const char* key)
{
    return LangText(section, key);
}

void DevicePage::report(const QString& message)
{
    sink()(this, message);
}

void DevicePage::load(const QString& uid)
{
    if (uid != m_uid) {
        m_document = Json::Value();
        m_hasDocument = false;
        updateSending();
    }
    m_uid = uid;
    ++m_generation;
    if (uid.isEmpty())
        return;
    if (m_doc.get) {
        ask(m_doc.get, [this](int result, const std::string& reply) { onLoadReply(result, reply); });
    }
    onLoad();
}

void DevicePage::cancelPending()
{
    ++m_generation;
}

int DevicePage::ask(const GetRequest& request, Reply onReply)
{
    const uint64_t generation = m_generation;
    const QString uid = m_uid;
    return send(request, [this, generation, uid, handler = std::move(onReply)](int result, const std::string& reply) {
        if (generation == m_generation && uid == m_uid)
            handler(result, reply);
    });
}

int DevicePage::send(const std::function<int(std::string uid, DeviceResultCallback)>& request, Reply onReply)
{
    std::shared_ptr<GuiMailbox> box = m_mailbox;
    // Exactly one of the export's refusal and its callback reaches onReply, on the GUI thread.
    auto handler = std::make_shared<Reply>(std::move(onReply));
    auto done = std::make_shared<bool>(false);
    auto deliver = [handler, done](int result, const std::string& reply) {
        if (*done)
            return;
        *done = true;
        (*handler)(result, reply);
    };
    const QString uid = m_uid;
    const int sent = request(WideToMultiByte(uid), [box, deliver, uid](int, int result, std::string reply, std::string who, char*, int) {
        box->post([deliver, uid, result, reply = std::move(reply), who = std::move(who)](QObject*) {
            if (MultiByteToWide(who) == uid)
                deliver(result, reply);
        });
    });
    // Refused at once (-11: not logged in; -1: a text the SDK could not read): no answer comes.
    if (sent < 0)
        box->post([deliver, sent](QObject*) { deliver(sent, std::string()); });
    return sent;
}

void DevicePage::onLoadReply(int result, const std::string& reply)
{
    if (result != 0) {
        emit loaded(result);
        return;
    }
    const std::optional<Json::Value> root = ParseDeviceText(reply);
    const Json::Value& document = root ? MemberObject(*root, m_doc.name) : Json::Value::nullSingleton();
    if (!document.isObject()) {
        emit loaded(kUnusableReply);
        return;
    }
    m_document = document;
    m_hasDocument = true;
    fromJson(m_document);
    updateSending();
    emit loaded(0);
}

std::string DevicePage::requestText(const Json::Value& document) const
{
    return m_doc.writer == Writer::Styled ? WriteStyled(document) : WriteCompact(document);
}

void DevicePage::save()
{
    if (!canSave() || !m_doc.set)
        return;
    const QString problem = validate();
    if (!problem.isEmpty()) {
        report(problem);
        return;
    }
    Json::Value document = m_doc.keep && m_document.isObject() ? m_document : Json::Value(Json::objectValue);
    toJson(document);
    const std::string body = requestText(document);
    const SetRequest set = m_doc.set;
    auto sentDocument = std::make_shared<Json::Value>(document);
    send([set, body](std::string uid, DeviceResultCallback callback) { return set(std::move(uid), body, std::move(callback)); },
         [this, sentDocument](int result, const std::string& reply) {
             onSetReply(result, reply);
             // What the device took is what the page keeps from now on.
             if (m_doc.keep && m_lastSetResult == 0)
                 m_document = *sentDocument;
         });
}

int DevicePage::setResult(const Json::Value& root) const
{
    // A reply without "res" means the device took it.
    if (!root.isMember("res"))
        return 0;
    return HasInt(root, "res") ? MemberInt(root, "res") : kUnusableReply;
}

void DevicePage::onSetReply(int result, const std::string& reply)
{
    int outcome = result;
    if (result == 0 && m_doc.report == SetReport::Common) {
        const std::optional<Json::Value> root = ParseDeviceText(reply);
        outcome = root ? setResult(*root) : kUnusableReply;
    } else if (result == 0 && m_doc.report == SetReport::FailureOnly) {
        // These pages tell only failures; a device that declines in "res" has failed too. An
        // answer without a readable "res" counts as taken.
        const std::optional<Json::Value> root = ParseDeviceText(reply);
        outcome = root && HasInt(*root, "res") ? MemberInt(*root, "res") : 0;
    }
    m_lastSetResult = outcome;
    tellSetResult(outcome);
    emit saved(outcome);
}

void DevicePage::tellSetResult(int result)
{
    switch (m_doc.report) {
    case SetReport::Common:
        report(text("Common", result == 0 ? "Success" : "Fail"));
        break;
    case SetReport::FailureOnly:
        if (result != 0)
            report(text("DevInfo", "Fail"));
        break;
    case SetReport::None:
        break;
    }
}

void DevicePage::setSaveButton(QAbstractButton* button)
{
    connect(button, &QAbstractButton::clicked, this, [this] { save(); });
    enableWithDevice(button);
}

void DevicePage::enableWithDevice(QWidget* widget)
{
    m_gated.push_back(widget);
    widget->setEnabled(m_hasDocument);
}

void DevicePage::updateSending()
{
    for (QWidget* w : m_gated)
        w->setEnabled(m_hasDocument);
}

DevicePageDialog::DevicePageDialog(DevicePage* page, QWidget* parent) : QDialog(parent), m_page(page)
{
    setObjectName(QStringLiteral("DevicePageDialog%1").arg(page->dialogId()));
    setModal(false);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(page);
    setWindowTitle(page->windowTitle().isEmpty() ? QApplication::applicationDisplayName() : page->windowTitle());
    connect(page, &DevicePage::closeRequested, this, &QDialog::hide);
}

void DevicePageDialog::open(const QString& uid)
{
    m_page->load(uid);
    show();
    if (QWidget* p = parentWidget()) {
        const QPoint centre = p->mapToGlobal(p->rect().center());
        move(centre - QPoint(width() / 2, height() / 2));
    }
    raise();
    activateWindow();
}

void DevicePageDialog::hideEvent(QHideEvent* event)
{
    m_page->cancelPending();
    QDialog::hideEvent(event);
}
