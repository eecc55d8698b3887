// The client's one top-level window: the main toolbar, the five docking panes (device tree,
// device recordings, local files, side panel, alarms) and a stack of the three views (live,
// playback, device settings) that the mode buttons switch between. It registers the SDK's one
// message callback, hands the local folders to the SDK, and forwards requests between the panes
// and the views.
//
// Threads: everything here runs on the GUI thread, except OnDeviceMessage, which the SDK calls on
// its own threads (several at once, possibly while the GUI thread is inside the SDK). It copies
// its arguments into values, does the database work of an alarm on that thread, and posts queued
// calls to the frame through its mailbox; it never touches a widget and never waits for the GUI.
#pragma once

#include <QMainWindow>
#include <QPoint>
#include <QRect>
#include <QString>
#include <memory>
#include <string>

class CAlarmPaneView;
class QAction;
class CDevTreeView;
class CFileTreeView;
class CLocalRecPlanDlg;
class GuiMailbox;
class ProSettingDlg;
class QDockWidget;
class KeepAwake;
class QStackedWidget;
class QToolBar;
class QToolButton;

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    // The views the stack holds; the values are the application's view-switch modes.
    enum ViewMode { LiveView = 0, PlaybackView = 1, PropertyView = 3 };

    // Command ids of the toolbars and the video pane.
    enum Command {
        ID_FULL_SCREEN = 0x8071,
        ID_SWITCH_WND = 0x8072,
        ID_SPLIT_1 = 0x8076,
        ID_SPLIT_4 = 0x8077,
        ID_SPLIT_6 = 0x8078,
        ID_SPLIT_9 = 0x807B,
        ID_SPLIT_16 = 0x807D,
        ID_SPLIT_25 = 0x807F,
        ID_SPLIT_32 = 0x8081,
        ID_LOCAL_SETTINGS = 0x8082,
        ID_LIVE_MODE = 0x808E,
        ID_ADD_DEVICE = 0x808F,
        ID_PROPERTY_MODE = 0x80D6,
        ID_RECORD_MODE = 0x80D7,
        ID_LOCAL_FILE_MODE = 0x80D8,
        ID_LOCAL_REC_PLAN = 0x80D9,
        ID_HELP = 0xE146,
    };

    // Creates the panes (the device tree starts its logins), registers the message callback,
    // hands the four local folders to the SDK.
    explicit CMainFrame(QWidget* parent = nullptr);
    ~CMainFrame() override;

    // The view shown for a mode; a later subsystem replaces the placeholder with its own view
    // (the frame takes ownership). Returns the view that was there before (now unparented).
    QWidget* installView(ViewMode mode, QWidget* view);
    QWidget* view(ViewMode mode) const;
    // Makes the view of `mode` the active one; returns the mode that was active.
    int switchView(int mode);
    int activeViewMode() const { return m_activeMode; }
    // Replaces the content of the device record pane or the side panel.
    void installRecordPane(QWidget* pane);
    void installSidePanel(QWidget* panel);

    // Tooltip of a toolbar button by id (shared with the video pane's toolbar); `current` for an
    // id without its own text.
    static QString UserToolTip(int id, const QString& current = QString());
    // The help page for a [Language] value: Chinese when its language code is "CN".
    static QString HelpFileFor(const QString& languageValue);

    // Commands.
    void OnLiveMode();
    void OnDevicePropertyMode();
    void OnDeviceRecordMode();
    void OnLocalFileMode();
    void OnAddDevice();
    void OnLocalSettings();
    void OnLocalRecordPlan();
    void OnSplitScreen(int command);
    void OnFullScreen();
    void OnHelp();

    // Requests of the panes and views.
    void OpenDeviceVideo(const QString& uid, int stream, QPoint point);
    void CloseDeviceVideo(const QString& uid);
    void ForwardToLiveView(const QString& uid);
    void PlayRemoteRecord(const QString& uid, const QString& file, int length);
    int PlayLocalFile(const QString& path);
    void SetCurrentDevice(const QString& uid);
    QString GetDeviceVersion(const QString& uid) const;
    void ShowRecordTree(const QString& uid);
    void ExitFullScreen();
    bool isFullScreenMode() const { return m_fullScreen; }
    // Set by the video pane while one pane fills the screen on its own.
    void setPaneFullScreen(bool on) { m_paneFullScreen = on; }

    // The SDK's message callback (any SDK thread).
    void OnDeviceMessage(int message, const std::string& uid, const char* text, const char* extra, int value, int status);
    // The desktop alert of a raised alarm (GUI thread).
    void OnAlarmPopup(const QString& alertText);
    // Logs out, stops SDK messages; called by close and by the destructor.
    void ShutDown();

    CDevTreeView* devTreePane() const { return m_devTree; }
    CAlarmPaneView* alarmPane() const { return m_alarmPane; }
    CFileTreeView* fileTreePane() const { return m_fileTree; }
    QDockWidget* dock(const char* objectName) const;
    QToolBar* mainToolBar() const { return m_toolBar; }
    ProSettingDlg* localSettingsDialog() const { return m_localSettings; }
    CLocalRecPlanDlg* localRecPlanDialog() const { return m_localRecPlan; }
    // The help page the last OnHelp opened.
    QString lastHelpFile() const { return m_lastHelp; }
    // Alarm pop-ups shown so far.
    int alarmPopups() const { return m_popups; }

    // Re-reads every text from the current language.
    void RetranslateUi();

public slots:
    // A device stored by the LAN search dialog: the device record pane adds a node for it.
    void OnDeviceStored(const QString& uid);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void createToolBar();
    void createDockingWindows();
    QDockWidget* makeDock(const char* name, int id, QWidget* content, Qt::DockWidgetAreas allowed);
    void showPane(QDockWidget* dock, bool show);
    template <class Interface> Interface* activeViewAs(ViewMode mode) const;

    std::shared_ptr<GuiMailbox> m_mailbox;
    QToolBar* m_toolBar = nullptr;
    QToolButton* m_splitButton = nullptr;
    QAction* m_fullScreenEntry = nullptr;
    QStackedWidget* m_views = nullptr;
    QWidget* m_viewOf[4] = {};
    int m_activeMode = LiveView;

    CDevTreeView* m_devTree = nullptr;
    QWidget* m_recordPane = nullptr;
    CFileTreeView* m_fileTree = nullptr;
    QWidget* m_sidePanel = nullptr;
    CAlarmPaneView* m_alarmPane = nullptr;
    QDockWidget* m_devTreeDock = nullptr;
    QDockWidget* m_recordDock = nullptr;
    QDockWidget* m_fileDock = nullptr;
    QDockWidget* m_sideDock = nullptr;
    QDockWidget* m_alarmDock = nullptr;

    ProSettingDlg* m_localSettings = nullptr;
    CLocalRecPlanDlg* m_localRecPlan = nullptr;
    KeepAwake* m_keepAwake = nullptr; // while the frame lives and is not shut down

    bool m_fullScreen = false;
    bool m_paneFullScreen = false;
    QRect m_savedGeometry;
    bool m_shutDown = false;
    QString m_lastHelp;
    int m_popups = 0;
};
