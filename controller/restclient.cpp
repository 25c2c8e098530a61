#include "controller/restclient.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include "json/jsonvalue.h"
#include "model/model.h"

namespace controller {

QMap<QNetworkReply*, RestClient::PendingRequest> RestClient::pendingRequests;
const QByteArray RestClient::tooLargeText = QByteArrayLiteral("answer larger than 8 MB");

namespace {
// Set on a reply that was aborted for its size.
const char* const tooLargeProperty = "kestrelTooLarge";
} // namespace

RestClient::RestClient(QObject* parent)
    : QObject(parent)
    , manager(new QNetworkAccessManager(this))
{
    connect(manager, &QNetworkAccessManager::finished, this, &RestClient::onReplyFinished);
}

RestClient::~RestClient()
{
    // The manager deletes its replies and the timers go with this object;
    // their entries must not outlive them, or a later reply born at the same
    // address would inherit a stranger's callback.
    for (auto it = pendingRequests.begin(); it != pendingRequests.end();) {
        if (it.key()->manager() == manager)
            it = pendingRequests.erase(it);
        else
            ++it;
    }
}

void RestClient::get(QString url, std::function<void(int, QByteArray)> callback)
{
    send(Get, url, QByteArray(), callback, model::Model::requestAttempts());
}

void RestClient::post(QString url, QByteArray data, std::function<void(int, QByteArray)> callback)
{
    send(Post, url, data, callback, model::Model::requestAttempts());
}

void RestClient::put(QString url, QByteArray data, std::function<void(int, QByteArray)> callback)
{
    send(Put, url, data, callback, model::Model::requestAttempts());
}

void RestClient::send(int method, const QString& url, const QByteArray& data, const Callback& callback, int attempts)
{
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    request.setRawHeader("Accept", "application/json");
    if (method != Get)
        request.setHeader(QNetworkRequest::ContentTypeHeader, QVariant(QByteArray("application/json")));

    QNetworkReply* reply = nullptr;
    switch (method) {
    case Post:
        reply = manager->post(request, data);
        break;
    case Put:
        reply = manager->put(request, data);
        break;
    default:
        reply = manager->get(request);
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
    if (method == Put) {
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
        timer->start(putTimeout);
        record.timer = timer;
    }
    pendingRequests.insert(reply, record);
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
    // message as two percent-encoded headers; rebuild the answer it stands for.
    if (!reply.hasRawHeader("Kestrel-Head") && !reply.hasRawHeader("Kestrel-Body"))
        return QByteArray();
    JsonValue message;
    message["head"] = QByteArray::fromPercentEncoding(reply.rawHeader("Kestrel-Head")).toStdString();
    message["body"] = QByteArray::fromPercentEncoding(reply.rawHeader("Kestrel-Body")).toStdString();
    return QByteArray::fromStdString(message.serialize());
}

void RestClient::onReplyFinished(QNetworkReply* reply)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QNetworkReply::NetworkError error = reply->error();
    const bool tooLarge = reply->property(tooLargeProperty).toBool()
        || (reply->isOpen() && reply->bytesAvailable() > maxAnswerBytes);
    // An aborted reply is already closed and has nothing to read.
    QByteArray body = reply->isOpen() && !tooLarge ? reply->readAll() : QByteArray();
    if (status == 204 && body.isEmpty())
        body = noContentBody(*reply);
    reply->close();
    reply->deleteLater();

    const PendingRequest record = pendingRequests.take(reply);
    if (record.timer) {
        record.timer->stop();
        record.timer->deleteLater();
    }
    if (tooLarge) {
        // The same answer would come again: no further attempt.
        if (record.callback)
            record.callback(int(QNetworkReply::UnknownContentError) << 16, tooLargeText);
        return;
    }
    if (error == QNetworkReply::NoError) {
        if (record.callback)
            record.callback(status, body);
        return;
    }
    if (record.attemptsLeft > 0) {
        send(record.method, record.url, record.data, record.callback, record.attemptsLeft);
        return;
    }
    if (record.callback)
        record.callback((int(error) << 16) | (status & 0xFFFF), QByteArray::number(int(error)));
}

} // namespace controller
