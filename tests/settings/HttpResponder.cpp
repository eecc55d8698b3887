#include "HttpResponder.h"

#include <QHostAddress>
#include <QTcpSocket>

HttpResponder::HttpResponder(QObject* parent) : QObject(parent)
{
    m_server.listen(QHostAddress::LocalHost, 0);
    connect(&m_server, &QTcpServer::newConnection, this, [this] { onConnection(); });
}

QString HttpResponder::base() const
{
    return QStringLiteral("http://127.0.0.1:%1/").arg(port());
}

void HttpResponder::serve(const QString& path, const QByteArray& body, int status)
{
    m_answers[path] = Answer{status, body, false};
}

void HttpResponder::hang(const QString& path)
{
    m_answers[path] = Answer{0, {}, true};
}

void HttpResponder::clear()
{
    m_answers.clear();
}

void HttpResponder::onConnection()
{
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        auto* request = new QByteArray;
        connect(socket, &QObject::destroyed, this, [request] { delete request; });
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, request] {
            request->append(socket->readAll());
            const qsizetype end = request->indexOf("\r\n\r\n");
            if (end < 0)
                return;
            const QList<QByteArray> line = request->left(request->indexOf("\r\n")).split(' ');
            const QString path = line.size() >= 2 ? QString::fromLatin1(line[1]) : QString();
            request->clear();
            ++m_hits[path];
            const Answer answer = m_answers.value(path);
            if (answer.hang)
                return;
            QByteArray reply = "HTTP/1.1 " + QByteArray::number(answer.status) + (answer.status == 200 ? " OK" : " Not Found") +
                               "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(answer.body.size()) +
                               "\r\nConnection: close\r\n\r\n" + answer.body;
            socket->write(reply);
            socket->disconnectFromHost();
        });
    }
}
