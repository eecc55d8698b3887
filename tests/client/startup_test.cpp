// First start, registration and login through the application object, on real widgets and real
// files, with libLumora started by the login.
#include "CAppConfig.h"
#include "CLumoraApp.h"
#include "CServerDlg.h"
#include "CaseName.h"
#include "ClientTestSupport.h"
#include "DesktopServices.h"
#include "LumoraSdk.h"
#include "MainFrame.h"
#include "PasswordHash.h"
#include "UserInfoStore.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using namespace clienttest;

namespace {

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override { PrepareDataFolder(m_dir); }
    void TearDown() override { CloseMessageBoxes(); }

    void startApp()
    {
        m_app.setAutoLoginIntervalMs(m_autoLoginMs);
        QObject::connect(&m_app, &CLumoraApp::finished, &m_app, [this](int code) { m_exitCode = code; });
        m_app.InitInstance();
    }
    void registerUser(const QString& name, const QString& password, const QString& repeat, const QString& language = "EN")
    {
        CRegistUserDlg* dialog = m_app.registrationDialog();
        ASSERT_NE(dialog, nullptr);
        Child<QLineEdit>(dialog, "userName")->setText(name);
        Child<QLineEdit>(dialog, "password")->setText(password);
        Child<QLineEdit>(dialog, "repeatPassword")->setText(repeat);
        auto* languages = Child<QComboBox>(dialog, "language");
        languages->setCurrentIndex(languages->findText(language));
        Child<QPushButton>(dialog, "ok")->click();
    }
    void login(const QString& name, const QString& password)
    {
        CUserLoginDlg* dialog = m_app.loginDialog();
        ASSERT_NE(dialog, nullptr);
        Child<QComboBox>(dialog, "userName")->setEditText(name);
        Child<QLineEdit>(dialog, "password")->setText(password);
        Child<QPushButton>(dialog, "ok")->click();
    }
    QString onlyMessage()
    {
        EXPECT_TRUE(WaitFor([] { return !VisibleMessageBoxes().isEmpty(); }));
        const auto boxes = VisibleMessageBoxes();
        EXPECT_EQ(boxes.size(), 1);
        return boxes.isEmpty() ? QString() : boxes.front()->text();
    }

    QTemporaryDir m_dir;
    CLumoraApp m_app;
    int m_autoLoginMs = 60000;  // no automatic tick unless a test asks for one
    int m_exitCode = -1;
};

TEST_F(StartupTest, FirstRunRegistersThenLogsInAndStartsTheLibrary)
{
    startApp();
    ASSERT_EQ(m_app.stage(), CLumoraApp::Stage::Registration);
    registerUser("admin", "secret1", "secret1");
    ASSERT_TRUE(WaitFor([&] { return m_app.stage() == CLumoraApp::Stage::Login; }));

    CUserLoginDlg* dialog = m_app.loginDialog();
    ASSERT_NE(dialog, nullptr);
    auto* users = Child<QComboBox>(dialog, "userName");
    EXPECT_EQ(users->count(), 1);
    EXPECT_EQ(users->itemText(0), "admin");
    EXPECT_TRUE(users->currentText().isEmpty()) << "a user never picked is listed but not selected";
    EXPECT_FALSE(Child<QCheckBox>(dialog, "remember")->isChecked());

    QSignalSpy loggedIn(&m_app, &CLumoraApp::loggedIn);
    login("admin", "secret1");
    ASSERT_TRUE(WaitFor([&] { return loggedIn.count() == 1; }));
    EXPECT_TRUE(LumoraSdk::Started());
    EXPECT_EQ(LumoraSdk::ServerString(), QString::fromLatin1(kDefaultServerString));
    EXPECT_EQ(m_exitCode, 0) << "without a main frame start-up ends after the login";
    m_app.ExitInstance();
    EXPECT_FALSE(LumoraSdk::Started());
}

