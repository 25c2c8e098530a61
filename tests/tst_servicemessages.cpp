#include <QtTest>

#include <QSignalSpy>

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
    model::PhotoInfo info;
    info.clear();
    info.syncId = QStringLiteral("S-77");
    info.elapsedTime = 1234;
    info.dateTimeOriginal = QStringLiteral("2026-07-14 12:34:56");
    info.model = QStringLiteral("X-T3");
    info.serialNumber = QStringLiteral("SN1");
    info.internalSerialNumber = QStringLiteral("INT9");
    info.shutterCount = 42;
    info.fileNumber = QStringLiteral("100-0001");
    info.gpsProcessingMethod = QString();
    info.timeZone = QStringLiteral("+02:00");
    return info;
}

model::Camera cameraWith(const QStringList& syncIds)
{
    model::Camera camera;
    camera.name = QStringLiteral("X-T3");
    camera.serial = QStringLiteral("SN1");
    for (const QString& id : syncIds) {
        model::Synchronization synchronization;
        synchronization.syncId = id;
        synchronization.timeZone = QStringLiteral("+01:00");
        camera.synchronizations.append(synchronization);
    }
    return camera;
}

const char networkTail[] = ".\nPlease check that the web service is running or try again later...";

} // namespace

class TestServiceMessages : public QObject {
    Q_OBJECT
private slots:
    void urls();
    void requestBodies_data();
    void requestBodies();
    void cameraListAnswer();
    void cameraListAnswerWithoutMembers_data();
    void cameraListAnswerWithoutMembers();
    void geotagAnswer();
    void geotagAnswerOddNumbers_data();
    void geotagAnswerOddNumbers();
    void handleResponse_data();
    void handleResponse();
    void handleResponseWithoutNotify();
};

void TestServiceMessages::urls()
{
    const QString base = model::Model::baseUrl();
    QVERIFY(base.endsWith(QLatin1Char('/')));
    QCOMPARE(ServiceMessages::cameraListUrl(), base + "getSyncList");
    QCOMPARE(ServiceMessages::synchronizationUrl(), base + "syncCamera");
    QCOMPARE(ServiceMessages::removalUrl(), base + "removeCamera");
    QCOMPARE(ServiceMessages::geotagUrl(), base + "geocodeImage");
}

void TestServiceMessages::requestBodies_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("expected");

    const model::PhotoInfo info = samplePhoto();
    QTest::newRow("camera list, no user") << ServiceMessages::cameraListRequest(QString())
                                          << QByteArray(R"({"userID":""})");
    QTest::newRow("camera list") << ServiceMessages::cameraListRequest(QStringLiteral("u-1"))
                                 << QByteArray(R"({"userID":"u-1"})");
    QTest::newRow("synchronization, first")
        << ServiceMessages::synchronizationRequest(QString(), info)
        << QByteArray(R"({"GPSProcessingMethod":"","dateTimeOriginal":"2026-07-14 12:34:56","elapsedTime":1234,)"
                      R"("fileNumber":"100-0001","internalSerialNumber":"INT9","model":"X-T3","serialNumber":"SN1",)"
                      R"("shutterCount":42,"syncID":"S-77","timeZone":"+02:00","userID":""})");
    model::PhotoInfo unicode = info;
    unicode.model = QStringLiteral("\u00c9clair \u65e5\u672c");
    unicode.shutterCount = -5;
    unicode.elapsedTime = 2147483647;
    QTest::newRow("synchronization, non-ASCII")
        << ServiceMessages::synchronizationRequest(QStringLiteral("u\u00e9"), unicode)
        << QByteArray("{\"GPSProcessingMethod\":\"\",\"dateTimeOriginal\":\"2026-07-14 12:34:56\","
                      "\"elapsedTime\":2147483647,\"fileNumber\":\"100-0001\",\"internalSerialNumber\":\"INT9\","
                      "\"model\":\"\xc3\x89" "clair \xe6\x97\xa5\xe6\x9c\xac\",\"serialNumber\":\"SN1\","
                      "\"shutterCount\":-5,\"syncID\":\"S-77\",\"timeZone\":\"+02:00\",\"userID\":\"u\xc3\xa9\"}");
    QTest::newRow("geotag")
        << ServiceMessages::geotagRequest(QStringLiteral("u-1"), info)
        << QByteArray(R"({"GPSProcessingMethod":"","dateTimeOriginal":"2026-07-14 12:34:56",)"
                      R"("fileNumber":"100-0001","internalSerialNumber":"INT9","model":"X-T3","serialNumber":"SN1",)"
                      R"("shutterCount":42,"timeZone":"+02:00","userID":"u-1"})");
    QTest::newRow("removal, two") << ServiceMessages::removalRequest(QStringLiteral("u-1"), cameraWith({ "b-2", "a-1" }))
                                  << QByteArray(R"({"synchronizations":["b-2","a-1"],"userID":"u-1"})");
    QTest::newRow("removal, none") << ServiceMessages::removalRequest(QStringLiteral("u-1"), cameraWith({}))
                                   << QByteArray("null");
    QTest::newRow("removal, quote") << ServiceMessages::removalRequest(QStringLiteral("u\"1"), cameraWith({ "a\"b" }))
                                    << QByteArray(R"({"synchronizations":["a\"b"],"userID":"u\"1"})");
}

