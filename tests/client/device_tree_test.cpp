// The device tree against real cameras: logins at start-up with their state icons, a camera
// that vanishes and comes back, a wrong password, the device menu's rules, delete and delete-all.
#include "CaseName.h"
#include "DevTreeView.h"
#include "DeviceDatabases.h"
#include "FrameFixture.h"
#include "MainFrame.h"
#include "PlaceholderView.h"
#include "ViewTree.h"
#include "settings/DevicePage.h"
#include "settings/DevicePages.h"
#include "liveview/CRealTimePlayView.h"
#include "liveview/VideoFrame.h"
#include "settings/DevicePage.h"
#include "libLumora.h"

#include <QMenu>
#include <QSignalSpy>
#include <QMessageBox>
#include <QRadioButton>
#include <QTreeWidgetItem>
#include <gtest/gtest.h>
#include <memory>

using namespace frametest;

namespace {

class DeviceTreeTest : public ::testing::Test {
protected:
    void storeDevices(const std::vector<DevInfoRow>& rows)
    {
        ASSERT_EQ(DevInfoTable::store(m_data.path(), rows), DevInfoTable::StoreResult::Stored);
    }

    std::unique_ptr<Camera> camera(const char* prefix, const std::string& password = "pw1")
    {
        auto cam = std::make_unique<Camera>(uniqueUid(prefix), password);
        EXPECT_TRUE(cam->start());
        return cam;
    }

    CViewTree* tree() const { return m_frame->devTreePane()->tree(); }
    QTreeWidgetItem* node(const std::string& uid) const { return tree()->findDevice(QString::fromStdString(uid)); }
    bool online(const std::string& uid) const
    {
        QTreeWidgetItem* n = node(uid);
        return n && CViewTree::image(n) == CViewTree::Online && CViewTree::loggedIn(n) == 1;
    }
    bool offline(const std::string& uid) const
    {
        QTreeWidgetItem* n = node(uid);
        return n && CViewTree::image(n) == CViewTree::Offline && CViewTree::loggedIn(n) == 0;
    }

    void TearDown() override
    {
        if (m_frame)
            m_frame->ShutDown();
        m_frame.reset();
        if (m_shortLinkTimeout)
            restartSdkWithLinkTimeout(0);
    }

    DataFolder m_data;
    std::unique_ptr<CMainFrame> m_frame;
    bool m_shortLinkTimeout = false; // the SDK was restarted with a short link time-out
};

TEST_F(DeviceTreeTest, StoredDevicesAreListedAndLoggedIn)
{
    auto a = camera("TREEA");
    auto b = camera("TREEB");
    storeDevices({{QString::fromStdString(a->uid()), "pw1", "front door", "02:4c:00:00:00:01"},
                  {QString::fromStdString(b->uid()), "pw1", "garden", "02:4c:00:00:00:02"}});
    m_frame = std::make_unique<CMainFrame>();

    QTreeWidgetItem* root = tree()->root();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->text(0), QStringLiteral("Device list"));
    ASSERT_EQ(root->childCount(), 2);
    EXPECT_EQ(root->child(0)->text(0), QString::fromStdString(a->uid()));
    EXPECT_EQ(root->child(0)->child(0)->text(0), QStringLiteral("02:4c:00:00:00:01"));
    EXPECT_EQ(root->child(0)->child(1)->text(0), QStringLiteral("front door"));
    EXPECT_EQ(CViewTree::image(root->child(0)->child(0)), CViewTree::Detail);

    EXPECT_TRUE(waitFor([&] { return online(a->uid()) && online(b->uid()); }));
    // The login reply is kept for the firmware version.
    EXPECT_EQ(m_frame->GetDeviceVersion(QString::fromStdString(a->uid())), QStringLiteral("V2.1.0.camsim"));
}

TEST_F(DeviceTreeTest, IconFollowsCameraKilledAndRestarted)
{
    // The camera's silence is taken for its loss after 1.5 s instead of the protocol's 6 s.
    restartSdkWithLinkTimeout(1500);
    m_shortLinkTimeout = true;
    const std::string uid = uniqueUid("TREEK");
    auto cam = std::make_unique<Camera>(uid, "pw1");
    ASSERT_TRUE(cam->start());
    storeDevices({{QString::fromStdString(uid), "pw1", "porch", "02:4c:00:00:00:03"}});
    m_frame = std::make_unique<CMainFrame>();
    ASSERT_TRUE(waitFor([&] { return online(uid); }));

    cam->kill();
    EXPECT_TRUE(waitFor([&] { return offline(uid); }, 60000));

    cam = std::make_unique<Camera>(uid, "pw1");
    ASSERT_TRUE(cam->start());
    // The SDK logs a lost device in again only seconds after the loss: its clock is moved past
    // that pause instead of waiting it out.
    advanceSdkClock(60000);
    EXPECT_TRUE(waitFor([&] { return online(uid); }, 60000));
}

