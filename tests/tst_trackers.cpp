// The tracker apps' protocols and the phone page, asked over loopback HTTP as
// the apps and the page ask them.

#include "service/trackers.h"
#include "support/realservice.h"

using nlohmann::json;

namespace {

const int64_t now = *service::parseIsoTime("2026-07-14T10:00:00Z");

struct Phone {
    json credentials; // userID and phoneKey
    std::string deviceKey;
};

class Running : public testsupport::RealService {
public:
    explicit Running(const service::TlsFiles& tls = {}) : RealService("127.0.0.1", {}, tls) { }
    Phone registerPhone()
    {
        const json answer = json::parse(api->registerPhone(R"({"phoneName":"Pixel"})").text());
        return { { { "userID", answer["userID"] }, { "phoneKey", answer["phoneKey"] } },
                 answer.value("deviceKey", "") };
    }
    json status(const Phone& phone)
    {
        json request = phone.credentials;
        request["since"] = now - 3600 * 1000;
        const auto result = client->Post("/phone/status", request.dump(), "application/json");
        return result ? json::parse(result->body, nullptr, false) : json();
    }
};

std::string withKey(QString text, const std::string& key)
{
    return text.replace("KEY", QString::fromStdString(key)).toStdString();
}

} // namespace

class TestTrackers : public QObject {
    Q_OBJECT
private slots:
    // Requests as each app sends them; a stored fix is the one the row names
    // (time, latitude, longitude, altitude, accuracy), in the zone of its place.
    void adapters_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("authorization");
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("fix");