TEST_F(StartupTest, LoginOpensTheMainFrameWithItsPanes)
{
    ASSERT_EQ(UserInfoStore::Register("admin", "pw"), RegisterResult::Ok);
    m_app.setMainFrameFactory([] { return new CMainFrame; });
    startApp();
    login("admin", "pw");
    ASSERT_TRUE(WaitFor([&] { return m_app.mainFrame() != nullptr && m_app.mainFrame()->isVisible(); }));
    auto* frame = qobject_cast<CMainFrame*>(m_app.mainFrame());
    ASSERT_NE(frame, nullptr);
    EXPECT_NE(frame->devTreePane(), nullptr);
    EXPECT_NE(frame->alarmPane(), nullptr);
    EXPECT_EQ(m_exitCode, -1) << "the application runs on with its main frame";
    EXPECT_TRUE(QGuiApplication::quitOnLastWindowClosed());
    EXPECT_NE(frame->findChild<KeepAwake*>(), nullptr) << "the system is kept awake while the frame lives";
    frame->close();
    delete frame;
}

TEST_F(StartupTest, ExistingUserDatabaseSkipsRegistration)
{
    ASSERT_EQ(UserInfoStore::Register("admin", "pw"), RegisterResult::Ok);
    startApp();
    EXPECT_EQ(m_app.stage(), CLumoraApp::Stage::Login);
    EXPECT_EQ(m_app.registrationDialog(), nullptr);
}

struct RegistrationCase {
    const char* name;
    const char* user;
    const char* password;
    const char* repeat;
    const char* key;
};
void PrintTo(const RegistrationCase& c, std::ostream* os) { *os << c.name; }

class RegistrationRefusal : public StartupTest, public ::testing::WithParamInterface<RegistrationCase> {};

TEST_P(RegistrationRefusal, ShowsTheMessageAndStaysOpen)
{
    startApp();
    const RegistrationCase& c = GetParam();
    registerUser(QString::fromUtf8(c.user), QString::fromUtf8(c.password), QString::fromUtf8(c.repeat));
    EXPECT_EQ(onlyMessage(), CAppConfig::GetInstance()->GetLangString("UserRegist", c.key));
    EXPECT_EQ(m_app.stage(), CLumoraApp::Stage::Registration);
    EXPECT_FALSE(QFile::exists(m_dir.filePath("UserInfo.db")));
    EXPECT_EQ(Child<QLineEdit>(m_app.registrationDialog(), "userName")->text(), QString::fromUtf8(c.user)) << "typed text stays";
}

INSTANTIATE_TEST_SUITE_P(Cases, RegistrationRefusal,
                         ::testing::Values(RegistrationCase{"emptyName", "", "pw", "pw", "UserFormat"},
                                           RegistrationCase{"nameWithSpace", "ad min", "pw", "pw", "UserFormat"},
                                           RegistrationCase{"nameWithUnderscore", "ad_min", "pw", "pw", "UserFormat"},
                                           RegistrationCase{"nameWithQuote", "ad'min", "pw", "pw", "UserFormat"},
                                           RegistrationCase{"nonAsciiName", "用户", "pw", "pw", "UserFormat"},
                                           RegistrationCase{"emptyPassword", "admin", "", "", "PWFormat"},
                                           RegistrationCase{"passwordWithSpace", "admin", "p w", "p w", "PWFormat"},
                                           RegistrationCase{"badRepeat", "admin", "pw", "p_w", "PWFormat"},
                                           RegistrationCase{"passwordsDiffer", "admin", "pw1", "pW1", "PWDif"}),
                         CaseName());

TEST_F(StartupTest, RegistrationLanguageApplesToTheLogin)
{
    startApp();
    auto* languages = Child<QComboBox>(m_app.registrationDialog(), "language");
    ASSERT_EQ(languages->count(), 2);
    EXPECT_EQ(languages->itemText(0), "CN");
    EXPECT_EQ(languages->itemText(1), "EN");
    EXPECT_EQ(languages->currentText(), "EN") << "preselected from Lumora.ini";
    registerUser("admin", "pw", "pw", "CN");
    ASSERT_TRUE(WaitFor([&] { return m_app.stage() == CLumoraApp::Stage::Login; }));
    EXPECT_EQ(CAppConfig::GetInstance()->ReadProfileString("Language", "language", ""), "CN_LAN");
    EXPECT_EQ(Child<QPushButton>(m_app.loginDialog(), "ok")->text(), QString::fromUtf8("确定"));
}

