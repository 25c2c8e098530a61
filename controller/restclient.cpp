#include "controller/restclient.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include "json/jsonvalue.h"
#include "model/model.h"

namespace controller {

QMap<QNetworkReply*, RestClient::PendingRequest> RestClient::pendingRequests;
QMap<QTimer*, QNetworkReply*> RestClient::timeoutTimers;

RestClient::RestClient(QObject* parent)
    : QObject(parent)
    , manager(new QNetworkAccessManager(this))
{
    connect(manager, &QNetworkAccessManager::finished, this, &RestClient::onReplyFinished);
}

RestClient::~RestClient()
{
    // The manager deletes its replies and the timers go with this object;
    // their entries must not outlive them, or a later reply or timer born at
    // the same address would inherit a stranger's callback.
    for (auto it = pendingRequests.begin(); it != pendingRequests.end();) {
        if (it.key()->manager() == manager)
            it = pendingRequests.erase(it);
        else
            ++it;
    }
    for (auto it = timeoutTimers.begin(); it != timeoutTimers.end();) {
        if (it.key()->parent() == this)
            it = timeoutTimers.erase(it);
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
        reply = manager->post(request, data);
        break;
    case Put:
        reply = manager->put(request, data);
        break;
    default:
        reply = manager->get(request);
        break;
    }

    PendingRequest record;
    record.callback = callback;
    record.attemptsLeft = attempts - 1;
    record.method = method;
    if (method != Get)
        record.data = data;
    record.url = url;
    record.headers = headers;
    record.progress = progress;
    pendingRequests.insert(reply, record);
    if (progress)
        connect(reply, &QNetworkReply::uploadProgress, this,
                [this, reply](qint64 sent, qint64 total) { onUploadProgress(reply, sent, total); });

    if (method == Put) {
        auto* timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, &RestClient::onTimeout);
        timeoutTimers.insert(timer, reply);
        timer->start(putTimeout);
    }
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
    // An aborted reply is already closed and has nothing to read.
    QByteArray body = reply->isOpen() ? reply->readAll() : QByteArray();
    if (status == 204 && body.isEmpty())
        body = noContentBody(*reply);
    reply->close();
    reply->deleteLater();

    const PendingRequest record = pendingRequests.take(reply);
    if (error == QNetworkReply::NoError) {
        if (record.callback)
            record.callback(status, body);
        return;
    }
    if (record.attemptsLeft > 0) {
        send(record.method, record.url, record.data, record.callback, record.attemptsLeft, record.headers,
             record.progress);
        return;
    }
    if (record.callback)
        record.callback((int(error) << 16) | (status & 0xFFFF), QByteArray::number(int(error)));
}

void RestClient::onUploadProgress(QNetworkReply* reply, qint64 sent, qint64 total)
{
    const auto record = pendingRequests.constFind(reply);
    if (record == pendingRequests.constEnd())
        return;
    // A large body may take longer than one time-out to send: only a
    // transfer that stalls is given up.
    for (auto it = timeoutTimers.cbegin(); it != timeoutTimers.cend(); ++it) {
        if (it.value() == reply)
            it.key()->start(putTimeout);
    }
    if (record->progress)
        record->progress(sent, total);
}

void RestClient::onTimeout()
{
    auto* timer = qobject_cast<QTimer*>(sender());
    if (!timer)
        return;
    timer->stop();
    QNetworkReply* reply = timeoutTimers.take(timer);
    timer->deleteLater();
    // Aborting finishes the reply at once with OperationCanceledError, which
    // onReplyFinished retries or reports like any failed transfer.
    if (reply && pendingRequests.contains(reply))
        reply->abort();
}

} // namespace controller
