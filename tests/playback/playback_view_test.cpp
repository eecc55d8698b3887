// The playback view against a camera's SD card and the SDK's local player: a recording played by
// a double-click, paused, resumed and moved with the slider while its position follows
// GetPlayPts; a second recording asked for while one plays; a late end answer that must not end
// the next playback; a local AVI recording opened from the file tree; and the view's own parts
// (layout, buttons, menu, the black video frame and its right-click).
#include "CaseName.h"
#include "PlaybackFixture.h"

#include "CRecViewTree.h"
#include "FileTreeCtrl.h"
#include "FileTreeView.h"
#include "MainFrame.h"
#include "liveview/CDevRecTreeView.h"
#include "liveview/CHisPlayView.h"
#include "liveview/CRecVideoWnd.h"
#include "liveview/SurfaceWidget.h"
#include "libLumora.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QSlider>
#include <QTest>
#include <QToolButton>
#include <QTreeWidgetItem>
#include <gtest/gtest.h>
#include <json/json.h>

using namespace playbacktest;
using playbacktest::waitFor;

namespace {

std::string clipPath()
{
    return std::string(kSdRoot) + "/" + kClipDay + "/" + kClipHour + "/" + kClip;
}

Json::Value parse(const std::string& text)
{
    Json::Value v;
    Json::Reader().parse(text, v);
    return v;
}

class RemotePlayback : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_session.ready()); }
    CHisPlayView* view() { return m_session.view(); }
    QString uid() { return m_session.camera(0).quid(); }
    frametest::Camera& cam() { return m_session.camera(0).camera(); }
    uint64_t pictures() { return view()->videoFrame()->picturesPresented(); }

    // Double-clicks a file of the clip's hour.
    void doubleClick(const char* name)
    {
        QTreeWidgetItem* file = m_session.selectClipFile(uid(), name);
        ASSERT_NE(file, nullptr);
        CRecViewTree* tree = m_session.pane()->tree();
        tree->scrollToItem(file);
        const QPoint at = tree->visualItemRect(file).center();
        QTest::mouseDClick(tree->viewport(), Qt::LeftButton, Qt::NoModifier, at);
    }

    PlaybackSession m_session{1, "PLAY"};
};

TEST_F(RemotePlayback, DoubleClickPlaysPauseResumeAndSeek)
{
    doubleClick(kClip);
    EXPECT_EQ(view()->deviceUid(), uid());
    EXPECT_EQ(view()->currentFile(), clipPath());
    EXPECT_EQ(view()->playMode(), CHisPlayView::RemoteMode);
    EXPECT_EQ(view()->slider()->maximum(), 10); // from the name: 08:00:00 to 08:00:10
    ASSERT_TRUE(waitFor([&] { return pictures() >= 5 && view()->timerActive(); }));
    EXPECT_EQ(view()->timerInterval(), 20);
    EXPECT_EQ(recordOpDocuments(cam()).front(),
              "{\"op\":0,\"p\":\"" + clipPath() + "\",\"sh\":0,\"si\":0,\"sl\":0,\"t\":\"" + uid().toStdString() + "\"}\n");

    // Pause and resume send the same document; the button shows the state.
    view()->OnPlayPause();
    EXPECT_TRUE(view()->paused());
    EXPECT_EQ(view()->playBitmap(), CHisPlayView::kBitmapPaused);
    view()->OnPlayPause();
    EXPECT_FALSE(view()->paused());
    EXPECT_EQ(view()->playBitmap(), CHisPlayView::kBitmapPlaying);
    ASSERT_TRUE(waitFor([&] { return recordOps(cam()) == std::vector<int>{0, 20, 20}; }));
    const std::vector<std::string> docs = recordOpDocuments(cam());
    EXPECT_EQ(docs[1], docs[2]);
    EXPECT_EQ(parse(docs[1])["p"].asString(), clipPath());

    // A seek to 6 s: the device jumps there, the position follows its time stamps forward.
    view()->OnHScroll(6);
    ASSERT_TRUE(waitFor([&] { return recordOps(cam()).size() == 4; }));
    EXPECT_EQ(parse(recordOpDocuments(cam())[3])["stm"].asUInt64(), 6000000u);
    ASSERT_TRUE(waitFor([&] { return GetPlayPts(uid().toStdString()) >= 6000000 && view()->position() >= 6; }));
    EXPECT_EQ(view()->slider()->value(), static_cast<int>(view()->position()));

    // Keyboard moves report 0: the slider's own position is sought. The handle follows the
    // device back.
    view()->OnPlayPause();
    ASSERT_TRUE(waitFor([&] { return recordOps(cam()).size() == 5; }));
    view()->slider()->setValue(2);
    view()->OnHScroll(0);
    ASSERT_TRUE(waitFor([&] { return recordOps(cam()).size() == 6; }));
    EXPECT_EQ(parse(recordOpDocuments(cam())[5])["stm"].asUInt64(), 2000000u);
    view()->OnPlayPause();
    ASSERT_TRUE(waitFor([&] { return view()->position() >= 2 && view()->position() < 6 && view()->slider()->value() < 6; }))
        << "position " << view()->position() << " handle " << view()->slider()->value();
    EXPECT_EQ(view()->slider()->value(), static_cast<int>(view()->position()));

    // Close: the device is told to end; once it has answered the view is idle and black.
    view()->closeButton()->click();
    EXPECT_EQ(view()->position(), 0u);
    ASSERT_TRUE(waitFor([&] { return view()->currentFile().empty(); }));
    EXPECT_EQ(recordOps(cam()).back(), 6);
}

