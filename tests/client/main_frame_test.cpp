// The main frame on the offscreen platform: its panes and toolbar, the view modes, the local
// dialogs, full screen, help, the language switch, the file tree, and device messages arriving
// on another thread. The device tree's own tests run against cameras (device_tree_test).
#include "AlarmPaneView.h"
#include "CAppConfig.h"
#include "CServerDlg.h"
#include "CaseName.h"
#include "CornerPopup.h"
#include "DevTreeView.h"
#include "FileTreeCtrl.h"
#include "FileTreeView.h"
#include "FrameFixture.h"
#include "MainFrame.h"
#include "PlaceholderView.h"
#include "ViewTree.h"
#include "liveview/DevAddPrenstPosDlg.h"
#include "settings/DevAllProView.h"
#include "settings/ProSettingDlg.h"

#include <QAction>
#include <QApplication>
#include <QTest>
#include <QCoreApplication>
#include <QMenu>
#include <QDir>
#include <QDialogButtonBox>
#include <QDockWidget>
#include <QLabel>
#include <QPushButton>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTableWidget>
#include <QToolBar>
#include <QToolButton>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>

using namespace frametest;

namespace {

class MainFrameTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_frame = std::make_unique<CMainFrame>();
        // A stand-in notes what reaches the playback view; the view's own tests drive the real one.
        delete m_frame->installView(CMainFrame::PlaybackView, new CPlaceholderView(QStringLiteral("PlaybackView")));
    }
    void TearDown() override
    {
        m_frame->ShutDown();
        m_frame.reset();
    }
    bool visible(const char* dock) const { return !m_frame->dock(dock)->isHidden(); }
    CPlaceholderView* placeholder(CMainFrame::ViewMode mode) const
    {
        return dynamic_cast<CPlaceholderView*>(m_frame->view(mode));
    }

    DataFolder m_data;
    std::unique_ptr<CMainFrame> m_frame;
};

TEST_F(MainFrameTest, HasFivePanesDockedAsSpecifiedWithTheirCaptions)
{
    struct Pane {
        const char* dock;
        int id;
        const char* caption;
        Qt::DockWidgetArea area;
        Qt::DockWidgetAreas allowed;
        bool shown;
    };
    for (const Pane& p : {Pane{"DevTreeDock", 134, "Device list", Qt::LeftDockWidgetArea, Qt::LeftDockWidgetArea, true},
                          Pane{"DevRecDock", 137, "Device recordings", Qt::LeftDockWidgetArea, Qt::AllDockWidgetAreas, false},
                          Pane{"FileTreeDock", 135, "Local files", Qt::LeftDockWidgetArea, Qt::AllDockWidgetAreas, false},
                          Pane{"SidePanelDock", 136, "PTZ", Qt::RightDockWidgetArea, Qt::RightDockWidgetArea, true},
                          Pane{"AlarmDock", 149, "Alarms", Qt::BottomDockWidgetArea, Qt::BottomDockWidgetArea, true}}) {
        SCOPED_TRACE(p.dock);
        QDockWidget* dock = m_frame->dock(p.dock);
        ASSERT_NE(dock, nullptr);
        EXPECT_EQ(dock->property("controlId").toInt(), p.id);
        EXPECT_EQ(dock->windowTitle(), QString::fromUtf8(p.caption));
        EXPECT_EQ(m_frame->dockWidgetArea(dock), p.area);
        EXPECT_EQ(dock->allowedAreas(), p.allowed);
        EXPECT_EQ(!dock->isHidden(), p.shown);
    }
    EXPECT_EQ(m_frame->activeViewMode(), CMainFrame::LiveView);
    // No "DevInfo.db": an empty tree without a root.
    EXPECT_EQ(m_frame->devTreePane()->tree()->topLevelItemCount(), 0);
}

