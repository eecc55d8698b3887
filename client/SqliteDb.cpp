#include "SqliteDb.h"

#include <memory>
#include <utility>

namespace {

const char* const kCodeNames[] = {
    "SQLITE_OK",       "SQLITE_ERROR",  "SQLITE_INTERNAL", "SQLITE_PERM",      "SQLITE_ABORT",  "SQLITE_BUSY",
    "SQLITE_LOCKED",   "SQLITE_NOMEM",  "SQLITE_READONLY", "SQLITE_INTERRUPT", "SQLITE_IOERR",  "SQLITE_CORRUPT",
    "SQLITE_NOTFOUND", "SQLITE_FULL",   "SQLITE_CANTOPEN", "SQLITE_PROTOCOL",  "SQLITE_EMPTY",  "SQLITE_SCHEMA",
    "SQLITE_TOOBIG",   "SQLITE_CONSTRAINT", "SQLITE_MISMATCH", "SQLITE_MISUSE", "SQLITE_NOLFS", "SQLITE_AUTH",
    "SQLITE_FORMAT",   "SQLITE_RANGE"};

struct StatementFinalize {
    void operator()(sqlite3_stmt* statement) const noexcept { sqlite3_finalize(statement); }
};

}  // namespace

SqliteException::SqliteException(int code, const std::string& text)
    : m_code(code), m_message(std::string(codeName(code)) + "[" + std::to_string(code) + "]: " + text)
{
}

const char* SqliteException::codeName(int code)
{
    if (code >= 0 && code < static_cast<int>(std::size(kCodeNames))) {
        return kCodeNames[code];
    }
    switch (code) {
    case SQLITE_ROW: return "SQLITE_ROW";
    case SQLITE_DONE: return "SQLITE_DONE";
    case kCppSqliteError: return "CPPSQLITE_ERROR";
    default: return "UNKNOWN_ERROR";
    }
}

SqliteDb::SqliteDb(int busyTimeoutMs) : m_busyTimeoutMs(busyTimeoutMs) {}

SqliteDb::~SqliteDb()
{
    try {
        Close();
    } catch (const SqliteException&) {
        // A statement still alive keeps the handle; nothing more can be done here.
    }
}

int SqliteDb::Open(const std::string& utf8Path)
{
    if (m_db != nullptr) {
        return SQLITE_MISUSE;
    }
    const int result = sqlite3_open(utf8Path.c_str(), &m_db);
    if (result != SQLITE_OK) {
        sqlite3_close(m_db);  // sqlite3_open may hand back a handle even on failure
        m_db = nullptr;
        return result;
    }
    sqlite3_busy_timeout(m_db, m_busyTimeoutMs);
    return result;
}

void SqliteDb::Close()
{
    if (m_db == nullptr) {
        return;
    }
    if (sqlite3_close(m_db) != SQLITE_OK) {
        throw SqliteException(kCppSqliteError, "Unable to close database");
    }
    m_db = nullptr;
}

void SqliteDb::checkOpen() const
{
    if (m_db == nullptr) {
        throw SqliteException(kCppSqliteError, "Database not open");
    }
}

sqlite3_stmt* SqliteDb::compile(const std::string& sql, const SqlParams& params)
{
    checkOpen();
    sqlite3_stmt* raw = nullptr;
    const int prepared = sqlite3_prepare_v2(m_db, sql.c_str(), static_cast<int>(sql.size()), &raw, nullptr);
    std::unique_ptr<sqlite3_stmt, StatementFinalize> statement(raw);
    if (prepared != SQLITE_OK) {
        throw SqliteException(prepared, sqlite3_errmsg(m_db));
    }
    if (statement == nullptr) {
        throw SqliteException(kCppSqliteError, "Empty statement");
    }
    if (sqlite3_bind_parameter_count(statement.get()) != static_cast<int>(params.size())) {
        throw SqliteException(SQLITE_RANGE, "Parameter count does not match the statement");
    }
    for (size_t i = 0; i < params.size(); ++i) {
        const int index = static_cast<int>(i) + 1;
        int bound = SQLITE_OK;
        if (const auto* text = std::get_if<std::string>(&params[i])) {
            bound = sqlite3_bind_text(statement.get(), index, text->data(), static_cast<int>(text->size()), SQLITE_TRANSIENT);
        } else if (const auto* number = std::get_if<std::int64_t>(&params[i])) {
            bound = sqlite3_bind_int64(statement.get(), index, *number);
        } else {
            bound = sqlite3_bind_null(statement.get(), index);
        }
        if (bound != SQLITE_OK) {
            throw SqliteException(bound, sqlite3_errmsg(m_db));
        }
    }
    return statement.release();
}

