// The recording plan against a camera: planned recordings written by libLumora under
// Record/<UID>, rotation after the segment, recordings started by hand, suspension, and AutoCover
// after a start that failed. The plan's clock is the test's.
#include "LiveViewTestSupport.h"
#include "PlanTestClock.h"
#include "liveview/RecordPlan.h"

#include "libLumora.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <fstream>
#include <gtest/gtest.h>

namespace {

using livetest::Camera;
using livetest::DataFolder;
using livetest::PlanTestClock;
using livetest::WaitFor;

constexpr int kRecording = 0x80;

// Monday's own entry off, Eve 08:00:00-18:00:00, five-minute segments.
const char* kPlanIni = "[RecPlan]\nEnable=1\nAutoCover=1\nRecTime=0\nEveEnable=1\nEveSta=08:00:00\nEveEnd=18:00:00\n"
                       "MonEnable=0\n";

class RecordPlanSdk : public ::testing::Test {
protected:
    void SetUp() override
    {
        data = std::make_unique<DataFolder>(kPlanIni);
        camera = std::make_unique<Camera>("PLAN", livetest::SmallH264());
        ASSERT_TRUE(camera->startAndLogin());
        ASSERT_TRUE(camera->startVideo());
        clock = std::make_shared<PlanTestClock>();
        clock->setTime(1, 8, 0, 1);
        clock->setTick(0xFFFF0000u); // segments measured across the tick counter's wrap
        RecordPlanOptions options;
        options.clock = clock;
        options.freeSpaceGb = [this](const QString&) { return freeGb; };
        options.openWaitMs = 5;
        worker = std::make_unique<RecordPlanWorker>(4, options);
        worker->cell(2).setDevice(camera->quid());
    }

    void TearDown() override
    {
        worker.reset();
        if (camera)
            StopRecordFile(camera->uid(), 0);
        camera.reset();
    }

    QStringList recordings() const
    {
        return QDir(data->recordFolder() + QStringLiteral("/") + camera->quid()).entryList(QDir::Files, QDir::Name);
    }

    bool recording() const { return (camera->mask() & kRecording) != 0; }

