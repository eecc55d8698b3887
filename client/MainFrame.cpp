#include "MainFrame.h"

#include "AlarmPaneView.h"
#include "AlarmPopup.h"
#include "AlarmReport.h"
#include "DesktopServices.h"
#include "DevTreeView.h"
#include "DeviceDatabases.h"
#include "FileTreeView.h"
#include "FrameText.h"
#include "GuiMailbox.h"
#include "PlaceholderView.h"
#include "liveview/CRealTimePannel.h"
#include "ViewInterfaces.h"
#include "libLumora.h"
#include "liveview/CDevRecTreeView.h"
#include "liveview/CHisPlayView.h"
#include "liveview/CRealTimePlayView.h"
#include "settings/DevAllProView.h"
#include "settings/ProSettingDlg.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDockWidget>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMenu>
#include <QScreen>
#include <QStackedWidget>
#include <QStyle>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>
#include <cstring>

namespace {

struct ToolTipEntry {
    int id;
    const char* section;
    const char* key;
};

const ToolTipEntry kToolTips[] = {
    {0x8071, "ToolBar", "FullScreen"},  {0x8072, "ToolBar", "SwitchWnd"},    {0x8082, "ToolBar", "SavePathSet"},
    {0x808E, "ToolBar", "Video"},       {0x808F, "ToolBar", "AddDev"},       {0x80C8, "ToolBar", "Record"},
    {0x80CA, "ToolBar", "Audio"},       {0x80CC, "ToolBar", "Mirco"},        {0x80CF, "ToolBar", "Zoom"},
    {0x80D0, "ToolBar", "Snap"},        {0x80D1, "ToolBar", "Close"},        {0x80D4, "ToolBar", "Roate"},
    {0x80D6, "ToolBar", "DevPropety"},  {0x80D7, "ToolBar", "DevRecList"},   {0x80D8, "ToolBar", "LocalRecList"},
    {0x80D9, "ToolBar", "LocalRecPlan"}, {0x80DD, "VideoMenu", "Switch"},    {0xE146, "ToolBar", "Help"},
};

struct SplitEntry {
    int id;
    int count;
};
const SplitEntry kSplits[] = {{0x8076, 1}, {0x8077, 4}, {0x8078, 6}, {0x807B, 9}, {0x807D, 16}, {0x807F, 25}, {0x8081, 32}};

QIcon toolIcon(int id)
{
    QStyle* s = QApplication::style();
    switch (id) {
    case CMainFrame::ID_ADD_DEVICE:
        return s->standardIcon(QStyle::SP_FileDialogNewFolder);
    case CMainFrame::ID_LIVE_MODE:
        return s->standardIcon(QStyle::SP_MediaPlay);
    case CMainFrame::ID_PROPERTY_MODE:
        return s->standardIcon(QStyle::SP_FileDialogDetailedView);
    case CMainFrame::ID_RECORD_MODE:
        return s->standardIcon(QStyle::SP_DriveNetIcon);
    case CMainFrame::ID_LOCAL_FILE_MODE:
        return s->standardIcon(QStyle::SP_DirOpenIcon);
    case CMainFrame::ID_LOCAL_REC_PLAN:
        return s->standardIcon(QStyle::SP_FileDialogContentsView);
    case CMainFrame::ID_LOCAL_SETTINGS:
        return s->standardIcon(QStyle::SP_FileDialogListView);
    case CMainFrame::ID_SWITCH_WND:
        return s->standardIcon(QStyle::SP_TitleBarMaxButton);
    case CMainFrame::ID_FULL_SCREEN:
        return s->standardIcon(QStyle::SP_DesktopIcon);
    case CMainFrame::ID_HELP:
        return s->standardIcon(QStyle::SP_DialogHelpButton);
    default:
        return {};
    }
}

QString textOf(const char* text, int value)
{
    if (text == nullptr)
        return {};
    const std::size_t length = value > 0 ? strnlen(text, static_cast<std::size_t>(value)) : std::strlen(text);
    return QString::fromUtf8(text, static_cast<qsizetype>(length));
}

} // namespace

