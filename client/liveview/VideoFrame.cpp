#include "VideoFrame.h"

#include "CAppConfig.h"
#include "CGMFCToolBar.h"
#include "CRealTimePlayView.h"
#include "CVideoWnd.h"
#include "ClientMessageBox.h"
#include "ClientPaths.h"
#include "DesktopServices.h"
#include "LangText.h"
#include "RecordPlan.h"
#include "libLumora.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QStyle>

namespace {

constexpr int kLive = 0x01;
constexpr int kListen = 0x02;
constexpr int kTalk = 0x04;
constexpr int kRecording = 0x80;

// The talk button's picture: a microphone on its stand, drawn here (the style has none).
QIcon talkIcon()
{
    QIcon icon;
    for (int size : {16, 32}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(size / 16.0, size / 16.0);
        p.setPen(QPen(QColor(50, 50, 60), 1));
        p.setBrush(QColor(80, 160, 240));
        p.drawRoundedRect(QRectF(5.5, 1.5, 5, 8), 2.5, 2.5);
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(QColor(50, 50, 60), 1.2));
        p.drawArc(QRectF(3.5, 4.5, 9, 7), 180 * 16, 180 * 16);
        p.drawLine(QPointF(8, 11.5), QPointF(8, 14));
        p.drawLine(QPointF(5, 14.5), QPointF(11, 14.5));
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

QIcon buttonIcon(int id)
{
    QStyle* s = QApplication::style();
    switch (id) {
    case VideoFrame::ID_RECORD:
        return s->standardIcon(QStyle::SP_DialogSaveButton);
    case VideoFrame::ID_AUDIO:
        return s->standardIcon(QStyle::SP_MediaVolume);
    case VideoFrame::ID_TALK:
        return talkIcon();
    case VideoFrame::ID_ZOOM:
        return s->standardIcon(QStyle::SP_FileDialogContentsView);
    case VideoFrame::ID_SNAP:
        return s->standardIcon(QStyle::SP_DesktopIcon);
    case VideoFrame::ID_CLOSE:
        return s->standardIcon(QStyle::SP_DialogCloseButton);
    case VideoFrame::ID_ROTATE:
        return s->standardIcon(QStyle::SP_BrowserReload);
    default:
        return s->standardIcon(QStyle::SP_MediaSkipForward);
    }
}

void drawPicture(const std::string& uid, int slot, const char* file)
{
    const std::string path = file[0] != '\0' ? ResourceFilePath(QString::fromLatin1(file)).toStdString() : std::string();
    DrawPicture(path.c_str(), RECT{0, 0, 0, 0}, slot, uid);
}

} // namespace

VideoFrame::VideoFrame(int index, CRealTimePlayView* view, RecordPlanCell& plan, QWidget* parent)
    : QWidget(parent), m_view(view), m_index(index), m_plan(plan)
{
    setObjectName(QStringLiteral("VideoFrame"));
    m_pane = new CVideoWnd(this);
    m_toolBar = new CGMFCToolBar(this);
    const struct {
        int id;
        void (VideoFrame::*handler)();
    } buttons[] = {
        {ID_RECORD, &VideoFrame::OnRecord}, {ID_AUDIO, &VideoFrame::OnAudio},   {ID_TALK, &VideoFrame::OnTalk},
        {ID_ZOOM, &VideoFrame::OnZoom},     {ID_SNAP, &VideoFrame::OnSnap},     {ID_CLOSE, &VideoFrame::OnClose},
        {ID_ROTATE, &VideoFrame::OnRotate}, {ID_SWITCH_STREAM, &VideoFrame::OnSwitchStream},
    };
    for (const auto& b : buttons) {
        QAction* action = m_toolBar->addCommand(b.id, buttonIcon(b.id));
        action->setEnabled(false);
        connect(action, &QAction::triggered, this, b.handler);
    }
}

VideoFrame::~VideoFrame() = default;

int VideoFrame::StartVideo(const QString& uid, int stream)
{
    return m_pane->StartVideo(uid, stream);
}

QString VideoFrame::GetUID() const
{
    return m_pane->GetUID();
}

void VideoFrame::setSelected(bool on)
{
    if (m_selected == on)
        return;
    m_selected = on;
    update();
}

void VideoFrame::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    relayout();
}

void VideoFrame::relayout()
{
    const int w = width();
    const int h = height();
    // Video over everything but the frame and the strip; the strip is clipped by the cell.
    if (!m_pane->fullScreen()) {
        m_pane->setGeometry(kBorder, kBorder, std::max(0, w - 2 * kBorder), std::max(0, h - kStrip));
        m_pane->show();
    }
    // The strip stops above the bottom edge of the frame, so the frame shows on all four sides.
    m_toolBar->setGeometry(kBorder, h - kStrip, std::max(0, w - 2 * kBorder), kStrip - kBorder);
    m_toolBar->show();
}

