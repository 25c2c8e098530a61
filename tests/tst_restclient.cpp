#include <QtTest>

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "controller/restclient.h"
#include "support/fakeservice.h"

using controller::RestClient;
using testsupport::FakeService;
using testsupport::HttpAnswer;

namespace {

struct Answer {
    QPair<int, int> result; // the HTTP status and the network error
    QByteArray body;
};

Answer answer(RestClient::Result result, const QByteArray& body)
{
    return { { int(result.status), int(result.error) }, body };
}

// Collects the callbacks of one request.
struct Recorder {
    QList<Answer> answers;
    RestClient::Callback callback()
    {
        return [this](RestClient::Result result, QByteArray body) { answers.append(answer(result, body)); };
    }
};

// The client's own time-out timers (the network manager keeps timers of its own).
QList<QTimer*> timers(const RestClient& client)
{
    return client.findChildren<QTimer*>(QString(), Qt::FindDirectChildrenOnly);
}

// How many of the process's TCP connections to port have Nagle's algorithm
// switched off (TCP_NODELAY), and how many are there at all.
QPair<int, int> connectionsWithoutDelay(quint16 port)
{
    QPair<int, int> counts { 0, 0 };
    for (const QString& name : QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System)) {
        const int fd = name.toInt();
        sockaddr_in peer {};
        socklen_t length = sizeof peer;
        int noDelay = 0;
        socklen_t size = sizeof noDelay;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 || peer.sin_family != AF_INET
            || ntohs(peer.sin_port) != port || getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &size) != 0)
            continue;
        ++counts.second;
        counts.first += noDelay ? 1 : 0;
    }
    return counts;
}

} // namespace

using Script = std::function<void(FakeService&)>;
Q_DECLARE_METATYPE(Script)

