#include "CGMFCToolBar.h"

#include "MainFrame.h"

#include <QAction>

CGMFCToolBar::CGMFCToolBar(QWidget* parent) : QToolBar(parent)
{
    setObjectName(QStringLiteral("CellToolBar"));
    setIconSize(QSize(16, 16));
    setMovable(false);
    setFloatable(false);
    setToolButtonStyle(Qt::ToolButtonIconOnly);
    setContentsMargins(1, 1, 1, 1);
    // The strip paints its own background, so nothing of the cell behind it shows through.
    setAutoFillBackground(true);
    setStyleSheet(QStringLiteral("QToolBar { spacing: 0px; padding: 0px; } QToolButton { padding: 2px; }"));
}

QAction* CGMFCToolBar::addCommand(int id, const QIcon& icon)
{
    QAction* action = addAction(icon, QString());
    action->setData(id);
    action->setObjectName(QStringLiteral("Command%1").arg(id));
    action->setToolTip(CMainFrame::UserToolTip(id));
    return action;
}

QAction* CGMFCToolBar::command(int id) const
{
    for (QAction* action : actions())
        if (action->data().toInt() == id)
            return action;
    return nullptr;
}

void CGMFCToolBar::RetranslateUi()
{
    for (QAction* action : actions())
        action->setToolTip(CMainFrame::UserToolTip(action->data().toInt(), action->toolTip()));
}
