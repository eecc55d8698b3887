// lumora-tour --data-dir DIR --shots DIR --server STRING [--cameras N] [--alarm-fifo FILE] [--language EN_LAN|CN_LAN]
//             [--record-card 1] [--stay 1]
// Walks a newcomer's first start of the Lumora client without a person: the registration
// dialog, the login dialog (with the rendezvous server of this run), the main frame, a LAN
// search that finds the cameras, adding them, the device tree with the cameras online, and an
// alarm (written to a camera's standard input through --alarm-fifo), with --record-card 1 the
// first camera's recordings listed and one played, the first camera's settings in the settings
// view and the device tree's own settings pages, and last the cameras' live video opened in
// the grid. A picture of each window is saved in the shots folder. Meant for Qt's offscreen
// platform; exits 0 when every step worked. With --stay 1 (on a display) the main window stays
// open with the live video until it is closed.
#include "AlarmPaneView.h"
#include "CLumoraApp.h"
#include "ClientPaths.h"
#include "DevSearchDlg.h"
#include "DevTreeView.h"
#include "MainFrame.h"
#include "PlaybackTour.h"
#include "SettingsTour.h"
#include "UserInfoStore.h"
#include "ViewTree.h"
#include "liveview/CRealTimePlayView.h"
#include "liveview/CVideoWnd.h"
#include "liveview/SurfaceWidget.h"
#include "liveview/VideoFrame.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <algorithm>
#include <cstdio>
#include <fstream>

namespace {

QString g_shots;
int g_failures = 0;

void shot(QWidget* window, const QString& name)
{
    window->show();
    QCoreApplication::processEvents();
    const QString file = QDir(g_shots).filePath(name + QStringLiteral(".png"));
    if (window->grab().save(file, "PNG")) {
        std::printf("  saved %s\n", qPrintable(file));
    } else {
        std::printf("  could not save %s\n", qPrintable(file));
        ++g_failures;
    }
}

bool step(const char* what, bool ok)
{
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    std::fflush(stdout);
    if (!ok)
        ++g_failures;
    return ok;
}

void setText(QWidget* dialog, const char* name, const QString& text)
{
    if (auto* edit = dialog->findChild<QLineEdit*>(QString::fromLatin1(name)))
        edit->setText(text);
}

void click(QWidget* dialog, const char* name)
{
    if (auto* button = dialog->findChild<QPushButton*>(QString::fromLatin1(name)))
        button->click();
}

// The platform plugin's complaints about what a window without a screen cannot do (every sized
// dialog and every pop-up) tell the reader of the tour nothing; everything else passes on.
QtMessageHandler g_defaultHandler = nullptr;

void tourMessages(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type == QtWarningMsg && (message == QLatin1String("This plugin does not support propagateSizeHints()") ||
                                 message == QLatin1String("This plugin does not support setting window opacity") ||
                                 message == QLatin1String("This plugin does not support raise()")))
        return;
    // The tour's cameras name an upgrade server that does not run: the version check's failures
    // are expected here.
    if (context.category != nullptr && qstrcmp(context.category, "lumora.firmware") == 0)
        return;
    if (g_defaultHandler != nullptr)
        g_defaultHandler(type, context, message);
}

} // namespace

