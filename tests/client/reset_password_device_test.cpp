// The alias and password dialog against a real camera: the new password reaches the device
// through libLumora, the device's reply comes back to the dialog on the GUI thread, and the
// stored password is the one that logs in afterwards.
#include "CResetPADlg.h"
#include "ClientMessageBox.h"
#include "DeviceDatabases.h"
#include "FrameFixture.h"
#include "LangText.h"
#include "libLumora.h"

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>

using namespace frametest;

namespace {

// The result of one LoginDev, waited for on the GUI thread.
int loginResult(const std::string& uid, const std::string& password)
{
    auto result = std::make_shared<std::atomic<int>>(1);
    LoginDev(uid, password, [result](int, int status, std::string, std::string, char*, int) { result->store(status); });
    waitFor([&] { return result->load() != 1; }, 30000);
    return result->load();
}

QMessageBox* visibleBox()
{
    for (QWidget* w : QApplication::allWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (box != nullptr && box->isVisible() && box->objectName() == QLatin1String(kMessageBoxName)) {
            return box;
        }
    }
    return nullptr;
}

TEST(ResetPasswordDevice, NewPasswordIsStoredAndLogsIn)
{
    DataFolder data;
    Camera camera(uniqueUid("PWCAM"), "pw1");
    ASSERT_TRUE(camera.start());
    const QString uid = QString::fromStdString(camera.uid());
    ASSERT_EQ(DevInfoTable::store(data.path(), {DevInfoRow{uid, "pw1", "Door", "00:11"}}), DevInfoTable::StoreResult::Stored);
    ASSERT_EQ(loginResult(camera.uid(), "pw1"), 0);

    CResetPADlg dialog;
    dialog.LoadDevInfo(uid);
    dialog.show();
    dialog.findChild<QLineEdit*>("oldPassword")->setText("pw1");
    dialog.findChild<QLineEdit*>("newPassword")->setText("pw2");
    dialog.findChild<QLineEdit*>("repeatPassword")->setText("pw2");
    dialog.findChild<QPushButton*>("ok")->click();
    EXPECT_FALSE(dialog.isVisible());

    ASSERT_TRUE(waitFor([] { return visibleBox() != nullptr; }, 30000));
    EXPECT_EQ(visibleBox()->text(), LangText("DevPWSet", "Success"));
    visibleBox()->close();
    EXPECT_EQ(DevInfoTable::password(data.path(), uid), "pw2");

    LogoutDev(camera.uid());
    EXPECT_EQ(loginResult(camera.uid(), "pw2"), 0) << "the camera took the new password";
    LogoutDev(camera.uid());
}

}  // namespace
