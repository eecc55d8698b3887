// The device tree pane on the left of the main frame: lists the user's devices from
// "DevInfo.db", keeps each one logged in (one login thread per device), shows each login's
// outcome in the node's icon, keeps the first login reply of every device (its firmware
// version), follows the link-lost and reconnected events of the SDK, and offers the device
// command menu.
//
// Thread: GUI. SDK callbacks (login results) copy their arguments and come here through the
// pane's mailbox; the main frame posts the device-state updates.
#pragma once

#include "DeviceDatabases.h"

#include <QPoint>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class CMainFrame;
class DevicePageDialog;
class CResetPADlg;
class CViewTree;
class DevSearchDlg;
class GuiMailbox;
class LoginWorkers;
class QMenu;
class QMessageBox;
class QTreeWidgetItem;

class CDevTreeView : public QWidget {
    Q_OBJECT
public:
    // Commands of the device menu, in menu order.
    enum Command {
        ID_SEARCH_DEV = 32771,
        ID_DEV_DEL = 32823,
        ID_DEV_ALL_DEL = 32824,
        ID_DEV_RELOGIN = 32900,
        ID_DEV_REBOOT = 32915,
        ID_DEV_DEFAULT = 32916,
        ID_DEV_INFO_MODIFY = 32918,
        ID_DEV_MOBILE = 32938,
        ID_DEV_50HZ = 32855,
        ID_DEV_60HZ = 32856,
        ID_IRCUT_POSITIVE = 32857,
        ID_IRCUT_REVERSE = 32858,
        ID_DEV_INDOOR = 32859,
        ID_DEV_OUTDOOR = 32861,
        ID_DEV_HORIZONTAL = 32905,
        ID_DEV_VERTICAL = 32904,
    };
    static constexpr int kLoginSpacingMs = 50;

    explicit CDevTreeView(CMainFrame* frame, QWidget* parent = nullptr);
    ~CDevTreeView() override;

    // Fills the tree from "DevInfo.db" and starts one login per device, 50 ms apart.
    void LoadDevices();
    // A device stored by the search dialog: a node and a login, unless the UID is listed.
    void AddDevice(const QString& uid, const QString& mac, const QString& alias, const QString& password);
    // No login starts after this; every logged-in device is logged out.
    void LogoutAllDevices();
    // SDK messages 1 (link lost) and 2 (reconnected; text is the login reply).
    void UpdateDeviceState(int state, const QString& uid, const std::string& text);
    // "dev_info"."dev_ver" of the first login reply cached for the UID; empty when none.
    QString GetDeviceVersion(const QString& uid) const;
    void SelectDevice(const QString& uid);
    // Replaces the alias row of the device's node.
    void InsertDeviceItem(const QString& uid, const QString& alias);
    // Shows the LAN search dialog (made on first use).
    void OnSearchDevice();

    // Login results (GUI thread).
    void OnLoginResult(int status, const std::string& reply, const std::string& uid);
    void OnReloginResult(int status, const std::string& reply, const std::string& uid);

    // The device menu, built with the current language and the enable rules for the current
    // item. The caller owns it.
    QMenu* CreateContextMenu();
    bool IsCommandEnabled(int id) const;
    // Runs a menu command on the current item.
    void RunCommand(int id);

    // The one-click setting a command sends: the export's document and its compact JSON text.
    static std::string OneClickJson(int id);

    // Asked before delete and delete-all; true goes on. Tests replace the question.
    std::function<bool(const QString& text)> confirm;

    CViewTree* tree() const { return m_tree; }
    DevSearchDlg* searchDialog() const { return m_searchDlg; }
    // The window of a device page the menu opened (by dialog id); null before its first use.
    DevicePageDialog* pageDialog(int dialogId) const;
    CResetPADlg* aliasPasswordDialog() const { return m_resetDlg; }

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    // The rows of "DevInfo.db"; nothing when there is no list to show. A locked or damaged file
    // is reported to the user (queued, after the frame is up).
    std::optional<std::vector<DevInfoRow>> loadStoredDevices();
    QTreeWidgetItem* ensureRoot(const QString& text);
    QTreeWidgetItem* addDeviceNode(const QString& uid, const QString& mac, const QString& alias);
    void startLogin(const QString& uid, const QString& password, int delayMs, bool relogin);
    void showPasswordError(const QString& uid);
    void cacheReply(const std::string& uid, const std::string& reply);
    QString currentUid() const;

    void OnDeleteDevice();
    void OnDeleteAllDevices();
    void OnRelogin();
    void OnReboot();
    void OnRestoreDefault();
    void OnOneClick(int id);
    void OpenSettingsDialog(int id);

    CMainFrame* m_frame;
    std::shared_ptr<GuiMailbox> m_mailbox;
    std::unique_ptr<LoginWorkers> m_logins;

    mutable std::mutex m_cacheMutex;
    std::map<std::string, std::string> m_replyCache; // guarded by m_cacheMutex

    DevSearchDlg* m_searchDlg = nullptr;
    std::map<int, DevicePageDialog*> m_pageDialogs; // by dialog id, made on first use
    CResetPADlg* m_resetDlg = nullptr;
    std::atomic<bool> m_bClosing{false};
    std::map<QString, QPointer<QMessageBox>> m_passwordBoxes; // the open wrong-password box of each device
    CViewTree* m_tree;
};