void TestServiceMessages::requestBodies()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, expected);
    QCOMPARE(body, expected);
}

void TestServiceMessages::cameraListAnswer()
{
    model::CameraList list;
    list.append(cameraWith({ "old" }));
    const JsonValue answer = JsonValue::parse(
        R"({"cameras":[{"cameraName":"X-T3","serial":"SN1","synchronizations":[)"
        R"({"syncId":"s1","timeZone":"+02:00","timeZoneName":"CEST","timeZoneTime":"2026-07-14 12:00:00"},)"
        R"({"syncId":"s2","timeZone":"-05:00","timeZoneName":"EST","timeZoneTime":"2026-01-01 08:00:00"}]},)"
        R"({"cameraName":"Z 6","serial":"","synchronizations":[]}],"phoneName":"Pixel é"})");
    ServiceMessages::readCameraList(answer, &list);
    QCOMPARE(list.phoneName, QStringLiteral("Pixel \u00e9"));
    QCOMPARE(list.size(), 2);
    QCOMPARE(list[0].name, QStringLiteral("X-T3"));
    QCOMPARE(list[0].serial, QStringLiteral("SN1"));
    QCOMPARE(list[0].synchronizations.size(), 2);
    QCOMPARE(list[0].synchronizations[1].syncId, QStringLiteral("s2"));
    QCOMPARE(list[0].synchronizations[1].timeZone, QStringLiteral("-05:00"));
    QCOMPARE(list[0].synchronizations[1].timeZoneName, QStringLiteral("EST"));
    QCOMPARE(list[0].synchronizations[1].timeZoneTime, QStringLiteral("2026-01-01 08:00:00"));
    QCOMPARE(list[1].name, QStringLiteral("Z 6"));
    QVERIFY(list[1].synchronizations.isEmpty());
}

void TestServiceMessages::cameraListAnswerWithoutMembers_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("phoneName");
    QTest::newRow("empty object") << QByteArray("{}") << QStringLiteral("Unknown");
    QTest::newRow("phone name a number") << QByteArray(R"({"phoneName":5})") << QStringLiteral("Unknown");
    QTest::newRow("cameras not an array") << QByteArray(R"({"cameras":"x","phoneName":"P"})")
                                          << QStringLiteral("P");
    QTest::newRow("not JSON") << QByteArray("<html>") << QStringLiteral("Unknown");
}

void TestServiceMessages::cameraListAnswerWithoutMembers()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, phoneName);
    model::CameraList list;
    list.append(cameraWith({ "old" }));
    ServiceMessages::readCameraList(JsonValue::parse(body.toStdString()), &list);
    QVERIFY(list.isEmpty());
    QCOMPARE(list.phoneName, phoneName);
}

