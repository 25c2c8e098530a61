#include <QtTest>

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "controller/maincontroller.h"
#include "controller/restclient.h"
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

// What a synchronization of the generated photo sends, for a user not yet known.
const QByteArray firstRequest = R"({"GPSProcessingMethod":"","computerZoneId":"Europe/London",)"
                                R"("dateTimeOriginal":"2026-07-14 12:34:56","elapsedTime":4321,"fileNumber":"",)"
                                R"("internalSerialNumber":"","model":"X-T3","serialNumber":"SN1234","shutterCount":0,)"
                                R"("subSecTimeOriginal":"48","syncID":"sync-)"
                                "\xc3\xa9"
                                R"(","timeZone":"","userID":""})";

void countAnnouncements(MainController& controller, QObject* receiver, int* count)
{
    *count = 0;
    QObject::connect(&controller, &MainController::camerasUpdated, receiver,
                     [count](model::CameraList&) { ++*count; });
}

} // namespace

class TestSynchronization : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void synchronized_data();
    void synchronized();
    void linkQuestion_data();
    void linkQuestion();
    void failed_data();
    void failed();

private:
    FakeService m_service;
    QTemporaryDir m_dir;
    QString m_syncPhoto;
};

void TestSynchronization::initTestCase()
{
    qputenv("TZ", "Europe/London");
    QVERIFY(m_service.listen());
    qputenv("KESTREL_SERVICE_URL", m_service.baseUrl().toUtf8());
    QCOMPARE(Model::baseUrl(), m_service.baseUrl());
    m_syncPhoto = m_dir.filePath("sync.jpg");
    const QImage scene = testsupport::syncPhotoImage(QByteArray("{\"syncID\":\"sync-\xc3\xa9\",\"elapsedTime\":4321}"));
    QVERIFY(testsupport::writePhoto(m_syncPhoto, scene,
                                    testsupport::cameraTags() << qMakePair(QString("Exif.Photo.SubSecTimeOriginal"),
                                                                           QString("48 "))));
}

void TestSynchronization::init()
{
    QVERIFY(m_service.listen());
    m_service.reset();
    QFile::remove(Model::configFilePath());
}

void TestSynchronization::synchronized_data()
{
    QTest::addColumn<QString>("userBefore");
    QTest::addColumn<bool>("known"); // the camera is in the list already
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("report");
    QTest::addColumn<QString>("userAfter");
    QTest::addColumn<QString>("box"); // text of the one box shown, if any
    QTest::newRow("first") << "" << false << 200 << QByteArray(R"({"clockOffset":433,"timeZoneId":"Europe/London",)"
                                                               R"("userID":"new-user-7","zoneSource":"computer"})")
                           << "X-T3: clock 7 min 13 s ahead\nagainst this computer's time zone (Europe/London)"
                           << "new-user-7" << "";
    QTest::newRow("created, known camera, clock behind")
        << "old" << true << 201 << QByteArray(R"({"body":"Camera added","clockOffset":-3725,"head":"Done","userID":"old"})")
        << "X-T3 (synchronized again): clock 1 h 2 min 5 s behind" << "old" << "Camera added";
    QTest::newRow("answer without user") << "before" << false << 200 << QByteArray(R"({"head":"","userId":"wrong case"})")
                                         << "X-T3: synchronized" << "" << "";
}

