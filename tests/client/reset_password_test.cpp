// The device alias and password dialog on a real DevInfo.db.
#include "CResetPADlg.h"
#include "CaseName.h"
#include "ClientTestSupport.h"
#include "LangText.h"
#include "SqliteDb.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>

using namespace clienttest;

namespace {

class ResetPasswordTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        PrepareDataFolder(m_dir);
        SqliteDb db;
        ASSERT_EQ(db.Open(m_dir.filePath("DevInfo.db").toStdString()), SQLITE_OK);
        db.ExecDml("CREATE TABLE DevInfo (UID char(25) primary key, PA char(25), NAME char(25), Mac char(25))");
        db.ExecDml("INSERT INTO DevInfo VALUES(?, ?, ?, ?)", {std::string("CAM'A"), std::string("old"), std::string("Front"), std::string("m1")});
        db.ExecDml("INSERT INTO DevInfo VALUES(?, ?, ?, ?)", {std::string("CAMB"), std::string("bpw"), std::string("Back"), std::string("m2")});
        m_dialog.LoadDevInfo("CAM'A");
    }
    void TearDown() override { CloseMessageBoxes(); }

    std::string column(const char* uid, const char* name)
    {
        SqliteDb db;
        db.Open(m_dir.filePath("DevInfo.db").toStdString());
        SqliteQuery query = db.ExecQuery("SELECT * FROM DevInfo WHERE UID = ?", {std::string(uid)});
        return query.Eof() ? "<none>" : query.GetStringField(name);
    }
    QString onlyMessage()
    {
        EXPECT_TRUE(WaitFor([] { return !VisibleMessageBoxes().isEmpty(); }));
        const auto boxes = VisibleMessageBoxes();
        EXPECT_EQ(boxes.size(), 1);
        return boxes.isEmpty() ? QString() : boxes.front()->text();
    }

    QTemporaryDir m_dir;
    CResetPADlg m_dialog;
};

TEST_F(ResetPasswordTest, AliasOnlyRenamesAndSendsNothing)
{
    QSignalSpy renamed(&m_dialog, &CResetPADlg::aliasChanged);
    m_dialog.show();
    EXPECT_EQ(Child<QLineEdit>(&m_dialog, "alias")->text(), "Front");
    Child<QLineEdit>(&m_dialog, "alias")->setText("Bob's door");
    Child<QPushButton>(&m_dialog, "ok")->click();
    EXPECT_EQ(column("CAM'A", "NAME"), "Bob's door");
    ASSERT_EQ(renamed.count(), 1);
    EXPECT_EQ(renamed.front().at(0).toString(), "CAM'A");
    EXPECT_FALSE(m_dialog.isVisible());
    EXPECT_EQ(column("CAM'A", "PA"), "old");

    m_dialog.show();
    Child<QPushButton>(&m_dialog, "ok")->click();
    EXPECT_EQ(renamed.count(), 1) << "an unchanged alias writes nothing";
}

struct RefusalCase {
    const char* name;
    const char* oldPassword;
    const char* newPassword;
    const char* repeat;
    const char* key;
};
void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class ResetPasswordRefusal : public ResetPasswordTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(ResetPasswordRefusal, StaysOpenWithTheMessage)
{
    m_dialog.show();
    Child<QLineEdit>(&m_dialog, "oldPassword")->setText(GetParam().oldPassword);
    Child<QLineEdit>(&m_dialog, "newPassword")->setText(GetParam().newPassword);
    Child<QLineEdit>(&m_dialog, "repeatPassword")->setText(GetParam().repeat);
    Child<QPushButton>(&m_dialog, "ok")->click();
    EXPECT_EQ(onlyMessage(), LangText("DevPWSet", GetParam().key));
    EXPECT_TRUE(m_dialog.isVisible());
}

