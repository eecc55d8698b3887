#include "DeviceDatabases.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include "SqliteDb.h"

namespace {

// Every operation here runs on the GUI thread: another process holding a file locked is waited
// for this long, then the operation fails and the caller says so, instead of freezing the
// window for a minute.
constexpr int kBusyTimeoutMs = 2000;

bool open(SqliteDb& db, const QString& file)
{
    return db.Open(file.toUtf8().toStdString()) == SQLITE_OK;
}

std::string utf8(const QString& text)
{
    return text.toUtf8().toStdString();
}

QString field(const SqliteQuery& q, const char* name)
{
    return QString::fromUtf8(q.GetStringField(name).c_str());
}

} // namespace

namespace DevInfoTable {

QString path(const QString& folder)
{
    return QDir(folder).filePath(QString::fromLatin1(kFileName));
}

bool exists(const QString& folder)
{
    return QFileInfo::exists(path(folder));
}

std::vector<DevInfoRow> load(const QString& folder, bool* complete, int busyTimeoutMs)
{
    std::vector<DevInfoRow> rows;
    if (complete)
        *complete = false;
    if (!exists(folder))
        return rows;
    try {
        SqliteDb db(busyTimeoutMs);
        if (!open(db, path(folder)))
            return rows;
        for (SqliteQuery q = db.ExecQuery("SELECT * FROM DevInfo"); !q.Eof(); q.NextRow())
            rows.push_back({field(q, "UID"), field(q, "PA"), field(q, "NAME"), field(q, "Mac")});
        if (complete)
            *complete = true;
    } catch (const SqliteException&) {
        // the rows read so far stay
    }
    return rows;
}

StoreResult store(const QString& folder, const std::vector<DevInfoRow>& rows, std::vector<DevInfoRow>* stored)
{
    const bool existed = exists(folder);
    SqliteDb db(kBusyTimeoutMs);
    try {
        open(db, path(folder));
        if (!existed)
            db.ExecDml(kCreate);
    } catch (const SqliteException&) {
        return StoreResult::CreateFailed;
    }
    for (const DevInfoRow& row : rows) {
        try {
            db.ExecDml("DELETE FROM DevInfo WHERE UID = ?", {utf8(row.uid)});
            db.ExecDml("INSERT INTO DevInfo VALUES(?, ?, ?, ?)", {utf8(row.uid), utf8(row.password), utf8(row.alias), utf8(row.mac)});
        } catch (const SqliteException&) {
            return StoreResult::InsertFailed;
        }
        if (stored)
            stored->push_back(row);
    }
    return StoreResult::Stored;
}

QString password(const QString& folder, const QString& uid)
{
    if (!exists(folder))
        return {};
    try {
        SqliteDb db(kBusyTimeoutMs);
        open(db, path(folder));
        SqliteQuery q = db.ExecQuery("SELECT PA FROM DevInfo WHERE UID = ?", {utf8(uid)});
        return q.Eof() ? QString() : field(q, "PA");
    } catch (const SqliteException&) {
        return {};
    }
}

bool remove(const QString& folder, const QString& uid)
{
    if (!exists(folder))
        return false;
    try {
        SqliteDb db(kBusyTimeoutMs);
        open(db, path(folder));
        db.ExecDml("DELETE FROM DevInfo WHERE UID = ?", {utf8(uid)});
        return true;
    } catch (const SqliteException&) {
        return false;
    }
}

bool removeFile(const QString& folder)
{
    return QFile::remove(path(folder));
}

} // namespace DevInfoTable

namespace AlarmTable {

QString path(const QString& folder)
{
    return QDir(folder).filePath(QString::fromLatin1(kFileName));
}

bool append(const QString& folder, const AlarmRow& row)
{
    const bool existed = QFileInfo::exists(path(folder));
    try {
        SqliteDb db(kBusyTimeoutMs);
        open(db, path(folder));
        if (!existed)
            db.ExecDml(kCreate);
        db.ExecDml("INSERT INTO AlarmInfo VALUES(?, ?, ?)", {utf8(row.uid), utf8(row.time), utf8(row.detail)});
        return true;
    } catch (const SqliteException&) {
        return false;
    }
}

std::vector<AlarmRow> load(const QString& folder)
{
    std::vector<AlarmRow> rows;
    if (!QFileInfo::exists(path(folder)))
        return rows;
    try {
        SqliteDb db(kBusyTimeoutMs);
        open(db, path(folder));
        for (SqliteQuery q = db.ExecQuery("SELECT * FROM AlarmInfo"); !q.Eof(); q.NextRow())
            rows.push_back({field(q, "UID"), field(q, "TIME"), field(q, "DETAIL")});
    } catch (const SqliteException&) {
    }
    return rows;
}

} // namespace AlarmTable
