// The real-time side panel against a camera: the exact PTZ, preset and colour documents the
// camera receives, with presses and releases as a person makes them (also a release outside the
// button, the pointer leaving it, a double click), preset ids taken from the device, and the
// colour document kept whole.
#include "CaseName.h"
#include "PanelTestSupport.h"
#include "liveview/CRTPannelDlg.h"
#include "liveview/CRealTimePannel.h"

#include "CXListCtrl.h"
#include "MainFrame.h"

#include <QDockWidget>

#include <QLineEdit>
#include <QMouseEvent>
#include <QSlider>
#include <QTest>
#include <functional>
#include <gtest/gtest.h>

namespace {

using namespace livetest;

constexpr uint16_t kGoPtz = 1064;
constexpr uint16_t kPresetList = 1476;
constexpr uint16_t kPresetAdd = 1478;
constexpr uint16_t kPresetOperate = 1480;
constexpr uint16_t kColourGet = 1496;
constexpr uint16_t kColourSet = 1494;

class SidePanel : public ::testing::Test {
protected:
    void SetUp() override
    {
        data = std::make_unique<DataFolder>(std::string(), kPanelLanguage);
        camera = std::make_unique<Camera>("PANEL");
        ASSERT_TRUE(camera->startAndLogin());
        camera->sim().setPresets({{3, "Door"}, {7, ""}});
        panel = std::make_unique<CRealTimePannel>();
        panel->resize(330, 820);
        panel->show();
        dlg = panel->dialog();
    }

    void TearDown() override
    {
        panel.reset();
        camera.reset();
    }

    // Makes the camera current and waits until its presets and colours are shown.
    void selectCamera()
    {
        panel->SetCurrentDevice(camera->quid());
        ASSERT_TRUE(WaitFor([&] { return dlg->presetList()->rowCount() == 2 && dlg->colorConfig().isObject(); }));
    }

    std::vector<int> listedIds() const
    {
        std::vector<int> ids;
        for (int row = 0; row < dlg->presetList()->rowCount(); ++row)
            ids.push_back(dlg->presetList()->GetItemText(row, 1).toInt());
        return ids;
    }

    std::vector<Json::Value> ptzDocuments(size_t count)
    {
        EXPECT_TRUE(WaitForRequests(camera->sim(), kGoPtz, count));
        return DocumentsOf(camera->sim(), kGoPtz);
    }

