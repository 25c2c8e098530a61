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

    static HttpAnswer json(int status, const QByteArray& body, int delayMs = 0);
    // Drops the connection without an answer.
    static HttpAnswer close();
    // Never answers; the connection stays open.
    static HttpAnswer silent();
};

// A scriptable HTTP/1.1 server on 127.0.0.1 for tests of the web-service
// client: it records every request and answers from a queue of answers, then
// from a handler, then with the default answer.
class FakeService : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<HttpAnswer(const HttpRequest&)>;

    explicit FakeService(QObject* parent = nullptr);
    ~FakeService() override;

    // Listens on a free port of 127.0.0.1 (or on the port of the last listen).
    bool listen();
    // Stops accepting connections, so new requests are refused.
    void stopListening();
    quint16 port() const { return listenPort; }
    // "http://127.0.0.1:<port>/"
    QString baseUrl() const;

    void enqueue(const HttpAnswer& answer);
    void setHandler(const Handler& handler);
    void setDefaultAnswer(const HttpAnswer& answer);

    QList<HttpRequest> requests() const { return received; }
    QList<HttpRequest> requestsTo(const QByteArray& path) const;
    int outstanding() const { return waiting; }
    int maxOutstanding() const { return mostWaiting; }
    int answered() const { return answeredCount; }
    // Forgets the recorded requests, the queue, the handler and the counters.
    void reset();

signals:
    void requestReceived(const testsupport::HttpRequest& request);
    void answerSent(const testsupport::HttpRequest& request, int status);

private:
    struct Connection;
    void onNewConnection();
    void readFrom(QTcpSocket* socket);
    void answer(QTcpSocket* socket, const HttpRequest& request, const HttpAnswer& answer);
    HttpAnswer answerFor(const HttpRequest& request);

    QTcpServer* server = nullptr;
    quint16 listenPort = 0;
    QList<HttpAnswer> queue;
    Handler handler;
    HttpAnswer defaultAnswer;
    QList<HttpRequest> received;
    QMap<QTcpSocket*, QByteArray> buffers;
    QMap<QTcpSocket*, int> silentOn; // unanswered requests per connection
    int waiting = 0;
    int mostWaiting = 0;
    int answeredCount = 0;
};

} // namespace testsupport