TEST_F(DeviceTreeTest, WrongPasswordShowsOneWarningAndStaysOffline)
{
    auto cam = camera("TREEP", "right");
    storeDevices({{QString::fromStdString(cam->uid()), "wrong", "attic", "02:4c:00:00:00:04"}});
    m_frame = std::make_unique<CMainFrame>();
    auto boxes = [&] { return m_frame->findChildren<QMessageBox*>(QStringLiteral("PasswordErrorBox")); };
    ASSERT_TRUE(waitFor([&] { return boxes().size() == 1; }));
    EXPECT_TRUE(boxes().front()->text().startsWith(QString::fromStdString(cam->uid()) + QLatin1Char(' ')));
    EXPECT_TRUE(offline(cam->uid()));
    // A second refusal while the box is open does not stack another box.
    m_frame->devTreePane()->OnLoginResult(-100, "", cam->uid());
    EXPECT_EQ(boxes().size(), 1);
}

TEST_F(DeviceTreeTest, DropLoginResultGoesToTheDeviceThatLoggedIn)
{
    auto cam = camera("TREED");
    const QString other = QString::fromLatin1(kNoCamera);
    // Only the second row has a camera; stored without auto-login by adding after LoadDevices.
    m_frame = std::make_unique<CMainFrame>();
    m_frame->show(); // the live grid lays its panes out when shown
    storeDevices({{QString::fromStdString(cam->uid()), "pw1", "hall", "02:4c:00:00:00:05"}, {other, "pw1", "shed", "m"}});
    m_frame->devTreePane()->LoadDevices();
    ASSERT_TRUE(waitFor([&] { return online(cam->uid()); }));
    // Take the camera offline in the tree, select the other device, and log the camera in again by
    // a drop: the result marks the camera's node, not the selected one.
    m_frame->devTreePane()->UpdateDeviceState(1, QString::fromStdString(cam->uid()), "");
    ASSERT_TRUE(offline(cam->uid()));
    tree()->setCurrentItem(tree()->findDevice(other));
    tree()->StartLoginThread(QString::fromStdString(cam->uid()), QPoint(5, 5));
    EXPECT_TRUE(waitFor([&] { return online(cam->uid()); }));
    EXPECT_TRUE(offline(other.toStdString()));
    // The drop point (5, 5) lies in the grid's first pane, which now shows the camera.
    auto* live = dynamic_cast<CRealTimePlayView*>(m_frame->view(CMainFrame::LiveView));
    ASSERT_NE(live, nullptr);
    EXPECT_EQ(live->pane(0)->GetUID(), QString::fromStdString(cam->uid()));
}

TEST_F(DeviceTreeTest, ReloginFromTheMenuBringsARestartedCameraBack)
{
    const std::string uid = uniqueUid("TREER");
    auto cam = std::make_unique<Camera>(uid, "pw1");
    ASSERT_TRUE(cam->start());
    storeDevices({{QString::fromStdString(uid), "pw1", "gate", "02:4c:00:00:00:06"}});
    m_frame = std::make_unique<CMainFrame>();
    ASSERT_TRUE(waitFor([&] { return online(uid); }));
    LogoutDev(uid);
    m_frame->devTreePane()->UpdateDeviceState(1, QString::fromStdString(uid), "");
    ASSERT_TRUE(waitFor([&] { return LoginState(uid) == 0; }));
    tree()->setCurrentItem(node(uid));
    ASSERT_TRUE(m_frame->devTreePane()->IsCommandEnabled(CDevTreeView::ID_DEV_RELOGIN));
    m_frame->devTreePane()->RunCommand(CDevTreeView::ID_DEV_RELOGIN);
    EXPECT_TRUE(waitFor([&] { return online(uid); }));
}

