#include <QtTest>

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QTableWidget>
#include <QTemporaryDir>

#include "controller/maincontroller.h"
#include "model/model.h"
#include "support/fakeservice.h"
#include "support/photos.h"
#include "view/cameraframe.h"
#include "view/mainview.h"

using controller::MainController;
using testsupport::FakeService;
using testsupport::HttpAnswer;
using testsupport::HttpRequest;

// A first-time user's whole way through the real main window against a fake
// web service on 127.0.0.1: the how-to pages, synchronizing a camera from a
// photo of the synchronization code, geotagging a folder, the results table
// and the detail dialog of one photo.
class TestUserJourney : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void firstStartToResults();

private:
    static HttpAnswer answer(const HttpRequest& request);
    QWidget* child(const char* name) const;
    QString page() const;
    void click(const char* name);

    FakeService service;
    QTemporaryDir dir;
    view::MainView* window = nullptr;
};

static const QByteArray cameraList = R"({"cameras":[{"cameraName":"X-T3","serial":"SN1234","synchronizations":)"
                                     R"([{"syncId":"sync-7","timeZone":"+02:00","timeZoneName":)"
                                     R"("Central European Summer Time","timeZoneTime":"2026-07-14 12:30:00"}]}],)"
                                     R"("phoneName":"Ann's phone"})";

HttpAnswer TestUserJourney::answer(const HttpRequest& request)
{
    if (request.path.endsWith("/syncCamera"))
        return HttpAnswer::json(200, R"({"userID":"user-42"})");
    if (request.path.endsWith("/getSyncList"))
        return HttpAnswer::json(200, cameraList);
    if (request.path.endsWith("/geocodeImage")) {
        // The photo taken at 13:00 lies outside the recorded track.
        if (request.body.contains("13:00:00"))
            return HttpAnswer::json(202, R"({"body":"The phone recorded no position at that time.",)"
                                         R"("head":"No position recorded"})");
        return HttpAnswer::json(200, R"({"accuracy":8,"altitude":-12.5,"body":"","head":"Geotagged",)"
                                     R"("latitude":-33.868819,"longitude":151.209295,)"
                                     R"("photoTime":"2026-07-14 12:34:56","timeZone":"+02:00",)"
                                     R"("timeZoneId":"Europe/Ljubljana","timeZoneName":"Central European Summer Time"})");
    }
    return HttpAnswer::json(404, "{}");
}

void TestUserJourney::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY(service.listen());
    service.setHandler(&TestUserJourney::answer);
    // Read once, on the first request's address.
    qputenv("KESTREL_SERVICE_URL", service.baseUrl().toUtf8());
    QFile::remove(model::Model::configFilePath());
}

QWidget* TestUserJourney::child(const char* name) const
{
    auto* widget = window->findChild<QWidget*>(QLatin1String(name));
    if (!widget)
        qFatal("no widget %s", name);
    return widget;
}

QString TestUserJourney::page() const
{
    return static_cast<QStackedWidget*>(child("stackedWidget"))->currentWidget()->objectName();
}

void TestUserJourney::click(const char* name)
{
    QWidget* widget = child(name);
    QVERIFY2(widget->isVisible() && widget->isEnabled(), name);
    QTest::mouseClick(widget, Qt::LeftButton);
}

// Drags path over widget and drops it there through the application's event
// delivery.
static void dropOn(QWidget* widget, const QString& path)
{
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(path)});
    const QPoint position = widget->rect().center();
    QDragEnterEvent enter(position, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(position, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &drop);
}

