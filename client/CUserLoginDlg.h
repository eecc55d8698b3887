#pragma once
// The login at every start: offers the registered user, checks the password against
// "UserInfo.db", keeps the remember, automatic-login and last-chosen flags, and on success starts
// libLumora with the user's server string. Accepted after a successful login; rejected by Cancel
// (the application then ends).
//
// An automatic login retries every autoLoginIntervalMs while it fails; its failure message is one
// box, updated rather than stacked, and no attempt runs while that box is open.

#include <QDialog>
#include <QPixmap>
#include <QPointer>
#include <QString>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMessageBox;
class QPushButton;
class QTimer;
class CServerDlg;

class CUserLoginDlg : public QDialog {
    Q_OBJECT
public:
    explicit CUserLoginDlg(QWidget* parent = nullptr, int autoLoginIntervalMs = 2000);

    void LoadUsers();
    void OnSelchangeUser(const QString& name);
    void OnRemember();
    void OnAutoLogin();
    // The login: manual (the OK button) or from the timer.
    void OnOK();
    void OnServer();
    bool autoLogin() const { return m_autoLogin; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void reject() override;

private:
    void onTimer();
    QString userName() const;
    void fail(const char* key);
    void fillRememberedPassword();
    void updateServerButton();

    QString m_storedPassword;   // the row's PA: a PasswordHash text, or a plain password from before hashing
    bool m_passwordRemembered = false;  // the field holds the remembered-password mark, untouched
    QString m_rememberedUser;           // the user that mark stands for
    bool m_autoLogin = false;
    QPixmap m_background;
    QLabel* m_userLabel = nullptr;
    QComboBox* m_user = nullptr;
    QLabel* m_passwordLabel = nullptr;
    QLineEdit* m_password = nullptr;
    QCheckBox* m_remember = nullptr;
    QCheckBox* m_autoLoginBox = nullptr;
    QPushButton* m_ok = nullptr;
    QPushButton* m_cancel = nullptr;
    QPushButton* m_server = nullptr;
    QTimer* m_timer = nullptr;
    QPointer<QMessageBox> m_message;
    QPointer<CServerDlg> m_serverDlg;
};
