#include "CVideoWnd.h"

#include "CAppConfig.h"
#include "CRealTimePlayView.h"
#include "ClientPaths.h"
#include "DesktopServices.h"
#include "DevAddPrenstPosDlg.h"
#include "settings/ProImgColorSetDlg.h"
#include "DevTreeView.h"
#include "GuiMailbox.h"
#include "LangText.h"
#include "MainFrame.h"
#include "RecordPlan.h"
#include "SurfaceWidget.h"
#include "VideoFrame.h"
#include "libLumora.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QCursor>
#include <QGuiApplication>
#include <QImage>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPixmap>
#include <QScreen>
#include <QWheelEvent>

namespace {

constexpr int kLive = 0x01;
constexpr int kListen = 0x02;
constexpr int kTalk = 0x04;
constexpr int kFace = 0x08;
constexpr int kRecording = 0x80;
// The status pictures of listening and talking.
constexpr const char* kListenPicture = "Talking@3x.bmp";
constexpr const char* kTalkPicture = "Audioing@3x.bmp";

void ignoreResult(int, int, std::string, std::string, char*, int) {}

struct MenuItem {
    int id;
    const char* key;
};
// The context menu, in position order.
constexpr MenuItem kMenu[] = {
    {CVideoWnd::ID_CLOSE, "Close"},          {CVideoWnd::ID_SNAP, "Snap"},
    {CVideoWnd::ID_OPEN_AUDIO, "OpenAudio"}, {CVideoWnd::ID_CLOSE_AUDIO, "CloseAudio"},
    {CVideoWnd::ID_OPEN_MIRCO, "OpenMirco"}, {CVideoWnd::ID_CLOSE_MIRCO, "CloseMirco"},
    {CVideoWnd::ID_BEGIN_REC, "BeginRec"},   {CVideoWnd::ID_END_REC, "EndRec"},
    {CVideoWnd::ID_PRESET, "Preset"},        {CVideoWnd::ID_SWITCH, "Switch"},
    {CVideoWnd::ID_OPEN_FACE, "OpenFace"},   {CVideoWnd::ID_CLOSE_FACE, "CloseFace"},
    {CVideoWnd::ID_EXIT_FULLSCREEN, "ExitFullscreen"}, {CVideoWnd::ID_ROATE, "Roate"},
    {CVideoWnd::ID_ZOOM, "Zoom"},            {CVideoWnd::ID_ZOOM_OVER, "ZoomOver"},
};

QCursor zoomCursor()
{
    const QPixmap cursor(ResourceFilePath(QStringLiteral("zoom-cursor.cur")));
    return cursor.isNull() ? QCursor(Qt::CrossCursor) : QCursor(cursor);
}

} // namespace

CVideoWnd::CVideoWnd(VideoFrame* cell) : QWidget(cell), m_cell(cell), m_mailbox(GuiMailbox::create(this))
{
    setObjectName(QStringLiteral("VideoWnd"));
    setFocusPolicy(Qt::ClickFocus);
    setMouseTracking(false);
    m_surface = new SurfaceWidget(this);
    m_surface->setObjectName(QStringLiteral("VideoSurface"));
    // The pane takes the mouse; the surface only shows pictures.
    m_surface->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_surface->setBackground(QImage(ResourceFilePath(QStringLiteral("background.bmp"))));
}

CVideoWnd::~CVideoWnd()
{
    m_mailbox->close();
}

int CVideoWnd::windowHandle() const
{
    return m_surface->handle();
}

void CVideoWnd::setUid(const QString& uid)
{
    m_uid = uid;
    m_cell->planCell().setDevice(uid);
    std::lock_guard<std::mutex> lock(m_uidMutex);
    m_narrowUid = uid.toStdString();
}

std::string CVideoWnd::narrowUid() const
{
    std::lock_guard<std::mutex> lock(m_uidMutex);
    return m_narrowUid;
}

int CVideoWnd::StartVideo(const QString& uid, int stream)
{
    if (m_playing)
        return -1;
    m_playing = true;
    m_started = false;
    setUid(uid);
    m_stream = stream;
    const unsigned generation = ++m_generation;
    const std::string id = narrowUid();
    // Read each time, so the decoder choice of the folders dialog applies to the next start.
    SetbeUseHardware(id, CAppConfig::GetInstance()->IniExists() && CAppConfig::GetInstance()->GetHardwareType() != 0);
    std::shared_ptr<GuiMailbox> box = m_mailbox;
    const int result = BeginVideo(windowHandle(), id, stream, 0, [box, generation](int, int reply, std::string, std::string, char*, int) {
        box->post([generation, reply](QObject* self) { static_cast<CVideoWnd*>(self)->OnBeginVideoResult(generation, reply); });
    });
    if (result < 0) {
        m_playing = false;
        setUid(QString());
    }
    return result;
}