// A recording played to its last picture ends its playback: the handle and the label stand at the
// end, the device's record stream is ended, and the record tree may play and download again.
TEST_F(RemotePlayback, AClipPlayedToItsEndEndsItsPlayback)
{
    doubleClick(kClip);
    ASSERT_TRUE(waitFor([&] { return pictures() >= 3 && view()->timerActive(); }));
    EXPECT_EQ(view()->timeLabel()->text(), QStringLiteral("0:00 / 0:10"));
    view()->OnHScroll(7);
    ASSERT_TRUE(waitFor([&] { return view()->currentFile().empty(); }))
        << "position " << view()->position() << " ops " << recordOps(cam()).size();
    EXPECT_FALSE(view()->timerActive());
    EXPECT_EQ(recordOps(cam()), (std::vector<int>{0, 8, 6}));
    EXPECT_EQ(view()->slider()->value(), view()->slider()->maximum());
    EXPECT_EQ(view()->timeLabel()->text(), QStringLiteral("0:10 / 0:10"));
    EXPECT_EQ(GetPlayStateMask(uid().toStdString()) & 0x10, 0);
    EXPECT_TRUE(m_session.pane()->IsCommandEnabled(CDevRecTreeView::ID_REC_PLAY));
    EXPECT_TRUE(m_session.pane()->IsCommandEnabled(CDevRecTreeView::ID_REC_DLOAD));
    EXPECT_FALSE(m_session.pane()->IsCommandEnabled(CDevRecTreeView::ID_REC_END_DLOAD));
    // Close after the end asks the device nothing more.
    view()->closeButton()->click();
    EXPECT_EQ(recordOps(cam()).size(), 3u);
}

TEST(PlaybackTimeText, MinutesAndSecondsOfADeviceRecording)
{
    struct Case {
        int mode;
        uint32_t position, length;
        const char* text;
    };
    for (const Case& c : {Case{CHisPlayView::RemoteMode, 0, 10, "0:00 / 0:10"}, Case{CHisPlayView::RemoteMode, 65, 3600, "1:05 / 60:00"},
                          Case{CHisPlayView::RemoteMode, 599, 600, "9:59 / 10:00"}, Case{CHisPlayView::LocalMode, 12, 250, "12 / 250"}})
        EXPECT_EQ(CHisPlayView::TimeText(c.mode, c.position, c.length), QString::fromLatin1(c.text)) << c.text;
}

