#include <QtTest>


#include "controller/maincontroller.h"
#include "controller/servicemessages.h"
#include "json/jsonvalue.h"
#include "support/messageboxes.h"

using controller::MainController;
using controller::ServiceMessages;
using testsupport::MessageBoxes;

namespace {

model::PhotoInfo samplePhoto()
{
    return { "S-77", 1234, "2026-07-14 12:34:56", "X-T3", "SN1", "INT9", 42, "100-0001", QString(), "+02:00", "048" };
}

model::Camera cameraWith(const QStringList& syncIds)
{
    model::Camera camera { "X-T3", "SN1", {} };
    for (const QString& id : syncIds)
        camera.synchronizations.append({ id, QString(), "+01:00", QString() });
    return camera;
}

const char networkTail[] = ".\nPlease check that the web service is running or try again later...";

} // namespace

class TestServiceMessages : public QObject {
    Q_OBJECT
private slots:
    void requestBodies_data();
    void requestBodies();
    void cameraListAnswer_data();
    void cameraListAnswer();
    void geotagAnswer_data();
    void geotagAnswer();
    void readAnswer_data();
    void readAnswer();
    void trackAnswer_data();
    void trackAnswer();
};

void TestServiceMessages::requestBodies_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("expected");

    const model::PhotoInfo info = samplePhoto();
    QTest::newRow("camera list, no user") << ServiceMessages::cameraListRequest(QString()) << QByteArray(R"({"userID":""})");
    QTest::newRow("camera list") << ServiceMessages::cameraListRequest(QStringLiteral("u-1"))
                                 << QByteArray(R"({"userID":"u-1"})");
    QTest::newRow("synchronization, first") << ServiceMessages::synchronizationRequest(QString(), info, "Europe/London")
        << QByteArray(R"({"GPSProcessingMethod":"","computerZoneId":"Europe/London","dateTimeOriginal":)"
                      R"("2026-07-14 12:34:56","elapsedTime":1234,"fileNumber":"100-0001","internalSerialNumber":"INT9",)"
                      R"("model":"X-T3","serialNumber":"SN1","shutterCount":42,"subSecTimeOriginal":"048",)"
                      R"("syncID":"S-77","timeZone":"+02:00","userID":""})");
    model::PhotoInfo unicode = info;
    unicode.model = QStringLiteral("\u00c9clair \u65e5\u672c");
    unicode.shutterCount = -5;
    unicode.elapsedTime = 2147483647;
    unicode.subSecTimeOriginal.clear();
    QTest::newRow("synchronization, non-ASCII, linking")
        << ServiceMessages::synchronizationRequest(QStringLiteral("u\u00e9"), unicode, QByteArray(), true)
        << QByteArray("{\"GPSProcessingMethod\":\"\",\"computerZoneId\":\"\",\"dateTimeOriginal\":\"2026-07-14 12:34:56\","
                      "\"elapsedTime\":2147483647,\"fileNumber\":\"100-0001\",\"internalSerialNumber\":\"INT9\","
                      "\"linkUser\":true,\"model\":\"\xc3\x89" "clair \xe6\x97\xa5\xe6\x9c\xac\",\"serialNumber\":\"SN1\","
                      "\"shutterCount\":-5,\"subSecTimeOriginal\":\"\",\"syncID\":\"S-77\",\"timeZone\":\"+02:00\","
                      "\"userID\":\"u\xc3\xa9\"}");
    QTest::newRow("geotag") << ServiceMessages::geotagRequest(QStringLiteral("u-1"), info)
        << QByteArray(R"({"GPSProcessingMethod":"","dateTimeOriginal":"2026-07-14 12:34:56",)"
                      R"("fileNumber":"100-0001","internalSerialNumber":"INT9","model":"X-T3","serialNumber":"SN1",)"
                      R"("shutterCount":42,"subSecTimeOriginal":"048","timeZone":"+02:00","userID":"u-1"})");
    QTest::newRow("geotag, no fraction") << ServiceMessages::geotagRequest(QStringLiteral("u-1"), unicode)
        << QByteArray("{\"GPSProcessingMethod\":\"\",\"dateTimeOriginal\":\"2026-07-14 12:34:56\",\"fileNumber\":\"100-0001\","
                      "\"internalSerialNumber\":\"INT9\",\"model\":\"\xc3\x89" "clair \xe6\x97\xa5\xe6\x9c\xac\",\"serialNumber\":\"SN1\","
                      "\"shutterCount\":-5,\"timeZone\":\"+02:00\",\"userID\":\"u-1\"}");
    QTest::newRow("removal, two") << ServiceMessages::removalRequest(QStringLiteral("u-1"), cameraWith({ "b-2", "a-1" }))
                                  << QByteArray(R"({"synchronizations":["b-2","a-1"],"userID":"u-1"})");
    QTest::newRow("track") << ServiceMessages::trackRequest("u-1", QDateTime({ 2026, 5, 1 }, { 10, 0, 0, 480 }, Qt::OffsetFromUTC, 7200),
                                                            QDateTime({ 2026, 5, 1 }, { 9, 30 }, Qt::UTC))
                           << QByteArray(R"({"from":"2026-05-01T08:00:00Z","to":"2026-05-01T09:30:00Z","userID":"u-1"})");
    QTest::newRow("removal, none") << ServiceMessages::removalRequest(QStringLiteral("u-1"), cameraWith({}))
                                   << QByteArray("null");
    QTest::newRow("removal, quote") << ServiceMessages::removalRequest(QStringLiteral("u\"1"), cameraWith({ "a\"b" }))
                                    << QByteArray(R"({"synchronizations":["a\"b"],"userID":"u\"1"})");
}

