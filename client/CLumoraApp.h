#pragma once
// The application object: first-start registration (when "UserInfo.db" is missing), the login
// (which starts libLumora), the client's crash dump, then the main frame; on exit it stops
// libLumora. Start-up runs on the GUI thread's event loop: every dialog is opened without a
// nested loop, and each step follows when the previous one closes.

#include "CRegistUserDlg.h"
#include "CUserLoginDlg.h"

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <functional>

class CLumoraApp : public QObject {
    Q_OBJECT
public:
    enum class Stage { NotStarted, Registration, Login, Running, Ended };
    // Makes the main frame after the login (its creation starts the device logins).
    using MainFrameFactory = std::function<QWidget*()>;

    explicit CLumoraApp(QObject* parent = nullptr);
    ~CLumoraApp() override;

    void setMainFrameFactory(MainFrameFactory factory) { m_mainFrameFactory = std::move(factory); }
    // The login dialog's automatic-login period (2000 ms).
    void setAutoLoginIntervalMs(int ms) { m_autoLoginIntervalMs = ms; }

    // Starts the sequence; finished() reports when the application should end.
    void InitInstance();
    // Stops libLumora when the login started it; returns the exit code to use (0).
    int ExitInstance();

    // The about box: the product name and version 1.0 with an OK button (not blocking).
    void OnAppAbout();

    Stage stage() const { return m_stage; }
    QWidget* mainFrame() const { return m_mainFrame; }
    CRegistUserDlg* registrationDialog() const { return m_registration; }
    CUserLoginDlg* loginDialog() const { return m_login; }

signals:
    // Registration or login was cancelled (exit code 0), or start-up ended without a main frame
    // to show.
    void finished(int exitCode);
    // The login succeeded and libLumora runs.
    void loggedIn();

private:
    void runLogin();
    void afterLogin();
    void end(int exitCode);

    Stage m_stage = Stage::NotStarted;
    MainFrameFactory m_mainFrameFactory;
    int m_autoLoginIntervalMs = 2000;
    QPointer<CRegistUserDlg> m_registration;
    QPointer<CUserLoginDlg> m_login;
    QPointer<QWidget> m_mainFrame;
};
