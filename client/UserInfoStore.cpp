#include "UserInfoStore.h"

#include "ClientDatabase.h"
#include "ClientPaths.h"
#include "PasswordHash.h"
#include "StringConvert.h"

#include <QFile>
#include <QLoggingCategory>

const char* const kDefaultServerString =
    "QTOLNPRSGMEHKFDJIQTOLNPRSGMEHKFDJIQTOLNPRSGMEHKFDJIQTOLNPRSGMEHKFDJIQTOLNPRSGMEHKFDJIQTOLNPRSGMEHK";

namespace {

Q_LOGGING_CATEGORY(lcUsers, "lumora.users")

const QString kDbName = QString::fromLatin1(kUserInfoDb);

UserRecord recordOf(const SqliteQuery& query)
{
    UserRecord user;
    user.name = MultiByteToWide(query.GetStringField("NAME"));
    user.password = MultiByteToWide(query.GetStringField("PA"));
    user.autoLogin = query.GetIntField("AUTO", 0);
    user.remember = query.GetIntField("REMEBER", 0);
    user.firstUser = query.GetIntField("FUSER", 0);
    user.server = MultiByteToWide(query.GetStringField("SERVER"));
    return user;
}

std::optional<UserRecord> selectUser(const char* sql, const SqlParams& params)
{
    if (!ClientDatabaseExists(kDbName)) {
        return std::nullopt;
    }
    try {
        SqliteDb db(kClientBusyTimeoutMs);
        OpenClientDatabase(db, kDbName);
        SqliteQuery query = db.ExecQuery(sql, params);
        if (query.Eof()) {
            return std::nullopt;
        }
        return recordOf(query);
    } catch (const SqliteException& e) {
        qCWarning(lcUsers) << "reading UserInfo failed:" << e.errorMessage().c_str();
        return std::nullopt;
    }
}

int update(const char* sql, const SqlParams& params)
{
    if (!ClientDatabaseExists(kDbName)) {
        return -1;  // opening would create an empty database and hide the registration
    }
    try {
        SqliteDb db(kClientBusyTimeoutMs);
        OpenClientDatabase(db, kDbName);
        return db.ExecDml(sql, params);
    } catch (const SqliteException& e) {
        qCWarning(lcUsers) << "writing UserInfo failed:" << e.errorMessage().c_str();
        return -1;
    }
}

}  // namespace

namespace UserInfoStore {

RegisterResult Register(const QString& name, const QString& password)
{
    const QString hash = PasswordHash::Make(password);
    if (hash.isEmpty()) {
        return RegisterResult::StatementFailed;
    }
    bool existed = false;
    RegisterResult result = RegisterResult::Ok;
    {
        SqliteDb db(kClientBusyTimeoutMs);
        if (OpenClientDatabase(db, kDbName, &existed) != SQLITE_OK) {
            return RegisterResult::OpenFailed;
        }
        try {
            db.ExecDml("BEGIN");
            // An existing file may be empty (no table yet): the user must still be able to register.
            db.ExecDml("CREATE TABLE IF NOT EXISTS UserInfo (NAME char(25) primary key, PA char(25), TYPE int, AUTO int, "
                       "REMEBER int, FUSER int,SERVER char(100))");
            db.ExecDml("INSERT INTO UserInfo VALUES(?, ?,0,0,0,0,?)",
                       {WideToMultiByte(name), WideToMultiByte(hash), std::string(kDefaultServerString)});
            db.ExecDml("COMMIT");
        } catch (const SqliteException& e) {
            qCWarning(lcUsers) << "registration failed:" << e.errorMessage().c_str();
            try {
                db.ExecDml("ROLLBACK");
            } catch (const SqliteException&) {
            }
            result = RegisterResult::StatementFailed;
        }
    }
    if (result != RegisterResult::Ok && !existed) {
        QFile::remove(DataFilePath(kDbName));
        QFile::remove(DataFilePath(kDbName + QStringLiteral("-journal")));
    }
    return result;
}

std::optional<UserRecord> FirstUser()
{
    return selectUser("SELECT * FROM UserInfo", {});
}

std::optional<UserRecord> FindUser(const QString& name)
{
    return selectUser("SELECT * FROM UserInfo WHERE NAME=?", {WideToMultiByte(name)});
}

bool SetRemember(const QString& name, bool on)
{
    return update("UPDATE UserInfo SET REMEBER = ? WHERE NAME = ?", {std::int64_t{on ? 1 : 0}, WideToMultiByte(name)}) >= 0;
}

bool SetAutoLogin(const QString& name, bool on)
{
    return update("UPDATE UserInfo SET AUTO = ? WHERE NAME = ?", {std::int64_t{on ? 1 : 0}, WideToMultiByte(name)}) >= 0;
}

bool MarkFirstUser(const QString& name)
{
    return update("UPDATE UserInfo SET FUSER = 1 WHERE NAME = ?", {WideToMultiByte(name)}) >= 0;
}

bool SetPasswordHash(const QString& name, const QString& hash)
{
    return update("UPDATE UserInfo SET PA = ? WHERE NAME = ?", {WideToMultiByte(hash), WideToMultiByte(name)}) >= 0;
}

int SetServer(const QString& name, const QString& server)
{
    return update("UPDATE UserInfo SET SERVER = ? WHERE NAME = ?", {WideToMultiByte(server), WideToMultiByte(name)});
}

}  // namespace UserInfoStore
