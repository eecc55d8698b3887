// The live grid against simulated cameras streaming real H.264: which cell a device opens in (the
// decision table), pictures reaching the panes after a double-click and a drop in every split and
// after a swap, a manual recording with its stop question, the stream switch, leaving full
// screen, rotation and closing a pane.
#include "CAppConfig.h"
#include "CaseName.h"
#include "ClientTestSupport.h"
#include "LangText.h"
#include "LiveGridSupport.h"
#include "liveview/SurfaceWidget.h"
#include "libLumora.h"
#include "liveview/CGMFCToolBar.h"
#include "liveview/CVideoWnd.h"
#include "liveview/DevAddPrenstPosDlg.h"
#include "liveview/RecordPlan.h"
#include "liveview/VideoFrame.h"
#include "settings/ProImgColorSetDlg.h"

#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <QRegularExpression>
#include <QTest>
#include <gtest/gtest.h>
#include <json/json.h>

using namespace gridtest;

namespace {

constexpr int kLive = 0x01;
constexpr int kListen = 0x02;
constexpr int kRecording = 0x80;

class GridWithCameras : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_cameras = SharedCameras::get();
        ASSERT_NE(m_cameras, nullptr);
        std::vector<std::string> uids;
        for (int i = 0; i < SharedCameras::kCount; ++i)
            uids.push_back(m_cameras->uid(i));
        m_grid = std::make_unique<GridFrame>(uids);
        ASSERT_TRUE(m_grid->ready());
    }
    void TearDown() override { m_grid.reset(); }

    CRealTimePlayView* view() const { return m_grid->view(); }
    VideoFrame* cell(int position) const { return view()->pane(position); }
    // Starts camera `camera` in the cell at position and waits for its live video.
    void play(int position, int camera, int stream = 1)
    {
        ASSERT_GE(cell(position)->StartVideo(m_cameras->quid(camera), stream), 0);
        ASSERT_TRUE(frametest::waitFor([&] { return Plays(m_cameras->uid(camera)); }));
    }

    SharedCameras* m_cameras = nullptr;
    std::unique_ptr<GridFrame> m_grid;
};

// ---- Which cell a device opens in --------------------------------------------------------------

enum class Point { None, DropOn, Outside, XZero };

struct OpenCase {
    const char* name;
    std::vector<std::pair<int, int>> playing; // cell position -> camera
    int select;                                // cell made current first, -1 none
    int open;                                  // camera to open, -1 a device without a camera
    Point point;
    int dropCell;
    std::vector<int> expected; // camera shown by each of the four visible cells, -1 none
    int current;               // position of the current cell afterwards, -1 none, -2 any
};

class OpenDecisions : public GridWithCameras, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(OpenDecisions, PutTheDeviceInTheRightCell)
{
    const OpenCase& c = GetParam();
    view()->SetSplitCount(4);
    for (const auto& [position, camera] : c.playing)
        play(position, camera);
    if (c.select >= 0)
        view()->OnSelectPane(c.select);
    const QString uid = c.open >= 0 ? m_cameras->quid(c.open) : QString::fromLatin1(frametest::kNoCamera);
    QPoint point;
    switch (c.point) {
    case Point::None:
        break;
    case Point::DropOn:
        point = m_grid->centre(c.dropCell);
        break;
    case Point::Outside:
        point = QPoint(view()->width() + 40, view()->height() + 40);
        break;
    case Point::XZero:
        point = QPoint(0, 50);
        break;
    }
    view()->OpenDeviceVideo(uid, 1, point);
    QCoreApplication::processEvents(); // a swap is posted to the view
    for (int position = 0; position < 4; ++position) {
        const int camera = c.expected[static_cast<size_t>(position)];
        EXPECT_EQ(cell(position)->GetUID(), camera >= 0 ? m_cameras->quid(camera) : QString()) << "cell " << position;
    }
    if (c.current == -1) {
        EXPECT_EQ(view()->currentPane(), nullptr);
    } else if (c.current >= 0) {
        EXPECT_EQ(view()->currentPane(), cell(c.current));
    }
    // Every device that shows is playing (the swap moved live cells, it did not restart them).
    for (int position = 0; position < 4; ++position)
        if (c.expected[static_cast<size_t>(position)] >= 0) {
            EXPECT_TRUE(frametest::waitFor([&] { return Plays(cell(position)->GetUID()); })) << position;
        }
}

