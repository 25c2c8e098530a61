#include <QtTest>

#include <QFile>
#include <QSignalSpy>

#include "controller/maincontroller.h"
#include "model/model.h"
#include "support/fakeservice.h"
#include "support/messageboxes.h"

using controller::MainController;
using model::Model;
using testsupport::FakeService;
using testsupport::HttpAnswer;
using testsupport::MessageBoxes;

namespace {

const QByteArray twoCameras = "{\"cameras\":[{\"cameraName\":\"X-T3\",\"serial\":\"SN1\",\"synchronizations\":["
                              "{\"syncId\":\"s1\",\"timeZone\":\"+02:00\",\"timeZoneName\":\"CEST\","
                              "\"timeZoneTime\":\"2026-07-14 12:00:00\"},"
                              "{\"syncId\":\"s2\",\"timeZone\":\"+01:00\",\"timeZoneName\":\"CET\","
                              "\"timeZoneTime\":\"2026-01-14 12:00:00\"}]},"
                              "{\"cameraName\":\"Z 6\",\"serial\":\"Z9\",\"synchronizations\":[]}],"
                              "\"phoneName\":\"Pixel 9\"}";
const QByteArray otherCamera = "{\"cameras\":[{\"cameraName\":\"EOS R\",\"serial\":\"C1\",\"synchronizations\":["
                               "{\"syncId\":\"c1\",\"timeZone\":\"+00:00\",\"timeZoneName\":\"GMT\","
                               "\"timeZoneTime\":\"2026-03-01 10:00:00\"}]}],\"phoneName\":\"Pixel 9\"}";
const char networkTail[] = ".\nPlease check that the web service is running or try again later...";

void expectOneBox(const MessageBoxes& boxes, int code, const QString& title, const QString& text)
{
    QCOMPARE(boxes.shown.size(), 1);
    QCOMPARE(boxes.shown[0].code, code);
    QCOMPARE(boxes.shown[0].title, title);
    QCOMPARE(boxes.shown[0].text, text);
}

QStringList cameraNames(const model::CameraList& list)
{
    QStringList names;
    for (const model::Camera& camera : list)
        names.append(camera.name);
    return names;
}

// Records the camera lists a controller announces, by camera names.
struct Announced {
    explicit Announced(MainController& controller)
    {
        QObject::connect(&controller, &MainController::camerasUpdated, &receiver,
                         [this](model::CameraList& cameras) { lists.append(cameraNames(cameras)); });
    }
    int size() const { return lists.size(); }
    QObject receiver;
    QList<QStringList> lists;
};

} // namespace

class TestCameraList : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void listAnswered();
    void listWithoutMembers();
    void unknownUserFromSettingsDialog();
    void listKept_data();
    void listKept();
    void removalConfirmed_data();
    void removalConfirmed();
    void removalCancelled();
    void removalFailed();
    void removalCameraRebuiltWhileAsking();

private:
    // Fills the model's list with two cameras through a real answer.
    void loadTwoCameras(MainController& controller);
    FakeService service;
};

void TestCameraList::initTestCase()
{
    QVERIFY(service.listen());
    qputenv("KESTREL_SERVICE_URL", service.baseUrl().toUtf8());
    QCOMPARE(Model::baseUrl(), service.baseUrl());
}

void TestCameraList::init()
{
    QVERIFY(service.listen());
    service.reset();
    QFile::remove(Model::configFilePath());
}

void TestCameraList::loadTwoCameras(MainController& controller)
{
    service.enqueue(HttpAnswer::json(200, twoCameras));
    Announced updated(controller);
    controller.requestCameraSynchronizations();
    QTRY_COMPARE(updated.size(), 1);
    QCOMPARE(controller.modelRef().cameras.size(), 2);
    service.reset();
}

void TestCameraList::listAnswered()
{
    MainController controller;
    MessageBoxes boxes(controller);
    controller.modelRef().userID = QStringLiteral("user-1");
    service.enqueue(HttpAnswer::json(200, twoCameras, 30));
    QSignalSpy started(&controller, &MainController::requestSynchronizationsStarted);
    Announced updated(controller);
    controller.requestCameraSynchronizations();
    QCOMPARE(started.size(), 1);
    QCOMPARE(updated.size(), 0);
    QTRY_COMPARE(updated.size(), 1);

    const auto requests = service.requestsTo("/getSyncList");
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests[0].method, QByteArray("PUT"));
    QCOMPARE(requests[0].body, QByteArray(R"({"userID":"user-1"})"));
    QCOMPARE(requests[0].headers.value("content-type"), QByteArray("application/json"));

    const model::CameraList& cameras = controller.modelRef().cameras;
    QCOMPARE(cameras.phoneName, QStringLiteral("Pixel 9"));
    QCOMPARE(cameraNames(cameras), (QStringList { "X-T3", "Z 6" }));
    QCOMPARE(cameras[0].synchronizations.size(), 2);
    QCOMPARE(cameras[0].synchronizations[1].syncId, QStringLiteral("s2"));
    QVERIFY(cameras[1].synchronizations.isEmpty());
    QVERIFY(boxes.shown.isEmpty());
}

