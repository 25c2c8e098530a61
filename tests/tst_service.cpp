// The web service, started for real on a free loopback port and asked over
// HTTP as Kestrel and a phone ask it.

#include <QProcess>

#include "buildinfo.h"

#include "service/camerasync.h"
#include "service/desktopapi.h"
#include "service/demo.h"
#include "service/text.h"
#include "support/files.h"
#include "support/realservice.h"

#include <sqlite3.h>

#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <regex>
#include <set>
#include <thread>

using nlohmann::json;

namespace {

int64_t utc(const std::string& iso)
{
    const auto time = service::parseIsoTime(iso);
    if (!time)
        qFatal("bad time in test: %s", iso.c_str());
    return *time;
}

struct Answer {
    int status = 0;
    json body;         // the parsed answer (null when it is no JSON)
    std::string head;  // "head", also of a 204 answer
    std::string text;  // "body", also of a 204 answer
    std::string raw;
};

struct Phone {
    std::string userId;
    std::string phoneKey;
    json key() const { return { { "userID", userId }, { "phoneKey", phoneKey } }; }
};

json fix(const std::string& time, double latitude, double longitude, double altitude, double accuracy,
         const std::string& zone = "Europe/Berlin")
{
    return { { "time", time },         { "latitude", latitude }, { "longitude", longitude },
             { "altitude", altitude }, { "accuracy", accuracy }, { "timeZoneId", zone } };
}

constexpr int64_t cameraAhead = (3600 + 3 * 60 + 17) * 1000LL; // 1 h 3 min 17 s

// A track of three points: one with hdop, one with a zone offset, one without a time.
const std::string gpxTrack =
    "<?xml version=\"1.0\"?>\n<gpx version=\"1.1\" creator=\"test\" xmlns=\"http://www.topografix.com/GPX/1/1\">\n"
    "<trk><trkseg>\n"
    "<trkpt lat=\"46.5\" lon=\"7.5\"><ele>1200.5</ele><time>2026-07-14T08:00:00Z</time><hdop>3</hdop></trkpt>\n"
    "<trkpt lat=\"46.6\" lon=\"7.6\"><ele>1300.5</ele><time>2026-07-14T10:30:00+02:00</time></trkpt>\n"
    "<trkpt lat=\"46.7\" lon=\"7.7\"><ele>1400</ele></trkpt>\n"
    "</trkseg></trk>\n</gpx>\n";

using testsupport::rawConnect;
using testsupport::readToEnd;

// Whether the service closes the connection within `ms` without a word.
bool closedSilently(int socket, int ms)
{
    pollfd entry { socket, POLLIN, 0 };
    char byte = 0;
    return ::poll(&entry, 1, ms) > 0 && ::recv(socket, &byte, 1, MSG_DONTWAIT) <= 0;
}

// The start of a TLS ClientHello whose rest never comes.
constexpr char helloStart[] = "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03";

// "GET /" over TLS from the address `source`, by a client limited to
// `version` and to the TLS 1.2 `suites` (TLS 1.3 has its own): the suite
// agreed on and the answer's status line, or nothing when the handshake fails.
std::string tlsGet(int port, const char* source, int version = 0, const char* suites = nullptr)
{
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_security_level(context, 0); // so that it offers old versions
    if (version)
        SSL_CTX_set_min_proto_version(context, version), SSL_CTX_set_max_proto_version(context, version);
    if (suites)
        SSL_CTX_set_cipher_list(context, suites);
    const int socket = rawConnect(port, source);
    const timeval wait { 10, 0 };
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    SSL* ssl = SSL_new(context);
    const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    std::string result;
    if (SSL_set_fd(ssl, socket) == 1 && SSL_connect(ssl) == 1
        && SSL_write(ssl, request.data(), static_cast<int>(request.size())) > 0) {
        char buffer[256];
        const std::string answer(buffer, static_cast<size_t>(std::max(0, SSL_read(ssl, buffer, sizeof buffer))));
        result = SSL_get_cipher_name(ssl) + (" " + answer.substr(0, answer.find("\r\n")));
    }
    SSL_free(ssl);
    ::close(socket);
    SSL_CTX_free(context);
    return result;
}

// The running service, asked as Kestrel and a phone ask it.
class Running : public testsupport::RealService {
public:
    using RealService::RealService;

    Answer send(const std::string& method, const std::string& target, const std::string& body,
                const char* type = "application/json")
    {
        Answer answer;
        httplib::Result result = method == "PUT" ? client->Put(target, body, type)
            : method == "POST"                   ? client->Post(target, body, type)
                                                 : client->Get(target);
        if (!result)
            return answer;
        answer.status = result->status;
        answer.raw = result->body;
        // A 204 answer has its texts in headers, and its other members.
        const std::string members = result->get_header_value("Kestrel-Members");
        answer.body = json::parse(answer.status == 204 ? QByteArray::fromPercentEncoding(members.c_str()).toStdString()
                                                       : result->body, nullptr, false);
        if (answer.body.is_discarded())
            answer.body = nullptr;
        auto text = [&](const char* header, const char* member) {
            return answer.status == 204 ? QByteArray::fromPercentEncoding(result->get_header_value(header).c_str()).toStdString()
                : answer.body.is_object() ? answer.body.value(member, std::string("<missing>"))
                                          : std::string();
        };
        answer.head = text("Kestrel-Head", "head");
        answer.text = text("Kestrel-Body", "body");
        return answer;
    }
    Answer put(const std::string& endpoint, const json& body) { return send("PUT", "/" + endpoint, body.dump()); }
    Answer put(const std::string& endpoint, const std::string& body) { return send("PUT", "/" + endpoint, body); }
    Answer list(const Phone& phone) { return put("getSyncList", json { { "userID", phone.userId } }); }

    // A phone endpoint that must succeed for the test to go on.
    Answer post(const std::string& target, const json& body)
    {
        Answer a = send("POST", target, body.dump());
        if (a.status != 200)
            qFatal("%s failed: %s", target.c_str(), a.raw.c_str());
        return a;
    }
    Phone registerPhone(const std::string& name)
    {
        const Answer a = post("/phone/register", { { "phoneName", name } });
        return { a.body.value("userID", ""), a.body.value("phoneKey", "") };
    }
    // Uploads fixes as the phone does once it recorded the last of them.
    void upload(const Phone& phone, const std::vector<json>& fixes)
    {
        json request = phone.key();
        request["fixes"] = fixes;
        const int64_t clock = now;
        for (const json& f : fixes)
            now = std::max(now.load(), utc(f["time"]));
        post("/phone/fixes", request);
        now = clock;
    }
    std::string createCode(const Phone& phone) { return post("/phone/syncCode", phone.key()).body.value("syncID", ""); }

    // Synchronizes a camera whose clock runs `offsetMs` ahead of UTC: its
    // photo of the code, taken `elapsedMs` after the code was created.
    Answer sync(const std::string& userId, const std::string& code, int64_t createdAt, int64_t elapsedMs,
                int64_t offsetMs, const std::string& model = "Canon EOS 5D", const std::string& serial = "1234",
                const std::string& internalSerial = "")
    {
        json request = camera(userId, service::formatWallClock(createdAt + elapsedMs + offsetMs), model, serial,
                              internalSerial);
        request["elapsedTime"] = elapsedMs;
        request["syncID"] = code;
        return put("syncCamera", request);
    }
    // The same with a code the phone creates now.
    Answer syncNew(const Phone& phone, int64_t elapsedMs, int64_t offsetMs, const std::string& model = "Canon EOS 5D",
                   const std::string& serial = "1234", const std::string& internalSerial = "")
    {
        const int64_t created = now;
        const std::string code = createCode(phone);
        now = created + elapsedMs;
        return sync("", code, created, elapsedMs, offsetMs, model, serial, internalSerial);
    }
    Answer geotag(const std::string& userId, const std::string& cameraTime, const std::string& model = "Canon EOS 5D",
                  const std::string& serial = "1234", const std::string& internalSerial = "")
    {
        return put("geocodeImage", camera(userId, cameraTime, model, serial, internalSerial));
    }
    static json camera(const std::string& userId, const std::string& cameraTime, const std::string& model,
                       const std::string& serial, const std::string& internalSerial)
    {
        return { { "GPSProcessingMethod", "" }, { "dateTimeOriginal", cameraTime }, { "fileNumber", "100-0001" },
                 { "internalSerialNumber", internalSerial }, { "model", model }, { "serialNumber", serial },
                 { "shutterCount", 17 }, { "timeZone", "" }, { "userID", userId } };
    }
};

} // namespace

class TestService : public QObject {
    Q_OBJECT
private slots:
    // A certificate with an RSA key, so that suites of every kind can be
    // offered.
    void initTestCase()
    {
        QVERIFY(m_certificates.isValid());
        m_tls = testsupport::makeCertificate(m_certificates, { "-newkey", "rsa:2048" });
    }

    void init() { m_service = std::make_unique<Running>(); }
    void cleanup() { m_service.reset(); }

