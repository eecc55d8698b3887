#include "PasswordHash.h"

#include <QByteArray>
#include <QStringList>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace {

const QString kPrefix = QStringLiteral("pbkdf2-sha512");
constexpr int kIterations = 210000;
constexpr int kSaltBytes = 16;
constexpr int kHashBytes = 32;
// Bounds on what a stored row may ask for: a damaged or hostile file must not make the login
// spin for minutes or size a buffer.
constexpr long kMaxIterations = 10'000'000;
constexpr int kMaxHashBytes = 64;

QByteArray derive(const QString& password, const QByteArray& salt, int iterations, int length)
{
    const QByteArray secret = password.toUtf8();
    QByteArray out(length, '\0');
    const int ok = PKCS5_PBKDF2_HMAC(secret.constData(), static_cast<int>(secret.size()),
                                     reinterpret_cast<const unsigned char*>(salt.constData()), static_cast<int>(salt.size()),
                                     iterations, EVP_sha512(), length, reinterpret_cast<unsigned char*>(out.data()));
    return ok == 1 ? out : QByteArray();
}

struct Parsed {
    int iterations = 0;
    QByteArray salt;
    QByteArray hash;
};

bool parse(const QString& stored, Parsed& out)
{
    const QStringList parts = stored.split(QLatin1Char('$'));
    if (parts.size() != 4 || parts[0] != kPrefix)
        return false;
    bool ok = false;
    const long iterations = parts[1].toLong(&ok);
    if (!ok || iterations < 1 || iterations > kMaxIterations)
        return false;
    const auto salt = QByteArray::fromBase64Encoding(parts[2].toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    const auto hash = QByteArray::fromBase64Encoding(parts[3].toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!salt || !hash || salt.decoded.isEmpty() || hash.decoded.isEmpty() || hash.decoded.size() > kMaxHashBytes)
        return false;
    out.iterations = static_cast<int>(iterations);
    out.salt = salt.decoded;
    out.hash = hash.decoded;
    return true;
}

}  // namespace

namespace PasswordHash {

QString Make(const QString& password)
{
    QByteArray salt(kSaltBytes, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(salt.data()), kSaltBytes) != 1)
        return QString();
    const QByteArray hash = derive(password, salt, kIterations, kHashBytes);
    if (hash.isEmpty())
        return QString();
    return QStringLiteral("%1$%2$%3$%4")
        .arg(kPrefix)
        .arg(kIterations)
        .arg(QString::fromLatin1(salt.toBase64()), QString::fromLatin1(hash.toBase64()));
}

bool IsHash(const QString& stored)
{
    return stored.startsWith(kPrefix + QLatin1Char('$'));
}

bool Verify(const QString& password, const QString& stored)
{
    if (!IsHash(stored))
        return password == stored;
    Parsed parsed;
    if (!parse(stored, parsed))
        return false;
    const QByteArray computed = derive(password, parsed.salt, parsed.iterations, static_cast<int>(parsed.hash.size()));
    return computed.size() == parsed.hash.size() &&
           CRYPTO_memcmp(computed.constData(), parsed.hash.constData(), static_cast<std::size_t>(computed.size())) == 0;
}

}  // namespace PasswordHash
