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
