#pragma once
// Shows and replaces the P2P server string stored for one user; a change applies at the next login.
#include <QDialog>

class QPlainTextEdit;

class CServerDlg : public QDialog {
    Q_OBJECT
public:
    CServerDlg(const QString& userName, QWidget* parent = nullptr);

    // Stores a non-empty text for the user and closes; an empty text only closes.
    void OnOK();

private:
    QString m_userName;
    QPlainTextEdit* m_server = nullptr;
};