void TestUserJourney::firstStartToResults()
{
    // A synchronization photo: the phone's QR code taken by the camera.
    const QString syncPhoto = dir.filePath(QStringLiteral("DSCF0001.JPG"));
    QVERIFY(testsupport::writePhoto(syncPhoto,
                                    testsupport::syncPhotoImage(R"({"elapsedTime":5230,"syncID":"sync-7"})"),
                                    testsupport::cameraTags(QStringLiteral("X-T3"), QStringLiteral("SN1234"),
                                                            QStringLiteral("2026:07:14 12:30:00"))));
    // A folder of three photos, one of them taken where the phone has no track.
    const QString folder = dir.filePath(QStringLiteral("Trip"));
    QVERIFY(QDir().mkpath(folder));
    const QStringList times{"2026:07:14 12:34:56", "2026:07:14 13:00:00", "2026:07:14 12:40:00"};
    const QStringList names{"DSCF0102.JPG", "DSCF0101.JPG", "DSCF0103.JPG"};
    for (int i = 0; i < names.size(); ++i)
        QVERIFY(testsupport::writePhoto(folder + QLatin1Char('/') + names.at(i),
                                        testsupport::texturedImage(320, 240, i + 1),
                                        testsupport::cameraTags(QStringLiteral("X-T3"), QStringLiteral("SN1234"),
                                                                times.at(i))));

    MainController controller;
    view::MainView mainWindow;
    window = &mainWindow;
    mainWindow.connectController(controller);
    QSignalSpy messages(&controller, &MainController::infoPending);
    controller.start();
    QVERIFY(mainWindow.isVisible());

    // First start: the how-to pages, then the synchronization page.
    QCOMPARE(page(), QStringLiteral("howTo1Page"));
    click("nextButton");
    QCOMPARE(page(), QStringLiteral("howTo2Page"));
    click("nextButton");
    QCOMPARE(page(), QStringLiteral("howTo3Page"));
    click("nextButton");
    QCOMPARE(controller.currentScreen(), controller::SynchronizeHowTo);
    QCOMPARE(page(), QStringLiteral("synchronizePage"));
    QVERIFY(child("howTo4Label")->isVisible());

    // Drop the synchronization photo.
    dropOn(child("synchronizationDropFileLabel"), syncPhoto);
    QVERIFY(!child("synchronizationDropFileLabel")->isEnabled());
    QTRY_COMPARE(controller.currentScreen(), controller::SynchronizeDone);
    QTRY_COMPARE(mainWindow.findChildren<view::CameraFrame*>().size(), 1);
    QVERIFY(child("synchronizationDropFileLabel")->isEnabled());
    QVERIFY(child("synchronizeScrollArea")->isVisible());
    QCOMPARE(static_cast<QPushButton*>(child("nextButton"))->text(), QStringLiteral("    DONE    "));
    QCOMPARE(controller.modelRef().userID, QStringLiteral("user-42"));
    const QList<HttpRequest> syncs = service.requestsTo("/syncCamera");
    QCOMPARE(syncs.size(), 1);
    QVERIFY(syncs.first().body.contains(R"("syncID":"sync-7")"));

    // Back to the menu, then geotag the folder.
    click("nextButton");
    QCOMPARE(page(), QStringLiteral("menuPage"));
    click("geocodeScreenButton");
    QCOMPARE(page(), QStringLiteral("geocodePage"));
    dropOn(child("geocodeDropFolderLabel"), folder);
    QCOMPARE(page(), QStringLiteral("geocode2Page"));
    QCOMPARE(static_cast<QLabel*>(child("imageCountLabel"))->text(), QStringLiteral("3"));
    QCOMPARE(static_cast<QLabel*>(child("geocodeOutputFolderLabel"))->text(), folder + QStringLiteral("/KESTREL/"));
    click("nextButton"); // START GEOTAGGING; the run waits for its answers
    QTRY_COMPARE(controller.currentScreen(), controller::GeocodeResults);
    QCOMPARE(page(), QStringLiteral("geocode5Page"));
    QCOMPARE(static_cast<QLabel*>(child("geocodeSuccessLabel"))->text(), QStringLiteral("2/3"));
    QCOMPARE(service.requestsTo("/geocodeImage").size(), 3);

    // The results table, sorted by file name, the failed photo greyed.
    auto* table = static_cast<QTableWidget*>(child("geocodeTable"));
    QCOMPARE(table->rowCount(), 3);
    QStringList rows;
    for (int row = 0; row < table->rowCount(); ++row) {
        QStringList cells;
        for (int column = 0; column < table->columnCount(); ++column)
            cells << table->item(row, column)->text();
        rows << cells.join(QLatin1Char('|'));
    }
    QCOMPARE(rows, (QStringList{"DSCF0101.JPG|No position recorded||||FAIL",
                                "DSCF0102.JPG|Geotagged|33.868819S|151.209295E|-12.5|OK",
                                "DSCF0103.JPG|Geotagged|33.868819S|151.209295E|-12.5|OK"}));
    // The geotagged copies are in the output folder.
    QVERIFY(QFile::exists(folder + QStringLiteral("/KESTREL/DSCF0102.JPG")));
    QCOMPARE(testsupport::readExif(folder + QStringLiteral("/KESTREL/DSCF0102.JPG"))
                 .value(QStringLiteral("Exif.GPSInfo.GPSLatitudeRef")),
             QStringLiteral("S"));

    // A click on the status cell of the failed photo opens its details.
    QStringList opened;
    QTimer::singleShot(0, this, [&opened] {
        QWidget* dialog = QApplication::activeModalWidget();
        if (!dialog)
            return;
        opened << dialog->windowTitle();
        const auto* title = dialog->findChild<QLabel*>(QStringLiteral("errorTitleLabel"));
        opened << (title && title->isVisible() ? title->text() : QString());
        dialog->close();
    });
    const QRect cell = table->visualItemRect(table->item(0, 5));
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, cell.center());
    QCOMPARE(opened, (QStringList{"DSCF0101.JPG", "No position recorded"}));

    // Nothing along the way needed a message box.
    QCOMPARE(messages.count(), 0);
    window = nullptr;
}

QTEST_MAIN(TestUserJourney)
#include "tst_userjourney.moc"