TEST_F(MainFrameTest, ToolbarButtonsInOrderWithTheirTooltips)
{
    QList<int> ids;
    QStringList tips;
    for (QAction* action : m_frame->mainToolBar()->actions())
        if (!action->isSeparator() && action->data().toInt() != 0) {
            ids << action->data().toInt();
            tips << action->toolTip();
        }
    EXPECT_EQ(ids, (QList<int>{0x808F, 0x808E, 0x80D6, 0x80D7, 0x80D8, 0x80D9, 0x8082, 0x8071, 0xE146}));
    EXPECT_EQ(tips, (QStringList{"Add device", "Live", "Device settings", "Device recordings", "Local recordings",
                                 "Recording plan", "Folders", "Full screen", "Help"}));
    auto* split = m_frame->mainToolBar()->findChild<QToolButton*>(QStringLiteral("Command8072"));
    ASSERT_NE(split, nullptr);
    EXPECT_EQ(split->toolTip(), QStringLiteral("Split"));
    QStringList counts;
    for (QAction* a : split->menu()->actions())
        if (!a->isSeparator())
            counts << a->text();
    EXPECT_EQ(counts, (QStringList{"1", "4", "6", "9", "16", "25", "32", "Full screen"}));
    // Tooltips shared with the video pane's toolbar; an id outside the table keeps its text.
    EXPECT_EQ(CMainFrame::UserToolTip(0x80DD), QStringLiteral("Switch stream"));
    EXPECT_EQ(CMainFrame::UserToolTip(0x1234, QStringLiteral("as is")), QStringLiteral("as is"));
}

struct ModeCase {
    const char* name;
    void (CMainFrame::*command)();
    bool record, file, side, alarm, tree;
    int view;
};
void PrintTo(const ModeCase& c, std::ostream* os) { *os << c.name; }

class ViewModes : public MainFrameTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(ViewModes, ShowThePanesOfTheModeAndActivateItsView)
{
    const ModeCase& c = GetParam();
    for (int repeat = 0; repeat < 2; ++repeat) { // choosing a mode twice keeps it
        (m_frame.get()->*c.command)();
        EXPECT_EQ(visible("DevRecDock"), c.record);
        EXPECT_EQ(visible("FileTreeDock"), c.file);
        EXPECT_EQ(visible("SidePanelDock"), c.side);
        EXPECT_EQ(visible("AlarmDock"), c.alarm);
        EXPECT_EQ(visible("DevTreeDock"), c.tree);
        EXPECT_EQ(m_frame->activeViewMode(), c.view);
        EXPECT_FALSE(m_frame->view(static_cast<CMainFrame::ViewMode>(c.view))->isHidden());
    }
}

INSTANTIATE_TEST_SUITE_P(Commands, ViewModes,
                         ::testing::Values(ModeCase{"live", &CMainFrame::OnLiveMode, false, false, true, true, true, 0},
                                           ModeCase{"property", &CMainFrame::OnDevicePropertyMode, false, false, false, false, true, 3},
                                           ModeCase{"record", &CMainFrame::OnDeviceRecordMode, true, false, false, false, false, 1},
                                           ModeCase{"localFile", &CMainFrame::OnLocalFileMode, false, true, false, false, false, 1}),
                         CaseName());

TEST_F(MainFrameTest, RequestsReachAViewOnlyWhileItIsActive)
{
    // Stand-ins that note their requests in place of the real views.
    delete m_frame->installView(CMainFrame::LiveView, new CPlaceholderView(QStringLiteral("LiveView")));
    CPlaceholderView* live = placeholder(CMainFrame::LiveView);
    CPlaceholderView* playback = placeholder(CMainFrame::PlaybackView);
    m_frame->OnSplitScreen(CMainFrame::ID_SPLIT_9);
    m_frame->OpenDeviceVideo("CAM1", 1, QPoint());
    m_frame->PlayLocalFile("/tmp/a.avi");
    EXPECT_EQ(live->requests(), (QStringList{"split 9", "open CAM1 1"}));
    EXPECT_TRUE(playback->requests().isEmpty());

    m_frame->OnDeviceRecordMode();
    m_frame->OnSplitScreen(CMainFrame::ID_SPLIT_16);
    m_frame->OpenDeviceVideo("CAM1", 1, QPoint());
    m_frame->PlayRemoteRecord("CAM1", "a.h264", 10);
    m_frame->PlayLocalFile("/tmp/a.avi");
    EXPECT_EQ(live->requests().size(), 2);
    EXPECT_EQ(playback->requests(), (QStringList{"record CAM1 a.h264 10", "local /tmp/a.avi"}));

    // A view installed by a later subsystem takes the requests.
    auto* grid = new CPlaceholderView(QStringLiteral("LiveView"));
    QWidget* old = m_frame->installView(CMainFrame::LiveView, grid);
    EXPECT_EQ(old, live);
    delete old;
    m_frame->OnLiveMode();
    m_frame->CloseDeviceVideo("CAM2");
    EXPECT_EQ(grid->requests(), (QStringList{"close CAM2"}));
}

