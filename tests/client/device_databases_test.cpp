// "DevInfo.db" and "Alarm.db" on real files: values with quotes go in through bound parameters,
// a stored device is replaced, the alarm table is made by the first alarm.
#include "DeviceDatabases.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class DeviceDatabasesTest : public ::testing::Test {
protected:
    QTemporaryDir m_dir;
    QString folder() const { return m_dir.path(); }
};

TEST_F(DeviceDatabasesTest, QuotesInEveryValueAreStoredAsWritten)
{
    const DevInfoRow row{"CAM'1\"; DROP TABLE DevInfo; --", "p'a\"ss", "Tom's \"door\"", "aa:bb'"};
    ASSERT_EQ(DevInfoTable::store(folder(), {row}), DevInfoTable::StoreResult::Stored);
    bool complete = false;
    const auto rows = DevInfoTable::load(folder(), &complete);
    EXPECT_TRUE(complete);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].uid, row.uid);
    EXPECT_EQ(rows[0].password, row.password);
    EXPECT_EQ(rows[0].alias, row.alias);
    EXPECT_EQ(rows[0].mac, row.mac);
    EXPECT_EQ(DevInfoTable::password(folder(), row.uid), row.password);
    EXPECT_TRUE(DevInfoTable::remove(folder(), row.uid));
    EXPECT_TRUE(DevInfoTable::load(folder()).empty());
}

TEST_F(DeviceDatabasesTest, AStoredDeviceIsReplacedAndOrderKept)
{
    std::vector<DevInfoRow> stored;
    ASSERT_EQ(DevInfoTable::store(folder(), {{"A", "1", "a", "m1"}, {"B", "2", "b", "m2"}, {"A", "3", "a2", "m3"}}, &stored),
              DevInfoTable::StoreResult::Stored);
    EXPECT_EQ(stored.size(), 3u);
    const auto rows = DevInfoTable::load(folder());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].uid, "B");
    EXPECT_EQ(rows[1].uid, "A");
    EXPECT_EQ(rows[1].password, "3");
    EXPECT_EQ(rows[1].mac, "m3");
}

TEST_F(DeviceDatabasesTest, NothingCheckedStillCreatesTheTable)
{
    ASSERT_EQ(DevInfoTable::store(folder(), {}), DevInfoTable::StoreResult::Stored);
    EXPECT_TRUE(DevInfoTable::exists(folder()));
    bool complete = false;
    EXPECT_TRUE(DevInfoTable::load(folder(), &complete).empty());
    EXPECT_TRUE(complete);
}

TEST_F(DeviceDatabasesTest, MissingFileReadsEmptyAndDeletesNothing)
{
    EXPECT_TRUE(DevInfoTable::load(folder()).empty());
    EXPECT_TRUE(DevInfoTable::password(folder(), "X").isEmpty());
    EXPECT_FALSE(DevInfoTable::remove(folder(), "X"));
    EXPECT_FALSE(DevInfoTable::exists(folder()));
}

TEST_F(DeviceDatabasesTest, AFileThatIsNotADatabaseFailsCleanly)
{
    QFile file(DevInfoTable::path(folder()));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(4096, 'x'));
    file.close();
    EXPECT_EQ(DevInfoTable::store(folder(), {{"A", "1", "a", "m"}}), DevInfoTable::StoreResult::InsertFailed);
    bool complete = true;
    EXPECT_TRUE(DevInfoTable::load(folder(), &complete).empty());
    EXPECT_FALSE(complete);
    EXPECT_TRUE(DevInfoTable::removeFile(folder()));
}

TEST_F(DeviceDatabasesTest, AlarmsAreAppendedInArrivalOrderAfterTheTableIsMade)
{
    ASSERT_TRUE(AlarmTable::append(folder(), {"CAM'1", "2026-12-10 10:00:00", "Motion \"alarm\""}));
    ASSERT_TRUE(AlarmTable::append(folder(), {"CAM2", "2026-12-09 09:00:00", "Motion"}));
    auto rows = AlarmTable::load(folder());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].uid, "CAM'1");
    EXPECT_EQ(rows[0].detail, "Motion \"alarm\"");
    EXPECT_EQ(rows[1].time, "2026-12-09 09:00:00");
    // Deleting the file: the next alarm makes the table again.
    ASSERT_TRUE(QFile::remove(AlarmTable::path(folder())));
    ASSERT_TRUE(AlarmTable::append(folder(), {"CAM3", "t", "d"}));
    rows = AlarmTable::load(folder());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].uid, "CAM3");
}

} // namespace