        const QString osmand = "/track/osmand?id=KEY&lat=48.137154&lon=11.576124&timestamp=";
        const QString stored = "2026-07-14T09:59:00.000Z 48.137154 11.576124 520 6 Europe/Berlin";
        const QString form = "application/x-www-form-urlencoded";
        QTest::newRow("OsmAnd, Unix ms, accuracy as hdop")
            << "GET " + osmand + "1784023140000&hdop=6&altitude=520&speed=1.2&bearing={6}" << "" << "" << ""
            << 200 << "" << stored;
        QTest::newRow("Traccar Client classic: POST, query, Unix s")
            << "POST " + osmand + "1784023140&speed=0&bearing=0&altitude=520&accuracy=6&batt=87.0" << "" << form
            << "" << 200 << "" << stored;
        QTest::newRow("form body, ISO 8601") << "POST /track/osmand" << "" << form
            << "id=KEY&lat=48.137154&lon=11.576124&timestamp=2026-07-14T11%3A59%3A00%2B02%3A00&altitude=520"
               "&accuracy=6" << 200 << "" << stored;
        QTest::newRow("Traccar Client 9: JSON with a form type") << "POST /track/osmand" << "" << form
            << R"({"location":{"timestamp":"2026-07-14T09:59:00.000Z","coords":{"latitude":48.137154,)"
               R"("longitude":11.576124,"accuracy":6,"speed":0,"heading":0,"altitude":520},"is_moving":false,)"
               R"("odometer":0,"event":"motionchange","battery":{"level":0.8,"is_charging":false},)"
               R"("activity":{"type":"still"},"extras":{}},"device_id":"KEY"})" << 200 << "" << stored;
        QTest::newRow("Traccar JSON, the key in the query") << "POST /track/osmand?id=KEY" << "" << "application/json"
            << R"({"location":{"timestamp":"2026-07-14T09:59:00Z","coords":{"latitude":48.137154,"longitude":11.576124,)"
               R"("accuracy":6,"altitude":520}}})" << 200 << "" << stored;
        QTest::newRow("OwnTracks, basic auth") << "POST /track/owntracks" << "basic" << "application/json"
            << R"({"_type":"location","lat":48.137154,"lon":11.576124,"tst":1784023140,"acc":6,"alt":520,)"
               R"("batt":80,"conn":"w","tid":"KE","vac":3})" << 200 << "[]" << stored;
        QTest::newRow("OwnTracks, token, other type") << "POST /track/owntracks?token=KEY" << "" << "application/json"
            << R"({"_type":"transition","event":"enter","tst":1784023140,"lat":48.1,"lon":11.5})" << 200 << "[]" << "";
        QTest::newRow("OwnTracks, encrypted") << "POST /track/owntracks?token=KEY" << "" << "application/json"
                                              << R"({"_type":"encrypted","data":"c2VjcmV0"})" << 200 << "[]" << "";
        QTest::newRow("Overland, bearer") << "POST /track/overland" << "Bearer KEY" << "application/json"
            << R"({"locations":[{"type":"Feature","geometry":{"type":"Point","coordinates":[11.576124,48.137154]},)"
               R"("properties":{"timestamp":"2026-07-14T11:59:00+0200","altitude":520,"speed":0,)"
               R"("horizontal_accuracy":6,"vertical_accuracy":4,"motion":["stationary"],"battery_level":0.8}}]})"
            << 200 << R"({"result":"ok"})" << stored;
        // The key is compared as sent: whatever follows it spoils it.
        for (const char* after : { "%00junk", " junk", "%20" })
            QTest::newRow(qPrintable(QString("Overland, bearer with \"%1\" after the key").arg(after)))
                << "POST /track/overland" << QString("Bearer KEY") + after << "application/json"
                << R"({"locations":[{"type":"Feature","geometry":{"type":"Point","coordinates":[11.5,48.1]},)"
                   R"("properties":{"timestamp":"2026-07-14T09:59:00Z"}}]})"
                << 401 << R"({"error":"The request carries no device key."})" << "";
        QTest::newRow("no key") << "GET /track/osmand?lat=48.1&lon=11.5&timestamp=1784023140" << "" << "" << ""
                                << 401 << R"({"error":"The request carries no device key."})" << "";
        QTest::newRow("unknown key") << "POST /track/overland?token=0123" << "" << "application/json"
                                     << R"({"locations":[]})" << 403 << R"({"error":"Unknown device key."})" << "";
        QTest::newRow("OwnTracks, wrong password")
            << "POST /track/owntracks" << "Basic a2VzdHJlbDp4" << "application/json" << R"({"_type":"location"})"
            << 403 << R"({"error":"Unknown device key."})" << "";
        // A fix lacking its latitude, longitude or time is refused, in every protocol.
        const auto error = [](const char* text) { return QString::fromStdString(json { { "error", text } }.dump()); };
        const QString overlandRefusal = error("Every location must be a GeoJSON Point with \"properties.timestamp\".");
        QTest::newRow("no position") << "GET /track/osmand?id=KEY&lat=48.1&timestamp=1784023140" << "" << "" << "" << 400
                                     << error("The request needs \"lat\", \"lon\" and \"timestamp\" (Unix seconds, Unix milliseconds or ISO 8601).") << "";
        QTest::newRow("Traccar JSON, no longitude") << "POST /track/osmand" << "" << form
            << R"({"location":{"timestamp":"2026-07-14T09:59:00Z","coords":{"latitude":48.1}},"device_id":"KEY"})" << 400
            << error("The location needs \"timestamp\" and \"coords\" with \"latitude\" and \"longitude\".") << "";
        const std::pair<const char*, const char*> ownTracksRefused[] = { { "no latitude", R"("lon":11.5,"tst":1784023140)" },
            { "no longitude", R"("lat":48.1,"tst":1784023140)" }, { "no time", R"("lat":48.1,"lon":11.5)" },
            { "time before 1970", R"("lat":48.1,"lon":11.5,"tst":-1)" },
            { "time in ms", R"("lat":48.1,"lon":11.5,"tst":1784023140000)" } };
        for (const auto& [name, members] : ownTracksRefused)
            QTest::newRow(qPrintable(QString("OwnTracks, ") + name)) << "POST /track/owntracks?token=KEY" << ""
                << "application/json" << QString(R"({"_type":"location",%1})").arg(members) << 400
                << error("The location needs \"lat\", \"lon\" and \"tst\".") << "";
        QTest::newRow("Overland, latitude text") << "POST /track/overland" << "Bearer KEY" << "application/json"
            << R"({"locations":[{"type":"Feature","geometry":{"type":"Point","coordinates":[11.5,"48.1",520]},)"
               R"("properties":{"timestamp":"2026-07-14T09:59:00Z"}}]})" << 400 << overlandRefusal << "";
        QTest::newRow("Overland, no time") << "POST /track/overland" << "Bearer KEY" << "application/json"
            << R"({"locations":[{"type":"Feature","geometry":{"type":"Point","coordinates":[11.5,48.1]},"properties":{}}]})"
            << 400 << overlandRefusal << "";
    }
    void adapters()
    {
        QFETCH(QString, target);
        QFETCH(QString, authorization);
        QFETCH(QString, type);
        QFETCH(QString, body);
        QFETCH(QString, fix);
        Running service;
        const Phone phone = service.registerPhone();
        httplib::Headers headers;
        if (authorization == "basic")
            headers.emplace("Authorization",
                            "Basic " + QByteArray::fromStdString("kestrel:" + phone.deviceKey).toBase64().toStdString());
        else if (!authorization.isEmpty())
            headers.emplace("Authorization", withKey(authorization, phone.deviceKey));
        const std::string path = withKey(target.section(' ', 1), phone.deviceKey);
        const auto result = target.startsWith("GET")
            ? service.client->Get(path.c_str(), headers)
            : service.client->Post(path.c_str(), headers, withKey(body, phone.deviceKey), type.toStdString().c_str());
        QVERIFY(result);
        QTEST(result->status, "status");
        QTEST(QString::fromStdString(result->body), "answer");

        const auto user = service.store.userByDeviceKey(phone.deviceKey);
        QVERIFY(user);
        QCOMPARE(service.store.fixCount(user->id).value_or(-1), fix.isEmpty() ? 0 : 1);
        const auto stored = service.store.fixAtOrBefore(user->id, now);
        QCOMPARE(stored ? testsupport::describe(*stored) : QString(), fix);
    }

    // Refusals are counted in the database, a minute at a time: every
    // instance and every restart tells the same figures, and two days of
    // them are kept.
    void refusalsKept()
    {
        QTemporaryDir folder;
        const testsupport::TestDatabase database(folder.filePath("kestrel.db"));
        const std::string path = database.path().toStdString();
        const int64_t t = *service::parseIsoTime("2026-07-14T09:58:10Z");
        int64_t user = 0;
        {
            service::Store first, second;
            QVERIFY(first.open(path) && second.open(path));
            user = first.createUser("Pixel")->id;
            QVERIFY(first.addRefusals(user, t, 2, "Fix refused: impossible coordinates."));
            QVERIFY(second.addRefusals(user, t + 40000, 3, "Fix refused: an accuracy worse than 1 km (1500 m)."));
            QVERIFY(first.addRefusals(user, t + 300000, 1, "Fix refused: time before 1980-01-06 (the GPS epoch)."));
        }
        service::Store reopened;
        QVERIFY(reopened.open(path));
        const auto all = reopened.refusalsSince(user, t);
        QCOMPARE(all->count, int64_t(6));
        QCOMPARE(all->last, *service::parseIsoTime("2026-07-14T10:03:00Z"));
        QCOMPARE(all->reason, std::string("Fix refused: time before 1980-01-06 (the GPS epoch)."));
        // From the next minute on, and none after the last.
        QCOMPARE(reopened.refusalsSince(user, t + 60000)->count, int64_t(1));
        QCOMPARE(reopened.refusalsSince(user, t + 400000)->count, int64_t(0));
        QCOMPARE(reopened.refusalsSince(user, t + 400000)->reason, std::string());
        // Two days later the old minutes are gone.
        QVERIFY(reopened.addRefusals(user, t + service::refusalsKeptMs + 120000, 4, "Fix refused: impossible coordinates."));
        QCOMPARE(reopened.refusalsSince(user, 0)->count, int64_t(5));
    }

    // A tracker's time: Unix seconds or milliseconds (told apart by size),
    // or ISO 8601, also with Overland's "+0200"; -1 for none.
    void trackerTimes_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("ms");
        QTest::newRow("Unix seconds") << "1784023140" << 1784023140000LL;
        QTest::newRow("Unix seconds with a fraction") << "1784023140.25" << 1784023140250LL;
        QTest::newRow("Unix milliseconds") << "1784023140000" << 1784023140000LL;
        QTest::newRow("the largest number") << "1000000000000000" << 1000000000000000LL;
        QTest::newRow("a larger number") << "1000000000000001" << -1LL;
        QTest::newRow("Overland's offset") << "2026-07-14T11:59:00+0200" << 1784023140000LL;
        QTest::newRow("ISO 8601") << "2026-07-14T09:59:00Z" << 1784023140000LL;
        QTest::newRow("empty") << "" << -1LL;
        QTest::newRow("over 64 characters") << QString(65, '1') << -1LL;
    }
    void trackerTimes()
    {
        QFETCH(QString, text);
        QTEST(qint64(service::parseTrackerTime(text.toStdString()).value_or(-1)), "ms");
    }

    // OwnTracks set to encrypt sends nothing Kestrel can read: the phone page
    // says so, and only then.
    void ownTracksEncrypted()
    {
        Running service;
        const Phone phone = service.registerPhone();
        const auto post = [&](const char* body) {
            const auto result = service.client->Post(("/track/owntracks?token=" + phone.deviceKey).c_str(), body,
                                                     "application/json");
            return result ? result->status : 0;
        };
        QCOMPARE(post(R"({"_type":"location","lat":48.1,"lon":11.5,"tst":1784023140})"), 200);
        QCOMPARE(json({ service.status(phone)["refusedToday"], service.status(phone)["lastRefusal"] }), json({ 0, "" }));
        QCOMPARE(post(R"({"_type":"encrypted","data":"c2VjcmV0"})"), 200);
        QCOMPARE(json({ service.status(phone)["refusedToday"], service.status(phone)["lastRefusal"] }),
                 json({ 1, "OwnTracks sends its positions encrypted; turn the encryption off." }));
    }

    // Duplicates are stored once; implausible fixes are refused, counted and
    // reported on the phone page's status, and never stored.
    void duplicatesAndRefusals()
    {
        Running service;
        const Phone phone = service.registerPhone();
        const Phone other = service.registerPhone();
        QCOMPARE(phone.deviceKey.size(), size_t(32));
        QVERIFY(phone.deviceKey != other.deviceKey);
        QVERIFY(phone.deviceKey != phone.credentials["phoneKey"]);

        const auto point = [](const char* time, double latitude, double longitude, int accuracy) {
            return json { { "type", "Feature" },
                          { "geometry", { { "type", "Point" }, { "coordinates", { longitude, latitude } } } },
                          { "properties", { { "timestamp", time }, { "horizontal_accuracy", accuracy } } } };
        };
        const json batch { { "locations",
                             { point("2026-07-14T09:58:00Z", 48.1, 11.5, 5), point("2026-07-14T09:58:00Z", 48.1, 11.5, 5),
                               point("2026-07-14T09:59:00Z", 48.2, 11.6, 8), point("2026-07-14T09:59:30Z", 48.2, 11.6, 1500),
                               point("2026-07-14T11:00:00Z", 48.2, 11.6, 5), point("2026-07-14T09:59:40Z", 91, 11.6, 5),
                               point("2026-07-14T09:59:50Z", 0, 0, 5), point("2026-07-14T09:57:00Z", -90, 11.6, 5) } } };
        for (int round = 0; round < 2; ++round) {
            const auto result = service.client->Post(("/track/overland?token=" + phone.deviceKey).c_str(),
                                                     batch.dump(), "application/json");
            QCOMPARE(result ? result->status : 0, 200);
            QCOMPARE(result->get_header_value("Kestrel-Refused"),
                     std::string("4 Fix refused: an accuracy worse than 1 km (1500 m)."));
        }
        QCOMPARE(service.status(phone),
                 json::parse(R"({"deviceKey":")" + phone.deviceKey
                             + R"(","fixesToday":3,"lastFix":1784023140000,"lastRefusal":"Fix refused: an accuracy )"
                               R"(worse than 1 km (1500 m).","phoneName":"Pixel","refusedToday":8})"));
        const json none = service.status(other);
        QCOMPARE(json({ none["fixesToday"], none["lastFix"] }), json({ 0, nullptr }));
        json wrong = phone.credentials;
        wrong["phoneKey"] = phone.deviceKey;
        QCOMPARE(service.client->Post("/phone/status", wrong.dump(), "application/json")->status, 403);

        // The page needs nothing from elsewhere.
        const auto page = service.client->Get("/phone");
        QCOMPARE(page->status, 200);
        QVERIFY(page->body.find("Register this phone") != std::string::npos);
        QVERIFY(!QString::fromStdString(page->body).contains(QRegularExpression("(src|href)=\"(https?:)?//")));
    }

    // One window for a fix's time on every route, refused with one reason.
    void timeWindow_data()
    {
        QTest::addColumn<QString>("route");
        QTest::addColumn<QString>("time");
        QTest::addColumn<QString>("reason"); // empty: stored
        const QString before = "time before 1980-01-06 (the GPS epoch)";
        const QString ahead = "time more than 10 min ahead of the service's clock";
        for (const char* route : { "phone", "tracker", "GPX", "CSV" }) {
            const auto row = [route](const char* name, const std::string& time, const QString& reason) {
                QTest::addRow("%s, %s", route, name) << route << QString::fromStdString(time) << reason;
            };
            row("1979", "1979-12-31T23:59:59Z", before);
            row("11 min ahead", service::formatIsoTime(now + 11 * 60000), ahead);
            row("9 min ahead", service::formatIsoTime(now + 9 * 60000), "");
            row("year 9999", "9999-12-31T23:30:00Z", ahead); // the year 10000 in Munich
        }
    }
    void timeWindow()
    {
        QFETCH(QString, route);
        QFETCH(QString, time);
        QFETCH(QString, reason);
        Running service;
        const Phone phone = service.registerPhone();
        const std::string at = time.toStdString();
        QString refusal = "No position could be imported; 1 point skipped: %1 (first at line 2).";
        const auto send = [&]() -> httplib::Result {
            if (route == "phone") {
                json request = phone.credentials;
                request["fixes"] = { { { "time", at }, { "latitude", 48.1 }, { "longitude", 11.5 } } };
                refusal = "Fix 0 has %1. Nothing was stored.";
                return service.client->Post("/phone/fixes", request.dump(), "application/json");
            }
            if (route == "tracker") {
                refusal = "1 Fix refused: %1.";
                return service.client->Get(("/track/osmand?id=" + phone.deviceKey + "&lat=48.1&lon=11.5&timestamp=" + at).c_str());
            }
            if (route == "GPX")
                refusal.replace("line 2", "line 2 (trkpt)");
            const std::string track = route == "GPX"
                ? "<gpx><trk><trkseg>\n<trkpt lat=\"48.1\" lon=\"11.5\"><time>" + at + "</time></trkpt></trkseg></trk></gpx>"
                : "time,lat,lon\n" + at + ",48.1,11.5\n";
            return service.client->Put("/importTrack", track, "application/octet-stream");
        };
        const httplib::Result result = send();
        QVERIFY(result);
        const json answer = json::parse(result->body, nullptr, false);
        const bool imported = route == "GPX" || route == "CSV";
        const std::string told = route == "tracker" ? result->get_header_value("Kestrel-Refused") : answer.value("body", "");
        if (!reason.isEmpty()) {
            QCOMPARE(QString::fromStdString(told), refusal.arg(reason));
            QCOMPARE(result->status, route == "phone" ? 400 : imported ? 202 : 200);
        }
        const auto user = service.store.userById(imported ? answer.value("userID", "") : phone.credentials["userID"].get<std::string>());
        QCOMPARE(user ? service.store.fixCount(user->id).value_or(-1) : 0, reason.isEmpty() ? 1 : 0);
    }

    // HTTPS with a certificate; a missing one is refused.
    void tls()
    {
        QTemporaryDir dir;
        const service::TlsFiles files = testsupport::makeCertificate(dir, { "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1" });
        QVERIFY(!Running({ files.certificate, dir.filePath("none.pem").toStdString() }).server->valid());
        Running service(files);
        QVERIFY(service.server->valid());
        httplib::SSLClient client("127.0.0.1", service.server->port());
        client.enable_server_certificate_verification(false);
        const auto page = client.Get("/phone");
        QCOMPARE(page ? page->status : 0, 200);
    }
};

QTEST_GUILESS_MAIN(TestTrackers)
#include "tst_trackers.moc"