INSTANTIATE_TEST_SUITE_P(
    Grid, OpenDecisions,
    ::testing::Values(
        OpenCase{"firstIdleCell", {}, -1, 0, Point::None, 0, {0, -1, -1, -1}, -1},
        OpenCase{"currentIdleCellFirst", {}, 2, 0, Point::None, 0, {-1, -1, 0, -1}, 2},
        OpenCase{"busyCellsAreSkipped", {{0, 1}}, -1, 0, Point::None, 0, {1, 0, -1, -1}, -1},
        OpenCase{"alreadyPlayingDoesNothing", {{1, 0}}, -1, 0, Point::None, 0, {-1, 0, -1, -1}, -1},
        OpenCase{"alreadyPlayingBeatsIdleCurrent", {{1, 0}}, 3, 0, Point::None, 0, {-1, 0, -1, -1}, 3},
        OpenCase{"dropOnIdleCell", {}, -1, 0, Point::DropOn, 3, {-1, -1, -1, 0}, -1},
        OpenCase{"dropOnBusyCellDoesNothing", {{1, 1}}, -1, 0, Point::DropOn, 1, {-1, 1, -1, -1}, -1},
        OpenCase{"dropOfAPlayingDeviceSwaps", {{0, 0}, {2, 1}}, -1, 0, Point::DropOn, 2, {1, -1, 0, -1}, 0},
        OpenCase{"dropOnItsOwnCellSelectsIt", {{1, 0}}, -1, 0, Point::DropOn, 1, {-1, 0, -1, -1}, 1},
        OpenCase{"dropOutsideEveryPane", {}, -1, 0, Point::Outside, 0, {-1, -1, -1, -1}, -1},
        OpenCase{"zeroXTakesTheNoPointRoad", {{0, 0}}, -1, 0, Point::XZero, 0, {0, 0, -1, -1}, -1},
        OpenCase{"allCellsBusy", {{0, 0}, {1, 1}, {2, 2}, {3, 3}}, -1, -1, Point::None, 0, {0, 1, 2, 3}, -1}),
    lumora::test::CaseName{});

// Opening devices one after another without waiting: a cell whose start is not answered yet is
// busy, so each device gets a cell of its own.
TEST_F(GridWithCameras, OpensInARowTakeOneCellEach)
{
    for (int i = 0; i < 4; ++i)
        view()->OpenDeviceVideo(m_cameras->quid(i), 1, QPoint());
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(cell(i)->GetUID(), m_cameras->quid(i)) << i;
        EXPECT_TRUE(PicturesArrive(cell(i))) << i;
    }
}

// ---- Pictures reach the panes ------------------------------------------------------------------

struct SplitCase {
    const char* name;
    int count;
};

class PicturesInEverySplit : public GridWithCameras, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(PicturesInEverySplit, AfterADoubleClickADropAndASwap)
{
    view()->SetSplitCount(GetParam().count);
    const int last = static_cast<int>(view()->paneRects().size()) - 1;
    ASSERT_EQ(last + 1, GetParam().count);

    // A double-click in the device tree opens the first idle cell.
    ASSERT_TRUE(m_grid->doubleClickDevice(m_cameras->uid(0)));
    ASSERT_TRUE(frametest::waitFor([&] { return cell(0)->GetUID() == m_cameras->quid(0); }));
    EXPECT_TRUE(PicturesArrive(cell(0)));
    VideoFrame* first = cell(0);

