// Downloads from the record pane against cameras with SD cards: a download written byte for byte
// into the download folder with its progress reaching 100 and its alerts, and a stop that goes to
// the device and file being downloaded while another camera downloads too.
#include "PlaybackFixture.h"

#include "CRecViewTree.h"
#include "LangText.h"
#include "MainFrame.h"
#include "liveview/CDevRecTreeView.h"
#include "libLumora.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QTreeWidgetItem>
#include <gtest/gtest.h>
#include <json/json.h>

using namespace playbacktest;
using playbacktest::waitFor;

namespace {

std::string blobPath()
{
    return std::string(kSdRoot) + "/" + kClipDay + "/" + kClipHour + "/" + kBlob;
}

Json::Value parse(const std::string& text)
{
    Json::Value v;
    Json::Reader().parse(text, v);
    return v;
}

QStringList visibleAlerts()
{
    QStringList texts;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible() && w->objectName() == QLatin1String("DownloadAlert"))
            if (auto* label = w->findChild<QLabel*>(QStringLiteral("DownloadAlertText")))
                texts << label->text();
    return texts;
}

class Downloads : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_session.ready()); }
    CDevRecTreeView* pane() { return m_session.pane(); }
    QString uid(size_t i) { return m_session.camera(i).quid(); }
    frametest::Camera& cam(size_t i) { return m_session.camera(i).camera(); }
    QString downloaded(size_t i) { return m_session.data().downloadPath() + "/" + uid(i) + "/" + kBlob; }

    PlaybackSession m_session{2, "DLOAD"};
};

TEST_F(Downloads, AFileArrivesByteForByteWithProgressToOneHundred)
{
    QTreeWidgetItem* file = m_session.selectClipFile(uid(0), kBlob);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(pane()->tree()->fileValue(uid(0), kBlob), static_cast<int64_t>(kBlobSize));
    // Held after two pieces, so the progress can be seen on its way.
    ASSERT_TRUE(cam(0).holdRecords(2));
    pane()->OnStartDownload();
    ASSERT_TRUE(waitFor([&] { return pane()->alertCount() == 1; }));
    EXPECT_EQ(pane()->lastAlertText(), LangText("DevRecMenu", "DloadBegin"));
    EXPECT_TRUE(visibleAlerts().contains(LangText("DevRecMenu", "DloadBegin")));
    const std::vector<std::string> docs = recordOpDocuments(cam(0));
    ASSERT_EQ(docs.size(), 1u);
    EXPECT_EQ(docs[0], "{\"n\":\"" + std::string(kBlob) + "\",\"op\":10,\"p\":\"" + blobPath() +
                           "\",\"sh\":0,\"si\":0,\"sl\":0,\"t\":\"" + uid(0).toStdString() + "\"}\n");
    ASSERT_TRUE(waitFor([&] { return pane()->downloadProgress(uid(0)) > 0; }));
    EXPECT_LT(pane()->downloadProgress(uid(0)), 100);
    EXPECT_TRUE(pane()->downloadBar()->isVisible());
    EXPECT_FALSE(pane()->IsCommandEnabled(CDevRecTreeView::ID_REC_DLOAD));
    EXPECT_TRUE(pane()->IsCommandEnabled(CDevRecTreeView::ID_REC_END_DLOAD));

    ASSERT_TRUE(cam(0).holdRecords(-1));
    ASSERT_TRUE(waitFor([&] { return pane()->downloadProgress(uid(0)) == 100 && pane()->alertCount() == 2; }));
    EXPECT_EQ(pane()->lastAlertText(), LangText("DevRecMenu", "DloadEnd"));
    EXPECT_EQ(pane()->downloadBar()->value(), 100);
    EXPECT_EQ(readFile(downloaded(0)), blobBytes());
    EXPECT_TRUE(pane()->IsCommandEnabled(CDevRecTreeView::ID_REC_DLOAD));
}

