// The alarm page against a camera: the alarm document into the controls and back as the exact
// document the camera stores, drags on the motion grid as the "Area" the camera receives, the
// preset list and the alarm document answering in either order, the number boxes that stop a save,
// and replies of the wrong shape.
#include "SettingsPageSupport.h"
#include "settings/CMoveRectStatic.h"
#include "settings/ProAlarmSetDlg.h"
#include "settings/SettingsJson.h"

#include "LangText.h"
#include "libLumora.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimeEdit>
#include <gtest/gtest.h>
#include <set>

using namespace settingstest;

namespace {

constexpr int kGetAlarm = 1068;
constexpr int kSetAlarm = 1066;
constexpr int kPresetList = 1476;
constexpr const char* kDocument = "Alarm.MoveAlarm";

// The grid's cells on the screen (the grid's own size: 20 x 15 pixels a cell).
QPoint cellCentre(int row, int column)
{
    return {column * 20 + 10, row * 15 + 7};
}

Json::Value area(const std::set<int>& on)
{
    Json::Value a(Json::arrayValue);
    for (int i = 0; i < 192; ++i)
        a.append(on.count(i) ? 1 : 0);
    return a;
}

std::set<int> block(int top, int left, int bottom, int right)
{
    std::set<int> cells;
    for (int r = top; r <= bottom; ++r)
        for (int c = left; c <= right; ++c)
            cells.insert(r * 16 + c);
    return cells;
}

Json::Value timeOf(int h, int m, int s)
{
    Json::Value t;
    t["Hour"] = h;
    t["Min"] = m;
    t["Sec"] = s;
    return t;
}

Json::Value day(int flag, int startHour, int endHour)
{
    Json::Value d;
    d["Flag"] = flag;
    for (int p = 0; p < 2; ++p) {
        Json::Value period;
        period["Start"] = timeOf(startHour + p * 6, 0, 0);
        period["End"] = timeOf(startHour + p * 6 + (endHour - startHour), 30, 15);
        d["TimePeriod"].append(period);
    }
    return d;
}

// A document as a device sends it, with a member of its own at the root and in "PolicyInfo".
Json::Value alarmDocument()
{
    Json::Value doc;
    doc["MoveInfo"]["MdEnable"] = 1;
    doc["MoveInfo"]["Sensitive"] = 6;
    doc["MoveInfo"]["Area"] = area(block(2, 3, 4, 6));
    doc["MoveInfo"]["Mode"] = 2; // the page owns "MoveInfo": this does not travel back
    doc["PolicyInfo"]["IoOutputInfo"]["AlarmLevel"] = 1;
    doc["PolicyInfo"]["IoOutputInfo"]["Delay"] = 4;
    doc["PolicyInfo"]["RecordInfo"]["RecEnable"] = 1;
    doc["PolicyInfo"]["RecordInfo"]["FtpEnable"] = 0;
    doc["PolicyInfo"]["RecordInfo"]["RecordTime"] = 45;
    doc["PolicyInfo"]["SnapInfo"]["FtpEnable"] = 1;
    doc["PolicyInfo"]["SnapInfo"]["PictureNum"] = 7;
    doc["PolicyInfo"]["SnapInfo"]["Sec"] = 2;
    doc["PolicyInfo"]["SnapInfo"]["Msec"] = 250;
    doc["PolicyInfo"]["PresetInfo"]["PresetId"] = 3;
    doc["PolicyInfo"]["EmailInfo"]["Enable"] = 1; // kept
    doc["Version"] = "1.2";                        // kept
    for (int i = 0; i < 8; ++i)
        doc["Week"].append(day(i % 2, i, i + 2));
    return doc;
}

// The camera's presets in list order: an unnamed one shows as "Preset" and its position.
const char* const kPresetNames[] = {"Yard", "", "Gate"};

class AlarmPageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_TRUE(SettingsCameras::start(1));
        // Ids given: adding again replaces, so the list is the same however many tests ran.
        for (int i = 0; i < 3; ++i) {
            Json::Value preset;
            preset["BitID"] = i + 1;
            preset["Desc"] = kPresetNames[i];
            auto done = std::make_shared<std::atomic<int>>(1);
            SetPresetPTZ(cam().uid(), WriteCompact(preset),
                         [done](int, int result, std::string, std::string, char*, int) { done->store(result); });
            ASSERT_TRUE(frametest::waitFor([&] { return done->load() != 1; }));
            ASSERT_EQ(done->load(), 0);
        }
    }
    void SetUp() override
    {
        ASSERT_TRUE(SettingsCameras::start(1));
        cam().mute({});
        cam().garble({});
        cam().defer({});
        ASSERT_TRUE(cam().setDocument(kDocument, alarmDocument()));
        page.show();
    }
    static Camera& cam() { return SettingsCameras::camera(0); }
    QString presetText(int position) const { return LangText("RTPannel", "PTZPreset") + QString::number(position); }
    // Loads and waits for both answers.
    void load()
    {
        ASSERT_EQ(loadPage(page, cam()), 0);
        ASSERT_TRUE(frametest::waitFor([&] { return ctl<QComboBox>(&page, 1126)->count() == 3; }));
    }
    Json::Value sentAfterSave()
    {
        EXPECT_EQ(savePage(page), 0);
        return lastSent(cam(), kSetAlarm, kDocument);
    }
    void drag(QPoint from, const std::vector<QPoint>& through, QPoint to)
    {
        QWidget* grid = page.grid();
        QTest::mousePress(grid, Qt::LeftButton, {}, from);
        for (QPoint p : through)
            QTest::mouseMove(grid, p);
        QTest::mouseMove(grid, to);
        QTest::mouseRelease(grid, Qt::LeftButton, {}, to);
    }

    Messages messages;
    ProAlarmSetDlg page;
};