    if (last == 0) {
        // One pane: a drop of the playing device on it selects it; its pictures go on.
        m_grid->dropDevice(m_cameras->uid(0), m_grid->centre(0));
        ASSERT_TRUE(frametest::waitFor([&] { return view()->currentPane() == first; }));
        EXPECT_TRUE(first->selected());
        EXPECT_TRUE(PicturesArrive(first));
        return;
    }
    // A drop on the last visible cell opens the second camera there.
    m_grid->dropDevice(m_cameras->uid(1), m_grid->centre(last));
    ASSERT_TRUE(frametest::waitFor([&] { return cell(last)->GetUID() == m_cameras->quid(1); }));
    VideoFrame* second = cell(last);
    EXPECT_TRUE(PicturesArrive(second));

    // Dropping the first camera on the second's cell swaps the two cells.
    m_grid->dropDevice(m_cameras->uid(0), m_grid->centre(last));
    ASSERT_TRUE(frametest::waitFor([&] { return cell(last) == first; }));
    EXPECT_EQ(cell(0), second);
    EXPECT_EQ(first->index(), last);
    EXPECT_EQ(second->index(), 0);
    // The cell that was at the drop position ends selected and current.
    EXPECT_EQ(view()->currentPane(), second);
    EXPECT_TRUE(second->selected());
    const PaneRect& r = view()->paneRects()[static_cast<size_t>(last)];
    EXPECT_EQ(first->geometry(), QRect(r.left, r.top, r.right - r.left, r.bottom - r.top));
    EXPECT_TRUE(PicturesArrive(first));
    EXPECT_TRUE(PicturesArrive(second));
}

INSTANTIATE_TEST_SUITE_P(Splits, PicturesInEverySplit,
                         ::testing::Values(SplitCase{"one", 1}, SplitCase{"four", 4}, SplitCase{"six", 6}, SplitCase{"nine", 9},
                                           SplitCase{"sixteen", 16}, SplitCase{"twentyFive", 25},
                                           SplitCase{"thirtyTwo", 32}),
                         lumora::test::CaseName{});

// ---- Manual recording ------------------------------------------------------------------------

struct RecordCase {
    const char* name;
    bool planEnabled;
    bool answerOk; // the answer to the stop question, when it is asked
};

class ManualRecording : public GridWithCameras, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(ManualRecording, IsWrittenUnderRecordUidAndStoppedByTheButton)
{
    const RecordCase& c = GetParam();
    RecPlan plan = CAppConfig::GetInstance()->CopyRecPlan();
    plan.Enable = c.planEnabled;
    CAppConfig::GetInstance()->StoreRecPlan(plan);

    play(0, 0);
    VideoFrame* target = cell(0);
    ASSERT_TRUE(PicturesArrive(target));
    target->OnUpdateToolbar();
    QAction* record = target->toolBar()->command(VideoFrame::ID_RECORD);
    ASSERT_TRUE(record->isEnabled());
    record->trigger();
    const std::string uid = m_cameras->uid(0);
    ASSERT_TRUE(frametest::waitFor([&] { return (GetPlayStateMask(uid) & kRecording) != 0; }));
    // The recording carries its start tick, so a running plan does not rotate it at once.
    EXPECT_TRUE(target->planCell().startTick().has_value());
    ASSERT_TRUE(PicturesArrive(target, 10));

    record->trigger();
    if (c.planEnabled) {
        QMessageBox* box = nullptr;
        ASSERT_TRUE(frametest::waitFor([&] {
            const auto boxes = clienttest::VisibleMessageBoxes();
            box = boxes.isEmpty() ? nullptr : boxes.front();
            return box != nullptr;
        }));
        EXPECT_EQ(box->text(), LangText("LocRecSet", "StopRecTip"));
        box->button(c.answerOk ? QMessageBox::Ok : QMessageBox::Cancel)->click();
    }
    ASSERT_TRUE(frametest::waitFor([&] { return (GetPlayStateMask(uid) & kRecording) == 0; }));
    EXPECT_EQ(target->planCell().suspended(), c.planEnabled && c.answerOk);
    EXPECT_TRUE(Plays(uid)); // the video goes on

