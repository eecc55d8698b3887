#include "CHisPlayView.h"

#include "CRecVideoWnd.h"
#include "GuiMailbox.h"
#include "LangText.h"
#include "RecordFileRequest.h"
#include "StringConvert.h"
#include "libLumora.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QSlider>
#include <QStyle>
#include <QTimer>
#include <QToolButton>

namespace {

constexpr int kBarHeight = 48;
constexpr int kButtonSize = 30;

QIcon bitmapIcon(QStyle* style, int bitmap)
{
    switch (bitmap) {
    case CHisPlayView::kBitmapPlaying:
        return style->standardIcon(QStyle::SP_MediaPause); // playing: the button pauses
    case CHisPlayView::kBitmapPaused:
        return style->standardIcon(QStyle::SP_MediaPlay);
    default:
        return style->standardIcon(QStyle::SP_MediaStop);
    }
}

HWND windowOf(int handle)
{
    return reinterpret_cast<HWND>(static_cast<intptr_t>(handle));
}

} // namespace

CHisPlayView::CHisPlayView(QWidget* parent) : QWidget(parent), m_mailbox(GuiMailbox::create(this))
{
    setObjectName(QStringLiteral("DevHisPlayView"));
    setAutoFillBackground(true);
    m_videoFrame = new CRecVideoWnd(this);

    m_closeButton = new QToolButton(this);
    m_closeButton->setObjectName(QStringLiteral("HisPlayClose"));
    m_closeButton->setProperty("controlId", static_cast<int>(ID_CLOSE));
    m_closeButton->setIcon(bitmapIcon(style(), kBitmapClose));
    m_closeButton->setIconSize(QSize(22, 22));
    m_closeButton->setAutoRaise(true);
    connect(m_closeButton, &QToolButton::clicked, this, [this] { StopPlay(); });

    m_playButton = new QToolButton(this);
    m_playButton->setObjectName(QStringLiteral("HisPlayPause"));
    m_playButton->setProperty("controlId", static_cast<int>(ID_PLAY_PAUSE));
    m_playButton->setIconSize(QSize(22, 22));
    m_playButton->setAutoRaise(true);
    setPlayBitmap(kBitmapPlaying);
    connect(m_playButton, &QToolButton::clicked, this, [this] { OnPlayPause(); });

    m_slider = new QSlider(Qt::Horizontal, this);
    m_slider->setObjectName(QStringLiteral("HisPlaySlider"));
    m_slider->setProperty("controlId", static_cast<int>(ID_SLIDER));
    m_slider->setRange(0, 0);
    // Keyboard, page and click moves seek at once; a thumb drag seeks where it is let go.
    connect(m_slider, &QSlider::actionTriggered, this, [this](int action) {
        if (action != QAbstractSlider::SliderMove)
            OnHScroll(m_slider->sliderPosition());
    });
    connect(m_slider, &QSlider::sliderReleased, this, [this] { OnHScroll(m_slider->sliderPosition()); });

    m_timeLabel = new QLabel(this);
    m_timeLabel->setObjectName(QStringLiteral("HisPlayTime"));
    m_timeLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    m_timer = new QTimer(this);
    connect(m_timer, &QTimer::timeout, this, [this] { OnTimer(); });
    layoutChildren();
}

CHisPlayView::~CHisPlayView()
{
    m_mailbox->close();
    m_timer->stop();
    if (m_currentFile.empty())
        return;
    if (m_playMode == LocalMode) {
        EndLocalAVIFile();
    } else if (!m_pendingStart) {
        // The device is told to stop; nobody is left to hear its answer.
        EndRemoteRecord(WideToMultiByte(m_deviceUid),
                        RecordFileRequest::Build(RecordFileRequest::kEnd, m_currentFile, WideToMultiByte(m_deviceUid)),
                        [](int, int, std::string, std::string, char*, int) {});
    }
}

void CHisPlayView::setTimerIntervals(int remoteMs, int localMs)
{
    m_remoteIntervalMs = remoteMs;
    m_localIntervalMs = localMs;
}

bool CHisPlayView::timerActive() const
{
    return m_timer->isActive();
}

int CHisPlayView::timerInterval() const
{
    return m_timer->interval();
}

void CHisPlayView::setPlayBitmap(int bitmap)
{
    m_playBitmap = bitmap;
    m_playButton->setIcon(bitmapIcon(style(), bitmap));
}

void CHisPlayView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    layoutChildren();
}

