// The tree control of the device tree pane: one root, one node per device (text: the UID) with
// two detail rows under it (MAC, alias). Icons: 0 online (also the root), 1 offline, 2 detail
// row; a device node's login flag is 1 while the device is logged in, else 0.
//
// The mouse: a click makes a device the frame's current device; a double-click opens the live
// video of a logged-in device; dragging a device node and releasing it logs the device in (again)
// and, on success, opens its video in the pane it was dropped on.
//
// Thread: GUI. Login results come back through the control's mailbox.
#pragma once

#include <QPoint>
#include <QTreeWidget>
#include <memory>

class CMainFrame;
class GuiMailbox;
class LoginWorkers;

class CViewTree : public QTreeWidget {
    Q_OBJECT
public:
    enum Image { Online = 0, Offline = 1, Detail = 2 };
    static constexpr int kImageRole = Qt::UserRole + 1;
    static constexpr int kLoggedInRole = Qt::UserRole;

    explicit CViewTree(QWidget* parent = nullptr);
    ~CViewTree() override;

    void setFrame(CMainFrame* frame) { m_frame = frame; }
    // The login threads of drop logins (owned by the pane).
    void setLoginWorkers(LoginWorkers* workers) { m_workers = workers; }

    QTreeWidgetItem* root() const { return topLevelItemCount() > 0 ? topLevelItem(0) : nullptr; }
    // A device node: a child of the root with children of its own.
    bool isDeviceNode(const QTreeWidgetItem* item) const;
    QTreeWidgetItem* findDevice(const QString& uid) const;
    static void setImage(QTreeWidgetItem* item, Image image);
    static int image(const QTreeWidgetItem* item);
    static int loggedIn(const QTreeWidgetItem* item);
    static void setLoggedIn(QTreeWidgetItem* item, bool on);

    // LogoutDev for every device node, whatever its state.
    void LogoutDevices();
    // A login of this control (drop): password from "DevInfo.db", no login when it is empty.
    void StartLoginThread(const QString& uid, QPoint point);
    // The point a finished device drag opens the device at: where it was dropped on the live grid
    // (grid coordinates), or a point outside every pane when no grid took the drop.
    static QPoint DropPoint(Qt::DropAction done, QObject* target);
    // The result of a drop login, for the node of the device that logged in.
    void OnLoginResult(const QString& uid, int result, QPoint point);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void startDrag(Qt::DropActions supportedActions) override;

private:
    void announceCurrent();

    CMainFrame* m_frame = nullptr;
    LoginWorkers* m_workers = nullptr;
    std::shared_ptr<GuiMailbox> m_mailbox;
    QPoint m_lastPoint;
};
