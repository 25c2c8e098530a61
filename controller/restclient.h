#pragma once

#include <QByteArray>
#include <QMap>
#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <functional>

class QNetworkAccessManager;
class QTimer;

namespace controller {

// The status codes the web service answers with, each with a message of a
// head and a body, and the sign of the box that shows such a message. The
// desktop shows its own messages with the same codes; Question is its own
// too: a box that asks, with OK and Cancel.
enum class Status : quint16 {
    Ok = 200,          // done, nothing to tell
    Success = 201,     // done, with a message
    Information = 202, // partly done
    Warning = 203,     // refused; from the service: it does not know the user
    Error = 204,       // refused or failed
    Question = 222,
};

// The requests the controller sends to the web service. The number names the
// request in the network-error text ("Network error (1) on 1000").
enum class Request {
    CameraList = 1000,
    Synchronization = 1001,
    Removal = 1002,
    Geotag = 1003,
    TrackImport = 1004,
    ServiceStatus = 1005,
    SyncCode = 1006,
    Track = 1007,
};

// The code a message box is shown with (infoPending), and the number of a request.
constexpr int code(Status status) { return int(status); }
constexpr int code(Request request) { return int(request); }

// Asynchronous HTTP client of the web service: each answer, or the final
// failure after three attempts, reaches the callback given with the request.
class RestClient : public QObject {
    Q_OBJECT
public:
    // How a request ended.
    struct Result {
        quint16 status = 0; // the HTTP status; 0 when no answer came
        QNetworkReply::NetworkError error = QNetworkReply::NoError;

        bool is(Status expected) const { return status == quint16(expected); }
        // A 200 or 201 answer: the service did what was asked.
        bool succeeded() const { return is(Status::Ok) || is(Status::Success); }
    };
    // The result and the answer body; after a failed transfer, the body is the
    // network error's number (or tooLargeText).
    using Callback = std::function<void(Result, QByteArray)>;
    // Bytes of the request body sent so far and in all.
    using Progress = std::function<void(qint64, qint64)>;
    using Headers = QMap<QByteArray, QByteArray>;

    enum Method { Get = 0, Post = 1, Put = 2 };

    // The largest answer read; a larger one is a network error whose body
    // is tooLargeText.
    static constexpr qint64 maxAnswerBytes = 8 * 1024 * 1024;
    static const QByteArray tooLargeText;

    explicit RestClient(QObject* parent = nullptr);
    ~RestClient() override;

    // How long one PUT attempt may take before it is aborted (10 000 ms).
    void setPutTimeout(int milliseconds) { m_putTimeout = milliseconds; }
    int putTimeoutInterval() const { return m_putTimeout; }

public slots:
    void get(QString url, Callback callback);
    void post(QString url, QByteArray data, Callback callback);
    void put(QString url, QByteArray data, Callback callback);

    // A PUT of raw bytes (an uploaded file) with extra request headers; the
    // time-out then counts from the last bytes that went out.
    void putRaw(QString url, QByteArray data, Headers headers, Callback callback, Progress progress = {});

private slots:
    void onReplyFinished(QNetworkReply* reply);

private:
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

    void send(int method, const QString& url, const QByteArray& data, const Callback& callback, int attempts,
              const Headers& headers = {}, const Progress& progress = {});
    // The time-out of a PUT: aborts the reply when it has not finished
    // m_putTimeout after it was sent or after its last bytes went out.
    QTimer* startTimeout(QNetworkReply* reply);
    void onUploadProgress(QNetworkReply* reply, qint64 sent, qint64 total);
    static QByteArray noContentBody(const QNetworkReply& reply);
    // Aborts a reply whose answer grows beyond maxAnswerBytes.
    void watchSize(QNetworkReply* reply);

    QNetworkAccessManager* m_manager = nullptr;
    int m_putTimeout = 10000;
    // The requests of this client whose replies are on the way.
    QMap<QNetworkReply*, PendingRequest> m_pendingRequests;
};

} // namespace controller
