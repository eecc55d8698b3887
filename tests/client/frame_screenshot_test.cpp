// Screenshots of the main frame as a person sees it, in English and Chinese, under a real X
// server: the device tree with cameras online, the alarm pane with a row and its pop-up, and the
// LAN search dialog with the cameras' answers. Pictures land in <build>/screenshots.
#include "AlarmPaneView.h"
#include "AlarmPopup.h"
#include "CaseName.h"
#include "ClientPaths.h"
#include "DevSearchDlg.h"
#include "DevTreeView.h"
#include "DeviceDatabases.h"
#include "FrameFixture.h"
#include "MainFrame.h"
#include "ScreenshotSupport.h"
#include "ViewTree.h"

#include <QApplication>
#include <QGuiApplication>
#include <QImage>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTableWidget>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

using namespace frametest;

namespace {

struct LanguageCase {
    const char* name;
    const char* value;
};
void PrintTo(const LanguageCase& c, std::ostream* os) { *os << c.name; }

class FrameScreenshots : public ::testing::TestWithParam<LanguageCase> {
protected:
    void SetUp() override
    {
        m_data = std::make_unique<frametest::DataFolder>(QString::fromLatin1(GetParam().value), true);
        SetResourceFolder(QStringLiteral(LUMORA_BINARY_DIR "/client"));
    }
    void TearDown() override
    {
        if (m_frame)
            m_frame->ShutDown();
        m_frame.reset();
    }

    void take(QWidget* window, const char* what)
    {
        const QString file =
            clienttest::SaveScreenshot(window, QStringLiteral("%1-%2").arg(QLatin1String(what), QLatin1String(GetParam().name)));
        ASSERT_FALSE(file.isEmpty()) << what;
        EXPECT_FALSE(QImage(file).isNull());
    }

    void startCameras(int count, const char* prefix)
    {
        for (int i = 0; i < count; ++i) {
            m_cameras.push_back(std::make_unique<Camera>(uniqueUid(prefix), "qelvo"));
            ASSERT_TRUE(m_cameras.back()->launch());
        }
        for (const auto& cam : m_cameras)
            ASSERT_TRUE(cam->waitRegistered());
    }

    bool allOnline() const
    {
        for (const auto& cam : m_cameras) {
            QTreeWidgetItem* n = m_frame->devTreePane()->tree()->findDevice(QString::fromStdString(cam->uid()));
            if (!n || CViewTree::loggedIn(n) != 1)
                return false;
        }
        return true;
    }

    std::unique_ptr<frametest::DataFolder> m_data;
    std::vector<std::unique_ptr<Camera>> m_cameras;
    std::unique_ptr<CMainFrame> m_frame;
};

TEST_P(FrameScreenshots, MainFrameWithCamerasOnlineAndAnAlarm)
{
    startCameras(3, "SHOT");
    const char* aliases[] = {"Front door", "Garden", "Garage"};
    std::vector<DevInfoRow> rows;
    for (size_t i = 0; i < m_cameras.size(); ++i)
        rows.push_back({QString::fromStdString(m_cameras[i]->uid()), "qelvo", QString::fromUtf8(aliases[i]),
                        QStringLiteral("02:4c:00:00:00:0%1").arg(i + 1)});
    ASSERT_EQ(DevInfoTable::store(m_data->path(), rows), DevInfoTable::StoreResult::Stored);
    m_frame = std::make_unique<CMainFrame>();
    m_frame->resize(1180, 720);
    m_frame->move(20, 20);
    ASSERT_TRUE(waitFor([&] { return allOnline(); }, 60000));
    m_frame->devTreePane()->tree()->expandAll();
    m_frame->devTreePane()->tree()->setCurrentItem(
        m_frame->devTreePane()->tree()->findDevice(QString::fromStdString(m_cameras[0]->uid())));
    take(m_frame.get(), "mainframe-devices-online");

    ASSERT_TRUE(m_cameras[1]->pushAlarm(R"({"AlarmReport.info":{"AlarmType":1,"AlarmSta":1,)"
                                        R"("AlarmTime":{"Sec":12,"Min":34,"Hour":18},"AlarmDate":{"Day":10,"Mon":12,"Year":2026}}})"));
    ASSERT_TRUE(waitFor([&] { return m_frame->alarmPane()->list()->rowCount() == 1; }));
    // The pop-up stays for its picture (it would fade after 3 s).
    QPointer<CAlarmPopup> popup;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* p = qobject_cast<CAlarmPopup*>(w); p && p->isVisible())
            popup = p;
    ASSERT_FALSE(popup.isNull());
    popup->setAutoClose(false);
    take(m_frame.get(), "mainframe-alarm-row");
    ASSERT_FALSE(popup.isNull());
    take(popup, "alarm-popup");
    popup->close();
}

TEST_P(FrameScreenshots, LanSearchDialogWithAnswers)
{
    startCameras(3, "FIND");
    m_frame = std::make_unique<CMainFrame>();
    m_frame->resize(1180, 720);
    m_frame->move(20, 20);
    m_frame->show();
    m_frame->OnAddDevice();
    DevSearchDlg* dialog = m_frame->devTreePane()->searchDialog();
    ASSERT_NE(dialog, nullptr);
    dialog->OnSearch();
    ASSERT_TRUE(waitFor([&] { return dialog->list()->rowCount() >= 3; }));
    ASSERT_TRUE(waitFor([&] { return dialog->searchButton()->isEnabled(); }));
    dialog->list()->item(0, DevSearchDlg::Alias)->setText(QStringLiteral("Front door"));
    // The user ticks two of the three; the dialog keeps the size and columns it opened with.
    dialog->list()->item(0, DevSearchDlg::Check)->setCheckState(Qt::Checked);
    dialog->list()->item(1, DevSearchDlg::Check)->setCheckState(Qt::Checked);
    dialog->move(60, 120);
    take(dialog, "lan-search");
}

INSTANTIATE_TEST_SUITE_P(Languages, FrameScreenshots,
                         ::testing::Values(LanguageCase{"en", "EN_LAN"}, LanguageCase{"cn", "CN_LAN"}), CaseName());

} // namespace
