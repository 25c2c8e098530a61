// The desktop's own use of the web service through the real windows: track
// files dropped on the geotagging page, the synchronization code shown on this
// screen, the phone page on the how-to pages and the settings' Web service tab.

#include <QtTest>

#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMenu>
#include <QPushButton>

#include <quirc.h>

#include <optional>

#include "controller/barcodereader.h"
#include "controller/launcher.h"
#include "controller/maincontroller.h"
#include "view/mainview.h"
#include "view/qrcodewidget.h"
#include "view/servicestatuspage.h"
#include "view/settingsview.h"
#include "view/synccodeview.h"
#include "support/drops.h"
#include "support/fakeservice.h"
#include "support/files.h"
#include "support/messageboxes.h"
#include "support/widgets.h"

using controller::MainController;
using testsupport::FakeService;
using testsupport::HttpAnswer;
using testsupport::MessageBoxes;

namespace {

const char phonePage[] = "http://192.168.7.9:8470/phone";
const QString thisComputerOnly = "The web service listens on this computer only, so a phone cannot open its phone "
                                 "page. For phones on this network: MORE, then \"Let phones on this network reach the "
                                 "web service\".";
const QByteArray status = R"({"phoneName":"Pixel 9","positions":12418,"first":"2026-05-03T07:12:00Z",)"
                          "\"last\":\"2026-05-07T16:40:00Z\",\"phonePageUrls\":[\"http:/" "/192.168.7.9:8470/phone\"]}";

// Stands in for the programs the controller starts: records what it did.
struct FakeLauncher : controller::Launcher {
    explicit FakeLauncher(bool succeeds, QString failing = {}) : succeeds(succeeds), failing(failing) {}
    QStringList log;
    bool succeeds; // a stop, the demo run, the browser
    QString failing; // the systemctl command that fails

    qint64 startDetached(const QString& p, const QStringList& a, const QString&) override { return (log << p + ' ' + a.join(' '), 4242); }
    void run(const QString& program, const QStringList& arguments, QObject*, Done done) override
    {
        log << program + ' ' + arguments.join(' ');
        if (program == "systemctl")
            return done(log.last() != failing, log.last() != failing ? "" : "Failed to connect to bus: No medium found\n");
        done(succeeds, succeeds ? "Demo phone created: 9 positions.\n  userID   u-demo\n  phoneKey k-1\n" : "database is locked\n");
    }
    bool stop(qint64 pid, const QString&) override { return (log << "stop " + QString::number(pid), succeeds); }
    bool openUrl(const QUrl& url) override { return (log << "open " + url.toString(), succeeds); }
};

void trigger(const QWidget& window, const QString& action)
{
    for (QAction* item : window.findChild<QPushButton*>(QStringLiteral("serviceMenuButton"))->menu()->actions())
        if (item->text() == action)
            return item->trigger();
    QFAIL(qPrintable("no menu item " + action));
}

// The service program beside the test, which the controller starts.
QString serviceProgram()
{
    return QCoreApplication::applicationDirPath() + "/kestrel-service";
}

const QString phonesQuestion = "May phones on this network reach the web service? Like every request from the network, "
                               "a phone then needs the account's keys.\n\nOK: phones on this network may reach it. "
                               "Cancel: only this computer reaches it.";

// The text of the one QR code in image, read with the same decoder the
// program uses; empty when there is none.
QByteArray qrText(const QImage& picture)
{
    const QImage gray = picture.convertToFormat(QImage::Format_Grayscale8);
    quirc* decoder = quirc_new();
    QByteArray text;
    if (quirc_resize(decoder, gray.width(), gray.height()) >= 0) {
        uint8_t* buffer = quirc_begin(decoder, nullptr, nullptr);
        for (int y = 0; y < gray.height(); ++y)
            memcpy(buffer + y * gray.width(), gray.constScanLine(y), size_t(gray.width()));
        quirc_end(decoder);
        quirc_code code;
        quirc_data data;
        if (quirc_count(decoder) == 1 && (quirc_extract(decoder, 0, &code), quirc_decode(&code, &data)) == QUIRC_SUCCESS)
            text = QByteArray(reinterpret_cast<const char*>(data.payload), data.payload_len);
    }
    quirc_destroy(decoder);
    return text;
}

} // namespace