void TestServiceMessages::requestBodies()
{
    QFETCH(QByteArray, body);
    QTEST(body, "expected");
}

// The list read replaces the one held; members of the wrong kind are missing.
void TestServiceMessages::cameraListAnswer_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QStringList>("read"); // phone name, then cameras and their synchronizations
    QTest::newRow("two cameras") << QByteArray(R"({"cameras":[{"cameraName":"X-T3","serial":"SN1","synchronizations":[)"
                      R"({"syncId":"s1","timeZone":"+02:00","timeZoneName":"CEST","timeZoneTime":"2026-07-14 12:00:00"},)"
                      R"({"syncId":"s2","timeZone":"-05:00","timeZoneName":"EST","timeZoneTime":"2026-01-01 08:00:00"}]},)"
                      R"({"cameraName":"Z 6","drift":7,"driftMsPerWeek":"7","serial":"","synchronizations":[]},)"
                      R"({"cameraName":"D750","drift":"drifts 2 min 5 s a week","driftMsPerWeek":-125000}],"phoneName":"Pixel é"})")
        << QStringList { "Pixel \u00e9", "camera X-T3 SN1  0", "s1 +02:00 CEST 2026-07-14 12:00:00",
                         "s2 -05:00 EST 2026-01-01 08:00:00", "camera Z 6   0",
                         "camera D750  drifts 2 min 5 s a week -125000" };
    QTest::newRow("empty object") << QByteArray("{}") << QStringList { "Unknown" };
    QTest::newRow("phone name a number") << QByteArray(R"({"phoneName":5})") << QStringList { "Unknown" };
    QTest::newRow("cameras not an array") << QByteArray(R"({"cameras":"x","phoneName":"P"})") << QStringList { "P" };
    QTest::newRow("not JSON") << QByteArray("<html>") << QStringList { "Unknown" };
}

void TestServiceMessages::cameraListAnswer()
{
    QFETCH(QByteArray, body);
    QFETCH(QStringList, read);
    model::CameraList list;
    list.append(cameraWith({ "old" }));
    ServiceMessages::readCameraList(JsonValue::parse(body.toStdString()), &list);
    QStringList described { list.phoneName };
    for (const model::Camera& camera : list) {
        described << QStringLiteral("camera %1 %2 %3 %4").arg(camera.name, camera.serial, camera.drift).arg(camera.driftMsPerWeek);
        for (const model::Synchronization& s : camera.synchronizations)
            described << QStringList { s.syncId, s.timeZone, s.timeZoneName, s.timeZoneTime }.join(' ');
    }
    QCOMPARE(described, read);
}