TEST_F(MainFrameTest, FullScreenOnlyFromTheLiveView)
{
    m_frame->OnDeviceRecordMode();
    m_frame->OnFullScreen();
    EXPECT_FALSE(m_frame->isFullScreenMode());

    m_frame->OnLiveMode();
    m_frame->OnFullScreen();
    EXPECT_TRUE(m_frame->isFullScreenMode());
    EXPECT_TRUE(m_frame->view(CMainFrame::LiveView)->isWindow());
    // Esc while one pane fills the screen on its own keeps the full screen.
    m_frame->setPaneFullScreen(true);
    m_frame->ExitFullScreen();
    EXPECT_TRUE(m_frame->isFullScreenMode());
    m_frame->setPaneFullScreen(false);
    m_frame->ExitFullScreen();
    EXPECT_FALSE(m_frame->isFullScreenMode());
    EXPECT_FALSE(m_frame->view(CMainFrame::LiveView)->isWindow());
}

// The whole grid goes full screen from the toolbar button and from the split menu's entry, and Esc
// pressed where the keyboard focus is brings it back into the frame.
TEST_F(MainFrameTest, FullScreenFromToolbarAndMenuLeftByEsc)
{
    auto* split = m_frame->mainToolBar()->findChild<QToolButton*>(QStringLiteral("Command8072"));
    ASSERT_NE(split, nullptr);
    const std::pair<const char*, QAction*> triggers[] = {
        {"toolbar", m_frame->mainToolBar()->findChild<QAction*>(QStringLiteral("Command8071"))},
        {"menu", split->menu()->findChild<QAction*>(QStringLiteral("FullScreenEntry"))},
    };
    m_frame->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_frame.get()));
    QWidget* live = m_frame->view(CMainFrame::LiveView);
    for (const auto& [name, action] : triggers) {
        SCOPED_TRACE(name);
        ASSERT_NE(action, nullptr);
        action->trigger();
        EXPECT_TRUE(m_frame->isFullScreenMode());
        EXPECT_TRUE(live->isWindow());
        EXPECT_TRUE(live->windowState() & Qt::WindowFullScreen);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(live));
        // Keys go to the focus widget of the full-screen window.
        QWidget* focus = live->focusWidget();
        ASSERT_NE(focus, nullptr);
        EXPECT_EQ(focus->window(), live);
        QTest::keyClick(focus, Qt::Key_Escape);
        EXPECT_FALSE(m_frame->isFullScreenMode());
        EXPECT_FALSE(live->isWindow());
        EXPECT_TRUE(live->isVisible());
    }
}