class TestDesktopService : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void launcherRun_data();
    void launcherRun();
    void trackDrop_data();
    void trackDrop();
    void codeOnScreen();
    void codeWindowUnlinked_data();
    void codeWindowUnlinked();
    void codeWindowBeside_data();
    void codeWindowBeside();
    void phonePageOnHowTo_data();
    void phonePageOnHowTo();
    void launches_data();
    void launches();
    void userUnit_data();
    void userUnit();
    void serviceTab_data();
    void serviceTab();

private:
    FakeService m_service;
};

void TestDesktopService::initTestCase()
{
    qputenv("TZ", "UTC");
    QVERIFY(m_service.listen());
    qputenv("KESTREL_SERVICE_URL", m_service.baseUrl().toUtf8());
}

void TestDesktopService::init()
{
    QVERIFY(m_service.listen());
    m_service.reset();
    QFile::remove(model::Model::configFilePath());
    QFile::remove(model::Model::preferencesFilePath());
}

void TestDesktopService::trackDrop_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QList<int>>("statuses"); // one answer per request
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("box"); // code, title and text of the message
    QTest::addColumn<QString>("userID");

    const QString summary = "Imported 12,418 positions from 3 May 09:12 to 7 May 18:40 (Europe/Zagreb); 14 points "
                            "skipped: no time";
    const QByteArray imported = QJsonDocument(QJsonObject { { "head", "Track imported" }, { "body", summary }, { "imported", 12418 },
                                                            { "skipped", 14 }, { "userID", "u-new" } }).toJson();
    QTest::newRow("one track, new user") << QStringList { "Alps walk é.gpx" } << QList<int> { 200 } << imported
                                         << "201|Track imported|Alps walk é.gpx\n" + summary << "u-new";
    QTest::newRow("two tracks") << QStringList { "a.csv", "b.kml" } << QList<int> { 200, 200 } << imported
                                << "201|Tracks imported|a.csv\n" + summary + "\n\nb.kml\n" + summary << "u-new";
    QTest::newRow("nothing imported") << QStringList { "log.nmea" } << QList<int> { 202 }
                                      << QByteArray(R"({"head":"Nothing imported","body":"No point has a time."})")
                                      << "204|Track import|log.nmea: Nothing imported\nNo point has a time." << "";
    QTest::newRow("service fails") << QStringList { "t.geojson" } << QList<int> { 500, 500, 500 } << QByteArray("{}")
                                   << "204|Track import|t.geojson: Network error\nNetwork error (401) on 1004.\n"
                                      "Please check that the web service is running or try again later..." << "";
    QTest::newRow("a photo and a track") << QStringList { "DSCF0001.JPG", "b.kml" } << QList<int> { 200 } << imported
                                         << "202|Track import|DSCF0001.JPG is not a track file (GPX, KML, KMZ, GeoJSON, "
                                            "NMEA, CSV or Google Takeout JSON).\n\nb.kml\n" + summary << "u-new";
}

void TestDesktopService::trackDrop()
{
    QFETCH(QStringList, files);
    QFETCH(QList<int>, statuses);
    QFETCH(QByteArray, answer);
    for (int status : statuses)
        m_service.enqueue(HttpAnswer::json(status, answer));

    // Each file's bytes, its name among them, go out as they are.
    const auto content = [](const QString& name) { return "time,lat,lon\n" + name.toUtf8() + QByteArray(3, '\0'); };
    QTemporaryDir folder;
    QStringList paths;
    for (const QString& name : files) {
        paths << folder.filePath(name);
        QVERIFY(testsupport::writeFile(paths.last(), content(name)));
    }

    auto state = std::make_shared<model::Model>();
    MainController controller(state);
    MessageBoxes boxes(controller);
    view::MainView window;
    window.connectController(controller);
    window.changeScreen(controller::GeotagSelectFolder);
    QSignalSpy progress(&controller, &MainController::trackImportProgress);
    QVERIFY(testsupport::dropFiles(testsupport::child(&window, "geotagDropFolderLabel"), paths));

    QTRY_COMPARE(boxes.shown.size(), 1);
    QTEST(boxes.shown[0].said(), "box");
    QTEST(state->userID, "userID");
    const auto requests = m_service.requestsTo("/importTrack");
    QCOMPARE(requests.size(), statuses.size());
    const QString firstSent = files.filter(".JPG").isEmpty() ? files.first() : files.last(); // a photo, first, is not sent
    QCOMPARE(requests[0].method, QByteArray("PUT"));
    QCOMPARE(requests[0].headers.value("kestrel-file-name"), QUrl::toPercentEncoding(firstSent));
    QCOMPARE(requests[0].headers.value("kestrel-user-id"), QByteArray());
    QCOMPARE(requests[0].headers.value("content-type"), QByteArray("application/octet-stream"));
    QCOMPARE(requests[0].body, content(firstSent));
    QCOMPARE(requests.last().body, content(files.last()));
    QCOMPARE(progress.first(), (QVariantList { firstSent, qint64(0), qint64(content(firstSent).size()) }));
    // The client's own count of the bytes sent reaches the whole file.
    const qint64 size = content(firstSent).size();
    QVERIFY2(progress.contains(QVariantList { firstSent, size, size }), qPrintable(QString::number(progress.size())));
    // A second file goes with the identifier the first one brought.
    if (statuses.size() == 2)
        QCOMPARE(requests[1].headers.value("kestrel-user-id"), QByteArray("u-new"));
}

