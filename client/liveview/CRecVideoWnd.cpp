#include "CRecVideoWnd.h"

#include <QContextMenuEvent>
#include <QCoreApplication>

CRecVideoWnd::CRecVideoWnd(QWidget* parent) : SurfaceWidget(parent)
{
    setObjectName(QStringLiteral("CRecVideoWnd"));
    setBackground(QImage()); // black between pictures and when nothing plays
}

void CRecVideoWnd::contextMenuEvent(QContextMenuEvent* event)
{
    QWidget* parent = parentWidget();
    if (!parent) {
        event->ignore();
        return;
    }
    // Posted, as the parent's own request: the parent shows its menu at the screen point.
    QCoreApplication::postEvent(parent, new QContextMenuEvent(event->reason(), parent->mapFromGlobal(event->globalPos()),
                                                              event->globalPos()));
    event->accept();
}
