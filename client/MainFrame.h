// The client's one top-level window: the main toolbar, the five docking panes (device tree,
// device recordings, local files, side panel, alarms) and a stack of the three views (live,
// playback, device settings) that the mode buttons switch between. It registers the SDK's one
// message callback and hands the local folders to the SDK.
//
// Threads: everything here runs on the GUI thread, except onDeviceMessage, which the SDK calls
// on its own threads; it copies its arguments and posts queued calls to the GUI objects.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QString>

class QDockWidget;
class QStackedWidget;
class QToolBar;

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    // The views the stack holds; the values are the application's view-switch modes.
    enum ViewMode { LiveView = 0, PlaybackView = 1, PropertyView = 3 };

    explicit CMainFrame(QWidget* parent = nullptr);
    ~CMainFrame() override;

    // The view shown for a mode; a later subsystem replaces the placeholder with its own view
    // (the frame takes ownership). Returns the view that was there before (now unparented).
    QWidget* installView(ViewMode mode, QWidget* view);
    QWidget* view(ViewMode mode) const;
    // Makes the view of `mode` the active one; returns the mode that was active.
    int switchView(int mode);
    int activeViewMode() const { return m_activeMode; }

private:
    QStackedWidget* m_views = nullptr;
    QWidget* m_viewOf[4] = {};
    int m_activeMode = LiveView;
};