TEST_F(StartupTest, CancelledRegistrationEndsWithExitCodeZero)
{
    startApp();
    Child<QPushButton>(m_app.registrationDialog(), "cancel")->click();
    ASSERT_TRUE(WaitFor([&] { return m_exitCode == 0; }));
    EXPECT_FALSE(LumoraSdk::Started());
    EXPECT_FALSE(QFile::exists(m_dir.filePath("UserInfo.db")));
}

TEST_F(StartupTest, CancelledLoginEndsWithExitCodeZero)
{
    ASSERT_EQ(UserInfoStore::Register("admin", "pw"), RegisterResult::Ok);
    startApp();
    QTest::keyClick(m_app.loginDialog(), Qt::Key_Escape);
    ASSERT_TRUE(WaitFor([&] { return m_exitCode == 0; }));
    EXPECT_FALSE(LumoraSdk::Started());
}

struct LoginCase {
    const char* name;
    const char* user;
    const char* password;
    const char* key;
};
void PrintTo(const LoginCase& c, std::ostream* os) { *os << c.name; }

class LoginRefusal : public StartupTest, public ::testing::WithParamInterface<LoginCase> {};

TEST_P(LoginRefusal, ShowsTheMessageAndStartsNothing)
{
    ASSERT_EQ(UserInfoStore::Register("admin", "Secret"), RegisterResult::Ok);
    startApp();
    login(QString::fromUtf8(GetParam().user), QString::fromUtf8(GetParam().password));
    EXPECT_EQ(onlyMessage(), CAppConfig::GetInstance()->GetLangString("UserLogin", GetParam().key));
    EXPECT_EQ(m_app.stage(), CLumoraApp::Stage::Login);
    EXPECT_FALSE(LumoraSdk::Started());
}

INSTANTIATE_TEST_SUITE_P(Cases, LoginRefusal,
                         ::testing::Values(LoginCase{"emptyName", "", "Secret", "Input"},
                                           LoginCase{"unknownUser", "nobody", "Secret", "NoExist"},
                                           LoginCase{"quotedName", "x' OR '1'='1", "Secret", "NoExist"},
                                           LoginCase{"wrongPassword", "admin", "nope", "PWError"},
                                           LoginCase{"passwordCaseDiffers", "admin", "secret", "PWError"}),
                         CaseName());

TEST_F(StartupTest, PickedRememberedUserIsPreselectedNextTime)
{
    ASSERT_EQ(UserInfoStore::Register("admin", "pw"), RegisterResult::Ok);
    {
        CUserLoginDlg first(nullptr, 60000);
        auto* users = Child<QComboBox>(&first, "userName");
        users->setCurrentIndex(0);
        first.OnSelchangeUser("admin");
        Child<QCheckBox>(&first, "remember")->click();
    }
    EXPECT_EQ(UserInfoStore::FindUser("admin")->firstUser, 1);
    EXPECT_EQ(UserInfoStore::FindUser("admin")->remember, 1);
    CUserLoginDlg second(nullptr, 60000);
    EXPECT_EQ(Child<QComboBox>(&second, "userName")->currentText(), "admin");
    const QString shown = Child<QLineEdit>(&second, "password")->text();
    EXPECT_FALSE(shown.isEmpty()) << "the field shows that a password is remembered";
    EXPECT_NE(shown, "pw");
    EXPECT_FALSE(shown.contains("pbkdf2")) << "the stored hash never reaches the field";
    EXPECT_TRUE(Child<QCheckBox>(&second, "remember")->isChecked());
    QSignalSpy accepted(&second, &QDialog::accepted);
    Child<QPushButton>(&second, "ok")->click();
    EXPECT_EQ(accepted.count(), 1) << "the remembered password logs in untyped";
}

