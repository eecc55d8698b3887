// The local folders and decoding dialog of the main toolbar: the client's four folders
// (snapshots, downloads, local recordings, alarm pictures) and hardware or software decoding of
// live video. OK writes them to "Lumora.ini" ([PathSetting], [Hardware] "Type") when the file
// exists and hands the folders to libLumora at once, whether or not it does; the live panes read
// the decoder choice at each stream start. Made once by the main frame and shown again on every
// request (modeless); the controls are filled once, at construction. GUI thread only.
#pragma once

#include "CLocalRecPlanDlg.h"

#include <QDialog>
#include <QString>
#include <array>
#include <functional>

class QLineEdit;
class QRadioButton;

class ProSettingDlg : public QDialog {
    Q_OBJECT
public:
    explicit ProSettingDlg(QWidget* parent = nullptr);

    // Asks the user for a folder (owner, title); an empty text when the user cancelled. A
    // folder browser by default; tests put their own answer here.
    std::function<QString(QWidget* owner, const QString& title)> chooseFolder;

    // OK: saves, hands the folders on and hides.
    void accept() override;

private:
    void browse(int row);

    std::array<QLineEdit*, 4> m_folders{}; // snapshot, download, recording, alarm
    QRadioButton* m_hardware;
    QRadioButton* m_software;
};
