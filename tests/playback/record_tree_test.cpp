// The device record pane and its tree against cameras with SD cards: the device list, the first
// listing of a device, folders listed on expansion, subfolders paged by 20, listings that overlap
// (two folders, two devices), a failed listing listed again, the record menu and its enabling,
// and the tree's pictures.
#include "CaseName.h"
#include "LangText.h"
#include "PlaybackFixture.h"

#include "CRecViewTree.h"
#include "DeviceDatabases.h"
#include "MainFrame.h"
#include "liveview/CDevRecTreeView.h"
#include "libLumora.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QMenu>
#include <QProgressBar>
#include <QTreeWidgetItem>
#include <gtest/gtest.h>
#include <json/json.h>

using namespace playbacktest;
using playbacktest::waitFor;

namespace {

std::string path(const std::string& rest)
{
    return std::string(kSdRoot) + rest;
}

QStringList childTexts(QTreeWidgetItem* node)
{
    QStringList texts;
    for (int i = 0; node && i < node->childCount(); ++i)
        texts << node->child(i)->text(0);
    return texts;
}

class RecordTree : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_session.ready()); }
    CDevRecTreeView* pane() { return m_session.pane(); }
    CRecViewTree* tree() { return m_session.pane()->tree(); }
    QString uid(size_t i = 0) { return m_session.camera(i).quid(); }
    frametest::Camera& cam(size_t i = 0) { return m_session.camera(i).camera(); }

    PlaybackSession m_session{2};
};

TEST_F(RecordTree, DevicesOfTheDatabaseUnderTheRootWithTheirState)
{
    QTreeWidgetItem* root = pane()->root();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->text(0), QStringLiteral("Device list"));
    EXPECT_EQ(CRecViewTree::itemData(root), CRecViewTree::kRoot);
    EXPECT_EQ(childTexts(root), (QStringList{uid(0), uid(1)}));
    for (int i = 0; i < 2; ++i) {
        QTreeWidgetItem* node = root->child(i);
        EXPECT_EQ(CRecViewTree::itemData(node), CRecViewTree::kDevice);
        EXPECT_TRUE(CRecViewTree::HasOnlyPlaceholder(node));
        // Online devices turn to image 0 on the state ticks.
        EXPECT_TRUE(waitFor([&] { return CRecViewTree::image(node) == CRecViewTree::kImageOnline; }));
    }
    // A device already listed is not added again; a new one is added last.
    pane()->AddDeviceNode(uid(1));
    pane()->AddDeviceNode(QStringLiteral("NEWCAM"));
    EXPECT_EQ(childTexts(root), (QStringList{uid(0), uid(1), QStringLiteral("NEWCAM")}));
    // A device that is not online keeps its placeholder and sends nothing when expanded.
    QTreeWidgetItem* offline = root->child(2);
    offline->setExpanded(true);
    EXPECT_EQ(CRecViewTree::itemData(offline), CRecViewTree::kDevice);
    EXPECT_TRUE(CRecViewTree::HasOnlyPlaceholder(offline));
    EXPECT_FALSE(pane()->busy());
}

TEST_F(RecordTree, AddingToAnEmptyTreeMakesTheRootFirst)
{
    CDevRecTreeView empty(m_session.frame());
    QTreeWidgetItem* root = empty.root();
    ASSERT_NE(root, nullptr); // this test's database lists two devices
    empty.tree()->clear();
    empty.AddDeviceNode(QStringLiteral("CAMX"));
    ASSERT_NE(empty.root(), nullptr);
    EXPECT_EQ(empty.root()->text(0), QStringLiteral("Device list"));
    EXPECT_EQ(childTexts(empty.root()), QStringList{QStringLiteral("CAMX")});
}

TEST_F(RecordTree, DevicesAddedLaterFollowTheirStateToo)
{
    // No "DevInfo.db" at start: the pane starts empty; devices the search adds later still show
    // whether they are online.
    QFile::remove(DevInfoTable::path(m_session.data().path()));
    CDevRecTreeView later(m_session.frame());
    later.setTimerIntervals(10, 10, 20);
    EXPECT_EQ(later.root(), nullptr);
    later.AddDeviceNode(uid(0));
    QTreeWidgetItem* node = later.deviceNode(uid(0));
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(CRecViewTree::image(node), CRecViewTree::kImageOffline);
    EXPECT_TRUE(waitFor([&] { return CRecViewTree::image(node) == CRecViewTree::kImageOnline; }));
}

