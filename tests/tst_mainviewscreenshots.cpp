#include <QtTest>

#include <QApplication>
#include <QDir>
#include <QTableWidget>

#include "controller/maincontroller.h"
#include "model/model.h"
#include "view/detailinfoview.h"
#include "view/mainview.h"
#include "view/resources.h"

// Renders every screen of the main window, with the content a user would see,
// and both pages of the detail dialog. Pictures are written only when
// KESTREL_SCREENSHOT_DIR names a folder (scripts/screenshots.sh sets it);
// without it the test still renders everything once, so a screen that cannot
// be built fails here.
class TestMainViewScreenshots : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void screens_data();
    void screens();
    void details_data();
    void details();

private:
    void save(QWidget* widget, const QString& name);
    QDir folder;
    bool writing = false;
};

static model::PhotoGeocode result(const QString& name, bool success, double latitude, double longitude,
                                  double altitude)
{
    model::PhotoGeocode photo;
    photo.filePath = QStringLiteral("/home/ann/Pictures/Julian Alps 2026/") + name;
    photo.success = success;
    if (success) {
        photo.dateTimeOriginal = QStringLiteral("2026:07:14 10:42:17");
        photo.photoTime = QStringLiteral("2026:07:14 10:43:05");
        photo.timeZone = QStringLiteral("+02:00");
        photo.timeZoneId = QStringLiteral("Europe/Ljubljana");
        photo.timeZoneName = QStringLiteral("Central European Summer Time");
        photo.latitude = latitude;
        photo.longitude = longitude;
        photo.altitude = altitude;
        photo.accuracy = 8;
        photo.errorTitle = QStringLiteral("Geotagged");
    } else {
        photo.errorTitle = QStringLiteral("No position recorded");
        photo.errorText = QStringLiteral("The phone recorded no position within an hour of the time this photo was "
                                         "taken. Was the Kestrel application running?");
    }
    return photo;
}

static model::PhotoGeocodeList results()
{
    return {result(QStringLiteral("DSCF0412.JPG"), true, 46.3786125, 13.8365477, 2864.2),
            result(QStringLiteral("DSCF0407.JPG"), true, 46.3569211, 13.8571864, 1702.5),
            result(QStringLiteral("DSCF0415.RAF"), false, 0, 0, 0),
            result(QStringLiteral("DSCF0409.JPG"), true, 46.3647802, 13.8480033, 2105.8),
            result(QStringLiteral("DSCF0418.JPG"), true, 46.3814429, 13.8252116, 2410.0),
            result(QStringLiteral("DSCF0421.JPG"), false, 0, 0, 0),
            result(QStringLiteral("DSCF0423.JPG"), true, 46.3850071, 13.8010402, 1987.3)};
}

static model::CameraList cameras()
{
    model::CameraList list;
    list.phoneName = QStringLiteral("Ann's phone");
    model::Camera fuji{QStringLiteral("FUJIFILM X-T30"), QStringLiteral("93A41027"), {}};
    fuji.synchronizations << model::Synchronization{QStringLiteral("s-1"), QStringLiteral("2026-07-12 08:15:02"),
                                                    QStringLiteral("+02:00"), QStringLiteral("Central European Summer Time")};
    fuji.synchronizations << model::Synchronization{QStringLiteral("s-2"), QStringLiteral("2026-03-01 17:40:55"),
                                                    QStringLiteral("+01:00"), QStringLiteral("Central European Time")};
    model::Camera canon{QStringLiteral("Canon EOS 80D"), QStringLiteral("012345678912"), {}};
    canon.synchronizations << model::Synchronization{QStringLiteral("s-3"), QStringLiteral("2026-06-30 19:02:41"),
                                                     QStringLiteral("+02:00"), QStringLiteral("Central European Summer Time")};
    list << fuji << canon;
    return list;
}

void TestMainViewScreenshots::initTestCase()
{
    view::initResources();
    view::installFont();
    qApp->setStyleSheet(view::styleSheetText());
    const QString path = qEnvironmentVariable("KESTREL_SCREENSHOT_DIR");
    if (!path.isEmpty()) {
        QVERIFY(QDir().mkpath(path));
        folder = QDir(path);
        writing = true;
    }
}

void TestMainViewScreenshots::save(QWidget* widget, const QString& name)
{
    const QPixmap picture = widget->grab();
    QVERIFY(!picture.isNull());
    if (writing)
        QVERIFY(picture.save(folder.filePath(name + QStringLiteral(".png"))));
}

void TestMainViewScreenshots::screens_data()
{
    QTest::addColumn<int>("screen");
    QTest::newRow("01-howto1") << int(controller::HowTo1);
    QTest::newRow("02-howto2") << int(controller::HowTo2);
    QTest::newRow("03-howto3") << int(controller::HowTo3);
    QTest::newRow("04-synchronize-howto") << int(controller::SynchronizeHowTo);
    QTest::newRow("05-menu") << int(controller::Menu);
    QTest::newRow("06-geotag-select-folder") << int(controller::GeocodeSelectFolder);
    QTest::newRow("07-geotag-ready") << int(controller::GeocodeReady);
    QTest::newRow("08-geotag-progress") << int(controller::GeocodeProgress);
    QTest::newRow("09-geotag-results") << int(controller::GeocodeResults);
    QTest::newRow("10-synchronize-cameras") << int(controller::SynchronizeCameras);
    QTest::newRow("11-synchronize-done") << int(controller::SynchronizeDone);
    QTest::newRow("12-synchronize-running") << int(controller::SynchronizeCameras);
    QTest::newRow("13-settings") << int(controller::Settings);
}

void TestMainViewScreenshots::screens()
{
    QFETCH(int, screen);
    view::MainView window;
    model::CameraList list = cameras();
    model::PhotoGeocodeList photos = results();
    window.assignCameraList(list);
    if (QByteArray(QTest::currentDataTag()).endsWith("running"))
        window.onSynchronizationStarted(QStringLiteral("/home/ann/Pictures/DSCF0400.JPG"));
    window.onGeocodingRequested(QStringLiteral("/home/ann/Pictures/Julian Alps 2026/"),
                                QStringLiteral("/home/ann/Pictures/Julian Alps 2026/KESTREL/"), 128);
    window.onGeocodeProgress(47, 3, 128);
    if (screen == controller::GeocodeResults)
        window.onGeocodeProgress(photos.size(), 2, photos.size());
    window.assignPhotoList(photos);
    window.changeScreen(static_cast<controller::Screen>(screen));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    save(&window, QString::fromLatin1(QTest::currentDataTag()));
}

void TestMainViewScreenshots::details_data()
{
    QTest::addColumn<int>("index");
    QTest::newRow("20-detail-success") << 0;
    QTest::newRow("21-detail-failure") << 2;
}

void TestMainViewScreenshots::details()
{
    QFETCH(int, index);
    const model::PhotoGeocodeList photos = results();
    view::DetailInfoView dialog(photos.at(index));
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    save(&dialog, QString::fromLatin1(QTest::currentDataTag()));
}

QTEST_MAIN(TestMainViewScreenshots)
#include "tst_mainviewscreenshots.moc"