// The code on this screen reads back, with the reader that reads photos,
// as the service's code and an age that runs on; every module is pure
// black or white at any window size.
void TestDesktopService::codeOnScreen()
{
    m_service.setHandler([](const testsupport::HttpRequest&) {
        return HttpAnswer::json(200, R"({"syncID":"code-1","elapsedTime":1500,"validFor":900000})");
    });
    auto state = std::make_shared<model::Model>();
    MainController controller(state);
    state->userID = QStringLiteral("user-1");
    view::MainView window;
    window.connectController(controller);
    window.findChild<QLabel*>(QStringLiteral("showCodeLabel"))->linkActivated(QStringLiteral("#code"));
    view::SyncCodeView* code = window.syncCodeView();
    QTRY_VERIFY(!code->codeWidget()->text().isEmpty());
    QCOMPARE(m_service.requestsTo("/syncCode").value(0).body, QByteArray(R"({"userID":"user-1"})"));
    for (const QSize size : { QSize(260, 330), QSize(900, 1000) }) {
        code->resize(size);
        const QImage shot = code->codeWidget()->grab().toImage().convertToFormat(QImage::Format_Grayscale8);
        for (int y = 0; y < shot.height(); ++y)
            for (int x = 0; x < shot.width(); ++x)
                QVERIFY2(qGray(shot.pixel(x, y)) % 255 == 0, "a module edge is blurred");
        model::PhotoInfo info;
        QVERIFY(controller::BarcodeReader().decode(shot, &info));
        QCOMPARE(info.syncId, QStringLiteral("code-1"));
        QVERIFY(info.elapsedTime >= 1500 && info.elapsedTime < 60000);
    }
    QTRY_VERIFY(QJsonDocument::fromJson(code->payload())["elapsedTime"].toInt() > 1500);
}

void TestDesktopService::codeWindowUnlinked_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QByteArray>("members"); // of the status answer
    QTest::addColumn<QString>("text"); // below the code
    QTest::addColumn<QByteArray>("read"); // from the code
    const QString how = "This computer is not linked to a phone yet.\nOpen the phone page on your phone:\n"
                        + QString(phonePage) + "\nPhotograph the code the phone shows with the camera you want to "
                        "synchronize, then drop that photo here.";
    QTest::newRow("no user, none single") << "" << QByteArray() << how << QByteArray(phonePage);
    QTest::newRow("user unknown") << "merged-away" << QByteArray() << how << QByteArray(phonePage);
    QTest::newRow("no user, this computer only") << "" << QByteArray(R"("listening":"loopback",)")
        << "This computer is not linked to a phone yet.\n" + thisComputerOnly << QByteArray();
}

// Without an account of its own the window shows how to link, the phone
// page as text and code, never an address a phone cannot reach; Escape
// closes it.
void TestDesktopService::codeWindowUnlinked()
{
    QFETCH(QString, user);
    QFETCH(QByteArray, members);
    QFETCH(QByteArray, read);
    QFETCH(QString, text);
    m_service.setHandler([&](const testsupport::HttpRequest& request) {
        if (request.path == "/syncCode")
            return HttpAnswer::json(203, R"({"body":"Synchronize a camera first","head":"Unknown user"})");
        return HttpAnswer::json(200, "{" + members + status.mid(1));
    });
    auto state = std::make_shared<model::Model>();
    MainController controller(state);
    state->userID = user;
    view::MainView window;
    window.connectController(controller);
    window.showSyncCode();
    view::SyncCodeView* code = window.syncCodeView();
    QTRY_COMPARE(code->codeWidget()->text().isEmpty(), read.isEmpty());
    QTRY_COMPARE(testsupport::child<QLabel>(code, "codeInstructions")->text(), text);
    QCOMPARE(qrText(code->codeWidget()->grab().toImage()), read);
    QCOMPARE(code->codeWidget()->isVisible(), !read.isEmpty());
    QTest::keyClick(code, Qt::Key_Escape);
    QVERIFY(!code->isVisible());
}

