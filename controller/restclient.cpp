#include "controller/restclient.h"

#include <QNetworkAccessManager>

namespace controller {

RestClient::RestClient(QObject* parent)
    : QObject(parent)
    , manager(new QNetworkAccessManager(this))
{
}

void RestClient::get(QString, std::function<void(int, QByteArray)>)
{
}

void RestClient::post(QString, QByteArray, std::function<void(int, QByteArray)>)
{
}

void RestClient::put(QString, QByteArray, std::function<void(int, QByteArray)>)
{
}

} // namespace controller