int main(int argc, char* argv[])
{
    g_defaultHandler = qInstallMessageHandler(tourMessages);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Lumora"));
    QString dataDir, server, alarmFifo, language = QStringLiteral("EN_LAN");
    int cameras = 3;
    bool stay = false;
    bool recordCard = false; // the first camera has recordings on its card
    const QStringList args = QApplication::arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--data-dir"))
            dataDir = args[i + 1];
        else if (args[i] == QLatin1String("--shots"))
            g_shots = args[i + 1];
        else if (args[i] == QLatin1String("--server"))
            server = args[i + 1];
        else if (args[i] == QLatin1String("--alarm-fifo"))
            alarmFifo = args[i + 1];
        else if (args[i] == QLatin1String("--language"))
            language = args[i + 1];
        else if (args[i] == QLatin1String("--cameras"))
            cameras = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--stay"))
            stay = args[i + 1] == QLatin1String("1");
        else if (args[i] == QLatin1String("--record-card"))
            recordCard = args[i + 1] == QLatin1String("1");
    }
    if (dataDir.isEmpty() || g_shots.isEmpty() || server.isEmpty()) {
        std::fprintf(stderr, "usage: lumora-tour --data-dir DIR --shots DIR --server STRING [--cameras N] "
                             "[--alarm-fifo FILE] [--language EN_LAN|CN_LAN]\n");
        return 2;
    }
    QDir().mkpath(dataDir);
    QDir().mkpath(g_shots);
    // The client's files are installed beside the Lumora program in the build tree.
    SetResourceFolder(QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("../../client")));
    // A fresh data folder gets the settings and language files installed beside the program.
    for (const char* name : {"Lumora.ini", "EN_LAN.ini", "CN_LAN.ini"})
        QFile::copy(ResourceFilePath(QString::fromLatin1(name)), QDir(dataDir).filePath(QString::fromLatin1(name)));
    SetDataFolder(dataDir);

    CLumoraApp lumora;
    CMainFrame* frame = nullptr;
    lumora.setMainFrameFactory([&frame] {
        frame = new CMainFrame;
        frame->resize(1180, 720);
        return frame;
    });
    lumora.setAutoLoginIntervalMs(600000);
    lumora.InitInstance();

    // Registration.
    auto visibleNamed = [](const char* name) -> QWidget* {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isVisible() && w->objectName() == QLatin1String(name))
                return w;
        return nullptr;
    };
    QWidget* registration = nullptr;
    (void)QTest::qWaitFor([&] { return (registration = visibleNamed("CRegistUserDlg")) != nullptr; }, 5000);
    if (!step("the registration dialog opens on a first start", registration != nullptr))
        return 1;
    if (auto* languageBox = registration->findChild<QComboBox*>(QStringLiteral("language"))) {
        const int index = languageBox->findText(language.left(2), Qt::MatchStartsWith);
        if (index >= 0)
            languageBox->setCurrentIndex(index);
    }
    setText(registration, "userName", QStringLiteral("admin"));
    setText(registration, "password", QStringLiteral("admin123"));
    setText(registration, "repeatPassword", QStringLiteral("admin123"));
    shot(registration, QStringLiteral("1-registration"));
    click(registration, "ok");

    // Login, with the rendezvous server of this run.
    QWidget* login = nullptr;
    (void)QTest::qWaitFor([&] { return (login = visibleNamed("CUserLoginDlg")) != nullptr; }, 5000);
    if (!step("registration leads to the login dialog", login != nullptr))
        return 1;
    UserInfoStore::SetServer(QStringLiteral("admin"), server);
    if (auto* user = login->findChild<QComboBox*>(QStringLiteral("userName")))
        user->setEditText(QStringLiteral("admin"));
    setText(login, "password", QStringLiteral("admin123"));
    shot(login, QStringLiteral("2-login"));
    click(login, "ok");
    if (!step("the login opens the main frame", QTest::qWaitFor([&] { return frame != nullptr && frame->isVisible(); }, 10000)))
        return 1;
    shot(frame, QStringLiteral("3-mainframe-empty"));

    // LAN search.
    frame->OnAddDevice();
    DevSearchDlg* search = frame->devTreePane()->searchDialog();
    search->OnSearch();
    step("the LAN search finds the cameras",
         QTest::qWaitFor([&] { return search->list()->rowCount() >= cameras; }, 15000));
    (void)QTest::qWaitFor([&] { return search->searchButton()->isEnabled(); }, 15000);
    // Ticked as a user ticks them: answers from the LAN arrive unticked.
    for (int row = 0; row < search->list()->rowCount(); ++row)
        search->list()->item(row, DevSearchDlg::Check)->setCheckState(Qt::Checked);
    shot(search, QStringLiteral("4-lan-search"));
    search->OnAdd();

    auto allOnline = [&] {
        QTreeWidgetItem* root = frame->devTreePane()->tree()->root();
        if (!root || root->childCount() < cameras)
            return false;
        for (int i = 0; i < root->childCount(); ++i)
            if (CViewTree::loggedIn(root->child(i)) != 1)
                return false;
        return true;
    };
    step("the added cameras log in and show online", QTest::qWaitFor(allOnline, 60000));
    frame->devTreePane()->tree()->expandAll();
    shot(frame, QStringLiteral("5-mainframe-cameras-online"));

    if (!alarmFifo.isEmpty()) {
        std::ofstream(alarmFifo.toStdString())
            << R"(alarm {"AlarmReport.info":{"AlarmType":1,"AlarmSta":1,"AlarmTime":{"Sec":0,"Min":30,"Hour":12},)"
            << R"("AlarmDate":{"Day":10,"Mon":12,"Year":2026}}})" << "\n";
        step("a camera's alarm reaches the alarm pane",
             QTest::qWaitFor([&] { return frame->alarmPane()->list()->rowCount() >= 1; }, 15000));
        shot(frame, QStringLiteral("6-mainframe-alarm"));
    }

    if (recordCard)
        PlaybackTour(frame, step, shot);
    SettingsTour(frame, step, shot);

    // Live video last, so the run ends on it.
    frame->OnLiveMode();
    // Live video: every camera opened in the grid as a double-click in the device tree opens it.
    frame->OnSplitScreen(CMainFrame::ID_SPLIT_4);
    auto* grid = dynamic_cast<CRealTimePlayView*>(frame->view(CMainFrame::LiveView));
    QTreeWidgetItem* root = frame->devTreePane()->tree()->root();
    const int opened = root ? std::min(root->childCount(), 4) : 0;
    for (int i = 0; i < opened; ++i)
        frame->OpenDeviceVideo(root->child(i)->text(0), 1, QPoint());
    auto allPainted = [&] {
        if (!grid || opened == 0)
            return false;
        for (int i = 0; i < opened; ++i)
            if (grid->pane(i)->videoPane()->surface()->picturesPainted() < 5)
                return false;
        return true;
    };
    step("the cameras' live video plays in the grid", QTest::qWaitFor(allPainted, 30000));
    shot(frame, QStringLiteral("8-live-grid"));

    if (stay) {
        std::printf("Lumora stays open with the live grid; close its window to end\n");
        std::fflush(stdout);
        QObject::connect(qApp, &QApplication::lastWindowClosed, qApp, &QApplication::quit);
        QApplication::exec();
    }
    frame->close();
    lumora.ExitInstance();
    std::printf("%s\n", g_failures == 0 ? "tour complete" : "tour had failures");
    return g_failures == 0 ? 0 : 1;
}