    void syncCamera_data()
    {
        QTest::addColumn<QString>("userId"); // "owner", "other" or a literal
        QTest::addColumn<QString>("code");   // "valid" or a literal
        QTest::addColumn<qint64>("waitMs");  // after the code was created
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("head");
        QTest::addColumn<QString>("text");   // a part of the answer's text

        // The clock is told against the local time (+02:00): 56 min 43 s behind.
        const char* told = "its clock is 56 min 43 s behind the local time in Europe/Berlin.";
        QTest::newRow("no user: the owner") << "" << "valid" << 60000LL << 200 << "Camera synchronized" << told;
        QTest::newRow("the owner") << "owner" << "valid" << 60000LL << 200 << "Camera synchronized" << told;
        QTest::newRow("just in time") << "" << "valid" << 15 * 60000LL << 200 << "Camera synchronized" << told;
        QTest::newRow("the owner, days later") << "owner" << "valid" << 3 * 86400000LL << 200 << "Camera synchronized" << told;
        QTest::newRow("unknown code") << "" << "0123456789abcdef" << 60000LL << 204 << "Unknown synchronization code"
                                      << "does not know the synchronization code";
        QTest::newRow("empty code") << "" << "" << 60000LL << 204 << "Unknown synchronization code" << "does not know";
        QTest::newRow("expired code") << "" << "valid" << 15 * 60000LL + 1 << 204 << "Synchronization code expired"
                                      << "older than 15 minutes";
        // Another account of a desktop is asked to join the code's, while the code is young.
        QTest::newRow("other user") << "other" << "valid" << 60000LL << 203 << "Link this computer?"
                                    << "Link this computer to the phone 'Phone'? Nothing was recorded here, so nothing is lost.";
        QTest::newRow("other user, old code") << "other" << "valid" << 15 * 60000LL + 1 << 203 << "Wrong user"
                                              << "belongs to another user and is too old to link this computer";
        QTest::newRow("unknown user") << "ffff" << "valid" << 60000LL << 203 << "Wrong user" << "belongs to another user";
    }

    void syncCamera()
    {
        QFETCH(QString, userId);
        QFETCH(QString, code);
        QFETCH(qint64, waitMs);
        QFETCH(int, status);
        QFETCH(QString, text);
        Running& s = *m_service;
        const Phone phone = s.registerPhone("Phone");
        const Phone other = s.registerPhone("Other phone");
        s.upload(phone, { fix("2026-07-14T09:59:00Z", 48.1, 11.5, 500, 5) });
        const int64_t created = s.now;
        const std::string valid = s.createCode(phone);
        s.now = created + waitMs;
        const std::string user = userId == "owner" ? phone.userId : userId == "other" ? other.userId : userId.toStdString();
        const std::string sent = code == "valid" ? valid : code.toStdString();
        const Answer a = s.sync(user, sent, created, 1000, cameraAhead);
        QCOMPARE(a.status, status);
        QTEST(QString::fromStdString(a.head), "head");
        QVERIFY2(QString::fromStdString(a.text).contains(text), a.text.c_str());
        if (status != 200) {
            QVERIFY(a.raw.empty() || !a.body.contains("userID"));
            QCOMPARE(a.body.contains("link"), a.head == "Link this computer?");
            QCOMPARE(s.list(phone).body["cameras"].size(), size_t(0));
            return;
        }
        QCOMPARE(a.body["userID"], json(phone.userId));
        // The code hands out the identifier once: no desktop of another
        // account is then offered to join it either.
        if (userId.isEmpty()) {
            QCOMPARE(s.sync("", sent, created, 2000, cameraAhead).head, std::string("Synchronization code used"));
            QCOMPARE(s.sync(other.userId, sent, created, 2000, cameraAhead).head, std::string("Wrong user"));
        }
        QCOMPARE(a.body["clockOffset"], json(-(56 * 60 + 43)));
        // The same code again replaces the synchronization it made.
        QCOMPARE(s.sync(phone.userId, sent, created, 2000, cameraAhead).status, 200);
        QCOMPARE(s.list(phone).body["cameras"][0]["synchronizations"].size(), size_t(1));
    }

    void linkText()
    {
        // Thousands grouped; one and many; only what moves named.
        QCOMPARE(service::linkText("Pixel 8", 2161, 1, false), std::string("Link this computer to the phone 'Pixel 8'? The "
                                                                           "2,161 positions imported here and 1 camera move to it."));
        QCOMPARE(service::linkText("P", 1, 0, false), std::string("Link this computer to the phone 'P'? The 1 position "
                                                                  "imported here moves to it."));
    }

    // A desktop's own account (of track files, or the demo) joins the account
    // of the phone whose young code it synchronizes with, once asked.
    void linkAccounts_data()
    {
        QTest::addColumn<bool>("demo");
        QTest::addColumn<QString>("link"); // the question's member "link", its text and the fixes left in all
        QTest::newRow("track files") << false << R"({"link":{"phoneName":"Pixel 8","positions":2,"cameras":2,"demo":false},)"
                                                 R"("body":"The 2 positions imported here and 2 cameras move to it.","fixes":3})";
        QTest::newRow("demo") << true << R"({"link":{"phoneName":"Pixel 8","positions":0,"cameras":2,"demo":true},"body":)"
                                         R"("The 2 cameras synchronized here move to it. The demo positions stay behind.","fixes":2})";
    }

    void linkAccounts()
    {
        QFETCH(bool, demo);
        QFETCH(QString, link);
        const json want = json::parse(link.toStdString());
        Running& s = *m_service;
        const Phone phone = s.registerPhone("Pixel 8");
        s.upload(phone, { fix("2026-07-14T09:00:00Z", 1, 1, 0, 5), fix("2026-07-14T09:30:00Z", 2, 2, 0, 5) });
        const auto made = demo ? service::createDemo(s.store, s.now) : std::nullopt;
        const Phone desktop = made ? Phone { made->user.userId, made->user.phoneKey } : s.registerPhone("Track files");
        if (!demo)
            s.upload(desktop, { fix("2026-07-14T09:30:00Z", 9, 9, 0, 5), fix("2026-07-14T09:45:00Z", 3, 3, 0, 5) });
        QCOMPARE(s.syncNew(phone, 0, 0).status + s.syncNew(desktop, 0, 0).status
                     + s.syncNew(desktop, 0, 0, "NIKON D750", "3001234").status, 600);
        json request = Running::camera(desktop.userId, service::formatWallClock(s.now), "Canon EOS 5D", "1234", "");
        request.update({ { "syncID", s.createCode(phone) }, { "elapsedTime", 0 } });
        Answer a = s.put("syncCamera", request);
        QCOMPARE(json(a.text), json("Link this computer to the phone 'Pixel 8'? " + want["body"].get<std::string>()));
        QCOMPARE(a.body["link"], want["link"]);
        QCOMPARE(s.list(desktop).status, 200);
        // A merge that fails part way leaves both accounts as they were.
        const std::string refused = demo ? "BEFORE UPDATE ON cameras" : "BEFORE INSERT ON fixes";
        QVERIFY(testsupport::sqlExecute(s.path(), s.postgres()
            ? "CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS $$BEGIN RAISE 'no'; END$$; CREATE TRIGGER refuse "
                + refused + " FOR EACH ROW EXECUTE FUNCTION refuse()"
            : "CREATE TRIGGER refuse " + refused + " BEGIN SELECT RAISE(ABORT, 'no'); END"));
        QVERIFY(!s.store.mergeUser(s.store.userById(desktop.userId)->id, s.store.userById(phone.userId)->id));
        QVERIFY(testsupport::sqlExecute(s.path(), s.postgres() ? "DROP FUNCTION refuse CASCADE" : "DROP TRIGGER refuse"));
        QCOMPARE(s.list(desktop).status, 200);
        request["linkUser"] = true;
        a = s.put("syncCamera", request);
        QCOMPARE(a.body["userID"], json(phone.userId));
        // The old identifier is unknown; each position (the phone's at the
        // same time) and camera is kept once, the Canon with every synchronization.
        QCOMPARE(s.list(desktop).head, std::string("Unknown user"));
        QCOMPARE(testsupport::sqlValue(s.path(), "SELECT count(*) FROM fixes"), want["fixes"].dump());
        QCOMPARE(testsupport::sqlValue(s.path(), "SELECT CAST(latitude * 10 AS INTEGER) FROM fixes WHERE time = 1784021400000"),
                 std::string("20"));
        QCOMPARE(testsupport::sqlValue(s.path(), std::string(s.postgres() ? "SELECT string_agg" : "SELECT group_concat")
                                                     + "(model || ': ' || (SELECT count(*) FROM synchronizations "
                                                       "WHERE camera = cameras.id), ', ') FROM cameras"),
                 std::string("Canon EOS 5D: 3, NIKON D750: 1"));
        const auto owner = s.store.userById(phone.userId);
        QVERIFY(!s.store.mergeUser(owner->id, owner->id));
        QCOMPARE(testsupport::sqlValue(s.path(), "SELECT count(*) FROM users"), std::string("1"));
    }

    // The clock is told against the zone of the phone's fix within an hour of
    // the moment, else the computer's; the text and the number agree.
    void clockOffset_data()
    {
        QTest::addColumn<int>("fixMinutes");  // the phone's fix this long before the code showed 10:00:01 UTC; 0: none
        QTest::addColumn<QString>("request"); // the camera's clock and sub-seconds, the computer's zone
        QTest::addColumn<QString>("answer");  // members of the answer; "body" its text's end
        QTest::newRow("phone zone") << 59 << R"(["2026:07:14 12:00:03","48","America/New_York"])"
            << R"({"clockOffset":2,"clockOffsetMs":2480,"zoneSource":"phone","timeZoneId":"Europe/Berlin",)"
               R"("timeZoneName":"Central European Summer Time","body":"is 2 s ahead of the local time in Europe/Berlin."})";
        QTest::newRow("an hour to the second: the phone's zone") << 60 << R"(["2026:07:14 12:00:01","","America/New_York"])"
            << R"({"clockOffset":0,"zoneSource":"phone","body":"shows the local time in Europe/Berlin."})";
        QTest::newRow("computer zone") << 61 << R"(["2026:07:14 06:00:00","5","America/New_York"])"
            << R"({"clockOffset":-1,"clockOffsetMs":-500,"zoneSource":"computer","timeZoneName":"Eastern Daylight Time",)"
               R"("body":"is 1 s behind the local time in America/New_York."})";
        QTest::newRow("unknown computer zone") << 0 << R"(["2026:07:14 09:59:59"," 5 ","Mars/Base"])"
            << R"({"clockOffset":-2,"clockOffsetMs":-1500,"timeZoneId":"UTC","body":"is 2 s behind the local time in UTC."})";
        QTest::newRow("no digits") << 0 << R"(["2026:07:14 10:00:01","4x",""])"
                                   << R"({"clockOffsetMs":0,"body":"shows the local time in UTC."})";
        QTest::newRow("past the third digit") << 0 << R"(["2026:07:14 10:00:01","1239",""])"
                                              << R"({"clockOffset":0,"clockOffsetMs":123,"body":"shows the local time in UTC."})";
    }

