#include "controller/restclient.h"

namespace controller {

RestClient::RestClient(QObject* parent)
    : QObject(parent)
{
}

} // namespace controller