TEST_F(AlarmPageTest, TheDocumentFillsEveryControl)
{
    load();
    EXPECT_TRUE(ctl<QCheckBox>(&page, 1102)->isChecked());
    EXPECT_EQ(ctl<QComboBox>(&page, 1104)->currentIndex(), 6);
    EXPECT_TRUE(ctl<QRadioButton>(&page, 1107)->isChecked());
    EXPECT_FALSE(ctl<QRadioButton>(&page, 1106)->isChecked());
    EXPECT_EQ(ctl<QComboBox>(&page, 1118)->currentIndex(), 4);
    EXPECT_TRUE(ctl<QCheckBox>(&page, 1108)->isChecked());
    EXPECT_FALSE(ctl<QCheckBox>(&page, 1110)->isChecked());
    EXPECT_TRUE(ctl<QCheckBox>(&page, 1111)->isChecked());
    EXPECT_EQ(ctl<QLineEdit>(&page, 1121)->text(), "45");
    EXPECT_EQ(ctl<QLineEdit>(&page, 1122)->text(), "7");
    EXPECT_EQ(ctl<QLineEdit>(&page, 1123)->text(), "2");
    EXPECT_EQ(ctl<QLineEdit>(&page, 1125)->text(), "250");

    // The presets in the device's order; "PresetId" 3 is the third of them.
    auto* presets = ctl<QComboBox>(&page, 1126);
    ASSERT_EQ(presets->count(), 3);
    EXPECT_EQ(presets->itemText(0), "Yard");
    EXPECT_EQ(presets->itemText(1), presetText(1));
    EXPECT_EQ(presets->itemText(2), "Gate");
    EXPECT_EQ(presets->currentIndex(), 2);

    const std::set<int> on = block(2, 3, 4, 6);
    for (int cell = 0; cell < 192; ++cell)
        EXPECT_EQ(page.grid()->isOn(cell), on.count(cell) == 1) << "cell " << cell;

    // "Week" index 1 is Sunday, shown in the last line; index 2 is Monday beside every day.
    EXPECT_FALSE(ctl<QCheckBox>(&page, 1127)->isChecked());
    EXPECT_TRUE(ctl<QCheckBox>(&page, 1162)->isChecked());
    EXPECT_FALSE(ctl<QCheckBox>(&page, 1132)->isChecked());
    EXPECT_EQ(ctl<QTimeEdit>(&page, 1163)->time(), QTime(1, 0, 0));
    EXPECT_EQ(ctl<QTimeEdit>(&page, 1164)->time(), QTime(3, 30, 15));
    EXPECT_EQ(ctl<QTimeEdit>(&page, 1165)->time(), QTime(7, 0, 0));
    EXPECT_EQ(ctl<QTimeEdit>(&page, 1133)->time(), QTime(2, 0, 0));
    EXPECT_EQ(ctl<QTimeEdit>(&page, 1161)->time(), QTime(15, 30, 15)); // Saturday, period 2 end
}

