#include "CRealTimePlayView.h"

#include "CVideoWnd.h"
#include "MainFrame.h"
#include "VideoFrame.h"
#include "libLumora.h"

#include <QKeyEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMetaObject>
#include <QMimeData>
#include <QResizeEvent>
#include <QTimer>

namespace {

bool plays(const QString& uid)
{
    return (GetPlayStateMask(uid.toStdString()) & 0x01) != 0;
}

// Interval of the toolbar state refresh (the framework's idle update of the original).
constexpr int kToolbarRefreshMs = 400;

} // namespace

CRealTimePlayView::CRealTimePlayView(CMainFrame* frame, QWidget* parent, RecordPlanOptions planOptions)
    : QWidget(parent), m_frame(frame), m_planWorker(std::make_unique<RecordPlanWorker>(kCells, std::move(planOptions)))
{
    setObjectName(QStringLiteral("LiveView"));
    setFocusPolicy(Qt::StrongFocus);
    setAcceptDrops(true);
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, QColor(64, 64, 64));
    setPalette(p);
    for (int i = 0; i < kCells; ++i) {
        auto* cell = new VideoFrame(i, this, m_planWorker->cell(i), this);
        cell->hide();
        m_cells[static_cast<size_t>(i)] = cell;
    }
    m_toolbarTimer = new QTimer(this);
    m_toolbarTimer->setInterval(kToolbarRefreshMs);
    connect(m_toolbarTimer, &QTimer::timeout, this, &CRealTimePlayView::refreshToolbars);
    m_toolbarTimer->start();
    // The worker ticks every cell's plan state; the cells exist now.
    m_planWorker->start();
}

CRealTimePlayView::~CRealTimePlayView()
{
    m_toolbarTimer->stop();
    // The worker's wait ends at once; it is joined before the cells and their plan state go.
    m_planWorker->stop();
}

VideoFrame* CRealTimePlayView::pane(int position) const
{
    if (position < 0 || position >= kCells)
        return nullptr;
    return m_cells[static_cast<size_t>(position)];
}

void CRealTimePlayView::setCell(int position, VideoFrame* cell)
{
    m_cells[static_cast<size_t>(position)] = cell;
}

std::vector<PaneRect> CRealTimePlayView::ComputePaneRects(int count, int W, int H)
{
    std::vector<PaneRect> rects;
    auto grid = [&](int n) {
        for (int r = 0; r < n; ++r)
            for (int c = 0; c < n; ++c)
                rects.push_back({c * W / n, r * H / n, (c + 1) * W / n, (r + 1) * H / n});
    };
    switch (count) {
    case 1:
        rects.push_back({0, 0, W, H});
        break;
    case 4:
        grid(2);
        break;
    case 6:
        rects.push_back({0, 0, 2 * W / 3, 2 * H / 3});
        rects.push_back({2 * W / 3, 0, W, H / 3});
        rects.push_back({2 * W / 3, H / 3, W, 2 * H / 3});
        rects.push_back({0, 2 * H / 3, W / 3, H});
        rects.push_back({W / 3, 2 * H / 3, 2 * W / 3, H});
        rects.push_back({2 * W / 3, 2 * H / 3, W, H});
        break;
    case 9:
        grid(3);
        break;
    case 16:
        grid(4);
        break;
    case 25:
        grid(5);
        break;
    case 32: {
        auto block = [&](int c, int r, int n) { rects.push_back({c * W / 7, r * H / 7, (c + n) * W / 7, (r + n) * H / 7}); };
        auto cell = [&](int c, int r) { block(c, r, 1); };
        block(0, 0, 2);
        block(2, 0, 2);
        for (int r = 0; r < 2; ++r)
            for (int c = 4; c < 7; ++c)
                cell(c, r);
        block(0, 2, 2);
        block(2, 2, 3);
        cell(5, 2);
        cell(6, 2);
        cell(5, 3);
        cell(6, 3);
        cell(0, 4);
        cell(1, 4);
        cell(5, 4);
        cell(6, 4);
        for (int r = 5; r < 7; ++r)
            for (int c = 0; c < 7; ++c)
                cell(c, r);
        break;
    }
    default:
        break;
    }
    return rects;
}

void CRealTimePlayView::SetSplitCount(int count)
{
    m_split = count;
    SetSplitMode(count);
}

void CRealTimePlayView::SetSplitMode(int count)
{
    m_rects = ComputePaneRects(count, width(), height());
    for (VideoFrame* cell : m_cells)
        cell->hide();
    auto place = [](VideoFrame* cell, const PaneRect& r) {
        cell->setGeometry(r.left, r.top, r.right - r.left, r.bottom - r.top);
        cell->show();
        cell->relayout();
        cell->videoPane()->setRestoreRect(cell->videoPane()->geometry());
    };
    if (count == 1) {
        if (m_rects.empty())
            return;
        for (VideoFrame* cell : m_cells)
            if (cell->selected()) {
                place(cell, m_rects[0]);
                return;
            }
        // No selected cell: cell 0 shows over the whole view.
    }
    for (size_t i = 0; i < m_rects.size() && i < m_cells.size(); ++i)
        place(m_cells[i], m_rects[i]);
}