    const QDir folder(CAppConfig::GetInstance()->GetRecPath() + QStringLiteral("/") + QString::fromStdString(uid));
    const QStringList files = folder.entryList(QDir::Files);
    ASSERT_EQ(files.size(), 1) << folder.path().toStdString();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d{8}-\\d{6}\\.avi$")).match(files.front()).hasMatch())
        << files.front().toStdString();
    EXPECT_GT(QFileInfo(folder.filePath(files.front())).size(), 1000);
}

INSTANTIATE_TEST_SUITE_P(Plan, ManualRecording,
                         ::testing::Values(RecordCase{"planOff", false, false}, RecordCase{"planOnCancel", true, false},
                                           RecordCase{"planOnOk", true, true}),
                         lumora::test::CaseName{});

// ---- Pane operations -------------------------------------------------------------------------

TEST_F(GridWithCameras, RotationCyclesThroughQuarterTurns)
{
    play(0, 0);
    CVideoWnd* pane = cell(0)->videoPane();
    std::vector<int> seen;
    for (int i = 0; i < 4; ++i) {
        cell(0)->OnRotate();
        seen.push_back(pane->rotation());
    }
    EXPECT_EQ(seen, (std::vector<int>{90, 180, 270, 0}));
}

// What the user sees of a pane besides the picture itself: the way it is turned, the listen and
// talk marks over it, and what the pane and the device go on doing.
struct PaneLook {
    int rotation = 0;      // the pane's counter
    bool upright = false;  // the picture shows wider than tall
    QStringList marks;     // status pictures over the newest picture, by slot
    int audio = 0;         // listen and talk bits of the device's play state

    bool operator==(const PaneLook&) const = default;
};
void PrintTo(const PaneLook& l, std::ostream* os)
{
    *os << "rotation " << l.rotation << (l.upright ? " upright" : " on its side") << " marks ["
        << l.marks.join(QLatin1Char(',')).toStdString() << "] audio " << l.audio;
}

TEST_F(GridWithCameras, StreamSwitchKeepsRotationAndListenTalkMarks)
{
    constexpr int kTalk = 0x04;
    play(0, 0);
    const std::string uid = m_cameras->uid(0);
    CVideoWnd* pane = cell(0)->videoPane();
    SurfaceWidget* surface = pane->surface();
    auto look = [&] {
        const QImage picture = surface->currentPicture();
        QStringList marks;
        for (const QString& file : surface->currentOverlays())
            marks << QFileInfo(file).fileName();
        return PaneLook{pane->rotation(), picture.width() > picture.height(), marks, GetPlayStateMask(uid) & (kListen | kTalk)};
    };
    const PaneLook expected{90, false, {"Talking@3x.bmp", "Audioing@3x.bmp"}, kListen | kTalk};
    ASSERT_TRUE(PicturesArrive(cell(0)));
    cell(0)->OnRotate();
    cell(0)->OnAudio();
    cell(0)->OnTalk();
    ASSERT_TRUE(frametest::waitFor([&] { return look() == expected; })) << ::testing::PrintToString(look());
    const QSize mainSize = surface->currentPicture().size();

    cell(0)->OnSwitchStream();
    ASSERT_EQ(pane->stream(), 0);
    // Pictures of the other stream are smaller.
    ASSERT_TRUE(frametest::waitFor([&] {
        const QImage picture = surface->currentPicture();
        return !picture.isNull() && picture.size() != mainSize && Plays(uid);
    }));
    ASSERT_TRUE(PicturesArrive(cell(0), 3));
    EXPECT_EQ(look(), expected) << "the pane looks as it did before the switch";

    // The next quarter turn continues from there: the picture stands upright again.
    cell(0)->OnRotate();
    EXPECT_TRUE(frametest::waitFor([&] {
        const PaneLook now = look();
        return now.rotation == 180 && now.upright;
    })) << ::testing::PrintToString(look());
    cell(0)->OnAudio();
    cell(0)->OnTalk();
}

