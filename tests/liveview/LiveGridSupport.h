// Support of the live grid tests with cameras: a main frame whose device tree logs in simulated
// cameras that stream a real H.264 picture sequence, and the grid it shows.
#pragma once

#include "FrameFixture.h"
#include "MainFrame.h"
#include "liveview/CRealTimePlayView.h"

#include <QPoint>
#include <QString>
#include <memory>
#include <string>
#include <vector>

class VideoFrame;

namespace gridtest {

// An Annex-B H.264 file of width x height at 25 pictures a second, made once by the ffmpeg
// command line and kept in the temporary folder.
std::string GridVideo(int width, int height);

// Cameras of the test program, started once and shared by its tests.
class SharedCameras {
public:
    static constexpr int kCount = 4;
    static constexpr int kWidth = 320;
    static constexpr int kHeight = 240;
    // Starts them on first use; null when a camera does not start.
    static SharedCameras* get();
    const std::string& uid(int i) const { return m_cameras[static_cast<size_t>(i)]->uid(); }
    QString quid(int i) const { return QString::fromStdString(uid(i)); }

private:
    std::vector<std::unique_ptr<frametest::Camera>> m_cameras;
};

// True when libLumora reports live video for uid.
bool Plays(const std::string& uid);
bool Plays(const QString& uid);

// A shown main frame with the given cameras stored and logged in, and its live grid.
class GridFrame {
public:
    // Stores rows for the uids and makes the frame; waits until every device is logged in.
    explicit GridFrame(const std::vector<std::string>& uids);
    ~GridFrame();
    bool ready() const { return m_ready; }
    CMainFrame* frame() const { return m_frame.get(); }
    CRealTimePlayView* view() const { return m_view; }
    // The centre of the visible pane at position, in view coordinates.
    QPoint centre(int position) const;
    // Double-clicks the device's node in the device tree.
    bool doubleClickDevice(const std::string& uid);
    // Drags the device from the tree and drops it at point (view coordinates): the tree logs the
    // device in again and opens it there.
    void dropDevice(const std::string& uid, QPoint point);

private:
    frametest::DataFolder m_data;
    std::vector<std::string> m_uids;
    std::unique_ptr<CMainFrame> m_frame;
    CRealTimePlayView* m_view = nullptr;
    bool m_ready = false;
};

// Waits until the cell's surface has been given `more` pictures beyond what it had.
bool PicturesArrive(VideoFrame* cell, int more = 5, int timeoutMs = 20000);

} // namespace gridtest