CMainFrame::CMainFrame(QWidget* parent) : QMainWindow(parent), m_mailbox(GuiMailbox::create(this))
{
    setObjectName(QStringLiteral("MainFrame"));
    setAttribute(Qt::WA_DeleteOnClose, false);
    m_views = new QStackedWidget(this);
    m_views->setObjectName(QStringLiteral("Views"));
    setCentralWidget(m_views);
    installView(LiveView, new CRealTimePlayView(this, this));
    installView(PlaybackView, new CHisPlayView(this));
    installView(PropertyView, new DevAllProView(this));
    if (auto* property = qobject_cast<DevAllProView*>(m_viewOf[PropertyView])) {
        property->deviceVersion = [this](const QString& uid) { return GetDeviceVersion(uid); };
        property->onTabChanged = [this](const QString& uid) {
            if (m_devTree)
                m_devTree->SelectDevice(uid);
        };
    }
    switchView(LiveView);


    createToolBar();
    createDockingWindows();
    RetranslateUi();

    // Messages start once the panes exist; logins that finish earlier are not reported here.
    std::shared_ptr<GuiMailbox> box = m_mailbox;
    CMainFrame* self = this;
    SetMSGCallBack([box, self](int message, std::string uid, char* text, char* extra, int value, int status) {
        if (box->open())
            self->OnDeviceMessage(message, uid, text, extra, value, status);
    });
    SetSnapPath(SnapDir().toStdString());
    SetDownloadPath(DownloadDir().toStdString());
    SetRecPath(RecordDir().toStdString());
    SetAlarmPath(AlarmDir().toStdString());
    m_keepAwake = new KeepAwake(this);
    resize(1280, 800);
}

CMainFrame::~CMainFrame()
{
    ShutDown();
}

void CMainFrame::ShutDown()
{
    if (m_shutDown)
        return;
    m_shutDown = true;
    delete m_keepAwake;
    m_keepAwake = nullptr;
    SetMSGCallBack(DeviceMessageCallback());
    m_mailbox->close();
    if (m_devTree)
        m_devTree->LogoutAllDevices();
}

void CMainFrame::closeEvent(QCloseEvent* event)
{
    ShutDown();
    QMainWindow::closeEvent(event);
}

void CMainFrame::createToolBar()
{
    m_toolBar = addToolBar(QString());
    m_toolBar->setObjectName(QStringLiteral("MainToolBar"));
    m_toolBar->setIconSize(QSize(32, 32));
    m_toolBar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    m_toolBar->setMovable(true);
    auto add = [this](int id, void (CMainFrame::*handler)()) {
        QAction* action = m_toolBar->addAction(toolIcon(id), QString());
        action->setData(id);
        action->setObjectName(QStringLiteral("Command%1").arg(id, 4, 16, QLatin1Char('0')));
        connect(action, &QAction::triggered, this, handler);
    };
    add(ID_ADD_DEVICE, &CMainFrame::OnAddDevice);
    m_toolBar->addSeparator();
    add(ID_LIVE_MODE, &CMainFrame::OnLiveMode);
    m_toolBar->addSeparator();
    add(ID_PROPERTY_MODE, &CMainFrame::OnDevicePropertyMode);
    add(ID_RECORD_MODE, &CMainFrame::OnDeviceRecordMode);
    m_toolBar->addSeparator();
    add(ID_LOCAL_FILE_MODE, &CMainFrame::OnLocalFileMode);
    m_toolBar->addSeparator();
    add(ID_LOCAL_REC_PLAN, &CMainFrame::OnLocalRecordPlan);
    m_toolBar->addSeparator();
    add(ID_LOCAL_SETTINGS, &CMainFrame::OnLocalSettings);
    m_toolBar->addSeparator();

    // The split drop-down in place of button 0x8072.
    m_splitButton = new QToolButton(m_toolBar);
    m_splitButton->setObjectName(QStringLiteral("Command%1").arg(ID_SWITCH_WND, 4, 16, QLatin1Char('0')));
    m_splitButton->setIcon(toolIcon(ID_SWITCH_WND));
    m_splitButton->setPopupMode(QToolButton::InstantPopup);
    auto* menu = new QMenu(m_splitButton);
    for (const SplitEntry& split : kSplits) {
        QAction* action = menu->addAction(QString::number(split.count));
        action->setData(split.id);
        const int id = split.id;
        connect(action, &QAction::triggered, this, [this, id] { OnSplitScreen(id); });
    }
    // The whole grid full screen, from the toolbar and from the grid's menu; Esc leaves it.
    menu->addSeparator();
    m_fullScreenEntry = menu->addAction(toolIcon(ID_FULL_SCREEN), QString());
    m_fullScreenEntry->setObjectName(QStringLiteral("FullScreenEntry"));
    connect(m_fullScreenEntry, &QAction::triggered, this, &CMainFrame::OnFullScreen);
    m_splitButton->setMenu(menu);
    m_toolBar->addWidget(m_splitButton);
    add(ID_FULL_SCREEN, &CMainFrame::OnFullScreen);
    add(ID_HELP, &CMainFrame::OnHelp);
}