TEST_F(GridWithCameras, CloseEndsListeningRecordingAndVideo)
{
    play(0, 0);
    const std::string uid = m_cameras->uid(0);
    VideoFrame* target = cell(0);
    target->OnAudio();
    target->OnRecord();
    ASSERT_TRUE(frametest::waitFor([&] { return (GetPlayStateMask(uid) & (kListen | kRecording)) == (kListen | kRecording); }));
    std::unique_ptr<QMenu> menu(target->videoPane()->CreateContextMenu());
    EXPECT_FALSE(menu->actions().at(2)->isEnabled()); // OpenAudio while listening
    EXPECT_TRUE(menu->actions().at(3)->isEnabled());  // CloseAudio
    EXPECT_TRUE(menu->actions().at(7)->isEnabled());  // EndRec
    target->OnClose();
    EXPECT_TRUE(target->GetUID().isEmpty());
    EXPECT_FALSE(target->videoPane()->playing());
    EXPECT_TRUE(frametest::waitFor([&] { return GetPlayStateMask(uid) == 0; }));
    EXPECT_TRUE(frametest::waitFor([&] { return !target->videoPane()->surface()->hasPicture(); }));
    // The closed cell takes the next device.
    view()->OpenDeviceVideo(m_cameras->quid(1), 1, QPoint());
    EXPECT_EQ(target->GetUID(), m_cameras->quid(1));
    EXPECT_TRUE(PicturesArrive(target));
}

TEST_F(GridWithCameras, ViewCloseDeviceVideoClosesTheCellOfTheDevice)
{
    play(2, 1);
    view()->CloseDeviceVideo(m_cameras->quid(1));
    EXPECT_TRUE(cell(2)->GetUID().isEmpty());
    EXPECT_TRUE(frametest::waitFor([&] { return !Plays(m_cameras->uid(1)); }));
    // Opened again, the device's pictures come back.
    play(2, 1, 0);
    EXPECT_TRUE(PicturesArrive(cell(2)));
}

// Closing a pane and opening the same camera in it again at once, before the camera has answered
// the stop: the new start follows the stop on the same link, and pictures come again.
TEST_F(GridWithCameras, PaneReopenedAtOnceOnTheSameCameraShowsPicturesAgain)
{
    play(1, 2);
    ASSERT_TRUE(PicturesArrive(cell(1)));
    for (int round = 0; round < 2; ++round) {
        cell(1)->OnClose();
        ASSERT_GE(cell(1)->StartVideo(m_cameras->quid(2), round == 0 ? 1 : 0), 0);
        // Playing again means the stop has been answered and its decoder is gone: what is shown
        // from now on is the new stream's.
        ASSERT_TRUE(frametest::waitFor([&] { return Plays(m_cameras->uid(2)); })) << "round " << round;
        EXPECT_TRUE(PicturesArrive(cell(1))) << "round " << round;
    }
}

// A picture of the grid with live video in four panes, for a reviewer to look at.
TEST_F(GridWithCameras, ScreenshotOfFourLivePanes)
{
    view()->SetSplitCount(4);
    for (int i = 0; i < 4; ++i)
        play(i, i);
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(frametest::waitFor([&] { return cell(i)->videoPane()->surface()->picturesPainted() > 3; })) << i;
    view()->OnSelectPane(0);
    const QString folder = QStringLiteral(LUMORA_BINARY_DIR "/screenshots");
    QDir().mkpath(folder);
    const QImage picture = m_grid->frame()->grab().toImage();
    ASSERT_TRUE(picture.save(folder + QStringLiteral("/live-grid-four-panes.png"), "PNG"));
    // Each pane shows a picture, not the background.
    for (int i = 0; i < 4; ++i)
        EXPECT_FALSE(cell(i)->videoPane()->surface()->currentPicture().isNull()) << i;
}

// ---- The recording plan through the grid's worker --------------------------------------------

class FixedPlanClock : public RecordPlanClock {
public:
    PlanLocalTime localTime() const override { return {1, 10 * 3600}; }
    uint32_t tick() const override { return 5000; }
};

