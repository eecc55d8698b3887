// The LAN search dialog and the alarm pane against real cameras: answers become rows (one per
// MAC), checked rows are stored and logged into; a manual row; an alarm pushed by a camera
// becomes a row of the pane and of "Alarm.db" and, when raised, a pop-up.
#include "AlarmPaneView.h"
#include "AlarmPopup.h"
#include "DevSearchDlg.h"
#include "DevTreeView.h"
#include "DeviceDatabases.h"
#include "FrameFixture.h"
#include "LanSpoofer.h"
#include "MainFrame.h"
#include "ViewTree.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <gtest/gtest.h>
#include <memory>

using namespace frametest;

namespace {

class FrameWithCameras : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (m_frame)
            m_frame->ShutDown();
        m_frame.reset();
    }

    std::unique_ptr<Camera> camera(const char* prefix)
    {
        auto cam = std::make_unique<Camera>(uniqueUid(prefix), "qelvo");
        EXPECT_TRUE(cam->start());
        return cam;
    }

    QString cell(QTableWidget* list, int row, int column) const
    {
        const QTableWidgetItem* item = list->item(row, column);
        return item ? item->text() : QString();
    }

    int rowOf(QTableWidget* list, const std::string& uid) const
    {
        for (int row = 0; row < list->rowCount(); ++row)
            if (cell(list, row, DevSearchDlg::Uid) == QString::fromStdString(uid))
                return row;
        return -1;
    }

    bool online(const std::string& uid) const
    {
        QTreeWidgetItem* n = m_frame->devTreePane()->tree()->findDevice(QString::fromStdString(uid));
        return n && CViewTree::image(n) == CViewTree::Online && CViewTree::loggedIn(n) == 1;
    }

    DataFolder m_data;
    std::unique_ptr<CMainFrame> m_frame;
};

TEST_F(FrameWithCameras, LanSearchListsCamerasAndAddsTheCheckedOnes)
{
    auto a = camera("LANA");
    auto b = camera("LANB");
    m_frame = std::make_unique<CMainFrame>();
    EXPECT_EQ(m_frame->devTreePane()->tree()->root(), nullptr); // no DevInfo.db yet
    m_frame->OnAddDevice();
    DevSearchDlg* dialog = m_frame->devTreePane()->searchDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->isVisible());
    QTableWidget* list = dialog->list();

    dialog->OnSearch();
    EXPECT_FALSE(dialog->searchButton()->isEnabled());
    ASSERT_TRUE(waitFor([&] { return rowOf(list, a->uid()) >= 0 && rowOf(list, b->uid()) >= 0; }));
    // The probe goes out three times; each camera still has one row.
    ASSERT_TRUE(waitFor([&] { return dialog->searchButton()->isEnabled(); }));
    EXPECT_EQ(list->rowCount(), 2);
    const int row = rowOf(list, a->uid());
    EXPECT_EQ(cell(list, row, DevSearchDlg::Ip), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(cell(list, row, DevSearchDlg::Password), QStringLiteral("qelvo"));
    EXPECT_EQ(cell(list, row, DevSearchDlg::Alias), QStringLiteral("Camera"));
    EXPECT_EQ(cell(list, row, DevSearchDlg::Software), QStringLiteral("V2.1.0.camsim"));
    EXPECT_EQ(cell(list, row, DevSearchDlg::Hardware), QStringLiteral("HW1.0"));
    EXPECT_TRUE(cell(list, row, DevSearchDlg::Mac).startsWith(QStringLiteral("02:4c:")));
    // Anyone on the LAN can answer: nothing is ticked until the user ticks it.
    EXPECT_EQ(list->item(row, DevSearchDlg::Check)->checkState(), Qt::Unchecked);
    EXPECT_EQ(list->item(rowOf(list, b->uid()), DevSearchDlg::Check)->checkState(), Qt::Unchecked);

    // An alias with quotes; only the first camera ticked.
    list->item(row, DevSearchDlg::Alias)->setText(QStringLiteral("Tom's \"front\" door"));
    list->item(row, DevSearchDlg::Check)->setCheckState(Qt::Checked);
    dialog->OnAdd();
    EXPECT_FALSE(dialog->isVisible());

    const auto rows = DevInfoTable::load(m_data.path());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].uid, QString::fromStdString(a->uid()));
    EXPECT_EQ(rows[0].alias, QStringLiteral("Tom's \"front\" door"));
    QTreeWidgetItem* root = m_frame->devTreePane()->tree()->root();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->childCount(), 1);
    EXPECT_TRUE(waitFor([&] { return online(a->uid()); }));

    // Opening it again shows the same dialog with its rows.
    m_frame->OnAddDevice();
    EXPECT_EQ(m_frame->devTreePane()->searchDialog(), dialog);
    EXPECT_EQ(list->rowCount(), 2);
}

TEST_F(FrameWithCameras, SpoofedAnswerFloodIsCappedAndNothingIsTicked)
{
    LanSpoofer spoofer(searchPort(), 1500);
    ASSERT_TRUE(spoofer.ok());
    m_frame = std::make_unique<CMainFrame>();
    m_frame->OnAddDevice();
    DevSearchDlg* dialog = m_frame->devTreePane()->searchDialog();
    QTableWidget* list = dialog->list();
    dialog->OnSearch();
    ASSERT_TRUE(waitFor([&] { return dialog->searchButton()->isEnabled(); }, 30000));
    EXPECT_GT(spoofer.sent(), DevSearchDlg::kMaxSearchRows);
    EXPECT_GT(list->rowCount(), 0);
    EXPECT_LE(list->rowCount(), DevSearchDlg::kMaxSearchRows) << "the list is capped";
    if (list->rowCount() == DevSearchDlg::kMaxSearchRows) {
        EXPECT_GT(dialog->droppedAnswers(), 0);
    }
    for (int row = 0; row < list->rowCount(); ++row)
        ASSERT_EQ(list->item(row, DevSearchDlg::Check)->checkState(), Qt::Unchecked) << "row " << row;

    // Add stores nothing the user did not tick.
    dialog->OnAdd();
    EXPECT_TRUE(DevInfoTable::load(m_data.path()).empty());
    EXPECT_EQ(m_frame->devTreePane()->tree()->root(), nullptr);
}