// The preset and server dialogs show the texts of the interface's language, in either language.
TEST(DialogTexts, ComeFromTheLanguageFileInBothLanguages)
{
    struct Case {
        const char* language;
        QStringList preset; // title, the two labels, add, delete, cancel
        QStringList server; // title, OK, Cancel
    };
    const Case cases[] = {
        {"EN_LAN", {"Presets", "Presets set", "Name of a new preset", "Add", "Delete", "Cancel"}, {"P2P server", "OK", "Cancel"}},
        {"CN_LAN",
         {QString::fromUtf8("预置位"), QString::fromUtf8("已添加预置位"), QString::fromUtf8("添加预置位名称"), QString::fromUtf8("添加"),
          QString::fromUtf8("删除"), QString::fromUtf8("取消")},
         {QString::fromUtf8("P2P 服务器"), QString::fromUtf8("确定"), QString::fromUtf8("取消")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.language);
        DataFolder data(QString::fromLatin1(c.language), true);
        DevAddPrenstPosDlg preset;
        QStringList shown{preset.windowTitle()};
        for (QLabel* label : preset.findChildren<QLabel*>())
            shown << label->text();
        for (const char* name : {"PresetAdd", "PresetDelete", "PresetCancel"})
            shown << preset.findChild<QPushButton*>(QLatin1String(name))->text();
        EXPECT_EQ(shown, c.preset);

        CServerDlg server(QStringLiteral("nobody"));
        auto* buttons = server.findChild<QDialogButtonBox*>();
        ASSERT_NE(buttons, nullptr);
        EXPECT_EQ((QStringList{server.windowTitle(), buttons->button(QDialogButtonBox::Ok)->text(),
                               buttons->button(QDialogButtonBox::Cancel)->text()}),
                  c.server);
    }
}

// On a platform without translucent windows a corner pop-up shows at once, and says nothing.
QStringList g_warnings;
void keepWarning(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtWarningMsg)
        g_warnings << message;
}

TEST(CornerPopup, ShowsWithoutFadingWhereThePlatformCannot)
{
    ASSERT_FALSE(platformHasWindowOpacity()) << QGuiApplication::platformName().toStdString();
    g_warnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(keepWarning);
    QWidget popup(nullptr, Qt::Tool | Qt::FramelessWindowHint);
    popup.resize(120, 40);
    showInScreenCorner(&popup, nullptr, 50, 0.7);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&popup));
    qInstallMessageHandler(previous);
    EXPECT_TRUE(popup.isVisible());
    EXPECT_EQ(popup.windowOpacity(), 1.0);
    EXPECT_TRUE(g_warnings.filter(QStringLiteral("opacity")).isEmpty()) << g_warnings.join(QLatin1Char('\n')).toStdString();
}

TEST_F(MainFrameTest, LocalDialogsAreMadeOnceAndShownAgain)
{
    m_frame->OnLocalSettings();
    ProSettingDlg* settings = m_frame->localSettingsDialog();
    ASSERT_NE(settings, nullptr);
    EXPECT_TRUE(settings->isVisible());
    EXPECT_FALSE(settings->isModal());
    settings->hide();
    m_frame->OnLocalSettings();
    EXPECT_EQ(m_frame->localSettingsDialog(), settings);
    EXPECT_TRUE(settings->isVisible());
    m_frame->OnLocalRecordPlan();
    CLocalRecPlanDlg* plan = m_frame->localRecPlanDialog();
    m_frame->OnLocalRecordPlan();
    EXPECT_EQ(m_frame->localRecPlanDialog(), plan);
}

TEST(HelpFile, ChosenByTheLanguageCode)
{
    struct Case {
        const char* value;
        const char* file;
    };
    for (const Case c : {Case{"CN_LAN", "help/Help_CN.html"}, Case{"CN", "help/Help_CN.html"}, Case{"EN_LAN", "help/Help_EN.html"},
                         Case{"cn_LAN", "help/Help_EN.html"}, Case{"CNX_LAN", "help/Help_EN.html"}, Case{"", "help/Help_EN.html"}}) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(CMainFrame::HelpFileFor(QString::fromLatin1(c.value)), QString::fromLatin1(c.file));
    }
}

TEST_F(MainFrameTest, LanguageSwitchRetitlesThePanes)
{
    std::ofstream(m_data.file("XX_LAN.ini").toStdString()) << "[MainFrame]\nDevTreeName=Liste\nAlarmPannel=Alarme\n"
                                                              "[AlarmPannel]\nUID=Kennung\n";
    m_data.setLanguage(QStringLiteral("XX_LAN"));
    m_frame->RetranslateUi();
    EXPECT_EQ(m_frame->dock("DevTreeDock")->windowTitle(), QStringLiteral("Liste"));
    EXPECT_EQ(m_frame->dock("AlarmDock")->windowTitle(), QStringLiteral("Alarme"));
    EXPECT_EQ(m_frame->alarmPane()->list()->horizontalHeaderItem(0)->text(), QStringLiteral("Kennung"));
}

