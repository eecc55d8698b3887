#pragma once
// The user database "UserInfo.db" and its one table UserInfo: the user registered at the first
// start, the login flags and the P2P server string handed to the SDK at login. Every operation
// opens its own connection and reports failure as a value; no exception leaves it.

#include <QString>
#include <optional>

// The built-in server string a new user starts with.
extern const char* const kDefaultServerString;

inline constexpr const char* kUserInfoDb = "UserInfo.db";

struct UserRecord {
    QString name;
    QString password;  // a PasswordHash text, or the password itself in a row from before hashing
    int autoLogin = 0;
    int remember = 0;
    int firstUser = 0;  // FUSER: picked in the login list once
    QString server;
};

enum class RegisterResult {
    Ok,
    OpenFailed,       // the database could not be opened
    StatementFailed,  // the table or the row could not be written; no database is left behind
};

namespace UserInfoStore {

// Creates "UserInfo.db" (or the table in an existing file that has none) with the one user (flags
// 0, the default server string) in one transaction; the password is stored as a PasswordHash
// text. When anything fails, a database file this call created is removed again, so the next
// start asks for registration instead of offering a login nobody can pass.
RegisterResult Register(const QString& name, const QString& password);

// The first row of the table; nullopt when there is none or the database cannot be read.
std::optional<UserRecord> FirstUser();
// The row of name (the database's own comparison); nullopt when none.
std::optional<UserRecord> FindUser(const QString& name);

// The flag columns; false when the statement failed. Changing no row is not a failure.
bool SetRemember(const QString& name, bool on);
bool SetAutoLogin(const QString& name, bool on);
bool MarkFirstUser(const QString& name);
// Replaces the stored password of name with hash (a PasswordHash text).
bool SetPasswordHash(const QString& name, const QString& hash);
// Replaces the server string of name; returns the number of rows changed, -1 on failure.
int SetServer(const QString& name, const QString& server);

}  // namespace UserInfoStore
