#pragma once
// A thin object layer over SQLite for the client's three small databases beside the program.
// Every statement that carries a value takes it as a bound parameter ('?'), never by pasting text
// into the SQL: UIDs, aliases and LAN-search answers may hold quotes. Failures are thrown as
// SqliteException; every client operation catches them at its own boundary.

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

class SqliteException {
public:
    // Message "<code name>[<code>]: <text>" ("UNKNOWN_ERROR" for a code outside the list).
    SqliteException(int code, const std::string& text);
    virtual ~SqliteException() = default;

    int errorCode() const { return m_code; }
    const std::string& errorMessage() const { return m_message; }

    static const char* codeName(int code);

private:
    int m_code;
    std::string m_message;
};

// The layer's own error code.
inline constexpr int kCppSqliteError = 1000;

// A value bound to one '?' of a statement.
using SqlValue = std::variant<std::nullptr_t, std::int64_t, std::string>;
using SqlParams = std::vector<SqlValue>;

class SqliteQuery;

class SqliteDb {
public:
    explicit SqliteDb(int busyTimeoutMs = 60000);
    virtual ~SqliteDb();  // closes; a failure to close is dropped and the handle stays set
    SqliteDb(const SqliteDb&) = delete;
    SqliteDb& operator=(const SqliteDb&) = delete;

    // Opens (creating when absent) the file at a UTF-8 path and sets the busy time-out. Returns
    // sqlite3_open's result; throws nothing.
    int Open(const std::string& utf8Path);
    bool IsOpen() const { return m_db != nullptr; }
    // Throws "Unable to close database" while a statement is still alive.
    void Close();

    // Runs a statement that returns no rows, with its parameters bound in order; returns the
    // number of rows changed. Without parameters the text may hold several statements.
    int ExecDml(const std::string& sql, const SqlParams& params = {});
    // Runs a query; the result stands on its first row, or has Eof() set when there is none.
    SqliteQuery ExecQuery(const std::string& sql, const SqlParams& params = {});

    sqlite3* handle() const { return m_db; }

private:
    sqlite3_stmt* compile(const std::string& sql, const SqlParams& params);
    void checkOpen() const;

    sqlite3* m_db = nullptr;
    int m_busyTimeoutMs;
};

class SqliteQuery {
public:
    SqliteQuery() = default;
    SqliteQuery(sqlite3* db, sqlite3_stmt* statement, bool eof);
    virtual ~SqliteQuery();  // finalises; a failure is dropped
    SqliteQuery(SqliteQuery&& other) noexcept;
    SqliteQuery& operator=(SqliteQuery&& other) noexcept;
    SqliteQuery(const SqliteQuery&) = delete;
    SqliteQuery& operator=(const SqliteQuery&) = delete;

    bool Eof() const { return m_eof; }
    void NextRow();
    int NumFields() const { return m_columns; }
    // Exact, case-sensitive column name; throws "Invalid field name requested" when none matches.
    int FieldIndex(const std::string& name) const;
    // SQLITE_INTEGER, SQLITE_TEXT, SQLITE_NULL...; throws "Invalid field index requested".
    int FieldDataType(int column) const;
    std::string GetStringField(const std::string& name, const std::string& nullValue = "") const;
    // nullValue when the column holds NULL.
    int GetIntField(const std::string& name, int nullValue = 0) const;
    void Finalize();

private:
    void checkStatement() const;

    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_statement = nullptr;
    bool m_eof = true;
    int m_columns = 0;
};
