// The live grid without cameras: the pane rectangles of every split, the layout that places and
// hides the 32 cells, selection, clicks and swaps, the cell's own layout and tool bar, the pane's
// menu without a device, the wheel zoom arithmetic and the Esc key.
#include "liveview/CGMFCToolBar.h"
#include "liveview/RecordPlan.h"
#include "liveview/CRealTimePlayView.h"
#include "liveview/CVideoWnd.h"
#include "CaseName.h"
#include "ClientPaths.h"
#include "FrameFixture.h"
#include "LangText.h"
#include "MainFrame.h"
#include "liveview/VideoFrame.h"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QDropEvent>
#include <QCursor>
#include "ViewTree.h"
#include <QStyle>
#include <QImage>
#include <QTest>
#include <QWheelEvent>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <vector>

using namespace frametest;

namespace {

// ---- Pane rectangles -------------------------------------------------------------------------

struct SplitCase {
    const char* name;
    int count;
    int width;
    int height;
    size_t rects;
};

class PaneRects : public ::testing::TestWithParam<SplitCase> {};

// Every pixel of the view lies in exactly one rectangle, and every rectangle is non-empty.
TEST_P(PaneRects, TileTheViewExactlyOnce)
{
    const SplitCase& c = GetParam();
    const std::vector<PaneRect> rects = CRealTimePlayView::ComputePaneRects(c.count, c.width, c.height);
    ASSERT_EQ(rects.size(), c.rects);
    std::vector<int> cover(static_cast<size_t>(c.width * c.height), 0);
    for (const PaneRect& r : rects) {
        EXPECT_LT(r.left, r.right);
        EXPECT_LT(r.top, r.bottom);
        for (int y = r.top; y < r.bottom; ++y)
            for (int x = r.left; x < r.right; ++x)
                ++cover[static_cast<size_t>(y * c.width + x)];
    }
    for (size_t i = 0; i < cover.size(); ++i)
        ASSERT_EQ(cover[i], 1) << "pixel " << i % c.width << "," << i / c.width;
}

INSTANTIATE_TEST_SUITE_P(
    Splits, PaneRects,
    ::testing::Values(SplitCase{"one", 1, 640, 480, 1}, SplitCase{"four", 4, 641, 479, 4}, SplitCase{"six", 6, 700, 700, 6},
                      SplitCase{"sixOdd", 6, 1001, 703, 6}, SplitCase{"nine", 9, 1000, 701, 9},
                      SplitCase{"sixteen", 16, 803, 599, 16}, SplitCase{"twentyFive", 25, 1024, 768, 25},
                      SplitCase{"thirtyTwo", 32, 700, 700, 32}, SplitCase{"thirtyTwoOdd", 32, 1001, 703, 32}),
    lumora::test::CaseName{});

struct RectCase {
    const char* name;
    int count;
    int width;
    int height;
    int position;
    PaneRect expected;
};

class PaneRectValues : public ::testing::TestWithParam<RectCase> {};

TEST_P(PaneRectValues, AreTheLayoutsRectangles)
{
    const RectCase& c = GetParam();
    const std::vector<PaneRect> rects = CRealTimePlayView::ComputePaneRects(c.count, c.width, c.height);
    ASSERT_LT(static_cast<size_t>(c.position), rects.size());
    EXPECT_EQ(rects[static_cast<size_t>(c.position)], c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, PaneRectValues,
    ::testing::Values(RectCase{"oneWhole", 1, 640, 480, 0, {0, 0, 640, 480}},
                      RectCase{"fourBottomRight", 4, 641, 479, 3, {320, 239, 641, 479}},
                      RectCase{"sixLarge", 6, 700, 700, 0, {0, 0, 466, 466}},
                      RectCase{"sixRightMiddle", 6, 700, 700, 2, {466, 233, 700, 466}},
                      RectCase{"sixBottomLeft", 6, 700, 700, 3, {0, 466, 233, 700}},
                      RectCase{"nineCentre", 9, 900, 600, 4, {300, 200, 600, 400}},
                      RectCase{"sixteenSecondRow", 16, 800, 600, 5, {200, 150, 400, 300}},
                      RectCase{"twentyFiveLast", 25, 1000, 500, 24, {800, 400, 1000, 500}},
                      RectCase{"thirtyTwoFirst", 32, 700, 700, 0, {0, 0, 200, 200}},
                      RectCase{"thirtyTwoSecond", 32, 700, 700, 1, {200, 0, 400, 200}},
                      RectCase{"thirtyTwoSmallTopRight", 32, 700, 700, 7, {600, 100, 700, 200}},
                      RectCase{"thirtyTwoLeftBlock", 32, 700, 700, 8, {0, 200, 200, 400}},
                      RectCase{"thirtyTwoCentre", 32, 700, 700, 9, {200, 200, 500, 500}},
                      RectCase{"thirtyTwoRightColumn", 32, 700, 700, 13, {600, 300, 700, 400}},
                      RectCase{"thirtyTwoLeftUnderBlock", 32, 700, 700, 15, {100, 400, 200, 500}},
                      RectCase{"thirtyTwoRightUnderColumn", 32, 700, 700, 16, {500, 400, 600, 500}},
                      RectCase{"thirtyTwoRowFive", 32, 700, 700, 18, {0, 500, 100, 600}},
                      RectCase{"thirtyTwoLast", 32, 700, 700, 31, {600, 600, 700, 700}},
                      RectCase{"thirtyTwoTruncates", 32, 701, 703, 9, {200, 200, 500, 502}}),
    lumora::test::CaseName{});

// Split 32 on a 7 x 7 grid: each of the 49 grid cells belongs to exactly one pane.
TEST(PaneRectsThirtyTwo, CoverTheFortyNineGridCellsOnce)
{
    const int W = 7 * 97;
    const int H = 7 * 61;
    const std::vector<PaneRect> rects = CRealTimePlayView::ComputePaneRects(32, W, H);
    ASSERT_EQ(rects.size(), 32u);
    int owners[7][7] = {};
    for (const PaneRect& r : rects) {
        ASSERT_EQ(r.left % 97, 0);
        ASSERT_EQ(r.top % 61, 0);
        ASSERT_EQ(r.right % 97, 0);
        ASSERT_EQ(r.bottom % 61, 0);
        for (int row = r.top / 61; row < r.bottom / 61; ++row)
            for (int col = r.left / 97; col < r.right / 97; ++col)
                ++owners[row][col];
    }
    for (int row = 0; row < 7; ++row)
        for (int col = 0; col < 7; ++col)
            EXPECT_EQ(owners[row][col], 1) << col << "," << row;
}

TEST(PaneRectsUnsupported, GiveNothing)
{
    for (int count : {0, 2, 3, 5, 8, 10, 31, 33, 36, -4})
        EXPECT_TRUE(CRealTimePlayView::ComputePaneRects(count, 700, 700).empty()) << count;
}

// ---- The grid as widgets ---------------------------------------------------------------------

class LiveGrid : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetResourceFolder(QStringLiteral(LUMORA_BINARY_DIR "/client"));
        m_view = std::make_unique<CRealTimePlayView>();
        m_view->resize(700, 700);
        m_view->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_view.get()));
    }

    std::vector<int> visibleCells() const
    {
        std::vector<int> shown;
        for (int i = 0; i < CRealTimePlayView::kCells; ++i)
            if (m_view->pane(i)->isVisible())
                shown.push_back(m_view->pane(i)->index());
        return shown;
    }
    int selectedCount() const
    {
        int n = 0;
        for (int i = 0; i < CRealTimePlayView::kCells; ++i)
            n += m_view->pane(i)->selected() ? 1 : 0;
        return n;
    }

    frametest::DataFolder m_data{QStringLiteral("EN_LAN"), true};
    std::unique_ptr<CRealTimePlayView> m_view;
};