void TestCameraList::listWithoutMembers()
{
    MainController controller;
    MessageBoxes boxes(controller);
    loadTwoCameras(controller);
    service.enqueue(HttpAnswer::json(201, R"({"body":"All fine","head":"Welcome"})"));
    Announced updated(controller);
    controller.requestCameraSynchronizations();
    QTRY_COMPARE(updated.size(), 1);
    QVERIFY(controller.modelRef().cameras.isEmpty());
    QCOMPARE(controller.modelRef().cameras.phoneName, QStringLiteral("Unknown"));
    expectOneBox(boxes, 201, "Welcome", "All fine");
}

void TestCameraList::unknownUserFromSettingsDialog()
{
    {
        MainController controller;
        MessageBoxes boxes(controller);
        controller.modelRef().userID = QStringLiteral("gone");
        QVERIFY(controller.modelRef().save(Model::configFilePath()));
        loadTwoCameras(controller);

        service.enqueue(HttpAnswer::json(203, R"({"body":"Please synchronize again","head":"Unknown user"})"));
        QSignalSpy screens(&controller, &MainController::screenChanged);
        Announced updated(controller);
        controller.requestCameraSynchronizations(); // the settings dialog's camera tab
        QTRY_COMPARE(updated.size(), 1);
        expectOneBox(boxes, 203, "Unknown user", "Please synchronize again");
        QVERIFY(controller.modelRef().cameras.isEmpty());
        QVERIFY(controller.modelRef().userID.isEmpty());
        QCOMPARE(controller.currentScreen(), controller::HowTo1);
        QCOMPARE(screens.size(), 1);
        QCOMPARE(screens[0][0].value<controller::Screen>(), controller::HowTo1);

        // Not saved yet: the file still names the old user.
        Model stored;
        QVERIFY(stored.load(Model::configFilePath()));
        QCOMPARE(stored.userID, QStringLiteral("gone"));
    }
    Model stored;
    QVERIFY(stored.load(Model::configFilePath()));
    QCOMPARE(stored.userID, QString());
    MainController next;
    next.start();
    QCOMPARE(next.currentScreen(), controller::HowTo1);
}

void TestCameraList::listKept_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("refuse");
    QTest::addColumn<int>("tries");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("body"); // empty: a JSON envelope
    QTest::addColumn<int>("shownCode");
    QTest::newRow("202") << 202 << false << 1 << "Busy" << "Try later" << QByteArray() << 202;
    // A 204 answer has no body in HTTP; its texts arrive as headers.
    QTest::newRow("204") << 204 << false << 1 << "Busy" << "Try later" << QByteArray() << 204;
    QTest::newRow("500, retried") << 500 << false << 3 << "Network error"
                                  << QString("Network error (%1) on 1000").arg(int(QNetworkReply::InternalServerError))
                                         + networkTail
                                  << QByteArray() << 500;
    QTest::newRow("refused") << 0 << true << 0 << "Network error" << QString("Network error (1) on 1000") + networkTail
                             << QByteArray() << 0;
    QTest::newRow("200, not JSON") << 200 << false << 1 << "Network error"
                                   << QString("Network error (invalid answer) on 1000") + networkTail
                                   << QByteArray("<html>Portal login</html>") << 0;
    QTest::newRow("200, over 8 MB") << 200 << false << 1 << "Network error"
                                    << QString("Network error (answer larger than 8 MB) on 1000") + networkTail
                                    << "{\"cameras\":[" + QByteArray(9 << 20, ' ') + "]}" << 0;
}

void TestCameraList::listKept()
{
    QFETCH(int, status);
    QFETCH(bool, refuse);
    QFETCH(int, tries);
    QFETCH(QString, title);
    QFETCH(QString, text);
    QFETCH(QByteArray, body);
    QFETCH(int, shownCode);
    MainController controller;
    MessageBoxes boxes(controller);
    controller.modelRef().userID = QStringLiteral("user-1");
    loadTwoCameras(controller);
    service.setDefaultAnswer(
        HttpAnswer::json(status, body.isEmpty() ? R"({"body":"Try later","head":"Busy","cameras":[]})" : body));
    if (refuse)
        service.stopListening();
    Announced updated(controller);
    QSignalSpy screens(&controller, &MainController::screenChanged);
    controller.requestCameraSynchronizations();
    QTRY_COMPARE(updated.size(), 1);
    QCOMPARE(service.requests().size(), tries);
    expectOneBox(boxes, shownCode, title, text);
    QCOMPARE(cameraNames(controller.modelRef().cameras), (QStringList { "X-T3", "Z 6" }));
    QCOMPARE(controller.modelRef().userID, QStringLiteral("user-1"));
    QCOMPARE(screens.size(), 0);
}