    void clockOffset()
    {
        QFETCH(int, fixMinutes);
        QFETCH(QString, request);
        QFETCH(QString, answer);
        const json sent = json::parse(request.toStdString());
        json want = json::parse(answer.toStdString());
        Running& s = *m_service;
        const Phone phone = s.registerPhone("Phone");
        if (fixMinutes)
            s.upload(phone, { fix(service::formatIsoTime(s.now + 1000 - fixMinutes * 60000LL), 48.1, 11.5, 500, 5) });
        json body = Running::camera("", sent[0], "Canon EOS 5D", "1234", "");
        body.update({ { "syncID", s.createCode(phone) }, { "elapsedTime", 1000 }, { "subSecTimeOriginal", sent[1] },
                      { "computerZoneId", sent[2] } });
        s.now += 1000;
        const Answer a = s.put("syncCamera", body);
        QVERIFY2(service::endsWith(a.text, want["body"].get<std::string>()), a.text.c_str());
        want.erase("body");
        for (auto member = want.begin(); member != want.end(); ++member)
            QCOMPARE(a.body[member.key()], *member);
        // The synchronization is kept in that zone.
        QCOMPARE(s.list(phone).body["cameras"][0]["synchronizations"][0]["timeZoneName"], a.body["timeZoneName"]);
    }

