// The small tool bar of a grid cell: buttons identified by the client's command ids, each with
// the tooltip the main frame gives that id (the frame and the cells share one tooltip table).
#pragma once

#include <QToolBar>

class QAction;

class CGMFCToolBar : public QToolBar {
    Q_OBJECT
public:
    explicit CGMFCToolBar(QWidget* parent = nullptr);

    // Adds a button for command id; its tooltip comes from CMainFrame::UserToolTip.
    QAction* addCommand(int id, const QIcon& icon);
    // The button of a command id, or null.
    QAction* command(int id) const;
    // Re-reads every tooltip from the current language.
    void RetranslateUi();
};