TEST_F(RecordTree, FirstExpansionListsTheCardRootOnce)
{
    ASSERT_TRUE(m_session.listDevice(uid()));
    QTreeWidgetItem* device = pane()->deviceNode(uid());
    EXPECT_EQ(CRecViewTree::itemData(device), CRecViewTree::kDeviceListed);
    EXPECT_EQ(childTexts(device), (QStringList{kDay, kClipDay}));
    for (int i = 0; i < device->childCount(); ++i) {
        EXPECT_EQ(CRecViewTree::itemData(device->child(i)), CRecViewTree::kFolder);
        EXPECT_EQ(CRecViewTree::image(device->child(i)), CRecViewTree::kImageFolder);
        EXPECT_TRUE(CRecViewTree::HasOnlyPlaceholder(device->child(i)));
    }
    EXPECT_EQ(tree()->rootPath(uid()), kSdRoot);
    // The documents the device got: the fixed record-settings query, the count, one page of all.
    const std::vector<std::string> lists = cam().requestBodies(1074);
    ASSERT_EQ(lists.size(), 1u);
    Json::Value list;
    Json::Reader().parse(lists[0], list);
    EXPECT_EQ(Json::FastWriter().write(list["lir"]), "{\"e\":240000,\"m\":1,\"p\":\"/mnt/s0/media/sensor0\",\"si\":0,\"st\":0}\n");
    EXPECT_EQ(pageRequests(cam(), kSdRoot), (std::vector<std::pair<int, int>>{{0, 2}}));
    EXPECT_FALSE(pane()->busy());
    EXPECT_EQ(pane()->busyPosition(), 0);

    // Collapsing and expanding a listed device asks nothing more.
    device->setExpanded(false);
    device->setExpanded(true);
    EXPECT_EQ(cam().requestBodies(1072).size(), 1u);
    EXPECT_EQ(childTexts(device).size(), 2);
}

struct PagingCase {
    const char* name;
    const char* hour;
    int entries;
    std::vector<std::pair<int, int>> pages;
};
void PrintTo(const PagingCase& c, std::ostream* os) { *os << c.name; }

class RecordTreePaging : public RecordTree, public ::testing::WithParamInterface<PagingCase> {};

TEST_P(RecordTreePaging, SubfolderEntriesComeInPagesOfTwenty)
{
    const PagingCase& c = GetParam();
    QTreeWidgetItem* hour = m_session.listHour(uid(), kDay, c.hour, c.entries);
    ASSERT_NE(hour, nullptr);
    EXPECT_EQ(pageRequests(cam(), path(std::string("/") + kDay + "/" + c.hour)), c.pages);
    // Entries in the device's order, each a file with the size value of its page entry.
    for (int i = 0; i < c.entries; ++i) {
        QTreeWidgetItem* file = hour->child(i);
        const QString name = QString::fromStdString(entryName(c.hour, i));
        ASSERT_EQ(file->text(0), name);
        EXPECT_EQ(CRecViewTree::itemData(file), CRecViewTree::kFile);
        EXPECT_EQ(CRecViewTree::image(file), CRecViewTree::kImageFile);
        EXPECT_EQ(file->childCount(), 0);
        EXPECT_EQ(tree()->fileValue(uid(), name), i * 300 + 7);
    }
    EXPECT_EQ(tree()->activeListings(), 0);
    EXPECT_EQ(CRecViewTree::image(hour), CRecViewTree::kImageFolder);
    // The folder itself was asked for with a trailing "/", its subfolders as one page.
    EXPECT_EQ(pageRequests(cam(), path(std::string("/") + kDay + "/")), (std::vector<std::pair<int, int>>{{0, 4}}));
}

INSTANTIATE_TEST_SUITE_P(
    Counts, RecordTreePaging,
    ::testing::Values(PagingCase{"fortyFive", "10", 45, {{0, 20}, {20, 20}, {40, 5}}},
                      PagingCase{"forty", "11", 40, {{0, 20}, {20, 20}}}, PagingCase{"twenty", "12", 20, {{0, 20}}},
                      PagingCase{"three", "13", 3, {{0, 3}}}),
    lumora::test::CaseName());

TEST_F(RecordTree, OverlappingSubfolderListingsKeepTheirOwnEntries)
{
    ASSERT_TRUE(m_session.listDevice(uid()));
    QTreeWidgetItem* day = m_session.child(pane()->deviceNode(uid()), kDay);
    day->setExpanded(true);
    ASSERT_TRUE(waitFor([&] { return day->childCount() == 4; }));
    // Both paged listings run at once.
    QTreeWidgetItem* ten = m_session.child(day, QStringLiteral("10"));
    QTreeWidgetItem* eleven = m_session.child(day, QStringLiteral("11"));
    ten->setExpanded(true);
    eleven->setExpanded(true);
    ASSERT_TRUE(waitFor([&] { return tree()->activeListings() == 0; }));
    ASSERT_EQ(ten->childCount(), 45);
    ASSERT_EQ(eleven->childCount(), 40);
    for (int i = 0; i < 45; ++i)
        EXPECT_EQ(ten->child(i)->text(0), QString::fromStdString(entryName("10", i)));
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(eleven->child(i)->text(0), QString::fromStdString(entryName("11", i)));
}