void TestDesktopService::codeWindowBeside_data()
{
    QTest::addColumn<QRect>("main");
    QTest::addColumn<QRect>("screen");
    QTest::addColumn<QRect>("placed"); // a window of 560 x 640
    const QRect screen(0, 0, 1920, 1080);
    QTest::newRow("right") << QRect(100, 100, 800, 600) << screen << QRect(900, 100, 560, 640);
    QTest::newRow("left") << QRect(1200, 100, 700, 600) << screen << QRect(640, 100, 560, 640);
    QTest::newRow("lifted onto the screen") << QRect(100, 700, 800, 300) << screen << QRect(900, 440, 560, 640);
    QTest::newRow("narrower, left") << QRect(400, 0, 1300, 900) << screen << QRect(0, 0, 400, 640);
    QTest::newRow("screen 2") << QRect(2020, 50, 800, 600) << QRect(1920, 0, 1280, 1024) << QRect(2820, 50, 380, 640);
    QTest::newRow("no room") << screen << screen << QRect(1600, 0, 320, 640);
}

// The code window opens beside the main window, not over it.
void TestDesktopService::codeWindowBeside()
{
    QFETCH(QRect, main);
    QFETCH(QRect, screen);
    QTEST(view::SyncCodeView::besideRect(main, QSize(560, 640), screen), "placed");
    QWidget mainWindow;
    mainWindow.setGeometry(20, 10, 200, 150);
    mainWindow.show();
    view::SyncCodeView code(&mainWindow);
    code.show();
    QVERIFY(!code.frameGeometry().intersects(mainWindow.frameGeometry()));
}

