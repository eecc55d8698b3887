// Test support of the playback view and the device record pane: cameras whose SD card holds
// folders of recordings (45, 40 and 20 entries, a playable clip and a file to download), the main
// frame with the record pane and the playback view against them, and the figures the tests read.
#pragma once

#include "FrameFixture.h"

#include <QString>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class CDevRecTreeView;
class CHisPlayView;
class CMainFrame;
class QTreeWidgetItem;

namespace playbacktest {

// The card every test camera carries, under its root "/mnt/s0/media/sensor0".
inline constexpr const char* kSdRoot = "/mnt/s0/media/sensor0";
inline constexpr const char* kDay = "20261210";
inline constexpr const char* kClipDay = "20261211";
inline constexpr const char* kClipHour = "08";
inline constexpr const char* kClip = "080000-080010.h264"; // 10 s at 25 pictures a second
inline constexpr const char* kClip2 = "080500-080510.h264"; // the same pictures again
inline constexpr const char* kBlob = "080100-080200.bin";
inline constexpr int kClipFrames = 250;
inline constexpr size_t kBlobSize = 6 * 65536 + 321;

// The hours of kDay and their entry counts.
struct Hour {
    const char* name;
    int entries;
};
inline constexpr Hour kHours[] = {{"10", 45}, {"11", 40}, {"12", 20}, {"13", 3}};

// Waits (processing Qt events) until done() or the deadline; the deadline only ends a broken run
// (a sanitizer build on a loaded machine is slow), it measures nothing.
inline constexpr int kWaitMs = 90000;
bool waitFor(const std::function<bool()>& done, int timeoutMs = kWaitMs);

// The name of entry i of an hour folder ("HHMMSS-HHMMSS.h264").
std::string entryName(const char* hour, int i);
// An H.264 clip made by the ffmpeg command line (cached for the process); empty on failure.
std::string encodedClip();
// The bytes of the download file (the same for every camera).
const std::vector<char>& blobBytes();
std::vector<char> readFile(const QString& path);

// A camera with its own card in a scratch folder.
class CardCamera {
public:
    explicit CardCamera(const char* prefix);
    // Starts the camera process; camera().waitRegistered() then waits for its registration.
    bool launch();
    frametest::Camera& camera() { return *m_camera; }
    const std::string& uid() const { return m_uid; }
    QString quid() const { return QString::fromStdString(m_uid); }

private:
    QTemporaryDir m_dir;
    std::string m_uid;
    std::unique_ptr<frametest::Camera> m_camera;
};

// The "op" values of the record-file requests a camera has had, in order.
std::vector<int> recordOps(frametest::Camera& camera);
// The bodies of the record-file requests ("rfop" documents), compact.
std::vector<std::string> recordOpDocuments(frametest::Camera& camera);
// The (s, c) of every page request for this folder path, in order.
std::vector<std::pair<int, int>> pageRequests(frametest::Camera& camera, const std::string& folder);

// The frame with cameras stored in "DevInfo.db", logged in, the record mode chosen, and the
// record pane's and the playback view's timers shortened.
class PlaybackSession {
public:
    explicit PlaybackSession(int cameras, const char* prefix = "RECV", const char* language = "EN_LAN");
    ~PlaybackSession();
    bool ready() const { return m_ready; }

    CMainFrame* frame() const { return m_frame.get(); }
    CDevRecTreeView* pane() const;
    CHisPlayView* view() const;
    CardCamera& camera(size_t i) { return *m_cameras[i]; }
    const frametest::DataFolder& data() const { return m_data; }

    // Expands a device node and waits until its folders are listed.
    bool listDevice(const QString& uid);
    // Expands the folder, then the hour under it, and waits for `entries` children.
    QTreeWidgetItem* listHour(const QString& uid, const char* day, const char* hour, int entries);
    QTreeWidgetItem* child(QTreeWidgetItem* parent, const QString& text) const;
    // Entries of the clip's hour: the two clips and the file to download.
    static constexpr int kClipHourEntries = 3;
    // Lists the clip's hour and selects a file node of it.
    QTreeWidgetItem* selectClipFile(const QString& uid, const char* name);

private:
    frametest::DataFolder m_data;
    std::vector<std::unique_ptr<CardCamera>> m_cameras;
    std::unique_ptr<CMainFrame> m_frame;
    bool m_ready = false;
};

} // namespace playbacktest