TEST_F(RecordTree, OverlappingDeviceListingsKeepTheirOwnNodes)
{
    QTreeWidgetItem* first = pane()->deviceNode(uid(0));
    QTreeWidgetItem* second = pane()->deviceNode(uid(1));
    first->setExpanded(true);
    second->setExpanded(true);
    ASSERT_TRUE(waitFor([&] { return !pane()->busy() && first->childCount() == 2 && second->childCount() == 2; }));
    EXPECT_EQ(childTexts(first), (QStringList{kDay, kClipDay}));
    EXPECT_EQ(childTexts(second), (QStringList{kDay, kClipDay}));
    // Each device's folders list from that device.
    QTreeWidgetItem* day = m_session.child(second, kDay);
    day->setExpanded(true);
    ASSERT_TRUE(waitFor([&] { return day->childCount() == 4; }));
    EXPECT_EQ(cam(0).requestBodies(1074).size(), 1u);
    EXPECT_EQ(cam(1).requestBodies(1074).size(), 2u);
}

TEST_F(RecordTree, ListingAgainForgetsTheEarlierListing)
{
    QTreeWidgetItem* hour = m_session.listHour(uid(), kDay, "10", 45);
    ASSERT_NE(hour, nullptr);
    // Collapse and expand: listed afresh, not appended to.
    hour->setExpanded(false);
    hour->setExpanded(true);
    ASSERT_TRUE(waitFor([&] { return tree()->activeListings() == 0 && hour->childCount() == 45; }));
    EXPECT_EQ(pageRequests(cam(), path(std::string("/") + kDay + "/10")).size(), 6u);
}

struct FailureCase {
    const char* name;
    std::vector<int> refused;
    bool deviceLevel; // the device's own listing fails, else a folder's
};
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class RecordTreeFailure : public RecordTree, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(RecordTreeFailure, AFailedListingCanBeListedAgain)
{
    const FailureCase& c = GetParam();
    QTreeWidgetItem* device = pane()->deviceNode(uid());
    QTreeWidgetItem* node = device;
    if (!c.deviceLevel) {
        ASSERT_TRUE(m_session.listDevice(uid()));
        node = m_session.child(device, kDay);
    }
    ASSERT_TRUE(cam().refuse(c.refused));
    node->setExpanded(true);
    // The node is as it was before: unlisted, with its expand button, and the strip stopped.
    ASSERT_TRUE(waitFor([&] { return CRecViewTree::HasOnlyPlaceholder(node) && !node->isExpanded() && tree()->activeListings() == 0; }));
    EXPECT_FALSE(pane()->busy());
    if (c.deviceLevel) {
        EXPECT_EQ(CRecViewTree::itemData(device), CRecViewTree::kDevice);
    }

    ASSERT_TRUE(cam().refuse({}));
    node->setExpanded(true);
    ASSERT_TRUE(waitFor([&] { return !CRecViewTree::HasOnlyPlaceholder(node) && node->childCount() > 0 && !pane()->busy(); }));
    EXPECT_EQ(childTexts(node), c.deviceLevel ? (QStringList{kDay, kClipDay}) : (QStringList{"10", "11", "12", "13"}));
}

INSTANTIATE_TEST_SUITE_P(Steps, RecordTreeFailure,
                         ::testing::Values(FailureCase{"devicePath", {1072}, true}, FailureCase{"deviceCount", {1074}, true},
                                           FailureCase{"devicePage", {1076}, true}, FailureCase{"folderCount", {1074}, false},
                                           FailureCase{"folderPage", {1076}, false}),
                         lumora::test::CaseName());

