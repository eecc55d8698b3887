// The user database on real files in a scratch data folder.
#include "ClientPaths.h"
#include "PasswordHash.h"
#include "SqliteDb.h"
#include "UserInfoStore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class UserInfoStoreTest : public ::testing::Test {
protected:
    void SetUp() override { SetDataFolder(m_dir.path()); }
    bool dbExists() const { return QFile::exists(m_dir.filePath("UserInfo.db")); }
    QTemporaryDir m_dir;
};

TEST_F(UserInfoStoreTest, RegistrationWritesOneRowWithDefaults)
{
    ASSERT_EQ(UserInfoStore::Register("admin", "pw123"), RegisterResult::Ok);
    const auto user = UserInfoStore::FirstUser();
    ASSERT_TRUE(user.has_value());
    EXPECT_EQ(user->name, "admin");
    EXPECT_TRUE(PasswordHash::IsHash(user->password)) << "the password itself is never stored";
    EXPECT_FALSE(user->password.contains("pw123"));
    EXPECT_TRUE(PasswordHash::Verify("pw123", user->password));
    EXPECT_EQ(user->autoLogin, 0);
    EXPECT_EQ(user->remember, 0);
    EXPECT_EQ(user->firstUser, 0);
    EXPECT_EQ(user->server, QString::fromLatin1(kDefaultServerString));
    EXPECT_EQ(QString::fromLatin1(kDefaultServerString).size(), 98);

    SqliteDb db;
    ASSERT_EQ(db.Open(m_dir.filePath("UserInfo.db").toStdString()), SQLITE_OK);
    SqliteQuery count = db.ExecQuery("SELECT COUNT(*) AS N FROM UserInfo");
    EXPECT_EQ(count.GetIntField("N"), 1);
}

TEST(PasswordHashTest, SaltedHashVerifiesOnlyItsPassword)
{
    const QString first = PasswordHash::Make("Secret");
    const QString second = PasswordHash::Make("Secret");
    ASSERT_TRUE(PasswordHash::IsHash(first));
    EXPECT_NE(first, second) << "each hash has its own salt";
    EXPECT_TRUE(PasswordHash::Verify("Secret", first));
    EXPECT_TRUE(PasswordHash::Verify("Secret", second));
    EXPECT_FALSE(PasswordHash::Verify("secret", first));
    EXPECT_FALSE(PasswordHash::Verify("", first));
    EXPECT_FALSE(PasswordHash::Verify(first, first)) << "knowing the stored text is not knowing the password";
}

TEST(PasswordHashTest, MalformedStoredHashesMatchNothing)
{
    const QString good = PasswordHash::Make("pw");
    const QStringList parts = good.split('$');
    const QString cases[] = {
        "pbkdf2-sha512$",
        "pbkdf2-sha512$$$",
        "pbkdf2-sha512$0$" + parts[2] + "$" + parts[3],
        "pbkdf2-sha512$-5$" + parts[2] + "$" + parts[3],
        "pbkdf2-sha512$99999999999$" + parts[2] + "$" + parts[3],  // would spin for minutes
        "pbkdf2-sha512$1000$!!!$" + parts[3],
        "pbkdf2-sha512$1000$" + parts[2] + "$",
        "pbkdf2-sha512$1000$" + parts[2] + "$" + QString(200, 'A'),  // oversized hash
        parts[0] + "$" + parts[1] + "$" + parts[2] + "$" + parts[3] + "$extra",
    };
    for (const QString& stored : cases)
        EXPECT_FALSE(PasswordHash::Verify("pw", stored)) << stored.toStdString();
    // A row from before hashing holds the password itself and still verifies as text.
    EXPECT_TRUE(PasswordHash::Verify("pw", "pw"));
    EXPECT_FALSE(PasswordHash::IsHash("pw"));
}

TEST_F(UserInfoStoreTest, EmptyDatabaseFileTakesARegistration)
{
    QFile empty(m_dir.filePath("UserInfo.db"));
    ASSERT_TRUE(empty.open(QIODevice::WriteOnly));
    empty.close();
    EXPECT_FALSE(UserInfoStore::FirstUser().has_value());
    ASSERT_EQ(UserInfoStore::Register("admin", "pw"), RegisterResult::Ok);
    ASSERT_TRUE(UserInfoStore::FirstUser().has_value());
    EXPECT_EQ(UserInfoStore::FirstUser()->name, "admin");
}

TEST_F(UserInfoStoreTest, FailedRegistrationLeavesNoDatabase)
{
    // A folder in the journal's place makes the first write fail.
    ASSERT_TRUE(QDir(m_dir.path()).mkdir("UserInfo.db-journal"));
    EXPECT_EQ(UserInfoStore::Register("admin", "pw"), RegisterResult::StatementFailed);
    EXPECT_FALSE(dbExists());
}

TEST_F(UserInfoStoreTest, FlagsAndServerAreStoredForTheNamedUser)
{
    ASSERT_EQ(UserInfoStore::Register("admin", "pw"), RegisterResult::Ok);
    EXPECT_TRUE(UserInfoStore::SetRemember("admin", true));
    EXPECT_TRUE(UserInfoStore::SetAutoLogin("admin", true));
    EXPECT_TRUE(UserInfoStore::MarkFirstUser("admin"));
    EXPECT_EQ(UserInfoStore::SetServer("admin", "SERVER'STRING"), 1);
    EXPECT_EQ(UserInfoStore::SetServer("nobody", "X"), 0);
    const auto user = UserInfoStore::FindUser("admin");
    ASSERT_TRUE(user.has_value());
    EXPECT_EQ(user->remember, 1);
    EXPECT_EQ(user->autoLogin, 1);
    EXPECT_EQ(user->firstUser, 1);
    EXPECT_EQ(user->server, "SERVER'STRING");
}

TEST_F(UserInfoStoreTest, NamesWithQuotesFindNothingAndBreakNothing)
{
    ASSERT_EQ(UserInfoStore::Register("admin", "pw"), RegisterResult::Ok);
    EXPECT_FALSE(UserInfoStore::FindUser("x' OR '1'='1").has_value());
    EXPECT_TRUE(UserInfoStore::SetAutoLogin("a'b", true));
    EXPECT_EQ(UserInfoStore::FindUser("admin")->autoLogin, 0);
}

TEST_F(UserInfoStoreTest, MissingDatabaseIsNotCreatedByReadsOrUpdates)
{
    EXPECT_FALSE(UserInfoStore::FirstUser().has_value());
    EXPECT_FALSE(UserInfoStore::SetRemember("admin", true));
    EXPECT_EQ(UserInfoStore::SetServer("admin", "X"), -1);
    EXPECT_FALSE(dbExists());
}

TEST_F(UserInfoStoreTest, DatabaseWithoutTableReadsAsNoUser)
{
    QFile file(m_dir.filePath("UserInfo.db"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    EXPECT_FALSE(UserInfoStore::FirstUser().has_value());
    EXPECT_FALSE(UserInfoStore::FindUser("admin").has_value());
}

}  // namespace
