// Screenshots of the client's start-up windows in English and Chinese, taken from a real X
// server. Each test checks that the picture was written and is not blank.
#include "CAppConfig.h"
#include "CRegistUserDlg.h"
#include "CResetPADlg.h"
#include "CServerDlg.h"
#include "CUserLoginDlg.h"
#include "CXListCtrl.h"
#include "CaseName.h"
#include "ClientTestSupport.h"
#include "LangText.h"
#include "ScreenshotSupport.h"
#include "UserInfoStore.h"

#include <QComboBox>
#include <QImage>
#include <QLineEdit>
#include <QPushButton>

using namespace clienttest;

namespace {

struct LanguageCase {
    const char* name;
    const char* value;
};
void PrintTo(const LanguageCase& c, std::ostream* os) { *os << c.name; }

class Screenshots : public ::testing::TestWithParam<LanguageCase> {
protected:
    void SetUp() override { PrepareDataFolder(m_dir, GetParam().value); }
    void TearDown() override { CloseMessageBoxes(); }

    void take(QWidget* window, const char* what)
    {
        const QString file = SaveScreenshot(window, QStringLiteral("%1-%2").arg(QLatin1String(what), QLatin1String(GetParam().name)));
        ASSERT_FALSE(file.isEmpty()) << what;
        const QImage image(file);
        ASSERT_FALSE(image.isNull());
        // Not one flat colour: something was drawn.
        const QRgb first = image.pixel(image.width() / 2, image.height() / 2);
        bool varied = false;
        for (int y = 0; y < image.height() && !varied; y += 3) {
            for (int x = 0; x < image.width() && !varied; x += 3) {
                varied = image.pixel(x, y) != first;
            }
        }
        EXPECT_TRUE(varied) << file.toStdString();
    }

    QTemporaryDir m_dir;
};

TEST_P(Screenshots, RegistrationDialog)
{
    CRegistUserDlg dialog;
    Child<QLineEdit>(&dialog, "userName")->setText("admin");
    Child<QLineEdit>(&dialog, "password")->setText("secret");
    Child<QLineEdit>(&dialog, "repeatPassword")->setText("secret");
    take(&dialog, "registration");
}

TEST_P(Screenshots, LoginDialogAndItsMessage)
{
    ASSERT_EQ(UserInfoStore::Register("admin", "pw"), RegisterResult::Ok);
    CUserLoginDlg dialog(nullptr, 600000);
    Child<QComboBox>(&dialog, "userName")->setEditText("admin");
    Child<QLineEdit>(&dialog, "password")->setText("wrong");
    take(&dialog, "login");
    Child<QPushButton>(&dialog, "ok")->click();
    ASSERT_TRUE(WaitFor([] { return !VisibleMessageBoxes().isEmpty(); }));
    take(VisibleMessageBoxes().front(), "login-wrong-password");
}

TEST_P(Screenshots, ServerStringDialog)
{
    ASSERT_EQ(UserInfoStore::Register("admin", "pw"), RegisterResult::Ok);
    CServerDlg dialog("admin");
    take(&dialog, "server-string");
}

TEST_P(Screenshots, DeviceAliasAndPasswordDialog)
{
    CResetPADlg dialog;
    Child<QLineEdit>(&dialog, "alias")->setText(LangText("DevPWSet", "Alias") + " 1");
    take(&dialog, "device-password");
}

TEST_P(Screenshots, ListControl)
{
    CXListCtrl list;
    list.InsertColumn(0, "", Qt::AlignCenter, 30);
    list.InsertColumn(1, LangText("DevSearch", "DevAlias"), Qt::AlignCenter, 120);
    list.InsertColumn(2, LangText("DevSearch", "DevIP"), Qt::AlignCenter, 120);
    list.InsertColumn(3, "UID", Qt::AlignCenter, 160);
    for (int row = 0; row < 3; ++row) {
        list.InsertItem(row, "");
        list.SetCheckbox(row, 0, row != 1 ? 1 : 0);
        list.SetItemText(row, 1, LangText("DevPWSet", "Alias") + QString::number(row), QColor(), QColor(255, 225, 255));
        list.SetItemText(row, 2, QStringLiteral("127.0.0.%1").arg(row + 2), QColor(), QColor(210, 221, 244));
        list.SetItemText(row, 3, QStringLiteral("LUMO-%1-TEST").arg(row), QColor(), QColor(100, 221, 244));
    }
    list.resize(460, 160);
    take(&list, "list-control");
}

INSTANTIATE_TEST_SUITE_P(Languages, Screenshots,
                         ::testing::Values(LanguageCase{"english", "EN_LAN"}, LanguageCase{"chinese", "CN_LAN"}), CaseName());

}  // namespace
