// Downloads of the small documents an upgrade server publishes: over http or https only, into
// memory, each with a time-out and a size limit. Nothing is written to disk and nothing cached:
// every fetch asks the server again.
//
//   fetch.fetch({a, b, c}, [](const std::vector<VersionFetch::Result>& results) { ... });
//
// GUI thread only.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>
#include <string>
#include <vector>

class QNetworkAccessManager;
class QNetworkReply;

class VersionFetch : public QObject {
    Q_OBJECT
public:
    struct Result {
        bool ok = false;
        QByteArray body;   // the document when ok
        QString error;     // why not, for the log
    };
    using Done = std::function<void(const std::vector<Result>& results)>;

    // The largest document taken; a longer one fails.
    static constexpr qint64 kMaxDocumentBytes = 64 * 1024;
    // The longest address asked.
    static constexpr int kMaxAddress = 259;

    explicit VersionFetch(QObject* parent = nullptr);
    ~VersionFetch() override;

    // Fetches every address at once; done gets one result per address, in their order, once the
    // last one ended (never from inside this call). A fetch still running is abandoned first.
    void fetch(const std::vector<std::string>& addresses, Done done);
    // Stops the running fetch; its done is never called.
    void abandon();
    bool running() const { return m_running; }

    // The time a download may take without progress, in milliseconds. Tests shorten it.
    static void setTimeout(int ms);
    static int timeout();

private:
    struct Batch;
    void finishOne(unsigned serial, size_t index, Result result);

    QNetworkAccessManager* m_network;
    unsigned m_serial = 0;
    bool m_running = false;
    std::vector<Result> m_results;
    std::vector<QNetworkReply*> m_replies;
    size_t m_left = 0;
    Done m_done;
};
