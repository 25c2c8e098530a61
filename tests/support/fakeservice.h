#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <functional>

class QTcpServer;
class QTcpSocket;

namespace testsupport {

// One HTTP request as the fake service received it.
struct HttpRequest {
    QByteArray method;
    QByteArray path;
    QMap<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;
    // Requests already received and not yet answered when this one came in,
    // this one included.
    int outstanding = 0;
};

// What the fake service does with a request.
struct HttpAnswer {
    enum Action { Respond, Close, Silent };
    int status = 200;
    QByteArray body;
    int delayMs = 0;
    Action action = Respond;

    static HttpAnswer json(int status, const QByteArray& body, int delayMs = 0) { return { status, body, delayMs, Respond }; }
    // Drops the connection without an answer.
    static HttpAnswer close() { return { 200, QByteArray(), 0, Close }; }
    // Never answers; the connection stays open.
    static HttpAnswer silent() { return { 200, QByteArray(), 0, Silent }; }
};

// The "place" member of a geotag answer, as the service writes it, with a
// comma after it.
QByteArray placeMember(const QString& city, const QString& sublocation, const QString& region, const QString& country,
                       const QString& countryCode, int distance);

// A scriptable HTTP/1.1 server on 127.0.0.1 for tests of the web-service
// client: it records every request and answers from a queue of answers, then
// from a handler, then with the default answer.
class FakeService : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<HttpAnswer(const HttpRequest&)>;

    explicit FakeService(QObject* parent = nullptr);
    ~FakeService() override = default;

    // Listens on a free port of 127.0.0.1 (or on the port of the last listen).
    bool listen();
    // Stops accepting connections and drops the open ones, so new requests
    // are refused.
    void stopListening();
    quint16 port() const { return m_listenPort; }
    // "http://127.0.0.1:<port>/"
    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1/").arg(m_listenPort); }

    void enqueue(const HttpAnswer& answer) { m_queue.append(answer); }
    void setHandler(const Handler& handler) { m_handler = handler; }
    void setDefaultAnswer(const HttpAnswer& answer) { m_defaultAnswer = answer; }

    QList<HttpRequest> requests() const { return m_received; }
    QList<HttpRequest> requestsTo(const QByteArray& path) const;
    int outstanding() const { return m_waiting; }
    int maxOutstanding() const { return m_mostWaiting; }
    int answered() const { return m_answeredCount; }
    // Forgets the recorded requests, the queue, the handler and the counters.
    void reset();

signals:
    void requestReceived(const testsupport::HttpRequest& request);

private:
    struct Connection;
    void onNewConnection();
    void readFrom(QTcpSocket* socket);
    void answer(QTcpSocket* socket, const HttpAnswer& answer);
    HttpAnswer answerFor(const HttpRequest& request);

    QTcpServer* m_server = nullptr;
    quint16 m_listenPort = 0;
    QList<HttpAnswer> m_queue;
    Handler m_handler;
    HttpAnswer m_defaultAnswer = HttpAnswer::json(200, "{}");
    QList<HttpRequest> m_received;
    QMap<QTcpSocket*, QByteArray> m_buffers;
    QMap<QTcpSocket*, int> m_silentOn; // unanswered requests per connection
    int m_waiting = 0;
    int m_mostWaiting = 0;
    int m_answeredCount = 0;
};

} // namespace testsupport