TEST_F(StartupTest, RememberedMarkDoesNotStandForAnotherTypedPassword)
{
    ASSERT_EQ(UserInfoStore::Register("admin", "pw"), RegisterResult::Ok);
    UserInfoStore::MarkFirstUser("admin");
    UserInfoStore::SetRemember("admin", true);
    startApp();
    auto* field = Child<QLineEdit>(m_app.loginDialog(), "password");
    field->clear();
    QTest::keyClicks(field, "wrong");
    Child<QPushButton>(m_app.loginDialog(), "ok")->click();
    EXPECT_EQ(onlyMessage(), CAppConfig::GetInstance()->GetLangString("UserLogin", "PWError"));
    EXPECT_FALSE(LumoraSdk::Started());
}

TEST_F(StartupTest, PlainPasswordRowIsHashedAtTheNextLogin)
{
    // A database written before hashing holds the password itself.
    ASSERT_EQ(UserInfoStore::Register("admin", "pw"), RegisterResult::Ok);
    ASSERT_TRUE(UserInfoStore::SetPasswordHash("admin", "pw"));
    ASSERT_EQ(UserInfoStore::FindUser("admin")->password, "pw");
    startApp();
    login("admin", "pw");
    ASSERT_TRUE(WaitFor([&] { return LumoraSdk::Started(); }));
    const QString stored = UserInfoStore::FindUser("admin")->password;
    EXPECT_TRUE(PasswordHash::IsHash(stored)) << stored.toStdString();
    EXPECT_TRUE(PasswordHash::Verify("pw", stored));
}

TEST_F(StartupTest, EmptyUserDatabaseLeadsToTheRegistration)
{
    QFile empty(m_dir.filePath("UserInfo.db"));
    ASSERT_TRUE(empty.open(QIODevice::WriteOnly));
    empty.close();
    startApp();
    EXPECT_EQ(m_app.stage(), CLumoraApp::Stage::Registration);
    registerUser("admin", "secret1", "secret1");
    ASSERT_TRUE(WaitFor([&] { return m_app.stage() == CLumoraApp::Stage::Login; }));
    login("admin", "secret1");
    ASSERT_TRUE(WaitFor([&] { return LumoraSdk::Started(); }));
}

