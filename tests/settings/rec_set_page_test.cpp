// The SD recording page against a real camera: "Rec.Conf" into the card labels, the overwrite
// flag, the length list and the eight schedule rows; the kept document back with the edits; and
// formatting the card: asked first, a time-out taken as a format still running, failures told.
#include "SettingsPageSupport.h"
#include "settings/ProRecSetDlg.h"

#include "LangText.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTime>
#include <QTimeEdit>
#include <gtest/gtest.h>

using namespace settingstest;

namespace {

Json::Value parse(const char* text)
{
    Json::Value value;
    Json::CharReaderBuilder builder;
    std::string errors;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    const std::string s(text);
    EXPECT_TRUE(reader->parse(s.data(), s.data() + s.size(), &value, &errors)) << text;
    return value;
}

QString status(const char* state)
{
    return LangText("SDRecSet", "SDStatus") + ":" + LangText("SDRecSet", state);
}

QString size(const char* key, const char* gigabytes)
{
    return LangText("SDRecSet", key) + QStringLiteral("\uFF1A") + gigabytes + " GB";
}

// Eight rows whose periods all read 1:0:0 to 2:0:0, disabled.
Json::Value plainRows(int count = 8)
{
    Json::Value rows(Json::arrayValue);
    for (int i = 0; i < count; ++i)
        rows.append(parse(R"({"En":0,"St1":"1:0:0","Ed1":"2:0:0","St2":"1:0:0","Ed2":"2:0:0"})"));
    return rows;
}

class RecSetPageTest : public OneCameraTest {
protected:
    void SetUp() override
    {
        OneCameraTest::SetUp();
        page.confirm = [this](const QString& text) {
            questions << text;
            return answer;
        };
    }
    QTime picker(int id) { return ctl<QTimeEdit>(&page, id)->time(); }

    ProRecSetDlg page;
    QStringList questions;
    bool answer = true;
};

TEST_F(RecSetPageTest, CardStateAndLengthFromTheDocument)
{
    struct Case {
        const char* name;
        const char* document;
        QString status, capacity, free;
        int recMins;
        bool autoDel;
    };
    const Case cases[] = {
        {"sizes in GB", R"({"DiskInfo":{"isValid":true,"Total":31000,"Free":0},"AutoDel":true,"RecMins":7})",
         status("Valiad"), size("SDCapacity", "30.27"), size("SDResidue", "0.00"), 7, true},
        {"no card info", R"({"AutoDel":false,"RecMins":8})", status("Invaliad"), size("SDCapacity", "0.00"),
         size("SDResidue", "0.00"), -1, false},
        {"invalid card keeps its sizes", R"({"DiskInfo":{"isValid":0,"Total":2048,"Free":1024},"RecMins":-1})",
         status("Invaliad"), size("SDCapacity", "2.00"), size("SDResidue", "1.00"), -1, false},
        {"numbers as truth values", R"({"DiskInfo":{"isValid":1,"Total":1024,"Free":512},"AutoDel":1,"RecMins":0})",
         status("Valiad"), size("SDCapacity", "1.00"), size("SDResidue", "0.50"), 0, true},
        {"members of the wrong type", R"({"DiskInfo":[1],"AutoDel":"yes","RecMins":"3","RecTime":{"En":1}})",
         status("Invaliad"), size("SDCapacity", "0.00"), size("SDResidue", "0.00"), -1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(cam().setDocument("Rec.Conf", parse(c.document)));
        ASSERT_EQ(loadPage(page, cam()), 0);
        EXPECT_EQ(ctl<QLabel>(&page, 1047)->text(), c.status);
        EXPECT_EQ(ctl<QLabel>(&page, 1048)->text(), c.capacity);
        EXPECT_EQ(ctl<QLabel>(&page, 1049)->text(), c.free);
        EXPECT_EQ(ctl<QComboBox>(&page, 1051)->currentIndex(), c.recMins);
        EXPECT_EQ(ctl<QCheckBox>(&page, 1050)->isChecked(), c.autoDel);
    }
    EXPECT_EQ(ctl<QComboBox>(&page, 1051)->itemText(7), "60");
    EXPECT_TRUE(messages.texts().isEmpty());
}

TEST_F(RecSetPageTest, ScheduleRowsFillTheirDaysPickers)
{
    Json::Value rec = parse(R"({"RecTime":[
        {"En":1,"St1":"08:05:00","Ed1":"8:30","St2":"24:00:00","Ed2":"23:59:59"},
        {"En":1,"St1":"7:0:0","Ed1":"9:0:0","St2":"10:0:0","Ed2":"11:0:0"},
        {"En":0,"St1":"6:0:0","Ed1":"6:30:15","St2":7,"Ed2":"x"},
        {"En":1,"St1":"99999999999:0:0","Ed1":" 9:-1:0","St2":"1:2:3:4","Ed2":"12:00:00"}]})");
    // Pickers the document does not set keep what they showed.
    ctl<QTimeEdit>(&page, 1057)->setTime(QTime(3, 3, 3));
    ctl<QTimeEdit>(&page, 1061)->setTime(QTime(4, 4, 4));
    ctl<QTimeEdit>(&page, 1063)->setTime(QTime(5, 5, 5));
    ctl<QTimeEdit>(&page, 1064)->setTime(QTime(5, 5, 5));
    ctl<QTimeEdit>(&page, 1073)->setTime(QTime(6, 6, 6));
    ASSERT_TRUE(cam().setDocument("Rec.Conf", rec));
    ASSERT_EQ(loadPage(page, cam()), 0);

