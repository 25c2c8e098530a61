#pragma once

// The real web service for the tests that link its library: header-only, as
// the support library itself does not link the service.

#include <QTemporaryDir>
#include <QtTest>

#include "service/api.h"
#include "service/httpserver.h"
#include "service/store.h"
#include "service/timegeo.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <memory>

namespace QTest {
template <> inline char* toString(const nlohmann::json& value)
{
    return qstrdup(value.dump().c_str());
}
} // namespace QTest

namespace testsupport {

// A fix as "<ISO time> <latitude> <longitude> <altitude> <accuracy> <zone>",
// the degrees to six places.
inline QString describe(const service::Fix& f)
{
    return QString("%1 %2 %3 %4 %5 %6").arg(QString::fromStdString(service::formatIsoTime(f.time))).arg(f.latitude, 0, 'f', 6)
        .arg(f.longitude, 0, 'f', 6).arg(f.altitude).arg(f.accuracy).arg(QString::fromStdString(f.zoneId));
}

// One running service on a free port of `address`, with its own database, a
// clock the test sets (10:00 UTC on 14 July 2026 at first) and a client that
// keeps one connection open.
class RealService {
public:
    explicit RealService(const std::string& address = "127.0.0.1", service::ServerLimits limits = {},
                         const service::TlsFiles& tls = {})
    {
        std::string error;
        if (!dir.isValid() || !store.open(path().toStdString(), &error))
            qFatal("cannot open the test database: %s", error.c_str());
        api = std::make_unique<service::Api>(store, [this] { return now.load(); });
        server = std::make_unique<service::HttpServer>(*api, limits, tls);
        if (server->valid() && !server->bind(address, 0, &error))
            qFatal("cannot listen: %s", error.c_str());
        if (server->valid())
            server->start();
        client = std::make_unique<httplib::Client>("127.0.0.1", server->port());
        client->set_read_timeout(10, 0);
        // An answer that leaves bytes behind (a 204 with a body) spoils the next one.
        client->set_keep_alive(true);
    }
    QString path() const { return dir.filePath("service.db"); }
    // "http://127.0.0.1:<port>/"
    QByteArray baseUrl() const { return "http://127.0.0.1:" + QByteArray::number(server->port()) + "/"; }

    QTemporaryDir dir;
    service::Store store;
    std::atomic<int64_t> now { *service::parseIsoTime("2026-07-14T10:00:00Z") };
    std::unique_ptr<service::Api> api;
    std::unique_ptr<service::HttpServer> server;
    std::unique_ptr<httplib::Client> client;
};

} // namespace testsupport