TEST_F(DeviceTreeTest, SettingsCommandsOpenOneReusedPageForTheSelectedDevice)
{
    auto cam = camera("TREES");
    storeDevices({{QString::fromStdString(cam->uid()), "pw1", "hall", "02:4c:00:00:00:07"}});
    m_frame = std::make_unique<CMainFrame>();
    ASSERT_TRUE(waitFor([&] { return online(cam->uid()); }));
    tree()->setCurrentItem(node(cam->uid()));
    CDevTreeView* pane = m_frame->devTreePane();

    // The settings commands sit in their own menu, each under its page's dialog id.
    std::unique_ptr<QMenu> menu(pane->CreateContextMenu());
    auto* pages = menu->findChild<QMenu*>(QStringLiteral("DevSettingsMenu"));
    ASSERT_NE(pages, nullptr);
    QList<int> ids;
    for (QAction* action : pages->actions()) {
        ids << action->data().toInt();
        EXPECT_TRUE(action->isEnabled()) << action->data().toInt();
    }
    EXPECT_EQ(ids, (QList<int>{DevicePageId::Net, DevicePageId::Wireless, DevicePageId::Time, DevicePageId::Rec,
                               DevicePageId::Alarm, DevicePageId::Osd, DevicePageId::Info, DevicePageId::Video,
                               DevicePageId::Ftp, DevicePageId::ColorSwitch, DevicePageId::Color, DevicePageId::Denoise,
                               DevicePageId::Wdr, DevicePageId::P2PServer}));

    pane->RunCommand(DevicePageId::Net);
    DevicePageDialog* dialog = pane->pageDialog(DevicePageId::Net);
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->page()->uid(), QString::fromStdString(cam->uid()));
    ASSERT_TRUE(waitFor([&] { return dialog->page()->canSave(); })) << "the page shows the camera's settings";
    dialog->hide();
    QSignalSpy loaded(dialog->page(), &DevicePage::loaded);
    pane->RunCommand(DevicePageId::Net);
    EXPECT_EQ(pane->pageDialog(DevicePageId::Net), dialog) << "one page per command, reused";
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_TRUE(waitFor([&] { return !loaded.isEmpty(); })) << "asked again on every use";
}

struct MenuCase {
    const char* name;
    const char* select; // "root", "online", "offline", "detail"
    bool del, delAll, relogin, device;
};
void PrintTo(const MenuCase& c, std::ostream* os) { *os << c.name; }

class DeviceMenuRules : public DeviceTreeTest, public ::testing::WithParamInterface<MenuCase> {};

TEST_P(DeviceMenuRules, EnableCommandsForTheSelection)
{
    auto cam = camera("MENU");
    const QString missing = QString::fromLatin1(kNoCamera);
    storeDevices({{QString::fromStdString(cam->uid()), "pw1", "one", "m1"}, {missing, "pw1", "two", "m2"}});
    m_frame = std::make_unique<CMainFrame>();
    ASSERT_TRUE(waitFor([&] { return online(cam->uid()); }));
    const std::string select = GetParam().select;
    QTreeWidgetItem* item = select == "root"      ? tree()->root()
                            : select == "online"  ? node(cam->uid())
                            : select == "offline" ? tree()->findDevice(missing)
                                                  : node(cam->uid())->child(0);
    tree()->setCurrentItem(item);
    CDevTreeView* pane = m_frame->devTreePane();
    EXPECT_TRUE(pane->IsCommandEnabled(CDevTreeView::ID_SEARCH_DEV));
    EXPECT_EQ(pane->IsCommandEnabled(CDevTreeView::ID_DEV_DEL), GetParam().del);
    EXPECT_EQ(pane->IsCommandEnabled(CDevTreeView::ID_DEV_ALL_DEL), GetParam().delAll);
    EXPECT_EQ(pane->IsCommandEnabled(CDevTreeView::ID_DEV_RELOGIN), GetParam().relogin);
    for (int id : {CDevTreeView::ID_DEV_REBOOT, CDevTreeView::ID_DEV_DEFAULT, CDevTreeView::ID_DEV_INFO_MODIFY,
                   CDevTreeView::ID_DEV_MOBILE, CDevTreeView::ID_DEV_50HZ, CDevTreeView::ID_DEV_VERTICAL})
        EXPECT_EQ(pane->IsCommandEnabled(id), GetParam().device) << id;
    std::unique_ptr<QMenu> menu(pane->CreateContextMenu());
    // The sixteen commands, then the menu of the settings pages.
    ASSERT_EQ(menu->actions().size(), 17);
    EXPECT_NE(menu->actions().at(16)->menu(), nullptr);
    EXPECT_EQ(menu->actions().at(3)->text(), QStringLiteral("Log in again"));
    EXPECT_EQ(menu->actions().at(1)->isEnabled(), GetParam().del);
}

// Delete is refused on the root (it would take the root's text for a UID).
INSTANTIATE_TEST_SUITE_P(Selection, DeviceMenuRules,
                         ::testing::Values(MenuCase{"root", "root", false, true, false, false},
                                           MenuCase{"online", "online", true, true, false, true},
                                           MenuCase{"offline", "offline", true, true, true, false},
                                           MenuCase{"detail", "detail", false, false, true, false}),
                         CaseName());

