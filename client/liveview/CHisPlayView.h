// The playback view: plays a recording from a device's memory card (streamed by libLumora into
// the view's video frame) or a local .avi file (libLumora's local player), with a play/pause
// button, a close button, a position slider (seconds for a device recording, frames for a
// local file) that follows the playing position both ways, and a label with the position and the
// length. The main frame hands it work only while it is the active view. A device recording whose
// stream has run out is ended like a closed one, with the slider left at its end.
//
// A device playback has a generation: every play and every stop takes a new one, and the
// answers of the device carry the generation they were asked for. A late answer to the end of
// one playback therefore cannot end the playback after it, and a new playback is asked of the
// device only once the end of the one before has been answered (or has timed out), without the
// view waiting for it.
//
// Thread: GUI. SDK answers come back through the view's mailbox.
#pragma once

#include "ViewInterfaces.h"

#include <QWidget>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class CRecVideoWnd;
class GuiMailbox;
class QLabel;
class QMenu;
class QSlider;
class QTimer;
class QToolButton;

class CHisPlayView : public QWidget, public IPlaybackView {
    Q_OBJECT
public:
    enum Command {
        ID_PLAY_PAUSE = 3200,
        ID_CLOSE = 3201,
        ID_SLIDER = 5004,
        ID_HISPLAY_CLOSE = 32908,
        ID_HISPLAY_SNAP = 32909,
    };
    // Pictures of the play/pause and close buttons.
    enum Bitmap { kBitmapPlaying = 390, kBitmapPaused = 391, kBitmapClose = 392 };
    enum Mode { RemoteMode = 0, LocalMode = 1 };
    // Ticks of the position timer without a new time stamp, in the recording's last second, after
    // which a device recording counts as played to its end.
    static constexpr int kEndStillTicks = 2;

    explicit CHisPlayView(QWidget* parent = nullptr);
    ~CHisPlayView() override;

    // IPlaybackView. `file` is the device path of the recording, `length` its length in seconds.
    void PlayRemoteRecord(const QString& uid, const QString& file, int length) override;
    int PlayLocalFile(const QString& path) override;

    // Commands.
    void OnPlayPause();
    void StopPlay();
    void OnSnapshot();
    // The slider was moved to pos (0: take the slider's own position, as keyboard moves report).
    void OnHScroll(int pos);
    bool IsCommandEnabled(int id) const;
    // The context menu with the current language and enabling; the caller owns it.
    QMenu* CreateContextMenu();
    // One tick of the position timer.
    void OnTimer();

    // Intervals of the position timer (ms): 1000 for a device recording, 500 for a local file by
    // default; tests shorten them.
    void setTimerIntervals(int remoteMs, int localMs);

    CRecVideoWnd* videoFrame() const { return m_videoFrame; }
    QSlider* slider() const { return m_slider; }
    QToolButton* playButton() const { return m_playButton; }
    QToolButton* closeButton() const { return m_closeButton; }
    QLabel* timeLabel() const { return m_timeLabel; }
    // "m:ss / m:ss" for a device recording (position and length in seconds), "frame / frames"
    // for a local file, whose frame rate the player does not tell.
    static QString TimeText(int mode, uint32_t position, uint32_t length);
    int playBitmap() const { return m_playBitmap; }
    QString deviceUid() const { return m_deviceUid; }
    const std::string& currentFile() const { return m_currentFile; }
    int playMode() const { return m_playMode; }
    bool paused() const { return m_paused; }
    uint32_t position() const { return m_position; }
    bool timerActive() const;
    int timerInterval() const;
    // A device playback waits for the end of the one before to be answered.
    bool startPending() const { return m_pendingStart.has_value(); }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    struct Start {
        QString uid;
        std::string text;
        uint64_t generation = 0;
    };
    void setPlayBitmap(int bitmap);
    void sendStart(const Start& start);
    void OnPlayRemoteResult(uint64_t generation);
    void OnEndRemoteResult(uint64_t token);
    void layoutChildren();
    void showPosition(uint32_t position);
    // Ends the device playback: the device is told, and the view is idle once it has answered.
    void endRemote();

    std::shared_ptr<GuiMailbox> m_mailbox;
    CRecVideoWnd* m_videoFrame = nullptr;
    QSlider* m_slider = nullptr;
    QToolButton* m_playButton = nullptr;
    QToolButton* m_closeButton = nullptr;
    QLabel* m_timeLabel = nullptr;
    QTimer* m_timer = nullptr;
    int m_remoteIntervalMs = 1000;
    int m_localIntervalMs = 500;
    int m_playBitmap = kBitmapPlaying;

    QString m_deviceUid;
    uint32_t m_position = 0;
    int64_t m_lastPts = -1;  // the device's last time stamp seen by the timer
    int m_stillTicks = 0;    // ticks since it last changed
    std::string m_currentFile; // empty: nothing playing
    int m_playMode = RemoteMode;
    bool m_paused = false;

    bool m_stopping = false;              // the current device playback was asked to end
    uint64_t m_generation = 0;            // taken by every play and stop
    uint64_t m_endToken = 0;              // the stop whose answer the next start waits for; 0 none
    std::optional<Start> m_pendingStart;  // a start held back until that answer
};
