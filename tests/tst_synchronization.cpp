#include <QtTest>

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "controller/maincontroller.h"
#include "model/model.h"
#include "support/fakeservice.h"
#include "support/messageboxes.h"
#include "support/photos.h"

using controller::MainController;
using model::Model;
using testsupport::FakeService;
using testsupport::HttpAnswer;
using testsupport::MessageBoxes;

namespace {

// What the first synchronization of the generated photo sends.
const QByteArray firstRequest = R"({"GPSProcessingMethod":"","dateTimeOriginal":"2026-07-14 12:34:56",)"
                                R"("elapsedTime":4321,"fileNumber":"","internalSerialNumber":"","model":"X-T3",)"
                                R"("serialNumber":"SN1234","shutterCount":0,"syncID":"sync-)"
                                "\xc3\xa9"
                                R"(","timeZone":"","userID":""})";

void countAnnouncements(MainController& controller, QObject* receiver, int* count)
{
    *count = 0;
    QObject::connect(&controller, &MainController::camerasUpdated, receiver,
                     [count](model::CameraList&) { ++*count; });
}

void expectOneBox(const MessageBoxes& boxes, int code, const QString& title, const QString& text)
{
    QCOMPARE(boxes.shown.size(), 1);
    QCOMPARE(boxes.shown[0].code, code);
    QCOMPARE(boxes.shown[0].title, title);
    QCOMPARE(boxes.shown[0].text, text);
}

} // namespace

class TestSynchronization : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void unreadablePhoto_data();
    void unreadablePhoto();
    void firstSynchronization();
    void createdIsShownThenSucceeds();
    void answerWithoutUser();
    void failedAnswer_data();
    void failedAnswer();

private:
    FakeService service;
    QTemporaryDir dir;
    QString syncPhoto;
};

void TestSynchronization::initTestCase()
{
    QVERIFY(service.listen());
    qputenv("KESTREL_SERVICE_URL", service.baseUrl().toUtf8());
    QCOMPARE(Model::baseUrl(), service.baseUrl());
    QVERIFY(dir.isValid());
    syncPhoto = dir.filePath("sync.jpg");
    const QImage scene = testsupport::syncPhotoImage(QByteArray("{\"syncID\":\"sync-\xc3\xa9\",\"elapsedTime\":4321}"));
    QVERIFY(testsupport::writePhoto(syncPhoto, scene, testsupport::cameraTags()));
}

void TestSynchronization::init()
{
    QVERIFY(service.listen());
    service.reset();
    QFile::remove(Model::configFilePath());
}

void TestSynchronization::unreadablePhoto_data()
{
    QTest::addColumn<bool>("withExif");
    QTest::addColumn<QString>("title");
    // Without EXIF the photo is refused before its code is looked at.
    QTest::newRow("no EXIF, code present") << false << "Cannot read EXIF data";
    QTest::newRow("EXIF, no code") << true << "Cannot read QR code";
}

void TestSynchronization::unreadablePhoto()
{
    QFETCH(bool, withExif);
    QFETCH(QString, title);
    const QString path = dir.filePath("unreadable.jpg");
    if (withExif)
        QVERIFY(testsupport::writePhoto(path, testsupport::texturedImage(800, 600, 3), testsupport::cameraTags()));
    else
        QVERIFY(testsupport::writePhoto(path, testsupport::syncPhotoImage("{\"syncID\":\"a\",\"elapsedTime\":1}")));
    MainController controller;
    MessageBoxes boxes(controller);
    int announced;
    countAnnouncements(controller, this, &announced);
    QSignalSpy started(&controller, &MainController::synchronizationStarted);
    controller.synchronizeCamera(path);
    QCOMPARE(started.size(), 1);
    QCOMPARE(started[0][0].toString(), path);
    // The photo is read off the GUI thread: the slot returns before anything is decided.
    QCOMPARE(boxes.shown.size(), 0);
    QTRY_COMPARE(announced, 1);
    expectOneBox(boxes, 204, title, path);
    QTest::qWait(30);
    QCOMPARE(service.requests().size(), 0);
}

void TestSynchronization::firstSynchronization()
{
    {
        MainController controller;
        MessageBoxes boxes(controller);
        QVERIFY(controller.modelRef().userID.isEmpty());
        service.enqueue(HttpAnswer::json(200, R"({"clockOffset":433,"userID":"new-user-7"})"));
        service.enqueue(HttpAnswer::json(200, R"({"cameras":[],"phoneName":"Pixel"})"));
        int announced;
        countAnnouncements(controller, this, &announced);
        QSignalSpy screens(&controller, &MainController::screenChanged);
        QSignalSpy reports(&controller, &MainController::cameraSynchronized);
        controller.synchronizeCamera(syncPhoto);
        QTRY_COMPARE(controller.currentScreen(), controller::SynchronizeDone);
        QCOMPARE(screens.size(), 1);
        QCOMPARE(reports.size(), 1);
        QCOMPARE(reports[0][0].toString(), QStringLiteral("X-T3: clock 7 min 13 s fast"));
        QCOMPARE(controller.modelRef().userID, QStringLiteral("new-user-7"));

        // Saved at once, before the program ends.
        Model stored;
        QVERIFY(stored.load(Model::configFilePath()));
        QCOMPARE(stored.userID, QStringLiteral("new-user-7"));

        QTRY_COMPARE(announced, 1);
        const auto requests = service.requests();
        QCOMPARE(requests.size(), 2);
        QCOMPARE(requests[0].path, QByteArray("/syncCamera"));
        QCOMPARE(requests[0].body, firstRequest);
        QCOMPARE(requests[1].path, QByteArray("/getSyncList"));
        QCOMPARE(requests[1].body, QByteArray(R"({"userID":"new-user-7"})"));
        QCOMPARE(controller.modelRef().cameras.phoneName, QStringLiteral("Pixel"));
        QVERIFY(boxes.shown.isEmpty());
    }
    MainController next;
    next.start();
    QCOMPARE(next.currentScreen(), controller::Menu);
}

