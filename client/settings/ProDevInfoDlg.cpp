#include "ProDevInfoDlg.h"

#include "ClientMessageBox.h"
#include "ClientRc4.h"
#include "GuiMailbox.h"
#include "SettingsJson.h"
#include "SettingsLayout.h"
#include "StringConvert.h"
#include "VersionFetch.h"
#include "libLumora.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <atomic>

namespace {

constexpr const char* kSection = "DevInfo";
// The version documents in the order they are looked up: the type key of "UpgradeCfg.info".
constexpr const char* kTypes[] = {"SystemType", "CustomType", "VendorType"};

std::atomic<int> g_progressTimeoutMs{180000};

void defaultConfirm(QWidget* page, const QString& question, std::function<void(bool)> answer)
{
    AskOkCancel(page->window(), question, QString(), std::move(answer));
}

ProDevInfoDlg::Confirm& confirmHook()
{
    static ProDevInfoDlg::Confirm c = defaultConfirm;
    return c;
}

// A progress report's "p": an integer, or a text that holds one.
std::optional<int> progressOf(const Json::Value& root)
{
    if (HasInt(root, "p"))
        return MemberInt(root, "p");
    if (HasString(root, "p")) {
        bool ok = false;
        const int p = MemberText(root, "p").trimmed().toInt(&ok);
        if (ok)
            return p;
    }
    return std::nullopt;
}

} // namespace

ProDevInfoDlg::ProDevInfoDlg(QWidget* parent)
    : DevicePage(IDD, {"UpgradeCfg.info", GetUpdateInfo, SetAutoUpdate, Writer::Compact, SetReport::FailureOnly, true}, parent),
      m_fetch(new VersionFetch(this)), m_stall(new QTimer(this)), m_progressBox(GuiMailbox::create(this))
{
    setWindowTitle(text("DevListMenu", "DevInfo"));
    auto* grid = new QGridLayout(this);
    m_model = control(1172, new QLabel(text(kSection, "DevType"), this));
    m_software = control(1173, new QLabel(text(kSection, "DevSofeVer"), this));
    m_firmware = control(1174, new QLabel(text(kSection, "DevhardVer"), this));
    for (QLabel* label : {m_model, m_software, m_firmware})
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_auto = control(1171, new QCheckBox(text(kSection, "DevAutoUpdate"), this));
    m_save = control(1200, new QPushButton(text(kSection, "UpdateSave"), this));
    m_save->setAutoDefault(false);
    setSaveButton(m_save);
    m_progress = control(1175, new QProgressBar(this));
    m_progress->setRange(0, 100);
    m_progress->setValue(0);
    // An upgrade rewrites the device's firmware: it starts only from a deliberate press, never
    // from Enter.
    m_update = control(1225, new QPushButton(text(kSection, "DevUpdate"), this));
    m_update->setAutoDefault(false);
    m_update->setDefault(false);
    m_update->setEnabled(false);
    connect(m_update, &QPushButton::clicked, this, [this] { onUpdateDevice(); });

    grid->addWidget(m_model, 0, 0, 1, 2);
    grid->addWidget(m_software, 1, 0, 1, 2);
    grid->addWidget(m_firmware, 2, 0, 1, 2);
    grid->addWidget(m_auto, 3, 0);
    grid->addWidget(m_save, 3, 1);
    grid->addWidget(m_progress, 4, 0);
    grid->addWidget(m_update, 4, 1);
    grid->setColumnStretch(0, 1);
    grid->setRowStretch(5, 1);

    m_stall->setSingleShot(true);
    connect(m_stall, &QTimer::timeout, this, [this] { onStalled(); });
}

ProDevInfoDlg::~ProDevInfoDlg()
{
    m_progressBox->close();
}

ProDevInfoDlg::Confirm ProDevInfoDlg::setConfirm(Confirm confirm)
{
    Confirm previous = std::move(confirmHook());
    confirmHook() = confirm ? std::move(confirm) : Confirm(defaultConfirm);
    return previous;
}

void ProDevInfoDlg::setProgressTimeout(int ms)
{
    g_progressTimeoutMs = std::max(ms, 1);
}

