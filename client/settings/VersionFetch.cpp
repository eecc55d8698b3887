#include "VersionFetch.h"

#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>
#include <atomic>

namespace {

Q_LOGGING_CATEGORY(lcVersionFetch, "lumora.firmware")

std::atomic<int> g_timeoutMs{10000};
constexpr int kMaxRedirects = 3;

// The address as a URL when it may be asked: http or https with a host, within the length limit.
QUrl checkedUrl(const std::string& address, QString& error)
{
    if (address.empty() || address.size() > static_cast<size_t>(VersionFetch::kMaxAddress)) {
        error = QStringLiteral("address empty or too long");
        return {};
    }
    const QUrl url(QString::fromUtf8(address.data(), static_cast<qsizetype>(address.size())), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")) || url.host().isEmpty()) {
        error = QStringLiteral("not an http or https address");
        return {};
    }
    return url;
}

} // namespace

VersionFetch::VersionFetch(QObject* parent) : QObject(parent), m_network(new QNetworkAccessManager(this))
{
    m_network->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
}

VersionFetch::~VersionFetch()
{
    abandon();
}

void VersionFetch::setTimeout(int ms)
{
    g_timeoutMs = ms > 0 ? ms : 1;
}

int VersionFetch::timeout()
{
    return g_timeoutMs;
}

void VersionFetch::abandon()
{
    ++m_serial;
    m_running = false;
    m_done = nullptr;
    std::vector<QNetworkReply*> replies;
    replies.swap(m_replies);
    for (QNetworkReply* reply : replies) {
        if (reply == nullptr)
            continue;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

void VersionFetch::fetch(const std::vector<std::string>& addresses, Done done)
{
    abandon();
    const unsigned serial = m_serial;
    m_running = true;
    m_done = std::move(done);
    m_results.assign(addresses.size(), Result{});
    m_replies.assign(addresses.size(), nullptr);
    m_left = addresses.size();
    for (size_t i = 0; i < addresses.size(); ++i) {
        QString error;
        const QUrl url = checkedUrl(addresses[i], error);
        if (!url.isValid()) {
            Result failed;
            failed.error = error;
            // Told from the event loop, like a download's end, never from inside fetch().
            QTimer::singleShot(0, this, [this, serial, i, failed] { finishOne(serial, i, failed); });
            continue;
        }
        QNetworkRequest request(url);
        request.setTransferTimeout(timeout());
        request.setMaximumRedirectsAllowed(kMaxRedirects);
        request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
        request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
        QNetworkReply* reply = m_network->get(request);
        m_replies[i] = reply;
        connect(reply, &QNetworkReply::downloadProgress, this, [reply](qint64 received, qint64 total) {
            if (received > kMaxDocumentBytes || total > kMaxDocumentBytes)
                reply->abort();
        });
        connect(reply, &QNetworkReply::finished, this, [this, serial, i, reply] {
            Result result;
            if (reply->error() != QNetworkReply::NoError) {
                result.error = reply->errorString();
            } else {
                const QByteArray body = reply->read(kMaxDocumentBytes + 1);
                if (body.size() > kMaxDocumentBytes) {
                    result.error = QStringLiteral("document too large");
                } else {
                    result.ok = true;
                    result.body = body;
                }
            }
            if (serial == m_serial && i < m_replies.size())
                m_replies[i] = nullptr;
            reply->deleteLater();
            finishOne(serial, i, std::move(result));
        });
    }
}

void VersionFetch::finishOne(unsigned serial, size_t index, Result result)
{
    if (serial != m_serial || !m_running || index >= m_results.size())
        return;
    if (!result.ok)
        qCWarning(lcVersionFetch) << "version document" << index << "not fetched:" << result.error;
    m_results[index] = std::move(result);
    if (--m_left > 0)
        return;
    m_running = false;
    Done done = std::move(m_done);
    m_done = nullptr;
    std::vector<Result> results;
    results.swap(m_results);
    if (done)
        done(results);
}