// The user the answer names is saved at once, before the program ends; a box
// the answer asks for is shown before that; the camera list is fetched anew.
void TestSynchronization::synchronized()
{
    QFETCH(QString, userBefore);
    QFETCH(bool, known);
    QFETCH(int, status);
    QFETCH(QByteArray, answer);
    QFETCH(QString, userAfter);
    QFETCH(QString, box);
    auto state = std::make_shared<Model>();
    MainController controller(state);
    MessageBoxes boxes(controller);
    state->userID = userBefore;
    QVERIFY(state->save(Model::configFilePath()));
    if (known)
        state->cameras.append({ QStringLiteral("X-T3"), QStringLiteral("SN1234"), {} });
    QString userWhileShown;
    boxes.answerer = [&](const MessageBoxes::Message&) {
        userWhileShown = state->userID;
        return true;
    };
    m_service.enqueue(HttpAnswer::json(status, answer));
    m_service.enqueue(HttpAnswer::json(200, R"({"cameras":[],"phoneName":"Pixel"})"));
    int announced;
    countAnnouncements(controller, this, &announced);
    QSignalSpy screens(&controller, &MainController::screenChanged);
    QSignalSpy reports(&controller, &MainController::cameraSynchronized);
    controller.synchronizeCamera(m_syncPhoto);
    QTRY_COMPARE(controller.currentScreen(), controller::SynchronizeDone);
    QCOMPARE(screens.size(), 1);
    QCOMPARE(reports.size(), 1);
    QTEST(reports[0][0].toString(), "report");
    QCOMPARE(state->userID, userAfter);
    Model stored;
    QVERIFY(stored.load(Model::configFilePath()));
    QCOMPARE(stored.userID, userAfter);

    QTRY_COMPARE(announced, 1);
    const auto requests = m_service.requests();
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests[0].path, QByteArray("/syncCamera"));
    const QByteArray user = "\"userID\":\"" + userBefore.toUtf8() + '"';
    QCOMPARE(requests[0].body, QByteArray(firstRequest).replace("\"userID\":\"\"", user));
    QCOMPARE(requests[1].path, QByteArray("/getSyncList"));
    QCOMPARE(requests[1].body, "{\"userID\":\"" + userAfter.toUtf8() + "\"}");
    QCOMPARE(state->cameras.phoneName, QStringLiteral("Pixel"));
    QCOMPARE(boxes.shown.size(), box.isEmpty() ? 0 : 1);
    QCOMPARE(userWhileShown, box.isEmpty() ? QString() : userBefore);
    if (!box.isEmpty())
        QCOMPARE(boxes.shown[0].said(), QString::number(status) + "|Done|" + box);
}

void TestSynchronization::linkQuestion_data()
{
    QTest::addColumn<bool>("yes");
    QTest::newRow("yes") << true;
    QTest::newRow("no") << false;
}

// A code of another account's phone asks first: a yes sends the request
// again, agreeing to the link, and keeps the owner's identifier; a no leaves
// the identifier, the cameras and config.dat as they were.
void TestSynchronization::linkQuestion()
{
    QFETCH(bool, yes);
    auto state = std::make_shared<Model>();
    MainController controller(state);
    MessageBoxes boxes(controller);
    boxes.answer = yes;
    state->userID = QStringLiteral("track-user");
    state->cameras.append({ QStringLiteral("Z 6"), QStringLiteral("N1"), {} });
    const QString question = "Link this computer to the phone 'Pixel 8'? The 2,161 positions imported here and "
                             "1 camera move to it.";
    m_service.enqueue(HttpAnswer::json(203, R"({"body":")" + question.toUtf8() + R"(","head":"Link this computer?",)"
                                            R"("link":{"cameras":1,"demo":false,"phoneName":"Pixel 8","positions":2161}})"));
    m_service.enqueue(HttpAnswer::json(200, R"({"clockOffset":-2,"userID":"owner-9"})"));
    int announced;
    countAnnouncements(controller, this, &announced);
    controller.synchronizeCamera(m_syncPhoto);
    QTRY_COMPARE(announced, 1);
    QCOMPARE(boxes.shown.size(), 1);
    QCOMPARE(boxes.shown[0].said(), "222|Link this computer?|" + question);
    const auto sent = m_service.requestsTo("/syncCamera");
    const QByteArray first = QByteArray(firstRequest).replace(R"("userID":"")", R"("userID":"track-user")");
    QCOMPARE(sent.size(), yes ? 2 : 1);
    QCOMPARE(sent[0].body, first);
    QCOMPARE(sent.last().body, yes ? QByteArray(first).replace(R"("model")", R"("linkUser":true,"model")") : first);
    QCOMPARE(state->userID, yes ? QStringLiteral("owner-9") : QStringLiteral("track-user"));
    QCOMPARE(state->cameras.size(), yes ? 0 : 1); // the owner's list, fetched anew
    Model stored;
    QCOMPARE(stored.load(Model::configFilePath()) ? stored.userID : "not written", yes ? "owner-9" : "not written");
}