int ProDevInfoDlg::progressTimeout()
{
    return g_progressTimeoutMs;
}

void ProDevInfoDlg::SetHardwareVersionText(const QString& version)
{
    m_firmwareVersion = version.left(kMaxEditText);
    m_firmware->setText(text(kSection, "DevhardVer") + QLatin1Char(':') + m_firmwareVersion);
    if (m_upgradeUid.isEmpty())
        m_progress->setValue(0);
    // A look that already ended compared against the version before this one.
    if (m_looked && m_lookup != Lookup::Failed) {
        m_lookup = CompareVersions(WideToMultiByte(m_firmwareVersion), m_published) ? Lookup::Newer : Lookup::Newest;
        updateButton();
    }
}

void ProDevInfoDlg::onLoad()
{
    // A press still fetching or asking belongs to the load before.
    ++m_lookupSerial;
    m_fetch->abandon();
    m_busy = false;
    m_looked = false;
    updateButton();
    ask(GetParam, [this](int result, const std::string& reply) { onDevInfoReply(result, reply); });
}

void ProDevInfoDlg::onDevInfoReply(int result, const std::string& reply)
{
    if (result != 0)
        return;
    const std::optional<Json::Value> root = ParseDeviceText(reply);
    const Json::Value& info = root ? MemberObject(*root, "Dev.Info") : Json::Value::nullSingleton();
    if (!info.isObject())
        return;
    m_model->setText(text(kSection, "DevType") + QLatin1Char(':') + MemberText(info, "Model").left(kMaxEditText));
    m_software->setText(text(kSection, "DevSofeVer") + QLatin1Char(':') + MemberText(info, "OSver").left(kMaxEditText));
}

void ProDevInfoDlg::fromJson(const Json::Value& upgradeCfg)
{
    m_auto->setChecked(MemberBool(MemberObject(upgradeCfg, "AutoUpgrade"), "AutoUpgrade"));
    const std::string prefix = DecipherUpgradeUrl(WideToMultiByte(MemberText(upgradeCfg, "UpgradeUrl")));
    m_addresses.clear();
    for (const char* type : kTypes)
        m_addresses.push_back(HasString(upgradeCfg, type) ? VersionDocumentAddress(prefix, WideToMultiByte(MemberText(upgradeCfg, type)))
                                                          : std::string());
    ++m_lookupSerial;
    m_busy = false;
    m_looked = false;
    updateButton();
    lookUp([this](Lookup lookup, const PublishedFirmware& published) {
        m_lookup = lookup;
        m_published = published;
        m_looked = true;
        updateButton();
        emit versionsLooked(lookup);
    });
}

void ProDevInfoDlg::toJson(Json::Value& upgradeCfg) const
{
    Json::Value& flag = upgradeCfg["AutoUpgrade"];
    if (!flag.isObject())
        flag = Json::Value(Json::objectValue);
    flag["AutoUpgrade"] = m_auto->isChecked();
}

void ProDevInfoDlg::lookUp(std::function<void(Lookup, const PublishedFirmware&)> done)
{
    // Only the parts the device names are asked for; a device that names none cannot be upgraded.
    std::vector<std::string> asked;
    std::vector<size_t> parts;
    for (size_t i = 0; i < m_addresses.size(); ++i)
        if (!m_addresses[i].empty()) {
            asked.push_back(m_addresses[i]);
            parts.push_back(i);
        }
    if (asked.empty()) {
        m_fetch->abandon();
        done(Lookup::Failed, PublishedFirmware{});
        return;
    }
    const uint64_t serial = m_lookupSerial;
    m_fetch->fetch(asked, [this, serial, parts, done = std::move(done)](const std::vector<VersionFetch::Result>& results) {
        if (serial != m_lookupSerial)
            return;
        PublishedFirmware published;
        for (size_t k = 0; k < results.size(); ++k) {
            // Any download that failed ends the look: a part must never be judged on a
            // document of another time or device.
            if (!results[k].ok) {
                done(Lookup::Failed, PublishedFirmware{});
                return;
            }
            std::optional<Json::Value> element = ParseVersionDocument(results[k].body.toStdString());
            switch (parts[k]) {
            case 0:
                published.system = std::move(element);
                break;
            case 1:
                published.custom = std::move(element);
                break;
            default:
                published.vendor = std::move(element);
                break;
            }
        }
        if (!published.any()) {
            done(Lookup::Failed, published);
            return;
        }
        const bool newer = CompareVersions(WideToMultiByte(m_firmwareVersion), published);
        done(newer ? Lookup::Newer : Lookup::Newest, published);
    });
}