TEST_F(LiveGrid, HasThirtyTwoCellsIndexedByPositionAndStartsWithFour)
{
    for (int i = 0; i < CRealTimePlayView::kCells; ++i)
        EXPECT_EQ(m_view->pane(i)->index(), i);
    EXPECT_EQ(m_view->pane(32), nullptr);
    EXPECT_EQ(m_view->splitCount(), 4);
    EXPECT_EQ(visibleCells(), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(m_view->currentPane(), nullptr);
}

TEST_F(LiveGrid, EachSplitShowsItsCellsAtTheirRectangles)
{
    for (int count : {1, 4, 6, 9, 16, 25, 32}) {
        SCOPED_TRACE(count);
        m_view->SetSplitCount(count);
        const std::vector<PaneRect> rects = CRealTimePlayView::ComputePaneRects(count, 700, 700);
        ASSERT_EQ(m_view->paneRects(), rects);
        std::vector<int> expected;
        for (int i = 0; i < count; ++i) {
            expected.push_back(i);
            const PaneRect& r = rects[static_cast<size_t>(i)];
            EXPECT_EQ(m_view->pane(i)->geometry(), QRect(r.left, r.top, r.right - r.left, r.bottom - r.top)) << i;
            // The pane's restore rectangle is its place in the cell.
            EXPECT_EQ(m_view->pane(i)->videoPane()->restoreRect(), m_view->pane(i)->videoPane()->geometry());
        }
        EXPECT_EQ(visibleCells(), expected);
    }
}

TEST_F(LiveGrid, UnsupportedCountHidesEveryCell)
{
    for (int count : {2, 8, 36}) {
        m_view->SetSplitCount(count);
        EXPECT_TRUE(visibleCells().empty()) << count;
        EXPECT_TRUE(m_view->paneRects().empty());
    }
}

TEST_F(LiveGrid, SplitOneShowsTheSelectedCellOrCellZero)
{
    m_view->SetSplitCount(1);
    EXPECT_EQ(visibleCells(), (std::vector<int>{0}));
    m_view->OnSelectPane(5);
    m_view->SetSplitCount(1);
    EXPECT_EQ(visibleCells(), (std::vector<int>{5}));
    EXPECT_EQ(m_view->pane(5)->geometry(), QRect(0, 0, 700, 700));
}

TEST_F(LiveGrid, ResizeLaysTheGridOutAgain)
{
    m_view->SetSplitCount(9);
    m_view->resize(900, 600);
    EXPECT_EQ(m_view->pane(4)->geometry(), QRect(300, 200, 300, 200));
}

TEST_F(LiveGrid, SelectingMovesTheOneSelection)
{
    m_view->OnSelectPane(2);
    EXPECT_EQ(m_view->currentPane(), m_view->pane(2));
    EXPECT_TRUE(m_view->pane(2)->selected());
    m_view->OnSelectPane(3);
    EXPECT_FALSE(m_view->pane(2)->selected());
    EXPECT_TRUE(m_view->pane(3)->selected());
    EXPECT_EQ(selectedCount(), 1);
    m_view->OnSelectPane(3); // the current cell again: nothing changes
    EXPECT_EQ(m_view->currentPane(), m_view->pane(3));
}

TEST_F(LiveGrid, AClickOnAPaneMakesItsCellCurrentAndRed)
{
    VideoFrame* cell = m_view->pane(1);
    QTest::mouseClick(cell->videoPane(), Qt::LeftButton, {}, QPoint(20, 20));
    ASSERT_TRUE(waitFor([&] { return m_view->currentPane() == cell; }, 5000));
    EXPECT_TRUE(cell->selected());
    EXPECT_EQ(cell->grab().toImage().pixelColor(0, 0), QColor(255, 0, 0));
    QTest::mouseClick(m_view->pane(3)->videoPane(), Qt::RightButton, {}, QPoint(20, 20));
    ASSERT_TRUE(waitFor([&] { return m_view->currentPane() == m_view->pane(3); }, 5000));
    EXPECT_FALSE(cell->selected());
    EXPECT_EQ(cell->grab().toImage().pixelColor(0, 0), QColor(255, 255, 255));
    EXPECT_EQ(selectedCount(), 1);
}

// The selection shows in the cell's frame on all four sides, never in its strip of buttons.
TEST_F(LiveGrid, SelectionPaintsTheFrameAndNotTheStrip)
{
    VideoFrame* cell = m_view->pane(2);
    const int w = cell->width();
    const int h = cell->height();
    const int stripMiddle = h - VideoFrame::kStrip / 2 - 1;
    struct Case {
        const char* where;
        QPoint at;
        bool frame; // red when selected, white otherwise
    };
    const Case cases[] = {
        {"top edge", QPoint(w / 2, 0), true},
        {"bottom edge", QPoint(w / 2, h - 1), true},
        {"left edge beside the strip", QPoint(0, stripMiddle), true},
        {"right edge beside the strip", QPoint(w - 1, stripMiddle), true},
        {"strip past the last button", QPoint(w - 12, stripMiddle), false},
        {"strip between frame and first button", QPoint(VideoFrame::kBorder, stripMiddle), false},
    };
    std::map<std::pair<bool, const char*>, QColor> strip;
    for (bool selected : {true, false}) {
        m_view->OnSelectPane(selected ? 2 : 0);
        ASSERT_EQ(cell->selected(), selected);
        const QImage image = cell->grab().toImage();
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.where) + (selected ? ", selected" : ", not selected"));
            const QColor colour = image.pixelColor(c.at);
            if (c.frame) {
                EXPECT_EQ(colour, selected ? QColor(255, 0, 0) : QColor(255, 255, 255));
            } else {
                EXPECT_NE(colour, QColor(255, 0, 0));
                strip[{selected, c.where}] = colour;
            }
        }
    }
    // The strip looks the same whether or not its cell is selected.
    for (const Case& c : cases) {
        if (!c.frame) {
            EXPECT_EQ(strip[std::make_pair(true, c.where)], strip[std::make_pair(false, c.where)]) << c.where;
        }
    }
}

