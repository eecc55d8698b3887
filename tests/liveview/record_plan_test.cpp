// The recording plan's rules, AutoCover on real files and the worker thread's life, without a
// camera (cells that show no device are left alone).
#include "CaseName.h"
#include "PlanTestClock.h"
#include "liveview/RecordPlan.h"

#include "ClientPaths.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <fstream>
#include <gtest/gtest.h>

namespace {

using livetest::PlanTestClock;

struct TimeCase {
    const char* name;
    const char* text;
    int seconds;
};

class ParseTimeOfDayTest : public ::testing::TestWithParam<TimeCase> {};

TEST_P(ParseTimeOfDayTest, GivesSecondsSinceMidnight)
{
    EXPECT_EQ(RecordPlan::ParseTimeOfDay(QString::fromUtf8(GetParam().text)), GetParam().seconds);
}

INSTANTIATE_TEST_SUITE_P(Plan, ParseTimeOfDayTest,
                         ::testing::Values(TimeCase{"Midnight", "00:00:00", 0}, TimeCase{"Morning", "08:00:00", 28800},
                                           TimeCase{"LastSecond", "23:59:59", 86399},
                                           TimeCase{"Mixed", "12:34:56", 45296},
                                           TimeCase{"SingleDigits", "8:5:7", 8 * 3600 + 5 * 60 + 7},
                                           TimeCase{"NoSecondsField", "08:30", 8 * 3600 + 30 * 60},
                                           TimeCase{"EmptyMinutes", "08::00", 8 * 3600},
                                           TimeCase{"LeadingBlank", " 7:00:00", 7 * 3600},
                                           TimeCase{"StartsWithColon", ":10:00", 0}, TimeCase{"NoColon", "0800", 0},
                                           TimeCase{"Empty", "", 0}, TimeCase{"Letters", "ab:cd:ef", 0},
                                           TimeCase{"HugeHours", "99999999999:00:00", 2147483647},
                                           TimeCase{"NegativeHours", "-1:00:00", -3600}),
                         lumora::test::CaseName{});

RecPlan planWith(int day, bool dayOn, const char* dayStart, const char* dayEnd, bool eveOn, const char* eveStart,
                 const char* eveEnd)
{
    RecPlan plan;
    plan.Enable = true;
    for (RecPlanDay& entry : plan.days) {
        entry.enable = false;
        entry.start = QStringLiteral("00:00:00");
        entry.end = QStringLiteral("23:59:59");
    }
    plan.days[static_cast<size_t>(day)] = RecPlanDay{dayOn, QString::fromLatin1(dayStart), QString::fromLatin1(dayEnd)};
    plan.days[0] = RecPlanDay{eveOn, QString::fromLatin1(eveStart), QString::fromLatin1(eveEnd)};
    return plan;
}

struct WindowCase {
    const char* name;
    RecPlan plan;
    int weekday;
    int seconds;
    bool open;
};

class PlanWindowTest : public ::testing::TestWithParam<WindowCase> {};

TEST_P(PlanWindowTest, OpensStrictlyInsideTheDayOrEveWindow)
{
    EXPECT_EQ(RecordPlan::IsWindowOpen(GetParam().plan, GetParam().weekday, GetParam().seconds), GetParam().open);
}

constexpr int at(int h, int m, int s)
{
    return h * 3600 + m * 60 + s;
}

// Monday with its own entry off and Eve 08:00:00-18:00:00; Sunday is entry 7.
const RecPlan kMondayEve = planWith(1, false, "00:00:00", "23:59:59", true, "08:00:00", "18:00:00");
const RecPlan kSundayOnly = planWith(7, true, "10:00:00", "11:00:00", false, "00:00:00", "23:59:59");
const RecPlan kSundayThenEve = planWith(7, true, "10:00:00", "11:00:00", true, "20:00:00", "21:00:00");

INSTANTIATE_TEST_SUITE_P(
    Plan, PlanWindowTest,
    ::testing::Values(WindowCase{"EveStartEdgeClosed", kMondayEve, 1, at(8, 0, 0), false},
                      WindowCase{"EveFirstSecondOpen", kMondayEve, 1, at(8, 0, 1), true},
                      WindowCase{"EveLastSecondOpen", kMondayEve, 1, at(17, 59, 59), true},
                      WindowCase{"EveEndEdgeClosed", kMondayEve, 1, at(18, 0, 0), false},
                      WindowCase{"EveBeforeClosed", kMondayEve, 1, at(7, 0, 0), false},
                      WindowCase{"SundayUsesEntrySeven", kSundayOnly, 7, at(10, 30, 0), true},
                      WindowCase{"SaturdayNotSundayEntry", kSundayOnly, 6, at(10, 30, 0), false},
                      WindowCase{"SundayOutsideItsWindow", kSundayOnly, 7, at(12, 0, 0), false},
                      WindowCase{"SundayThenEveOwnWindow", kSundayThenEve, 7, at(10, 0, 1), true},
                      WindowCase{"SundayThenEveFallsBack", kSundayThenEve, 7, at(20, 30, 0), true},
                      WindowCase{"SundayThenEveNeither", kSundayThenEve, 7, at(15, 0, 0), false}),
    lumora::test::CaseName{});

TEST(PlanSegment, LengthIsRecTimeTimesFivePlusFive)
{
    for (const auto& [recTime, minutes] : std::vector<std::pair<int, int>>{{0, 5}, {1, 10}, {2, 15}, {5, 30}})
        EXPECT_EQ(RecordPlan::SegmentMinutes(recTime), minutes) << recTime;
}

// AutoCover on real files: seven recordings whose names run against their ages, so the test
// tells "oldest" from "first by name".
struct CoverCase {
    const char* name;
    std::optional<double> freeGb;
    int files;
    bool recording;
    int deleted;
};

class AutoCoverTest : public ::testing::TestWithParam<CoverCase> {};

TEST_P(AutoCoverTest, DeletesTheOldestClosedRecordings)
{
    const CoverCase& c = GetParam();
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("HOWUID"));
    ASSERT_TRUE(QDir().mkpath(folder + QStringLiteral("/sub")));
    const QDateTime base = QDateTime::currentDateTime().addDays(-1);
    std::vector<QString> byAge; // oldest first
    for (int i = 0; i < c.files; ++i) {
        const QString path = folder + QStringLiteral("/2026010%1-000000.avi").arg(9 - i);
        std::ofstream(path.toStdString()) << "avi";
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        ASSERT_TRUE(file.setFileTime(base.addSecs(60 * i), QFileDevice::FileModificationTime));
        byAge.push_back(path);
    }
    std::optional<double> reading = c.freeGb;
    QString asked;
    const int deleted = AutoCoverCleanUp(folder, c.recording, [&](const QString& f) {
        asked = f;
        return reading;
    });
    EXPECT_EQ(asked, folder);
    EXPECT_EQ(deleted, c.deleted);
    for (int i = 0; i < c.files; ++i)
        EXPECT_EQ(QFile::exists(byAge[static_cast<size_t>(i)]), i >= c.deleted) << i;
    EXPECT_TRUE(QDir(folder + QStringLiteral("/sub")).exists());
    if (c.recording && c.files > 0) {
        EXPECT_TRUE(QFile::exists(byAge.back())) << "the open recording was deleted";
    }
}