    std::unique_ptr<DataFolder> data;
    std::unique_ptr<Camera> camera;
    std::unique_ptr<CRealTimePannel> panel;
    CRTPannelDlg* dlg = nullptr;
};

struct PtzCase {
    const char* name;
    int code;
    int press;
    int release;
};

class SidePanelPtz : public SidePanel, public ::testing::WithParamInterface<PtzCase> {};

TEST_P(SidePanelPtz, PressAndReleaseOverTheButtonSendTheirCommands)
{
    selectCamera();
    CMyButton* button = dlg->ptzButton(GetParam().code);
    ASSERT_NE(button, nullptr);
    QTest::mousePress(button, Qt::LeftButton);
    ASSERT_EQ(ptzDocuments(1), std::vector<Json::Value>{PtzDocument(GetParam().press)});
    QTest::mouseRelease(button, Qt::LeftButton);
    EXPECT_EQ(ptzDocuments(2), (std::vector<Json::Value>{PtzDocument(GetParam().press), PtzDocument(GetParam().release)}));
}

INSTANTIATE_TEST_SUITE_P(Panel, SidePanelPtz,
                         ::testing::Values(PtzCase{"Up", 10, 0, 1}, PtzCase{"Left", 11, 4, 1}, PtzCase{"Right", 12, 6, 1},
                                           PtzCase{"Down", 13, 2, 1}, PtzCase{"ZoomOut", 14, 8, 10},
                                           PtzCase{"ZoomIn", 15, 9, 10}, PtzCase{"FocusIn", 16, 11, 13},
                                           PtzCase{"FocusOut", 17, 12, 13}),
                         lumora::test::CaseName{});

TEST_F(SidePanel, PtzCodesOutsideTheTableDoNothing)
{
    EXPECT_EQ(CRTPannelDlg::PressCommand(9), -1);
    EXPECT_EQ(CRTPannelDlg::ReleaseCommand(18), -1);
    selectCamera();
    dlg->OnPTZButtonDown(18);
    dlg->OnPTZButtonUp(9);
    dlg->OnPTZButtonDown(10); // a marker: the next request the camera sees
    EXPECT_EQ(ptzDocuments(1), std::vector<Json::Value>{PtzDocument(0)});
}

TEST_F(SidePanel, ReleaseOutsideTheButtonStopsTheCamera)
{
    selectCamera();
    CMyButton* up = dlg->ptzButton(CRTPannelDlg::kUp);
    QTest::mousePress(up, Qt::LeftButton);
    // Qt hands the release to the pressed button wherever the pointer is; here far outside it.
    QTest::mouseRelease(up, Qt::LeftButton, {}, QPoint(-80, up->height() + 200));
    EXPECT_EQ(ptzDocuments(2), (std::vector<Json::Value>{PtzDocument(0), PtzDocument(1)}));
    EXPECT_FALSE(up->held());
}

// Ways a hold can end without a release over the button; each stops the camera exactly once.
struct EndCase {
    const char* name;
    std::function<void(CMyButton*)> end;
};

class SidePanelHoldEnds : public SidePanel, public ::testing::WithParamInterface<EndCase> {};

TEST_P(SidePanelHoldEnds, StopsTheCameraOnce)
{
    selectCamera();
    CMyButton* zoom = dlg->ptzButton(CRTPannelDlg::kZoomIn);
    QTest::mousePress(zoom, Qt::LeftButton);
    GetParam().end(zoom);
    EXPECT_EQ(ptzDocuments(2), (std::vector<Json::Value>{PtzDocument(9), PtzDocument(10)}));
    EXPECT_FALSE(zoom->held());
    QTest::mouseRelease(zoom, Qt::LeftButton, {}, QPoint(-5, -5));
    dlg->OnPTZButtonDown(CRTPannelDlg::kDown); // a marker after which nothing else may come
    EXPECT_EQ(ptzDocuments(3), (std::vector<Json::Value>{PtzDocument(9), PtzDocument(10), PtzDocument(2)}));
}

INSTANTIATE_TEST_SUITE_P(Panel, SidePanelHoldEnds,
                         ::testing::Values(EndCase{"PointerLeaves",
                                                   [](CMyButton* b) {
                                                       QEvent leave(QEvent::Leave);
                                                       QCoreApplication::sendEvent(b, &leave);
                                                   }},
                                           EndCase{"WindowDeactivated",
                                                   [](CMyButton* b) {
                                                       QEvent deactivate(QEvent::WindowDeactivate);
                                                       QCoreApplication::sendEvent(b, &deactivate);
                                                   }},
                                           EndCase{"ButtonHidden", [](CMyButton* b) { b->hide(); }}),
                         lumora::test::CaseName{});

TEST_F(SidePanel, DoubleClickGivesOnePressAndOneRelease)
{
    selectCamera();
    CMyButton* left = dlg->ptzButton(CRTPannelDlg::kLeft);
    // What a widget receives for a double click: press, release, double click, release.
    const QPointF centre = QRectF(left->rect()).center();
    QTest::mousePress(left, Qt::LeftButton);
    QTest::mouseRelease(left, Qt::LeftButton);
    QMouseEvent dblclick(QEvent::MouseButtonDblClick, centre, left->mapToGlobal(centre), Qt::LeftButton, Qt::LeftButton,
                         Qt::NoModifier);
    QCoreApplication::sendEvent(left, &dblclick);
    QTest::mouseRelease(left, Qt::LeftButton);
    dlg->OnPTZButtonDown(CRTPannelDlg::kRight); // marker
    EXPECT_EQ(ptzDocuments(3), (std::vector<Json::Value>{PtzDocument(4), PtzDocument(1), PtzDocument(6)}));
}

TEST_F(SidePanel, PresetsComeWithTheDevicesIdsAndNames)
{
    selectCamera();
    EXPECT_EQ(listedIds(), (std::vector<int>{3, 7}));
    EXPECT_EQ(dlg->presetList()->GetItemText(0, 2).toStdString(), "Door");
    // Without a name: the "PTZPreset" text and the row index, not the id.
    EXPECT_EQ(dlg->presetList()->GetItemText(1, 2).toStdString(), "Preset1");
    EXPECT_EQ(dlg->presetList()->GetItemCheckedState(0, 0), 0);
}

TEST_F(SidePanel, SameDeviceAgainAsksNothingAndKeepsTheList)
{
    selectCamera();
    const size_t lists = RequestsOf(camera->sim(), kPresetList).size();
    const size_t colours = RequestsOf(camera->sim(), kColourGet).size();
    panel->SetCurrentDevice(camera->quid());
    panel->SetCurrentDevice(QStringLiteral("HOWNOTLOGGEDIN")); // not logged in: ignored
    EXPECT_EQ(dlg->currentUid(), camera->quid());
    dlg->OnPTZButtonDown(CRTPannelDlg::kUp); // marker
    ASSERT_TRUE(WaitForRequests(camera->sim(), kGoPtz, 1));
    EXPECT_EQ(RequestsOf(camera->sim(), kPresetList).size(), lists);
    EXPECT_EQ(RequestsOf(camera->sim(), kColourGet).size(), colours);
    EXPECT_EQ(dlg->presetList()->rowCount(), 2);
    EXPECT_EQ(ParseJson(RequestsOf(camera->sim(), kColourGet).front().body), Wrapped("CamCfg.info", ParseJson("{\"ViCh\":0}")));
}

TEST_F(SidePanel, AddLetsTheDeviceChooseTheIdAndListsItsReply)
{
    selectCamera();
    dlg->findChild<QLineEdit*>(QStringLiteral("PresetName"))->setText(QStringLiteral("Gate"));
    QTest::mouseClick(dlg->findChild<QPushButton*>(QStringLiteral("PresetAdd")), Qt::LeftButton);
    ASSERT_TRUE(WaitForRequests(camera->sim(), kPresetAdd, 1));
    EXPECT_EQ(ParseJson(RequestsOf(camera->sim(), kPresetAdd).front().body),
              Wrapped("PtzPreBit.info", ParseJson("{\"BitID\":-1,\"Desc\":\"Gate\"}")));
    ASSERT_TRUE(WaitFor([&] { return dlg->presetList()->rowCount() == 3; }));
    EXPECT_EQ(listedIds(), (std::vector<int>{3, 7, 1}));
    EXPECT_EQ(dlg->presetList()->GetItemText(2, 2).toStdString(), "Gate");
    EXPECT_EQ(dlg->findChild<QLineEdit*>(QStringLiteral("PresetName"))->text().toStdString(), "Gate");
}

TEST_F(SidePanel, ClickOnARowMovesTheCameraToItsId)
{
    selectCamera();
    CXListCtrl* list = dlg->presetList();
    const QRect cell = list->visualItemRect(list->item(1, 2));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, cell.center());
    ASSERT_TRUE(WaitForRequests(camera->sim(), kPresetOperate, 1));
    EXPECT_EQ(ParseJson(RequestsOf(camera->sim(), kPresetOperate).front().body), OperateDocument(7, 0));
    EXPECT_TRUE(WaitFor([&] { return camera->sim().lastRecalledPreset() == 7; }));
}

