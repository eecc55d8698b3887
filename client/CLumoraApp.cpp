#include "CLumoraApp.h"

#include "CRegistUserDlg.h"
#include "CUserLoginDlg.h"
#include "ClientCrashDump.h"
#include "ClientDatabase.h"
#include "LumoraSdk.h"
#include "UserInfoStore.h"

#include <QGuiApplication>
#include <QMessageBox>
#include <QWidget>

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
    if (ClientDatabaseExists(QString::fromLatin1(kUserInfoDb))) {
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
