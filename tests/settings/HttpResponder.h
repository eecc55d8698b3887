// A small HTTP server on 127.0.0.1 (port 0) for the tests: each path answers with a status and a
// body, or never answers (hang). Runs on the test's GUI thread; answers while events are
// processed.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTcpServer>

class HttpResponder : public QObject {
public:
    explicit HttpResponder(QObject* parent = nullptr);
    bool listening() const { return m_server.isListening(); }
    quint16 port() const { return m_server.serverPort(); }
    // "http://127.0.0.1:PORT/"
    QString base() const;

    // path ("/x.json") answers with status and body; a path without an answer gets 404.
    void serve(const QString& path, const QByteArray& body, int status = 200);
    // path is read but never answered.
    void hang(const QString& path);
    void clear();
    // How many requests asked for path.
    int hits(const QString& path) const { return m_hits.value(path); }

private:
    void onConnection();

    struct Answer {
        int status = 404;
        QByteArray body;
        bool hang = false;
    };
    QTcpServer m_server;
    QMap<QString, Answer> m_answers;
    QMap<QString, int> m_hits;
};
