#include "controller/restclient.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include "json/jsonvalue.h"
#include "model/model.h"

#ifdef Q_OS_LINUX
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdlib>
#endif

namespace controller {

namespace {

// Turns Nagle's algorithm off on the process's TCP connections to the given
// port. Qt's HTTP client writes a request's head and its body with two
// writes and offers no way to set TCP_NODELAY on its sockets, so without
// this the body waits for the head's acknowledgement, which a server may
// delay by 40 ms, and every request costs that long. The sockets are Qt's
// own, found among the process's open files; connections already switched
// are left as they are.
void sendWithoutDelay(int port)
{
#ifdef Q_OS_LINUX
    if (port <= 0)
        return;
    DIR* files = opendir("/proc/self/fd");
    if (!files)
        return;
    while (const dirent* entry = readdir(files)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == dirfd(files))
            continue;
        int noDelay = 0;
        socklen_t size = sizeof noDelay;
        // Fails on anything that is not a TCP socket.
        if (getsockopt(int(fd), IPPROTO_TCP, TCP_NODELAY, &noDelay, &size) != 0 || noDelay)
            continue;
        sockaddr_storage peer {};
        socklen_t length = sizeof peer;
        if (getpeername(int(fd), reinterpret_cast<sockaddr*>(&peer), &length) != 0)
            continue;
        int peerPort = 0;
        if (peer.ss_family == AF_INET)
            peerPort = ntohs(reinterpret_cast<const sockaddr_in&>(peer).sin_port);
        else if (peer.ss_family == AF_INET6)
            peerPort = ntohs(reinterpret_cast<const sockaddr_in6&>(peer).sin6_port);
        if (peerPort == port) {
            const int yes = 1;
            setsockopt(int(fd), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        }
    }
    closedir(files);
#else
    Q_UNUSED(port)
#endif
}

} // namespace

const QByteArray RestClient::tooLargeText = QByteArrayLiteral("answer larger than 8 MB");

namespace {
// Set on a reply that was aborted for its size.
const char* const tooLargeProperty = "kestrelTooLarge";
} // namespace

RestClient::RestClient(QObject* parent)
    : QObject(parent)
    , m_manager(new QNetworkAccessManager(this))
{
    connect(m_manager, &QNetworkAccessManager::finished, this, &RestClient::onReplyFinished);
}

// The manager deletes its replies, and the pending requests and their timers
// go with this object: no callback is called once the client is gone.
RestClient::~RestClient() = default;

void RestClient::get(QString url, Callback callback)
{
    send(Get, url, QByteArray(), callback, model::Model::requestAttempts());
}

void RestClient::post(QString url, QByteArray data, Callback callback)
{
    send(Post, url, data, callback, model::Model::requestAttempts());
}

void RestClient::put(QString url, QByteArray data, Callback callback)
{
    send(Put, url, data, callback, model::Model::requestAttempts());
}

void RestClient::putRaw(QString url, QByteArray data, Headers headers, Callback callback, Progress progress)
{
    headers.insert("Content-Type", "application/octet-stream");
    send(Put, url, data, callback, model::Model::requestAttempts(), headers, progress);
}

void RestClient::send(int method, const QString& url, const QByteArray& data, const Callback& callback, int attempts,
                      const Headers& headers, const Progress& progress)
{
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    request.setRawHeader("Accept", "application/json");
    if (method != Get)
        request.setHeader(QNetworkRequest::ContentTypeHeader, QVariant(QByteArray("application/json")));
    for (auto it = headers.cbegin(); it != headers.cend(); ++it)
        request.setRawHeader(it.key(), it.value());

    QNetworkReply* reply = nullptr;
    switch (method) {
    case Post:
        reply = m_manager->post(request, data);
        break;
    case Put:
        reply = m_manager->put(request, data);
        break;
    default:
        reply = m_manager->get(request);
        break;
    }

    watchSize(reply);

    PendingRequest record;
    record.callback = callback;
    record.attemptsLeft = attempts - 1;
    record.method = method;
    if (method != Get)
        record.data = data;
    record.url = url;
    record.headers = headers;
    record.progress = progress;
    if (progress)
        connect(reply, &QNetworkReply::uploadProgress, this,
                [this, reply](qint64 sent, qint64 total) { onUploadProgress(reply, sent, total); });
    if (method == Put)
        record.timer = startTimeout(reply);
    m_pendingRequests.insert(reply, record);
}

QTimer* RestClient::startTimeout(QNetworkReply* reply)
{
    // The timer knows its reply only while that reply lives, and it ends
    // when the reply finishes: it can never abort another request.
    auto* timer = new QTimer(this);
    timer->setSingleShot(true);
    QPointer<QNetworkReply> watched(reply);
    connect(timer, &QTimer::timeout, this, [watched] {
        // Aborting finishes the reply at once with OperationCanceledError,
        // which onReplyFinished retries or reports like any failed transfer.
        if (watched && watched->isRunning())
            watched->abort();
    });
    timer->start(m_putTimeout);
    return timer;
}

void RestClient::watchSize(QNetworkReply* reply)
{
    // Qt buffers no more than this, so an endless answer stops being read at
    // the cap instead of filling the memory.
    reply->setReadBufferSize(maxAnswerBytes + 1);
    const auto check = [reply] {
        const qint64 announced = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
        if ((announced > maxAnswerBytes || reply->bytesAvailable() > maxAnswerBytes) && reply->isRunning()) {
            reply->setProperty(tooLargeProperty, true);
            reply->abort();
        }
    };
    connect(reply, &QNetworkReply::metaDataChanged, this, check);
    connect(reply, &QNetworkReply::readyRead, this, check);
}

QByteArray RestClient::noContentBody(const QNetworkReply& reply)
{
    // HTTP gives a 204 answer no body, so the web service sends that answer's
    // message as two percent-encoded headers, and its other members as a
    // JSON object in a third; rebuild the answer it stands for.
    if (!reply.hasRawHeader("Kestrel-Head") && !reply.hasRawHeader("Kestrel-Body"))
        return QByteArray();
    JsonValue message =
        JsonValue::parse(QByteArray::fromPercentEncoding(reply.rawHeader("Kestrel-Members")).toStdString());
    if (message.kind != JsonValue::Object)
        message = JsonValue();
    message["head"] = QByteArray::fromPercentEncoding(reply.rawHeader("Kestrel-Head")).toStdString();
    message["body"] = QByteArray::fromPercentEncoding(reply.rawHeader("Kestrel-Body")).toStdString();
    return QByteArray::fromStdString(message.serialize());
}

void RestClient::onReplyFinished(QNetworkReply* reply)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const Result result { quint16(status & 0xFFFF), reply->error() };
    // The connection stays open for the next requests: from now on they leave whole.
    if (status > 0)
        sendWithoutDelay(reply->url().port(reply->url().scheme() == QLatin1String("https") ? 443 : 80));
    const bool tooLarge = reply->property(tooLargeProperty).toBool()
        || (reply->isOpen() && reply->bytesAvailable() > maxAnswerBytes);
    // An aborted reply is already closed and has nothing to read.
    QByteArray body = reply->isOpen() && !tooLarge ? reply->readAll() : QByteArray();
    if (result.is(Status::Error) && body.isEmpty())
        body = noContentBody(*reply);
    reply->close();
    reply->deleteLater();

    const PendingRequest record = m_pendingRequests.take(reply);
    if (record.timer) {
        record.timer->stop();
        record.timer->deleteLater();
    }
    if (tooLarge) {
        // The same answer would come again: no further attempt.
        if (record.callback)
            record.callback(Result { 0, QNetworkReply::UnknownContentError }, tooLargeText);
        return;
    }
    if (result.error == QNetworkReply::NoError) {
        if (record.callback)
            record.callback(result, body);
        return;
    }
    if (record.attemptsLeft > 0) {
        send(record.method, record.url, record.data, record.callback, record.attemptsLeft, record.headers,
             record.progress);
        return;
    }
    if (record.callback)
        record.callback(result, QByteArray::number(int(result.error)));
}

void RestClient::onUploadProgress(QNetworkReply* reply, qint64 sent, qint64 total)
{
    const auto record = m_pendingRequests.constFind(reply);
    if (record == m_pendingRequests.constEnd())
        return;
    // A large body may take longer than one time-out to send: only a
    // transfer that stalls is given up.
    if (record->timer)
        record->timer->start(m_putTimeout);
    if (record->progress)
        record->progress(sent, total);
}

} // namespace controller
