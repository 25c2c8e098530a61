#pragma once

// The real web service for the tests that link its library: header-only, as
// the support library itself does not link the service.

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "service/api.h"
#include "service/httpserver.h"
#include "service/store.h"
#include "service/timegeo.h"
#include "support/teststore.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

// A raw connection to the service on loopback `port` from the address `source`.
inline int rawConnect(int port, const char* source = "127.0.0.1")
{
    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in from {}, to {};
    from.sin_family = to.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    to.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(socket, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0
        || ::connect(socket, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
        qFatal("cannot connect from %s", source);
    return socket;
}

// Everything the service answers on a connection until it closes it.
inline std::string readToEnd(int socket, int waitMs = 10000)
{
    std::string text;
    char buffer[4096];
    pollfd entry { socket, POLLIN, 0 };
    while (::poll(&entry, 1, waitMs) > 0) {
        const ssize_t got = ::recv(socket, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        text.append(buffer, static_cast<size_t>(got));
    }
    return text;
}

// A self-signed certificate for localhost with a new key of `keyOptions`
// ("-newkey" and what follows), written as cert.pem and key.pem into `dir`.
inline service::TlsFiles makeCertificate(const QTemporaryDir& dir, const QStringList& keyOptions)
{
    const service::TlsFiles files { dir.filePath("cert.pem").toStdString(), dir.filePath("key.pem").toStdString() };
    QProcess openssl;
    openssl.setStandardErrorFile(QProcess::nullDevice());
    openssl.start("openssl", QStringList { "req", "-x509" } + keyOptions + QStringList { "-nodes", "-subj", "/CN=localhost",
        "-days", "1", "-keyout", QString::fromStdString(files.key), "-out", QString::fromStdString(files.certificate) });
    if (!openssl.waitForFinished(60000) || openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0)
        qFatal("openssl could not make a certificate");
    return files;
}

// One running service on a free port of `address`, with its own database
// (a TestDatabase, or the one at `database`), a clock the test sets (10:00
// UTC on 14 July 2026 at first) and a client that keeps one connection open.
class RealService {
public:
    explicit RealService(const std::string& address = "127.0.0.1", service::ServerLimits limits = {},
                         const service::TlsFiles& tls = {}, const QString& database = QString())
        : ownDatabase(database.isEmpty() ? std::make_unique<TestDatabase>(QString()) : nullptr)
        , databaseFile(ownDatabase ? ownDatabase->path() : database)
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
    // The database's file or URL.
    QString path() const { return databaseFile.isEmpty() ? dir.filePath("service.db") : databaseFile; }
    bool postgres() const { return isPostgresUrl(path()); }
    // "http://127.0.0.1:<port>/"
    QByteArray baseUrl() const { return "http://127.0.0.1:" + QByteArray::number(server->port()) + "/"; }

    const std::unique_ptr<TestDatabase> ownDatabase; // dropped after all else
    const QString databaseFile;
    QTemporaryDir dir;
    service::Store store;
    std::atomic<int64_t> now { *service::parseIsoTime("2026-07-14T10:00:00Z") };
    std::unique_ptr<service::Api> api;
    std::unique_ptr<service::HttpServer> server;
    std::unique_ptr<httplib::Client> client;
};

} // namespace testsupport
