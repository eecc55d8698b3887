#include "ClientDatabase.h"

#include "ClientPaths.h"
#include "StringConvert.h"

#include <QFile>
#include <QFileInfo>
#include <string_view>

int OpenClientDatabase(SqliteDb& db, const QString& name, bool* existedBefore)
{
    const QString path = DataFilePath(name);
    if (existedBefore != nullptr) {
        *existedBefore = QFileInfo(path).isFile();
    }
    return db.Open(WideToUtf8(path));
}

bool ClientDatabaseExists(const QString& name)
{
    return QFileInfo(DataFilePath(name)).isFile();
}

DatabaseHealth CheckDatabaseFile(const QString& path, int busyTimeoutMs)
{
    if (!QFileInfo(path).isFile()) {
        return DatabaseHealth::Missing;
    }
    sqlite3* db = nullptr;
    const std::string file = WideToUtf8(path);
    const int opened = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    if (opened != SQLITE_OK) {
        sqlite3_close(db);
        return DatabaseHealth::Damaged;
    }
    sqlite3_busy_timeout(db, busyTimeoutMs);
    sqlite3_stmt* statement = nullptr;
    DatabaseHealth health = DatabaseHealth::Damaged;
    int result = sqlite3_prepare_v2(db, "PRAGMA quick_check(1)", -1, &statement, nullptr);
    if (result == SQLITE_OK) {
        result = sqlite3_step(statement);
        if (result == SQLITE_ROW) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
            health = (text != nullptr && std::string_view(text) == "ok") ? DatabaseHealth::Ok : DatabaseHealth::Damaged;
        }
    }
    const int code = result & 0xff;
    if (code == SQLITE_BUSY || code == SQLITE_LOCKED) {
        health = DatabaseHealth::Busy;
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return health;
}

QString SetDamagedFileAside(const QString& path)
{
    const QString base = path + QStringLiteral(".damaged");
    QString target = base;
    for (int n = 2; QFileInfo::exists(target); ++n) {
        target = base + QLatin1Char('-') + QString::number(n);
    }
    return QFile::rename(path, target) ? target : QString();
}