TEST_F(AlarmPageTest, SaveSendsTheKeptDocumentWithTheControlsValues)
{
    load();
    ctl<QCheckBox>(&page, 1102)->setChecked(false);
    ctl<QComboBox>(&page, 1104)->setCurrentIndex(1);
    ctl<QRadioButton>(&page, 1106)->setChecked(true);
    ctl<QComboBox>(&page, 1118)->setCurrentIndex(0);
    ctl<QCheckBox>(&page, 1110)->setChecked(true);
    ctl<QLineEdit>(&page, 1121)->setText("60");
    ctl<QLineEdit>(&page, 1122)->setText(" 10 ");
    ctl<QLineEdit>(&page, 1125)->setText("0");
    ctl<QComboBox>(&page, 1126)->setCurrentIndex(0);
    ctl<QCheckBox>(&page, 1127)->setChecked(true);
    ctl<QTimeEdit>(&page, 1131)->setTime(QTime(23, 59, 59));
    drag(cellCentre(0, 0), {cellCentre(0, 1)}, cellCentre(1, 1));

    const Json::Value sent = sentAfterSave();
    Json::Value expected = alarmDocument();
    std::set<int> on = block(2, 3, 4, 6);
    on.merge(block(0, 0, 1, 1));
    expected["MoveInfo"] = Json::Value();
    expected["MoveInfo"]["MdEnable"] = 0;
    expected["MoveInfo"]["Sensitive"] = 1;
    expected["MoveInfo"]["Area"] = area(on);
    Json::Value& policy = expected["PolicyInfo"];
    policy["IoOutputInfo"]["AlarmLevel"] = 0;
    policy["IoOutputInfo"]["Delay"] = 0;
    policy["RecordInfo"]["FtpEnable"] = 1;
    policy["RecordInfo"]["RecordTime"] = 60;
    policy["SnapInfo"]["PictureNum"] = 10;
    policy["SnapInfo"]["Msec"] = 0;
    policy["PresetInfo"]["PresetId"] = 1;
    expected["Week"][0]["Flag"] = 1;
    expected["Week"][0]["TimePeriod"][1]["End"] = timeOf(23, 59, 59);
    EXPECT_EQ(sent, expected) << sent.toStyledString();
    EXPECT_EQ(messages.texts(), QStringList{LangText("Common", "Success")});
    EXPECT_EQ(cam().document(kDocument), expected);
}

// Drags on the grid: each row starts from a cleared grid and is sent as "Area".
struct Drag {
    const char* name;
    QPoint from;
    std::vector<QPoint> through;
    QPoint to;
    std::set<int> on;
};

TEST_F(AlarmPageTest, DragsOnTheGridSendTheCellsOfTheirRectangle)
{
    const std::vector<Drag> drags = {
        {"a click turns on its cell", cellCentre(5, 7), {}, cellCentre(5, 7), {5 * 16 + 7}},
        {"down and right", cellCentre(1, 2), {cellCentre(2, 3), cellCentre(3, 5)}, cellCentre(3, 5), block(1, 2, 3, 5)},
        {"up and left", cellCentre(9, 12), {cellCentre(8, 10)}, cellCentre(6, 9), block(6, 9, 9, 12)},
        {"up and right", cellCentre(10, 1), {}, cellCentre(8, 4), block(8, 1, 10, 4)},
        {"the band's last position, wherever it went before", cellCentre(0, 15), {cellCentre(11, 0)}, cellCentre(1, 14),
         block(0, 14, 1, 15)},
        {"past the bottom right edge", cellCentre(10, 13), {}, QPoint(900, 700), block(10, 13, 11, 15)},
        {"past the top left edge", cellCentre(1, 1), {}, QPoint(-40, -30), block(0, 0, 1, 1)},
        {"on the closing grid lines", QPoint(320, 180), {}, QPoint(319, 179), {191}},
    };
    load();
    for (const Drag& d : drags) {
        SCOPED_TRACE(d.name);
        ctl<QPushButton>(&page, 1103)->click();
        drag(d.from, d.through, d.to);
        const Json::Value sent = sentAfterSave();
        EXPECT_EQ(sent["MoveInfo"]["Area"], area(d.on)) << sent["MoveInfo"]["Area"].toStyledString();
    }
    // A second drag adds to the first: cells are only turned off by Clear.
    ctl<QPushButton>(&page, 1103)->click();
    drag(cellCentre(0, 0), {}, cellCentre(0, 1));
    drag(cellCentre(0, 1), {}, cellCentre(1, 1));
    EXPECT_EQ(sentAfterSave()["MoveInfo"]["Area"], area({0, 1, 17}));
}

