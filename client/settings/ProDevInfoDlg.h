// The device information and firmware upgrade page: the device's model and software version
// ("Dev.Info"), its firmware version as it gave it at login, its automatic-upgrade flag (kept
// "UpgradeCfg.info", saved through "AutoUpgradeSet.info"), and the firmware upgrade.
//
// The upgrade: the device names its upgrade server (an enciphered address prefix) and the three
// version documents it publishes. The page fetches them after the device's answer to decide
// whether its update button is offered, and again, fresh, when the button is pressed; a fetch
// that fails or times out ends the upgrade with a message. When a part is newer the page asks
// before it sends the upgrade body, then follows the device's progress reports up to 100; a
// device that stops reporting for progressTimeout() ends the upgrade with a message.
#pragma once

#include "DevicePage.h"

#include "FirmwareVersions.h"

#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class GuiMailbox;
class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;
class VersionFetch;

class ProDevInfoDlg : public DevicePage {
    Q_OBJECT
public:
    static constexpr int IDD = 337;
    explicit ProDevInfoDlg(QWidget* parent = nullptr);
    ~ProDevInfoDlg() override;

    void SetHardwareVersionText(const QString& version) override;

    // The question asked before an upgrade starts: answer(true) starts it. By default an OK and
    // Cancel box over the page. Tests replace it; returns the one it replaces. GUI thread.
    using Confirm = std::function<void(QWidget* page, const QString& question, std::function<void(bool)> answer)>;
    static Confirm setConfirm(Confirm confirm);

    // How long an upgrade waits for the device's next progress report, in milliseconds.
    static void setProgressTimeout(int ms);
    static int progressTimeout();

    // Results of upgradeEnded besides 0 and the device's failures.
    static constexpr int kVersionsUnavailable = -2001; // fetch failed or timed out: nothing sent
    static constexpr int kNothingNewer = -2002;        // "Newest" shown: nothing sent
    static constexpr int kDeclined = -2003;            // the question was answered no
    static constexpr int kStalled = -2004;             // the device stopped reporting progress

    // The outcome of a look at the version documents.
    enum class Lookup {
        Newer,  // a published part is newer than the device's firmware (the button is offered)
        Newest, // nothing newer (the button is not offered)
        Failed, // a document could not be fetched, or none was usable (the button is offered:
                // a press looks again and tells why it cannot upgrade)
    };
    Q_ENUM(Lookup)

signals:
    // The look after the device's upgrade settings answer ended (the update button is set).
    void versionsLooked(ProDevInfoDlg::Lookup result);
    // A press of the update button ended: 0 the device reported 100; otherwise the device's
    // failure or one of the k* results below.
    void upgradeEnded(int result);

protected:
    void fromJson(const Json::Value& upgradeCfg) override;
    void toJson(Json::Value& upgradeCfg) const override;
    void onLoad() override;

private:
    void onDevInfoReply(int result, const std::string& text);
    // Fetches the current device's documents; done(lookup, published) on the GUI thread, dropped
    // when the page moved to another load.
    void lookUp(std::function<void(Lookup, const PublishedFirmware&)> done);
    void onUpdateDevice();
    void startUpgrade(const PublishedFirmware& published);
    void onProgress(int result, const std::string& text);
    void endUpgrade(int result, const QString& message);
    void onStalled();
    void updateButton();

    QLabel* m_model;
    QLabel* m_software;
    QLabel* m_firmware;
    QCheckBox* m_auto;
    QPushButton* m_save;
    QProgressBar* m_progress;
    QPushButton* m_update;
    VersionFetch* m_fetch;
    QTimer* m_stall;
    std::shared_ptr<GuiMailbox> m_progressBox;

    // GUI thread.
    QString m_firmwareVersion;
    std::vector<std::string> m_addresses; // system, custom, vendor: of the last settings answer
    uint64_t m_lookupSerial = 0;          // of the current load
    Lookup m_lookup = Lookup::Failed;
    bool m_looked = false;                // the look after the last settings answer ended
    PublishedFirmware m_published;         // what that look found
    bool m_busy = false;                  // an update press is fetching or asking
    QString m_upgradeUid;                 // the device being upgraded; empty when none
};