TEST_F(MainFrameTest, LocalFileModeOpensTheDownloadFolder)
{
    QDir(m_data.downloadPath()).mkpath(QStringLiteral("CAM1"));
    QFile(m_data.downloadPath() + QStringLiteral("/CAM1/20261210-101010.avi")).open(QIODevice::WriteOnly);
    m_frame->OnLocalFileMode();
    CFileTreeCtrl* tree = m_frame->fileTreePane()->tree();
    EXPECT_EQ(QDir(tree->selectedPath()).canonicalPath(), QDir(m_data.downloadPath()).canonicalPath());
    EXPECT_TRUE(tree->isExpanded(tree->currentIndex()));

    // A recording goes to the playback view, which the local-file mode made active.
    const QString avi = m_data.downloadPath() + QStringLiteral("/CAM1/20261210-101010.avi");
    EXPECT_TRUE(tree->OpenLocalFile(avi));
    EXPECT_TRUE(placeholder(CMainFrame::PlaybackView)->requests().contains(QStringLiteral("local ") + avi));
    EXPECT_FALSE(tree->OpenLocalFile(m_data.downloadPath())); // a folder
}

TEST(FileTreePlayable, AviSuffixInAnyCase)
{
    struct Case {
        const char* path;
        bool playable;
    };
    for (const Case c : {Case{"/r/a.avi", true}, Case{"/r/x.avi.txt", false}, Case{"/r/X.AVI", true},
                         Case{"/r/clip.Avi", true}, Case{".avi", false}, Case{"/r/.avi", false},
                         Case{"/r.avi/b.mp4", false}, Case{"/r/b.mp4", false}, Case{"/r/aviavi", false}}) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(CFileTreeCtrl::IsPlayablePath(QString::fromLatin1(c.path)), c.playable);
    }
}

TEST(FileTreeFallback, WithoutADownloadFolderTheProfilePathIsUsed)
{
    DataFolder data;
    QFile::remove(data.file(QStringLiteral("Lumora.ini"))); // no settings: no download folder
    CFileTreeView pane(nullptr);
    // With no stored path the tree opens at home: "/" would only list system folders.
    EXPECT_EQ(pane.tree()->selectedPath(), QDir::homePath());
    EXPECT_FALSE(pane.tree()->isExpanded(pane.tree()->currentIndex()));
}

// The folders at the tree's top level, by path.
QStringList topFolders(const CFileTreeCtrl* tree)
{
    QStringList paths;
    for (int row = 0; row < tree->model()->rowCount(); ++row)
        paths.append(tree->ItemToPath(tree->model()->index(row, 0)));
    return paths;
}

// Points HOME elsewhere for one test.
class HomeFolder {
public:
    explicit HomeFolder(const QString& path) : m_old(qgetenv("HOME")) { qputenv("HOME", QFile::encodeName(path)); }
    ~HomeFolder() { qputenv("HOME", m_old); }

private:
    QByteArray m_old;
};

TEST(FileTreeTop, HomeAndTheDownloadFolderWithoutSystemFolders)
{
    DataFolder data; // its download folder lies outside home
    CFileTreeView pane(nullptr);
    const QStringList top = topFolders(pane.tree());
    EXPECT_EQ(top.value(0), QDir::homePath());
    EXPECT_TRUE(top.contains(QDir::cleanPath(data.downloadPath()))) << top.join(QLatin1Char(' ')).toStdString();
    for (const char* system : {"/", "/proc", "/sys", "/dev"})
        EXPECT_FALSE(top.contains(QString::fromLatin1(system))) << system;
    EXPECT_EQ(pane.tree()->selectedPath(), QDir::cleanPath(data.downloadPath()));
}