TEST_F(DeviceTreeTest, DeleteRemovesTheDeviceItsRowAndItsLink)
{
    auto a = camera("DELA");
    auto b = camera("DELB");
    storeDevices({{QString::fromStdString(a->uid()), "pw1", "a", "m1"}, {QString::fromStdString(b->uid()), "pw1", "b", "m2"}});
    m_frame = std::make_unique<CMainFrame>();
    ASSERT_TRUE(waitFor([&] { return online(a->uid()) && online(b->uid()); }));
    CDevTreeView* pane = m_frame->devTreePane();

    int asked = 0;
    pane->confirm = [&](const QString& text) {
        ++asked;
        EXPECT_EQ(text, QStringLiteral("Delete the device?"));
        return false;
    };
    tree()->setCurrentItem(node(a->uid()));
    pane->RunCommand(CDevTreeView::ID_DEV_DEL);
    EXPECT_EQ(asked, 1);
    EXPECT_NE(node(a->uid()), nullptr); // cancelled

    pane->confirm = [](const QString&) { return true; };
    pane->RunCommand(CDevTreeView::ID_DEV_DEL);
    EXPECT_EQ(node(a->uid()), nullptr);
    EXPECT_NE(node(b->uid()), nullptr);
    const auto rows = DevInfoTable::load(m_data.path());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].uid, QString::fromStdString(b->uid()));
    EXPECT_TRUE(waitFor([&] { return LoginState(a->uid()) == 0; }));
}

TEST_F(DeviceTreeTest, DeleteAllEmptiesTheTreeAndRemovesTheFile)
{
    auto a = camera("DALL");
    storeDevices({{QString::fromStdString(a->uid()), "pw1", "a", "m1"}, {kNoCamera, "pw1", "b", "m2"}});
    m_frame = std::make_unique<CMainFrame>();
    ASSERT_TRUE(waitFor([&] { return online(a->uid()); }));
    CDevTreeView* pane = m_frame->devTreePane();
    pane->confirm = [](const QString& text) { return text == QStringLiteral("Delete all devices?"); };
    tree()->setCurrentItem(tree()->root());
    pane->RunCommand(CDevTreeView::ID_DEV_ALL_DEL);
    EXPECT_EQ(tree()->topLevelItemCount(), 0);
    EXPECT_FALSE(DevInfoTable::exists(m_data.path()));
    EXPECT_TRUE(waitFor([&] { return LoginState(a->uid()) == 0; }));
    // The next device added makes a new root.
    pane->AddDevice(QString::fromLatin1(kNoCamera), "m3", "c", "pw1");
    ASSERT_NE(tree()->root(), nullptr);
    EXPECT_EQ(tree()->root()->childCount(), 1);
}

// "DevMobile" opens the 4G switch page of the selected device, filled from that device.
TEST_F(DeviceTreeTest, MobileCommandOpensTheMobileSwitchOfTheSelectedDevice)
{
    auto cam = camera("MOBILE");
    storeDevices({{QString::fromStdString(cam->uid()), "pw1", "one", "m1"}});
    Json::Value mobile;
    mobile["enable"] = true;
    ASSERT_TRUE(cam->setDocument("Net.Mobile", mobile));
    m_frame = std::make_unique<CMainFrame>();
    ASSERT_TRUE(waitFor([&] { return online(cam->uid()); }));
    tree()->setCurrentItem(node(cam->uid()));
    CDevTreeView* pane = m_frame->devTreePane();
    pane->RunCommand(CDevTreeView::ID_DEV_MOBILE);
    DevicePageDialog* dialog = pane->pageDialog(365);
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->page()->uid(), QString::fromStdString(cam->uid()));
    auto* on = dialog->page()->findChild<QRadioButton*>(QStringLiteral("ctl_1106"));
    ASSERT_NE(on, nullptr);
    EXPECT_TRUE(waitFor([&] { return on->isChecked(); }));
}

TEST(DeviceTreeOneClick, CommandsSendTheirCompactDocuments)
{
    struct Case {
        int id;
        const char* json;
    };
    for (const Case c : {Case{CDevTreeView::ID_DEV_50HZ, "{\"Enable\":true,\"Frequency\":1,\"Mode\":0}\n"},
                         Case{CDevTreeView::ID_DEV_60HZ, "{\"Enable\":true,\"Frequency\":0,\"Mode\":0}\n"},
                         Case{CDevTreeView::ID_IRCUT_POSITIVE, "{\"IRCutVal\":2,\"SetOppose\":true}\n"},
                         Case{CDevTreeView::ID_IRCUT_REVERSE, "{\"IRCutVal\":2,\"SetOppose\":false}\n"},
                         Case{CDevTreeView::ID_DEV_INDOOR, "{\"Mode\":0}\n"},
                         Case{CDevTreeView::ID_DEV_OUTDOOR, "{\"Mode\":1}\n"},
                         Case{CDevTreeView::ID_DEV_HORIZONTAL, "{\"Flip\":false,\"Mirror\":true,\"Vich\":0}\n"},
                         Case{CDevTreeView::ID_DEV_VERTICAL, "{\"Flip\":true,\"Mirror\":false,\"Vich\":0}\n"}}) {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(CDevTreeView::OneClickJson(c.id), c.json);
    }
}

} // namespace