TEST_F(SidePanel, DeleteSendsOneRequestPerCheckedRowFromTheLastUp)
{
    camera->sim().setPresets({{3, "Door"}, {7, "Yard"}, {9, "Gate"}});
    panel->SetCurrentDevice(camera->quid());
    ASSERT_TRUE(WaitFor([&] { return dlg->presetList()->rowCount() == 3; }));
    dlg->presetList()->SetCheckbox(0, 0, 1);
    dlg->presetList()->SetCheckbox(2, 0, 1);
    QTest::mouseClick(dlg->findChild<QPushButton*>(QStringLiteral("PresetDelete")), Qt::LeftButton);
    EXPECT_EQ(listedIds(), std::vector<int>{7});
    ASSERT_TRUE(WaitForRequests(camera->sim(), kPresetOperate, 2));
    EXPECT_EQ(DocumentsOf(camera->sim(), kPresetOperate), (std::vector<Json::Value>{OperateDocument(9, 1), OperateDocument(3, 1)}));
    ASSERT_TRUE(WaitFor([&] { return camera->sim().presets().size() == 1; }));
    EXPECT_EQ(camera->sim().presets().front().bitId, 7);
}

TEST_F(SidePanel, RefusedDeleteShowsThePresetAgain)
{
    selectCamera();
    camera->sim().setPresets({{7, ""}}); // preset 3 went away on the device meanwhile
    dlg->presetList()->SetCheckbox(0, 0, 1);
    dlg->OnDeletePresets();
    EXPECT_EQ(listedIds(), std::vector<int>{7});
    // The refusal makes the panel read the list again.
    ASSERT_TRUE(WaitForRequests(camera->sim(), kPresetList, 2));
    ASSERT_TRUE(WaitFor([&] { return dlg->presetList()->rowCount() == 1; }));
    EXPECT_EQ(listedIds(), std::vector<int>{7});
}