void VideoFrame::paintEvent(QPaintEvent*)
{
    // Only the frame shows the selection; the strip keeps the window colour (it fills its own
    // background) whether or not the cell is selected.
    QPainter painter(this);
    const QColor frame = m_selected ? QColor(255, 0, 0) : QColor(255, 255, 255);
    const QRect all = rect();
    painter.fillRect(all, palette().color(QPalette::Window));
    painter.fillRect(QRect(all.left(), all.top(), all.width(), kBorder), frame);
    painter.fillRect(QRect(all.left(), all.bottom() - kBorder + 1, all.width(), kBorder), frame);
    painter.fillRect(QRect(all.left(), all.top(), kBorder, all.height()), frame);
    painter.fillRect(QRect(all.right() - kBorder + 1, all.top(), kBorder, all.height()), frame);
}

void VideoFrame::mouseReleaseEvent(QMouseEvent* event)
{
    QWidget::mouseReleaseEvent(event);
    OnButtonUp(event->button(), event->position().toPoint());
}

void VideoFrame::OnButtonUp(Qt::MouseButton button, QPoint point)
{
    if (button != Qt::LeftButton && button != Qt::RightButton)
        return;
    setSelected(true);
    QPointer<CRealTimePlayView> view = m_view;
    const int index = m_index;
    QMetaObject::invokeMethod(
        m_view,
        [view, index, point] {
            if (view)
                view->OnPaneClicked(index, point);
        },
        Qt::QueuedConnection);
}

void VideoFrame::OnUpdateToolbar()
{
    const QString uid = GetUID();
    const bool live = !uid.isEmpty() && (GetPlayStateMask(uid.toStdString()) & kLive) != 0;
    for (QAction* action : m_toolBar->actions())
        action->setEnabled(live);
}

int VideoFrame::BeginManualRecord()
{
    const std::string uid = m_pane->narrowUid();
    // The recording gets its start tick: a plan running meanwhile measures its segment from now
    // instead of from zero, which would rotate it at once.
    m_plan.noteRecordingStarted();
    drawPicture(uid, CVideoWnd::kRecordSlot, "Recording@3x.bmp");
    return StartRecordFile(uid, 0, std::string());
}

void VideoFrame::OnRecord()
{
    const std::string uid = m_pane->narrowUid();
    const int mask = GetPlayStateMask(uid);
    if ((mask & kLive) == 0)
        return;
    if ((mask & kRecording) == 0) {
        BeginManualRecord();
        return;
    }
    StopRecord();
}

void VideoFrame::StopRecord()
{
    const std::string uid = m_pane->narrowUid();
    const int mask = GetPlayStateMask(uid);
    if ((mask & kLive) == 0 || (mask & kRecording) == 0 || m_askingStop)
        return;
    const RecPlan plan = CAppConfig::GetInstance()->CopyRecPlan();
    auto stop = [uid] {
        StopRecordFile(uid, 0);
        drawPicture(uid, CVideoWnd::kRecordSlot, "");
    };
    if (plan.Enable && !m_plan.suspended()) {
        // The question does not block the GUI thread; the recording stops whatever the answer.
        m_askingStop = true;
        QPointer<VideoFrame> self = this;
        AskOkCancel(this, LangText("LocRecSet", "StopRecTip"), LangText("Common", "Warning"), [self, stop](bool ok) {
            if (self) {
                self->m_askingStop = false;
                if (ok)
                    self->m_plan.suspend();
            }
            stop();
        });
        return;
    }
    stop();
}

void VideoFrame::OnAudio()
{
    const std::string uid = m_pane->narrowUid();
    const int mask = GetPlayStateMask(uid);
    if ((mask & kLive) == 0)
        return;
    if ((mask & kListen) == 0)
        m_pane->OnOpenAudio();
    else
        m_pane->OnCloseAudio();
}

void VideoFrame::OnTalk()
{
    const std::string uid = m_pane->narrowUid();
    const int mask = GetPlayStateMask(uid);
    if ((mask & kLive) == 0)
        return;
    if ((mask & kTalk) == 0)
        m_pane->OnOpenMirco();
    else
        m_pane->OnCloseMirco();
}

void VideoFrame::OnZoom()
{
    const std::string uid = m_pane->narrowUid();
    if (m_zoomToggle) {
        const QString cursorFile = ResourceFilePath(QStringLiteral("zoom-cursor.cur"));
        QPixmap cursor(cursorFile);
        m_pane->setCursor(cursor.isNull() ? QCursor(Qt::CrossCursor) : QCursor(cursor));
        m_pane->setZoomOff(false);
        m_pane->setFocus();
        ScaleImage(1.0f, 0, 0, uid, m_pane->stream(), 0);
    } else {
        m_pane->setCursor(Qt::ArrowCursor);
        ScaleImage(0.0f, 0, 0, uid, m_pane->stream(), 0);
        m_pane->setZoomOff(true);
    }
    m_zoomToggle = !m_zoomToggle;
}

void VideoFrame::OnSnap()
{
    m_pane->OnSnap();
}

void VideoFrame::OnClose()
{
    m_pane->CloseVideo();
}

void VideoFrame::OnRotate()
{
    m_pane->OnRotate();
}

void VideoFrame::OnSwitchStream()
{
    m_pane->SwitchStream();
}