void ProDevInfoDlg::onUpdateDevice()
{
    if (m_busy || !m_upgradeUid.isEmpty() || !canSave())
        return;
    m_busy = true;
    updateButton();
    // The documents are fetched again: what the device is sent is what the server publishes now.
    lookUp([this](Lookup lookup, const PublishedFirmware& published) {
        m_lookup = lookup == Lookup::Failed ? m_lookup : lookup;
        m_published = lookup == Lookup::Failed ? m_published : published;
        if (lookup == Lookup::Failed) {
            m_busy = false;
            updateButton();
            report(text(kSection, "VersionFail"));
            emit upgradeEnded(kVersionsUnavailable);
            return;
        }
        if (lookup == Lookup::Newest) {
            m_busy = false;
            updateButton();
            report(text(kSection, "Newest"));
            emit upgradeEnded(kNothingNewer);
            return;
        }
        const uint64_t serial = m_lookupSerial;
        confirmHook()(this, text(kSection, "UpgradeAsk"), [this, serial, published](bool yes) {
            if (serial != m_lookupSerial || !m_busy)
                return;
            m_busy = false;
            if (!yes) {
                updateButton();
                emit upgradeEnded(kDeclined);
                return;
            }
            startUpgrade(published);
        });
    });
}

void ProDevInfoDlg::startUpgrade(const PublishedFirmware& published)
{
    const std::string body = WriteCompact(UpgradeBody(published));
    m_upgradeUid = uid();
    m_progress->setRange(0, 100);
    m_progress->setValue(0);
    updateButton();
    m_stall->start(progressTimeout());
    std::shared_ptr<GuiMailbox> box = m_progressBox;
    // Every progress report of the device comes through this callback until 100 or a failure.
    const int sent = DevUpdata(WideToMultiByte(m_upgradeUid), body, [box](int, int result, std::string reply, std::string who, char*, int) {
        box->post([result, reply = std::move(reply), who = std::move(who)](QObject* self) {
            auto* page = static_cast<ProDevInfoDlg*>(self);
            if (MultiByteToWide(who) == page->m_upgradeUid)
                page->onProgress(result, reply);
        });
    });
    if (sent < 0)
        endUpgrade(sent, text(kSection, "Fail"));
}

void ProDevInfoDlg::onProgress(int result, const std::string& reply)
{
    if (m_upgradeUid.isEmpty())
        return;
    // A failed report ends the upgrade: no more reports come for it.
    if (result < 0) {
        endUpgrade(result, text(kSection, "Fail"));
        return;
    }
    if (result != 0)
        return;
    const std::optional<Json::Value> root = ParseDeviceText(reply);
    const std::optional<int> p = root ? progressOf(*root) : std::nullopt;
    if (!p)
        return;
    const int percent = std::clamp(*p, 0, 100);
    if (uid() == m_upgradeUid)
        m_progress->setValue(percent);
    m_stall->start(progressTimeout());
    if (percent == 100)
        endUpgrade(0, text(kSection, "Success"));
}

void ProDevInfoDlg::onStalled()
{
    if (!m_upgradeUid.isEmpty())
        endUpgrade(kStalled, text(kSection, "UpgradeStall"));
}

void ProDevInfoDlg::endUpgrade(int result, const QString& message)
{
    m_stall->stop();
    m_upgradeUid.clear();
    updateButton();
    report(message);
    emit upgradeEnded(result);
}

void ProDevInfoDlg::updateButton()
{
    m_update->setEnabled(canSave() && m_looked && m_lookup != Lookup::Newest && !m_busy && m_upgradeUid.isEmpty());
}
