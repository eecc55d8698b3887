// The live-video view: a grid of exactly 32 cells (VideoFrame), of which 1, 4, 6, 9, 16, 25 or 32
// are shown in fixed layouts. It puts a device's live video into a cell (by a double-click in the
// device tree or a drop at a point), selects and swaps cells, closes the cell of a device, and
// owns the local recording plan worker, which it starts once the cells exist and stops and joins
// when it is destroyed.
//
// Threads: everything here runs on the GUI thread. The plan worker (RecordPlanWorker, its own
// thread) ticks the plan state of the 32 cells, which it owns; each cell is bound to one plan cell
// for its life, so swaps never touch the worker.
#pragma once

#include "RecordPlan.h"
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
    // The plan worker starts once the cells exist, with the given options (tests shorten its
    // waits and bring their own clock); the destructor stops and joins it.
    explicit CRealTimePlayView(CMainFrame* frame = nullptr, QWidget* parent = nullptr, RecordPlanOptions planOptions = {});
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

    // The mime type of a device dragged from the device tree (its data: the UID in UTF-8).
    static constexpr const char* kDeviceMimeType = "application/x-lumora-device";
    // Where the last device drag was dropped on this view (view coordinates); the device tree
    // opens the device there once its login succeeds.
    QPoint lastDropPoint() const { return m_dropPoint; }

    VideoFrame* pane(int position) const;
    VideoFrame* currentPane() const { return m_current; }
    const std::vector<PaneRect>& paneRects() const { return m_rects; }
    CMainFrame* frame() const { return m_frame; }
    RecordPlanWorker& planWorker() const { return *m_planWorker; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void setCell(int position, VideoFrame* cell);
    void refreshToolbars();

    CMainFrame* m_frame;
    std::unique_ptr<RecordPlanWorker> m_planWorker; // made before the cells, which use its plan cells
    std::array<VideoFrame*, kCells> m_cells{}; // children of this view; position = index
    std::vector<PaneRect> m_rects;
    int m_split = 4;
    VideoFrame* m_current = nullptr;
    QTimer* m_toolbarTimer = nullptr;
    QPoint m_dropPoint{-1, -1};
};
