#include "MainFrame.h"

#include <QLabel>
#include <QStackedWidget>

CMainFrame::CMainFrame(QWidget* parent) : QMainWindow(parent)
{
    m_views = new QStackedWidget(this);
    setCentralWidget(m_views);
    for (ViewMode mode : {LiveView, PlaybackView, PropertyView})
        installView(mode, new QLabel(this));
    switchView(LiveView);
}

CMainFrame::~CMainFrame() = default;

QWidget* CMainFrame::installView(ViewMode mode, QWidget* newView)
{
    QWidget* old = m_viewOf[mode];
    if (old) {
        m_views->removeWidget(old);
        old->setParent(nullptr);
    }
    m_viewOf[mode] = newView;
    m_views->addWidget(newView);
    if (m_activeMode == mode)
        m_views->setCurrentWidget(newView);
    return old;
}

QWidget* CMainFrame::view(ViewMode mode) const
{
    return m_viewOf[mode];
}

int CMainFrame::switchView(int mode)
{
    const int previous = m_activeMode;
    m_activeMode = (mode == PlaybackView || mode == PropertyView) ? mode : LiveView;
    m_views->setCurrentWidget(m_viewOf[m_activeMode]);
    return previous;
}