QDockWidget* CMainFrame::makeDock(const char* name, int id, QWidget* content, Qt::DockWidgetAreas allowed)
{
    auto* dock = new QDockWidget(this);
    dock->setObjectName(QString::fromLatin1(name));
    dock->setProperty("controlId", id);
    dock->setFeatures(QDockWidget::DockWidgetClosable | QDockWidget::DockWidgetMovable | QDockWidget::DockWidgetFloatable);
    dock->setAllowedAreas(allowed);
    dock->setWidget(content);
    return dock;
}

void CMainFrame::createDockingWindows()
{
    m_devTree = new CDevTreeView(this);
    m_devTreeDock = makeDock("DevTreeDock", 134, m_devTree, Qt::LeftDockWidgetArea);
    m_recordPane = new CDevRecTreeView(this);
    m_recordDock = makeDock("DevRecDock", 137, m_recordPane, Qt::AllDockWidgetAreas);
    m_fileTree = new CFileTreeView(this);
    m_fileDock = makeDock("FileTreeDock", 135, m_fileTree, Qt::AllDockWidgetAreas);
    m_sidePanel = new CRealTimePannel(this);
    m_sideDock = makeDock("SidePanelDock", 136, m_sidePanel, Qt::RightDockWidgetArea);
    m_alarmPane = new CAlarmPaneView(this);
    m_alarmDock = makeDock("AlarmDock", 149, m_alarmPane, Qt::BottomDockWidgetArea);

    addDockWidget(Qt::RightDockWidgetArea, m_sideDock);
    addDockWidget(Qt::LeftDockWidgetArea, m_devTreeDock);
    addDockWidget(Qt::BottomDockWidgetArea, m_alarmDock);
    addDockWidget(Qt::LeftDockWidgetArea, m_recordDock);
    addDockWidget(Qt::LeftDockWidgetArea, m_fileDock);
    tabifyDockWidget(m_devTreeDock, m_recordDock);
    tabifyDockWidget(m_devTreeDock, m_fileDock);
    m_recordDock->hide();
    m_fileDock->hide();
    m_devTreeDock->raise();
    resizeDocks({m_devTreeDock}, {260}, Qt::Horizontal);
    resizeDocks({m_alarmDock}, {170}, Qt::Vertical);
    resizeDocks({m_sideDock}, {200}, Qt::Horizontal);

    // The device tree starts its logins while the panes are made, before messages are on.
    m_devTree->LoadDevices();
}

void CMainFrame::RetranslateUi()
{
    setWindowTitle(QApplication::applicationDisplayName().isEmpty() ? QStringLiteral("Lumora")
                                                                    : QApplication::applicationDisplayName());
    m_devTreeDock->setWindowTitle(LangText("MainFrame", "DevTreeName"));
    m_recordDock->setWindowTitle(LangText("MainFrame", "DevRecTree"));
    m_fileDock->setWindowTitle(LangText("MainFrame", "FileTreeName"));
    m_sideDock->setWindowTitle(LangText("MainFrame", "PTZPannel"));
    m_alarmDock->setWindowTitle(LangText("MainFrame", "AlarmPannel"));
    for (QAction* action : m_toolBar->actions()) {
        const int id = action->data().toInt();
        if (id != 0) {
            action->setToolTip(UserToolTip(id, action->toolTip()));
            action->setText(action->toolTip());
        }
    }
    m_splitButton->setToolTip(UserToolTip(ID_SWITCH_WND));
    m_fullScreenEntry->setText(UserToolTip(ID_FULL_SCREEN));
    m_alarmPane->RetranslateUi();
}

QString CMainFrame::UserToolTip(int id, const QString& current)
{
    for (const ToolTipEntry& entry : kToolTips)
        if (entry.id == id)
            return LangText(entry.section, entry.key);
    return current;
}

QString CMainFrame::HelpFileFor(const QString& languageValue)
{
    return HelpPageFor(languageValue);
}

QWidget* CMainFrame::installView(ViewMode mode, QWidget* newView)
{
    QWidget* old = m_viewOf[mode];
    if (old) {
        m_views->removeWidget(old);
        old->setParent(nullptr);
    }
    m_viewOf[mode] = newView;
    m_views->addWidget(newView);
    if (m_activeMode == mode)
        m_views->setCurrentWidget(newView);
    return old;
}