void CVideoWnd::OnBeginVideoResult(unsigned generation, int result)
{
    if (generation != m_generation)
        return; // a reply to an earlier start
    if (result != 0) {
        m_playing = false;
        setUid(QString());
        m_surface->clearPicture();
    } else {
        m_playing = true;
        m_started = true;
    }
}

void CVideoWnd::CloseVideo()
{
    const std::string id = narrowUid();
    if (LoginState(id) == 0) {
        setUid(QString());
        update();
    }
    const int mask = GetPlayStateMask(id);
    if (mask & kRecording)
        StopRecordFile(id, 0);
    if (mask & kFace)
        EndFace(id, m_stream, 0, ignoreResult);
    if (mask & kTalk)
        EndTalk(id, ignoreResult);
    if (mask & kListen)
        EndAudio(id, m_stream, 0, ignoreResult);
    if (mask & kLive) {
        // The background returns once the stream has ended; nothing waits on the SDK's thread.
        std::shared_ptr<GuiMailbox> box = m_mailbox;
        const unsigned generation = m_generation;
        EndVideo(id, m_stream, 0, [box, generation](int, int, std::string, std::string, char*, int) {
            box->post([generation](QObject* self) {
                auto* pane = static_cast<CVideoWnd*>(self);
                if (!pane->m_playing && pane->m_generation == generation + 1)
                    pane->m_surface->clearPicture();
            });
        });
    }
    ++m_generation; // replies of the closed start are ignored from now on
    m_playing = false;
    m_started = false;
    setUid(QString());
    m_surface->clearPicture();
}

void CVideoWnd::SwitchStream()
{
    const std::string id = narrowUid();
    if (id.empty())
        return;
    const bool recording = (GetPlayStateMask(id) & kRecording) != 0;
    if (recording)
        StopRecordFile(id, 0);
    changeStream(m_stream == 1 ? 0 : 1, recording);
}

void CVideoWnd::changeStream(int stream, bool record)
{
    const std::string id = narrowUid();
    const int old = m_stream;
    m_stream = stream;
    if (old == stream) {
        BeginVideo(windowHandle(), id, stream, 0, ignoreResult);
        return;
    }
    // The old stream ends before the other one starts, so no decoder of it is left drawing into
    // the pane; the device answers the stop and the start under one reply code, so the start is
    // sent once the stop is answered. A close in between (a new generation) cancels the start.
    std::shared_ptr<GuiMailbox> box = m_mailbox;
    const unsigned generation = m_generation;
    EndVideo(id, old, 0, [box, generation, stream, record](int, int, std::string, std::string, char*, int) {
        box->post([generation, stream, record](QObject* self) {
            static_cast<CVideoWnd*>(self)->startChangedStream(generation, stream, record);
        });
    });
}

void CVideoWnd::startChangedStream(unsigned generation, int stream, bool record)
{
    if (generation != m_generation || !m_playing || stream != m_stream)
        return;
    const std::string id = narrowUid();
    std::shared_ptr<GuiMailbox> box = m_mailbox;
    BeginVideo(windowHandle(), id, stream, 0, [box, generation, record](int, int result, std::string, std::string, char*, int) {
        box->post([generation, result, record](QObject* self) {
            auto* pane = static_cast<CVideoWnd*>(self);
            pane->OnBeginVideoResult(generation, result);
            // The new stream's displayer comes with its first picture: the pane's rotation and
            // status pictures are told to it once that picture shows.
            if (result == 0 && generation == pane->m_generation)
                connect(pane->m_surface, &SurfaceWidget::pictureShown, pane, [pane, generation] {
                    if (generation == pane->m_generation && pane->m_playing)
                        pane->restorePicture();
                }, Qt::SingleShotConnection);
            // The recording goes on in a new file of the new stream.
            if (record && result == 0 && generation == pane->m_generation)
                pane->m_cell->BeginManualRecord();
        });
    });
}

void CVideoWnd::restorePicture()
{
    // A new stream's displayer starts unturned and without status pictures, while the pane's
    // rotation counter, listening and talking go on: it is told them again.
    const std::string id = narrowUid();
    if (m_rotation != 0)
        RoateImage(id, m_rotation);
    const int mask = GetPlayStateMask(id);
    if (mask & kListen)
        setStatusPicture(kListenSlot, kListenPicture);
    if (mask & kTalk)
        setStatusPicture(kTalkSlot, kTalkPicture);
}

void CVideoWnd::OnRotate()
{
    if (!m_playing)
        return;
    m_rotation += 90;
    if (m_rotation == 360)
        m_rotation = 0;
    RoateImage(narrowUid(), m_rotation);
}

