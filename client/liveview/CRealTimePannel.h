// The side panel's docking pane content: hosts one CRTPannelDlg over its whole area and takes the
// main frame's current device.
#pragma once

#include "ViewInterfaces.h"

#include <QWidget>

class CRTPannelDlg;

class CRealTimePannel : public QWidget, public ISidePanel {
    Q_OBJECT
public:
    explicit CRealTimePannel(QWidget* parent = nullptr);
    void SetCurrentDevice(const QString& uid) override;
    CRTPannelDlg* dialog() const { return m_dialog; }

private:
    CRTPannelDlg* m_dialog;
};
