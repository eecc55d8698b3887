// The check-box and editable-cell list, driven like a user would.
#include "CXListCtrl.h"

#include <QHeaderView>
#include <QLineEdit>
#include <QTest>
#include <gtest/gtest.h>

namespace {

class ListCtrlTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_list.InsertColumn(0, "");
        m_list.InsertColumn(1, "Alias");
        m_list.InsertColumn(2, "UID");
        m_list.resize(400, 200);
        m_list.show();
        for (int row = 0; row < 3; ++row) {
            m_list.InsertItem(row, "");
            m_list.SetCheckbox(row, 0, 1);
            m_list.SetItemText(row, 1, QString("cam%1").arg(row), QColor(), QColor(255, 225, 255));
            m_list.SetItemText(row, 2, QString("UID%1").arg(row), QColor(Qt::blue), QColor(100, 221, 244));
        }
    }
    QPoint centre(int row, int column) const { return m_list.visualItemRect(m_list.item(row, column)).center(); }

    CXListCtrl m_list;
};

TEST_F(ListCtrlTest, CellsKeepTextsAndColours)
{
    EXPECT_EQ(m_list.GetColumns(), 3);
    EXPECT_EQ(m_list.rowCount(), 3);
    EXPECT_EQ(m_list.GetItemText(2, 2), "UID2");
    EXPECT_EQ(m_list.item(1, 1)->background().color(), QColor(255, 225, 255));
    EXPECT_EQ(m_list.item(1, 2)->foreground().color(), QColor(Qt::blue));
    EXPECT_EQ(m_list.item(1, 2)->textAlignment() & Qt::AlignHCenter, Qt::AlignHCenter);
}

TEST_F(ListCtrlTest, UserTogglesACheckBox)
{
    EXPECT_EQ(m_list.GetItemCheckedState(1, 0), 1);
    // Clicking the check indicator of row 1 clears it.
    const QRect rect = m_list.visualItemRect(m_list.item(1, 0));
    QTest::mouseClick(m_list.viewport(), Qt::LeftButton, {}, QPoint(rect.left() + 10, rect.center().y()));
    EXPECT_EQ(m_list.GetItemCheckedState(1, 0), 0);
    EXPECT_EQ(m_list.GetItemCheckedState(0, 0), 1);
    EXPECT_EQ(m_list.GetItemCheckedState(1, 1), 0) << "a cell without a check box reads as not checked";
}

TEST_F(ListCtrlTest, OnlyEditableCellsTakeTheUsersText)
{
    m_list.SetEdit(0, 1);
    for (int column : {1, 2}) {
        m_list.setCurrentCell(0, column);
        m_list.editItem(m_list.item(0, column));
        auto* editor = m_list.viewport()->findChild<QLineEdit*>();
        if (column == 2) {
            EXPECT_TRUE(editor == nullptr || !editor->isVisible()) << "UID cell is read-only";
            continue;
        }
        ASSERT_NE(editor, nullptr);
        editor->selectAll();
        QTest::keyClicks(editor, "Bob's door");
        QTest::keyClick(editor, Qt::Key_Return);
    }
    EXPECT_EQ(m_list.GetItemText(0, 1), "Bob's door");
    EXPECT_EQ(m_list.GetItemText(0, 2), "UID0");
}

TEST_F(ListCtrlTest, DeleteRowsAndOutOfRangeCallsDoNothing)
{
    m_list.DeleteItem(1);
    EXPECT_EQ(m_list.rowCount(), 2);
    EXPECT_EQ(m_list.GetItemText(1, 2), "UID2");
    m_list.DeleteItem(7);
    m_list.SetItemText(9, 9, "x");
    m_list.SetCheckbox(-1, 0, 1);
    EXPECT_EQ(m_list.GetItemCheckedState(9, 0), 0);
    EXPECT_EQ(m_list.rowCount(), 2);
    m_list.DeleteAllItems();
    EXPECT_EQ(m_list.rowCount(), 0);
    EXPECT_EQ(m_list.GetColumns(), 3);
    EXPECT_EQ(m_list.InsertItem(5, "appended"), 0) << "a row past the end is appended";
}

}  // namespace