void CVideoWnd::OnZoom()
{
    m_zoomOff = false;
    setCursor(zoomCursor());
}

void CVideoWnd::OnZoomOver()
{
    m_zoomOff = true;
    setCursor(Qt::ArrowCursor);
    m_scale = 0.0f;
    ScaleImage(0.0f, 0, 0, narrowUid(), m_stream, 0);
}

void CVideoWnd::setStatusPicture(int slot, const char* file)
{
    const std::string path = file[0] != '\0' ? ResourceFilePath(QString::fromLatin1(file)).toStdString() : std::string();
    DrawPicture(path.c_str(), RECT{0, 0, 0, 0}, slot, narrowUid());
}

void CVideoWnd::OnSnap()
{
    SnapStreamPic(narrowUid(), std::string(), ignoreResult);
    PlayClientSound(QStringLiteral("snap.wav"));
}

void CVideoWnd::OnOpenAudio()
{
    BeginAudio(narrowUid(), m_stream, 0, ignoreResult);
    setStatusPicture(kListenSlot, kListenPicture);
}

void CVideoWnd::OnCloseAudio()
{
    EndAudio(narrowUid(), m_stream, 0, ignoreResult);
    setStatusPicture(kListenSlot, "");
}

void CVideoWnd::OnOpenMirco()
{
    BeginTalk(narrowUid(), ignoreResult);
    setStatusPicture(kTalkSlot, kTalkPicture);
}

void CVideoWnd::OnCloseMirco()
{
    EndTalk(narrowUid(), ignoreResult);
    setStatusPicture(kTalkSlot, "");
}

void CVideoWnd::OnPreset()
{
    // One dialog per pane, kept between openings; each opening asks the pane's device afresh.
    if (m_presetDlg == nullptr)
        m_presetDlg = new DevAddPrenstPosDlg(this);
    m_presetDlg->RequestPresets(m_uid);
    m_presetDlg->show();
    m_presetDlg->adjustSize();
    // Centred over the pane, wherever the pane is (in its cell or full screen).
    const QPoint centre = mapToGlobal(rect().center());
    m_presetDlg->move(centre - QPoint(m_presetDlg->width() / 2, m_presetDlg->height() / 2));
    m_presetDlg->raise();
}

void CVideoWnd::OnColorAdjust()
{
    // A page of the pane's own, kept between openings; each opening asks the pane's device afresh.
    if (m_colorDlg == nullptr)
        m_colorDlg = new DevicePageDialog(new ProImgColorSetDlg, this);
    m_colorDlg->open(m_uid);
}

QMenu* CVideoWnd::CreateContextMenu()
{
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("VideoMenu"));
    const std::string id = narrowUid();
    const int mask = id.empty() ? 0 : GetPlayStateMask(id);
    for (const MenuItem& item : kMenu) {
        QAction* action = menu->addAction(LangText("VideoMenu", item.key));
        action->setData(item.id);
        bool enabled = false;
        switch (item.id) {
        case ID_CLOSE:
        case ID_SNAP:
        case ID_SWITCH:
        case ID_ROATE:
            enabled = mask & kLive;
            break;
        case ID_OPEN_AUDIO:
            enabled = !(mask & kListen);
            break;
        case ID_CLOSE_AUDIO:
            enabled = mask & kListen;
            break;
        case ID_OPEN_MIRCO:
            enabled = !(mask & kTalk);
            break;
        case ID_CLOSE_MIRCO:
            enabled = mask & kTalk;
            break;
        case ID_BEGIN_REC:
            enabled = !(mask & kRecording);
            break;
        case ID_END_REC:
            enabled = mask & kRecording;
            break;
        case ID_PRESET:
            enabled = true;
            break;
        case ID_OPEN_FACE:
            enabled = !(mask & kFace);
            break;
        case ID_CLOSE_FACE:
            enabled = mask & kFace;
            break;
        case ID_EXIT_FULLSCREEN:
            enabled = m_fullScreen;
            break;
        case ID_ZOOM:
            enabled = m_zoomOff;
            break;
        case ID_ZOOM_OVER:
            enabled = !m_zoomOff;
            break;
        default:
            break;
        }
        action->setEnabled(!id.empty() && enabled);
        const int command = item.id;
        connect(action, &QAction::triggered, this, [this, command] { RunCommand(command); });
    }
    return menu;
}

