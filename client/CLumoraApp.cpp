#include "CLumoraApp.h"

#include "CRegistUserDlg.h"
#include "CUserLoginDlg.h"
#include "ClientCrashDump.h"
#include "ClientDatabase.h"
#include "ClientMessageBox.h"
#include "ClientPaths.h"
#include "LangText.h"
#include "DesktopServices.h"
#include "LumoraSdk.h"
#include "UserInfoStore.h"

#include <QDir>
#include <QGuiApplication>
#include <QMessageBox>
#include <QWidget>

namespace {

// How long the start waits for another program's lock on "UserInfo.db" before going on.
constexpr int kStartBusyTimeoutMs = 2000;

}  // namespace

CLumoraApp::CLumoraApp(QObject* parent) : QObject(parent) {}

CLumoraApp::~CLumoraApp()
{
    ExitInstance();
}

void CLumoraApp::InitInstance()
{
    if (m_stage != Stage::NotStarted) {
        return;
    }
    // Between the closing of one dialog and the opening of the next no window shows; the
    // application must not take that for its end.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    // A user database that holds no user (an empty or damaged file) leads to the registration,
    // never to a login nobody can pass. A damaged file is kept aside, bytes untouched.
    const QString path = DataFilePath(QString::fromLatin1(kUserInfoDb));
    const DatabaseHealth health = CheckDatabaseFile(path, kStartBusyTimeoutMs);
    QString damagedNote;
    if (health == DatabaseHealth::Damaged) {
        const QString aside = SetDamagedFileAside(path);
        damagedNote = LangText("DataFile", "Damaged").arg(QDir::toNativeSeparators(path),
                                                          QDir::toNativeSeparators(aside.isEmpty() ? path : aside));
    }
    if (health == DatabaseHealth::Busy || (health == DatabaseHealth::Ok && UserInfoStore::FirstUser())) {
        runLogin();
        return;
    }
    m_stage = Stage::Registration;
    m_registration = new CRegistUserDlg;
    m_registration->setAttribute(Qt::WA_DeleteOnClose);
    connect(m_registration, &QDialog::finished, this, [this](int result) {
        if (result == QDialog::Accepted) {
            runLogin();
        } else {
            end(0);
        }
    });
    m_registration->open();
    if (!damagedNote.isEmpty()) {
        ShowMessage(m_registration, damagedNote);
    }
}

void CLumoraApp::runLogin()
{
    m_stage = Stage::Login;
    m_login = new CUserLoginDlg(nullptr, m_autoLoginIntervalMs);
    m_login->setAttribute(Qt::WA_DeleteOnClose);
    connect(m_login, &QDialog::finished, this, [this](int result) {
        if (result == QDialog::Accepted) {
            afterLogin();
        } else {
            end(0);
        }
    });
    m_login->open();
}

void CLumoraApp::afterLogin()
{
    // libLumora installed its own handler at login; this one covers a start without it.
    ClientCrashDump::InstallClientCrashDumpFilter();
    m_stage = Stage::Running;
    emit loggedIn();
    if (!m_mainFrameFactory) {
        end(0);
        return;
    }
    m_mainFrame = m_mainFrameFactory();
    if (m_mainFrame == nullptr) {
        end(0);
        return;
    }
    // The system stays awake while the main frame lives.
    new KeepAwake(m_mainFrame);
    m_mainFrame->show();
    QGuiApplication::setQuitOnLastWindowClosed(true);
}

void CLumoraApp::end(int exitCode)
{
    m_stage = Stage::Ended;
    emit finished(exitCode);
}

void CLumoraApp::OnAppAbout()
{
    auto* about = new QMessageBox(QMessageBox::Information, QStringLiteral("About Lumora"),
                                  QStringLiteral("Lumora, version 1.0"), QMessageBox::Ok, m_mainFrame);
    about->setObjectName(QStringLiteral("CAboutDlg"));
    about->setAttribute(Qt::WA_DeleteOnClose);
    about->open();
}

int CLumoraApp::ExitInstance()
{
    LumoraSdk::Stop();
    return 0;
}