TEST_F(RemotePlayback, ASecondRecordingWaitsForTheEndOfTheFirstWithoutBlocking)
{
    doubleClick(kClip);
    ASSERT_TRUE(waitFor([&] { return pictures() >= 3; }));
    const std::string second = std::string(kSdRoot) + "/" + kClipDay + "/" + kClipHour + "/" + kClip2;
    // The second start is held back until the device has answered the end of the first.
    view()->PlayRemoteRecord(uid(), QString::fromStdString(second), 60);
    EXPECT_EQ(view()->currentFile(), second);
    EXPECT_TRUE(view()->startPending());
    ASSERT_TRUE(waitFor([&] { return !view()->startPending() && recordOps(cam()).size() == 3; }));
    const std::vector<std::string> docs = recordOpDocuments(cam());
    EXPECT_EQ(parse(docs[1])["op"].asInt(), 6);
    EXPECT_EQ(parse(docs[1])["p"].asString(), clipPath());
    EXPECT_EQ(parse(docs[2])["op"].asInt(), 0);
    EXPECT_EQ(parse(docs[2])["p"].asString(), second);
    // The end answer of the first did not end the second.
    EXPECT_EQ(view()->currentFile(), second);
    EXPECT_EQ(view()->slider()->maximum(), 60);
    ASSERT_TRUE(waitFor([&] { return view()->timerActive(); }));
}

TEST_F(RemotePlayback, ALateEndAnswerDoesNotEndTheNextPlayback)
{
    doubleClick(kClip);
    ASSERT_TRUE(waitFor([&] { return pictures() >= 3; }));
    // Close, then play again before the device has answered the end.
    view()->StopPlay();
    EXPECT_FALSE(view()->currentFile().empty()); // until the answer
    view()->PlayRemoteRecord(uid(), QString::fromStdString(clipPath()), 10);
    EXPECT_TRUE(view()->startPending());
    ASSERT_TRUE(waitFor([&] { return !view()->startPending() && recordOps(cam()).size() == 3; }));
    EXPECT_EQ(recordOps(cam()), (std::vector<int>{0, 6, 0}));
    const uint64_t before = pictures();
    ASSERT_TRUE(waitFor([&] { return pictures() > before + 3; }));
    EXPECT_EQ(view()->currentFile(), clipPath());
    // Closing twice before the answer, then playing: the one answer releases the start.
    view()->StopPlay();
    view()->StopPlay();
    view()->PlayRemoteRecord(uid(), QString::fromStdString(clipPath()), 10);
    ASSERT_TRUE(waitFor([&] { return !view()->startPending() && view()->timerActive(); }));
    EXPECT_EQ(view()->currentFile(), clipPath());
}

TEST_F(RemotePlayback, PlayCommandOfThePaneAndTheEnabledCommandsWhilePlaying)
{
    QTreeWidgetItem* file = m_session.selectClipFile(uid(), kClip);
    ASSERT_NE(file, nullptr);
    m_session.pane()->OnPlayRecord();
    EXPECT_EQ(view()->currentFile(), clipPath());
    ASSERT_TRUE(waitFor([&] { return (GetPlayStateMask(uid().toStdString()) & 0x10) != 0; }));
    // While the device's record stream runs, play and download do nothing; stop is enabled.
    EXPECT_FALSE(m_session.pane()->IsCommandEnabled(CDevRecTreeView::ID_REC_PLAY));
    EXPECT_FALSE(m_session.pane()->IsCommandEnabled(CDevRecTreeView::ID_REC_DLOAD));
    EXPECT_TRUE(m_session.pane()->IsCommandEnabled(CDevRecTreeView::ID_REC_END_DLOAD));
    m_session.pane()->OnStartDownload();
    m_session.pane()->OnPlayRecord();
    EXPECT_EQ(recordOps(cam()), std::vector<int>{0});
    EXPECT_TRUE(view()->IsCommandEnabled(CHisPlayView::ID_HISPLAY_CLOSE));
    EXPECT_TRUE(view()->IsCommandEnabled(CHisPlayView::ID_HISPLAY_SNAP));
    // Outside the record mode the frame hands the view nothing.
    m_session.frame()->OnLiveMode();
    m_session.frame()->PlayRemoteRecord(uid(), QStringLiteral("/other"), 5);
    EXPECT_EQ(view()->currentFile(), clipPath());
}