void CRealTimePlayView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    SetSplitMode(m_split);
}

void CRealTimePlayView::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData()->hasFormat(QString::fromLatin1(kDeviceMimeType)))
        event->acceptProposedAction();
}

void CRealTimePlayView::dragMoveEvent(QDragMoveEvent* event)
{
    if (event->mimeData()->hasFormat(QString::fromLatin1(kDeviceMimeType)))
        event->acceptProposedAction();
}

void CRealTimePlayView::dropEvent(QDropEvent* event)
{
    if (!event->mimeData()->hasFormat(QString::fromLatin1(kDeviceMimeType)))
        return;
    // Drops on the cells land here too (they take no drops themselves), in this view's coordinates.
    m_dropPoint = event->position().toPoint();
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void CRealTimePlayView::keyReleaseEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape && m_frame)
        m_frame->ExitFullScreen();
    QWidget::keyReleaseEvent(event);
}

void CRealTimePlayView::OpenDeviceVideo(const QString& uid, int stream, QPoint pt)
{
    const bool noPoint = pt.x() == 0 && pt.y() == 0;
    if (noPoint) {
        if (plays(uid))
            return; // already shown somewhere
        if (m_current && !m_current->videoPane()->playing()) {
            if (plays(uid))
                return;
            m_current->StartVideo(uid, stream);
            return;
        }
    }
    const bool dropPoint = pt.x() != 0 && pt.y() != 0;
    for (size_t i = 0; i < m_rects.size() && i < m_cells.size(); ++i) {
        VideoFrame* cell = m_cells[i];
        const bool busy = cell->videoPane()->playing();
        if (dropPoint) {
            if (!m_rects[i].contains(pt))
                continue;
            if (!plays(uid)) {
                if (!busy)
                    cell->StartVideo(uid, stream);
                return;
            }
            for (size_t j = 0; j < m_cells.size(); ++j)
                if (m_cells[j]->GetUID() == uid) {
                    const int a = static_cast<int>(i);
                    const int b = static_cast<int>(j);
                    QMetaObject::invokeMethod(this, [this, a, b] { OnSwapPanes(a, b); }, Qt::QueuedConnection);
                    return;
                }
            return;
        }
        if (!busy) {
            cell->StartVideo(uid, stream);
            return;
        }
        if (cell->videoPane()->started() && !plays(cell->GetUID())) {
            // A visible cell whose device no longer has live video (its link dropped) is taken
            // for the new device: its old stream is closed first, so the open is not refused. A
            // cell whose start is not answered yet is busy like a playing one.
            cell->videoPane()->CloseVideo();
            cell->StartVideo(uid, stream);
            return;
        }
    }
}

void CRealTimePlayView::OnSwapPanes(int a, int b)
{
    if (a < 0 || b < 0 || a >= kCells || b >= kCells)
        return;
    VideoFrame* A = m_cells[static_cast<size_t>(a)];
    VideoFrame* B = m_cells[static_cast<size_t>(b)];
    // One cell is selected at a time: the previous current cell loses its border too.
    if (m_current && m_current != A && m_current != B)
        m_current->setSelected(false);
    setCell(a, B);
    B->setIndex(a);
    if (a != b && B->selected())
        B->setSelected(false);
    setCell(b, A);
    A->setIndex(b);
    A->setSelected(true);
    m_current = A;
    SetSplitMode(m_split);
}

void CRealTimePlayView::OnSelectPane(int index)
{
    if (index < 0 || index >= kCells)
        return;
    if (m_current && m_current->index() == index)
        return;
    if (m_current)
        m_current->setSelected(false);
    m_current = m_cells[static_cast<size_t>(index)];
    m_current->setSelected(true);
}

void CRealTimePlayView::OnPaneClicked(int index, QPoint)
{
    if (index < 0 || index >= kCells)
        return;
    if (m_current) {
        if (m_current->index() == index)
            return;
        m_current->setSelected(false);
        m_current = m_cells[static_cast<size_t>(index)];
    } else {
        m_current = m_cells[static_cast<size_t>(index)];
        m_current->setSelected(true);
    }
    if (m_frame)
        m_frame->SetCurrentDevice(m_current->GetUID());
}

void CRealTimePlayView::SelectDevicePane(const QString& uid)
{
    if (uid.isEmpty())
        return;
    for (size_t i = 0; i < m_rects.size() && i < m_cells.size(); ++i)
        if (m_cells[i]->GetUID() == uid) {
            const int index = static_cast<int>(i);
            QMetaObject::invokeMethod(this, [this, index] { OnSelectPane(index); }, Qt::QueuedConnection);
            return;
        }
}

void CRealTimePlayView::CloseDeviceVideo(const QString& uid)
{
    if (uid.isEmpty())
        return;
    for (VideoFrame* cell : m_cells)
        if (cell->GetUID() == uid) {
            cell->videoPane()->CloseVideo();
            return;
        }
}

void CRealTimePlayView::refreshToolbars()
{
    for (size_t i = 0; i < m_rects.size() && i < m_cells.size(); ++i)
        if (m_cells[i]->isVisible())
            m_cells[i]->OnUpdateToolbar();
}