TEST_F(Downloads, ARefusedDownloadRaisesTheFailureAlert)
{
    ASSERT_NE(m_session.selectClipFile(uid(0), kBlob), nullptr);
    ASSERT_TRUE(cam(0).refuse({1078}));
    pane()->OnStartDownload();
    ASSERT_TRUE(waitFor([&] { return pane()->alertCount() == 1; }));
    EXPECT_EQ(pane()->lastAlertText(), LangText("DevRecMenu", "DloadError"));
    EXPECT_EQ(pane()->downloadProgress(uid(0)), -1);
    EXPECT_FALSE(QFile::exists(downloaded(0)));
}

TEST_F(Downloads, StopGoesToTheDeviceAndFileBeingDownloaded)
{
    // Both cameras hold their downloads after one piece.
    ASSERT_TRUE(cam(0).holdRecords(1));
    ASSERT_TRUE(cam(1).holdRecords(1));
    ASSERT_NE(m_session.selectClipFile(uid(0), kBlob), nullptr);
    pane()->OnStartDownload();
    ASSERT_TRUE(waitFor([&] { return (GetPlayStateMask(uid(0).toStdString()) & 0x10) != 0; }));
    // The second camera is listed and downloads after the first.
    QTreeWidgetItem* second = m_session.selectClipFile(uid(1), kBlob);
    ASSERT_NE(second, nullptr);
    pane()->OnStartDownload();
    ASSERT_TRUE(waitFor([&] { return (GetPlayStateMask(uid(1).toStdString()) & 0x10) != 0; }));

    // The first camera's recording selected again: stop goes to it, with its path.
    QTreeWidgetItem* first = m_session.child(
        m_session.child(m_session.child(pane()->deviceNode(uid(0)), kClipDay), kClipHour), kBlob);
    ASSERT_NE(first, nullptr);
    pane()->tree()->setCurrentItem(first);
    ASSERT_TRUE(pane()->IsCommandEnabled(CDevRecTreeView::ID_REC_END_DLOAD));
    pane()->OnStopDownload();
    ASSERT_TRUE(waitFor([&] { return recordOps(cam(0)).size() >= 2; }));
    const std::vector<std::string> firstDocs = recordOpDocuments(cam(0));
    EXPECT_EQ(parse(firstDocs[1])["op"].asInt(), 6);
    EXPECT_EQ(parse(firstDocs[1])["p"].asString(), blobPath());
    EXPECT_EQ(parse(firstDocs[1])["t"].asString(), uid(0).toStdString());
    EXPECT_EQ(recordOps(cam(1)), std::vector<int>{10});
    // The stopped download ends as incomplete; the other one goes on to the end.
    ASSERT_TRUE(waitFor([&] { return (GetPlayStateMask(uid(0).toStdString()) & 0x10) == 0; }));
    ASSERT_TRUE(cam(1).holdRecords(-1));
    ASSERT_TRUE(waitFor([&] { return pane()->downloadProgress(uid(1)) == 100; }));
    EXPECT_EQ(readFile(downloaded(1)), blobBytes());
    EXPECT_FALSE(QFile::exists(downloaded(0)));
    EXPECT_LT(pane()->downloadProgress(uid(0)), 100);
}

TEST_F(Downloads, StopWithoutASelectionGoesToTheLastDownloadStarted)
{
    ASSERT_TRUE(cam(1).holdRecords(1));
    ASSERT_NE(m_session.selectClipFile(uid(1), kBlob), nullptr);
    pane()->OnStartDownload();
    ASSERT_TRUE(waitFor([&] { return (GetPlayStateMask(uid(1).toStdString()) & 0x10) != 0; }));
    // Listing the other camera afterwards does not move the stop there.
    ASSERT_TRUE(m_session.listDevice(uid(0)));
    pane()->tree()->setCurrentItem(pane()->deviceNode(uid(0)));
    pane()->OnStopDownload();
    ASSERT_TRUE(waitFor([&] { return recordOps(cam(1)).size() >= 2; }));
    EXPECT_EQ(parse(recordOpDocuments(cam(1))[1])["p"].asString(), blobPath());
    EXPECT_TRUE(recordOps(cam(0)).empty());
    ASSERT_TRUE(cam(1).holdRecords(-1));
}

} // namespace
