// The seams between the main frame and the views and panes that later subsystems supply. A view
// installed in the frame (CMainFrame::installView) implements the interface of its role; the
// frame finds it with dynamic_cast and forwards its requests only while that view is active.
#pragma once

#include <QPoint>
#include <QString>

// The live grid.
class ILiveView {
public:
    virtual ~ILiveView() = default;
    // Opens the device's video in the pane under point (view coordinates; (0, 0): the current
    // or first idle pane).
    virtual void OpenDeviceVideo(const QString& uid, int stream, QPoint point) = 0;
    virtual void CloseDeviceVideo(const QString& uid) = 0;
    // Selects the pane that shows the device.
    virtual void SelectDevicePane(const QString& uid) = 0;
    // 1, 4, 6, 9, 16, 25 or 32 panes.
    virtual void SetSplitCount(int count) = 0;
};

// The playback view.
class IPlaybackView {
public:
    virtual ~IPlaybackView() = default;
    virtual void PlayRemoteRecord(const QString& uid, const QString& file, int length) = 0;
    // The local-file play result (negative on failure).
    virtual int PlayLocalFile(const QString& path) = 0;
};

// The device record pane.
class IRecordPane {
public:
    virtual ~IRecordPane() = default;
    virtual void AddDeviceNode(const QString& uid) = 0;
    // 0 download accepted, 1 finished, 2 failed.
    virtual void OnDownloadState(int state) = 0;
};

// The side panel (pan-tilt-zoom, presets, colour).
class ISidePanel {
public:
    virtual ~ISidePanel() = default;
    virtual void SetCurrentDevice(const QString& uid) = 0;
};