INSTANTIATE_TEST_SUITE_P(Plan, AutoCoverTest,
                         ::testing::Values(CoverCase{"LowSpaceFiveOldest", 0.5, 7, false, 5},
                                           CoverCase{"LowSpaceFewFiles", 0.5, 3, false, 3},
                                           CoverCase{"KeepsTheOpenRecording", 0.5, 3, true, 2},
                                           CoverCase{"OpenRecordingAmongMany", 0.5, 7, true, 5},
                                           CoverCase{"ExactlyOneGigabyte", 1.0, 7, false, 0},
                                           CoverCase{"EnoughSpace", 20.0, 7, false, 0},
                                           CoverCase{"UnreadableSpace", std::nullopt, 7, false, 0},
                                           CoverCase{"EmptyFolder", 0.1, 0, false, 0}),
                         lumora::test::CaseName{});

RecPlan disabledPlan()
{
    return RecPlan{};
}

TEST(PlanWorker, StopEndsTheLongWaitAndJoinsWithinASecond)
{
    RecordPlanOptions options;
    options.loadPlan = disabledPlan; // ten seconds between passes
    options.recordFolder = QStringLiteral("/nonexistent-record-folder");
    RecordPlanWorker worker(32, options);
    ASSERT_TRUE(worker.start());
    ASSERT_TRUE(worker.waitForPasses(0, 20000));
    const auto before = std::chrono::steady_clock::now();
    worker.stop();
    const auto took = std::chrono::steady_clock::now() - before;
    EXPECT_FALSE(worker.running());
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 1000);
}

TEST(PlanWorker, DestructorJoinsARunningWorker)
{
    RecordPlanOptions options;
    options.loadPlan = disabledPlan;
    options.recordFolder = QStringLiteral("/nonexistent-record-folder");
    auto worker = std::make_unique<RecordPlanWorker>(4, options);
    ASSERT_TRUE(worker->start());
    EXPECT_FALSE(worker->start()) << "a second thread was started";
    ASSERT_TRUE(worker->waitForPasses(0, 20000));
    worker.reset(); // must not hang nor leave a thread behind
}