void CHisPlayView::layoutChildren()
{
    const int w = width();
    const int h = height();
    m_videoFrame->setGeometry(0, 0, w, std::max(0, h - kBarHeight));
    m_videoFrame->show();
    m_closeButton->setGeometry(5, h - 40, kButtonSize, kButtonSize);
    m_playButton->setGeometry(40, h - 40, kButtonSize, kButtonSize);
    // The slider, then the time label ending 5 pixels inside the view's right edge.
    const int labelWidth = std::max(m_timeLabel->sizeHint().width(),
                                    m_timeLabel->fontMetrics().horizontalAdvance(QStringLiteral("000:00 / 000:00")));
    m_slider->setGeometry(80, h - 35, std::max(0, w - 85 - labelWidth - 8), 30);
    m_timeLabel->setGeometry(std::max(80, w - 5 - labelWidth), h - 35, labelWidth, 30);
}

QString CHisPlayView::TimeText(int mode, uint32_t position, uint32_t length)
{
    if (mode == LocalMode)
        return QStringLiteral("%1 / %2").arg(position).arg(length);
    auto clock = [](uint32_t seconds) {
        return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
    };
    return clock(position) + QStringLiteral(" / ") + clock(length);
}

void CHisPlayView::showPosition(uint32_t position)
{
    m_position = position;
    if (!m_slider->isSliderDown())
        m_slider->setValue(static_cast<int>(std::min<uint32_t>(position, INT32_MAX)));
    m_timeLabel->setText(TimeText(m_playMode, position, static_cast<uint32_t>(std::max(0, m_slider->maximum()))));
}

void CHisPlayView::PlayRemoteRecord(const QString& uid, const QString& file, int length)
{
    setPlayBitmap(kBitmapPlaying);
    // A playback already asked to end is not asked again; the new start waits for that answer.
    if (!m_currentFile.empty() && !m_stopping)
        StopPlay();
    m_stopping = false;
    m_paused = false;
    m_playMode = RemoteMode;
    m_deviceUid = uid;
    m_currentFile = WideToMultiByte(file);
    const Start start{uid, RecordFileRequest::Build(RecordFileRequest::kPlay, m_currentFile, WideToMultiByte(uid)),
                      ++m_generation};
    if (m_endToken != 0)
        m_pendingStart = start; // sent when the device has answered the end of the playback before
    else
        sendStart(start);
    m_slider->setRange(0, std::max(0, length));
    m_lastPts = -1;
    m_stillTicks = 0;
    showPosition(0);
}

void CHisPlayView::sendStart(const Start& start)
{
    std::shared_ptr<GuiMailbox> box = m_mailbox;
    const uint64_t generation = start.generation;
    PlayRemoteRec(m_videoFrame->handle(), WideToMultiByte(start.uid), start.text,
                  [box, generation](int, int, std::string, std::string, char*, int) {
                      box->post([generation](QObject* self) { static_cast<CHisPlayView*>(self)->OnPlayRemoteResult(generation); });
                  });
}

void CHisPlayView::OnPlayRemoteResult(uint64_t generation)
{
    // Whatever the result, the position follows the playback it was asked for, and only that one.
    if (generation != m_generation || m_playMode != RemoteMode)
        return;
    m_timer->start(m_remoteIntervalMs);
}

int CHisPlayView::PlayLocalFile(const QString& path)
{
    setPlayBitmap(kBitmapPlaying);
    m_paused = false;
    if (!m_currentFile.empty() && !m_stopping)
        StopPlay();
    m_stopping = false;
    m_currentFile = WideToMultiByte(path);
    m_playMode = LocalMode;
    ++m_generation;
    const int r = PlayLocalAVIFile(m_currentFile, windowOf(m_videoFrame->handle()));
    if (r >= 0) {
        m_slider->setRange(0, std::max(0, GetAVIFileFrames()));
        m_timer->start(m_localIntervalMs);
    }
    showPosition(0);
    return r;
}

void CHisPlayView::OnTimer()
{
    const uint32_t max = static_cast<uint32_t>(std::max(0, m_slider->maximum()));
    if (m_playMode == LocalMode) {
        const uint32_t position = static_cast<uint32_t>(std::max(0, GetLocalPlayPos()));
        showPosition(std::min(position, max));
        if (position >= max)
            m_timer->stop();
        return;
    }
    // The handle follows the device's time stamps both ways (a seek back moves it back).
    const int64_t pts = GetPlayPts(WideToMultiByte(m_deviceUid));
    if (pts <= 0)
        return; // no picture yet, or no such device: the handle stays
    const uint32_t seconds = static_cast<uint32_t>(std::min<int64_t>(pts / 1000000, UINT32_MAX));
    showPosition(std::min(seconds, max));
    m_stillTicks = (pts == m_lastPts && !m_paused) ? m_stillTicks + 1 : 0;
    m_lastPts = pts;
    // The last picture of a recording bears a time stamp within its last second; when nothing
    // newer comes, the recording has been played out.
    if (seconds + 1 >= max && (seconds >= max || m_stillTicks >= kEndStillTicks)) {
        m_timer->stop();
        showPosition(max);
        endRemote();
    }
}