    EXPECT_TRUE(ctl<QCheckBox>(&page, 1094)->isChecked());
    EXPECT_EQ(picker(1054), QTime(8, 5, 0)) << "leading zeros read";
    EXPECT_EQ(picker(1056), QTime(8, 30, 0)) << "no seconds: the row's previous seconds";
    EXPECT_EQ(picker(1057), QTime(3, 3, 3)) << "24:00:00 is no time of day";
    EXPECT_EQ(picker(1058), QTime(23, 59, 59));
    // Row 1 is Sunday, row 2 Monday.
    EXPECT_TRUE(ctl<QCheckBox>(&page, 1101)->isChecked());
    EXPECT_EQ(picker(1081), QTime(7, 0, 0));
    EXPECT_EQ(picker(1084), QTime(11, 0, 0));
    EXPECT_FALSE(ctl<QCheckBox>(&page, 1098)->isChecked());
    EXPECT_EQ(picker(1059), QTime(6, 0, 0));
    EXPECT_EQ(picker(1060), QTime(6, 30, 15));
    EXPECT_EQ(picker(1061), QTime(4, 4, 4)) << "a time that is not a text";
    EXPECT_EQ(picker(1062), QTime(6, 30, 15)) << "no number at all: the row's previous time";
    EXPECT_TRUE(ctl<QCheckBox>(&page, 1095)->isChecked());
    EXPECT_EQ(picker(1063), QTime(5, 5, 5)) << "an hour too long for a number";
    EXPECT_EQ(picker(1064), QTime(5, 5, 5)) << "a negative minute";
    EXPECT_EQ(picker(1085), QTime(1, 2, 3)) << "more than three parts";
    EXPECT_EQ(picker(1086), QTime(12, 0, 0));
    EXPECT_EQ(picker(1073), QTime(6, 6, 6)) << "Thursday is not in a four-row schedule";
}

TEST_F(RecSetPageTest, SaveSendsTheKeptDocumentWithTheEdits)
{
    Json::Value rec = parse(R"({"DiskInfo":{"isValid":true,"Total":1024,"Free":10,"Path":"/mnt/s0/media/sensor0"},
                                "AutoDel":false,"RecMins":2,"RecMode":1,"Vich":0})");
    rec["RecTime"] = plainRows(9);
    rec["RecTime"][8]["St1"] = "the device's own";
    ASSERT_TRUE(cam().setDocument("Rec.Conf", rec));
    ASSERT_EQ(loadPage(page, cam()), 0);

    ctl<QCheckBox>(&page, 1050)->setChecked(true);
    ctl<QComboBox>(&page, 1051)->setCurrentIndex(7);
    ctl<QCheckBox>(&page, 1094)->setChecked(true);
    ctl<QTimeEdit>(&page, 1054)->setTime(QTime(8, 5, 0));
    ctl<QCheckBox>(&page, 1097)->setChecked(true); // Saturday, row 7
    ctl<QTimeEdit>(&page, 1080)->setTime(QTime(23, 0, 9));
    ASSERT_EQ(savePage(page), 0);
    EXPECT_EQ(messages.texts(), QStringList{LangText("Common", "Success")});

    Json::Value expected = rec;
    expected["AutoDel"] = true;
    expected["RecMins"] = 7;
    expected["RecTime"][0]["En"] = 1;
    expected["RecTime"][0]["St1"] = "8:5:0";
    expected["RecTime"][7]["En"] = 1;
    expected["RecTime"][7]["Ed2"] = "23:0:9";
    EXPECT_EQ(lastSent(cam(), 1070, "Rec.Conf"), expected) << "unknown keys and the ninth row go back as they came";
}

