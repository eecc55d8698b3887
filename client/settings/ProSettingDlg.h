// Hosts of the two local dialogs of the main toolbar: the local folders and decoding dialog and
// the local recording plan dialog. Each is made once by the main frame and shown again on every
// request (modeless); their controls come with the settings dialogs.
#pragma once

#include <QDialog>

class ProSettingDlg : public QDialog {
    Q_OBJECT
public:
    explicit ProSettingDlg(QWidget* parent = nullptr);
};

class CLocalRecPlanDlg : public QDialog {
    Q_OBJECT
public:
    explicit CLocalRecPlanDlg(QWidget* parent = nullptr);
};