// The how-to page shows the address the service names, never one of this
// computer's own, as text and as a QR code a phone's camera opens; for a
// service on this computer only, why a phone cannot reach it and the menu
// step that changes that.
void TestDesktopService::phonePageOnHowTo_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("url"); // empty: none shown, but text
    QTest::addColumn<QString>("text");
    QTest::newRow("network") << status << phonePage << QString();
    QTest::newRow("loopback ones skipped")
        << QByteArray(R"({"phonePageUrls":["http://127.0.0.1:8470/phone","http://[::1]:8470/phone",)"
                      R"("http://LocalHost:8470/phone","http://127.8.0.3/phone","http://10.0.0.5:8470/phone"]})")
        << "http://10.0.0.5:8470/phone" << QString();
    QTest::newRow("this computer only")
        << QByteArray(R"({"listening":"loopback","userID":"u-1","demo":true,"phonePageUrls":["http://127.0.0.1:8470/phone"]})")
        << QString()
        << "<html><head/><body><p>The web service listens on this computer only; a phone cannot reach it.<br/><span "
           "style=\"font-size:11pt\">For phones on this network: MORE, then \"Let phones on this network reach the web "
           "service\"</span></p></body></html>";
}

void TestDesktopService::phonePageOnHowTo()
{
    QFETCH(QByteArray, answer);
    QFETCH(QString, url);
    m_service.setDefaultAnswer(HttpAnswer::json(200, answer));
    MainController controller;
    QSignalSpy updated(&controller, &MainController::serviceStatusUpdated);
    view::MainView window;
    window.connectController(controller);
    window.changeScreen(controller::HowTo1);
    QTRY_COMPARE(updated.size(), 1);
    const QString shown = window.findChild<QLabel*>(QStringLiteral("label_5"))->text();
    QCOMPARE(window.phonePageUrl(), url);
    QCOMPARE(window.phonePageCodeLabel()->isVisibleTo(&window), !url.isEmpty());
    if (url.isEmpty()) {
        QTEST(shown, "text");
        const auto status = updated[0][0].value<controller::ServiceStatus>();
        QVERIFY(status.userId == "u-1" && status.demo && status.listening == "loopback");
        return;
    }
    QCOMPARE(qrText(window.phonePageCodeLabel()->pixmap(Qt::ReturnByValue).toImage()), url.toUtf8());
    QVERIFY(shown.contains(url));
    QCOMPARE(controller::ServiceStatus().positionsText(), QStringLiteral("no positions yet"));
}

// What the offer to start the service (action empty) and the MORE menu start,
// stop or open, and what they say last. The service starts for phones only
// when the user says so, and the choice is kept; a running one is restarted
// only when Kestrel started it. Demo positions come only when asked for, and
// replace this computer's account only when the user agrees.
void TestDesktopService::launches_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("userID");
    QTest::addColumn<bool>("yes");       // the answer to the question
    QTest::addColumn<bool>("succeeds");  // the stop, the demo run, the browser
    QTest::addColumn<bool>("running");   // the service answers
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<QString>("message");
    const QString port = " --port " + QString::number(m_service.port());
    const QString loopback = serviceProgram() + " serve --address 127.0.0.1" + port;
    const QString network = serviceProgram() + " serve --address 0.0.0.0" + port, demoRun = serviceProgram() + " demo";
    const QString phones = "Let phones on this network reach the web service";
    const QString demo = "Try it with demo positions around Munich", open = "Open the phone page in the browser";
    const QString ready = "Demo positions around Munich are ready: a walk every day from a week ago to tomorrow. Kestrel "
                          "now uses the demo phone's account. Synchronize a camera with the code from MORE, \"Show the "
                          "synchronization code\"; its photos of that time then find positions around Munich.";
    const QString page = m_service.baseUrl() + "phone";
    QTest::newRow("offer, this computer") << "" << "" << false << true << false << QStringList { loopback } << phonesQuestion;
    QTest::newRow("offer, phones too") << "" << "" << true << true << false << QStringList { network } << phonesQuestion;
    QTest::newRow("restart Kestrel's") << phones << "" << true << true << true << QStringList { "stop 77", network } << "";
    QTest::newRow("none runs") << phones << "" << true << false << false << QStringList { "stop 77", network } << "";
    QTest::newRow("another's runs") << phones << "" << true << false << true << QStringList { "stop 77" }
                                    << "Kestrel did not start the web service that runs now, so it cannot restart it. "
                                       "Stop it, then start it with scripts/start-service.sh --network.";
    QTest::newRow("demo") << demo << "" << true << true << true << QStringList { demoRun } << ready;
    QTest::newRow("demo, account replaced") << demo << "u-own" << true << true << true << QStringList { demoRun } << ready;
    QTest::newRow("demo, account kept") << demo << "u-own" << false << true << true << QStringList()
                                        << "This computer then uses the demo phone's account instead of its own. Your "
                                           "own positions stay in the web service; to return to them, synchronize a "
                                           "camera with your phone's code.";
    QTest::newRow("demo fails") << demo << "" << true << false << true << QStringList { demoRun }
                                << "The demo positions could not be made: database is locked";
    QTest::newRow("browser") << open << "" << true << true << true << QStringList { "open " + page } << "";
    QTest::newRow("no browser") << open << "" << true << false << true << QStringList { "open " + page }
                                << "No browser could be opened. Type this address into a browser on this computer: " + page;
}

void TestDesktopService::launches()
{
    QFETCH(QString, action);
    QFETCH(QString, userID);
    QFETCH(bool, yes);
    QFETCH(bool, succeeds);
    QFETCH(bool, running);
    QFETCH(QStringList, log);
    if (!running)
        m_service.stopListening();
    const QString pidFile
        = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/kestrel/kestrel-service.pid";
    QVERIFY(QDir().mkpath(QFileInfo(pidFile).path()) && testsupport::writeFile(pidFile, "77\n"));
    auto state = std::make_shared<model::Model>();
    MainController controller(state);
    state->userID = userID;
    auto* launcher = new FakeLauncher(succeeds);
    controller.setLauncher(std::unique_ptr<controller::Launcher>(launcher));
    MessageBoxes boxes(controller);
    boxes.answerer = [yes](const MessageBoxes::Message& m) { return m.title == "Start the web service?" || yes; };
    view::MainView window;
    window.connectController(controller);
    action.isEmpty() ? controller.requestServiceStatus() : trigger(window, action);
    QTRY_COMPARE(launcher->log, log);
    QTEST(boxes.shown.value(boxes.shown.size() - 1).text, "message");
    const bool adopted = log == QStringList(serviceProgram() + " demo") && succeeds;
    QCOMPARE(state->userID, adopted ? "u-demo" : userID);
    model::Model saved;
    saved.load(model::Model::configFilePath());
    saved.loadPreferences(model::Model::preferencesFilePath());
    QCOMPARE(saved.userID, adopted ? "u-demo" : "");
    QCOMPARE(saved.serviceOnNetwork, log.join(' ').contains("0.0.0.0"));
    QCOMPARE(testsupport::readFile(pidFile), log.join(' ').contains("serve") ? "4242\n" : "77\n");
}

