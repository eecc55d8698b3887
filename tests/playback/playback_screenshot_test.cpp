// A picture of the playback view with the device record tree, as a person sees it under a real X
// server, in English and Chinese: one camera's recording playing, its hours listed (a paged hour
// of 45 recordings open), and another camera's download on its way. Saved in <build>/screenshots.
#include "CaseName.h"
#include "PlaybackFixture.h"
#include "ScreenshotSupport.h"

#include "CRecViewTree.h"
#include "MainFrame.h"
#include "liveview/CDevRecTreeView.h"
#include "liveview/CHisPlayView.h"
#include "liveview/CRecVideoWnd.h"

#include <QDockWidget>
#include <QImage>
#include <QTreeWidgetItem>
#include <gtest/gtest.h>

using namespace playbacktest;
using playbacktest::waitFor;

namespace {

struct LanguageCase {
    const char* name;
    const char* value;
};
void PrintTo(const LanguageCase& c, std::ostream* os) { *os << c.name; }

class PlaybackScreenshot : public ::testing::TestWithParam<LanguageCase> {};

TEST_P(PlaybackScreenshot, PlayingWithTheRecordTreeAndADownload)
{
    PlaybackSession session(2, "SHOTREC", GetParam().value);
    ASSERT_TRUE(session.ready());
    CMainFrame* frame = session.frame();
    frame->resize(1180, 720);
    frame->move(20, 20);
    frame->resizeDocks({frame->dock("DevRecDock")}, {340}, Qt::Horizontal);
    CDevRecTreeView* pane = session.pane();

    // The second camera's download, held part way so that its progress shows.
    ASSERT_TRUE(session.camera(1).camera().holdRecords(2));
    ASSERT_NE(session.selectClipFile(session.camera(1).quid(), kBlob), nullptr);
    pane->OnStartDownload();
    ASSERT_TRUE(waitFor([&] { return pane->downloadProgress(session.camera(1).quid()) > 0; }));

    // The first camera: a paged hour open, and its clip playing.
    const QString uid = session.camera(0).quid();
    ASSERT_NE(session.listHour(uid, kDay, "10", 45), nullptr);
    QTreeWidgetItem* clip = session.selectClipFile(uid, kClip);
    ASSERT_NE(clip, nullptr);
    pane->OnPlayRecord();
    CHisPlayView* view = session.view();
    ASSERT_TRUE(waitFor([&] { return view->videoFrame()->picturesPainted() >= 10 && view->position() >= 2; }));
    pane->tree()->scrollToItem(clip);

    const QString file = clienttest::SaveScreenshot(frame, QStringLiteral("playback-record-tree-%1").arg(QLatin1String(GetParam().name)));
    ASSERT_FALSE(file.isEmpty());
    const QImage image(file);
    ASSERT_FALSE(image.isNull());
    // The video area shows the test picture, not a black frame.
    const QRect video(view->videoFrame()->mapTo(frame, QPoint(0, 0)), view->videoFrame()->size());
    const QColor centre = image.pixelColor(video.center());
    EXPECT_NE(centre, QColor(Qt::black));
    ASSERT_TRUE(session.camera(1).camera().holdRecords(-1));
}

INSTANTIATE_TEST_SUITE_P(Languages, PlaybackScreenshot,
                         ::testing::Values(LanguageCase{"en", "EN_LAN"}, LanguageCase{"cn", "CN_LAN"}),
                         lumora::test::CaseName());

} // namespace
