// The playback part of the tour: the device-record mode, the first camera's card listed down to
// its first recording, and that recording played in the playback view.
#pragma once

#include <QString>
#include <functional>

class CMainFrame;
class QWidget;

// step(what, ok) reports a step; shot(window, name) saves a picture. True when every step worked.
bool PlaybackTour(CMainFrame* frame, const std::function<bool(const char*, bool)>& step,
                  const std::function<void(QWidget*, const QString&)>& shot);
