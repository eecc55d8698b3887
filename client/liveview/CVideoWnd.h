// The video pane inside a grid cell: the drawing surface libLumora renders one device's live
// video into, the device and stream it shows, its context menu (close, snapshot, listen, talk,
// record, presets, stream switch, full screen, rotation, digital zoom), the digital zoom by
// wheel and drag, rotation, and full screen on its own.
//
// Threads: GUI. libLumora's callbacks copy their values and post them back through the pane's
// mailbox; a reply that belongs to an earlier start (generation) is ignored.
#pragma once

#include <QPoint>
#include <QRect>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <memory>
#include <mutex>
#include <string>

class CMainFrame;
class DevAddPrenstPosDlg;
class DevicePageDialog;
class GuiMailbox;
class QMenu;
class SurfaceWidget;
class VideoFrame;

class CVideoWnd : public QWidget {
    Q_OBJECT
public:
    // Context menu command ids.
    enum Command {
        ID_CLOSE = 32811,
        ID_SNAP = 32808,
        ID_OPEN_AUDIO = 32807,
        ID_CLOSE_AUDIO = 32815,
        ID_OPEN_MIRCO = 32809,
        ID_CLOSE_MIRCO = 32816,
        ID_BEGIN_REC = 32810,
        ID_END_REC = 32817,
        ID_PRESET = 32871,
        ID_SWITCH = 32928,
        ID_OPEN_FACE = 32941,
        ID_CLOSE_FACE = 32942,
        ID_EXIT_FULLSCREEN = 32947,
        ID_ROATE = 32952,
        ID_ZOOM = 32961,
        ID_ZOOM_OVER = 32963,
        ID_COLOR_ADJUST = 32944,
    };
    // Status picture slots and files.
    static constexpr int kListenSlot = 0;
    static constexpr int kTalkSlot = 1;
    static constexpr int kRecordSlot = 2;

    explicit CVideoWnd(VideoFrame* cell);
    ~CVideoWnd() override;

    // Starts live video; -1 when the pane is already playing, else BeginVideo's result.
    int StartVideo(const QString& uid, int stream);
    void CloseVideo();
    void SwitchStream();
    void OnRotate();
    QString GetUID() const { return m_uid; }

    int stream() const { return m_stream; }
    bool playing() const { return m_playing; }
    // The device answered the pane's start (its video ran at least once).
    bool started() const { return m_started; }
    bool fullScreen() const { return m_fullScreen; }
    int rotation() const { return m_rotation; }
    float scale() const { return m_scale; }
    bool zoomOff() const { return m_zoomOff; }
    void setZoomOff(bool off) { m_zoomOff = off; }
    void setRestoreRect(const QRect& rect) { m_restoreRect = rect; }
    QRect restoreRect() const { return m_restoreRect; }
    // The handle libLumora draws into.
    int windowHandle() const;
    SurfaceWidget* surface() const { return m_surface; }
    // The pane's preset dialog once the menu has opened it (null before).
    DevAddPrenstPosDlg* presetDialog() const { return m_presetDlg; }
    DevicePageDialog* colorDialog() const { return m_colorDlg; }

    // Menu commands.
    void OnZoom();
    void OnZoomOver();
    void OnExitFullscreen();
    void OnPreset();
    void OnColorAdjust();
    void OnSnap();
    void OnOpenAudio();
    void OnCloseAudio();
    void OnOpenMirco();
    void OnCloseMirco();
    // Full screen on or off (the double-click road).
    void ToggleFullScreen();

    // The context menu as it would open now (items enabled by the device's state); the caller
    // owns it.
    QMenu* CreateContextMenu();
    // Runs a menu command by id.
    void RunCommand(int id);

    // libLumora's uid form of the pane's uid; any thread (the plan worker reads it).
    std::string narrowUid() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;

private:
    void OnBeginVideoResult(unsigned generation, int result);
    void leaveFullScreen();
    // Ends the pane's stream and starts `stream` (a new recording when record is set).
    void changeStream(int stream, bool record);
    void startChangedStream(unsigned generation, int stream, bool record);
    // Tells a newly started stream's displayer the pane's rotation and status pictures.
    void restorePicture();
    void setUid(const QString& uid);
    CMainFrame* mainFrame() const;
    void setStatusPicture(int slot, const char* file);

    VideoFrame* m_cell;
    std::shared_ptr<GuiMailbox> m_mailbox;
    SurfaceWidget* m_surface = nullptr;
    DevAddPrenstPosDlg* m_presetDlg = nullptr; // child of the pane, made on first use
    DevicePageDialog* m_colorDlg = nullptr;    // the pane's colour adjustment page, made on first use
    QString m_uid;
    mutable std::mutex m_uidMutex; // guards m_narrowUid, which the plan worker reads
    std::string m_narrowUid;
    QPoint m_dragOrigin;
    bool m_dragging = false;
    bool m_fullScreen = false;
    QRect m_restoreRect;
    QPointer<QWidget> m_savedParent;
    int m_stream = 1;
    bool m_playing = false;
    bool m_started = false;
    unsigned m_generation = 0; // counts starts; replies of older starts are ignored
    int m_rotation = 0;
    bool m_zoomOff = true;
    float m_scale = 0.0f;
};
