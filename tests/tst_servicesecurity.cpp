// The web service's defences on the wire: the headers every answer carries,
// how many users clients without credentials may have it make, and what it
// trusts of a reverse proxy in front of it.

#include "support/realservice.h"

#include "service/limits.h"

#include <algorithm>
#include <fstream>
#include <regex>

using nlohmann::json;

namespace {

// An answer as it came over the wire.
struct Raw {
    int status = 0;
    std::string text; // all of it
    std::string retryAfter; // the header's value
    json body;
};

// Sends `method target` with `body` and `headers` from the loopback address
// `source` on a connection of its own, and reads the answer.
Raw ask(int port, const char* source, const std::string& method, const std::string& body,
        const std::string& headers = "Host: 127.0.0.1\r\n")
{
    const int socket = testsupport::rawConnect(port, source);
    const std::string request = method + " HTTP/1.1\r\n" + headers + "Connection: close\r\nContent-Length: "
        + std::to_string(body.size()) + "\r\n\r\n" + body;
    ::send(socket, request.data(), request.size(), MSG_NOSIGNAL);
    const std::string text = testsupport::readToEnd(socket);
    ::close(socket);
    Raw raw;
    raw.text = text;
    raw.status = text.size() > 12 ? std::stoi(text.substr(9, 3)) : 0;
    const std::string head = text.substr(0, text.find("\r\n\r\n") + 2);
    std::smatch retry;
    if (std::regex_search(head, retry, std::regex("\r\nretry-after: ([^\r]*)\r\n", std::regex::icase)))
        raw.retryAfter = retry[1];
    raw.body = json::parse(text.substr(std::min(text.size(), text.find("\r\n\r\n") + 4)), nullptr, false);
    return raw;
}

Raw registerFrom(int port, const char* source, const std::string& body = "{}")
{
    return ask(port, source, "POST /phone/register", body);
}

// A service on 127.0.0.1 behind a reverse proxy at 127.0.0.9.
service::ServerLimits behindProxy()
{
    service::ServerLimits limits;
    limits.proxies = { "127.0.0.9" };
    limits.headerMs = 60000; // for heads left unfinished
    return limits;
}

json refusal(int minutes)
{
    return { { "head", "Too many new users" },
             { "body", "Too many new users from this address; try again in " + std::to_string(minutes) + " min." } };
}

std::string sourceFile(const char* path)
{
    std::ifstream file(std::string(qgetenv("KESTREL_SOURCE_DIR").constData()) + "/" + path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

} // namespace

class TestServiceSecurity : public QObject {
    Q_OBJECT
private slots:
    // Every answer forbids sniffing and framing; a page allows what it needs
    // and no more, anything else nothing at all.
    void securityHeaders_data()
    {
        QTest::addColumn<QString>("request"); // method and target
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("policy");
        QTest::addColumn<QString>("file");    // of the source tree the answer is, byte for byte

        const QString html = "text/html; charset=utf-8", jsonType = "application/json; charset=utf-8";
        const QString none = "default-src 'none'; frame-ancestors 'none'";
        const QString end = "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
        const QString text = "default-src 'none'; style-src 'self'; " + end;
        QTest::newRow("phone page") << "GET /phone" << 200 << html
                                    << "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
                                       "connect-src 'self'; " + end << "service/pages/phone.html";
        QTest::newRow("sync page") << "GET /sync" << 200 << html
                                   << "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
                                          + end << "";
        QTest::newRow("error page") << "GET /sync?userID=x&phoneKey=y" << 403 << html << text << "";
        QTest::newRow("home page") << "GET /" << 200 << html << text << "service/pages/home.html";
        QTest::newRow("script") << "GET /assets/phone.js" << 200 << "text/javascript; charset=utf-8" << none
                                << "service/pages/phone.js";
        QTest::newRow("stylesheet") << "GET /assets/sync.css" << 200 << "text/css; charset=utf-8" << none
                                    << "service/pages/sync.css";
        QTest::newRow("no such asset") << "GET /assets/secret.js" << 404 << jsonType << none << "";
        QTest::newRow("JSON answer") << "PUT /getSyncList" << 203 << jsonType << none << "";
        QTest::newRow("answer without a body") << "PUT /syncCode" << 204 << "" << none << "";
        QTest::newRow("unknown route") << "GET /nothing" << 404 << jsonType << none << "";
        QTest::newRow("foreign host") << "GET / evil.example" << 403 << jsonType << none << "";
        QTest::newRow("QR image") << "GET /phone/qr.svg?text=x" << 200 << "image/svg+xml" << none << "";
        QTest::newRow("tracker app") << "POST /track/overland?token=0" << 403 << "application/json" << none << "";
    }
    void securityHeaders()
    {
        QFETCH(QString, request);
        QFETCH(QString, file);
        testsupport::RealService service;
        service.api->registerPhone("{}");
        const std::string method = request.section(' ', 0, 0).toStdString();
        const std::string target = request.section(' ', 1, 1).toStdString();
        httplib::Headers headers;
        if (!request.section(' ', 2).isEmpty())
            headers.emplace("Host", request.section(' ', 2).toStdString());
        const auto answer = method == "GET" ? service.client->Get(target.c_str(), headers)
            : method == "PUT"               ? service.client->Put(target.c_str(), headers, "{}", "application/json")
                                            : service.client->Post(target.c_str(), headers, "{}", "application/json");
        QVERIFY(answer);
        QTEST(answer->status, "status");
        QTEST(QString::fromStdString(answer->get_header_value("Content-Type")), "type");
        QCOMPARE(answer->get_header_value_count("Content-Security-Policy"), size_t(1));
        QTEST(QString::fromStdString(answer->get_header_value("Content-Security-Policy")), "policy");
        QCOMPARE(answer->get_header_value("X-Content-Type-Options"), std::string("nosniff"));
        QCOMPARE(answer->get_header_value("X-Frame-Options"), std::string("DENY"));
        if (!file.isEmpty())
            QCOMPARE(answer->body, sourceFile(qPrintable(file)));
    }

    // A client beyond the service's own address gets ten new users an hour,
    // by registration or by a first track import, counted in the database.
    void newUsersPerAddress()
    {
        testsupport::RealService s;
        const int64_t start = s.now;
        int port = s.server->port();
        // A registration that makes no user does not count.
        QCOMPARE(registerFrom(port, "127.0.0.2", "[]").status, 400);
        for (int i = 0; i < service::newUsersPerAddress; ++i)
            QCOMPARE(registerFrom(port, "127.0.0.2").status, 200);
        Raw refused = registerFrom(port, "127.0.0.2");
        QCOMPARE(refused.status, 429);
        QCOMPARE(refused.retryAfter, std::string("3600"));
        QCOMPARE(refused.body, refusal(60));
        // Whole seconds and minutes rounded up: 2,520.001 s is 2,521 s, 43 min.
        s.now += 18 * 60 * 1000 - 1;
        refused = ask(port, "127.0.0.2", "PUT /importTrack", "time,lat,lon\n1784023140,48.1,11.5\n");
        QCOMPARE(refused.status, 429);
        QCOMPARE(refused.retryAfter, std::string("2521"));
        QCOMPARE(refused.body, refusal(43));
        // Another address has its own count; the service's own is not counted.
        QCOMPARE(registerFrom(port, "127.0.0.3").status, 200);
        for (int i = 0; i <= service::newUsersPerAddress; ++i)
            QCOMPARE(registerFrom(port, "127.0.0.1").status, 200);

        // After a restart on the same database the count holds.
        s.server->stop();
        testsupport::RealService restarted("127.0.0.1", {}, {}, s.path());
        restarted.now = s.now.load();
        port = restarted.server->port();
        QCOMPARE(registerFrom(port, "127.0.0.2").status, 429);
        // An hour after the first, the address may have users again, and the
        // counts of the past hour are all the database keeps: 127.0.0.3's
        // and this one.
        restarted.now = start + service::newUserWindowMs + 1;
        QCOMPARE(registerFrom(port, "127.0.0.2").status, 200);
        QCOMPARE(testsupport::sqlValue(s.path(), "SELECT count(*) FROM new_users"), std::string("2"));

        // On a service bound beyond loopback every loopback client is this machine.
        testsupport::RealService open("0.0.0.0");
        for (int i = 0; i <= service::newUsersPerAddress; ++i)
            QCOMPARE(registerFrom(open.server->port(), "127.0.0.2").status, 200);
    }

    // Behind a reverse proxy no client is this computer's, whatever Host it
    // names; a request through the proxy must name its client, last in
    // X-Forwarded-For, and new users count against that client. Here
    // 198.51.100.7 has had its ten, and the proxy holds as many connections
    // as one address may have, their heads unfinished.
    void proxiedRequests_data()
    {
        QTest::addColumn<QString>("request"); // source, method, target and body
        QTest::addColumn<QString>("headers");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("said");

        const QString host = "Host: kestrel.example\r\n", seven = "X-Forwarded-For: 198.51.100.7\r\n";
        const QString eight = "X-Forwarded-For: 198.51.100.8\r\n", registration = " POST /phone/register {}";
        const QString missing = "The request came through a reverse proxy that did not name its client: "
                                "the proxy must send the client's address in X-Forwarded-For.";
        QTest::newRow("proxied") << R"(127.0.0.9 PUT /serviceStatus {"userID":""})" << host + eight << 203 << "";
        QTest::newRow("loopback") << R"(127.0.0.1 PUT /serviceStatus {"userID":""})" << "" << 203 << "";
        QTest::newRow("listening") << R"(127.0.0.9 PUT /serviceStatus {"userID":"$id"})" << host + eight << 200
                                   << R"("listening":"network")";
        QTest::newRow("no client") << "127.0.0.9 GET / " << host << 400 << missing;
        QTest::newRow("not an address") << "127.0.0.9 GET / " << "X-Forwarded-For: 198.51.100.8, unknown\r\n"
                                        << 400 << missing;
        QTest::newRow("direct") << "127.0.0.2 GET / " << host << 200 << "<!DOCTYPE html>";
        QTest::newRow("eleventh") << "127.0.0.9" + registration
                                  << "X-Forwarded-For: 198.51.100.8, ::ffff:198.51.100.7\r\n" << 429
                                  << "Too many new users from this address";
        QTest::newRow("last line") << "127.0.0.9" + registration << eight + seven << 429 << "Too many new users";
        QTest::newRow("other client") << "127.0.0.9" + registration << seven + eight << 200 << "Phone registered";
        QTest::newRow("forged") << "127.0.0.2" + registration << seven << 200 << "Phone registered";
    }
    void proxiedRequests()
    {
        QFETCH(QString, request);
        QFETCH(QString, headers);
        QFETCH(QString, said);
        testsupport::RealService s("127.0.0.1", behindProxy());
        const int port = s.server->port();
        std::vector<int> waiting;
        // Closed before the service stops, whatever the outcome.
        const std::shared_ptr<void> closing(nullptr, [&waiting](void*) { std::for_each(waiting.begin(), waiting.end(), ::close); });
        for (int i = 0; i < service::ServerLimits().perAddress; ++i) {
            waiting.push_back(testsupport::rawConnect(port, "127.0.0.9"));
            ::send(waiting.back(), "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL);
        }
        for (int i = 0; i < service::newUsersPerAddress; ++i)
            QCOMPARE(ask(port, "127.0.0.9", "POST /phone/register", "{}", "X-Forwarded-For: 198.51.100.7\r\n").status, 200);
        const QString id = QString::fromStdString(s.api->registerPhone("{}").json.value("userID", std::string()));
        const Raw raw = ask(port, qPrintable(request.section(' ', 0, 0)), request.section(' ', 1, 2).toStdString(),
                            request.section(' ', 3).replace("$id", id).toStdString(), headers.toStdString());
        QTEST(raw.status, "status");
        QVERIFY2(raw.text.find(said.toStdString()) != std::string::npos, raw.text.c_str());
    }
};

QTEST_GUILESS_MAIN(TestServiceSecurity)
#include "tst_servicesecurity.moc"
