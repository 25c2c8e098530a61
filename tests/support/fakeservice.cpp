#include "support/fakeservice.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace testsupport {

FakeService::FakeService(QObject* parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &FakeService::onNewConnection);
}

bool FakeService::listen()
{
    if (m_server->isListening())
        return true;
    if (!m_server->listen(QHostAddress::LocalHost, m_listenPort))
        return false;
    m_listenPort = m_server->serverPort();
    return true;
}

void FakeService::stopListening()
{
    m_server->close();
    // Kept-alive connections would otherwise still be served.
    for (QTcpSocket* socket : findChildren<QTcpSocket*>(QString(), Qt::FindDirectChildrenOnly))
        socket->abort();
}

QList<HttpRequest> FakeService::requestsTo(const QByteArray& path) const
{
    QList<HttpRequest> matching;
    for (const HttpRequest& request : m_received)
        if (request.path == path)
            matching.append(request);
    return matching;
}

void FakeService::reset()
{
    m_queue.clear();
    m_handler = Handler();
    m_defaultAnswer = HttpAnswer::json(200, "{}");
    m_received.clear();
    m_mostWaiting = m_waiting;
    m_answeredCount = 0;
}

void FakeService::onNewConnection()
{
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_buffers.remove(socket);
            m_waiting -= m_silentOn.take(socket);
            socket->deleteLater();
        });
    }
}

void FakeService::readFrom(QTcpSocket* socket)
{
    QByteArray& buffer = m_buffers[socket];
    buffer += socket->readAll();
    for (;;) {
        const int headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        HttpRequest request;
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        request.method = first.value(0);
        request.path = first.value(1);
        int length = 0;
        for (int i = 1; i < lines.size(); ++i) {
            const int colon = lines[i].indexOf(':');
            if (colon < 0)
                continue;
            const QByteArray name = lines[i].left(colon).trimmed().toLower();
            const QByteArray value = lines[i].mid(colon + 1).trimmed();
            request.headers.insert(name, value);
            if (name == "content-length")
                length = value.toInt();
        }
        if (buffer.size() < headerEnd + 4 + length)
            return;
        request.body = buffer.mid(headerEnd + 4, length);
        buffer.remove(0, headerEnd + 4 + length);

        ++m_waiting;
        m_mostWaiting = qMax(m_mostWaiting, m_waiting);
        request.outstanding = m_waiting;
        m_received.append(request);
        emit requestReceived(request);
        const HttpAnswer reply = answerFor(request);
        if (reply.delayMs > 0) {
            QPointer<QTcpSocket> guarded(socket);
            QTimer::singleShot(reply.delayMs, this, [this, guarded, reply] {
                if (guarded)
                    answer(guarded, reply);
                else
                    --m_waiting;
            });
        } else {
            answer(socket, reply);
        }
        if (reply.action != HttpAnswer::Respond)
            return;
    }
}

HttpAnswer FakeService::answerFor(const HttpRequest& request)
{
    if (!m_queue.isEmpty())
        return m_queue.takeFirst();
    if (m_handler)
        return m_handler(request);
    return m_defaultAnswer;
}

void FakeService::answer(QTcpSocket* socket, const HttpAnswer& reply)
{
    if (reply.action == HttpAnswer::Silent) {
        ++m_silentOn[socket];
        return;
    }
    --m_waiting;
    if (reply.action == HttpAnswer::Close) {
        socket->abort();
        return;
    }
    QByteArray text = "HTTP/1.1 " + QByteArray::number(reply.status) + " Status\r\n";
    // As the real service does: a 204 answer has no body in HTTP, so the
    // head and body of the scripted answer travel as headers.
    const QJsonObject message = QJsonDocument::fromJson(reply.body).object();
    if (reply.status != 204)
        text += "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    else if (!message.isEmpty()) {
        QJsonObject others = message;
        others.remove("head"), others.remove("body");
        text += "Kestrel-Head: " + message.value("head").toString().toUtf8().toPercentEncoding(" ") + "\r\nKestrel-Body: "
            + message.value("body").toString().toUtf8().toPercentEncoding(" ") + "\r\n";
        if (!others.isEmpty())
            text += "Kestrel-Members: " + QJsonDocument(others).toJson(QJsonDocument::Compact).toPercentEncoding() + "\r\n";
    }
    socket->write(text + "Connection: keep-alive\r\n\r\n" + (reply.status == 204 ? QByteArray() : reply.body));
    ++m_answeredCount;
}

QByteArray placeMember(const QString& city, const QString& sublocation, const QString& region, const QString& country,
                       const QString& countryCode, int distance)
{
    const QJsonObject place { { "city", city },       { "sublocation", sublocation }, { "region", region },
                              { "country", country }, { "countryCode", countryCode }, { "distance", distance } };
    return "\"place\":" + QJsonDocument(place).toJson(QJsonDocument::Compact) + ',';
}

} // namespace testsupport
