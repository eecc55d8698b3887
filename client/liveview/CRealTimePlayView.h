// The live-video view: a grid of exactly 32 cells (VideoFrame), of which 1, 4, 6, 9, 16, 25 or 32
// are shown in fixed layouts. It puts a device's live video into a cell (by a double-click in the
// device tree or a drop at a point), selects and swaps cells, closes the cell of a device, and
// owns the local recording plan worker, which it starts once the cells exist and stops and joins
// when it is destroyed.
//
// Threads: everything here runs on the GUI thread, except the plan worker, which reads the cell
// vector (filled once in the constructor, reordered only by the GUI thread's swaps under
// m_cellsMutex) and calls each cell's PlanRecordTick.
#pragma once

#include "ViewInterfaces.h"

#include <QPoint>
#include <QString>
#include <QWidget>
#include <array>
#include <memory>
#include <mutex>
#include <vector>

class CMainFrame;
class QTimer;
class VideoFrame;

// A pane rectangle in view client coordinates: [left, top, right, bottom), right and bottom
// exclusive.
struct PaneRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
    bool operator==(const PaneRect&) const = default;
    bool contains(QPoint p) const { return p.x() >= left && p.x() < right && p.y() >= top && p.y() < bottom; }
};

class CRealTimePlayView : public QWidget, public ILiveView {
    Q_OBJECT
public:
    static constexpr int kCells = 32;

    // frame may be null (a view on its own); it receives the current device and the Esc key.
    explicit CRealTimePlayView(CMainFrame* frame = nullptr, QWidget* parent = nullptr);
    ~CRealTimePlayView() override;

    // The rectangles of a split count for a client area of width x height, in cell order; empty
    // for an unsupported count.
    static std::vector<PaneRect> ComputePaneRects(int count, int width, int height);

    // Lays the grid out for count cells (any other count than 1, 4, 6, 9, 16, 25, 32 hides all).
    void SetSplitMode(int count);
    int splitCount() const { return m_split; }

    // ILiveView.
    void OpenDeviceVideo(const QString& uid, int stream, QPoint point) override;
    void CloseDeviceVideo(const QString& uid) override;
    void SelectDevicePane(const QString& uid) override;
    void SetSplitCount(int count) override;

    // Message handlers (queued calls stand in for the posted messages).
    void OnSwapPanes(int a, int b);
    void OnSelectPane(int index);
    void OnPaneClicked(int index, QPoint point);

    VideoFrame* pane(int position) const;
    VideoFrame* currentPane() const { return m_current; }
    const std::vector<PaneRect>& paneRects() const { return m_rects; }
    CMainFrame* frame() const { return m_frame; }

    // Calls fn for every cell in grid order; the plan worker's road to the cells.
    template <class Fn> void forEachCell(Fn fn) const
    {
        std::array<VideoFrame*, kCells> cells;
        {
            std::lock_guard<std::mutex> lock(m_cellsMutex);
            cells = m_cells;
        }
        for (VideoFrame* cell : cells)
            fn(cell);
    }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;

private:
    void setCell(int position, VideoFrame* cell);
    void refreshToolbars();

    CMainFrame* m_frame;
    mutable std::mutex m_cellsMutex;          // guards m_cells against the plan worker's reads
    std::array<VideoFrame*, kCells> m_cells{}; // children of this view; position = index
    std::vector<PaneRect> m_rects;
    int m_split = 4;
    VideoFrame* m_current = nullptr;
    QTimer* m_toolbarTimer = nullptr;
};