TEST_F(LiveGrid, SwapMovesTheCellsAndSelectsTheMovedOne)
{
    m_view->OnSelectPane(0);
    VideoFrame* a = m_view->pane(2);
    VideoFrame* b = m_view->pane(3);
    m_view->OnSwapPanes(2, 3);
    EXPECT_EQ(m_view->pane(2), b);
    EXPECT_EQ(m_view->pane(3), a);
    EXPECT_EQ(b->index(), 2);
    EXPECT_EQ(a->index(), 3);
    EXPECT_TRUE(a->selected());
    EXPECT_FALSE(b->selected());
    EXPECT_EQ(m_view->currentPane(), a);
    EXPECT_EQ(selectedCount(), 1);
    // Laid out again: the moved cell sits at its new position's rectangle.
    EXPECT_EQ(a->geometry(), QRect(350, 350, 350, 350));
    EXPECT_EQ(b->geometry(), QRect(0, 350, 350, 350));
    // The same position twice: the cell becomes selected and current.
    m_view->OnSwapPanes(1, 1);
    EXPECT_EQ(m_view->currentPane(), m_view->pane(1));
    EXPECT_TRUE(m_view->pane(1)->selected());
    EXPECT_EQ(selectedCount(), 1);
}

TEST_F(LiveGrid, CellPutsItsPaneAboveAStripOfEightButtons)
{
    VideoFrame* cell = m_view->pane(0);
    cell->resize(200, 150);
    EXPECT_EQ(cell->videoPane()->geometry(), QRect(2, 2, 196, 128));
    EXPECT_EQ(cell->toolBar()->pos(), QPoint(2, 128));
    QList<int> ids;
    QStringList tips;
    for (QAction* action : cell->toolBar()->actions()) {
        ids << action->data().toInt();
        tips << action->toolTip();
        EXPECT_FALSE(action->isEnabled()); // no live video
    }
    EXPECT_EQ(ids, (QList<int>{32968, 32970, 32972, 32975, 32976, 32977, 32980, 32989}));
    EXPECT_EQ(tips, (QStringList{LangText("ToolBar", "Record"), LangText("ToolBar", "Audio"), LangText("ToolBar", "Mirco"),
                                 LangText("ToolBar", "Zoom"), LangText("ToolBar", "Snap"), LangText("ToolBar", "Close"),
                                 LangText("ToolBar", "Roate"), LangText("VideoMenu", "Switch")}));
    EXPECT_FALSE(tips.front().isEmpty());
}

