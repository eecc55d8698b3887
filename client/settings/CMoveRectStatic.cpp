#include "CMoveRectStatic.h"

#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <algorithm>

namespace {

// A cell of 20 x 15 pixels plus the closing grid line.
constexpr int kCellWidth = 20;
constexpr int kCellHeight = 15;

Json::Value emptyArea()
{
    Json::Value area(Json::arrayValue);
    for (Json::ArrayIndex i = 0; i < CMoveRectStatic::kCells; ++i)
        area.append(0);
    return area;
}

} // namespace

CMoveRectStatic::CMoveRectStatic(QWidget* parent) : QWidget(parent), m_area(emptyArea())
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

QSize CMoveRectStatic::sizeHint() const
{
    return {kColumns * kCellWidth + 1, kRows * kCellHeight + 1};
}

int CMoveRectStatic::cellWidth() const
{
    return std::max(1, (width() - 1) / kColumns);
}

int CMoveRectStatic::cellHeight() const
{
    return std::max(1, (height() - 1) / kRows);
}

int CMoveRectStatic::cellAt(QPoint point) const
{
    const int column = std::clamp(point.x() / cellWidth(), 0, kColumns - 1);
    const int row = std::clamp(point.y() / cellHeight(), 0, kRows - 1);
    return row * kColumns + column;
}

bool CMoveRectStatic::isOn(int cell) const
{
    if (cell < 0 || cell >= static_cast<int>(m_area.size()))
        return false;
    const Json::Value& entry = m_area[static_cast<Json::ArrayIndex>(cell)];
    // By type and value: a `true` or 1.0 is not the device's "on".
    if (entry.type() == Json::intValue)
        return entry.asLargestInt() == 1;
    return entry.type() == Json::uintValue && entry.asLargestUInt() == 1;
}

void CMoveRectStatic::SetArea(const Json::Value& area)
{
    m_dragging = false;
    if (area.isArray()) {
        m_area = area;
        while (m_area.size() < static_cast<Json::ArrayIndex>(kCells))
            m_area.append(0);
    } else {
        m_area = emptyArea();
    }
    update();
}

void CMoveRectStatic::ClearArea()
{
    m_dragging = false;
    for (Json::ArrayIndex i = 0; i < static_cast<Json::ArrayIndex>(kCells); ++i)
        m_area[i] = 0;
    update();
}

void CMoveRectStatic::CancelDrag()
{
    m_dragging = false;
    update();
}

void CMoveRectStatic::CommitSelection()
{
    if (!m_dragging)
        return;
    m_dragging = false;
    markBand();
    update();
}

void CMoveRectStatic::markBand()
{
    const int first = cellAt(m_bandStart);
    const int last = cellAt(m_bandEnd);
    const int top = std::min(first, last) / kColumns;
    const int bottom = std::max(first, last) / kColumns;
    const int left = std::min(first % kColumns, last % kColumns);
    const int right = std::max(first % kColumns, last % kColumns);
    for (int row = top; row <= bottom; ++row)
        for (int column = left; column <= right; ++column)
            m_area[static_cast<Json::ArrayIndex>(row * kColumns + column)] = 1;
}

void CMoveRectStatic::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    m_bandStart = m_bandEnd = event->position().toPoint();
    m_dragging = true;
    update();
}

void CMoveRectStatic::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_dragging) {
        QWidget::mouseMoveEvent(event);
        return;
    }
    m_bandEnd = event->position().toPoint();
    update();
}

void CMoveRectStatic::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !m_dragging) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    m_bandEnd = event->position().toPoint();
    CommitSelection();
}

void CMoveRectStatic::paintEvent(QPaintEvent*)
{
    // Drawn into an image first: inverting the destination needs a raster device, whatever
    // the window's backing store is.
    QImage image(size(), QImage::Format_RGB32);
    image.fill(Qt::white);
    {
        QPainter p(&image);
        const int cw = cellWidth();
        const int ch = cellHeight();
        const int gridWidth = cw * kColumns;
        const int gridHeight = ch * kRows;
        p.setPen(Qt::black);
        for (int i = 0; i <= kRows; ++i)
            p.drawLine(0, i * ch, gridWidth, i * ch);
        for (int j = 0; j <= kColumns; ++j)
            p.drawLine(j * cw, 0, j * cw, gridHeight);

        p.setCompositionMode(QPainter::RasterOp_NotDestination);
        for (int cell = 0; cell < kCells; ++cell) {
            if (isOn(cell))
                p.fillRect(QRect((cell % kColumns) * cw, (cell / kColumns) * ch, cw, ch), Qt::black);
        }
        if (m_dragging) {
            const QRect band = QRect(m_bandStart, m_bandEnd).normalized().intersected(QRect(0, 0, gridWidth + 1, gridHeight + 1));
            p.fillRect(band, Qt::black);
        }
    }
    QPainter(this).drawImage(0, 0, image);
}
