#pragma once
// First-start registration: the one user of "UserInfo.db" and the interface language. Accepted
// once the user is stored; rejected by Cancel and when the database cannot be opened, and the
// application then ends.

#include <QDialog>
#include <QPointer>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMessageBox;
class QPushButton;

class CRegistUserDlg : public QDialog {
    Q_OBJECT
public:
    explicit CRegistUserDlg(QWidget* parent = nullptr);

    // Fills the language list from the "*_LAN.ini" files of the data folder and selects the one
    // named in Lumora.ini.
    void FillLanguageList();

    void OnBnClickedOk();

private:
    void fail(const char* key);

    QGroupBox* m_group = nullptr;
    QLabel* m_userLabel = nullptr;
    QLineEdit* m_user = nullptr;
    QLabel* m_passwordLabel = nullptr;
    QLineEdit* m_password = nullptr;
    QLabel* m_repeatLabel = nullptr;
    QLineEdit* m_repeat = nullptr;
    QLabel* m_languageLabel = nullptr;
    QComboBox* m_language = nullptr;
    QPushButton* m_ok = nullptr;
    QPushButton* m_cancel = nullptr;
    QPointer<QMessageBox> m_message;
};