void TestServiceMessages::geotagAnswer_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("read"); // time, position, zone, accuracy; then its parts and the clock when known
    QTest::newRow("every member") << QByteArray(R"({"accuracy":12.9,"altitude":-3.25,"body":"b","head":"h","latitude":46.056947,)"
                      R"("longitude":-14.505751,"photoTime":"2026-07-14 14:34:56","timeZone":"+02:00",)"
                      R"("timeZoneId":"Europe/Ljubljana","timeZoneName":"CEST"})")
        << "2026-07-14 14:34:56|46.056947|-14.505751|-3.25|+02:00|Europe/Ljubljana|CEST|12.9";
    QTest::newRow("quoted latitude") << QByteArray(R"({"accuracy":5,"latitude":"46.1"})") << "|0|0|0||||5";
    QTest::newRow("demo") << QByteArray(R"({"demo":true})") << "|0|0|0||||0 demo";
    QTest::newRow("demo as text") << QByteArray(R"({"demo":"true"})") << "|0|0|0||||0";
    QTest::newRow("negative accuracy") << QByteArray(R"({"accuracy":-3.7})") << "|0|0|0||||0";
    QTest::newRow("huge accuracy") << QByteArray(R"({"accuracy":1e300})") << "|0|0|0||||0";
    QTest::newRow("missing members") << QByteArray("{}") << "|0|0|0||||0";
    QTest::newRow("array") << QByteArray("[1,2]") << "|0|0|0||||0";
    QTest::newRow("moment") << QByteArray(R"({"utcTime":"2026-05-01T10:00:00.480Z"})") << "|0|0|0||||0 2026-05-01T10:00:00.480Z";
    QTest::newRow("parts") << QByteArray(R"({"accuracy":23.4,"accuracyParts":{"clock":2.0,"fixes":5.0,"movement":20.1}})")
                           << "|0|0|0||||23.4 parts 5 20.1 2";
    QTest::newRow("parts, one quoted") << QByteArray(R"({"accuracyParts":{"clock":"2","fixes":5,"movement":1}})") << "|0|0|0||||0";
    QTest::newRow("clock") << QByteArray(R"j({"clock":{"camera":"The camera X (serial number 1)","clockChanged":true,)j"
                                         R"("drift":"drifts 7 s a week","method":"nearer","offsetMs":-9007199254740993,)"
                                         R"("synchronizations":["2026-05-01 10:00:00",7,"2026-05-11 10:01:40","x"],)"
                                         R"("text":"T é","uncertaintyMs":500}})")
        << QString::fromUtf8("|0|0|0||||0 clock T é|nearer|2026-05-01 10:00:00,2026-05-11 10:01:40|changed|"
                             "The camera X (serial number 1)|drifts 7 s a week|-9007199254740993|500");
    QTest::newRow("clock, wrong kinds") << QByteArray(R"({"clock":{"camera":1,"clockChanged":"true","drift":[],"method":{},)"
                                                      R"("offsetMs":1.5,"synchronizations":"x","text":null,"uncertaintyMs":"5"}})")
                                        << "|0|0|0||||0";
    QTest::newRow("clock, too large an offset") << QByteArray(R"({"clock":{"offsetMs":9223372036854775808,"text":"t"}})")
                                                << "|0|0|0||||0 clock t||||||0|0";
    QTest::newRow("place") << QByteArray(R"({"place":{"city":"Berlin","countryCode":"DE","country":"Germany",)"
                                         R"("distance":1234,"region":"Land Berlin","sublocation":"Mitte"}})")
                           << "|0|0|0||||0 place Berlin|Mitte|Land Berlin|Germany|DE|1234";
    QTest::newRow("place, on one line and cut") << QByteArray(R"({"place":{"city":"Kra
ków )" + QByteArray(300, 'x')
                                                              + R"(","countryCode":"de","distance":-5}})")
                                                << QString::fromUtf8("|0|0|0||||0 place Kra ków ") + QString(192, 'x') + "|||||0";
    QTest::newRow("place, wrong kinds") << QByteArray(R"({"place":{"city":7,"countryCode":"DEU","distance":"9"}})") << "|0|0|0||||0";
}

void TestServiceMessages::geotagAnswer()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, read);
    model::PhotoGeotag r;
    ServiceMessages::readGeotag(JsonValue::parse(body.toStdString()), &r);
    QString described = QStringList({ r.photoTime, QString::number(r.latitude, 'g', 12), QString::number(r.longitude, 'g', 12),
                                      QString::number(r.altitude, 'g', 12), r.timeZone, r.timeZoneId, r.timeZoneName,
                                      QString::number(r.accuracy) }).join('|')
        + (r.demo ? " demo" : "") + (r.utcTime.isEmpty() ? "" : " " + r.utcTime);
    const model::AccuracyParts& p = r.accuracyParts;
    described += QStringLiteral(" parts %1 %2 %3").arg(p.fixes).arg(p.movement).arg(p.clock).repeated(p.known);
    const model::ClockOffset& c = r.clock;
    const QString clock = QStringList({ c.text, c.method, c.synchronizations.join(','), c.clockChanged ? "changed" : "",
                                        c.camera, c.drift, QString::number(c.offsetMs), QString::number(c.uncertaintyMs) })
                              .join('|');
    if (clock != "||||||0|0")
        described += " clock " + clock;
    const model::Place& l = r.place;
    if (!l.isEmpty())
        described += " place " + QStringList({ l.city, l.sublocation, l.region, l.country, l.countryCode,
                                               QString::number(l.distance) }).join('|');
    QCOMPARE(described, read);
}