void CVideoWnd::RunCommand(int id)
{
    const std::string uid = narrowUid();
    switch (id) {
    case ID_CLOSE:
        CloseVideo();
        break;
    case ID_SNAP:
        SnapStreamPic(uid, std::string(), ignoreResult);
        break;
    case ID_OPEN_AUDIO:
        OnOpenAudio();
        break;
    case ID_CLOSE_AUDIO:
        OnCloseAudio();
        break;
    case ID_OPEN_MIRCO:
        OnOpenMirco();
        break;
    case ID_CLOSE_MIRCO:
        OnCloseMirco();
        break;
    case ID_BEGIN_REC:
        m_cell->BeginManualRecord();
        break;
    case ID_END_REC:
        m_cell->StopRecord();
        break;
    case ID_PRESET:
        OnPreset();
        break;
    case ID_SWITCH:
        SwitchStream();
        break;
    case ID_EXIT_FULLSCREEN:
        OnExitFullscreen();
        break;
    case ID_ROATE:
        OnRotate();
        break;
    case ID_ZOOM:
        OnZoom();
        break;
    case ID_ZOOM_OVER:
        OnZoomOver();
        break;
    case ID_COLOR_ADJUST:
        OnColorAdjust();
        break;
    default:
        break; // the face items have no command
    }
}

void CVideoWnd::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu* menu = CreateContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

void CVideoWnd::paintEvent(QPaintEvent* event)
{
    QWidget::paintEvent(event); // the surface covers the pane
}

void CVideoWnd::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    m_surface->setGeometry(rect());
}

void CVideoWnd::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        if (!m_uid.isEmpty() && m_cell->view() && m_cell->view()->frame())
            if (CDevTreeView* tree = m_cell->view()->frame()->devTreePane())
                tree->SelectDevice(m_uid);
        m_dragOrigin = event->position().toPoint();
        m_dragging = true;
    }
    QWidget::mousePressEvent(event);
}

void CVideoWnd::mouseMoveEvent(QMouseEvent* event)
{
    QWidget::mouseMoveEvent(event);
    if (!m_zoomOff && m_dragging) {
        const QPoint p = event->position().toPoint();
        ScaleImage(-1.0f, p.x() - m_dragOrigin.x(), p.y() - m_dragOrigin.y(), narrowUid(), m_stream, 0);
    }
}

void CVideoWnd::mouseReleaseEvent(QMouseEvent* event)
{
    QWidget::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton)
        m_dragging = false;
    if (!m_fullScreen)
        m_cell->OnButtonUp(event->button(), mapTo(m_cell, event->position().toPoint()));
    if (event->button() == Qt::LeftButton)
        setFocus();
}

void CVideoWnd::wheelEvent(QWheelEvent* event)
{
    if (!m_zoomOff) {
        const int steps = event->angleDelta().y() / 60;
        m_scale = m_scale + static_cast<float>(steps) * 0.1f;
        if (m_scale < 1.0f)
            m_scale = 1.01f;
        ScaleImage(m_scale, 0, 0, narrowUid(), m_stream, 0);
    }
    QWidget::wheelEvent(event);
}

void CVideoWnd::mouseDoubleClickEvent(QMouseEvent* event)
{
    QWidget::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton)
        ToggleFullScreen();
}

void CVideoWnd::keyReleaseEvent(QKeyEvent* event)
{
    // Esc leaves the pane's own full screen.
    if (event->key() == Qt::Key_Escape && m_fullScreen) {
        leaveFullScreen();
        return;
    }
    QWidget::keyReleaseEvent(event);
}

CMainFrame* CVideoWnd::mainFrame() const
{
    return m_cell->view() ? m_cell->view()->frame() : nullptr;
}

void CVideoWnd::ToggleFullScreen()
{
    if (m_fullScreen) {
        leaveFullScreen();
        return;
    }
    m_fullScreen = true;
    m_savedParent = parentWidget();
    setParent(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    if (QScreen* screen = m_savedParent ? m_savedParent->screen() : QGuiApplication::primaryScreen())
        setGeometry(screen->geometry());
    showFullScreen();
    if (CMainFrame* frame = mainFrame())
        frame->setPaneFullScreen(true);
}

void CVideoWnd::leaveFullScreen()
{
    if (!m_fullScreen)
        return;
    m_fullScreen = false;
    hide();
    setWindowState(Qt::WindowNoState);
    setParent(m_savedParent ? m_savedParent.data() : m_cell, Qt::Widget);
    setGeometry(m_restoreRect);
    show();
    if (CMainFrame* frame = mainFrame()) {
        frame->activateWindow();
        frame->setPaneFullScreen(false);
    }
    m_cell->relayout();
}

void CVideoWnd::OnExitFullscreen()
{
    if (!m_fullScreen)
        return;
    // Full screen is left showing stream 1.
    if (!narrowUid().empty())
        changeStream(1, false);
    leaveFullScreen();
}