// An installed Kestrel with the service's user unit writes the address and
// port into the unit's options file, the user's other lines kept, then
// enables and restarts the unit; one in a build folder (also beside an
// installed unit) starts the program beside it as before.
void TestDesktopService::userUnit_data()
{
    QTest::addColumn<bool>("unit"); // installed with the user unit
    QTest::addColumn<QString>("action"); // empty: the offer to start it
    QTest::addColumn<bool>("yes"); // phones on this network
    QTest::addColumn<QString>("failing"); // the systemctl command that fails
    QTest::addColumn<QByteArray>("options"); // the options file before
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<QByteArray>("written"); // the options file after
    QTest::addColumn<QString>("message");
    const QString port = " --port " + QString::number(m_service.port());
    const QString enable = "systemctl --user enable kestrel-service.service";
    const QString restart = "systemctl --user restart kestrel-service.service";
    const QString phones = "Let phones on this network reach the web service";
    const QByteArray comment = "# Kestrel writes the next line when it starts the web service; other lines stay.\n";
    const QByteArray before = "# mine\n" + comment + "KESTREL_SERVE_OPTIONS=--port 1\nLANG=C\n";
    const QByteArray after = "# mine\nLANG=C\n" + comment + "KESTREL_SERVE_OPTIONS=--address ";
    const QByteArray local = after + "127.0.0.1" + port.toUtf8() + '\n', all = after + "0.0.0.0" + port.toUtf8() + '\n';
    const QString failed = "systemd could not start the web service: \"systemctl --user %1 kestrel-service.service\" "
                           "failed.\nFailed to connect to bus: No medium found\n\nKestrel started it itself, for now: "
                           "it will not start by itself at the next login.";
    const QString itself = serviceProgram() + " serve --address 0.0.0.0" + port;
    const QByteArray large(70000, '#');
    QTest::newRow("build, this computer") << false << "" << false << "" << before
        << QStringList { serviceProgram() + " serve --address 127.0.0.1" + port } << before << phonesQuestion;
    QTest::newRow("build, network") << false << "" << true << "" << before
        << QStringList { serviceProgram() + " serve --address 0.0.0.0" + port } << before << phonesQuestion;
    QTest::newRow("build, phones reach it") << false << phones << true << "" << before
        << QStringList { "stop 77", serviceProgram() + " serve --address 0.0.0.0" + port } << before << "";
    QTest::newRow("unit, this computer") << true << "" << false << "" << before << QStringList { enable, restart }
                                         << local << phonesQuestion;
    QTest::newRow("unit, network") << true << "" << true << "" << QByteArray() << QStringList { enable, restart }
                                   << comment + "KESTREL_SERVE_OPTIONS=--address 0.0.0.0" + port.toUtf8() + '\n'
                                   << phonesQuestion;
    QTest::newRow("unit, phones reach it") << true << phones << true << "" << before << QStringList { enable, restart }
                                           << all << "";
    QTest::newRow("unit, no session bus") << true << "" << true << enable << before << QStringList { enable, itself }
                                          << all << failed.arg("enable");
    QTest::newRow("unit, restart fails") << true << phones << true << restart << before
                                         << QStringList { enable, restart, itself } << all << failed.arg("restart");
    QTest::newRow("unit, options file too large") << true << phones << true << "" << large << QStringList() << large
        << "Kestrel could not set the web service's address and port: " + controller::ServiceInstall::optionsFile()
               + " is larger than 64 KB; Kestrel leaves it alone.";
}