// ---- Local recordings

class LocalPlayback : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_session.ready()); }

    // A recording of the camera's live video written by the SDK into the download folder.
    QString recordAvi(int pictures)
    {
        const std::string uid = m_session.camera(0).uid();
        SurfaceWidget surface;
        const QString path = m_session.data().downloadPath() + QStringLiteral("/") + QString::fromStdString(uid) +
                             QStringLiteral("/20261210-101010.AVI");
        QDir().mkpath(QFileInfo(path).path());
        BeginVideo(surface.handle(), uid, 0, 0, [](int, int, std::string, std::string, char*, int) {});
        if (!waitFor([&] { return surface.picturesPresented() >= 1; }))
            return {};
        if (StartRecordFile(uid, 0, path.toStdString()) != 0)
            return {};
        const uint64_t start = surface.picturesPresented();
        waitFor([&] { return surface.picturesPresented() >= start + static_cast<uint64_t>(pictures); });
        StopRecordFile(uid, 0);
        EndVideo(uid, 0, 0, [](int, int, std::string, std::string, char*, int) {});
        return path;
    }

    PlaybackSession m_session{1, "LOCAL"};
};

TEST_F(LocalPlayback, ARecordingOpensFromTheFileTreeAndPlays)
{
    const QString avi = recordAvi(150);
    ASSERT_FALSE(avi.isEmpty());
    CMainFrame* frame = m_session.frame();
    CHisPlayView* view = m_session.view();
    frame->OnLocalFileMode();
    // An upper-case ".AVI" is a recording too.
    ASSERT_TRUE(frame->fileTreePane()->tree()->OpenLocalFile(avi));
    EXPECT_EQ(view->playMode(), CHisPlayView::LocalMode);
    EXPECT_EQ(view->currentFile(), avi.toStdString());
    // Paused at once, moved, resumed: it plays on from the frame chosen.
    view->OnPlayPause();
    EXPECT_TRUE(view->paused());
    EXPECT_EQ(view->playBitmap(), CHisPlayView::kBitmapPaused);
    view->OnHScroll(2);
    EXPECT_EQ(GetLocalPlayPos(), 2);
    const int frames = GetAVIFileFrames();
    EXPECT_GE(frames, 100); // from the first key frame on
    EXPECT_EQ(view->slider()->maximum(), frames);
    EXPECT_TRUE(view->timerActive());
    EXPECT_TRUE(view->IsCommandEnabled(CHisPlayView::ID_HISPLAY_CLOSE));
    EXPECT_FALSE(view->IsCommandEnabled(CHisPlayView::ID_HISPLAY_SNAP)); // no snapshot of a local file
    view->OnPlayPause();
    EXPECT_FALSE(view->paused());
    ASSERT_TRUE(waitFor([&] { return view->videoFrame()->picturesPresented() >= 3 && view->position() > 2; }));

    view->StopPlay();
    EXPECT_TRUE(view->currentFile().empty());
    EXPECT_FALSE(view->videoFrame()->hasPicture());
    EXPECT_EQ(GetLocalPlayPos(), 0);

    // A file the player cannot open: negative, no timer, the path kept (close ends nothing).
    const QString bad = m_session.data().file(QStringLiteral("broken.avi"));
    QFile(bad).open(QIODevice::WriteOnly);
    EXPECT_LT(view->PlayLocalFile(bad), 0);
    EXPECT_FALSE(view->timerActive());
    EXPECT_EQ(view->currentFile(), bad.toStdString());
    view->StopPlay();
    EXPECT_TRUE(view->currentFile().empty());
}

// ---- The view's parts

class PlaybackViewParts : public ::testing::Test {
protected:
    frametest::DataFolder m_data{QStringLiteral("EN_LAN"), true};
    CHisPlayView m_view;
};