void TestSynchronization::createdIsShownThenSucceeds()
{
    MainController controller;
    MessageBoxes boxes(controller);
    controller.modelRef().userID = QStringLiteral("old");
    QString userWhileShown;
    boxes.answerer = [&](const MessageBoxes::Message&) {
        userWhileShown = controller.modelRef().userID;
        return true;
    };
    // The same camera again, its clock now behind.
    controller.modelRef().cameras.append({ QStringLiteral("X-T3"), QStringLiteral("SN1234"), {} });
    QSignalSpy reports(&controller, &MainController::cameraSynchronized);
    service.enqueue(HttpAnswer::json(201, R"({"body":"Camera added","clockOffset":-3725,"head":"Done","userID":"old"})"));
    controller.synchronizeCamera(syncPhoto);
    QTRY_COMPARE(controller.currentScreen(), controller::SynchronizeDone);
    QCOMPARE(reports.value(0).value(0).toString(), QStringLiteral("X-T3 (synchronized again): clock 1 h 2 min 5 s slow"));
    expectOneBox(boxes, 201, "Done", "Camera added");
    QCOMPARE(userWhileShown, QStringLiteral("old"));
    QTRY_COMPARE(service.requestsTo("/getSyncList").size(), 1);
    QTRY_COMPARE(service.outstanding(), 0);
    QVERIFY(service.requestsTo("/syncCamera")[0].body.endsWith(R"("userID":"old"})"));
}

void TestSynchronization::answerWithoutUser()
{
    MainController controller;
    MessageBoxes boxes(controller);
    controller.modelRef().userID = QStringLiteral("before");
    QVERIFY(controller.modelRef().save(Model::configFilePath()));
    service.enqueue(HttpAnswer::json(200, R"({"head":"","userId":"wrong case"})"));
    QSignalSpy reports(&controller, &MainController::cameraSynchronized);
    controller.synchronizeCamera(syncPhoto);
    QTRY_COMPARE(controller.currentScreen(), controller::SynchronizeDone);
    QCOMPARE(reports.value(0).value(0).toString(), QStringLiteral("X-T3: synchronized"));
    QCOMPARE(controller.modelRef().userID, QString());
    Model stored;
    QVERIFY(stored.load(Model::configFilePath()));
    QCOMPARE(stored.userID, QString());
    QTRY_COMPARE(service.requestsTo("/getSyncList").size(), 1);
}

void TestSynchronization::failedAnswer_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("tries");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");
    QTest::newRow("202 refusal") << 202 << 1 << "Too late" << "Code expired";
    QTest::newRow("500, retried") << 500 << 3 << "Network error"
                                  << QString("Network error (%1) on 1001").arg(int(QNetworkReply::InternalServerError))
                                         + ".\nPlease check that the web service is running or try again later...";
}

void TestSynchronization::failedAnswer()
{
    QFETCH(int, status);
    QFETCH(int, tries);
    QFETCH(QString, title);
    QFETCH(QString, text);
    MainController controller;
    MessageBoxes boxes(controller);
    controller.modelRef().userID = QStringLiteral("user-1");
    service.setHandler([status](const testsupport::HttpRequest& request) {
        if (request.path == "/syncCamera")
            return HttpAnswer::json(status, R"({"body":"Code expired","head":"Too late","userID":"other"})");
        return HttpAnswer::json(200, "{}");
    });
    int announced;
    countAnnouncements(controller, this, &announced);
    QSignalSpy screens(&controller, &MainController::screenChanged);
    controller.synchronizeCamera(syncPhoto);
    QTRY_COMPARE(announced, 1);
    QCOMPARE(service.requestsTo("/syncCamera").size(), tries);
    expectOneBox(boxes, status, title, text);
    QCOMPARE(controller.modelRef().userID, QStringLiteral("user-1"));
    QCOMPARE(screens.size(), 0);
    QCOMPARE(service.requestsTo("/getSyncList").size(), 0);
    QVERIFY(!QFile::exists(Model::configFilePath()));
}

QTEST_MAIN(TestSynchronization)
#include "tst_synchronization.moc"
