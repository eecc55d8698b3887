// The SQLite layer on real database files.
#include "SqliteDb.h"

#include "CaseName.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class SqliteLayer : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(m_db.Open(m_dir.filePath("t.db").toStdString()), SQLITE_OK);
        m_db.ExecDml("CREATE TABLE DevInfo (UID char(50) primary key, NAME char(100), PA char(50), N int)");
    }
    QTemporaryDir m_dir;
    SqliteDb m_db{60000};
};

TEST_F(SqliteLayer, QueryWithoutRowsIsAtEndAndKnowsItsColumns)
{
    SqliteQuery query = m_db.ExecQuery("SELECT * FROM DevInfo");
    EXPECT_TRUE(query.Eof());
    EXPECT_EQ(query.NumFields(), 4);
}

TEST_F(SqliteLayer, BoundTextsKeepQuotesAndSemicolons)
{
    const std::string uid = "ABC'; DROP TABLE DevInfo; --";
    const std::string alias = "Bob's \"front\" door";
    EXPECT_EQ(m_db.ExecDml("INSERT INTO DevInfo VALUES(?, ?, ?, ?)", {uid, alias, std::string("p'w"), nullptr}), 1);
    SqliteQuery query = m_db.ExecQuery("SELECT * FROM DevInfo WHERE UID = ?", {uid});
    ASSERT_FALSE(query.Eof());
    EXPECT_EQ(query.GetStringField("NAME"), alias);
    EXPECT_EQ(query.GetStringField("PA"), "p'w");
    EXPECT_EQ(query.GetIntField("N", -5), -5) << "NULL gives the caller's default";
    query.NextRow();
    EXPECT_TRUE(query.Eof());
}

TEST_F(SqliteLayer, RowsAreWalkedInOrder)
{
    for (std::int64_t i = 0; i < 3; ++i) {
        m_db.ExecDml("INSERT INTO DevInfo VALUES(?, 'a', 'b', ?)", {"U" + std::to_string(i), i});
    }
    SqliteQuery query = m_db.ExecQuery("SELECT * FROM DevInfo ORDER BY N");
    std::vector<int> seen;
    for (; !query.Eof(); query.NextRow()) {
        seen.push_back(query.GetIntField("N"));
    }
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2}));
}

TEST_F(SqliteLayer, FieldNamesAreCaseSensitive)
{
    m_db.ExecDml("INSERT INTO DevInfo VALUES('u', 'a', 'b', 1)");
    SqliteQuery query = m_db.ExecQuery("SELECT * FROM DevInfo");
    EXPECT_EQ(query.FieldIndex("NAME"), 1);
    try {
        query.FieldIndex("name");
        FAIL() << "no exception";
    } catch (const SqliteException& e) {
        EXPECT_EQ(e.errorCode(), kCppSqliteError);
        EXPECT_EQ(e.errorMessage(), "CPPSQLITE_ERROR[1000]: Invalid field name requested");
    }
    EXPECT_THROW(query.FieldDataType(4), SqliteException);
    EXPECT_THROW(query.FieldDataType(-1), SqliteException);
}

struct ErrorCase {
    const char* name;
    const char* sql;
    int code;
};
void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

class SqliteErrors : public SqliteLayer, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(SqliteErrors, FailedStatementsThrowTheirCode)
{
    m_db.ExecDml("INSERT INTO DevInfo VALUES('u', 'a', 'b', 1)");
    try {
        m_db.ExecDml(GetParam().sql);
        FAIL() << "no exception";
    } catch (const SqliteException& e) {
        EXPECT_EQ(e.errorCode(), GetParam().code) << e.errorMessage();
    }
    try {
        m_db.ExecQuery(GetParam().sql);
        FAIL() << "no exception";
    } catch (const SqliteException& e) {
        EXPECT_EQ(e.errorCode(), GetParam().code) << e.errorMessage();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SqliteErrors,
    ::testing::Values(ErrorCase{"syntax", "SELEC nothing", SQLITE_ERROR},
                      ErrorCase{"missingTable", "SELECT * FROM Nope", SQLITE_ERROR},
                      ErrorCase{"pastedQuoteBreaksStatement", "SELECT * FROM DevInfo WHERE UID = 'a'b'", SQLITE_ERROR},
                      ErrorCase{"duplicateKey", "INSERT INTO DevInfo VALUES('u', 'a', 'b', 1)", SQLITE_CONSTRAINT}),
    CaseName());

TEST_F(SqliteLayer, ParameterCountMustMatch)
{
    EXPECT_THROW(m_db.ExecDml("INSERT INTO DevInfo VALUES(?, ?, ?, ?)", {std::string("only one")}), SqliteException);
}

TEST(SqliteLayerNoDb, ClosedDatabaseThrowsNotOpen)
{
    SqliteDb db;
    try {
        db.ExecDml("SELECT 1");
        FAIL() << "no exception";
    } catch (const SqliteException& e) {
        EXPECT_EQ(e.errorMessage(), "CPPSQLITE_ERROR[1000]: Database not open");
    }
    EXPECT_THROW(db.ExecQuery("SELECT 1"), SqliteException);
}

TEST(SqliteLayerNoDb, ExceptionMessageForUnknownCode)
{
    EXPECT_EQ(SqliteException(4242, "boom").errorMessage(), "UNKNOWN_ERROR[4242]: boom");
    EXPECT_EQ(SqliteException(SQLITE_DONE, "").errorMessage(), "SQLITE_DONE[101]: ");
    EXPECT_EQ(SqliteException(SQLITE_RANGE, "x").errorMessage(), "SQLITE_RANGE[25]: x");
}

TEST_F(SqliteLayer, ClosingWhileAQueryLivesFailsAndKeepsTheHandle)
{
    m_db.ExecDml("INSERT INTO DevInfo VALUES('u', 'a', 'b', 1)");
    SqliteQuery query = m_db.ExecQuery("SELECT * FROM DevInfo");
    EXPECT_THROW(m_db.Close(), SqliteException);
    EXPECT_TRUE(m_db.IsOpen());
    query.Finalize();
    EXPECT_THROW(query.NextRow(), SqliteException) << "finalised query has no statement";
    m_db.Close();
    EXPECT_FALSE(m_db.IsOpen());
}

}  // namespace
