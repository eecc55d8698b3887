// The preset dialog against a camera: lines carry the device's ids, go and delete use them, a new
// preset takes an id no other preset uses, and a delete removes the line chosen when it was asked.
#include "PanelTestSupport.h"
#include "liveview/DevAddPrenstPosDlg.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

namespace {

using namespace livetest;

constexpr uint16_t kPresetList = 1476;
constexpr uint16_t kPresetAdd = 1478;
constexpr uint16_t kPresetOperate = 1480;

class PresetDialog : public ::testing::Test {
protected:
    void SetUp() override
    {
        data = std::make_unique<DataFolder>(std::string(), kPanelLanguage);
        camera = std::make_unique<Camera>("PRESET");
        ASSERT_TRUE(camera->startAndLogin());
        camera->sim().setPresets({{1, "Door"}, {2, ""}, {4, "Gate"}});
        dialog = std::make_unique<DevAddPrenstPosDlg>();
        dialog->show();
        open();
    }

    void TearDown() override
    {
        dialog.reset();
        camera.reset();
    }

    void open()
    {
        dialog->RequestPresets(camera->quid());
        const size_t count = camera->sim().presets().size();
        ASSERT_TRUE(WaitFor([&] { return static_cast<size_t>(dialog->presetList()->count()) == count; }));
    }

    std::vector<std::pair<int, std::string>> lines() const
    {
        std::vector<std::pair<int, std::string>> out;
        for (int row = 0; row < dialog->presetList()->count(); ++row)
            out.emplace_back(dialog->bitIdOf(row), dialog->presetList()->item(row)->text().toStdString());
        return out;
    }

    Json::Value addDocument(int bitId, const char* name)
    {
        Json::Value inner;
        inner["BitID"] = bitId;
        inner["Desc"] = name;
        inner["Speed"] = 7;
        return Wrapped("PtzPreBit.info", inner);
    }

    std::unique_ptr<DataFolder> data;
    std::unique_ptr<Camera> camera;
    std::unique_ptr<DevAddPrenstPosDlg> dialog;
};

TEST_F(PresetDialog, ListsTheDevicesPresetsWithTheirIds)
{
    EXPECT_EQ(lines(), (std::vector<std::pair<int, std::string>>{{1, "Door"}, {2, "Preset1"}, {4, "Gate"}}));
    EXPECT_EQ(dialog->presetCount(), 3);
    EXPECT_EQ(dialog->windowTitle().toStdString(), "Presets");
    EXPECT_EQ(dialog->findChild<QPushButton*>(QStringLiteral("PresetAdd"))->text(), QStringLiteral("Add"));
}

TEST_F(PresetDialog, AddsTakeIdsNoOtherPresetUses)
{
    // Ids 1, 2 and 4 are taken: a count-based id (4) would overwrite "Gate".
    QLineEdit* name = dialog->nameEdit();
    name->setText(QStringLiteral("Yard"));
    QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("PresetAdd")), Qt::LeftButton);
    name->setText(QStringLiteral("Lane"));
    dialog->OnBnClickedOk(); // before the first reply
    ASSERT_TRUE(WaitForRequests(camera->sim(), kPresetAdd, 2));
    EXPECT_EQ(DocumentsOf(camera->sim(), kPresetAdd), (std::vector<Json::Value>{addDocument(3, "Yard"), addDocument(5, "Lane")}));
    ASSERT_TRUE(WaitFor([&] { return dialog->presetList()->count() == 5; }));
    EXPECT_EQ(lines(), (std::vector<std::pair<int, std::string>>{{1, "Door"}, {2, "Preset1"}, {4, "Gate"}, {3, "Yard"}, {5, "Lane"}}));
    EXPECT_TRUE(name->text().isEmpty());
    EXPECT_EQ(camera->sim().presets().size(), 5u);
}

TEST_F(PresetDialog, AnEmptyNameAddsNothing)
{
    dialog->nameEdit()->clear();
    dialog->OnBnClickedOk();
    dialog->RequestPresets(camera->quid()); // a marker request
    ASSERT_TRUE(WaitForRequests(camera->sim(), kPresetList, 2));
    EXPECT_TRUE(RequestsOf(camera->sim(), kPresetAdd).empty());
}

TEST_F(PresetDialog, DoubleClickMovesTheCameraToTheLinesId)
{
    QListWidget* list = dialog->presetList();
    list->setCurrentRow(2);
    emit list->itemDoubleClicked(list->item(2));
    ASSERT_TRUE(WaitForRequests(camera->sim(), kPresetOperate, 1));
    EXPECT_EQ(DocumentsOf(camera->sim(), kPresetOperate).front(), OperateDocument(4, 0));
    EXPECT_TRUE(WaitFor([&] { return camera->sim().lastRecalledPreset() == 4; }));
}

TEST_F(PresetDialog, WithoutASelectionGoAndDeleteSendNothing)
{
    dialog->presetList()->setCurrentRow(-1);
    dialog->OnDblclkPresetList();
    dialog->OnBnClickedDelete();
    dialog->RequestPresets(camera->quid()); // marker
    ASSERT_TRUE(WaitForRequests(camera->sim(), kPresetList, 2));
    EXPECT_TRUE(RequestsOf(camera->sim(), kPresetOperate).empty());
}

TEST_F(PresetDialog, DeleteRemovesTheLineChosenWhenItWasAsked)
{
    QListWidget* list = dialog->presetList();
    list->setCurrentRow(1);
    QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("PresetDelete")), Qt::LeftButton);
    list->setCurrentRow(2); // the user moves on before the reply
    ASSERT_TRUE(WaitForRequests(camera->sim(), kPresetOperate, 1));
    EXPECT_EQ(DocumentsOf(camera->sim(), kPresetOperate).front(), OperateDocument(2, 1));
    ASSERT_TRUE(WaitFor([&] { return list->count() == 2; }));
    EXPECT_EQ(lines(), (std::vector<std::pair<int, std::string>>{{1, "Door"}, {4, "Gate"}}));
}

TEST_F(PresetDialog, RefusedDeleteKeepsTheLine)
{
    camera->sim().setPresets({{1, "Door"}, {4, "Gate"}}); // 2 went away on the device
    dialog->presetList()->setCurrentRow(1);
    dialog->OnBnClickedDelete();
    ASSERT_TRUE(WaitForRequests(camera->sim(), kPresetOperate, 1));
    dialog->RequestPresets(camera->quid()); // marker: the reply above was handled before this one
    ASSERT_TRUE(WaitFor([&] { return dialog->presetList()->count() == 2; }));
    EXPECT_EQ(lines(), (std::vector<std::pair<int, std::string>>{{1, "Door"}, {4, "Gate"}}));
}

} // namespace
