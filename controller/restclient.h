#pragma once

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>
#include <functional>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

namespace controller {

// Asynchronous HTTP client of the web service: each answer, or the final
// failure after three attempts, reaches the callback given with the request.
class RestClient : public QObject {
    Q_OBJECT
public:
    // Result code (low 16 bits HTTP status, high 16 bits the Qt network error)
    // and the answer body.
    using Callback = std::function<void(int, QByteArray)>;
    // Bytes of the request body sent so far and in all.
    using Progress = std::function<void(qint64, qint64)>;
    using Headers = QMap<QByteArray, QByteArray>;

    enum Method { Get = 0, Post = 1, Put = 2 };

    // What is remembered of a request while its reply is on the way.
    struct PendingRequest {
        Callback callback;
        int attemptsLeft = 0;
        int method = Get;
        QByteArray data;
        QString url;
        Headers headers;
        Progress progress;
        QTimer* timer = nullptr; // the time-out of this reply alone
    };

    // The largest answer read; a larger one is a network error whose body
    // is tooLargeText.
    static constexpr qint64 maxAnswerBytes = 8 * 1024 * 1024;
    static const QByteArray tooLargeText;

    explicit RestClient(QObject* parent = nullptr);
    ~RestClient() override;

    // How long one PUT attempt may take before it is aborted (10 000 ms).
    void setPutTimeout(int milliseconds) { putTimeout = milliseconds; }
    int putTimeoutInterval() const { return putTimeout; }

public slots:
    void get(QString url, std::function<void(int, QByteArray)> callback);
    void post(QString url, QByteArray data, std::function<void(int, QByteArray)> callback);
    void put(QString url, QByteArray data, std::function<void(int, QByteArray)> callback);

    // A PUT of raw bytes (an uploaded file) with extra request headers; the
    // time-out then counts from the last bytes that went out.
    void putRaw(QString url, QByteArray data, Headers headers, Callback callback, Progress progress = {});

private slots:
    void onReplyFinished(QNetworkReply* reply);

private:
    void send(int method, const QString& url, const QByteArray& data, const Callback& callback, int attempts,
              const Headers& headers = {}, const Progress& progress = {});
    void onUploadProgress(QNetworkReply* reply, qint64 sent, qint64 total);
    static QByteArray noContentBody(const QNetworkReply& reply);
    // Aborts a reply whose answer grows beyond maxAnswerBytes.
    void watchSize(QNetworkReply* reply);

    QNetworkAccessManager* manager = nullptr;
    int putTimeout = 10000;

    // Shared by every client of the process; touched only on the GUI thread.
    static QMap<QNetworkReply*, PendingRequest> pendingRequests;
};

} // namespace controller