int SqliteDb::ExecDml(const std::string& sql, const SqlParams& params)
{
    checkOpen();
    if (params.empty()) {
        char* error = nullptr;
        const int result = sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &error);
        if (result != SQLITE_OK) {
            const std::string text = error != nullptr ? error : "";
            sqlite3_free(error);
            throw SqliteException(result, text);
        }
        return sqlite3_changes(m_db);
    }
    std::unique_ptr<sqlite3_stmt, StatementFinalize> statement(compile(sql, params));
    int step = SQLITE_ROW;
    while (step == SQLITE_ROW) {
        step = sqlite3_step(statement.get());
    }
    if (step != SQLITE_DONE) {
        const std::string text = sqlite3_errmsg(m_db);
        throw SqliteException(sqlite3_finalize(statement.release()), text);
    }
    return sqlite3_changes(m_db);
}

SqliteQuery SqliteDb::ExecQuery(const std::string& sql, const SqlParams& params)
{
    sqlite3_stmt* statement = compile(sql, params);
    const int step = sqlite3_step(statement);
    if (step == SQLITE_DONE || step == SQLITE_ROW) {
        return SqliteQuery(m_db, statement, step == SQLITE_DONE);
    }
    const std::string text = sqlite3_errmsg(m_db);
    const int code = sqlite3_finalize(statement);
    throw SqliteException(code != SQLITE_OK ? code : step, text);
}

SqliteQuery::SqliteQuery(sqlite3* db, sqlite3_stmt* statement, bool eof)
    : m_db(db), m_statement(statement), m_eof(eof), m_columns(sqlite3_column_count(statement))
{
}

SqliteQuery::~SqliteQuery()
{
    try {
        Finalize();
    } catch (const SqliteException&) {
    }
}

SqliteQuery::SqliteQuery(SqliteQuery&& other) noexcept
    : m_db(other.m_db),
      m_statement(std::exchange(other.m_statement, nullptr)),
      m_eof(std::exchange(other.m_eof, true)),
      m_columns(std::exchange(other.m_columns, 0))
{
}

SqliteQuery& SqliteQuery::operator=(SqliteQuery&& other) noexcept
{
    if (this != &other) {
        try {
            Finalize();
        } catch (const SqliteException&) {
        }
        m_db = other.m_db;
        m_statement = std::exchange(other.m_statement, nullptr);
        m_eof = std::exchange(other.m_eof, true);
        m_columns = std::exchange(other.m_columns, 0);
    }
    return *this;
}

void SqliteQuery::checkStatement() const
{
    if (m_statement == nullptr) {
        throw SqliteException(kCppSqliteError, "Null Virtual Machine pointer");
    }
}

void SqliteQuery::NextRow()
{
    checkStatement();
    const int step = sqlite3_step(m_statement);
    if (step == SQLITE_DONE) {
        m_eof = true;
    } else if (step != SQLITE_ROW) {
        const std::string text = sqlite3_errmsg(m_db);
        const int code = sqlite3_finalize(m_statement);
        m_statement = nullptr;
        throw SqliteException(code != SQLITE_OK ? code : step, text);
    }
}

int SqliteQuery::FieldIndex(const std::string& name) const
{
    checkStatement();
    for (int column = 0; column < m_columns; ++column) {
        const char* columnName = sqlite3_column_name(m_statement, column);
        if (columnName != nullptr && name == columnName) {
            return column;
        }
    }
    throw SqliteException(kCppSqliteError, "Invalid field name requested");
}

int SqliteQuery::FieldDataType(int column) const
{
    checkStatement();
    if (column < 0 || column >= m_columns) {
        throw SqliteException(kCppSqliteError, "Invalid field index requested");
    }
    return sqlite3_column_type(m_statement, column);
}

std::string SqliteQuery::GetStringField(const std::string& name, const std::string& nullValue) const
{
    const int column = FieldIndex(name);
    if (m_eof || FieldDataType(column) == SQLITE_NULL) {
        return nullValue;
    }
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(m_statement, column));
    const int length = sqlite3_column_bytes(m_statement, column);
    return text != nullptr ? std::string(text, static_cast<size_t>(length)) : nullValue;
}

int SqliteQuery::GetIntField(const std::string& name, int nullValue) const
{
    const int column = FieldIndex(name);
    if (m_eof || FieldDataType(column) == SQLITE_NULL) {
        return nullValue;
    }
    return sqlite3_column_int(m_statement, column);
}

void SqliteQuery::Finalize()
{
    if (m_statement == nullptr) {
        return;
    }
    const int result = sqlite3_finalize(m_statement);
    m_statement = nullptr;
    if (result != SQLITE_OK) {
        throw SqliteException(result, sqlite3_errmsg(m_db));
    }
}