INSTANTIATE_TEST_SUITE_P(Cases, ResetPasswordRefusal,
                         ::testing::Values(RefusalCase{"wrongOldPassword", "OLD", "n", "n", "OldPwError"},
                                           RefusalCase{"newPasswordsDiffer", "old", "new1", "New1", "PwTwiceError"}),
                         CaseName());

struct ReplyCase {
    const char* name;
    const char* reply;
    bool stored;
    const char* key;
};
void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

class ResetPasswordReply : public ResetPasswordTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ResetPasswordReply, StoresTheSentPasswordOnlyWhenTheDeviceAgreed)
{
    Child<QLineEdit>(&m_dialog, "newPassword")->setText("typed later");
    m_dialog.OnResetPasswordReply(QString::fromUtf8(GetParam().reply), "CAM'A", "sent'pw");
    EXPECT_EQ(onlyMessage(), LangText("DevPWSet", GetParam().key));
    EXPECT_EQ(column("CAM'A", "PA"), GetParam().stored ? "sent'pw" : "old");
}

INSTANTIATE_TEST_SUITE_P(Cases, ResetPasswordReply,
                         ::testing::Values(ReplyCase{"accepted", "{\"ret\":0}", true, "Success"},
                                           ReplyCase{"noRetReadsAsZero", "{}", true, "Success"},
                                           ReplyCase{"refused", "{\"ret\":3}", false, "Fail"},
                                           ReplyCase{"timedOut", "", false, "Fail"},
                                           ReplyCase{"notJson", "garbage", false, "Fail"}),
                         CaseName());

TEST_F(ResetPasswordTest, ReplyGoesToTheDeviceThatAsked)
{
    m_dialog.LoadDevInfo("CAMB");
    m_dialog.OnResetPasswordReply("{\"ret\":0}", "CAM'A", "newA");
    EXPECT_EQ(column("CAM'A", "PA"), "newA");
    EXPECT_EQ(column("CAMB", "PA"), "bpw");
}

TEST_F(ResetPasswordTest, ReplyForAVanishedRowSaysSo)
{
    m_dialog.OnResetPasswordReply("{\"ret\":0}", "GONE", "x");
    EXPECT_EQ(onlyMessage(), "Couldn't inste table TestRes");
}

// The device answers after the dialog has hidden itself; its result must not sit window-modal on
// the hidden dialog, where it blocks the main window from behind it.
TEST_F(ResetPasswordTest, ResultAfterHidingShowsOnAVisibleOwner)
{
    for (const bool openerVisible : {true, false}) {
        SCOPED_TRACE(openerVisible ? "opener visible" : "opener hidden");
        QWidget opener;
        opener.setVisible(openerVisible);
        CResetPADlg dialog(&opener);
        dialog.LoadDevInfo("CAM'A");
        dialog.show();
        dialog.hide();
        dialog.OnResetPasswordReply("{\"ret\":0}", "CAM'A", "new");
        const QString text = onlyMessage();
        EXPECT_EQ(text, LangText("DevPWSet", "Success"));
        for (QMessageBox* box : VisibleMessageBoxes()) {
            QWidget* owner = box->parentWidget();
            EXPECT_TRUE(owner == nullptr || owner->window()->isVisible()) << "the box hangs on a hidden window";
            EXPECT_EQ(owner, openerVisible ? &opener : nullptr);
        }
        CloseMessageBoxes();
    }
}

TEST_F(ResetPasswordTest, ShowPasswordsTogglesAllThreeEdits)
{
    auto* visible = Child<QCheckBox>(&m_dialog, "visible");
    visible->click();
    for (const char* name : {"oldPassword", "newPassword", "repeatPassword"}) {
        EXPECT_EQ(Child<QLineEdit>(&m_dialog, name)->echoMode(), QLineEdit::Normal) << name;
    }
    visible->click();
    for (const char* name : {"oldPassword", "newPassword", "repeatPassword"}) {
        EXPECT_EQ(Child<QLineEdit>(&m_dialog, name)->echoMode(), QLineEdit::Password) << name;
    }
}

}  // namespace
