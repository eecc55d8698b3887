#include "COSDStatic.h"

#include <QMouseEvent>
#include <QPainter>

COSDStatic::COSDStatic(QWidget* parent) : QWidget(parent)
{
    setFixedSize(kWidth, kHeight);
    // A release outside the preview is not always delivered: the label then follows the pointer
    // again when it comes back, until the next release here.
    setMouseTracking(true);
}

void COSDStatic::PlaceItem(int item, int x, int y)
{
    if (!valid(item))
        return;
    m_items[static_cast<size_t>(item)].shown = true;
    m_items[static_cast<size_t>(item)].topLeft = QPoint(x, y);
    update();
}

void COSDStatic::setItemPosition(int item, QPoint topLeft)
{
    if (!valid(item))
        return;
    m_items[static_cast<size_t>(item)].topLeft = topLeft;
    update();
}

void COSDStatic::setItemShown(int item, bool shown)
{
    if (!valid(item))
        return;
    m_items[static_cast<size_t>(item)].shown = shown;
    update();
}

void COSDStatic::setItemText(int item, const QString& text)
{
    if (!valid(item))
        return;
    m_items[static_cast<size_t>(item)].text = text;
    update();
}

QRect COSDStatic::itemBox(int item) const
{
    if (!valid(item))
        return {};
    return QRect(m_items[static_cast<size_t>(item)].topLeft, QSize(kItemWidth, kItemHeight));
}

bool COSDStatic::itemShown(int item) const
{
    return valid(item) && m_items[static_cast<size_t>(item)].shown;
}

void COSDStatic::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    painter.setPen(Qt::black);
    const QFontMetrics metrics(font());
    for (const Label& label : m_items) {
        if (!label.shown)
            continue;
        // The text hangs from the box's top-left corner.
        painter.drawText(label.topLeft + QPoint(0, metrics.ascent()), label.text);
    }
}

void COSDStatic::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    const QPoint p = event->position().toPoint();
    // In the order name, time, rate: the first shown label under the pointer is taken. QRect
    // contains its left and top edges and excludes the right and bottom ones, as the box does.
    for (int item = 0; item < kItems; ++item) {
        if (m_items[static_cast<size_t>(item)].shown && itemBox(item).contains(p)) {
            m_dragged = item;
            return;
        }
    }
}

void COSDStatic::mouseMoveEvent(QMouseEvent* event)
{
    if (!valid(m_dragged))
        return;
    // The label's top-left corner jumps to the pointer.
    m_items[static_cast<size_t>(m_dragged)].topLeft = event->position().toPoint();
    update();
    emit itemMoved(m_dragged);
}

void COSDStatic::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    m_dragged = -1;
    update();
}
