#pragma once
// The user's own password as "UserInfo.db" keeps it: a salted, slow PBKDF2-HMAC-SHA512 hash
// (OpenSSL), written as one text so the PA column keeps its type:
//   "pbkdf2-sha512$<iterations>$<salt, base64>$<hash, base64>"
// Rows written before hashing hold the password itself; they still verify, and the login replaces
// them with a hash on the next success.

#include <QString>

namespace PasswordHash {

// A new hash of password with a fresh random salt; empty when no random salt could be drawn.
QString Make(const QString& password);
// True when stored has the hash form (a plain row does not).
bool IsHash(const QString& stored);
// True when password matches stored: a hash is recomputed with its own salt and iteration count
// (a malformed hash matches nothing); a plain row compares as text.
bool Verify(const QString& password, const QString& stored);

}  // namespace PasswordHash