TEST(FileTreeTop, AStoredPathOutsideHomeShowsAndIsSelected)
{
    DataFolder data;
    QFile::remove(data.file(QStringLiteral("Lumora.ini"))); // no download folder
    QTemporaryDir elsewhere;
    QDir(elsewhere.path()).mkpath(QStringLiteral("clips"));
    const QString stored = elsewhere.path() + QStringLiteral("/clips");
    QSettings().setValue(QStringLiteral("Settings/Last Path"), stored);
    CFileTreeView pane(nullptr);
    QSettings().remove(QStringLiteral("Settings/Last Path"));
    ASSERT_FALSE(stored.startsWith(QDir::homePath() + QLatin1Char('/')));
    EXPECT_TRUE(topFolders(pane.tree()).contains(stored));
    EXPECT_EQ(pane.tree()->selectedPath(), stored);
}

TEST(FileTreeTop, TheDownloadFolderAmongManySiblingsIsScrolledIntoView)
{
    DataFolder data;
    const HomeFolder home(data.path()); // the download folder is home's "Download"
    constexpr int kSiblings = 400;      // "a000".."a399" sort before it, far past one screen
    for (int i = 0; i < kSiblings; ++i)
        QDir(data.path()).mkdir(QStringLiteral("a%1").arg(i, 3, 10, QLatin1Char('0')));
    CFileTreeView pane(nullptr);
    pane.resize(240, 300);
    pane.show();
    CFileTreeCtrl* tree = pane.tree();
    ASSERT_EQ(topFolders(tree).value(0), data.path());
    // Wait until home is listed and sorted: the download folder then follows all its siblings.
    ASSERT_TRUE(waitFor([&] { return tree->currentIndex().row() == kSiblings; }))
        << tree->currentIndex().row() << " " << tree->selectedPath().toStdString();
    QCoreApplication::processEvents();
    EXPECT_EQ(tree->selectedPath(), QDir::cleanPath(data.downloadPath()));
    const QRect item = tree->visualRect(tree->currentIndex());
    EXPECT_TRUE(item.intersects(tree->viewport()->rect()))
        << item.y() << " outside 0.." << tree->viewport()->height();
}

TEST(FileTreeVolumes, DeviceMountPointsThatAreFolders)
{
    QTemporaryDir dir;
    for (const char* sub : {"usb", "my disk", "ram"})
        QDir(dir.path()).mkdir(QString::fromLatin1(sub));
    QFile(dir.filePath(QStringLiteral("hosts"))).open(QIODevice::WriteOnly);
    const QByteArray base = QFile::encodeName(dir.path());
    QFile table(dir.filePath(QStringLiteral("mounts")));
    ASSERT_TRUE(table.open(QIODevice::WriteOnly));
    table.write(QByteArray("/dev/sda1 / ext4 rw 0 0\n"
                           "proc /proc proc rw 0 0\n"
                           "sysfs /sys sysfs rw 0 0\n")
                + "/dev/sdb1 " + base + "/usb vfat rw 0 0\n"
                + "tmpfs " + base + "/ram tmpfs rw 0 0\n"
                + "/dev/sdc1 " + base + "/my\\040disk ext4 rw 0 0\n" // a blank in the name
                + "/dev/sda1 " + base + "/hosts ext4 rw 0 0\n"       // a file bound in, not a folder
                + "/dev/sdd1 " + base + "/gone ext4 rw 0 0\n"        // no such folder
                + "/dev/sdb1 " + base + "/usb vfat rw 0 0\n"         // mounted twice
                + "garbage\n\n");
    table.close();
    EXPECT_EQ(CFileTreeCtrl::MountedVolumes(table.fileName()), (QStringList{dir.filePath(QStringLiteral("usb")), dir.filePath(QStringLiteral("my disk"))}));
    EXPECT_TRUE(CFileTreeCtrl::MountedVolumes(dir.filePath(QStringLiteral("missing"))).isEmpty());
}

