// A device settings page: one form that edits one settings document of one device.
//
// A page is its form plus two conversions. The base asks the device for the document, fills the
// form through fromJson when the reply comes, and on save builds the document through toJson and
// sends it; subclasses only lay out their controls and convert.
//
//   class ProNetCfgDlg : public DevicePage {
//       ProNetCfgDlg(QWidget* parent)
//           : DevicePage(331, {"NetWork.Eth", GetNetworkEth, SetNetworkEth}, parent) { ... }
//       void fromJson(const Json::Value& eth) override;   // document -> controls
//       void toJson(Json::Value& eth) const override;      // controls -> document
//   };
//
// Threads: load, save and every signal run on the GUI thread. The SDK answers on its own thread;
// the answer is copied and posted through the page's mailbox, so the page never sees it on
// another thread and never after it is destroyed. Every load starts a new generation: an answer
// to an older load, to another device, or that comes after cancelPending (the page's window was
// closed) is dropped.
//
// Sending is allowed only once the device has answered a load: until then the page shows no
// device values, and a save would send blanks or defaults. Changing the device drops the kept
// document and closes sending again, so a save can never send one device's settings to another.
#pragma once

#include "LumoraTypes.h"

#include <QDialog>
#include <QString>
#include <QWidget>
#include <functional>
#include <json/json.h>
#include <memory>
#include <string>
#include <vector>

class GuiMailbox;
class QAbstractButton;

class DevicePage : public QWidget {
    Q_OBJECT
public:
    using GetRequest = std::function<int(std::string uid, DeviceResultCallback callback)>;
    using SetRequest = std::function<int(std::string uid, std::string text, DeviceResultCallback callback)>;

    // How a set answer is told to the user.
    enum class SetReport {
        Common,      // "Success" or "Fail" of section "Common", by the answer's "res"
        FailureOnly, // "Fail" of section "DevInfo" when the request failed; nothing otherwise
        None,        // nothing
    };
    enum class Writer { Styled, Compact };

    struct Document {
        const char* name = "";  // the reply's root member holding the document ("NetWork.Eth")
        GetRequest get;          // may be empty for a page that loads through its own requests
        SetRequest set;
        Writer writer = Writer::Styled;
        SetReport report = SetReport::Common;
        bool keep = false;       // save edits the last answered document and sends it whole
    };

    // The result loaded() and saved() give for an answer that came but could not be used (not
    // JSON, no document, "res" not a number...).
    static constexpr int kUnusableReply = -1000;

    DevicePage(int dialogId, Document document, QWidget* parent = nullptr);
    ~DevicePage() override;

    // The page's dialog id (331 wired network, 332 Wi-Fi, ...).
    int dialogId() const { return m_dialogId; }
    QString uid() const { return m_uid; }
    // Asks uid for the document. A page of another device first forgets what it kept. An empty
    // UID asks nothing.
    void load(const QString& uid);
    // Validates, builds and sends the document; a validation text is shown and nothing is sent.
    void save();
    // Answers of loads in flight are dropped (the page's window closed).
    void cancelPending();
    // The device of the page has answered a load: save may send.
    bool canSave() const { return m_hasDocument; }
    // The document of the last usable answer (null before one).
    const Json::Value& keptDocument() const { return m_document; }

    // The device information page shows the version the device gave at login; other pages
    // ignore it.
    virtual void SetHardwareVersionText(const QString&) {}

    // Where the pages' result texts go: by default a message box over the page's window that
    // does not block. Tests replace it; returns the sink it replaces. GUI thread.
    using MessageSink = std::function<void(DevicePage* page, const QString& text)>;
    static MessageSink setMessageSink(MessageSink sink);

signals:
    // A load's answer was handled: 0 the form shows the device's values; otherwise the request's
    // failure (-1 time-out, -11 refused at once) or kUnusableReply. The form is unchanged then.
    void loaded(int result);
    // A save's answer was handled: 0 the device took it; otherwise the failure (the request's
    // result, the answer's "res", or kUnusableReply).
    void saved(int result);
    // The page asks its window to close (pages that end with OK).
    void closeRequested();

protected:
    // The document (the reply's member named Document::name) into the controls.
    virtual void fromJson(const Json::Value& document) = 0;
    // The controls into document: the kept copy for a keeping page, an empty object otherwise.
    virtual void toJson(Json::Value& document) const = 0;
    // A text to show instead of sending; empty when the controls can be sent.
    virtual QString validate() const { return {}; }
    // The text the set request carries; by default the document through the page's writer.
    virtual std::string requestText(const Json::Value& document) const;
    // Called after the load's get is sent, for pages that ask more than one thing.
    virtual void onLoad() {}
    // A usable set answer (root of the reply, result 0); by default "res" decides. Returns the
    // result saved() gives.
    virtual int setResult(const Json::Value& root) const;

    // Sends a request of the page's current device whose answer comes back to onReply on the GUI
    // thread, dropped like a load's when the page moves on. Returns the export's result.
    using Reply = std::function<void(int result, const std::string& text)>;
    int ask(const GetRequest& request, Reply onReply);
    // Like ask, for requests whose answer must be told even after the page moved on (a set).
    int send(const std::function<int(std::string uid, DeviceResultCallback)>& request, Reply onReply);

    // Names a control "ctl_<id>" so that it is found by its dialog control id.
    template <class W> W* control(int id, W* widget)
    {
        widget->setObjectName(QStringLiteral("ctl_%1").arg(id));
        widget->setProperty("controlId", id);
        return widget;
    }
    // The button that saves: it sends only once the device has answered.
    void setSaveButton(QAbstractButton* button);
    // Another control that must wait for the device's first answer (a scan button).
    void enableWithDevice(QWidget* widget);
    // Shows a result text through the sink.
    void report(const QString& text);
    // The language text of section/key.
    static QString text(const char* section, const char* key);

private:
    void onLoadReply(int result, const std::string& text);
    void onSetReply(int result, const std::string& text);
    void updateSending();
    void tellSetResult(int result);

    const int m_dialogId;
    const Document m_doc;
    std::shared_ptr<GuiMailbox> m_mailbox;
    QString m_uid;
    uint64_t m_generation = 0; // of the current load; answers of others are dropped
    bool m_hasDocument = false;
    int m_lastSetResult = 0;
    Json::Value m_document;
    std::vector<QWidget*> m_gated;
};

// A page on its own: the window the device tree opens for one command. It owns the page, closes
// on Esc and on the page's request, and drops answers still coming for the page once hidden.
class DevicePageDialog : public QDialog {
    Q_OBJECT
public:
    explicit DevicePageDialog(DevicePage* page, QWidget* parent = nullptr);
    DevicePage* page() const { return m_page; }
    // Loads uid, shows the window (not modal) and centres it on its parent.
    void open(const QString& uid);

protected:
    void hideEvent(QHideEvent* event) override;

private:
    DevicePage* m_page;
};