TEST(PlanWorker, PassFollowsThePlanAndTheClock)
{
    auto clock = std::make_shared<PlanTestClock>();
    RecPlan plan = kMondayEve;
    RecordPlanOptions options;
    options.clock = clock;
    options.loadPlan = [&plan] { return plan; };
    options.recordFolder = QStringLiteral("/nonexistent-record-folder");
    RecordPlanWorker worker(32, options);
    clock->setTime(1, 8, 0, 0);
    EXPECT_EQ(worker.runPass(), RecordPlanWorker::Pass::WindowClosed);
    clock->setTime(1, 8, 0, 1);
    EXPECT_EQ(worker.runPass(), RecordPlanWorker::Pass::WindowOpen);
    // Cells that show no device are skipped, with their segment length written.
    EXPECT_EQ(worker.cell(0).PlanRecordTick(plan), RecordPlan::kTickNoVideo);
    EXPECT_EQ(worker.cell(31).segmentMinutes(), RecordPlan::SegmentMinutes(plan.RecTime));
    plan.Enable = false;
    EXPECT_EQ(worker.runPass(), RecordPlanWorker::Pass::Disabled);
}

TEST(PlanWorker, TicksTheGridsOwnCellsThroughItsVisitor)
{
    auto clock = std::make_shared<PlanTestClock>();
    RecPlan plan = kMondayEve;
    plan.RecTime = 3;
    std::vector<std::unique_ptr<RecordPlanCell>> gridCells;
    for (int i = 0; i < 3; ++i)
        gridCells.push_back(std::make_unique<RecordPlanCell>(clock));
    int visits = 0;
    RecordPlanOptions options;
    options.clock = clock;
    options.loadPlan = [&plan] { return plan; };
    options.recordFolder = QStringLiteral("/nonexistent-record-folder");
    options.forEachCell = [&](const std::function<void(RecordPlanCell&)>& tick) {
        ++visits;
        for (const auto& cell : gridCells)
            tick(*cell);
    };
    RecordPlanWorker worker(0, options);
    EXPECT_EQ(worker.sharedClock(), clock);
    clock->setTime(1, 7, 0, 0);
    worker.runPass();
    EXPECT_EQ(visits, 0) << "cells ticked outside the window";
    clock->setTime(1, 12, 0, 0);
    worker.runPass();
    EXPECT_EQ(visits, 1);
    for (const auto& cell : gridCells)
        EXPECT_EQ(cell->segmentMinutes(), 20);
}

TEST(PlanWorker, ReadsThePlanFromTheSettingsFileEveryPass)
{
    QTemporaryDir dir;
    SetDataFolder(dir.path());
    auto writeIni = [&](bool enable) {
        std::ofstream(dir.filePath(QStringLiteral("Lumora.ini")).toStdString(), std::ios::binary)
            << "[RecPlan]\nEnable=" << (enable ? 1 : 0)
            << "\nAutoCover=0\nRecTime=2\nEveEnable=1\nEveSta=08:00:00\nEveEnd=18:00:00\nSunEnable=0\n";
    };
    writeIni(false);
    auto clock = std::make_shared<PlanTestClock>();
    clock->setTime(7, 9, 0, 0);
    RecordPlanOptions options;
    options.clock = clock;
    options.recordFolder = dir.filePath(QStringLiteral("Record"));
    RecordPlanWorker worker(2, options);
    EXPECT_EQ(worker.runPass(), RecordPlanWorker::Pass::Disabled);
    writeIni(true); // the plan dialog saved: the next pass follows it
    EXPECT_EQ(worker.runPass(), RecordPlanWorker::Pass::WindowOpen);
    EXPECT_EQ(worker.cell(1).segmentMinutes(), 15);
}

TEST(PlanWorker, WakeUpRunsTheNextPassAtOnce)
{
    auto clock = std::make_shared<PlanTestClock>();
    RecordPlanOptions options;
    options.clock = clock;
    options.loadPlan = disabledPlan;
    options.recordFolder = QStringLiteral("/nonexistent-record-folder");
    RecordPlanWorker worker(1, options);
    ASSERT_TRUE(worker.start());
    ASSERT_TRUE(worker.waitForPasses(0, 20000));
    const uint64_t done = worker.passes();
    worker.wakeUp();
    EXPECT_TRUE(worker.waitForPasses(done, 20000));
    worker.stop();
}

} // namespace
