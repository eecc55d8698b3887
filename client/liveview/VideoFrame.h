// One cell of the live grid: a video pane (CVideoWnd) and, under it, a strip of eight buttons for
// the pane's device (record, listen, talk, zoom, snapshot, close, rotate, switch stream). It paints
// the selection border (red when selected), reports clicks to the grid, and carries the cell's
// state of the local recording plan.
//
// Threads: the GUI thread, except PlanRecordTick and the plan fields, which the plan worker uses;
// those fields are atomics.
#pragma once

#include <QWidget>
#include <atomic>
#include <cstdint>
#include <functional>

class CGMFCToolBar;
class CRealTimePlayView;
class CVideoWnd;
class QAction;

class VideoFrame : public QWidget {
    Q_OBJECT
public:
    // Toolbar command ids, in button order.
    enum Command {
        ID_RECORD = 32968,
        ID_AUDIO = 32970,
        ID_TALK = 32972,
        ID_ZOOM = 32975,
        ID_SNAP = 32976,
        ID_CLOSE = 32977,
        ID_ROTATE = 32980,
        ID_SWITCH_STREAM = 32989,
    };
    // Strip height under the pane and the frame around it, in pixels.
    static constexpr int kStrip = 22;
    static constexpr int kBorder = 2;

    VideoFrame(int index, CRealTimePlayView* view, QWidget* parent);
    ~VideoFrame() override;

    int StartVideo(const QString& uid, int stream);
    QString GetUID() const;
    CVideoWnd* videoPane() const { return m_pane; }
    CGMFCToolBar* toolBar() const { return m_toolBar; }
    CRealTimePlayView* view() const { return m_view; }

    int index() const { return m_index; }
    void setIndex(int index) { m_index = index; }
    bool selected() const { return m_selected; }
    // Sets the flag and repaints when it changes.
    void setSelected(bool on);

    // Toolbar commands.
    void OnRecord();
    void OnAudio();
    void OnTalk();
    void OnZoom();
    void OnSnap();
    void OnClose();
    void OnRotate();
    void OnSwitchStream();
    // The stop road of the record button (also the pane menu's "EndRec").
    void StopRecord();
    // Starts a local recording of the pane's device (button or menu); the recording gets its
    // start tick, so the plan measures its segment from now.
    int BeginManualRecord();
    // Lays the pane and the strip out in the cell's current size.
    void relayout();
    // Enables the buttons exactly while the device has live video.
    void OnUpdateToolbar();
    // The zoom toggle: true when the next press turns zoom on.
    bool zoomToggle() const { return m_zoomToggle; }

    // Recording plan state (any thread).
    uint32_t planStartTick() const { return m_planStartTick.load(); }
    void setPlanStartTick(uint32_t tick) { m_planStartTick.store(tick); }
    bool planSuspended() const { return m_planSuspended.load(); }
    void setPlanSuspended(bool on) { m_planSuspended.store(on); }
    int segmentMinutes() const { return m_segmentMinutes.load(); }
    // The plan worker's step for this cell (plan worker thread): 2 no live video, 3 suspended,
    // 0 a recording goes on or was rotated, else the result of StartRecordFile. now is the plan
    // clock's tick in milliseconds; recTime the plan's segment index.
    int PlanRecordTick(uint32_t now, int recTime);
    // The clock of plan start ticks (milliseconds, wrapping); the plan worker sets its own.
    void setPlanClock(std::function<uint32_t()> clock);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    friend class CVideoWnd;
    // The pane forwards its button releases here (cell coordinates).
    void OnButtonUp(Qt::MouseButton button, QPoint point);
    uint32_t planNow() const;

    CRealTimePlayView* m_view;
    CVideoWnd* m_pane = nullptr;
    CGMFCToolBar* m_toolBar = nullptr;
    bool m_selected = false;
    int m_index;
    bool m_zoomToggle = true;
    bool m_askingStop = false; // the stop question is open

    std::atomic<uint32_t> m_planStartTick{0};
    std::atomic<bool> m_planSuspended{false};
    std::atomic<int> m_segmentMinutes{0};
    std::function<uint32_t()> m_planClock; // set before the plan worker starts
};