void CHisPlayView::StopPlay()
{
    m_timer->stop();
    showPosition(0);
    if (m_playMode == LocalMode) {
        ++m_generation;
        // Closing joins the player's thread, which only waits between frames: quick, and done
        // here so that no later open can race it.
        EndLocalAVIFile();
        m_currentFile.clear();
        m_videoFrame->clearPicture();
        return;
    }
    if (m_currentFile.empty() && !m_pendingStart)
        return; // nothing left to end (a recording played out, or never one)
    endRemote();
}

void CHisPlayView::endRemote()
{
    const uint64_t token = ++m_generation;
    if (m_pendingStart) {
        // The playback being stopped was never asked of the device: forget it. The answer still
        // awaited now ends this stop.
        m_pendingStart.reset();
        m_endToken = token;
        m_stopping = true;
        return;
    }
    m_endToken = token;
    m_stopping = true;
    std::shared_ptr<GuiMailbox> box = m_mailbox;
    const std::string uid = WideToMultiByte(m_deviceUid);
    const int rc = EndRemoteRecord(uid, RecordFileRequest::Build(RecordFileRequest::kEnd, m_currentFile, uid),
                                   [box, token](int, int, std::string, std::string, char*, int) {
                                       box->post([token](QObject* self) { static_cast<CHisPlayView*>(self)->OnEndRemoteResult(token); });
                                   });
    // Not sent (no such device or no link): no answer will come, so it ends now.
    if (rc < 0)
        OnEndRemoteResult(token);
}

void CHisPlayView::OnEndRemoteResult(uint64_t token)
{
    if (token == m_endToken) {
        m_endToken = 0;
        if (m_pendingStart) {
            const Start start = *m_pendingStart;
            m_pendingStart.reset();
            sendStart(start);
        }
    }
    // Only the stop that is still the newest event ends the view's playback.
    if (token == m_generation) {
        m_stopping = false;
        m_currentFile.clear();
        m_videoFrame->clearPicture();
    }
}

void CHisPlayView::OnPlayPause()
{
    if (m_currentFile.empty())
        return;
    m_paused = !m_paused;
    setPlayBitmap(m_paused ? kBitmapPaused : kBitmapPlaying);
    if (m_playMode == RemoteMode) {
        const std::string uid = WideToMultiByte(m_deviceUid);
        PauseRemoteRec(uid, RecordFileRequest::Build(RecordFileRequest::kPause, m_currentFile, uid),
                       DeviceResultCallback());
    } else {
        LocalPlayOrStop(m_paused ? 1 : 0);
    }
}

void CHisPlayView::OnHScroll(int pos)
{
    if (m_currentFile.empty())
        return;
    const int p = pos != 0 ? pos : m_slider->value();
    if (m_playMode == RemoteMode) {
        const std::string uid = WideToMultiByte(m_deviceUid);
        SeekRemoteRec(uid,
                      RecordFileRequest::Build(RecordFileRequest::kSeek, m_currentFile, uid,
                                               RecordFileRequest::SeekMicroseconds(static_cast<uint32_t>(std::max(0, p)))),
                      DeviceResultCallback());
    } else {
        SetAVIFileFrame(p);
    }
}

void CHisPlayView::OnSnapshot()
{
    if (m_currentFile.empty())
        return;
    SnapStreamPic(WideToMultiByte(m_deviceUid), std::string(), [](int, int, std::string, std::string, char*, int) {});
}

bool CHisPlayView::IsCommandEnabled(int id) const
{
    switch (id) {
    case ID_HISPLAY_CLOSE:
        return !m_currentFile.empty();
    case ID_HISPLAY_SNAP:
        return !m_currentFile.empty() && m_playMode == RemoteMode;
    default:
        return true;
    }
}

QMenu* CHisPlayView::CreateContextMenu()
{
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("HisPlayMenu"));
    QAction* close = menu->addAction(LangText("HisPlaySet", "Close"));
    close->setData(static_cast<int>(ID_HISPLAY_CLOSE));
    close->setEnabled(IsCommandEnabled(ID_HISPLAY_CLOSE));
    connect(close, &QAction::triggered, this, [this] { StopPlay(); });
    QAction* snap = menu->addAction(LangText("HisPlaySet", "Snap"));
    snap->setData(static_cast<int>(ID_HISPLAY_SNAP));
    snap->setEnabled(IsCommandEnabled(ID_HISPLAY_SNAP));
    connect(snap, &QAction::triggered, this, [this] { OnSnapshot(); });
    return menu;
}

void CHisPlayView::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu* menu = CreateContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
    event->accept();
}
