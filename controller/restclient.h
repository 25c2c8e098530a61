#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>

class QNetworkAccessManager;

namespace controller {

// Asynchronous HTTP client of the web service: each answer, or the final
// failure after three attempts, reaches the callback given with the request.
class RestClient : public QObject {
    Q_OBJECT
public:
    // Result code (low 16 bits HTTP status, high 16 bits the Qt network error)
    // and the answer body.
    using Callback = std::function<void(int, QByteArray)>;

    explicit RestClient(QObject* parent = nullptr);

public slots:
    void get(QString url, std::function<void(int, QByteArray)> callback);
    void post(QString url, QByteArray data, std::function<void(int, QByteArray)> callback);
    void put(QString url, QByteArray data, std::function<void(int, QByteArray)> callback);

private:
    QNetworkAccessManager* manager = nullptr;
};

} // namespace controller