void TestServiceMessages::geotagAnswer()
{
    model::PhotoGeocode result;
    ServiceMessages::readGeotag(
        JsonValue::parse(R"({"accuracy":12.9,"altitude":-3.25,"body":"b","head":"h","latitude":46.056947,)"
                         R"("longitude":-14.505751,"photoTime":"2026-07-14 14:34:56","timeZone":"+02:00",)"
                         R"("timeZoneId":"Europe/Ljubljana","timeZoneName":"CEST"})"),
        &result);
    QCOMPARE(result.photoTime, QStringLiteral("2026-07-14 14:34:56"));
    QCOMPARE(result.latitude, 46.056947);
    QCOMPARE(result.longitude, -14.505751);
    QCOMPARE(result.altitude, -3.25);
    QCOMPARE(result.timeZone, QStringLiteral("+02:00"));
    QCOMPARE(result.timeZoneId, QStringLiteral("Europe/Ljubljana"));
    QCOMPARE(result.timeZoneName, QStringLiteral("CEST"));
    QCOMPARE(result.accuracy, 12);
}

void TestServiceMessages::geotagAnswerOddNumbers_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<double>("latitude");
    QTest::addColumn<int>("accuracy");
    QTest::newRow("quoted latitude") << QByteArray(R"({"accuracy":5,"latitude":"46.1"})") << 0.0 << 5;
    QTest::newRow("negative accuracy truncates toward zero") << QByteArray(R"({"accuracy":-3.7})") << 0.0 << -3;
    QTest::newRow("huge accuracy") << QByteArray(R"({"accuracy":1e300})") << 0.0 << 2147483647;
    QTest::newRow("missing members") << QByteArray("{}") << 0.0 << 0;
    QTest::newRow("array") << QByteArray("[1,2]") << 0.0 << 0;
}

void TestServiceMessages::geotagAnswerOddNumbers()
{
    QFETCH(QByteArray, body);
    QFETCH(double, latitude);
    QFETCH(int, accuracy);
    model::PhotoGeocode result;
    ServiceMessages::readGeotag(JsonValue::parse(body.toStdString()), &result);
    QCOMPARE(result.latitude, latitude);
    QCOMPARE(result.accuracy, accuracy);
    QCOMPARE(result.photoTime, QString());
}

void TestServiceMessages::handleResponse_data()
{
    QTest::addColumn<int>("requestCode");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<QString>("head");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("payload"); // the answer's "userID" afterwards

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
            + ") on 1001" + networkTail
                                       << "";
}

void TestServiceMessages::handleResponse()
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
    controller.handleResponse(requestCode, quint16(status), body, answer, true);
    QCOMPARE(ServiceMessages::text(answer, "head"), head);
    QCOMPARE(ServiceMessages::text(answer, "body"), text);
    QCOMPARE(ServiceMessages::text(answer, "userID"), payload);
    QCOMPARE(boxes.shown.size(), shown ? 1 : 0);
    if (shown) {
        QCOMPARE(boxes.shown[0].code, status);
        QCOMPARE(boxes.shown[0].title, head);
        QCOMPARE(boxes.shown[0].text, text);
    }
}

void TestServiceMessages::handleResponseWithoutNotify()
{
    MainController controller;
    MessageBoxes boxes(controller);
    JsonValue answer;
    controller.handleResponse(1003, 0, "5", answer, false);
    QCOMPARE(ServiceMessages::text(answer, "head"), QStringLiteral("Network error"));
    QCOMPARE(ServiceMessages::text(answer, "body"), QString("Network error (5) on 1003") + networkTail);
    controller.handleResponse(1003, 204, R"({"body":"b","head":"h"})", answer, false);
    QCOMPARE(ServiceMessages::text(answer, "head"), QStringLiteral("h"));
    QVERIFY(boxes.shown.isEmpty());
}

QTEST_MAIN(TestServiceMessages)
#include "tst_servicemessages.moc"