QWidget* CMainFrame::view(ViewMode mode) const
{
    return m_viewOf[mode];
}

int CMainFrame::switchView(int mode)
{
    const int previous = m_activeMode;
    m_activeMode = (mode == PlaybackView || mode == PropertyView) ? mode : LiveView;
    m_views->setCurrentWidget(m_viewOf[m_activeMode]);
    m_viewOf[m_activeMode]->show();
    return previous;
}

void CMainFrame::installRecordPane(QWidget* pane)
{
    m_recordPane = pane;
    m_recordDock->setWidget(pane);
}

void CMainFrame::installSidePanel(QWidget* panel)
{
    m_sidePanel = panel;
    m_sideDock->setWidget(panel);
}

QDockWidget* CMainFrame::dock(const char* objectName) const
{
    return findChild<QDockWidget*>(QString::fromLatin1(objectName), Qt::FindDirectChildrenOnly);
}

template <class Interface> Interface* CMainFrame::activeViewAs(ViewMode mode) const
{
    if (m_activeMode != mode)
        return nullptr;
    return dynamic_cast<Interface*>(m_viewOf[mode]);
}

void CMainFrame::showPane(QDockWidget* d, bool show)
{
    if (show) {
        d->show();
        d->raise();
    } else {
        d->hide();
    }
}

void CMainFrame::OnLiveMode()
{
    showPane(m_recordDock, false);
    showPane(m_fileDock, false);
    showPane(m_sideDock, true);
    showPane(m_alarmDock, true);
    showPane(m_devTreeDock, true);
    switchView(LiveView);
}

void CMainFrame::OnDevicePropertyMode()
{
    showPane(m_recordDock, false);
    showPane(m_fileDock, false);
    showPane(m_alarmDock, false);
    showPane(m_sideDock, false);
    showPane(m_devTreeDock, true);
    switchView(PropertyView);
}

void CMainFrame::OnDeviceRecordMode()
{
    showPane(m_recordDock, true);
    showPane(m_fileDock, false);
    showPane(m_alarmDock, false);
    showPane(m_sideDock, false);
    showPane(m_devTreeDock, false);
    switchView(PlaybackView);
}

void CMainFrame::OnLocalFileMode()
{
    showPane(m_recordDock, false);
    showPane(m_fileDock, true);
    m_fileTree->RefreshTree();
    showPane(m_alarmDock, false);
    showPane(m_sideDock, false);
    showPane(m_devTreeDock, false);
    switchView(PlaybackView);
}

void CMainFrame::OnAddDevice()
{
    m_devTree->OnSearchDevice();
}

namespace {

void showCentred(QWidget* dialog, QWidget* over)
{
    dialog->show();
    dialog->raise();
    dialog->move(over->frameGeometry().center() - dialog->rect().center());
}

} // namespace

void CMainFrame::OnLocalSettings()
{
    if (!m_localSettings)
        m_localSettings = new ProSettingDlg(this);
    showCentred(m_localSettings, this);
}

void CMainFrame::OnLocalRecordPlan()
{
    if (!m_localRecPlan)
        m_localRecPlan = new CLocalRecPlanDlg(this);
    showCentred(m_localRecPlan, this);
}

void CMainFrame::OnSplitScreen(int command)
{
    ILiveView* live = activeViewAs<ILiveView>(LiveView);
    if (!live)
        return;
    for (const SplitEntry& split : kSplits)
        if (split.id == command)
            live->SetSplitCount(split.count);
}

void CMainFrame::OnFullScreen()
{
    if (m_activeMode != LiveView)
        return;
    QWidget* live = m_viewOf[LiveView];
    if (!m_fullScreen) {
        m_fullScreen = true;
        m_savedGeometry = live->geometry();
        m_views->removeWidget(live);
        live->setParent(nullptr);
        live->setWindowFlags(Qt::Window | Qt::WindowStaysOnTopHint | Qt::FramelessWindowHint);
        if (QScreen* screen = this->screen())
            live->setGeometry(screen->geometry());
        live->showFullScreen();
        // Esc reaches the view (or a pane in it) only while its window has the focus.
        live->activateWindow();
        live->setFocus(Qt::OtherFocusReason);
    } else {
        m_fullScreen = false;
        live->hide();
        live->setWindowFlags(Qt::Widget);
        m_views->addWidget(live);
        m_views->setCurrentWidget(live);
        live->show();
        show();
    }
}