TEST_F(StartupTest, DamagedUserDatabaseIsKeptAsideAndTheUserRegisters)
{
    const QByteArray garbage = QByteArray("not a database at all ").repeated(200);
    {
        QFile file(m_dir.filePath("UserInfo.db"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(garbage);
    }
    startApp();
    ASSERT_EQ(m_app.stage(), CLumoraApp::Stage::Registration);
    const QString text = onlyMessage();
    EXPECT_TRUE(text.contains(QDir::toNativeSeparators(m_dir.filePath("UserInfo.db")))) << text.toStdString();
    EXPECT_TRUE(text.contains("UserInfo.db.damaged")) << text.toStdString();
    QFile aside(m_dir.filePath("UserInfo.db.damaged"));
    ASSERT_TRUE(aside.open(QIODevice::ReadOnly));
    EXPECT_EQ(aside.readAll(), garbage) << "the damaged file is kept byte for byte";
    CloseMessageBoxes();
    registerUser("admin", "secret1", "secret1");
    ASSERT_TRUE(WaitFor([&] { return m_app.stage() == CLumoraApp::Stage::Login; }));
    login("admin", "secret1");
    ASSERT_TRUE(WaitFor([&] { return LumoraSdk::Started(); }));
}

TEST_F(StartupTest, ServerButtonWorksOnlyForARegisteredUserAndKeepsWhatIsTyped)
{
    ASSERT_EQ(UserInfoStore::Register("admin", "pw"), RegisterResult::Ok);
    startApp();
    CUserLoginDlg* dialog = m_app.loginDialog();
    auto* server = Child<QPushButton>(dialog, "server");
    auto* users = Child<QComboBox>(dialog, "userName");
    EXPECT_FALSE(server->isEnabled()) << "no user picked: nothing could keep the string";
    users->setEditText("nobody");
    EXPECT_FALSE(server->isEnabled());
    users->setCurrentIndex(0);
    ASSERT_TRUE(server->isEnabled());
    server->click();
    auto* serverDialog = dialog->findChild<CServerDlg*>();
    ASSERT_NE(serverDialog, nullptr);
    Child<QPlainTextEdit>(serverDialog, "server")->setPlainText("TYPEDSTRING");
    serverDialog->OnOK();
    EXPECT_EQ(UserInfoStore::FindUser("admin")->server, "TYPEDSTRING");
}

TEST_F(StartupTest, AutomaticLoginNeedsNoInput)
{
    ASSERT_EQ(UserInfoStore::Register("admin", "pw"), RegisterResult::Ok);
    UserInfoStore::MarkFirstUser("admin");
    UserInfoStore::SetRemember("admin", true);
    UserInfoStore::SetAutoLogin("admin", true);
    m_autoLoginMs = 10;
    startApp();
    ASSERT_TRUE(WaitFor([&] { return m_app.stage() == CLumoraApp::Stage::Ended; }));
    EXPECT_TRUE(LumoraSdk::Started());
    EXPECT_TRUE(VisibleMessageBoxes().isEmpty());
}

TEST_F(StartupTest, FailingAutomaticLoginKeepsOneMessageBox)
{
    ASSERT_EQ(UserInfoStore::Register("admin", "pw"), RegisterResult::Ok);
    UserInfoStore::MarkFirstUser("admin");
    UserInfoStore::SetAutoLogin("admin", true);  // password not remembered: every attempt fails
    m_autoLoginMs = 5;
    startApp();
    ASSERT_TRUE(m_app.loginDialog()->autoLogin());
    EXPECT_EQ(onlyMessage(), CAppConfig::GetInstance()->GetLangString("UserLogin", "PWError"));
    // Many more ticks pass while the box is open.
    int ticks = 0;
    QTimer counter;
    QObject::connect(&counter, &QTimer::timeout, &counter, [&] { ++ticks; });
    counter.start(5);
    ASSERT_TRUE(WaitFor([&] { return ticks >= 20; }));
    EXPECT_EQ(VisibleMessageBoxes().size(), 1);

    // Closing the box lets the next tick try again: still one box.
    CloseMessageBoxes();
    EXPECT_EQ(onlyMessage(), CAppConfig::GetInstance()->GetLangString("UserLogin", "PWError"));
    // Unticking the box stops the attempts.
    Child<QCheckBox>(m_app.loginDialog(), "autoLogin")->click();
    CloseMessageBoxes();
    EXPECT_FALSE(m_app.loginDialog()->autoLogin());
    EXPECT_EQ(UserInfoStore::FindUser("admin")->autoLogin, 0);
    ticks = 0;
    ASSERT_TRUE(WaitFor([&] { return ticks >= 20; }));
    EXPECT_TRUE(VisibleMessageBoxes().isEmpty());
    EXPECT_FALSE(LumoraSdk::Started());
}

TEST_F(StartupTest, ServerStringDialogShowsAndReplacesTheString)
{
    ASSERT_EQ(UserInfoStore::Register("admin", "pw"), RegisterResult::Ok);
    {
        CServerDlg dialog("admin");
        auto* edit = Child<QPlainTextEdit>(&dialog, "server");
        EXPECT_EQ(edit->toPlainText(), QString::fromLatin1(kDefaultServerString));
        edit->setPlainText("");
        dialog.OnOK();
        EXPECT_EQ(UserInfoStore::FindUser("admin")->server, QString::fromLatin1(kDefaultServerString)) << "empty keeps the old";
    }
    {
        CServerDlg dialog("admin");
        Child<QPlainTextEdit>(&dialog, "server")->setPlainText("ABCDEFGH");
        dialog.OnOK();
    }
    EXPECT_EQ(UserInfoStore::FindUser("admin")->server, "ABCDEFGH");
    startApp();
    login("admin", "pw");
    ASSERT_TRUE(WaitFor([&] { return LumoraSdk::Started(); }));
    EXPECT_EQ(LumoraSdk::ServerString(), "ABCDEFGH") << "the next login hands over the new string";
}

}  // namespace
