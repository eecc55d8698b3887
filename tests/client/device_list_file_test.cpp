// The main frame over a "DevInfo.db" it cannot use: held by another program, garbage, or cut
// short. The frame comes up without waiting out the lock, says what is wrong and where the file
// is, keeps a damaged file aside byte for byte, and the user goes on with the devices.
#include "CaseName.h"
#include "ClientTestSupport.h"
#include "DevTreeView.h"
#include "DeviceDatabases.h"
#include "FrameFixture.h"
#include "MainFrame.h"
#include "ViewTree.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <sqlite3.h>

using namespace frametest;

namespace {

class DeviceListFileTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (m_frame)
            m_frame->ShutDown();
        m_frame.reset();
        clienttest::CloseMessageBoxes();
    }
    QString dbPath() const { return DevInfoTable::path(m_data.path()); }
    void storeDevices(int count)
    {
        std::vector<DevInfoRow> rows;
        for (int i = 0; i < count; ++i)
            rows.push_back({QStringLiteral("NOCAM%1").arg(i), "pw", QStringLiteral("Camera %1").arg(i), QString()});
        ASSERT_EQ(DevInfoTable::store(m_data.path(), rows), DevInfoTable::StoreResult::Stored);
    }
    int listedDevices() const
    {
        QTreeWidgetItem* root = m_frame->devTreePane()->tree()->root();
        return root ? root->childCount() : 0;
    }
    QString onlyMessage() const
    {
        EXPECT_TRUE(waitFor([] { return !clienttest::VisibleMessageBoxes().isEmpty(); }));
        const auto boxes = clienttest::VisibleMessageBoxes();
        EXPECT_EQ(boxes.size(), 1);
        return boxes.isEmpty() ? QString() : boxes.front()->text();
    }
    static QByteArray contents(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    frametest::DataFolder m_data{QStringLiteral("EN_LAN"), true}; // the shipped texts
    std::unique_ptr<CMainFrame> m_frame;
};

TEST_F(DeviceListFileTest, LockedFileIsReportedAndTheFrameComesUpEmpty)
{
    storeDevices(2);
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(dbPath().toUtf8().constData(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE; INSERT INTO DevInfo VALUES('X','p','n','m');", nullptr, nullptr, nullptr), SQLITE_OK);

    QElapsedTimer clock;
    clock.start();
    m_frame = std::make_unique<CMainFrame>();
    // A hang guard, not a speed measure: the busy handler used to hold the GUI thread for 60 s.
    EXPECT_LT(clock.elapsed(), 15000);
    EXPECT_EQ(listedDevices(), 0);
    const QString text = onlyMessage();
    EXPECT_TRUE(text.contains(QDir::toNativeSeparators(dbPath()))) << text.toStdString();
    EXPECT_TRUE(text.contains("locked")) << text.toStdString();

    // Adding a device while the lock holds fails instead of holding the window for a minute.
    auto adding = std::async(std::launch::async, [this] {
        return DevInfoTable::store(m_data.path(), {{QStringLiteral("NOCAM9"), "pw", QStringLiteral("Added"), QString()}});
    });
    ASSERT_EQ(adding.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_NE(adding.get(), DevInfoTable::StoreResult::Stored);

    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(DevInfoTable::load(m_data.path()).size(), 2u) << "the locked file is left as it was";
    EXPECT_FALSE(QFile::exists(dbPath() + ".damaged"));
}

struct DamageCase {
    const char* name;
    bool truncate;  // cut a real database short instead of writing garbage
};
void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.name; }

class DamagedDeviceList : public DeviceListFileTest, public ::testing::WithParamInterface<DamageCase> {};

TEST_P(DamagedDeviceList, IsKeptAsideReportedAndTheUserGoesOn)
{
    QByteArray bytes;
    if (GetParam().truncate) {
        storeDevices(400);
        bytes = contents(dbPath()).left(contents(dbPath()).size() / 2);
    } else {
        bytes = QByteArray("this is no database\n").repeated(300);
    }
    {
        QFile file(dbPath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    }
    m_frame = std::make_unique<CMainFrame>();
    const QString text = onlyMessage();
    EXPECT_TRUE(text.contains(QDir::toNativeSeparators(dbPath()))) << text.toStdString();
    EXPECT_TRUE(text.contains("damaged")) << text.toStdString();
    EXPECT_TRUE(text.contains(QDir::toNativeSeparators(dbPath() + ".damaged"))) << text.toStdString();
    EXPECT_EQ(contents(dbPath() + ".damaged"), bytes) << "the damaged file is kept byte for byte";

    // The user goes on: a device added now is stored and listed.
    const int before = listedDevices();
    ASSERT_EQ(DevInfoTable::store(m_data.path(), {{"NEWCAM", "pw", "New", ""}}), DevInfoTable::StoreResult::Stored);
    m_frame->devTreePane()->AddDevice("NEWCAM", "", "New", "pw");
    EXPECT_EQ(listedDevices(), before + 1);
    bool complete = false;
    const auto rows = DevInfoTable::load(m_data.path(), &complete);
    EXPECT_TRUE(complete);
    EXPECT_EQ(static_cast<int>(rows.size()), before + 1) << "what could be read lives on beside the new device";
}

INSTANTIATE_TEST_SUITE_P(Files, DamagedDeviceList,
                         ::testing::Values(DamageCase{"garbage", false}, DamageCase{"truncated", true}), CaseName());

} // namespace