TEST(FileTreeVolumes, NestedFoldersAreListedOnce)
{
    QTemporaryDir dir;
    const QString home = dir.filePath(QStringLiteral("home/me"));
    for (const char* sub : {"home/me/stick", "media/usb/inner", "other"})
        QDir(dir.path()).mkpath(QString::fromLatin1(sub));
    const HomeFolder pointHome(home);
    const QString usb = dir.filePath(QStringLiteral("media/usb"));
    const QStringList volumes{dir.filePath(QStringLiteral("home")), home + QStringLiteral("/stick"), usb, usb + QStringLiteral("/inner")};
    EXPECT_EQ(CFileTreeCtrl::TopFolders(home + QStringLiteral("/stick"), volumes), (QStringList{home, usb}));
    EXPECT_EQ(CFileTreeCtrl::TopFolders(dir.filePath(QStringLiteral("other")), volumes), (QStringList{home, usb, dir.filePath(QStringLiteral("other"))}));
    EXPECT_EQ(CFileTreeCtrl::TopFolders(dir.filePath(QStringLiteral("missing")), {}), (QStringList{home}));
}

TEST_F(MainFrameTest, DeviceMessagesFromAnotherThreadReachThePanes)
{
    CDevTreeView* pane = m_frame->devTreePane();
    pane->AddDevice(QString::fromLatin1(kNoCamera), "m", "a", "");
    auto* record = new CPlaceholderView(QStringLiteral("DevRecTree"));
    m_frame->installRecordPane(record);
    const std::string reconnectReply = R"({"dev_info":{"dev_ver":"V9"}})";
    std::thread sdk([&] {
        m_frame->OnDeviceMessage(2, kNoCamera, const_cast<char*>(reconnectReply.c_str()), nullptr,
                                 static_cast<int>(reconnectReply.size()), 0);
        m_frame->OnDeviceMessage(5, kNoCamera, nullptr, nullptr, 0, -2);
        m_frame->OnDeviceMessage(5, kNoCamera, nullptr, nullptr, 0, 0);
        m_frame->OnDeviceMessage(0, kNoCamera, nullptr, nullptr, 0, 0);
    });
    sdk.join();
    QTreeWidgetItem* node = pane->tree()->findDevice(QString::fromLatin1(kNoCamera));
    ASSERT_TRUE(waitFor([&] { return CViewTree::loggedIn(node) == 1; }));
    EXPECT_EQ(CViewTree::image(node), CViewTree::Online);
    EXPECT_EQ(m_frame->GetDeviceVersion(QString::fromLatin1(kNoCamera)), QStringLiteral("V9"));
    EXPECT_TRUE(waitFor([&] { return record->requests().size() == 2; }));
    // A device's reply nested past any real document reads as no version; it never throws
    // through the GUI thread.
    pane->AddDevice(QStringLiteral("DEEPCAM"), "m", "b", "");
    const std::string deep = R"({"dev_info":)" + std::string(1500, '[') + std::string(1500, ']') + "}";
    std::thread hostile([&] {
        m_frame->OnDeviceMessage(2, "DEEPCAM", const_cast<char*>(deep.c_str()), nullptr, static_cast<int>(deep.size()), 0);
    });
    hostile.join();
    QTreeWidgetItem* deepNode = pane->tree()->findDevice(QStringLiteral("DEEPCAM"));
    ASSERT_TRUE(waitFor([&] { return CViewTree::loggedIn(deepNode) == 1; }));
    EXPECT_EQ(m_frame->GetDeviceVersion(QStringLiteral("DEEPCAM")), QString());
    EXPECT_EQ(record->requests(), (QStringList{"download 2", "download 1"}));

    std::thread lost([&] { m_frame->OnDeviceMessage(1, kNoCamera, nullptr, nullptr, 0, 0); });
    lost.join();
    ASSERT_TRUE(waitFor([&] { return CViewTree::loggedIn(node) == 0; }));
    EXPECT_EQ(CViewTree::image(node), CViewTree::Offline);

    // After the frame started closing, nothing more arrives.
    m_frame->ShutDown();
    std::thread late([&] { m_frame->OnDeviceMessage(2, kNoCamera, nullptr, nullptr, 0, 0); });
    late.join();
    QCoreApplication::processEvents();
    EXPECT_EQ(CViewTree::loggedIn(node), 0);
}

} // namespace