TEST_F(GridWithCameras, PlanRecordsAPlayingCellThroughTheGridsWorker)
{
    RecordPlanOptions options;
    options.clock = std::make_shared<FixedPlanClock>();
    options.loadPlan = [] {
        RecPlan plan;
        plan.Enable = true;
        plan.days[0] = {true, QStringLiteral("00:00:00"), QStringLiteral("23:59:59")};
        return plan;
    };
    options.openWaitMs = 50;
    options.closedWaitMs = 50;
    CMainFrame* frame = m_grid->frame();
    auto* grid = new CRealTimePlayView(frame, nullptr, options);
    delete frame->installView(CMainFrame::LiveView, grid);
    frame->OnLiveMode();
    ASSERT_TRUE(frametest::waitFor([&] { return grid->isVisible() && !grid->paneRects().empty(); }));
    const std::string uid = m_cameras->uid(0);
    ASSERT_GE(grid->pane(1)->StartVideo(m_cameras->quid(0), 1), 0);
    ASSERT_TRUE(frametest::waitFor([&] { return (GetPlayStateMask(uid) & kRecording) != 0; }));
    EXPECT_EQ(grid->pane(1)->planCell().startTick(), std::optional<uint32_t>(5000u));
    // A recording closed before its first key frame leaves no file: let pictures reach it.
    const QDir folder(CAppConfig::GetInstance()->GetRecPath() + QStringLiteral("/") + QString::fromStdString(uid));
    ASSERT_TRUE(frametest::waitFor([&] {
        const QFileInfoList files = folder.entryInfoList(QDir::Files);
        return files.size() == 1 && files.at(0).size() > 8 * 1024;
    }));
    grid->pane(1)->OnClose();
    EXPECT_TRUE(frametest::waitFor([&] { return GetPlayStateMask(uid) == 0; }));
    EXPECT_EQ(folder.entryList(QDir::Files).size(), 1);
}

// ---- Stream switch and full screen (a camera that prints its requests) -------------------------

class GridWithLoggingCamera : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_camera = std::make_unique<frametest::Camera>(frametest::uniqueUid("GRIDLOG"), "pw1");
        m_camera->setMedia(GridVideo(SharedCameras::kWidth, SharedCameras::kHeight), SharedCameras::kWidth,
                           SharedCameras::kHeight);
        m_camera->setLogRequests(true);
        ASSERT_TRUE(m_camera->start());
        m_grid = std::make_unique<GridFrame>(std::vector<std::string>{m_camera->uid()});
        ASSERT_TRUE(m_grid->ready());
    }
    void TearDown() override { m_grid.reset(); }

    struct StreamRequest {
        int type;    // stream_type
        bool start;  // cmd_type 1
        int channel; // the stream ("flag")
    };
    // The stream requests the camera has received, in order.
    std::vector<StreamRequest> streamRequests()
    {
        std::vector<StreamRequest> out;
        for (const std::string& line : m_camera->lines()) {
            if (line.rfind("request 3006 ", 0) != 0)
                continue;
            const size_t body = line.find(' ', 13);
            Json::Value root;
            if (body == std::string::npos || !Json::Reader().parse(line.substr(body + 1), root))
                continue;
            const Json::Value request = root["REQUEST_STREAM_CMD_t"];
            out.push_back({request["stream_type"].asInt(), request["cmd_type"].asInt() == 1, request["flag"].asInt()});
        }
        return out;
    }
    bool waitRequests(size_t count)
    {
        return frametest::waitFor([&] { return streamRequests().size() >= count; });
    }
    VideoFrame* cell(int position) const { return m_grid->view()->pane(position); }

    std::unique_ptr<frametest::Camera> m_camera;
    std::unique_ptr<GridFrame> m_grid;
};