// What the device sends as "Area" and what goes back, untouched and after Clear.
struct AreaCase {
    const char* name;
    Json::Value area; // null: no "Area" member
    Json::Value sentUntouched;
};

TEST_F(AlarmPageTest, AnAreaIsAlways192CellsAndClearTurnsThemAllOff)
{
    Json::Value shortArea(Json::arrayValue);
    shortArea.append(1);
    shortArea.append(0);
    shortArea.append(1);
    Json::Value odd = area({3});
    odd[4] = true; // not the device's "on": shown off, sent back as it came
    odd[5] = 1.0;
    const std::vector<AreaCase> cases = {
        {"missing", Json::Value(), area({})},
        {"the number 0", Json::Value(0), area({})},
        {"a string", Json::Value("all"), area({})},
        {"shorter than the grid", shortArea, area({0, 2})},
        {"entries of other types", odd, odd},
    };
    for (const AreaCase& c : cases) {
        SCOPED_TRACE(c.name);
        Json::Value doc = alarmDocument();
        if (c.area.isNull())
            doc["MoveInfo"].removeMember("Area");
        else
            doc["MoveInfo"]["Area"] = c.area;
        ASSERT_TRUE(cam().setDocument(kDocument, doc));
        load();
        EXPECT_FALSE(page.grid()->isOn(4));
        EXPECT_EQ(sentAfterSave()["MoveInfo"]["Area"], c.sentUntouched);
        ctl<QPushButton>(&page, 1103)->click();
        EXPECT_EQ(sentAfterSave()["MoveInfo"]["Area"], area({}));
    }
}

// The preset list and the alarm document in either order, or the list unusable: the device's
// preset stays chosen.
struct Order {
    const char* name;
    int late;      // the command answered last (0: none)
    int garbled;   // a command answered with a text that is not JSON (0: none)
};

class PresetOrder : public AlarmPageTest, public ::testing::WithParamInterface<Order> {};

TEST_P(PresetOrder, TheDevicesPresetStaysChosen)
{
    const Order& order = GetParam();
    auto* ok = ctl<QPushButton>(&page, 1);
    auto* presets = ctl<QComboBox>(&page, 1126);
    cam().garble(order.garbled ? std::vector<int>{order.garbled} : std::vector<int>{});
    cam().defer(order.late ? std::vector<int>{order.late} : std::vector<int>{});
    QSignalSpy loaded(&page, &DevicePage::loaded);
    page.load(SettingsCameras::uid(0));

    if (order.late == kGetAlarm) {
        ASSERT_TRUE(frametest::waitFor([&] { return presets->count() == 3; }));
        EXPECT_EQ(presets->currentIndex(), -1) << "nothing to choose before the document came";
        EXPECT_FALSE(ok->isEnabled()) << "nothing to send before the document came";
        cam().defer({});
    }
    ASSERT_TRUE(frametest::waitFor([&] { return !loaded.isEmpty(); }));
    EXPECT_EQ(loaded.at(0).at(0).toInt(), 0);
    if (order.late == kPresetList) {
        EXPECT_EQ(presets->count(), 0);
        EXPECT_TRUE(ok->isEnabled());
        // Saved before the list came: the device's own preset goes back.
        EXPECT_EQ(sentAfterSave()["PolicyInfo"]["PresetInfo"]["PresetId"], 3);
        cam().defer({});
        ASSERT_TRUE(frametest::waitFor([&] { return presets->count() == 3; }));
    }
    settle(cam());
    if (order.garbled == kPresetList) {
        EXPECT_EQ(presets->count(), 0);
    } else {
        EXPECT_EQ(presets->currentIndex(), 2);
        EXPECT_EQ(presets->currentText(), "Gate");
    }
    EXPECT_EQ(sentAfterSave()["PolicyInfo"]["PresetInfo"]["PresetId"], 3);
}

