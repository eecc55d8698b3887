#include "PlaceholderView.h"

#include <QPainter>

CPlaceholderView::CPlaceholderView(const QString& name, QWidget* parent) : QWidget(parent)
{
    setObjectName(name);
    setMinimumSize(120, 80);
}

void CPlaceholderView::OpenDeviceVideo(const QString& uid, int stream, QPoint)
{
    m_requests << QStringLiteral("open %1 %2").arg(uid).arg(stream);
}

void CPlaceholderView::CloseDeviceVideo(const QString& uid)
{
    m_requests << QStringLiteral("close ") + uid;
}

void CPlaceholderView::SelectDevicePane(const QString& uid)
{
    m_requests << QStringLiteral("select ") + uid;
}

void CPlaceholderView::SetSplitCount(int count)
{
    m_split = count;
    m_requests << QStringLiteral("split %1").arg(count);
    update();
}

void CPlaceholderView::PlayRemoteRecord(const QString& uid, const QString& file, int length)
{
    m_requests << QStringLiteral("record %1 %2 %3").arg(uid, file).arg(length);
}

int CPlaceholderView::PlayLocalFile(const QString& path)
{
    m_requests << QStringLiteral("local ") + path;
    return 0;
}

void CPlaceholderView::AddDeviceNode(const QString& uid)
{
    m_requests << QStringLiteral("node ") + uid;
}

void CPlaceholderView::OnDownloadState(int state)
{
    m_requests << QStringLiteral("download %1").arg(state);
}

void CPlaceholderView::SetCurrentDevice(const QString& uid)
{
    m_requests << QStringLiteral("device ") + uid;
}

void CPlaceholderView::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), QColor(38, 41, 46));
    if (objectName() != QLatin1String("LiveView"))
        return;
    // The grid of the current split, so the live area reads as such.
    int columns = 1;
    while (columns * columns < m_split)
        ++columns;
    const int rows = (m_split + columns - 1) / columns;
    p.setPen(QColor(80, 86, 94));
    for (int c = 1; c < columns; ++c)
        p.drawLine(width() * c / columns, 0, width() * c / columns, height());
    for (int r = 1; r < rows; ++r)
        p.drawLine(0, height() * r / rows, width(), height() * r / rows);
}