    // A photo taken at a true UTC moment by a camera 1 h 3 min 17 s ahead,
    // with the phone's fixes around it.
    void geotag_data()
    {
        QTest::addColumn<QString>("zone");
        QTest::addColumn<QByteArray>("fixes");    // [[UTC, latitude, longitude, altitude, accuracy]]; none: a minute either side
        QTest::addColumn<QString>("taken");       // UTC
        QTest::addColumn<QByteArray>("expected"); // members of the answer; of a 204 its head and a part of its text
        const auto row = [](const char* name, const char* zone, const char* fixes, const char* taken, const char* expected) {
            QTest::newRow(name) << zone << QByteArray(fixes) << taken << QByteArray(expected);
        };
        row("a quarter of the way", "Europe/Berlin",
            R"([["2026-07-14T09:58:00Z",48,11,500,4],["2026-07-14T12:00:00Z",48,11,400,5],["2026-07-14T12:01:00Z",48.6,11.3,700,12]])",
            "2026-07-14T12:00:15Z",
            R"({"head":"","body":"","latitude":48.15,"longitude":11.075,"altitude":475,"photoTime":"2026-07-14 14:00:15",)"
            R"("timeZone":"+02:00","timeZoneName":"Central European Summer Time"})");
        // The stated error: the worse fix's 6 m (counted 1.5 times), 1.85 m/s
        // over the 15 s since the first fix, and over the clock's 0.7 s (half a
        // second for each of the two readings to the second, and a drift unknown).
        row("the stated error", "Europe/Berlin", R"([["2026-07-14T12:00:00Z",48,11,0,4],["2026-07-14T12:01:00Z",48.001,11,0,6]])",
            "2026-07-14T12:00:15Z",
            R"({"accuracy":29.2,"accuracyParts":{"fixes":6,"movement":27.8,"clock":1.3},"clock":{"offsetMs":3797000,)"
            R"("uncertaintyMs":708,"method":"one","synchronizations":["2026-07-14 13:58:16"],"clockChanged":false,)"
            R"j("camera":"The camera Canon EOS 5D (serial number 1234)","drift":"","text":"The clock offset comes from )j"
            R"(the synchronization of 2026-07-14 13:58:16."}})");
        row("10 min apart: interpolated", "Europe/Berlin", R"([["2026-07-14T12:00:00Z",48],["2026-07-14T12:10:00Z",49]])",
            "2026-07-14T12:05:00Z", R"({"latitude":48.5})");
        row("a photo's fraction of a second: its place, the nearest second", "Europe/Berlin",
            R"([["2026-07-14T12:00:00Z",48],["2026-07-14T12:10:00Z",49]])", "2026-07-14T12:05:00.600Z",
            R"({"latitude":48.501,"photoTime":"2026-07-14 14:05:01","utcTime":"2026-07-14T12:05:00.600Z"})");
        const char* gap = R"([["2026-07-14T12:00:00Z",48],["2026-07-14T12:20:00Z",49]])";
        row("gap, near the first", "Europe/Berlin", gap, "2026-07-14T12:02:00Z", R"({"latitude":48})");
        row("gap, near the second", "Europe/Berlin", gap, "2026-07-14T12:18:30Z", R"({"latitude":49})");
        row("exactly on a fix", "Europe/Berlin", gap, "2026-07-14T12:20:00Z", R"({"latitude":49})");
        row("gap, far from both", "Europe/Berlin", gap, "2026-07-14T12:10:00Z",
            R"({"head":"No position","text":"in a gap of 20 min without positions","utcTime":"2026-07-14T12:10:00.000Z",)"
            R"("photoTime":"2026-07-14 14:10:00","timeZone":"+02:00","timeZoneId":"Europe/Berlin"})");
        row("before every fix", "Europe/Berlin", gap, "2026-07-14T11:57:00Z",
            R"({"head":"No position","text":"the nearest position the phone recorded is 3 min later"})");
        row("after every fix", "Europe/Berlin", gap, "2026-07-14T12:22:01.500Z",
            R"({"head":"No position","text":"the nearest position the phone recorded is 2 min 1 s earlier",)"
            R"("utcTime":"2026-07-14T12:22:01.500Z","photoTime":"2026-07-14 14:22:02"})");
        // Daylight saving begins in Berlin on 2026-03-29 at 01:00 UTC and ends on
        // 2026-10-25 at 01:00 UTC, when the local hour 02:xx happens twice.
        row("Berlin before spring", "Europe/Berlin", "", "2026-03-29T00:59:30Z",
            R"({"timeZone":"+01:00","photoTime":"2026-03-29 01:59:30","timeZoneName":"Central European Standard Time"})");
        row("Berlin after spring", "Europe/Berlin", "", "2026-03-29T01:00:30Z",
            R"({"timeZone":"+02:00","photoTime":"2026-03-29 03:00:30","timeZoneName":"Central European Summer Time"})");
        row("Berlin autumn, first", "Europe/Berlin", "", "2026-10-25T00:30:00Z",
            R"({"timeZone":"+02:00","photoTime":"2026-10-25 02:30:00","timeZoneName":"Central European Summer Time"})");
        row("Berlin autumn, second", "Europe/Berlin", "", "2026-10-25T01:30:00Z",
            R"({"timeZone":"+01:00","photoTime":"2026-10-25 02:30:00","timeZoneName":"Central European Standard Time"})");
        row("New York", "America/New_York", "", "2026-01-10T03:00:00Z",
            R"({"timeZone":"-05:00","photoTime":"2026-01-09 22:00:00","timeZoneName":"Eastern Standard Time"})");
        row("Kolkata", "Asia/Kolkata", "", "2026-07-14T12:00:00Z",
            R"({"timeZone":"+05:30","photoTime":"2026-07-14 17:30:00","timeZoneName":"India Standard Time"})");
        row("UTC", "UTC", "", "2026-07-14T12:00:00Z",
            R"({"timeZone":"+00:00","photoTime":"2026-07-14 12:00:00","timeZoneName":"Coordinated Universal Time"})");
        // Fixes without a zone: the zone of their place, the nautical one at sea.
        row("no zone, Sydney", "", R"([["2026-07-14T11:59:00Z",-33.87,151.21],["2026-07-14T12:01:00Z",-33.87,151.21]])",
            "2026-07-14T12:00:00Z", R"({"timeZoneId":"Australia/Sydney","timeZone":"+10:00","photoTime":"2026-07-14 22:00:00",)"
            R"("place":{"city":"Sydney","sublocation":"","region":"New South Wales","country":"Australia",)"
            R"("countryCode":"AU","distance":344}})");
        // The fixes' local times name their zone where it is not the photo's.
        row("gap across zones", "", R"([["2026-07-14T12:00:00Z",48.14,11.58],["2026-07-14T12:20:00Z",51.5,-0.12]])",
            "2026-07-14T12:09:00Z", R"({"head":"No position","text":"14:09:00 (Europe/Berlin), in a gap of 20 min without )"
            R"(positions: the phone recorded none between 2026-07-14 14:00:00 and 2026-07-14 13:20:00 (Europe/London).",)"
            R"("timeZoneName":"Central European Summer Time","photoTime":"2026-07-14 14:09:00"})");
        row("no zone, Atlantic", "", R"([["2026-07-14T11:59:00Z",35,-45],["2026-07-14T12:01:00Z",35,-45]])",
            "2026-07-14T12:00:00Z", R"({"timeZoneId":"Etc/GMT+3","timeZone":"-03:00","photoTime":"2026-07-14 09:00:00",)"
            R"("timeZoneName":"GMT-03:00","place":null})");
    }

    void geotag()
    {
        QFETCH(QString, zone);
        QFETCH(QByteArray, fixes);
        QFETCH(QString, taken);
        QFETCH(QByteArray, expected);
        Running& s = *m_service;
        const Phone phone = s.registerPhone("Phone");
        const int64_t moment = utc(taken.toStdString());
        const json given = fixes.isEmpty() ? json::array({ json::array({ service::formatIsoTime(moment - 60000), 10 }),
                                                           json::array({ service::formatIsoTime(moment + 60000), 10 }) })
                                           : json::parse(fixes.constData());
        std::vector<json> list;
        for (const json& f : given) {
            auto at = [&](size_t i, double fallback) { return f.size() > i ? f[i].get<double>() : fallback; };
            list.push_back(fix(f[0], at(1, 0), at(2, 11), at(3, 500), at(4, 4), zone.toStdString()));
        }
        s.upload(phone, list);
        s.now = moment / 1000 * 1000 - 120000;
        QCOMPARE(s.syncNew(phone, 1000, cameraAhead).status, 200);
        json photo = Running::camera(phone.userId, service::formatWallClock(moment + cameraAhead), "Canon EOS 5D", "1234", "");
        if (moment % 1000 != 0)
            photo["subSecTimeOriginal"] = std::to_string(moment % 1000);
        const Answer a = s.put("geocodeImage", photo);
        const json want = json::parse(expected.constData());
        if (want.contains("text")) {
            QCOMPARE(a.status, 204);
            QCOMPARE(json(a.head), want["head"]);
            QVERIFY2(a.text.find(want["text"].get<std::string>()) != std::string::npos, a.text.c_str());
            QVERIFY(a.raw.empty() && a.body.contains("utcTime"));
            for (auto member = want.begin(); member != want.end(); ++member)
                if (member.key() != "head" && member.key() != "text")
                    QCOMPARE(a.body.at(member.key()), *member);
            return;
        }
        QCOMPARE(a.status, 200);
        QCOMPARE(a.body["timeZoneId"], want.value("timeZoneId", json(zone.toStdString())));
        for (auto member = want.begin(); member != want.end(); ++member) {
            // A member expected as null is one the answer leaves out.
            QVERIFY2(a.body.contains(member.key()) != member->is_null(), member.key().c_str());
            if (member->is_null())
                continue;
            if (member->is_number())
                QCOMPARE(a.body[member.key()].get<double>(), member->get<double>());
            else
                QCOMPARE(a.body[member.key()], *member);
        }
    }

    void geotagCameras()
    {
        // The camera's clock was set anew between two synchronizations: photos
        // take the offset of the nearer side, and say the clock was set.
        Running& s = *m_service;
        const Phone phone = s.registerPhone("Phone");
        s.upload(phone, { fix("2026-07-14T09:00:00Z", 1, 1, 0, 3), fix("2026-07-14T09:05:00Z", 2, 2, 0, 3),
                          fix("2026-07-20T09:00:00Z", 3, 3, 0, 3), fix("2026-07-20T09:05:00Z", 4, 4, 0, 3) });
        s.now = utc("2026-07-14T09:00:00Z");
        QCOMPARE(s.syncNew(phone, 0, cameraAhead).status, 200);
        s.now = utc("2026-07-20T09:00:00Z");
        QCOMPARE(s.syncNew(phone, 0, -7200000).status, 200);
        Answer a = s.geotag(phone.userId, service::formatWallClock(utc("2026-07-14T09:02:30Z") + cameraAhead));
        QCOMPARE(a.body["latitude"].get<double>(), 1.5);
        QCOMPARE(a.body["clock"]["clockChanged"], json(true));
        // The EXIF spelling of the date is read too.
        a = s.geotag(phone.userId, "2026:07:20 07:02:30");
        QCOMPARE(a.body["latitude"].get<double>(), 3.5);
        // A photo whose corrected time no fix can have has no position.
        for (const auto& [taken, told, utcTime] :
             { std::tuple("9999:12:31 23:59:59", "+10000-01-01 01:59:59 UTC, has no position: time more than 10 min "
                                                 "ahead of the service's clock.", "+10000-01-01T01:59:59.000Z"),
               std::tuple("1980-01-06 01:00:00", "1980-01-05 23:56:43 UTC, has no position: time before 1980-01-06 "
                                                 "(the GPS epoch).", "1980-01-05T23:56:43.000Z") }) {
            a = s.geotag(phone.userId, taken);
            QCOMPARE(a.status, 204);
            QCOMPARE(a.text, std::string("The photo's corrected time, ") + told);
            QVERIFY(a.body.contains("utcTime"));
            QCOMPARE(a.body.at("utcTime"), json(utcTime));
        }
        // An unknown camera is named as such even when its time is unreadable.
        QCOMPARE(s.geotag(phone.userId, "not a time", "NIKON D750", "3001234").head,
                 std::string("Camera not synchronized"));

        a = s.geotag(phone.userId, "2026-07-14 12:00:00", "NIKON D750", "3001234");
        QCOMPARE(a.status, 203);
        QCOMPARE(a.head, std::string("Camera not synchronized"));
        QVERIFY2(a.text.find("NIKON D750") != std::string::npos && a.text.find("Synchronize it") != std::string::npos,
                 a.text.c_str());
        // Without a serial number the internal one tells the camera.
        QCOMPARE(s.syncNew(phone, 0, 0, "PENTAX K-1", "", "0099887").status, 200);
        QCOMPARE(s.list(phone).body["cameras"][1]["serial"], json("0099887"));
        QCOMPARE(s.geotag(phone.userId, "2026-07-20 09:02:30", "PENTAX K-1", "", "0099887").status, 200);
        QCOMPARE(s.geotag(phone.userId, "2026-07-20 09:02:30", "PENTAX K-1", "", "1").status, 203);
    }

    void syncListAndRemoval()
    {
        Running& s = *m_service;
        const Phone phone = s.registerPhone("Anaïs' phone");
        s.upload(phone, { fix("2026-07-14T09:59:00Z", 48.1, 11.5, 500, 5) });
        const int64_t created = s.now;
        const std::string code = s.createCode(phone);
        s.now = created + 20000;
        QCOMPARE(s.sync("", code, created, 15000, cameraAhead).status, 200);
        QCOMPARE(s.sync(phone.userId, code, created, 15000, 0, "NIKON D750", "3001234").status, 200);
        // A second synchronization of the same camera with a new code is added.
        s.now = s.now + 3600000;
        QCOMPARE(s.syncNew(phone, 1000, cameraAhead).status, 200);

        // The identifiers are random and distinct; all else is exactly so. The
        // moments of synchronizing, 10:00:15 and 11:00:21 UTC: in Berlin's
        // summer time, and over an hour from the phone's last fix, in UTC.
        json list = s.list(phone).body;
        std::vector<json> ids;
        for (json& camera : list["cameras"])
            for (json& sync : camera["synchronizations"])
                ids.push_back(sync["syncId"]), sync.erase("syncId");
        QCOMPARE(std::set<json>({ ids[0], ids[1], ids[2], json("") }).size(), size_t(4));
        const std::string cest = R"("timeZone":"+02:00","timeZoneName":"Central European Summer Time"})";
        // Text goes out as UTF-8, not escaped.
        QVERIFY(s.list(phone).raw.find("\"phoneName\":\"Anaïs' phone\"") != std::string::npos);
        QCOMPARE(list, json::parse("{\"head\":\"\",\"body\":\"\",\"phoneName\":\"Anaïs' phone\",\"cameras\":["
                                   R"({"cameraName":"Canon EOS 5D","drift":"","driftMsPerWeek":0,"serial":"1234","synchronizations":[)"
                                   R"({"timeZoneTime":"2026-07-14 12:00:15",)" + cest + ","
                                   R"({"timeZoneTime":"2026-07-14 11:00:21","timeZone":"+00:00","timeZoneName":"Coordinated Universal Time"}]},)"
                                   R"({"cameraName":"NIKON D750","drift":"","driftMsPerWeek":0,"serial":"3001234","synchronizations":[)"
                                   R"({"timeZoneTime":"2026-07-14 12:00:15",)" + cest + "]}]}"));

        auto remove = [&](const json& ids, const Phone& by) {
            return s.put("removeCamera", json { { "synchronizations", ids }, { "userID", by.userId } }).status;
        };
        auto cameras = [&] { return s.list(phone).body["cameras"]; };
        // Another user cannot remove them.
        const Phone other = s.registerPhone("Other");
        QCOMPARE(remove(json::array({ ids[0], ids[2] }), other), 204);
        QCOMPARE(cameras()[0]["synchronizations"].size() + cameras()[1]["synchronizations"].size(), size_t(3));
        // One of two synchronizations: the camera stays.
        QCOMPARE(remove(json::array({ ids[0] }), phone), 200);
        QCOMPARE(cameras().size(), size_t(2));
        QCOMPARE(cameras()[0]["synchronizations"].size(), size_t(1));
        QCOMPARE(cameras()[0]["synchronizations"][0]["syncId"], ids[1]);
        // The last one, with an unknown id beside it: the camera goes.
        QCOMPARE(remove(json::array({ "nonsense", ids[1] }), phone), 200);
        QCOMPARE(cameras().size(), size_t(1));
        QCOMPARE(cameras()[0]["cameraName"], json("NIKON D750"));
        QCOMPARE(s.geotag(phone.userId, "2026-07-14 12:01:01").status, 203);
        QCOMPARE(remove(json::array({ ids[1] }), phone), 204);
        QCOMPARE(remove(json::array({ ids[2] }), phone), 200);
        QCOMPARE(cameras().size(), size_t(0));
    }

    // Requests refused for what they hold: the answer, and the service still
    // answering with its data intact.
    void refusals_data()
    {
        QTest::addColumn<QString>("endpoint");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("head");

        const QByteArray deep = QByteArray(100000, '[') + QByteArray(100000, ']');
        for (const char* endpoint : { "syncCamera", "geocodeImage", "getSyncList", "removeCamera" }) {
            const QByteArray name(endpoint);
            QTest::newRow(name + " malformed") << endpoint << QByteArray("{\"userID\":") << 204 << "Bad request";
            QTest::newRow(name + " array") << endpoint << QByteArray("[1,2,3]") << 204 << "Bad request";
            QTest::newRow(name + " deep") << endpoint << deep << 204 << "Bad request";
            QTest::newRow(name + " binary") << endpoint << QByteArray("\xff\xfe\x00\x01", 4) << 204 << "Bad request";
        }
        const auto row = [](const char* name, const char* endpoint, const QByteArray& body, int status, const char* head) {
            QTest::newRow(name) << endpoint << body << status << head;
        };
        row("syncCamera elapsedTime text", "syncCamera", R"({"syncID":"x","elapsedTime":"12","userID":""})", 204, "Bad request");
        row("syncCamera elapsedTime huge", "syncCamera", R"({"syncID":"x","elapsedTime":1e308,"userID":""})", 204, "Bad request");
        row("syncCamera elapsedTime beyond 2^53", "syncCamera", R"({"syncID":"x","elapsedTime":9007199254740993})", 204,
            "Bad request");
        row("syncCamera no elapsedTime", "syncCamera", R"({"syncID":"x"})", 204, "Bad request");
        row("geocodeImage userID number", "geocodeImage", R"({"userID":12})", 204, "Bad request");
        row("geocodeImage model object", "geocodeImage", R"({"userID":"x","model":{}})", 204, "Bad request");
        row("getSyncList userID list", "getSyncList", R"({"userID":["a"]})", 204, "Bad request");
        row("getSyncList long userID", "getSyncList", "{\"userID\":\"" + QByteArray(5000, 'a') + "\"}", 204, "Bad request");
        row("getSyncList empty userID", "getSyncList", R"({"userID":""})", 203, "Unknown user");
        row("getSyncList no userID", "getSyncList", "{}", 203, "Unknown user");
        row("getSyncList null userID", "getSyncList", R"({"userID":null})", 203, "Unknown user");
        const QByteArray huge(int(service::maxRequestBytes), 'a');
        row("over 1 MB", "getSyncList", "{\"userID\":\"" + huge + "\"}", 413, "Request too large");
        row("just under 1 MB", "getSyncList", "{\"userID\":\"" + huge.left(huge.size() - 20) + "\"}", 204, "Bad request");
        row("removeCamera null", "removeCamera", "null", 204, "Nothing to remove");
        row("removeCamera empty body", "removeCamera", "", 204, "Nothing to remove");
        row("removeCamera no member", "removeCamera", "{}", 204, "Nothing to remove");
        row("removeCamera empty list", "removeCamera", R"({"synchronizations":[]})", 203, "Unknown user");
        row("removeCamera no user", "removeCamera", R"({"synchronizations":["abc"]})", 203, "Unknown user");
        row("removeCamera numbers", "removeCamera", R"({"synchronizations":[1,2]})", 204, "Bad request");
        row("removeCamera not a list", "removeCamera", R"({"synchronizations":"abc"})", 204, "Bad request");
        row("serviceStatus unknown userID", "serviceStatus", R"({"userID":"abc"})", 203, "Unknown user");
        row("serviceStatus no userID", "serviceStatus", "{}", 204, "Bad request");
        row("syncCode userID number", "syncCode", R"({"userID":7})", 204, "Bad request");
    }

    // The desktop's status and on-screen code: the user's figures, a code the
    // "/sync" payload knows, and no answer without a user unless the service
    // is loopback-only with a single one.
    void desktopRequests()
    {
        Running& s = *m_service;
        const Phone phone = s.registerPhone("Pixel");
        s.upload(phone, { fix("2026-07-14T08:00:00Z", 46.5, 13.8, 800, 5), fix("2026-07-13T06:30:00Z", 46.4, 13.7, 700, 5) });
        json want = json::parse(R"({"head":"","body":"","phoneName":"Pixel","positions":2,"first":"2026-07-13T06:30:00Z",)"
                                R"("last":"2026-07-14T08:00:00Z","listening":"loopback"})");
        want.update({ { "phonePageUrls", json::array({ "http://127.0.0.1:" + std::to_string(s.server->port()) + "/phone" }) },
                      { "userID", phone.userId } });
        for (const std::string& userId : { phone.userId, std::string() }) {
            const Answer status = s.put("serviceStatus", json { { "userID", userId } });
            QCOMPARE(status.status, 200);
            QCOMPARE(status.body, want);
        }
        const Answer code = s.put("syncCode", json { { "userID", phone.userId } });
        QCOMPARE(code.status, 200);
        QCOMPARE(code.body["validFor"], json(service::syncCodeLifetimeMs));
        s.now += 1500;
        QCOMPARE(json::parse(s.api->syncPayload(code.body.value("syncID", "")).value_or(std::string())),
                 json({ { "elapsedTime", 1500 }, { "syncID", code.body["syncID"] } }));
        s.registerPhone("Second");
        QCOMPARE(s.put("syncCode", json { { "userID", "" } }).status, 203);
        service::DesktopApi open(*s.api, "0.0.0.0", 8470, false);
        QCOMPARE(open.serviceStatus(json { { "userID", phone.userId } }.dump()).json["listening"], json("network"));
        for (const std::string& any : open.phonePageUrls())
            QVERIFY(any.find("0.0.0.0") == std::string::npos && any.size() > 17 && any.substr(any.size() - 11) == ":8470/phone");
    }

    void refusals()
    {
        QFETCH(QString, endpoint);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        Running& s = *m_service;
        const Phone phone = s.registerPhone("Phone");
        const Answer a = s.put(endpoint.toStdString(), body.toStdString());
        QCOMPARE(a.status, status);
        QTEST(QString::fromStdString(a.head), "head");
        QVERIFY(!a.text.empty());
        if (status == 204)
            QVERIFY(a.raw.empty());
        QVERIFY(!a.body.contains("cameras") && !a.body.contains("userID"));
        QCOMPARE(s.list(phone).status, 200);
        if (!s.postgres())
            QCOMPARE(testsupport::sqlValue(s.path(), "PRAGMA integrity_check"), std::string("ok"));
    }

    // Readers and writers at once: geotagging and listing beside a burst of
    // uploads beyond the connections one address may hold at once, whose
    // clients wait their turn with their bodies unread. Nothing fails.
    void concurrentRequests()
    {
        Running& s = *m_service;
        s.now = utc("2026-07-16T00:00:00Z"); // after every fix sent
        const Phone phone = s.registerPhone("Phone");
        std::vector<json> fixes;
        for (int i = 0; i <= 60; ++i)
            fixes.push_back(fix(service::formatIsoTime(utc("2026-07-14T11:00:00Z") + i * 60000), 48 + i * 0.01, 11, 500, 5));
        s.upload(phone, fixes);
        QCOMPARE(s.syncNew(phone, 0, cameraAhead).status, 200);

        std::atomic<int> failures { 0 };
        std::vector<std::thread> threads;
        for (int t = 0; t < 64; ++t) {
            threads.emplace_back([&, t] {
                httplib::Client client("127.0.0.1", s.server->port());
                client.set_read_timeout(300, 0);
                client.set_write_timeout(300, 0);
                if (t >= 8) {
                    json request = phone.key();
                    for (int i = 0; i < 300; ++i)
                        request["fixes"].push_back(fix(service::formatIsoTime(utc("2026-07-01T00:00:00Z") + (t * 300 + i) * 1000LL),
                                                       48, 11, 500, 5));
                    const auto r = client.Post("/phone/fixes", request.dump(), "application/json");
                    failures += !r || r->status != 200;
                    return;
                }
                for (int i = 0; i < 25; ++i) {
                    const int minute = (t * 7 + i) % 60;
                    const std::string taken = service::formatWallClock(utc("2026-07-14T11:00:30Z") + minute * 60000 + cameraAhead);
                    const auto r = client.Put("/geocodeImage", Running::camera(phone.userId, taken, "Canon EOS 5D", "1234", "").dump(),
                                              "application/json");
                    const json answer = r ? json::parse(r->body, nullptr, false) : json();
                    if (!answer.is_object() || r->status != 200
                        || std::fabs(answer.value("latitude", 0.0) - (48.005 + minute * 0.01)) > 1e-9)
                        ++failures;
                    json more = phone.key();
                    more["fixes"] = json::array({ fix(service::formatIsoTime(utc("2026-07-15T00:00:00Z") + (t * 100 + i) * 1000), 1, 1, 1, 1) });
                    const auto w = t % 2 ? client.Post("/phone/fixes", more.dump(), "application/json")
                                         : client.Put("/getSyncList", json { { "userID", phone.userId } }.dump(), "application/json");
                    if (!w || w->status != 200)
                        ++failures;
                }
            });
        }
        for (auto& thread : threads)
            thread.join();
        QCOMPARE(failures.load(), 0);
        QCOMPARE(s.store.fixCount(s.store.userById(phone.userId)->id).value_or(-1), int64_t(61 + 4 * 25 + 56 * 300));
        if (!s.postgres())
            QCOMPARE(testsupport::sqlValue(s.path(), "PRAGMA integrity_check"), std::string("ok"));
    }

    // Checks of the connection layer that hold for every route: each request
    // of a connection answered in order, or the connection refused and closed.
    void connectionLayer_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("statuses"); // of the answers, in order

        const QByteArray get = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        const QByteArray last = "GET / HTTP/1.1\r\nHost: localhost:80\r\nConnection: close\r\n\r\n";
        const QByteArray list = "PUT /getSyncList HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 2\r\n";
        QTest::newRow("pipelined") << get + get + last << QByteArray("200 200 200");
        QTest::newRow("pipelined with a body") << list + "\r\n{}" + last << QByteArray("203 200");
        QTest::newRow("conflicting lengths") << list + "Content-Length: 13\r\n\r\n{}" + get << QByteArray("400");
        QTest::newRow("the same length twice") << list + "Content-Length: 2\r\n\r\n{}" + last << QByteArray("203 200");
        QTest::newRow("length and chunks") << list + "Transfer-Encoding: chunked\r\n\r\n{}" << QByteArray("400");
        QTest::newRow("length not a number") << QByteArray("PUT /getSyncList HTTP/1.1\r\nContent-Length: -2\r\n\r\n{}")
                                             << QByteArray("400");
        QTest::newRow("foreign host") << "GET /sync HTTP/1.1\r\nHost: rebound.example\r\n\r\n" + get << QByteArray("403");
        QTest::newRow("foreign host with a port") << QByteArray("GET / HTTP/1.1\r\nHost: 127.0.0.1.example:80\r\n\r\n")
                                                  << QByteArray("403");
        QTest::newRow("IPv6 loopback host") << QByteArray("GET / HTTP/1.1\r\nHost: [::1]:9\r\nConnection: close\r\n\r\n")
                                            << QByteArray("200");
        QTest::newRow("IPv6 loopback host without a port") << QByteArray("GET / HTTP/1.1\r\nHost: [::1]\r\nConnection: close\r\n\r\n")
                                                           << QByteArray("200");
        QTest::newRow("chunks alone") << QByteArray("PUT /getSyncList HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n"
                                                    "\r\n2\r\n{}\r\n0\r\n\r\n") + last
                                      << QByteArray("203 200");
        QTest::newRow("no host") << QByteArray("GET / HTTP/1.0\r\n\r\n") << QByteArray("200");
        // The Host name as sent, not decoded: an encoded NUL does not end it.
        QTest::newRow("host with an encoded NUL") << "GET / HTTP/1.1\r\nHost: localhost%00.evil.example\r\n\r\n" + get
                                                  << QByteArray("403");
        QTest::newRow("two hosts") << QByteArray("GET / HTTP/1.1\r\nHost: localhost\r\nHost: evil.example\r\n\r\n")
                                   << QByteArray("400");
        QByteArray padded = "GET / HTTP/1.1\r\n";
        for (int i = 0; i < 100; ++i)
            padded += "X-Padding: " + QByteArray(700, 'y') + "\r\n";
        QTest::newRow("head over 64 KB") << padded + "\r\n" << QByteArray("431");
    }

    void connectionLayer()
    {
        QFETCH(QByteArray, request);
        const int socket = rawConnect(m_service->server->port());
        QCOMPARE(::send(socket, request.constData(), size_t(request.size()), MSG_NOSIGNAL), ssize_t(request.size()));
        const std::string answers = readToEnd(socket);
        ::close(socket);
        QStringList found;
        const std::regex statusLine("HTTP/1\\.[01] (\\d{3})");
        for (std::sregex_iterator it(answers.begin(), answers.end(), statusLine), end; it != end; ++it)
            found << QString::fromStdString((*it)[1]);
        QTEST(found.join(' ').toUtf8(), "statuses");
    }

    // Connections that send their request a byte now and then hold workers
    // only for the read limits, and never those of other clients.
    void slowClients()
    {
        service::ServerLimits limits;
        limits.headerMs = 500;
        Running s("127.0.0.1", limits);
        const int port = s.server->port();
        std::vector<int> slow;
        for (int i = 0; i < 80; ++i) {
            slow.push_back(rawConnect(port, "127.0.0.2"));
            ::send(slow.back(), "P", 1, MSG_NOSIGNAL);
        }
        httplib::Client client("127.0.0.1", port);
        client.set_connection_timeout(1, 0);
        client.set_read_timeout(1, 0);
        const auto answer = client.Get("/");
        QCOMPARE(answer ? answer->status : 0, 200);
        // A byte every 100 ms keeps no connection beyond the header limit.
        QElapsedTimer clock;
        clock.start();
        pollfd entry { slow.front(), POLLIN, 0 };
        while (::poll(&entry, 1, 100) == 0 && clock.elapsed() < 5000)
            ::send(slow.front(), "U", 1, MSG_NOSIGNAL);
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(readToEnd(slow.front()).substr(0, 28), std::string("HTTP/1.1 408 Request Timeout"));
        for (const int socket : slow)
            ::close(socket);
    }

    // After the handshake, a request whose TLS record comes a byte at a time
    // holds its worker only for the read limit, as without TLS.
    void slowTlsRequest()
    {
        service::ServerLimits limits;
        limits.headerMs = 500;
        Running s("127.0.0.1", limits, m_tls);
        SSL_CTX* context = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_max_proto_version(context, TLS1_2_VERSION); // nothing comes after its handshake unasked
        SSL* ssl = SSL_new(context);
        const int socket = rawConnect(s.server->port());
        const timeval wait { 10, 0 };
        setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        QVERIFY(SSL_set_fd(ssl, socket) == 1 && SSL_connect(ssl) == 1);
        // The request's record, sent by hand.
        SSL_set0_wbio(ssl, BIO_new(BIO_s_mem()));
        const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Padding: " + std::string(2000, 'x') + "\r\n\r\n";
        QVERIFY(SSL_write(ssl, request.data(), static_cast<int>(request.size())) > 0);
        char* record = nullptr;
        const long length = BIO_get_mem_data(SSL_get_wbio(ssl), &record);
        pollfd entry { socket, POLLIN, 0 };
        for (long i = 0; i < length && ::poll(&entry, 1, 20) == 0; ++i)
            ::send(socket, record + i, 1, MSG_NOSIGNAL);
        char answer[64] = {};
        QVERIFY(SSL_read(ssl, answer, sizeof answer - 1) > 0);
        QCOMPARE(std::string(answer).substr(0, 28), std::string("HTTP/1.1 408 Request Timeout"));
        SSL_free(ssl);
        SSL_CTX_free(context);
        ::close(socket);
    }

    // Handshakes in progress: each until its deadline however long a request
    // may take, and beyond a cap (per address or in all) the oldest makes way.
    // 1: closed, 0: still open. They hold no worker: a client from 127.0.0.9
    // is answered meanwhile.
    void handshakeLimits_data()
    {
        QTest::addColumn<int>("deadline");
        QTest::addColumn<int>("inAll");
        QTest::addColumn<int>("perAddress");
        QTest::addColumn<QStringList>("sources");
        QTest::addColumn<QString>("closed");

        const QStringList three = { "127.0.0.2", "127.0.0.3", "127.0.0.4" };
        QTest::newRow("deadline") << 300 << 512 << 64 << QStringList { "127.0.0.2" } << "1";
        QTest::newRow("per address") << 60000 << 512 << 2 << QStringList { "127.0.0.2", "127.0.0.2", "127.0.0.2" } << "100";
        QTest::newRow("other address") << 60000 << 512 << 2 << QStringList { "127.0.0.2", "127.0.0.2", "127.0.0.3" } << "000";
        QTest::newRow("in all") << 60000 << 2 << 64 << three << "110";
        QStringList many;
        for (int i = 0; i < 100; ++i)
            many << QString("127.0.0.%1").arg(2 + i % 6);
        QTest::newRow("many") << 2000 << 512 << 64 << many << QString(100, '1');
    }

    void handshakeLimits()
    {
        QFETCH(int, deadline);
        QFETCH(int, inAll);
        QFETCH(int, perAddress);
        QFETCH(QStringList, sources);
        QFETCH(QString, closed);
        service::ServerLimits limits;
        limits.headerMs = 60000;
        limits.handshakeMs = deadline;
        limits.handshakes = inAll;
        limits.handshakesPerAddress = perAddress;
        Running s("127.0.0.1", limits, m_tls);
        std::vector<int> sockets;
        for (const QString& source : sources) {
            sockets.push_back(rawConnect(s.server->port(), source.toLatin1().constData()));
            ::send(sockets.back(), helloStart, sizeof helloStart - 1, MSG_NOSIGNAL);
        }
        QCOMPARE(QString::fromStdString(tlsGet(s.server->port(), "127.0.0.9")), QString("TLS_AES_256_GCM_SHA384 HTTP/1.1 200 OK"));
        QString found;
        for (size_t i = 0; i < sockets.size(); ++i) {
            found += closedSilently(sockets[i], closed[int(i)] == '1' ? 10000 : 0) ? '1' : '0';
            ::close(sockets[i]);
        }
        QCOMPARE(found, closed);
    }

    // TLS 1.2 with forward secrecy and authenticated encryption only, in the
    // service's order; TLS 1.3; nothing older.
    void tlsSuites_data()
    {
        QTest::addColumn<int>("version");
        QTest::addColumn<QString>("suites");
        QTest::addColumn<QString>("agreed"); // and the answer's status line

        const QString ok = " HTTP/1.1 200 OK";
        for (const char* weak : { "AES128-GCM-SHA256", "AES256-GCM-SHA384", "AES128-SHA", "ECDHE-RSA-AES128-SHA" })
            QTest::newRow(weak) << TLS1_2_VERSION << weak << "";
        QTest::newRow("ECDHE-RSA-AES128-GCM-SHA256") << TLS1_2_VERSION << "ECDHE-RSA-AES128-GCM-SHA256"
                                                     << "ECDHE-RSA-AES128-GCM-SHA256" + ok;
        QTest::newRow("the service's order") << TLS1_2_VERSION << "ECDHE-RSA-CHACHA20-POLY1305:ECDHE-RSA-AES128-GCM-SHA256"
                                             << "ECDHE-RSA-AES128-GCM-SHA256" + ok;
        QTest::newRow("TLS 1.1") << TLS1_1_VERSION << "" << "";
        QTest::newRow("TLS 1.3") << TLS1_3_VERSION << "" << "TLS_AES_256_GCM_SHA384" + ok;
    }

    void tlsSuites()
    {
        QFETCH(int, version);
        QFETCH(QString, suites);
        Running s("127.0.0.1", {}, m_tls);
        const QByteArray offered = suites.toLatin1();
        QTEST(QString::fromStdString(tlsGet(s.server->port(), "127.0.0.1", version, suites.isEmpty() ? nullptr : offered.constData())),
              "agreed");
    }

    void phoneUploadAllOrNothing()
    {
        Running& s = *m_service;
        s.now = utc("2026-07-14T12:05:00Z");
        const Phone phone = s.registerPhone("Phone");
        auto upload = [&](const std::vector<json>& fixes, const std::string& key) {
            json request = { { "userID", phone.userId }, { "phoneKey", key }, { "fixes", fixes } };
            return s.send("POST", "/phone/fixes", request.dump());
        };
        // The third fix has an unknown zone: nothing of the batch is stored.
        const Answer a = upload({ fix("2026-07-14T12:00:00Z", 48, 11, 0, 5), fix("2026-07-14T12:01:00Z", 48, 11, 0, 5),
                                  fix("2026-07-14T12:02:00Z", 48, 11, 0, 5, "Mars/Olympus") }, phone.phoneKey);
        QCOMPARE(a.status, 400);
        QVERIFY2(a.text.find("Fix 2") != std::string::npos && a.text.find("Mars/Olympus") != std::string::npos, a.text.c_str());
        const auto user = s.store.userById(phone.userId);
        QVERIFY(user);
        QCOMPARE(s.store.fixCount(user->id).value_or(-1), int64_t(0));
        QCOMPARE(upload({}, "nope").status, 403);
        QCOMPARE(upload({ fix("2026-07-14T12:00:00Z", 91, 11, 0, 5) }, phone.phoneKey).status, 400);

        // A fix at the same moment replaces the earlier one.
        s.upload(phone, { fix("2026-07-14T12:00:00Z", 48, 11, 0, 5) });
        s.upload(phone, { fix("2026-07-14T12:00:00Z", 47, 11, 0, 5) });
        QCOMPARE(s.store.fixCount(user->id).value_or(-1), int64_t(1));
        QCOMPARE(s.store.fixAtOrAfter(user->id, 0)->latitude, 47.0);

        // Reads within one read transaction see one state of the database:
        // a fix stored meanwhile shows once the reading has ended.
        {
            const service::Store::Reading reading(s.store);
            QCOMPARE(s.store.fixAtOrAfter(user->id, 0)->latitude, 47.0);
            s.upload(phone, { fix("2026-07-14T12:00:00Z", 46, 11, 0, 5) });
            QCOMPARE(s.store.fixAtOrAfter(user->id, 0)->latitude, 47.0);
        }
        QCOMPARE(s.store.fixAtOrAfter(user->id, 0)->latitude, 46.0);
    }

    void gpxImport()
    {
        Running& s = *m_service;
        const Phone phone = s.registerPhone("Phone");
        auto import = [&](const std::string& file, const std::string& zone = "Europe/Zurich") {
            return s.send("POST", "/phone/gpx?userID=" + phone.userId + "&phoneKey=" + phone.phoneKey + "&timeZoneId=" + zone,
                          file, "application/gpx+xml");
        };
        Answer a = import(gpxTrack);
        QCOMPARE(a.status, 200);
        QCOMPARE(a.body["stored"], json(2));
        QCOMPARE(a.body["skipped"], json(1));
        const auto user = s.store.userById(phone.userId);
        // hdop 3 is taken for 15 m, no hdop for 10 m.
        auto stored = [&](const char* from) { return testsupport::describe(s.store.fixAtOrAfter(user->id, utc(from)).value()); };
        QCOMPARE(stored("2026-07-14T00:00:00Z"), QString("2026-07-14T08:00:00.000Z 46.500000 7.500000 1200.5 15 Europe/Zurich"));
        QCOMPARE(stored("2026-07-14T08:00:01Z"), QString("2026-07-14T08:30:00.000Z 46.600000 7.600000 1300.5 10 Europe/Zurich"));

        // Broken files and unknown zones store nothing.
        a = import("<gpx><trk><trkseg><trkpt lat=\"1\" lon=\"2\"><time>2026-07-15T08:00:00Z</time></trkpt><trkpt");
        QCOMPARE(a.status, 400);
        QVERIFY(a.text.find("Line") == 0);
        const std::string unknown = "Atlantis/" + std::string(100, 'x');
        a = import(gpxTrack, unknown);
        QCOMPARE(a.status, 400);
        QCOMPARE(a.text, "Unknown time zone \"" + unknown.substr(0, 64) + "\"; give an IANA id such as Europe/Berlin.");
        QCOMPARE(s.store.fixCount(user->id).value_or(-1), int64_t(2));
    }

    void syncPageShowsLiveCode()
    {
        Running& s = *m_service;
        QCOMPARE(s.send("GET", "/sync", "").status, 404); // no phone yet
        const Phone phone = s.registerPhone("Ana's phone");
        const Answer page = s.send("GET", "/sync", "");
        QCOMPARE(page.status, 200);
        const std::string marker = "data-code=\"";
        const size_t at = page.raw.find(marker);
        QVERIFY(at != std::string::npos);
        const std::string code = page.raw.substr(at + marker.size(), 16);
        QVERIFY(page.raw.find("Ana&#39;s phone") != std::string::npos);

        s.now = s.now + 2500;
        Answer payload = s.send("GET", "/sync/payload?code=" + code, "");
        QCOMPARE(payload.status, 200);
        QCOMPARE(payload.raw, "{\"elapsedTime\":2500,\"syncID\":\"" + code + "\"}");
        s.now = s.now + 250;
        QCOMPARE(s.send("GET", "/sync/payload?code=" + code, "").body["elapsedTime"], json(2750));
        const Answer svg = s.send("GET", "/sync/qr.svg?code=" + code, "");
        QCOMPARE(svg.status, 200);
        QVERIFY(svg.raw.rfind("<svg", 0) == 0);

        // The code of the page synchronizes a camera of that phone's user.
        const Answer synced = s.sync("", code, s.now - 2750, 2750, 0);
        QCOMPARE(synced.status, 200);
        QCOMPARE(synced.body["userID"], json(phone.userId));
        s.now = s.now + service::syncCodeLifetimeMs;
        QCOMPARE(s.send("GET", "/sync/qr.svg?code=" + code, "").status, 404);

        // With several phones the page must be told which one.
        const Phone other = s.registerPhone("Other");
        QCOMPARE(s.send("GET", "/sync", "").status, 400);
        QCOMPARE(s.send("GET", "/sync?userID=" + other.userId + "&phoneKey=wrong", "").status, 403);
        QCOMPARE(s.send("GET", "/sync?userID=" + other.userId + "&phoneKey=" + other.phoneKey, "").status, 200);

        // A service that others can reach hands out a code, the way to a
        // user's positions, only with the phone's key.
        Running open("0.0.0.0");
        const Phone only = open.registerPhone("Phone");
        QCOMPARE(only.userId.size(), size_t(32));
        QCOMPARE(only.phoneKey.size(), size_t(32));
        QVERIFY(open.send("GET", "/sync", "").raw.find("data-code=\"\"") != std::string::npos);
        QCOMPARE(open.api->createPageCode("", "", false).status, 403);
        const Answer keyed = open.send("GET", "/sync?userID=" + only.userId + "&phoneKey=" + only.phoneKey, "");
        QCOMPARE(keyed.status, 200);
        QVERIFY(keyed.raw.find(marker) != std::string::npos && keyed.raw.find("data-code=\"\"") == std::string::npos);
    }

    void databaseFile()
    {
        if (testsupport::onPostgres())
            QSKIP("SQLite's own: its schema version, its journal, a file that is not a database");
        QTemporaryDir dir;
        const QString path = dir.filePath("reopen.db");
        std::string userId, demoId, error;
        for (int round = 0; round < 2; ++round) {
            service::Store store;
            QVERIFY(store.open(path.toStdString(), nullptr));
            if (round == 0)
                userId = store.createUser("Phone")->userId, demoId = store.createUser("Demo phone")->userId;
            QCOMPARE(store.userById(userId)->phoneName, std::string("Phone"));
            // Version 4 knew no demo users: the demo command's phone is marked as one.
            QCOMPARE(store.userById(demoId)->demo, round == 1);
            sqlite3* db = nullptr;
            sqlite3_open(path.toUtf8().constData(), &db);
            sqlite3_exec(db, round ? "" : "ALTER TABLE users DROP COLUMN demo; DROP TABLE fix_refusals; PRAGMA user_version = 4", nullptr, nullptr, nullptr);
            sqlite3_close(db);
        }
        QCOMPARE(testsupport::sqlValue(path, "PRAGMA user_version"), std::to_string(service::Store::schemaVersion()));
        QCOMPARE(testsupport::sqlValue(path, "PRAGMA journal_mode"), std::string("wal"));
        // A database of a newer program, and one whose first or last step of
        // migration fails, are left as they are: one transaction migrates.
        QVERIFY(QFile::copy(path, dir.filePath("later.db")));
        for (const auto& [file, sql, told, version] :
             { std::make_tuple(path, "PRAGMA user_version = 99", "schema version 99, newer", "99"),
               std::make_tuple(dir.filePath("later.db"), "ALTER TABLE users DROP COLUMN demo; DROP TABLE fix_refusals; "
                               "CREATE TABLE new_users_numbered (x); PRAGMA user_version = 4",
                               "to schema version 7: table new_users_numbered already exists", "4"),
               std::make_tuple(dir.filePath("clash.db"), "CREATE TABLE users (x)", "to schema version 1: table users already exists", "0") }) {
            sqlite3* db = nullptr;
            QCOMPARE(sqlite3_open(file.toUtf8().constData(), &db), SQLITE_OK);
            QCOMPARE(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
            sqlite3_close(db);
            service::Store store;
            QVERIFY(!store.open(file.toStdString(), &error));
            QVERIFY2(error.find(told) != std::string::npos, error.c_str());
            QCOMPARE(testsupport::sqlValue(file, "PRAGMA user_version"), std::string(version));
        }

        // Nor is a file that is no database touched.
        const QByteArray text = QByteArray("These are my notes, not a database. ").repeated(200);
        const QString notes = dir.filePath("notes.txt");
        QVERIFY(testsupport::writeFile(notes, text));
        error.clear();
        QVERIFY(!service::Store().open(notes.toStdString(), &error));
        QVERIFY(!error.empty());
        QCOMPARE(testsupport::readFile(notes), text);
    }

    void demoTrack()
    {
        Running& s = *m_service;
        const int64_t now = utc("2026-07-14T12:34:56Z");
        const auto demo = service::createDemo(s.store, now, nullptr);
        QVERIFY(demo);
        QVERIFY(demo->from <= now - 7 * 24 * 3600000LL + 30000 && demo->to >= now + 24 * 3600000LL - 30000);
        // The track moves by day and stays put at night, in Munich.
        const service::Fix noon = service::demoPosition(utc("2026-07-14T12:00:00Z"));
        const service::Fix later = service::demoPosition(utc("2026-07-14T12:10:00Z"));
        QVERIFY(noon.latitude != later.latitude || noon.longitude != later.longitude);
        QCOMPARE(service::demoPosition(utc("2026-07-14T23:00:00Z")).latitude,
                 service::demoPosition(utc("2026-07-15T02:00:00Z")).latitude);
        QVERIFY(std::fabs(noon.latitude - 48.14) < 0.05 && std::fabs(noon.longitude - 11.58) < 0.05);

        // A photo taken now with a camera synchronized to the demo phone finds a position.
        s.now = now;
        QCOMPARE(s.sync("", s.api->createPageCode("", "", true).json["syncID"].get<std::string>(), now, 0, 0).status, 200);
        const Answer a = s.geotag(demo->user.userId, service::formatWallClock(now));
        QCOMPARE(a.status, 200);
        QCOMPARE(a.body["timeZoneId"], json("Europe/Berlin"));
        QCOMPARE(a.body["demo"], json(true));
        // A track is not mixed with demo positions, which stay behind on linking.
        QTemporaryDir dir;
        QVERIFY(testsupport::writeFile(dir.filePath("t.csv"), "time,lat,lon\n2026-07-14T09:00:00Z,1,2\n"));
        const service::Reply mixed = s.api->importTrack(demo->user.userId, "t.csv", dir.filePath("t.csv").toStdString());
        QCOMPARE(mixed.json["head"], json("Demo positions"));
        QCOMPARE(s.store.fixCount(demo->user.id), std::optional<int64_t>(demo->fixes));
        // The demo is the single account only while no other exists.
        const auto single = [&] { return s.put("serviceStatus", json { { "userID", "" } }).body; };
        QCOMPARE(single()["demo"], json(true));
        const Phone phone = s.registerPhone("Pixel 8");
        QCOMPARE(single()["userID"], json(phone.userId));
        QVERIFY(!single().contains("demo"));
        QCOMPARE(s.api->createPageCode("", "", true).json["phoneName"], json("Pixel 8"));
    }

    void commandLine()
    {
        const QString program = QStringLiteral(KESTREL_SERVICE_BINARY);
        QTemporaryDir dir;
        const testsupport::TestDatabase database(dir.filePath("cli.db"));
        const QString db = database.path(), gpx = dir.filePath("walk.gpx");
        QVERIFY(testsupport::writeFile(gpx, "<gpx><trk><trkseg><trkpt lat=\"1\" lon=\"2\"><time>2020-01-01T00:00:00Z</time></trkpt>"
                                            "<trkpt lat=\"1.1\" lon=\"2\"><time>2020-01-01T00:01:00Z</time></trkpt></trkseg></trk></gpx>"));
        QByteArray out, err;
        auto run = [&](const QStringList& arguments) {
            QProcess process;
            process.start(program, arguments);
            if (!process.waitForFinished(30000))
                return -1;
            out = process.readAllStandardOutput();
            err = process.readAllStandardError();
            return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        };
        // Each command line in turn, with its exit code and a part of what it says.
        const struct {
            QStringList arguments;
            int code;
            const char* said;
        } runs[] = {
            { { "--help" }, 0, "import-gpx" },
            { { "--version" }, 0, "kestrel-service " KESTREL_VERSION "\n" },
            { { "serve", "--help" }, 0, "Usage: kestrel-service serve" },
            { { "import-track", "--help" }, 0, "Usage: kestrel-service import-track" },
            { { "demo", "--help" }, 0, "Usage: kestrel-service demo" },
            { { "fly" }, 2, "unknown command \"fly\"" },
            { { "serve", "--port", "99999" }, 2, "is not a number from 0 to 65535" },
            { { "serve", "--colour" }, 2, "unknown option --colour" },
            { { "serve", "--proxy", "::1", "--proxy", "nginx" }, 2, "the proxy address \"nginx\" is not an IPv4 or IPv6 address" },
            { { "serve", "--demo-if-empty" }, 2, "unknown option --demo-if-empty" },
            { { "import-gpx", "--db", db, "--zone", "Europe/Berlin" }, 2, "no track file given" },
            { { "demo", "--db", db }, 0, "Demo phone created: 23041 positions" },
            { { "import-gpx", "--db", db, "--zone", "Africa/Lagos", gpx }, 0,
              "(GPX): Imported 2 positions from 1 Jan 01:00 to 1 Jan 01:01 (Africa/Lagos)." },
            { { "import-track", "--db", db, gpx }, 0, "No new positions: all 2 positions from 1 Jan 00:00 to 1 Jan 00:01 (Etc/GMT)" },
            { { "import-gpx", "--db", db, "--zone", "Africa/Lagos", dir.filePath("missing.gpx") }, 1, "The file cannot be read." },
            { { "import-gpx", "--db", db, "--zone", "Atlantis/Capital", gpx }, 2, "" },
        };
        for (const auto& r : runs) {
            QCOMPARE(run(r.arguments), r.code);
            QVERIFY2((r.code == 0 ? out : err).contains(r.said), qPrintable(r.arguments.join(' ') + ": " + out + err));
        }

        // serve on a free port answers until it is told to stop.
        QProcess server;
        server.start(program, { "serve", "--db", db, "--port", "0" });
        QVERIFY(server.waitForReadyRead(30000));
        const QByteArray line = server.readLine().trimmed();
        QVERIFY2(line.startsWith("listening on http://127.0.0.1:"), line.constData());
        httplib::Client client("127.0.0.1", line.mid(line.lastIndexOf(':') + 1).chopped(1).toInt());
        auto answer = client.Put("/getSyncList", "{\"userID\":\"\"}", "application/json");
        QCOMPARE(answer ? answer->status : 0, 203);
        server.terminate();
        QVERIFY(server.waitForFinished(30000));
        QCOMPARE(server.exitStatus(), QProcess::NormalExit);
        QCOMPARE(server.exitCode(), 0);

        // A second service on a port in use (the test's own) fails clearly.
        QCOMPARE(run({ "serve", "--db", db, "--port", QString::number(m_service->server->port()) }), 1);
        QVERIFY2(err.contains("cannot listen on 127.0.0.1 port"), err.constData());
    }

    // Without --db the database is kestrel-service.db in the kestrel folder of
    // the user's data folder. One that an earlier version left in the KESTREL
    // folder stays in use while there is no new one.
    void defaultDatabase_data()
    {
        QTest::addColumn<bool>("earlier"); // KESTREL/kestrel-service.db exists
        QTest::addColumn<bool>("current"); // kestrel/kestrel-service.db exists
        QTest::addColumn<QString>("used");
        QTest::newRow("none yet") << false << false << "kestrel";
        QTest::newRow("an earlier one") << true << false << "KESTREL";
        QTest::newRow("both") << true << true << "kestrel";
    }

    void defaultDatabase()
    {
        if (testsupport::onPostgres())
            QSKIP("the default database is a SQLite file");
        QFETCH(bool, earlier);
        QFETCH(bool, current);
        QFETCH(QString, used);
        QTemporaryDir data;
        const auto file = [&](const QString& folder) { return data.filePath(folder + "/kestrel-service.db"); };
        for (const auto& [folder, exists] : { std::pair(QString("KESTREL"), earlier), std::pair(QString("kestrel"), current) }) {
            QVERIFY(!exists || (QDir(data.path()).mkpath(folder) && service::Store().open(file(folder).toStdString(), nullptr)));
        }
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_DATA_HOME", data.path());
        process.setProcessEnvironment(environment);
        process.start(KESTREL_SERVICE_BINARY, { "demo" });
        QVERIFY(process.waitForFinished(30000));
        QVERIFY2(process.exitCode() == 0, process.readAllStandardError().constData());
        for (const QString folder : { "KESTREL", "kestrel" }) {
            const bool made = folder == "KESTREL" ? earlier : current || folder == used;
            QCOMPARE(QFileInfo::exists(file(folder)), made);
            if (made)
                QCOMPARE(testsupport::sqlValue(file(folder), "SELECT count(*) FROM users"), folder == used ? "1" : "0");
        }
    }

private:
    std::unique_ptr<Running> m_service;
    QTemporaryDir m_certificates;
    service::TlsFiles m_tls;
};

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