class TestRestClient : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        qRegisterMetaType<QNetworkReply*>();
        m_service = new FakeService(this);
        QVERIFY(m_service->listen());
    }

    void init()
    {
        QVERIFY(m_service->listen());
        m_service->reset();
    }

    void outcome_data()
    {
        QTest::addColumn<Script>("script");
        QTest::addColumn<int>("status"); // the HTTP status, 0 for none
        QTest::addColumn<int>("error");  // the network error
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("attempts");
        const QByteArray created = "{\"body\":\"Camera registered\",\"head\":\"Welcome\",\"userID\":\"u-\xc3\xa9\"}";
        const int notFound = int(QNetworkReply::ContentNotFoundError);
        QTest::newRow("200 at once") << Script([](FakeService& s) { s.enqueue(HttpAnswer::json(200, "{\"a\":1}")); })
                                     << 200 << 0 << QByteArray("{\"a\":1}") << 1;
        QTest::newRow("201 not retried")
            << Script([created](FakeService& s) { s.setDefaultAnswer(HttpAnswer::json(201, created)); }) << 201 << 0 << created << 1;
        QTest::newRow("404 retried, then reported")
            << Script([](FakeService& s) { s.setDefaultAnswer(HttpAnswer::json(404, "{\"head\":\"missing\"}")); })
            << 404 << notFound << QByteArray::number(notFound) << 3;
        QTest::newRow("silent, aborted by the timer") << Script([](FakeService& s) { s.setDefaultAnswer(HttpAnswer::silent()); })
                                                      << 0 << int(QNetworkReply::OperationCanceledError) << QByteArray("5") << 3;
        QTest::newRow("closed twice, then answered") << Script([](FakeService& s) {
            s.enqueue(HttpAnswer::close());
            s.enqueue(HttpAnswer::close());
            s.enqueue(HttpAnswer::json(200, "third"));
        }) << 200 << 0 << QByteArray("third") << -1; // the network manager may repeat one itself
        QTest::newRow("refused") << Script([](FakeService& s) { s.stopListening(); })
                                 << 0 << int(QNetworkReply::ConnectionRefusedError) << QByteArray("1") << 3;
    }

    // One callback with the answer or, after three attempts, the failure; the
    // PUT's time-out timer ends with its reply, so it cannot abort a later
    // request that reuses the reply's address.
    void outcome()
    {
        QFETCH(Script, script);
        QFETCH(int, status);
        QFETCH(int, error);
        QFETCH(int, attempts);
        script(*m_service);
        RestClient client;
        client.setPutTimeout(error == int(QNetworkReply::OperationCanceledError) ? 100 : 5000);
        QSignalSpy finished(client.findChild<QNetworkAccessManager*>(), &QNetworkAccessManager::finished);
        Recorder recorder;
        client.put(url("geocodeImage"), "{\"x\":1}", recorder.callback());
        QCOMPARE(timers(client).size(), 1);
        QTRY_COMPARE(recorder.answers.size(), 1);
        if (attempts < 0)
            QVERIFY(m_service->requests().size() >= 3);
        else
            QCOMPARE(finished.size(), attempts);
        QCOMPARE(recorder.answers[0].result, qMakePair(status, error));
        QTEST(recorder.answers[0].body, "body");
        for (const auto& request : m_service->requests())
            QCOMPARE(request.body, QByteArray("{\"x\":1}"));
        if (attempts == 1) {
            QCOMPARE(m_service->requests().size(), 1);
            // The connection kept for later requests sends them without waiting for
            // acknowledgements (a request's body otherwise waits up to 40 ms).
            QCOMPARE(connectionsWithoutDelay(m_service->port()), qMakePair(1, 1));
        }
        // Well before the 5 s a timer left behind would take to fire and go.
        QTRY_VERIFY_WITH_TIMEOUT(timers(client).isEmpty(), 2500);
        QCOMPARE(recorder.answers.size(), 1);
    }

    void headersAndMethods_data()
    {
        QTest::addColumn<int>("method");
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<bool>("timer");
        QTest::newRow("GET") << int(RestClient::Get) << QByteArray("GET") << false;
        QTest::newRow("POST") << int(RestClient::Post) << QByteArray("POST") << false;
        QTest::newRow("PUT") << int(RestClient::Put) << QByteArray("PUT") << true;
    }

    void headersAndMethods()
    {
        QFETCH(int, method);
        QFETCH(QByteArray, name);
        RestClient client;
        Recorder recorder;
        const QByteArray body = "{\"userID\":\"\"}";
        if (method == RestClient::Get)
            client.get(url("getSyncList"), recorder.callback());
        else if (method == RestClient::Post)
            client.post(url("getSyncList"), body, recorder.callback());
        else
            client.put(url("getSyncList"), body, recorder.callback());
        QTEST(!timers(client).isEmpty(), "timer");
        QTRY_COMPARE(recorder.answers.size(), 1);
        QCOMPARE(m_service->requests().size(), 1);
        const auto request = m_service->requests()[0];
        QCOMPARE(QList<QByteArray>({ request.method, request.path, request.headers.value("accept"),
                                     request.headers.value("content-type", "none"), request.body }),
                 QList<QByteArray>({ name, "/getSyncList", "application/json",
                                     method == RestClient::Get ? "none" : "application/json",
                                     method == RestClient::Get ? QByteArray() : body }));
    }

    void callbacks()
    {
        RestClient client;
        m_service->enqueue(HttpAnswer::json(200, "first"));
        m_service->enqueue(HttpAnswer::json(200, "second"));
        Recorder second;
        QList<QByteArray> firstBodies;
        client.put(url("one"), "1", [&](RestClient::Result, QByteArray body) {
            firstBodies.append(body);
            client.put(url("two"), "2", second.callback());
        });
        QTRY_COMPARE(second.answers.size(), 1);
        QCOMPARE(firstBodies, QList<QByteArray> { "first" });
        QCOMPARE(second.answers[0].body, QByteArray("second"));
        QCOMPARE(m_service->requests()[1].path, QByteArray("/two"));

        // No callback at all is allowed too, also through retries.
        m_service->enqueue(HttpAnswer::json(200, "{}"));
        m_service->setDefaultAnswer(HttpAnswer::json(500, "{}"));
        client.put(url("a"), "{}", RestClient::Callback());
        client.put(url("b"), "{}", nullptr);
        QTRY_COMPARE(m_service->answered(), 2 + 4);
        QTRY_COMPARE(m_service->outstanding(), 0);
    }

    void concurrentRequestsReachTheirOwnCallbacks()
    {
        RestClient client;
        // Later requests are answered sooner, so the answers come back reversed.
        m_service->setHandler([](const testsupport::HttpRequest& request) {
            const int index = request.body.toInt();
            return HttpAnswer::json(200, "answer " + request.body, (5 - index) * 150);
        });
        QVector<Recorder> recorders(5);
        QList<int> order;
        for (int i = 0; i < 5; ++i) {
            client.put(url("geocodeImage"), QByteArray::number(i), [&, i](RestClient::Result result, QByteArray body) {
                recorders[i].answers.append(answer(result, body));
                order.append(i);
            });
        }
        QTRY_COMPARE(order.size(), 5);
        // No callback comes twice, not even from a time-out timer.
        QTRY_VERIFY(timers(client).isEmpty());
        for (int i = 0; i < 5; ++i) {
            QCOMPARE(recorders[i].answers.size(), 1);
            QCOMPARE(recorders[i].answers[0].result, qMakePair(200, 0));
            QCOMPARE(recorders[i].answers[0].body, "answer " + QByteArray::number(i));
        }
        QCOMPARE(order, (QList<int> { 4, 3, 2, 1, 0 }));
    }

    void destroyedClientDropsItsRequests()
    {
        m_service->setDefaultAnswer(HttpAnswer::json(200, "late", 100));
        int calls = 0;
        {
            RestClient client;
            client.put(url("a"), "{}", [&](RestClient::Result, QByteArray) { ++calls; });
            client.get(url("b"), [&](RestClient::Result, QByteArray) { ++calls; });
            QTRY_COMPARE(m_service->requests().size(), 2);
        }
        // A new client's replies may reuse the old addresses; they must get only
        // their own callbacks.
        RestClient next;
        Recorder recorder;
        next.put(url("c"), "{}", recorder.callback());
        QTRY_COMPARE(recorder.answers.size(), 1);
        QCOMPARE(recorder.answers[0].body, QByteArray("late"));
        QTRY_COMPARE(m_service->outstanding(), 0); // the old requests' answers are due too
        QCOMPARE(calls, 0);
    }

    void endlessAnswerIsCut()
    {
        // A server that answers 200 and then sends bytes without end (at most
        // 64 MB, so that a client without a cap gets a whole answer and fails).
        QTcpServer endless;
        QVERIFY(endless.listen(QHostAddress::LocalHost));
        qint64 sent = 0;
        const QByteArray chunk(64 * 1024, '[');
        connect(&endless, &QTcpServer::newConnection, this, [&] {
            QTcpSocket* socket = endless.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [socket, &sent, &chunk] {
                if (sent > 0)
                    return;
                socket->readAll();
                socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n");
                sent = 1;
            });
            connect(socket, &QTcpSocket::bytesWritten, socket, [socket, &sent, &chunk] {
                if (socket->bytesToWrite() > 0)
                    return;
                if (sent > 64 * 1024 * 1024)
                    return socket->disconnectFromHost();
                sent += socket->write(chunk);
            });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        });
        RestClient client;
        Recorder recorder;
        client.put(QStringLiteral("http://127.0.0.1:%1/getSyncList").arg(endless.serverPort()), "{}", recorder.callback());
        QTRY_COMPARE_WITH_TIMEOUT(recorder.answers.size(), 1, 30000);
        QCOMPARE(recorder.answers[0].result, qMakePair(0, int(QNetworkReply::UnknownContentError)));
        QCOMPARE(recorder.answers[0].body, QByteArray("answer larger than 8 MB"));
        // Reading stopped at the cap: the server got no further than the socket
        // buffers allow.
        QVERIFY2(sent < 24 * 1024 * 1024, qPrintable(QString::number(sent)));
    }

private:
    FakeService* m_service = nullptr;
    QString url(const char* path) const { return m_service->baseUrl() + QLatin1String(path); }
};

QTEST_MAIN(TestRestClient)
#include "tst_restclient.moc"