TEST_F(FrameWithCameras, LanSearchColumnsShareTheShownWidth)
{
    m_frame = std::make_unique<CMainFrame>();
    m_frame->OnAddDevice();
    DevSearchDlg* dialog = m_frame->devTreePane()->searchDialog();
    ASSERT_TRUE(dialog->isVisible());
    QTableWidget* list = dialog->list();
    int total = 0;
    for (int c = 0; c < DevSearchDlg::ColumnCount; ++c) {
        total += list->columnWidth(c);
        if (c != DevSearchDlg::Check) {
            EXPECT_GE(list->columnWidth(c), list->viewport()->width() / 10) << "column " << c << " collapsed";
        }
    }
    EXPECT_GE(total, list->viewport()->width() * 9 / 10) << "the columns fill the list as the user sees it";
    // A larger dialog gives the columns the room.
    const int before = list->columnWidth(DevSearchDlg::Uid);
    dialog->resize(dialog->width() + 300, dialog->height());
    EXPECT_GT(list->columnWidth(DevSearchDlg::Uid), before);
}

TEST_F(FrameWithCameras, ManualRowAddsACameraByHand)
{
    auto cam = camera("MAN");
    m_frame = std::make_unique<CMainFrame>();
    m_frame->OnAddDevice();
    DevSearchDlg* dialog = m_frame->devTreePane()->searchDialog();
    QTableWidget* list = dialog->list();
    dialog->OnManual();
    ASSERT_EQ(list->rowCount(), 1);
    EXPECT_EQ(cell(list, 0, DevSearchDlg::Uid), QStringLiteral("UID"));
    EXPECT_TRUE(list->item(0, DevSearchDlg::Uid)->flags() & Qt::ItemIsEditable);
    EXPECT_FALSE(list->item(0, DevSearchDlg::Ip)->flags() & Qt::ItemIsEditable);
    list->item(0, DevSearchDlg::Uid)->setText(QString::fromStdString(cam->uid()));
    list->item(0, DevSearchDlg::Password)->setText(QStringLiteral("qelvo"));
    dialog->OnAdd();
    EXPECT_EQ(DevInfoTable::password(m_data.path(), QString::fromStdString(cam->uid())), QStringLiteral("qelvo"));
    EXPECT_TRUE(waitFor([&] { return online(cam->uid()); }));
}

TEST_F(FrameWithCameras, PushedAlarmAddsARowStoresItAndPopsUp)
{
    auto cam = camera("ALARM");
    ASSERT_EQ(DevInfoTable::store(m_data.path(), {{QString::fromStdString(cam->uid()), "qelvo", "yard", "m"}}),
              DevInfoTable::StoreResult::Stored);
    m_frame = std::make_unique<CMainFrame>();
    ASSERT_TRUE(waitFor([&] { return online(cam->uid()); }));
    QTableWidget* list = m_frame->alarmPane()->list();
    ASSERT_EQ(list->rowCount(), 0);

    ASSERT_TRUE(cam->pushAlarm(R"({"AlarmReport.info":{"AlarmType":1,"AlarmSta":0,)"
                               R"("AlarmTime":{"Sec":1,"Min":2,"Hour":3},"AlarmDate":{"Day":4,"Mon":5,"Year":2026}}})"));
    ASSERT_TRUE(waitFor([&] { return list->rowCount() == 1; }));
    EXPECT_EQ(m_frame->alarmPopups(), 0); // not raised: a row only

    ASSERT_TRUE(cam->pushAlarm(R"({"AlarmReport.info":{"AlarmType":1,"AlarmSta":1,)"
                               R"("AlarmTime":{"Sec":9,"Min":8,"Hour":7},"AlarmDate":{"Day":10,"Mon":12,"Year":2026}}})"));
    ASSERT_TRUE(waitFor([&] { return list->rowCount() == 2; }));
    EXPECT_EQ(cell(list, 1, 0), QString::fromStdString(cam->uid()));
    EXPECT_EQ(cell(list, 1, 1), QStringLiteral("2026-12-10 07:08:09"));
    EXPECT_EQ(cell(list, 1, 2), QStringLiteral("Motion alarm"));
    EXPECT_EQ(m_frame->alarmPopups(), 1);
    CAlarmPopup* popup = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* p = qobject_cast<CAlarmPopup*>(w); p && p->isVisible())
            popup = p;
    ASSERT_NE(popup, nullptr);
    EXPECT_EQ(popup->text(), QString::fromStdString(cam->uid()) + QStringLiteral("\n2026-12-10 07:08:09"));
    EXPECT_TRUE(popup->windowFlags() & Qt::FramelessWindowHint);

    const auto rows = AlarmTable::load(m_data.path());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].time, QStringLiteral("2026-12-10 07:08:09"));
    EXPECT_EQ(rows[1].detail, QStringLiteral("Motion alarm"));

    // A document that is not JSON is dropped.
    ASSERT_TRUE(cam->pushAlarm("not json"));
    ASSERT_TRUE(cam->pushAlarm(R"({"AlarmReport.info":{"AlarmSta":0}})"));
    ASSERT_TRUE(waitFor([&] { return list->rowCount() == 3; }));
    EXPECT_EQ(AlarmTable::load(m_data.path()).size(), 3u);
}

} // namespace
