#include "DevAllProView.h"

#include "FrameText.h"

#include <QLabel>
#include <QMetaObject>
#include <QTabWidget>
#include <QVBoxLayout>

DevAllProView::DevAllProView(QWidget* parent) : QWidget(parent), m_tabs(new QTabWidget(this))
{
    setObjectName(QStringLiteral("DevAllProView"));
    m_tabs->setObjectName(QStringLiteral("DevAllProTabs"));
    m_tabs->setTabPosition(QTabWidget::North);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_tabs);
    connect(m_tabs, &QTabWidget::currentChanged, this, [this](int) {
        if (onTabChanged)
            onTabChanged(m_uid);
        RefreshActivePage(m_uid);
    });
}

void DevAllProView::AddPage(QWidget* page, const QString& caption)
{
    m_tabs->addTab(page, caption);
}

void DevAllProView::RefreshActivePage(const QString& uid)
{
    m_uid = uid;
    // A page that can ask its device has a slot "requestSettings(QString)".
    QWidget* page = m_tabs->currentWidget();
    if (page && page->metaObject()->indexOfMethod("requestSettings(QString)") >= 0)
        QMetaObject::invokeMethod(page, "requestSettings", Qt::DirectConnection, Q_ARG(QString, uid));
}