INSTANTIATE_TEST_SUITE_P(Answers, PresetOrder,
                         ::testing::Values(Order{"DocumentFirst", kPresetList, 0}, Order{"PresetsFirst", kGetAlarm, 0},
                                           Order{"PresetListNotJson", 0, kPresetList}),
                         [](const ::testing::TestParamInfo<Order>& param) { return std::string(param.param.name); });

TEST_F(AlarmPageTest, ABadNumberIsShownAndNothingIsSent)
{
    struct Bad {
        int edit;
        const char* text;
        const char* message;
    };
    const Bad cases[] = {
        {1122, "11", "PicNumRange"}, {1122, "-1", "PicNumRange"}, {1122, "x", "PicNumRange"},
        {1121, "", "NumError"},      {1123, "1.5", "NumError"},   {1125, "99999999999", "NumError"},
    };
    load();
    const size_t before = sentCount(cam(), kSetAlarm);
    for (const Bad& c : cases) {
        SCOPED_TRACE(c.text);
        auto* edit = ctl<QLineEdit>(&page, c.edit);
        const QString good = edit->text();
        edit->setText(QString::fromLatin1(c.text));
        messages.clear();
        ctl<QPushButton>(&page, 1)->click();
        EXPECT_EQ(messages.texts(), QStringList{LangText("AlarmSet", c.message)});
        edit->setText(good);
    }
    settle(cam());
    EXPECT_EQ(sentCount(cam(), kSetAlarm), before);
    messages.clear();
    EXPECT_EQ(savePage(page), 0) << "corrected, the page sends";
}

// Replies of the wrong shape: what cannot be read shows as missing, and a save still sends a
// document of the right shape.
TEST_F(AlarmPageTest, RepliesOfTheWrongShapeCannotThrow)
{
    const std::vector<std::pair<const char*, Json::Value>> docs = [] {
        std::vector<std::pair<const char*, Json::Value>> out;
        Json::Value d = alarmDocument();
        d["MoveInfo"] = 5;
        d["PolicyInfo"] = "none";
        d["Week"] = Json::Value(Json::objectValue);
        out.emplace_back("members that are not objects", d);
        d = alarmDocument();
        d["PolicyInfo"]["RecordInfo"] = Json::Value(Json::arrayValue);
        d["PolicyInfo"]["SnapInfo"]["PictureNum"] = "7";
        d["PolicyInfo"]["PresetInfo"]["PresetId"] = true;
        d["Week"][0] = 3;
        d["Week"][2]["TimePeriod"] = "08:00";
        d["Week"][4]["TimePeriod"][0]["Start"] = timeOf(24, 0, 0); // not a time of day: kept
        d["Week"][4]["TimePeriod"][0]["End"]["Min"] = "x";
        out.emplace_back("values that are not integers", d);
        return out;
    }();
    for (const auto& [name, doc] : docs) {
        SCOPED_TRACE(name);
        ctl<QTimeEdit>(&page, 1142)->setTime(QTime(9, 9, 9));
        ASSERT_TRUE(cam().setDocument(kDocument, doc));
        load();
        EXPECT_EQ(ctl<QTimeEdit>(&page, 1142)->time(), QTime(9, 9, 9));
        const Json::Value sent = sentAfterSave();
        EXPECT_EQ(sent["MoveInfo"]["Area"].size(), 192u);
        for (const char* part : {"IoOutputInfo", "RecordInfo", "SnapInfo", "PresetInfo"})
            EXPECT_TRUE(sent["PolicyInfo"][part].isObject()) << part;
        EXPECT_TRUE(sent["PolicyInfo"]["SnapInfo"]["PictureNum"].isInt());
        ASSERT_EQ(sent["Week"].size(), 8u);
        for (const Json::Value& d : sent["Week"])
            EXPECT_EQ(d["TimePeriod"].size(), 2u);
    }
}

} // namespace