void TestDesktopService::userUnit()
{
    QFETCH(bool, unit);
    QFETCH(QString, action);
    QFETCH(bool, yes);
    QFETCH(QByteArray, options);
    QFETCH(QStringList, log);
    QFETCH(QString, failing);
    const bool running = !action.isEmpty();
    if (!running)
        m_service.stopListening();
    const QString pidFile
        = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/kestrel/kestrel-service.pid";
    QVERIFY(QDir().mkpath(QFileInfo(pidFile).path()) && testsupport::writeFile(pidFile, "77\n"));
    const QString optionsFile = controller::ServiceInstall::optionsFile();
    QFile::remove(optionsFile);
    QDir().mkpath(QFileInfo(optionsFile).path());
    QVERIFY(options.isEmpty() || testsupport::writeFile(optionsFile, options));
    // The unit stands in a folder of the test's own; the program's folder is
    // the install's one only when installed.
    QTemporaryDir install;
    QVERIFY(testsupport::writeFile(install.filePath("kestrel-service.service"), "[Unit]\n"));
    const QString folder = QCoreApplication::applicationDirPath();
    MainController controller;
    controller.setServiceInstall({ folder, unit ? folder : install.path(), install.filePath("kestrel-service.service") });
    auto* launcher = new FakeLauncher(true, failing);
    controller.setLauncher(std::unique_ptr<controller::Launcher>(launcher));
    MessageBoxes boxes(controller);
    boxes.answerer = [yes](const MessageBoxes::Message& m) { return m.title == "Start the web service?" || yes; };
    view::MainView window;
    window.connectController(controller);
    const int asked = m_service.requestsTo("/serviceStatus").size();
    action.isEmpty() ? controller.requestServiceStatus() : trigger(window, action);
    QTRY_COMPARE(launcher->log, log);
    QTEST(boxes.shown.value(boxes.shown.size() - 1).text, "message");
    QTEST(testsupport::readFile(optionsFile), "written");
    QCOMPARE(testsupport::readFile(pidFile), log.join(' ').contains(" serve ") ? "4242\n" : "77\n");
    // Once systemd started it, the service is asked for its status again.
    if (unit && running && failing.isEmpty() && !log.isEmpty())
        QTRY_COMPARE(m_service.requestsTo("/serviceStatus").size(), asked + 1);
}

void TestDesktopService::serviceTab_data()
{
    QTest::addColumn<int>("answer"); // 0: the service is not running
    QTest::addColumn<QByteArray>("members"); // of the answer, besides the status
    QTest::addColumn<QString>("user"); // this computer's
    QTest::addColumn<QStringList>("shown"); // after the service's address
    QTest::addColumn<QString>("help"); // title and text of "Link to ... phone..."
    const QString span = "12,418 positions from 3 May 2026 07:12 to 7 May 2026 16:40 (UTC)";
    const QString how = "On the phone, open the phone page:\nhttp://192.168.7.9:8470/phone\n\nPhotograph the "
                        "synchronization code it shows with your camera and drop that photo on the page \"Synchronize "
                        "your camera\", or choose it there. Use a fresh code: one the phone showed less than 15 "
                        "minutes before.";
    QTest::newRow("linked") << 200 << QByteArray(R"("userID":"u-9",)") << "u-9"
                            << QStringList { "yes", "the phone 'Pixel 9', account u-9", span }
                            << "Link to another phone|" + how + "\n\nKestrel asks before it links this computer to "
                               "that phone; the positions and cameras kept for this computer then move to it.";
    QTest::newRow("demo, this computer only") << 200 << QByteArray(R"("demo":true,"listening":"loopback","userID":"d-1",)")
        << "d-1" << QStringList { "yes", "the phone 'Pixel 9' (demo positions), account d-1", span }
        << "Link to another phone|" + thisComputerOnly;
    const QString unlinked = "This computer is not linked to a phone yet.";
    QTest::newRow("not linked") << 200 << QByteArray(R"("userID":"u-9",)") << "" << QStringList { "yes", unlinked, span }
                                << "Link to a phone|" + how;
    QTest::newRow("an older service") << 404 << QByteArray() << "u-9" << QStringList { "yes; it does not know this "
                                      "request (HTTP status 404)", "unknown", "" } << "";
    QTest::newRow("refused") << 204 << QByteArray(R"("head":"Web service","body":"The database is locked.",)") << "u-9"
                             << QStringList { "yes; The database is locked.", "unknown", "" } << "";
    QTest::newRow("not running") << 0 << QByteArray() << "" << QStringList { "no", unlinked, "" } << "";
}