// Each button of the strip has a picture of its own; Talk is not drawn with the style's
// information sign.
TEST_F(LiveGrid, EveryButtonOfTheStripHasItsOwnPicture)
{
    auto picture = [](const QIcon& icon) { return icon.pixmap(16, 16).toImage(); };
    const QList<QAction*> actions = m_view->pane(0)->toolBar()->actions();
    ASSERT_EQ(actions.size(), 8);
    for (int i = 0; i < actions.size(); ++i) {
        SCOPED_TRACE(actions[i]->data().toInt());
        EXPECT_FALSE(actions[i]->icon().isNull());
        for (int j = i + 1; j < actions.size(); ++j)
            EXPECT_NE(picture(actions[i]->icon()), picture(actions[j]->icon())) << actions[j]->data().toInt();
    }
    const QImage talk = picture(m_view->pane(0)->toolBar()->command(VideoFrame::ID_TALK)->icon());
    for (QStyle::StandardPixmap sign : {QStyle::SP_MessageBoxInformation, QStyle::SP_MessageBoxQuestion,
                                        QStyle::SP_MessageBoxWarning, QStyle::SP_MessageBoxCritical})
        EXPECT_NE(talk, picture(QApplication::style()->standardIcon(sign))) << sign;
}

// A device dragged from the tree opens in the pane it is dropped on, wherever the pointer is
// afterwards; a drop the grid did not take opens it nowhere.
TEST_F(LiveGrid, ADeviceDropOpensWhereItWasDropped)
{
    struct Case {
        const char* name;
        const char* format;
        int cell;      // dropped on this cell's centre
        bool accepted; // the grid takes it
    };
    const Case cases[] = {
        {"device on cell 3", CRealTimePlayView::kDeviceMimeType, 3, true},
        {"device on cell 1", CRealTimePlayView::kDeviceMimeType, 1, true},
        {"plain text", "text/plain", 2, false},
    };
    const QPoint outside(-1, -1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QMimeData mime;
        mime.setData(QString::fromLatin1(c.format), QByteArrayLiteral("CAM1"));
        const QPoint at = m_view->pane(c.cell)->geometry().center();
        QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, {});
        QCoreApplication::sendEvent(m_view.get(), &enter);
        EXPECT_EQ(enter.isAccepted(), c.accepted);
        if (!c.accepted)
            continue;
        QDropEvent drop(QPointF(at), Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, {});
        QCoreApplication::sendEvent(m_view.get(), &drop);
        EXPECT_TRUE(drop.isAccepted());
        EXPECT_EQ(drop.dropAction(), Qt::CopyAction);
        EXPECT_EQ(m_view->lastDropPoint(), at);
        // The tree opens the device at that point: the grid's pane, not the pointer's place.
        QCursor::setPos(m_view->mapToGlobal(m_view->pane(0)->geometry().center()));
        EXPECT_EQ(CViewTree::DropPoint(Qt::CopyAction, m_view.get()), at);
        EXPECT_EQ(CViewTree::DropPoint(Qt::CopyAction, m_view->pane(c.cell)->videoPane()), at);
        EXPECT_TRUE(m_view->paneRects()[static_cast<size_t>(c.cell)].contains(at));
        // Not taken by the grid: no pane.
        EXPECT_EQ(CViewTree::DropPoint(Qt::IgnoreAction, m_view.get()), outside);
        QWidget elsewhere;
        EXPECT_EQ(CViewTree::DropPoint(Qt::CopyAction, &elsewhere), outside);
    }
}

