// The two databases of the device side of the client, beside the program (or in the test's data
// folder): "DevInfo.db" with table DevInfo (the stored devices) and "Alarm.db" with table
// AlarmInfo (the alarms cameras pushed, append-only).
//
// Each operation opens its own connection (busy time-out 60000 ms), runs and closes. Every value
// goes in through a bound parameter: UIDs, aliases, passwords and LAN answers may hold quotes.
// Operations return false (or nothing) on a database failure and never throw.
// Thread: any; SQLite's file locking orders concurrent writers.
#pragma once

#include <QString>
#include <optional>
#include <vector>

struct DevInfoRow {
    QString uid;
    QString password;
    QString alias;
    QString mac;
};

namespace DevInfoTable {

inline constexpr const char* kFileName = "DevInfo.db";
inline constexpr const char* kCreate =
    "CREATE TABLE DevInfo (UID char(25) primary key, PA char(25), NAME char(25), Mac char(25))";

// How long a read on the GUI thread waits for another program's lock before giving up.
inline constexpr int kGuiBusyTimeoutMs = 1000;

QString path(const QString& folder);
bool exists(const QString& folder);
// Every row in table order; nothing when the file is missing or unreadable. `complete` (when
// given) says whether the whole table was read.
// busyTimeoutMs bounds the wait for another connection's lock.
std::vector<DevInfoRow> load(const QString& folder, bool* complete = nullptr, int busyTimeoutMs = 60000);

enum class StoreResult { Stored, CreateFailed, InsertFailed };
// Creates the table when the file is new, then for each row replaces the stored device with that
// UID (DELETE, then INSERT); stops at the first failure (rows stored before stay stored).
// `stored` gets the rows stored, in order.
StoreResult store(const QString& folder, const std::vector<DevInfoRow>& rows, std::vector<DevInfoRow>* stored = nullptr);
// The stored password; empty when the file, the row or the column is missing.
QString password(const QString& folder, const QString& uid);
// Removes the device's row when the file exists.
bool remove(const QString& folder, const QString& uid);
// Deletes the whole file.
bool removeFile(const QString& folder);

} // namespace DevInfoTable

struct AlarmRow {
    QString uid;
    QString time;
    QString detail;
};

namespace AlarmTable {

inline constexpr const char* kFileName = "Alarm.db";
inline constexpr const char* kCreate = "CREATE TABLE AlarmInfo (UID char(25), TIME char(25), DETAIL char(50))";

QString path(const QString& folder);
// Creates the table when the file is new, then appends the row. False when nothing was stored.
bool append(const QString& folder, const AlarmRow& row);
// Every row in arrival order (the client itself never reads the table back; tests and tools do).
std::vector<AlarmRow> load(const QString& folder);

} // namespace AlarmTable
