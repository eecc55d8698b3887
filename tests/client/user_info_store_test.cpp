// The user database on real files in a scratch data folder.
#include "ClientPaths.h"
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
    EXPECT_EQ(user->password, "pw123");
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