void TestServiceMessages::readAnswer_data()
{
    QTest::addColumn<int>("requestCode");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<QString>("head");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("payload"); // the answer's "userID" afterwards
    // head and text: the answer's own for 200 and 201, else those of the failure

    const QByteArray envelope = "{\"body\":\"Text \xc3\xa9\",\"head\":\"Title\",\"userID\":\"u7\"}";
    QTest::newRow("200") << 1001 << 200 << envelope << false << "Title" << QString::fromUtf8("Text \xc3\xa9") << "u7";
    for (int status : { 201, 202, 203, 204 })
        QTest::newRow(qPrintable(QString::number(status)))
            << 1001 << status << envelope << true << "Title" << QString::fromUtf8("Text \xc3\xa9") << "u7";
    QTest::newRow("203 not JSON") << 1000 << 203 << QByteArray("oops") << true << "" << "" << "";
    QTest::newRow("refused, 1000") << 1000 << 0 << QByteArray("1") << true << "Network error"
                                   << QString("Network error (1) on 1000") + networkTail << "";
    QTest::newRow("500, 1002") << 1002 << 500 << QByteArray("401") << true << "Network error"
                               << QString("Network error (401) on 1002") + networkTail << "";
    QTest::newRow("205 with envelope") << 1001 << 205 << envelope << true << "Network error"
                                       << QString("Network error (") + QString::fromUtf8(envelope)
            + ") on 1001" + networkTail << "";
    // Without notify the answer is read the same, and no box is shown.
    QTest::newRow("refused, 1003, quiet") << 1003 << 0 << QByteArray("5") << false << "Network error"
                                          << QString("Network error (5) on 1003") + networkTail << "";
    QTest::newRow("204, quiet") << 1003 << 204 << QByteArray(R"({"body":"b","head":"h"})") << false << "h" << "b" << "";
}

void TestServiceMessages::readAnswer()
{
    QFETCH(int, requestCode);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, shown);
    QFETCH(QString, head);
    QFETCH(QString, text);
    QFETCH(QString, payload);

    MainController controller;
    MessageBoxes boxes(controller);
    JsonValue answer;
    model::Failure failure;
    const auto request = controller::Request(requestCode);
    const bool notify = !QByteArray(QTest::currentDataTag()).endsWith("quiet");
    const bool read = notify ? controller.readAndShowAnswer(request, quint16(status), body, &answer, &failure)
                             : MainController::readAnswer(request, quint16(status), body, &answer, &failure);
    QCOMPARE(read, status == 200 || status == 201);
    QCOMPARE(QStringList({ read ? ServiceMessages::text(answer, "head") : failure.title,
                           read ? ServiceMessages::text(answer, "body") : failure.detail,
                           ServiceMessages::text(answer, "userID") }),
             QStringList({ head, text, payload }));
    QCOMPARE(boxes.shown.size(), shown ? 1 : 0);
    if (shown)
        QCOMPARE(boxes.shown[0].said(), QString::number(status) + '|' + head + '|' + text);
}

// Outside data is read in full or not at all.
void TestServiceMessages::trackAnswer_data()
{
    QTest::addColumn<QByteArray>("positions");
    QTest::addColumn<QString>("read"); // how many, and the last; "-": refused
    QByteArray most = "[0,1,2]";
    for (unsigned i = 1; i < ServiceMessages::maxTrackPositions; ++i)
        most += ",[" + QByteArray::number(i) + ",1,2]";
    QTest::newRow("two") << QByteArray("[[1777629600000,-90,180],[1777629600000,46.5,-14.25]]") << "2: 1777629600000 46.5 -14.25";
    QTest::newRow("none") << QByteArray("[]") << "0: 0 0 0";
    QTest::newRow("the most") << "[" + most + "]" << "20500: 20499 1 2";
    QTest::newRow("one too many") << "[" + most + ",[20500,1,2]]" << "-";
    for (const char* bad : { "null", "{}", "[5]", "[[1,2]]", "[[1,2,3,4]]", "[[1.5,1,2]]", R"([["1",1,2]])", "[[1,null,2]]",
                             R"([[1,"1",2]])", "[[1,90.000001,2]]", "[[1,2,-180.5]]", "[[2,1,1],[1,1,1]]",
                             "[[99999999999999999999,1,2]]", "[[1,2,3],[2,1e400,0]]" })
        QTest::newRow(bad) << QByteArray(bad) << "-";
}

void TestServiceMessages::trackAnswer()
{
    QFETCH(QByteArray, positions);
    model::Track track { { 1, 2, 3 } };
    const bool read = ServiceMessages::readTrack(JsonValue::parse((R"({"positions":)" + positions + "}").toStdString()), &track);
    const model::TrackPoint last = track.value(track.size() - 1);
    QTEST(read ? QStringLiteral("%1: %2 %3 %4").arg(track.size()).arg(last.timeMs).arg(last.latitude).arg(last.longitude) : "-",
          "read");
    QVERIFY(read || track.isEmpty());
}

QTEST_MAIN(TestServiceMessages)
#include "tst_servicemessages.moc"
