#pragma once
// How every database operation of the client reaches its file: the data folder followed by the
// file name, one connection per operation (busy time-out 60000 ms), closed at the end of it.

#include "SqliteDb.h"

#include <QString>

inline constexpr int kClientBusyTimeoutMs = 60000;

// Opens name ("UserInfo.db", "DevInfo.db", "Alarm.db") in the data folder, creating it when
// absent. existedBefore tells whether the file was there before (callers that write create their
// table only when it was not). Returns sqlite3_open's result.
int OpenClientDatabase(SqliteDb& db, const QString& name, bool* existedBefore = nullptr);

// True when the file exists in the data folder.
bool ClientDatabaseExists(const QString& name);

// What a database file beside the program is found to be before the client relies on it.
enum class DatabaseHealth {
    Missing,  // no file
    Ok,       // opens and reads through
    Busy,     // another connection holds a lock longer than the caller may wait
    Damaged,  // not a database, or a database that does not read through
};

// Opens the file at path read-only and reads every page once (SQLite's quick check), waiting at
// most busyTimeoutMs for another connection's lock. Touches nothing in the file.
DatabaseHealth CheckDatabaseFile(const QString& path, int busyTimeoutMs);

// Moves a damaged file aside, bytes untouched, to "<name>.damaged" (or "<name>.damaged-2", ...)
// in its folder, so the original name is free for a fresh database. Returns the new path, empty
// when the move failed (the file then stays where it was).
QString SetDamagedFileAside(const QString& path);