TEST_F(SidePanel, ColourSlidersFollowTheDeviceAndApplySendsTheWholeDocument)
{
    selectCamera();
    const int expected[5] = {128, 120, 100, 110, 90}; // Brightness, Saturtion, Acutance, Contrast, Chroma
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(dlg->slider(i)->value(), expected[i]) << CRTPannelDlg::kColourKeys[i];
    dlg->slider(0)->setValue(200);
    dlg->slider(4)->setValue(7);
    QTest::mouseClick(dlg->findChild<QPushButton*>(QStringLiteral("ColorApply")), Qt::LeftButton);
    ASSERT_TRUE(WaitForRequests(camera->sim(), kColourSet, 1));
    // Members the panel does not show ("ViCh", "Hue") go back as they came.
    EXPECT_EQ(DocumentsOf(camera->sim(), kColourSet).front(),
              Wrapped("CamCfg.info", ParseJson("{\"Acutance\":100,\"Brightness\":200,\"Chroma\":7,\"Contrast\":110,"
                                               "\"Hue\":50,\"Saturtion\":120,\"ViCh\":0}")));
}

TEST_F(SidePanel, DefaultIsSentOnceAndNotKept)
{
    selectCamera();
    QTest::mouseClick(dlg->findChild<QPushButton*>(QStringLiteral("ColorDefault")), Qt::LeftButton);
    ASSERT_TRUE(WaitForRequests(camera->sim(), kColourSet, 1));
    EXPECT_EQ(DocumentsOf(camera->sim(), kColourSet).front(),
              Wrapped("CamCfg.info", ParseJson("{\"Acutance\":100,\"Brightness\":128,\"Chroma\":90,\"Contrast\":110,"
                                               "\"Hue\":50,\"Saturtion\":120,\"SetDefault\":true,\"ViCh\":0}")));
    EXPECT_FALSE(dlg->colorConfig().isMember("SetDefault"));
    dlg->slider(1)->setValue(33);
    dlg->OnApplyColor();
    ASSERT_TRUE(WaitForRequests(camera->sim(), kColourSet, 2));
    const Json::Value apply = DocumentsOf(camera->sim(), kColourSet).back();
    EXPECT_FALSE(apply["CamCfg.info"].isMember("SetDefault")) << "an apply after a reset reset the camera again";
    EXPECT_EQ(apply["CamCfg.info"]["Saturtion"].asInt(), 33);
}

TEST_F(SidePanel, WithoutAColourReplyApplySendsTheFiveValues)
{
    // No current device: the call goes out with an empty uid, which libLumora refuses.
    dlg->OnApplyColor();
    EXPECT_EQ(dlg->colorConfig().getMemberNames(),
              (std::vector<std::string>{"Acutance", "Brightness", "Chroma", "Contrast", "Saturtion"}));
    EXPECT_TRUE(RequestsOf(camera->sim(), kColourSet).empty());
}

TEST_F(SidePanel, MainFrameHostsThePanelAndNamesItsDevice)
{
    CMainFrame frame;
    auto* hosted = dynamic_cast<CRealTimePannel*>(frame.dock("SidePanelDock")->widget());
    ASSERT_NE(hosted, nullptr);
    frame.SetCurrentDevice(camera->quid());
    EXPECT_EQ(hosted->dialog()->currentUid(), camera->quid());
    EXPECT_TRUE(WaitFor([&] { return hosted->dialog()->presetList()->rowCount() == 2; }));
    frame.ShutDown();
}

} // namespace