void TestSynchronization::failed_data()
{
    QTest::addColumn<QString>("photo");
    QTest::addColumn<int>("status"); // of the service's answers
    QTest::addColumn<int>("tries");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text"); // empty: the photo's path
    // Without EXIF the photo is refused before its code is looked at.
    QTest::newRow("no EXIF, code present") << "no EXIF" << 200 << 0 << 204 << "Cannot read EXIF data" << "";
    QTest::newRow("EXIF, no code") << "no code" << 200 << 0 << 204 << "Cannot read QR code" << "";
    QTest::newRow("202 refusal") << "" << 202 << 1 << 202 << "Too late" << "Code expired";
    QTest::newRow("500, retried") << "" << 500 << 3 << 500 << "Network error"
                                  << QString("Network error (%1) on 1001").arg(int(QNetworkReply::InternalServerError))
                                         + ".\nPlease check that the web service is running or try again later...";
}

// One box; the user, the screen and the saved settings stay as they were.
void TestSynchronization::failed()
{
    QFETCH(QString, photo);
    QFETCH(int, status);
    QFETCH(int, tries);
    QFETCH(int, code);
    QFETCH(QString, title);
    QFETCH(QString, text);
    QString path = m_syncPhoto;
    if (!photo.isEmpty()) {
        path = m_dir.filePath("unreadable.jpg");
        QVERIFY(photo == "no code"
                    ? testsupport::writePhoto(path, testsupport::texturedImage(800, 600, 3), testsupport::cameraTags())
                    : testsupport::writePhoto(path, testsupport::syncPhotoImage(R"({"syncID":"a","elapsedTime":1})")));
    }
    auto state = std::make_shared<Model>();
    auto* client = new controller::RestClient;
    MainController controller(state, client);
    MessageBoxes boxes(controller);
    state->userID = QStringLiteral("user-1");
    m_service.setHandler([status](const testsupport::HttpRequest& request) {
        if (request.path == "/syncCamera")
            return HttpAnswer::json(status, R"({"body":"Code expired","head":"Too late","userID":"other"})");
        return HttpAnswer::json(200, "{}");
    });
    int announced;
    countAnnouncements(controller, this, &announced);
    QSignalSpy screens(&controller, &MainController::screenChanged);
    QSignalSpy started(&controller, &MainController::synchronizationStarted);
    controller.synchronizeCamera(path);
    QCOMPARE(QList<QVariantList>(started), QList<QVariantList>({ { path } }));
    // The photo is read off the GUI thread: the slot returns before anything is decided.
    QCOMPARE(boxes.shown.size(), 0);
    QTRY_COMPARE(announced, 1);
    QCOMPARE(boxes.shown.size(), 1);
    QCOMPARE(boxes.shown[0].said(), QString::number(code) + '|' + title + '|' + (text.isEmpty() ? path : text));
    QCOMPARE(m_service.requestsTo("/syncCamera").size(), tries);
    // No request was started for an unreadable photo, none is on its way.
    QVERIFY(tries > 0 || client->findChildren<QNetworkReply*>().isEmpty());
    QCOMPARE(state->userID, QStringLiteral("user-1"));
    QCOMPARE(screens.size(), 0);
    QCOMPARE(m_service.requestsTo("/getSyncList").size(), 0);
    QVERIFY(!QFile::exists(Model::configFilePath()));
}

QTEST_MAIN(TestSynchronization)
#include "tst_synchronization.moc"
