#pragma once
// Edits one device's alias in "DevInfo.db" and its login password on the device (ResetPassword)
// and, once the device confirms, in "DevInfo.db". Modeless; the opener keeps one object and calls
// LoadDevInfo before each showing.
//
// The device's reply arrives on an SDK thread and is handed to the GUI thread with the uid and
// password of the request it answers, so a dialog reopened for another device in between changes
// nothing of that device.

#include <QDialog>
#include <QPointer>
#include <string>

class QCheckBox;
class QLabel;
class QLineEdit;
class QMessageBox;
class QPushButton;

class CResetPADlg : public QDialog {
    Q_OBJECT
public:
    explicit CResetPADlg(QWidget* parent = nullptr);

    // Loads the device's alias and stored password; the password edits keep their text.
    void LoadDevInfo(const QString& uid);
    void OnBnClickedOk();
    void OnShowPassword();
    // The device's answer to the password change for uid, which sent newPassword: the change
    // counts only when the reply parses and its "ret" is 0 (a missing "ret" reads as 0); a
    // time-out or a text that does not parse is a failure.
    void OnResetPasswordReply(const QString& reply, const QString& uid, const QString& newPassword);

    QString uid() const { return m_uid; }

signals:
    // The alias of uid was changed in "DevInfo.db"; the device tree renames its node.
    void aliasChanged(const QString& uid, const QString& alias);

private:
    QWidget* messageOwner();
    void message(const char* key);
    void showMessage(const QString& text);

    QString m_uid;
    std::string m_oldPassword;
    QString m_alias;
    QLabel* m_aliasLabel = nullptr;
    QLineEdit* m_aliasEdit = nullptr;
    QLabel* m_oldLabel = nullptr;
    QLineEdit* m_old = nullptr;
    QLabel* m_newLabel = nullptr;
    QLineEdit* m_new = nullptr;
    QLabel* m_repeatLabel = nullptr;
    QLineEdit* m_repeat = nullptr;
    QCheckBox* m_visible = nullptr;
    QPushButton* m_set = nullptr;
    QPointer<QMessageBox> m_message;
};