TEST_F(GridWithLoggingCamera, SwitchingStreamsEndsTheOldStreamFirstAndKeepsRecording)
{
    const std::string uid = m_camera->uid();
    ASSERT_GE(cell(0)->StartVideo(QString::fromStdString(uid), 1), 0);
    ASSERT_TRUE(PicturesArrive(cell(0)));
    cell(0)->OnRecord();
    ASSERT_TRUE(frametest::waitFor([&] { return (GetPlayStateMask(uid) & kRecording) != 0; }));
    ASSERT_TRUE(waitRequests(1)) << m_camera->lines().size() << " lines";
    const size_t before = streamRequests().size();

    cell(0)->OnSwitchStream();
    EXPECT_EQ(cell(0)->videoPane()->stream(), 0);
    ASSERT_TRUE(waitRequests(before + 2));
    const std::vector<StreamRequest> requests = streamRequests();
    EXPECT_FALSE(requests[before].start);
    EXPECT_EQ(requests[before].channel, 1);
    EXPECT_TRUE(requests[before + 1].start);
    EXPECT_EQ(requests[before + 1].channel, 0);
    EXPECT_TRUE(frametest::waitFor([&] { return (GetPlayStateMask(uid) & (kLive | kRecording)) == (kLive | kRecording); }));
    EXPECT_TRUE(PicturesArrive(cell(0))) << "pictures of the new stream reach the pane";

    // And back to the first stream: it plays again.
    const size_t again = streamRequests().size();
    cell(0)->OnSwitchStream();
    EXPECT_EQ(cell(0)->videoPane()->stream(), 1);
    ASSERT_TRUE(waitRequests(again + 2));
    EXPECT_TRUE(frametest::waitFor([&] { return Plays(uid); }));
    EXPECT_TRUE(PicturesArrive(cell(0))) << "pictures of the first stream reach the pane again";
}