    std::unique_ptr<DataFolder> data;
    std::unique_ptr<Camera> camera;
    std::shared_ptr<PlanTestClock> clock;
    std::optional<double> freeGb = 100.0;
    std::unique_ptr<RecordPlanWorker> worker;
};

TEST_F(RecordPlanSdk, PlannedRecordingIsWrittenUnderRecordUidInsideTheWindowOnly)
{
    clock->setTime(1, 8, 0, 0);
    EXPECT_EQ(worker->runPass(), RecordPlanWorker::Pass::WindowClosed);
    EXPECT_FALSE(recording());
    EXPECT_TRUE(recordings().isEmpty());

    clock->setTime(1, 8, 0, 1);
    EXPECT_EQ(worker->runPass(), RecordPlanWorker::Pass::WindowOpen);
    EXPECT_TRUE(recording());
    EXPECT_EQ(worker->cell(2).startTick(), clock->tick());
    const QStringList files = recordings();
    ASSERT_EQ(files.size(), 1);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d{8}-\\d{6}\\.avi$")).match(files.front()).hasMatch()) << files.front().toStdString();
    const QString path = data->recordFolder() + QStringLiteral("/") + camera->quid() + QStringLiteral("/") + files.front();
    ASSERT_TRUE(WaitFor([&] { return QFileInfo(path).size() > 4096; }));

    // Leaving the window does not stop the recording.
    clock->setTime(1, 18, 0, 0);
    EXPECT_EQ(worker->runPass(), RecordPlanWorker::Pass::WindowClosed);
    EXPECT_TRUE(recording());
}

TEST_F(RecordPlanSdk, SegmentRotatesOnlyAfterItsLength)
{
    ASSERT_EQ(worker->runPass(), RecordPlanWorker::Pass::WindowOpen);
    ASSERT_TRUE(recording());
    clock->advanceMs(5 * 60 * 1000); // exactly five minutes: still the same segment
    worker->runPass();
    EXPECT_TRUE(recording());
    clock->advanceMs(1000);
    worker->runPass(); // over: this pass ends the segment
    EXPECT_FALSE(recording());
    EXPECT_FALSE(worker->cell(2).startTick().has_value());
    worker->runPass(); // and the next one starts the next
    EXPECT_TRUE(recording());
    EXPECT_EQ(worker->cell(2).startTick(), clock->tick());
}

TEST_F(RecordPlanSdk, RecordingStartedByHandIsNotRotatedAtOnce)
{
    clock->setTick(123456789u);
    ASSERT_EQ(StartRecordFile(camera->uid(), 0, std::string()), 0);
    worker->cell(2).noteRecordingStarted();
    worker->runPass();
    EXPECT_TRUE(recording());
    EXPECT_EQ(worker->cell(2).startTick(), 123456789u);

    // A recording nobody announced starts its segment when the plan first sees it.
    StopRecordFile(camera->uid(), 0);
    worker->cell(2).setDevice(QString());
    worker->cell(2).setDevice(camera->quid());
    ASSERT_EQ(StartRecordFile(camera->uid(), 0, std::string()), 0);
    clock->setTick(987654321u);
    worker->runPass();
    EXPECT_TRUE(recording());
    EXPECT_EQ(worker->cell(2).startTick(), 987654321u);
}

TEST_F(RecordPlanSdk, CellTickResults)
{
    const RecPlan plan = CAppConfig::GetInstance()->CopyRecPlan();
    EXPECT_EQ(worker->cell(0).PlanRecordTick(plan), RecordPlan::kTickNoVideo) << "no device";
    worker->cell(1).setDevice(QStringLiteral("HOWNOVIDEO"));
    EXPECT_EQ(worker->cell(1).PlanRecordTick(plan), RecordPlan::kTickNoVideo) << "device without video";
    worker->cell(2).suspend();
    EXPECT_EQ(worker->cell(2).PlanRecordTick(plan), RecordPlan::kTickSuspended);
    EXPECT_FALSE(recording());
    worker->runPass();
    EXPECT_FALSE(recording()) << "a suspended cell was recorded";
}

TEST_F(RecordPlanSdk, WorkerThreadRecordsUnderItsClockAndStops)
{
    ASSERT_TRUE(worker->start());
    EXPECT_TRUE(WaitFor([&] { return recording(); }));
    worker->stop();
    EXPECT_FALSE(worker->running());
    EXPECT_EQ(recordings().size(), 1);
}

TEST_F(RecordPlanSdk, FailedStartDeletesTheOldestRecordingsWhenSpaceIsLow)
{
    // libLumora cannot make its folder (a file stands in the way): StartRecordFile gives -1.
    const QString blocked = data->file(QStringLiteral("blocked"));
    std::ofstream(blocked.toStdString()) << "x";
    SetRecPath((blocked + QStringLiteral("/Record")).toStdString());
    const QString folder = data->recordFolder() + QStringLiteral("/") + camera->quid();
    ASSERT_TRUE(QDir().mkpath(folder));
    for (int i = 0; i < 7; ++i) {
        const QString path = folder + QStringLiteral("/old%1.avi").arg(i);
        std::ofstream(path.toStdString()) << "avi";
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        ASSERT_TRUE(file.setFileTime(QDateTime::currentDateTime().addSecs(-3600 + 60 * i), QFileDevice::FileModificationTime));
    }
    freeGb = 0.5;
    const RecPlan plan = CAppConfig::GetInstance()->CopyRecPlan();
    EXPECT_EQ(worker->cell(2).PlanRecordTick(plan), -1);
    worker->runPass();
    EXPECT_EQ(recordings(), (QStringList{QStringLiteral("old5.avi"), QStringLiteral("old6.avi")}));

    freeGb = 5.0; // enough space: nothing more goes
    worker->runPass();
    EXPECT_EQ(recordings().size(), 2);
    SetRecPath(data->recordFolder().toStdString());
}

} // namespace
