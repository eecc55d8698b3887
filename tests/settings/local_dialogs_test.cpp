// The two local dialogs of the toolbar on real "Lumora.ini" files: the folders and decoder choice
// of ProSettingDlg, and the recording plan of CLocalRecPlanDlg, from the file into the controls
// and back, with sections or the whole file missing; the folder picker; and the live view's plan
// worker following a plan saved with OK on its next pass.
#include "FrameFixture.h"
#include "settings/ProSettingDlg.h"

#include "CAppConfig.h"
#include "LangText.h"
#include "liveview/RecordPlan.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimeEdit>
#include <fstream>
#include <gtest/gtest.h>

namespace {

constexpr int kSnapEdit = 1233, kDownloadEdit = 1235, kRecEdit = 1237, kAlarmEdit = 1239;
constexpr int kHardware = 1106, kSoftware = 1107;

template <class W> W* ctl(QWidget* dialog, int id)
{
    W* w = dialog->findChild<W*>(QStringLiteral("ctl_%1").arg(id));
    if (w == nullptr)
        ADD_FAILURE() << "no control ctl_" << id << " of the expected type";
    return w;
}

class LocalDialogsTest : public ::testing::Test {
protected:
    // Replaces "Lumora.ini" by text; nullptr removes it.
    void writeIni(const char* text)
    {
        const QString path = data.file(QStringLiteral("Lumora.ini"));
        QFile::remove(path);
        if (text != nullptr)
            std::ofstream(path.toStdString(), std::ios::binary) << "[Language]\nlanguage=EN_LAN\n" << text;
        CAppConfig::GetInstance()->ClearLangFile();
    }
    static QString ini(const char* section, const char* key)
    {
        return CAppConfig::GetInstance()->ReadProfileString(QString::fromLatin1(section), QString::fromLatin1(key),
                                                            QStringLiteral("<missing>"));
    }
    bool iniExists() const { return QFile::exists(data.file(QStringLiteral("Lumora.ini"))); }
    frametest::DataFolder data{QStringLiteral("EN_LAN"), true};
};

// ---- folders and decoding

TEST_F(LocalDialogsTest, FoldersAndDecoderComeFromTheIni)
{
    struct Row {
        const char* name;
        const char* ini; // nullptr: no Lumora.ini
        const char* snap;
        const char* download;
        const char* rec;
        const char* alarm;
        bool hardware;
    };
    const Row rows[] = {
        {"Values", "[PathSetting]\nSnapPath=/srv/snap\nDownloadPath=/srv/dl\nRecPath=/srv/rec\nAlarmPath=/srv/alarm\n[Hardware]\nType=2\n",
         "/srv/snap", "/srv/dl", "/srv/rec", "/srv/alarm", true},
        {"SoftwareByZero", "[PathSetting]\nSnapPath=/srv/snap\n[Hardware]\nType=0\n", "/srv/snap", "C://Lumora//Download",
         "C://Lumora//Record", "C://Lumora//Alarm", false},
        {"MissingSectionsGiveTheDefaults", "", "C://Lumora//Snap", "C://Lumora//Download", "C://Lumora//Record",
         "C://Lumora//Alarm", false},
        {"NoIniGivesEmptyFolders", nullptr, "", "", "", "", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        writeIni(row.ini);
        ProSettingDlg dialog;
        EXPECT_EQ(ctl<QLineEdit>(&dialog, kSnapEdit)->text(), QString::fromUtf8(row.snap));
        EXPECT_EQ(ctl<QLineEdit>(&dialog, kDownloadEdit)->text(), QString::fromUtf8(row.download));
        EXPECT_EQ(ctl<QLineEdit>(&dialog, kRecEdit)->text(), QString::fromUtf8(row.rec));
        EXPECT_EQ(ctl<QLineEdit>(&dialog, kAlarmEdit)->text(), QString::fromUtf8(row.alarm));
        EXPECT_EQ(ctl<QRadioButton>(&dialog, kHardware)->isChecked(), row.hardware);
        EXPECT_NE(ctl<QRadioButton>(&dialog, kSoftware)->isChecked(), row.hardware) << "exactly one choice";
    }
}

TEST_F(LocalDialogsTest, OkWritesTheFoldersAsTypedAndTheDecoderAsZeroOrOne)
{
    // Unchanged on an ini without the sections: the defaults are written out, hardware "1" from 2.
    writeIni("[Hardware]\nType=2\n");
    {
        ProSettingDlg dialog;
        dialog.show();
        ctl<QPushButton>(&dialog, 1)->click();
        EXPECT_FALSE(dialog.isVisible()) << "OK hides the dialog";
        EXPECT_EQ(ini("PathSetting", "SnapPath"), "C://Lumora//Snap");
        EXPECT_EQ(ini("PathSetting", "DownloadPath"), "C://Lumora//Download");
        EXPECT_EQ(ini("PathSetting", "RecPath"), "C://Lumora//Record");
        EXPECT_EQ(ini("PathSetting", "AlarmPath"), "C://Lumora//Alarm");
        EXPECT_EQ(ini("Hardware", "Type"), "1");
    }
    // Edited: texts kept as typed (backslashes, non-ASCII, empty), software "0".
    {
        ProSettingDlg dialog;
        ctl<QLineEdit>(&dialog, kSnapEdit)->setText(QStringLiteral("D:\\Lumora\\Snap"));
        ctl<QLineEdit>(&dialog, kDownloadEdit)->setText(QString::fromUtf8("/home/\u5f20/\u4e0b\u8f7d"));
        ctl<QLineEdit>(&dialog, kRecEdit)->setText(QString());
        ctl<QLineEdit>(&dialog, kAlarmEdit)->setText(QStringLiteral("/srv/alarm"));
        ctl<QRadioButton>(&dialog, kSoftware)->setChecked(true);
        dialog.accept();
        EXPECT_EQ(ini("PathSetting", "SnapPath"), "D:\\Lumora\\Snap");
        EXPECT_EQ(ini("PathSetting", "DownloadPath"), QString::fromUtf8("/home/\u5f20/\u4e0b\u8f7d"));
        EXPECT_EQ(ini("PathSetting", "RecPath"), "");
        EXPECT_EQ(ini("PathSetting", "AlarmPath"), "/srv/alarm");
        EXPECT_EQ(ini("Hardware", "Type"), "0");
        EXPECT_EQ(CAppConfig::GetInstance()->GetHardwareType(), 0);
    }
    // Without Lumora.ini nothing is written and no file is made.
    writeIni(nullptr);
    {
        ProSettingDlg dialog;
        ctl<QLineEdit>(&dialog, kSnapEdit)->setText(QStringLiteral("/srv/snap"));
        ctl<QRadioButton>(&dialog, kHardware)->setChecked(true);
        dialog.accept();
        EXPECT_FALSE(iniExists());
    }
}

TEST_F(LocalDialogsTest, BrowseFillsItsOwnRowAndCancelKeepsTheText)
{
    writeIni("[PathSetting]\nSnapPath=/a\nDownloadPath=/b\nRecPath=/c\nAlarmPath=/d\n");
    struct Row {
        int button;
        int edit;
    };
    const Row rows[] = {{1234, kSnapEdit}, {1236, kDownloadEdit}, {1238, kRecEdit}, {1240, kAlarmEdit}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.button);
        ProSettingDlg dialog;
        QString answer = QStringLiteral("/picked/folder");
        QString title;
        int asked = 0;
        dialog.chooseFolder = [&](QWidget* owner, const QString& t) {
            EXPECT_EQ(owner, &dialog);
            title = t;
            ++asked;
            return answer;
        };
        QStringList before;
        for (int edit : {kSnapEdit, kDownloadEdit, kRecEdit, kAlarmEdit})
            before << ctl<QLineEdit>(&dialog, edit)->text();
        ctl<QPushButton>(&dialog, row.button)->click();
        EXPECT_EQ(asked, 1);
        EXPECT_EQ(title, LangText("ProSettingDlg", "BrowseTitle"));
        EXPECT_FALSE(title.isEmpty());
        EXPECT_EQ(ctl<QLineEdit>(&dialog, row.edit)->text(), answer);
        int changed = 0;
        int i = 0;
        for (int edit : {kSnapEdit, kDownloadEdit, kRecEdit, kAlarmEdit})
            changed += ctl<QLineEdit>(&dialog, edit)->text() != before[i++] ? 1 : 0;
        EXPECT_EQ(changed, 1) << "only the button's own row";
        answer.clear(); // the user cancels the browser
        ctl<QPushButton>(&dialog, row.button)->click();
        EXPECT_EQ(ctl<QLineEdit>(&dialog, row.edit)->text(), QStringLiteral("/picked/folder"));
        EXPECT_EQ(ini("PathSetting", "SnapPath"), "/a") << "nothing is saved before OK";
    }
}

TEST_F(LocalDialogsTest, CancelHidesAndKeepsTheEditsUnsaved)
{
    writeIni("[PathSetting]\nSnapPath=/a\n[Hardware]\nType=0\n");
    ProSettingDlg dialog;
    dialog.show();
    ctl<QLineEdit>(&dialog, kSnapEdit)->setText(QStringLiteral("/edited"));
    ctl<QRadioButton>(&dialog, kHardware)->setChecked(true);
    dialog.reject();
    EXPECT_FALSE(dialog.isVisible());
    dialog.show();
    EXPECT_EQ(ctl<QLineEdit>(&dialog, kSnapEdit)->text(), "/edited");
    EXPECT_TRUE(ctl<QRadioButton>(&dialog, kHardware)->isChecked());
    EXPECT_EQ(ini("PathSetting", "SnapPath"), "/a");
    EXPECT_EQ(ini("Hardware", "Type"), "0");
}

// ---- recording plan

constexpr int kEnable = 1286, kAutoCover = 1287, kLength = 1288;
// Check box, start and end picker of each day in plan order (every day, Monday .. Sunday).
struct DayIds {
    int check, start, end;
};
constexpr DayIds kDays[] = {{1289, 1290, 1291}, {1295, 1296, 1297}, {1292, 1293, 1294}, {1298, 1299, 1300},
                            {1301, 1302, 1303}, {1304, 1305, 1306}, {1307, 1308, 1309}, {1310, 1311, 1312}};

// Seconds between t and now on the clock face (the picker of a text that is no time of day
// shows the time the dialog was made).
int distanceFromNow(QTime t)
{
    const int d = std::abs(t.secsTo(QTime::currentTime()));
    return std::min(d, 86400 - d);
}

TEST_F(LocalDialogsTest, PlanComesFromTheIni)
{
    // No [RecPlan]: nothing on, length "10", every day 00:00:00 to 23:59:59.
    writeIni("");
    {
        CLocalRecPlanDlg dialog;
        EXPECT_FALSE(ctl<QCheckBox>(&dialog, kEnable)->isChecked());
        EXPECT_FALSE(ctl<QCheckBox>(&dialog, kAutoCover)->isChecked());
        EXPECT_EQ(ctl<QComboBox>(&dialog, kLength)->currentText(), "10");
        for (const DayIds& day : kDays) {
            SCOPED_TRACE(day.check);
            EXPECT_FALSE(ctl<QCheckBox>(&dialog, day.check)->isChecked());
            EXPECT_EQ(ctl<QTimeEdit>(&dialog, day.start)->time(), QTime(0, 0, 0));
            EXPECT_EQ(ctl<QTimeEdit>(&dialog, day.end)->time(), QTime(23, 59, 59));
        }
    }
    writeIni("[RecPlan]\nEnable=1\nAutoCover=1\nRecTime=5\nMonEnable=1\nMonSta=7:5:0\nMonEnd=22:00:00\n"
             "SunEnable=1\nSunSta=22:00:00\nSunEnd=06:00:00\nTueSta=7:5\nTueEnd=24:00:00\nWedSta=x\n");
    {
        CLocalRecPlanDlg dialog;
        EXPECT_TRUE(ctl<QCheckBox>(&dialog, kEnable)->isChecked());
        EXPECT_TRUE(ctl<QCheckBox>(&dialog, kAutoCover)->isChecked());
        EXPECT_EQ(ctl<QComboBox>(&dialog, kLength)->currentText(), "30");
        EXPECT_TRUE(ctl<QCheckBox>(&dialog, kDays[1].check)->isChecked());
        EXPECT_EQ(ctl<QTimeEdit>(&dialog, kDays[1].start)->text(), "07:05:00");
        EXPECT_EQ(ctl<QTimeEdit>(&dialog, kDays[7].start)->time(), QTime(22, 0, 0));
        EXPECT_EQ(ctl<QTimeEdit>(&dialog, kDays[7].end)->time(), QTime(6, 0, 0));
        EXPECT_FALSE(ctl<QCheckBox>(&dialog, kDays[0].check)->isChecked());
        // Texts that are no time of day leave their pickers at the time the dialog was made.
        for (int picker : {kDays[2].start, kDays[2].end, kDays[3].start}) {
            SCOPED_TRACE(picker);
            EXPECT_LT(distanceFromNow(ctl<QTimeEdit>(&dialog, picker)->time()), 120);
        }
    }
    // A length the list has not: nothing selected.
    writeIni("[RecPlan]\nRecTime=9\n");
    {
        CLocalRecPlanDlg dialog;
        EXPECT_EQ(ctl<QComboBox>(&dialog, kLength)->currentIndex(), -1);
    }
}

TEST_F(LocalDialogsTest, OkRewritesEveryPlanKeyInTwoDigitForm)
{
    writeIni("[RecPlan]\nEnable=1\nAutoCover=0\nRecTime=5\nMonEnable=1\nMonSta=7:5:0\nMonEnd=22:00:00\n"
             "SunEnable=1\nSunSta=22:00:00\nSunEnd=06:00:00\n");
    {
        CLocalRecPlanDlg dialog;
        dialog.show();
        ctl<QPushButton>(&dialog, 1)->click();
        EXPECT_FALSE(dialog.isVisible()) << "OK hides the dialog";
    }
    EXPECT_EQ(ini("RecPlan", "Enable"), "1");
    EXPECT_EQ(ini("RecPlan", "AutoCover"), "0");
    EXPECT_EQ(ini("RecPlan", "RecTime"), "5");
    EXPECT_EQ(ini("RecPlan", "MonEnable"), "1");
    EXPECT_EQ(ini("RecPlan", "MonSta"), "07:05:00");
    EXPECT_EQ(ini("RecPlan", "MonEnd"), "22:00:00");
    EXPECT_EQ(ini("RecPlan", "SunSta"), "22:00:00") << "a start after its end is saved as set";
    EXPECT_EQ(ini("RecPlan", "SunEnd"), "06:00:00");
    for (const char* day : kRecPlanDayNames) {
        SCOPED_TRACE(day);
        const std::string d = day;
        EXPECT_NE(ini("RecPlan", (d + "Enable").c_str()), "<missing>");
        EXPECT_NE(ini("RecPlan", (d + "Sta").c_str()), "<missing>");
        EXPECT_NE(ini("RecPlan", (d + "End").c_str()), "<missing>");
    }
    EXPECT_EQ(ini("RecPlan", "EveSta"), "00:00:00");
    EXPECT_EQ(ini("RecPlan", "EveEnd"), "23:59:59");

    // Edits go in; a length the list cannot show is kept as stored.
    writeIni("[RecPlan]\nRecTime=9\n");
    {
        CLocalRecPlanDlg dialog;
        ctl<QCheckBox>(&dialog, kAutoCover)->setChecked(true);
        ctl<QCheckBox>(&dialog, kDays[4].check)->setChecked(true);
        ctl<QTimeEdit>(&dialog, kDays[4].start)->setTime(QTime(8, 30, 0));
        dialog.accept();
    }
    EXPECT_EQ(ini("RecPlan", "RecTime"), "9");
    EXPECT_EQ(ini("RecPlan", "AutoCover"), "1");
    EXPECT_EQ(ini("RecPlan", "ThuEnable"), "1");
    EXPECT_EQ(ini("RecPlan", "ThuSta"), "08:30:00");
}

TEST_F(LocalDialogsTest, PlanWithoutIniHoldsInTheProcessOnly)
{
    writeIni(nullptr);
    CLocalRecPlanDlg dialog;
    ctl<QCheckBox>(&dialog, kEnable)->setChecked(true);
    ctl<QComboBox>(&dialog, kLength)->setCurrentIndex(3);
    ctl<QTimeEdit>(&dialog, kDays[0].start)->setTime(QTime(1, 2, 3));
    dialog.accept();
    EXPECT_FALSE(iniExists()) << "no file is made";
    const RecPlan plan = CAppConfig::GetInstance()->CopyRecPlan();
    EXPECT_TRUE(plan.Enable);
    EXPECT_EQ(plan.RecTime, 3);
    EXPECT_EQ(plan.days[0].start, "01:02:03");
}

// Monday 10:00 on the worker's clock.
class MondayMorning final : public RecordPlanClock {
public:
    PlanLocalTime localTime() const override { return {1, 10 * 3600}; }
    uint32_t tick() const override { return 0; }
};

TEST_F(LocalDialogsTest, ThePlanWorkerFollowsASavedPlanOnItsNextPass)
{
    writeIni("[RecPlan]\nEnable=0\n");
    RecordPlanOptions options;
    options.clock = std::make_shared<MondayMorning>();
    options.recordFolder = data.file(QStringLiteral("Record"));
    RecordPlanWorker worker(4, options); // reads the plan from CAppConfig on every pass
    EXPECT_EQ(worker.runPass(), RecordPlanWorker::Pass::Disabled);

    CLocalRecPlanDlg dialog;
    ctl<QCheckBox>(&dialog, kEnable)->setChecked(true);
    ctl<QCheckBox>(&dialog, kDays[1].check)->setChecked(true);
    ctl<QTimeEdit>(&dialog, kDays[1].start)->setTime(QTime(9, 0, 0));
    ctl<QTimeEdit>(&dialog, kDays[1].end)->setTime(QTime(11, 0, 0));
    dialog.reject();
    EXPECT_EQ(worker.runPass(), RecordPlanWorker::Pass::Disabled) << "a cancelled plan is not followed";
    dialog.accept();
    EXPECT_EQ(worker.runPass(), RecordPlanWorker::Pass::WindowOpen);
    ctl<QTimeEdit>(&dialog, kDays[1].end)->setTime(QTime(9, 30, 0));
    dialog.accept();
    EXPECT_EQ(worker.runPass(), RecordPlanWorker::Pass::WindowClosed);
}

} // namespace
