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
                               "\"timeZoneTime\":\"2026-03-01 10:00:00\"}]}],\"phoneName\":\"Pixel 10\"}";
const char networkTail[] = ".\nPlease check that the web service is running or try again later...";

// "phone: name(syncIds) ...", the whole of a camera list in one line.
QString describe(const model::CameraList& list)
{
    QString text = list.phoneName + QLatin1Char(':');
    for (const model::Camera& camera : list) {
        QStringList ids;
        for (const model::Synchronization& synchronization : camera.synchronizations)
            ids << synchronization.syncId;
        text += QStringLiteral(" %1(%2)").arg(camera.name, ids.join(QLatin1Char(' ')));
    }
    return text;
}

// Counts the camera lists a controller announces.
struct Announced {
    explicit Announced(MainController& controller)
    {
        QObject::connect(&controller, &MainController::camerasUpdated, &receiver,
                         [this](model::CameraList& cameras) { lists << describe(cameras); });
    }
    int size() const { return lists.size(); }
    QObject receiver;
    QStringList lists;
};

} // namespace

class TestCameraList : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY(m_service.listen());
        qputenv("KESTREL_SERVICE_URL", m_service.baseUrl().toUtf8());
    }

    void init()
    {
        m_service.reset();
        QFile::remove(Model::configFilePath());
    }

    void listAnswers_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body"); // empty: a JSON envelope of texts
        QTest::addColumn<int>("tries");
        QTest::addColumn<QString>("list"); // the model's list afterwards
        QTest::addColumn<int>("shownCode"); // -1: no message
        QTest::addColumn<QString>("message"); // its title and text, a line apart
        QTest::addColumn<bool>("forgetsUser");
        const QString kept = QStringLiteral("Pixel 10: EOS R(c1)");
        const QString failed = QStringLiteral("Network error\n");

        QTest::newRow("200") << 200 << twoCameras << 1 << "Pixel 9: X-T3(s1 s2) Z 6()" << -1 << "" << false;
        QTest::newRow("201 without members") << 201 << QByteArray(R"({"body":"All fine","head":"Welcome"})") << 1
                                             << "Unknown:" << 201 << "Welcome\nAll fine" << false;
        // The user is unknown to the service: the list goes, and the user with it.
        QTest::newRow("203 unknown user") << 203 << QByteArray(R"({"body":"Please synchronize again","head":"Unknown user"})")
                                          << 1 << "Pixel 10:" << 203 << "Unknown user\nPlease synchronize again" << true;
        // A refusal keeps the list. A 204 answer has no body in HTTP; its texts
        // arrive as headers.
        QTest::newRow("204") << 204 << QByteArray() << 1 << kept << 204 << "Busy\nTry later" << false;
        // Failed transfers keep the list too (tst_restclient tries refusals and
        // oversized answers, tst_servicemessages their texts).
        QTest::newRow("500, retried") << 500 << QByteArray() << 3 << kept << 500
                                      << failed + QString("Network error (%1) on 1000").arg(int(QNetworkReply::InternalServerError))
                                             + networkTail << false;
        QTest::newRow("200, not JSON") << 200 << QByteArray("<html>Portal login</html>") << 1 << kept << 0
                                       << failed + "Network error (invalid answer) on 1000" + networkTail << false;
    }

    // The camera list as asked for from the menu or the settings dialog: what
    // each answer makes of the list, the user and the screen.
    void listAnswers()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(int, shownCode);
        QFETCH(bool, forgetsUser);
        {
            auto state = std::make_shared<Model>();
            MainController controller(state);
            MessageBoxes boxes(controller);
            state->userID = QStringLiteral("user-1");
            QVERIFY(state->save(Model::configFilePath()));
            loadList(controller, otherCamera);
            m_service.setDefaultAnswer(
                HttpAnswer::json(status, body.isEmpty() ? R"({"body":"Try later","head":"Busy","cameras":[]})" : body));
            Announced updated(controller);
            QSignalSpy started(&controller, &MainController::requestSynchronizationsStarted);
            QSignalSpy screens(&controller, &MainController::screenChanged);
            controller.requestCameraSynchronizations();
            QCOMPARE(started.size(), 1);
            QCOMPARE(updated.size(), 0);
            QTRY_COMPARE(updated.size(), 1);

            const auto requests = m_service.requests();
            QTEST(requests.size(), "tries");
            for (const testsupport::HttpRequest& request : requests) {
                QCOMPARE(request.method + ' ' + request.path, QByteArray("PUT /getSyncList"));
                QCOMPARE(request.body, QByteArray(R"({"userID":"user-1"})"));
            }
            QTEST(describe(state->cameras), "list");
            QCOMPARE(boxes.shown.size(), shownCode < 0 ? 0 : 1);
            if (shownCode >= 0) {
                QCOMPARE(boxes.shown[0].code, shownCode);
                QTEST(boxes.shown[0].title + '\n' + boxes.shown[0].text, "message");
            }
            QCOMPARE(state->userID, forgetsUser ? QString() : QStringLiteral("user-1"));
            QCOMPARE(screens.size(), forgetsUser ? 1 : 0);
            if (forgetsUser)
                QCOMPARE(screens[0][0].value<controller::Screen>(), controller::HowTo1);
            // Stored when the controller goes, not before.
            Model stored;
            QVERIFY(stored.load(Model::configFilePath()));
            QCOMPARE(stored.userID, QStringLiteral("user-1"));
        }
        Model stored;
        QVERIFY(stored.load(Model::configFilePath()));
        QCOMPARE(stored.userID.isEmpty(), forgetsUser);
    }

    void removal_data()
    {
        QTest::addColumn<bool>("confirmed");
        QTest::addColumn<int>("status"); // of the removal
        QTest::addColumn<QStringList>("requests"); // before the list is asked for once more
        QTest::addColumn<QString>("list");         // the model's list afterwards
        QTest::addColumn<QString>("error");        // the second message, if any

        const QString two = QStringLiteral("Pixel 9: X-T3(s1 s2) Z 6()");
        QTest::newRow("two synchronizations") << true << 200 << QStringList{"/removeCamera", "/getSyncList"}
                                              << "Pixel 10: EOS R(c1)" << "";
        QTest::newRow("cancelled") << false << 200 << QStringList{} << two << "";
        // The unchanged list is announced again, so a view that hid the camera shows it.
        QTest::newRow("failed") << true << 503 << QStringList{"/removeCamera", "/removeCamera", "/removeCamera"} << two
                                << QString("Network error (%1) on 1002").arg(int(QNetworkReply::ServiceUnavailableError))
                                       + networkTail;
    }

    void removal()
    {
        QFETCH(bool, confirmed);
        QFETCH(int, status);
        QFETCH(QStringList, requests);
        QFETCH(QString, list);
        QFETCH(QString, error);
        auto state = std::make_shared<Model>();
        MainController controller(state);
        MessageBoxes boxes(controller);
        boxes.answer = confirmed;
        state->userID = QStringLiteral("user-1");
        loadList(controller, twoCameras);
        m_service.setDefaultAnswer(HttpAnswer::json(status, "{}"));
        if (status == 200) {
            m_service.enqueue(HttpAnswer::json(200, "{}"));
            m_service.enqueue(HttpAnswer::json(200, otherCamera));
        }
        Announced updated(controller);
        controller.requestRemoveCamera(state->cameras[0]);
        // The question names the camera and says what removing it means.
        QCOMPARE(boxes.shown.value(0).title, QStringLiteral("Do you really want to remove the camera X-T3?"));
        QCOMPARE(boxes.shown[0].text, QStringLiteral("Kestrel forgets its synchronizations: its photos cannot be "
                                                     "geotagged until it is synchronized again."));
        QTRY_COMPARE(updated.size(), confirmed ? 1 : 0);
        QCOMPARE(updated.lists.value(0, describe(state->cameras)), list);
        QCOMPARE(describe(state->cameras), list);
        QCOMPARE(boxes.shown.size(), error.isEmpty() ? 1 : 2);
        if (!error.isEmpty())
            QCOMPARE(boxes.shown[1].text, error);
        // A list asked for afterwards shows what went to the service before it.
        m_service.enqueue(HttpAnswer::json(200, otherCamera));
        controller.requestCameraSynchronizations();
        QTRY_COMPARE(updated.size(), confirmed ? 2 : 1);
        QStringList sent;
        for (const testsupport::HttpRequest& request : m_service.requests())
            sent << QString::fromLatin1(request.path);
        QCOMPARE(sent, requests + QStringList{"/getSyncList"});
        if (confirmed)
            QCOMPARE(m_service.requests()[0].body, QByteArray(R"({"synchronizations":["s1","s2"],"userID":"user-1"})"));
    }

    void removalCameraRebuiltWhileAsking()
    {
        auto state = std::make_shared<Model>();
        MainController controller(state);
        MessageBoxes boxes(controller);
        loadList(controller, twoCameras);
        // While the question is open, a camera-list answer replaces the list that
        // holds the camera being asked about.
        boxes.answerer = [&](const MessageBoxes::Message&) {
            m_service.enqueue(HttpAnswer::json(200, otherCamera));
            Announced updated(controller);
            controller.requestCameraSynchronizations();
            return QTest::qWaitFor([&] { return updated.size() == 1; }, 5000);
        };
        m_service.enqueue(HttpAnswer::json(500, "{}"));
        controller.requestRemoveCamera(state->cameras[0]);
        QCOMPARE(describe(state->cameras), QStringLiteral("Pixel 10: EOS R(c1)"));
        QTRY_COMPARE(m_service.requestsTo("/removeCamera").size(), 1);
        QCOMPARE(m_service.requestsTo("/removeCamera")[0].body, QByteArray(R"({"synchronizations":["s1","s2"],"userID":""})"));
    }

private:
    // Fills the model's list through a real answer.
    void loadList(MainController& controller, const QByteArray& answer)
    {
        m_service.enqueue(HttpAnswer::json(200, answer));
        Announced updated(controller);
        controller.requestCameraSynchronizations();
        QTRY_COMPARE(updated.size(), 1);
        m_service.reset();
    }

    FakeService m_service;
};

QTEST_MAIN(TestCameraList)
#include "tst_cameralist.moc"