TEST_F(RecordTree, RecordMenuTextsAndEnabling)
{
    auto enabled = [&] {
        return std::vector<bool>{pane()->IsCommandEnabled(CDevRecTreeView::ID_REC_PLAY),
                                 pane()->IsCommandEnabled(CDevRecTreeView::ID_REC_DLOAD),
                                 pane()->IsCommandEnabled(CDevRecTreeView::ID_REC_END_DLOAD)};
    };
    using V = std::vector<bool>;
    tree()->setCurrentItem(nullptr);
    EXPECT_EQ(enabled(), (V{false, false, false}));
    tree()->setCurrentItem(pane()->root());
    EXPECT_EQ(enabled(), (V{false, false, false}));
    // A device node: play and download enabled (no record stream is found for it), and they do nothing.
    tree()->setCurrentItem(pane()->deviceNode(uid()));
    EXPECT_EQ(enabled(), (V{true, true, false}));
    pane()->OnStartDownload();
    pane()->OnPlayRecord();
    EXPECT_TRUE(cam().requestBodies(1078).empty());

    QTreeWidgetItem* hour = m_session.listHour(uid(), kDay, "13", 3);
    ASSERT_NE(hour, nullptr);
    tree()->setCurrentItem(hour->parent());
    EXPECT_EQ(enabled(), (V{false, false, false}));
    tree()->setCurrentItem(hour);
    EXPECT_EQ(enabled(), (V{false, false, false}));
    tree()->setCurrentItem(hour->child(0));
    EXPECT_EQ(enabled(), (V{true, true, false}));

    std::unique_ptr<QMenu> menu(pane()->CreateContextMenu());
    QStringList texts;
    QList<int> ids;
    for (QAction* a : menu->actions()) {
        texts << a->text();
        ids << a->data().toInt();
    }
    EXPECT_EQ(texts, (QStringList{"Play", "Download", "Stop download"}));
    EXPECT_EQ(ids, (QList<int>{32924, 32925, 32987}));
    EXPECT_EQ(tree()->GetRecordLength(), 59); // "130000-130059.h264"

    // A right-click selects the row under the pointer and shows the record menu there.
    QTreeWidgetItem* target = hour->child(1);
    tree()->scrollToItem(target);
    const QPoint at = tree()->visualItemRect(target).center();
    QContextMenuEvent click(QContextMenuEvent::Mouse, at, tree()->viewport()->mapToGlobal(at));
    QCoreApplication::sendEvent(tree()->viewport(), &click);
    EXPECT_EQ(tree()->currentItem(), target);
    QMenu* shown = nullptr;
    ASSERT_TRUE(waitFor([&] {
        for (QMenu* m : pane()->findChildren<QMenu*>(QStringLiteral("RecordMenu")))
            if (m->isVisible())
                shown = m;
        return shown != nullptr;
    }));
    EXPECT_EQ(shown->actions().size(), 3);
    shown->close();
}

TEST(RecordTreeImages, FourPicturesIncludingThePlaceholder)
{
    for (int i = 0; i < CRecViewTree::kImageCount; ++i) {
        SCOPED_TRACE(i);
        const QIcon icon = CRecViewTree::ImageIcon(i);
        ASSERT_FALSE(icon.isNull());
        EXPECT_EQ(icon.pixmap(24, 24).size(), QSize(24, 24));
    }
    EXPECT_EQ(CRecViewTree::kImagePlaceholder, 3);
    EXPECT_TRUE(CRecViewTree::ImageIcon(CRecViewTree::kImageCount).isNull());
}

// A recording and a folder look different in the tree.
TEST(RecordTreeImages, FilesAndFoldersHaveDifferentPictures)
{
    const QImage file = CRecViewTree::ImageIcon(CRecViewTree::kImageFile).pixmap(24, 24).toImage();
    for (int other : {CRecViewTree::kImageOnline, CRecViewTree::kImageOffline, CRecViewTree::kImageFolder,
                      CRecViewTree::kImagePlaceholder}) {
        SCOPED_TRACE(other);
        EXPECT_NE(file, CRecViewTree::ImageIcon(other).pixmap(24, 24).toImage());
    }
}

// The alerts speak the interface's language: English texts in the English interface.
TEST(DownloadAlerts, TextsByStateInBothLanguages)
{
    struct Case {
        const char* language;
        const char* started;
        const char* finished;
        const char* failed;
    };
    for (const Case& c : {Case{"EN_LAN", "Downloading the recording", "The recording is downloaded", "Downloading the recording failed"},
                          Case{"CN_LAN", "开始下载录像文件", "结束下载录像文件", "下载录像文件出错"}}) {
        SCOPED_TRACE(c.language);
        frametest::DataFolder data(QString::fromLatin1(c.language), true);
        EXPECT_EQ(CDevRecTreeView::AlertText(0), QString::fromUtf8(c.started));
        EXPECT_EQ(CDevRecTreeView::AlertText(1), QString::fromUtf8(c.finished));
        EXPECT_EQ(CDevRecTreeView::AlertText(2), QString::fromUtf8(c.failed));
        EXPECT_EQ(CDevRecTreeView::AlertText(7), QString::fromUtf8(c.failed));
    }
}

} // namespace