TEST_F(RecSetPageTest, SaveEditsOnlyTheRowsTheDeviceSent)
{
    struct Case {
        const char* name;
        Json::Value document;
        Json::Value expected;
    };
    Json::Value three = parse(R"({"RecMins":8})");
    three["RecTime"] = plainRows(3);
    Json::Value threeSent = three;
    threeSent["RecMins"] = -1; // no length selected
    threeSent["AutoDel"] = false;
    const Case cases[] = {
        {"three rows stay three", three, threeSent},
        {"no schedule is not made up", parse(R"({"RecMins":1})"), parse(R"({"RecMins":1,"AutoDel":false})")},
        {"a schedule that is no array goes back", parse(R"({"RecMins":1,"RecTime":"none"})"),
         parse(R"({"RecMins":1,"AutoDel":false,"RecTime":"none"})")},
        {"rows that are no objects go back", parse(R"({"RecMins":1,"RecTime":[5,null]})"),
         parse(R"({"RecMins":1,"AutoDel":false,"RecTime":[5,null]})")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(cam().setDocument("Rec.Conf", c.document));
        ASSERT_EQ(loadPage(page, cam()), 0);
        ASSERT_EQ(savePage(page), 0);
        EXPECT_EQ(lastSent(cam(), 1070, "Rec.Conf"), c.expected);
    }
}

TEST_F(RecSetPageTest, FormatAsksFirstAndReadsTheCardAgain)
{
    ASSERT_TRUE(cam().setDocument("Rec.Conf", parse(R"({"DiskInfo":{"isValid":true,"Total":4096,"Free":1024}})")));
    auto* format = ctl<QPushButton>(&page, 1053);
    EXPECT_FALSE(format->isEnabled()) << "no device answered yet";
    ASSERT_EQ(loadPage(page, cam()), 0);
    ASSERT_TRUE(format->isEnabled());

    answer = false;
    const size_t formats = sentCount(cam(), 1507);
    format->click();
    settle(cam());
    EXPECT_EQ(questions, QStringList{LangText("SDRecSet", "FormatAsk")});
    EXPECT_EQ(sentCount(cam(), 1507), formats) << "declined: nothing sent";

    answer = true;
    QSignalSpy finished(&page, &ProRecSetDlg::formatFinished);
    const size_t reads = sentCount(cam(), 1072);
    format->click();
    EXPECT_FALSE(format->isEnabled()) << "one format at a time";
    ASSERT_TRUE(frametest::waitFor([&] { return finished.size() == 1; }));
    EXPECT_EQ(finished.at(0).at(0).toInt(), 0);
    EXPECT_EQ(sentCount(cam(), 1507), formats + 1);
    EXPECT_EQ(sentCount(cam(), 1072), reads + 1) << "the card is read again";
    EXPECT_EQ(ctl<QLabel>(&page, 1049)->text(), size("SDResidue", "4.00")) << "the formatted card is empty";
    EXPECT_TRUE(format->isEnabled());
    EXPECT_TRUE(messages.texts().isEmpty());
}

TEST_F(RecSetPageTest, AFormatOutlastingTheTimeOutIsStillFormatting)
{
    ASSERT_TRUE(cam().setDocument("Rec.Conf", parse(R"({"DiskInfo":{"isValid":true,"Total":4096,"Free":1024}})")));
    ASSERT_EQ(loadPage(page, cam()), 0);
    QSignalSpy finished(&page, &ProRecSetDlg::formatFinished);
    // The device formats: it answers neither the format nor the card's state for a while.
    ASSERT_TRUE(cam().mute({1507, 1072}));
    const size_t formats = sentCount(cam(), 1507);
    const size_t reads = sentCount(cam(), 1072);
    ctl<QPushButton>(&page, 1053)->click();
    ASSERT_TRUE(frametest::waitFor([&] { return sentCount(cam(), 1507) == formats + 1; }));
    expireRequests();
    ASSERT_TRUE(frametest::waitFor([&] { return sentCount(cam(), 1072) == reads + 1; }));
    settle(cam());
    EXPECT_TRUE(page.formatting());
    EXPECT_TRUE(finished.isEmpty());
    EXPECT_TRUE(messages.texts().isEmpty()) << "a time-out is no failure";
    EXPECT_EQ(ctl<QLabel>(&page, 1047)->text(), status("Formatting"));
    EXPECT_FALSE(ctl<QPushButton>(&page, 1053)->isEnabled());

    // The device is back: a read of the card's state that it answers ends the format. The read
    // it ignored still owes its answer, so the next read's answer is dropped in its place; once
    // that read times out too (owing nothing), the one after it is answered.
    ASSERT_TRUE(cam().mute({}));
    expireRequests();
    ASSERT_TRUE(frametest::waitFor([&] { return sentCount(cam(), 1072) >= reads + 2; }));
    settle(cam());
    if (finished.isEmpty())
        expireRequests();
    ASSERT_TRUE(frametest::waitFor([&] { return finished.size() == 1; }));
    EXPECT_EQ(finished.at(0).at(0).toInt(), 0);
    EXPECT_TRUE(messages.texts().isEmpty());
    EXPECT_EQ(ctl<QLabel>(&page, 1047)->text(), status("Valiad"));
    EXPECT_TRUE(ctl<QPushButton>(&page, 1053)->isEnabled());
}

TEST_F(RecSetPageTest, FormatFailuresAreTold)
{
    ASSERT_TRUE(cam().setDocument("Rec.Conf", parse(R"({"DiskInfo":{"isValid":true,"Total":4096,"Free":1024}})")));
    ASSERT_EQ(loadPage(page, cam()), 0);
    QSignalSpy finished(&page, &ProRecSetDlg::formatFinished);
    auto* format = ctl<QPushButton>(&page, 1053);

    // The device refuses the format.
    ASSERT_TRUE(cam().refuse({1507}));
    format->click();
    ASSERT_TRUE(frametest::waitFor([&] { return finished.size() == 1; }));
    EXPECT_NE(finished.at(0).at(0).toInt(), 0);
    EXPECT_EQ(messages.texts(), QStringList{LangText("DevInfo", "Fail")});
    EXPECT_EQ(ctl<QLabel>(&page, 1047)->text(), status("Valiad")) << "the card's state as it was";
    ASSERT_TRUE(cam().refuse({}));

    // The device never comes back: after the last read of the card the format failed.
    messages.clear();
    ASSERT_TRUE(cam().mute({1507, 1072}));
    const size_t reads = sentCount(cam(), 1072);
    format->click();
    ASSERT_TRUE(frametest::waitFor([&] { return sentCount(cam(), 1507) > 0 && page.formatting(); }));
    settle(cam());
    expireRequests();
    for (int n = 1; n <= ProRecSetDlg::kFormatRereads; ++n) {
        ASSERT_TRUE(frametest::waitFor([&] { return sentCount(cam(), 1072) == reads + n; })) << n;
        EXPECT_TRUE(messages.texts().isEmpty()) << n;
        expireRequests();
    }
    ASSERT_TRUE(frametest::waitFor([&] { return finished.size() == 2; }));
    EXPECT_EQ(finished.at(1).at(0).toInt(), -1);
    EXPECT_EQ(messages.texts(), QStringList{LangText("DevInfo", "Fail")});
    EXPECT_EQ(sentCount(cam(), 1072), reads + ProRecSetDlg::kFormatRereads);
    EXPECT_TRUE(format->isEnabled());
}

} // namespace