TEST_F(PlaybackViewParts, LayoutOfTheFrameButtonsAndSlider)
{
    m_view.resize(640, 480);
    m_view.show();
    EXPECT_EQ(m_view.videoFrame()->geometry(), QRect(0, 0, 640, 432));
    EXPECT_EQ(m_view.closeButton()->geometry(), QRect(5, 440, 30, 30));
    EXPECT_EQ(m_view.playButton()->geometry(), QRect(40, 440, 30, 30));
    // The slider runs from x 80 to the position/length label, which ends 5 pixels inside.
    const QRect slider = m_view.slider()->geometry();
    const QRect label = m_view.timeLabel()->geometry();
    EXPECT_EQ(slider.topLeft(), QPoint(80, 445));
    EXPECT_EQ(slider.height(), 30);
    EXPECT_LT(slider.right(), label.left());
    EXPECT_EQ(label.right(), m_view.rect().right() - 5);
    EXPECT_GE(label.width(), m_view.timeLabel()->fontMetrics().horizontalAdvance(QStringLiteral("00:00 / 00:00")));
    EXPECT_EQ(m_view.closeButton()->property("controlId").toInt(), 3201);
    EXPECT_EQ(m_view.playButton()->property("controlId").toInt(), 3200);
    EXPECT_EQ(m_view.slider()->property("controlId").toInt(), 5004);
}

TEST_F(PlaybackViewParts, IdleViewCommands)
{
    EXPECT_FALSE(m_view.IsCommandEnabled(CHisPlayView::ID_HISPLAY_CLOSE));
    EXPECT_FALSE(m_view.IsCommandEnabled(CHisPlayView::ID_HISPLAY_SNAP));
    std::unique_ptr<QMenu> menu(m_view.CreateContextMenu());
    QStringList texts;
    for (QAction* a : menu->actions())
        texts << a->text();
    EXPECT_EQ(texts, (QStringList{"Close", "Snapshot"}));
    EXPECT_FALSE(menu->actions()[0]->isEnabled());
    // Pause with nothing playing does nothing; close with nothing playing still ends (no device).
    m_view.OnPlayPause();
    EXPECT_FALSE(m_view.paused());
    m_view.closeButton()->click();
    EXPECT_TRUE(m_view.currentFile().empty());
    EXPECT_FALSE(m_view.startPending());
    // A device that does not exist: the start is refused at once, nothing waits.
    m_view.PlayRemoteRecord(QStringLiteral("NOSUCHCAM"), QStringLiteral("/a/b"), 30);
    EXPECT_EQ(m_view.currentFile(), "/a/b");
    m_view.StopPlay();
    EXPECT_TRUE(m_view.currentFile().empty());
    m_view.PlayRemoteRecord(QStringLiteral("NOSUCHCAM"), QStringLiteral("/a/c"), 30);
    EXPECT_FALSE(m_view.startPending());
}

TEST_F(PlaybackViewParts, VideoFrameIsBlackAndPassesRightClicksToTheView)
{
    struct MenuCatcher : QObject {
        int menus = 0;
        QPoint at;
        bool eventFilter(QObject*, QEvent* event) override
        {
            if (event->type() == QEvent::ContextMenu) {
                ++menus;
                at = static_cast<QContextMenuEvent*>(event)->globalPos();
                return true;
            }
            return false;
        }
    } catcher;
    m_view.resize(320, 240);
    m_view.show();
    m_view.installEventFilter(&catcher);
    CRecVideoWnd* frame = m_view.videoFrame();
    const QImage shot = frame->grab().toImage();
    EXPECT_EQ(shot.pixelColor(10, 10), QColor(Qt::black));
    EXPECT_EQ(shot.pixelColor(shot.width() - 5, shot.height() - 5), QColor(Qt::black));

    const QPoint local(30, 40);
    QContextMenuEvent click(QContextMenuEvent::Mouse, local, frame->mapToGlobal(local));
    QCoreApplication::sendEvent(frame, &click);
    ASSERT_TRUE(waitFor([&] { return catcher.menus == 1; }));
    EXPECT_EQ(catcher.at, frame->mapToGlobal(local));
}

} // namespace