void CMainFrame::ExitFullScreen()
{
    if (!m_fullScreen || m_paneFullScreen)
        return;
    OnFullScreen();
    m_viewOf[LiveView]->setFocus();
}

void CMainFrame::OnHelp()
{
    m_lastHelp = HelpFileFor(LanguageCode());
    OpenHelp();
}

void CMainFrame::OpenDeviceVideo(const QString& uid, int stream, QPoint point)
{
    if (ILiveView* live = activeViewAs<ILiveView>(LiveView))
        live->OpenDeviceVideo(uid, stream, point);
}

void CMainFrame::CloseDeviceVideo(const QString& uid)
{
    if (ILiveView* live = activeViewAs<ILiveView>(LiveView))
        live->CloseDeviceVideo(uid);
}

void CMainFrame::ForwardToLiveView(const QString& uid)
{
    if (ILiveView* live = activeViewAs<ILiveView>(LiveView))
        live->SelectDevicePane(uid);
}

void CMainFrame::PlayRemoteRecord(const QString& uid, const QString& file, int length)
{
    if (IPlaybackView* playback = activeViewAs<IPlaybackView>(PlaybackView))
        playback->PlayRemoteRecord(uid, file, length);
}

int CMainFrame::PlayLocalFile(const QString& path)
{
    if (IPlaybackView* playback = activeViewAs<IPlaybackView>(PlaybackView))
        return playback->PlayLocalFile(path);
    return 0;
}

void CMainFrame::SetCurrentDevice(const QString& uid)
{
    if (auto* panel = dynamic_cast<ISidePanel*>(m_sidePanel))
        panel->SetCurrentDevice(uid);
    if (auto* property = qobject_cast<DevAllProView*>(m_viewOf[PropertyView]))
        property->RefreshActivePage(uid);
}

QString CMainFrame::GetDeviceVersion(const QString& uid) const
{
    return m_devTree ? m_devTree->GetDeviceVersion(uid) : QString();
}

void CMainFrame::ShowRecordTree(const QString& uid)
{
    showPane(m_recordDock, true);
    if (!uid.isEmpty())
        if (auto* pane = dynamic_cast<IRecordPane*>(m_recordPane))
            pane->AddDeviceNode(uid);
}

void CMainFrame::OnDeviceStored(const QString& uid)
{
    if (auto* pane = dynamic_cast<IRecordPane*>(m_recordPane))
        pane->AddDeviceNode(uid);
}

void CMainFrame::OnDeviceMessage(int message, const std::string& uid, const char* text, const char*, int value, int status)
{
    // Any SDK thread: values only, widgets through the mailbox.
    const QString id = QString::fromStdString(uid);
    switch (message) {
    case 1:
    case 2: {
        std::string reply = textOf(text, value).toStdString();
        m_mailbox->post([message, id, reply = std::move(reply)](QObject* self) {
            auto* frame = static_cast<CMainFrame*>(self);
            if (frame->m_devTree)
                frame->m_devTree->UpdateDeviceState(message, id, reply);
        });
        break;
    }
    case 5: {
        const int state = status != 0 ? 2 : 1;
        m_mailbox->post([state](QObject* self) {
            if (auto* pane = dynamic_cast<IRecordPane*>(static_cast<CMainFrame*>(self)->m_recordPane))
                pane->OnDownloadState(state);
        });
        break;
    }
    case 1502: {
        const QByteArray body = textOf(text, value).toUtf8();
        std::optional<AlarmReport> report = ParseAlarmReport(body.constData(), static_cast<std::size_t>(body.size()));
        if (!report)
            return; // a malformed document is dropped
        const QString time = QString::fromStdString(report->timeText());
        const QString detail = LangText("MainFrame", "MoveAlarmType");
        const QString alert = id + QLatin1Char('\n') + time;
        AlarmTable::append(DataDir(), {id, time, detail}); // on this thread, as the row arrives
        const bool raised = report->raised();
        m_mailbox->post([id, time, detail, alert, raised](QObject* self) {
            auto* frame = static_cast<CMainFrame*>(self);
            frame->m_alarmPane->AddAlarmRow(id, time, detail);
            if (raised)
                frame->OnAlarmPopup(alert);
        });
        break;
    }
    default:
        break; // 0: a picture was written; nothing for the client
    }
}

void CMainFrame::OnAlarmPopup(const QString& alertText)
{
    ++m_popups;
    new CAlarmPopup(alertText, this);
    // Asynchronous; a missing or unplayable file gives no sound and the pop-up shows all the same.
    PlayClientSound(QStringLiteral("Alarm.wav"));
}