void TestCameraList::removalConfirmed_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("two synchronizations") << 0 << QByteArray(R"({"synchronizations":["s1","s2"],"userID":"user-1"})");
    QTest::newRow("none") << 1 << QByteArray("null");
}

void TestCameraList::removalConfirmed()
{
    QFETCH(int, index);
    QFETCH(QByteArray, body);
    MainController controller;
    MessageBoxes boxes(controller);
    controller.modelRef().userID = QStringLiteral("user-1");
    loadTwoCameras(controller);
    service.enqueue(HttpAnswer::json(200, "{}"));
    service.enqueue(HttpAnswer::json(200, otherCamera));
    Announced updated(controller);
    controller.requestRemoveCamera(controller.modelRef().cameras[index]);
    // The question names the camera and says what removing it means.
    expectOneBox(boxes, 222,
                 index == 0 ? "Do you really want to remove the camera X-T3?"
                            : "Do you really want to remove the camera Z 6?",
                 "Kestrel forgets its synchronizations: its photos cannot be geotagged until it is synchronized again.");
    QTRY_COMPARE(updated.size(), 1);
    const auto requests = service.requests();
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests[0].path, QByteArray("/removeCamera"));
    QCOMPARE(requests[0].body, body);
    QCOMPARE(requests[1].path, QByteArray("/getSyncList"));
    QCOMPARE(requests[1].body, QByteArray(R"({"userID":"user-1"})"));
    QCOMPARE(cameraNames(controller.modelRef().cameras), QStringList { "EOS R" });
    QCOMPARE(boxes.shown.size(), 1);
}

void TestCameraList::removalCancelled()
{
    MainController controller;
    MessageBoxes boxes(controller);
    loadTwoCameras(controller);
    boxes.answer = false;
    Announced updated(controller);
    QSignalSpy started(&controller, &MainController::requestSynchronizationsStarted);
    controller.requestRemoveCamera(controller.modelRef().cameras[0]);
    QCOMPARE(boxes.shown.size(), 1);
    QTest::qWait(50);
    QCOMPARE(service.requests().size(), 0);
    QCOMPARE(updated.size(), 0);
    QCOMPARE(started.size(), 0);
    QCOMPARE(controller.modelRef().cameras.size(), 2);
}

void TestCameraList::removalFailed()
{
    MainController controller;
    MessageBoxes boxes(controller);
    loadTwoCameras(controller);
    service.setDefaultAnswer(HttpAnswer::json(503, "{}"));
    QList<QStringList> announced;
    connect(&controller, &MainController::camerasUpdated, this,
            [&](model::CameraList& cameras) { announced.append(cameraNames(cameras)); });
    controller.requestRemoveCamera(controller.modelRef().cameras[0]);
    QTRY_COMPARE(announced.size(), 1);
    QCOMPARE(service.requestsTo("/removeCamera").size(), 3);
    QCOMPARE(service.requestsTo("/getSyncList").size(), 0);
    QCOMPARE(boxes.shown.size(), 2);
    QCOMPARE(boxes.shown[1].code, 503);
    QCOMPARE(boxes.shown[1].text, QString("Network error (%1) on 1002").arg(int(QNetworkReply::ServiceUnavailableError)) + networkTail);
    // The unchanged list is announced again, so a view that hid the camera shows it.
    QCOMPARE(announced[0], (QStringList { "X-T3", "Z 6" }));
}

void TestCameraList::removalCameraRebuiltWhileAsking()
{
    MainController controller;
    MessageBoxes boxes(controller);
    loadTwoCameras(controller);
    // While the question is open, a camera-list answer replaces the list that
    // holds the camera being asked about.
    boxes.answerer = [&](const MessageBoxes::Message&) {
        service.enqueue(HttpAnswer::json(200, otherCamera));
        Announced updated(controller);
        controller.requestCameraSynchronizations();
        return QTest::qWaitFor([&] { return updated.size() == 1; }, 5000);
    };
    service.enqueue(HttpAnswer::json(500, "{}"));
    controller.requestRemoveCamera(controller.modelRef().cameras[0]);
    QCOMPARE(cameraNames(controller.modelRef().cameras), QStringList { "EOS R" });
    QTRY_COMPARE(service.requestsTo("/removeCamera").size(), 1);
    QCOMPARE(service.requestsTo("/removeCamera")[0].body, QByteArray(R"({"synchronizations":["s1","s2"],"userID":""})"));
}

QTEST_MAIN(TestCameraList)
#include "tst_cameralist.moc"