TEST_F(GridWithLoggingCamera, LeavingFullScreenEndsTheOldStreamAndPutsThePaneBack)
{
    const std::string uid = m_camera->uid();
    CVideoWnd* pane = cell(0)->videoPane();
    ASSERT_GE(cell(0)->StartVideo(QString::fromStdString(uid), 0), 0);
    ASSERT_TRUE(PicturesArrive(cell(0)));
    const QRect inCell = pane->geometry();
    EXPECT_EQ(pane->restoreRect(), inCell);

    QTest::mouseDClick(pane, Qt::LeftButton, {}, QPoint(10, 10));
    ASSERT_TRUE(pane->fullScreen());
    EXPECT_TRUE(pane->isWindow());
    EXPECT_TRUE(PicturesArrive(cell(0)));
    const size_t before = streamRequests().size();

    std::unique_ptr<QMenu> menu(pane->CreateContextMenu());
    ASSERT_TRUE(menu->actions().at(12)->isEnabled()); // ExitFullscreen
    menu->actions().at(12)->trigger();
    EXPECT_FALSE(pane->fullScreen());
    EXPECT_FALSE(pane->isWindow());
    EXPECT_EQ(pane->parentWidget(), cell(0));
    EXPECT_EQ(pane->geometry(), inCell);
    EXPECT_EQ(pane->stream(), 1);
    ASSERT_TRUE(waitRequests(before + 2));
    const std::vector<StreamRequest> requests = streamRequests();
    EXPECT_FALSE(requests[before].start);
    EXPECT_EQ(requests[before].channel, 0);
    EXPECT_TRUE(requests[before + 1].start);
    EXPECT_EQ(requests[before + 1].channel, 1);
    EXPECT_TRUE(frametest::waitFor([&] { return Plays(uid); }));
    EXPECT_TRUE(PicturesArrive(cell(0))) << "pictures reach the pane back in its cell";

    // The double-click road back keeps the stream and puts the pane back as well.
    QTest::mouseDClick(pane, Qt::LeftButton, {}, QPoint(10, 10));
    ASSERT_TRUE(pane->fullScreen());
    QTest::mouseDClick(pane, Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_FALSE(pane->fullScreen());
    EXPECT_EQ(pane->parentWidget(), cell(0));
    EXPECT_EQ(pane->geometry(), inCell);
    EXPECT_EQ(pane->stream(), 1);
    EXPECT_TRUE(PicturesArrive(cell(0)));
}

// The pane's "Preset" item opens the pane's own preset dialog, made once and kept, for the
// device the pane shows: the dialog asks that device for its presets at every opening, and a
// preset added there lands on that device.
TEST_F(GridWithLoggingCamera, PresetItemOpensThePresetDialogOfThePanesDevice)
{
    const std::string uid = m_camera->uid();
    CVideoWnd* pane = cell(0)->videoPane();
    EXPECT_EQ(pane->presetDialog(), nullptr);
    ASSERT_GE(cell(0)->StartVideo(QString::fromStdString(uid), 1), 0);
    ASSERT_TRUE(frametest::waitFor([&] { return Plays(uid); }));

    std::unique_ptr<QMenu> menu(pane->CreateContextMenu());
    QAction* preset = menu->actions().at(8);
    ASSERT_EQ(preset->text(), LangText("VideoMenu", "Preset"));
    ASSERT_TRUE(preset->isEnabled());
    preset->trigger();
    DevAddPrenstPosDlg* dialog = pane->presetDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->parent(), pane);
    EXPECT_EQ(dialog->deviceUid(), QString::fromStdString(uid));
    EXPECT_TRUE(frametest::waitFor([&] { return m_camera->requestBodies(1476).size() == 1; }));

    dialog->nameEdit()->setText(QStringLiteral("Door"));
    dialog->OnBnClickedOk();
    ASSERT_TRUE(frametest::waitFor([&] { return dialog->presetList()->count() == 1; }));
    EXPECT_EQ(dialog->presetList()->item(0)->text(), QStringLiteral("Door"));
    EXPECT_EQ(m_camera->requestBodies(1478).size(), 1u);

    // Hidden and opened again: the same dialog, listing the device's presets afresh.
    dialog->hide();
    std::unique_ptr<QMenu> again(pane->CreateContextMenu());
    again->actions().at(8)->trigger();
    EXPECT_EQ(pane->presetDialog(), dialog);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_TRUE(frametest::waitFor([&] { return m_camera->requestBodies(1476).size() == 2; }));
    ASSERT_TRUE(frametest::waitFor([&] { return dialog->presetList()->count() == 1; }));
    EXPECT_EQ(dialog->presetList()->item(0)->text(), QStringLiteral("Door"));
}

// The pane's colour command opens the pane's own colour page, made once and kept, for the device
// the pane shows; each opening asks that device afresh.
TEST_F(GridWithLoggingCamera, ColourCommandOpensTheColourPageOfThePanesDevice)
{
    const std::string uid = m_camera->uid();
    CVideoWnd* pane = cell(0)->videoPane();
    EXPECT_EQ(pane->colorDialog(), nullptr);
    ASSERT_GE(cell(0)->StartVideo(QString::fromStdString(uid), 1), 0);
    ASSERT_TRUE(frametest::waitFor([&] { return Plays(uid); }));
    Json::Value colours;
    colours["Brightness"] = 77;
    ASSERT_TRUE(m_camera->setDocument("CamCfg.info", colours));

    pane->RunCommand(CVideoWnd::ID_COLOR_ADJUST);
    DevicePageDialog* dialog = pane->colorDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->parent(), pane);
    EXPECT_EQ(dialog->page()->uid(), QString::fromStdString(uid));
    auto* brightness = dialog->page()->findChild<QSlider*>(QStringLiteral("ctl_1190"));
    ASSERT_NE(brightness, nullptr);
    EXPECT_TRUE(frametest::waitFor([&] { return brightness->value() == 77; }));

    dialog->hide();
    pane->RunCommand(CVideoWnd::ID_COLOR_ADJUST);
    EXPECT_EQ(pane->colorDialog(), dialog);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_TRUE(frametest::waitFor([&] { return m_camera->requestBodies(1496).size() == 2; }));
}

} // namespace
