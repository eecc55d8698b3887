// The frame in which the playback view shows recorded video: the drawing surface that libLumora
// draws recordings into (its handle is the "window" of PlayRemoteRec and PlayLocalAVIFile). With
// no picture it shows black; a right-click is passed on to the parent, so the playback view shows
// its own menu at the click point. Thread: GUI.
#pragma once

#include "SurfaceWidget.h"

class CRecVideoWnd : public SurfaceWidget {
    Q_OBJECT
public:
    explicit CRecVideoWnd(QWidget* parent = nullptr);

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
};