// The tab says what the service holds for this computer, tells how to link
// it and forgets the link after asking: the service keeps the data.
void TestDesktopService::serviceTab()
{
    QFETCH(int, answer);
    QFETCH(QByteArray, members);
    QFETCH(QString, user);
    QFETCH(QStringList, shown);
    QFETCH(QString, help);
    const bool running = answer != 0;
    m_service.setDefaultAnswer(HttpAnswer::json(answer, "{" + members + status.mid(1)));
    if (!running)
        m_service.stopListening();
    auto state = std::make_shared<model::Model>();
    MainController controller(state);
    state->userID = user;
    state->cameras.append({ QStringLiteral("X-T3"), QStringLiteral("SN1"), {} });
    MessageBoxes boxes(controller);
    view::SettingsView settings;
    settings.connectController(controller);
    QSignalSpy updated(&controller, &MainController::serviceStatusUpdated);
    settings.findChild<QPushButton*>(QStringLiteral("serviceButton"))->click();
    QTRY_COMPARE(updated.size(), 1);
    QCOMPARE(settings.serviceStatusPage()->shownTexts(), QStringList { m_service.baseUrl() } + shown);
    auto* start = settings.findChild<QPushButton*>(QStringLiteral("startServiceButton"));
    auto* forget = settings.findChild<QPushButton*>(QStringLiteral("forgetLinkButton"));
    QCOMPARE(start->isVisibleTo(&settings), !running);
    QCOMPARE(forget->isVisibleTo(&settings), !user.isEmpty());
    QCOMPARE(boxes.shown.size(), running ? 0 : 3);
    if (!running) {
        // The offer to start the local service, accepted; but no service
        // program stands beside the test: said so, not hidden.
        QCOMPARE(boxes.shown[0].code, 222);
        QCOMPARE(boxes.shown[2].text, QStringLiteral("The web service program was not found beside Kestrel. Start it "
                                                     "with scripts/start-service.sh --network."));
        start->click();
        QCOMPARE(settings.serviceStatusPage()->shownTexts()[1], QStringLiteral("no; the service program could not be started"));
    }
    if (help.isEmpty())
        return;
    settings.findChild<QPushButton*>(QStringLiteral("linkButton"))->click();
    QCOMPARE(boxes.shown.value(0).title + '|' + boxes.shown.value(0).text, help);
    if (user.isEmpty())
        return;
    boxes.answerer = [&](const MessageBoxes::Message&) { return boxes.shown.size() > 2; }; // no, then yes
    forget->click();
    QCOMPARE(state->userID, user);
    forget->click();
    QCOMPARE(boxes.shown[2].title, QStringLiteral("Forget this link?"));
    QVERIFY(state->userID.isEmpty() && state->cameras.isEmpty());
    model::Model stored;
    QVERIFY(stored.load(model::Model::configFilePath()) && stored.userID.isEmpty());
    QCOMPARE(controller.currentScreen(), controller::HowTo1);
    QCOMPARE(settings.result(), int(QDialog::Accepted));
}

// The launcher runs a program to its end: success only for exit code 0
// after a normal exit, with the program's output, or why it did not start.
void TestDesktopService::launcherRun_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("script");
    QTest::addColumn<bool>("succeeded");
    QTest::addColumn<QByteArray>("output");
    QTest::newRow("exit 0") << "/bin/sh" << "echo done; echo told >&2" << true << QByteArray("done\ntold\n");
    QTest::newRow("exit 3") << "/bin/sh" << "echo failed; exit 3" << false << QByteArray("failed\n");
    QTest::newRow("killed") << "/bin/sh" << "echo killed; kill -9 $$" << false << QByteArray("killed\n");
    QTest::newRow("no such program") << "/nonexistent/kestrel-service" << "" << false << QByteArray("execvp: "); // then the system's words
}

void TestDesktopService::launcherRun()
{
    QFETCH(QString, program);
    QFETCH(QString, script);
    controller::Launcher launcher;
    QObject context;
    std::optional<std::pair<bool, QByteArray>> outcome;
    launcher.run(program, { "-c", script }, &context, [&outcome](bool succeeded, QByteArray output) {
        outcome = std::make_pair(succeeded, output);
    });
    QTRY_VERIFY_WITH_TIMEOUT(outcome.has_value(), 10000);
    QTEST(outcome->first, "succeeded");
    QFETCH(QByteArray, output);
    if (output.endsWith(": "))
        QVERIFY2(outcome->second.startsWith(output) && outcome->second.size() > output.size(), outcome->second);
    else
        QCOMPARE(outcome->second, output);
}

QTEST_MAIN(TestDesktopService)
#include "tst_desktopservice.moc"