TEST_F(LiveGrid, PaneMenuWithoutADeviceHasEveryItemDisabled)
{
    std::unique_ptr<QMenu> menu(m_view->pane(0)->videoPane()->CreateContextMenu());
    const char* keys[] = {"Close", "Snap",   "OpenAudio", "CloseAudio",     "OpenMirco", "CloseMirco", "BeginRec", "EndRec",
                          "Preset", "Switch", "OpenFace", "CloseFace", "ExitFullscreen", "Roate", "Zoom", "ZoomOver"};
    ASSERT_EQ(menu->actions().size(), 16);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(menu->actions().at(i)->text(), LangText("VideoMenu", keys[i])) << i;
        EXPECT_FALSE(menu->actions().at(i)->isEnabled()) << i;
    }
}

TEST_F(LiveGrid, WheelZoomStepsByTenthsAndNeverBelowOne)
{
    CVideoWnd* pane = m_view->pane(0)->videoPane();
    auto wheel = [pane](int delta) {
        QWheelEvent event(QPointF(10, 10), pane->mapToGlobal(QPointF(10, 10)), QPoint(), QPoint(0, delta), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(pane, &event);
    };
    wheel(120); // zoom mode off: nothing
    EXPECT_FLOAT_EQ(pane->scale(), 0.0f);
    pane->OnZoom();
    EXPECT_FALSE(pane->zoomOff());
    wheel(120);
    EXPECT_FLOAT_EQ(pane->scale(), 1.01f);
    wheel(120);
    EXPECT_FLOAT_EQ(pane->scale(), 1.21f);
    wheel(-120);
    EXPECT_FLOAT_EQ(pane->scale(), 1.01f);
    wheel(-240);
    EXPECT_FLOAT_EQ(pane->scale(), 1.01f);
    pane->OnZoomOver();
    EXPECT_TRUE(pane->zoomOff());
    EXPECT_FLOAT_EQ(pane->scale(), 0.0f);
}

TEST_F(LiveGrid, ToolbarZoomToggleIsIndependentOfTheMenu)
{
    VideoFrame* cell = m_view->pane(0);
    cell->videoPane()->OnZoom(); // the menu turns zoom on
    EXPECT_TRUE(cell->zoomToggle());
    cell->OnZoom(); // the next press still turns it on
    EXPECT_FALSE(cell->videoPane()->zoomOff());
    EXPECT_FALSE(cell->zoomToggle());
    cell->OnZoom();
    EXPECT_TRUE(cell->videoPane()->zoomOff());
    EXPECT_TRUE(cell->zoomToggle());
}

TEST(LiveGridInFrame, EscapeOnTheGridLeavesTheFramesFullScreen)
{
    frametest::DataFolder data;
    CMainFrame frame;
    auto* view = dynamic_cast<CRealTimePlayView*>(frame.view(CMainFrame::LiveView));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->frame(), &frame);
    frame.OnFullScreen();
    ASSERT_TRUE(frame.isFullScreenMode());
    QTest::keyClick(view, Qt::Key_A);
    EXPECT_TRUE(frame.isFullScreenMode());
    QTest::keyClick(view, Qt::Key_Escape);
    EXPECT_FALSE(frame.isFullScreenMode());
    frame.ShutDown();
}

} // namespace

namespace {

// The plan worker runs from the view's creation and is stopped and joined by its destructor, even
// in the middle of a long wait.
TEST(LiveGridPlanWorker, RunsWhileTheViewLivesAndIsJoinedWhenItCloses)
{
    frametest::DataFolder data;
    RecordPlanOptions options;
    options.openWaitMs = 600000;
    options.closedWaitMs = 600000;
    auto view = std::make_unique<CRealTimePlayView>(nullptr, nullptr, options);
    EXPECT_TRUE(view->planWorker().running());
    ASSERT_TRUE(view->planWorker().waitForPasses(0, 10000)); // now inside a ten-minute wait
    view.reset(); // returns at once: the wait ends and the thread is joined
    SUCCEED();
}

} // namespace
