// The whole system on one machine: the real web service on a free loopback
// port and a first-time user's way through Kestrel's real window: the how-to
// pages, the service's synchronization code shown on the screen, a camera's
// photo of that screen dropped on it, a folder geotagged with its results
// table and details; then folders of photos taken along generated tracks:
// positions stored by the phone and read from track files dropped on the
// program.

#include <QLabel>
#include <QListWidget>
#include <QMimeData>
#include <QPainter>
#include <QTableWidget>

#include "controller/maincontroller.h"
#include "model/model.h"
#include "support/drops.h"
#include "support/files.h"
#include "support/messageboxes.h"
#include "support/photos.h"
#include "support/realservice.h"
#include "support/tracks.h"
#include "support/widgets.h"
#include "view/cameraframe.h"
#include "view/mainview.h"
#include "view/mapview.h"
#include "view/qrcodewidget.h"
#include "view/synccodeview.h"

#include <cmath>
#include <map>

using controller::MainController;

namespace {

// The camera's clock runs 1 h 3 min 17 s ahead of the true time.
constexpr int64_t cameraAhead = (3600 + 3 * 60 + 17) * 1000LL;
using namespace testsupport;

// The phone's own tracks in Berlin's zone, in summer and across the start of
// daylight saving (2026-03-29 01:00 UTC); tracks of files dropped on the program.
const Track summer { utc("2026-07-14T10:00:00Z") };
const Track spring { utc("2026-03-29T00:00:00Z") };
const Track evora { utc("2026-09-05T10:00:00Z"), 38.57, -7.91 };
const Track chicago { utc("2026-11-01T06:00:00Z"), 41.88, -87.70 }; // daylight saving ends at 07:00 UTC
const Track parramatta { utc("2026-01-20T01:00:00Z"), -33.81, 150.95 };

} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        // The program reads its base URL once, at the first request.
        qputenv("KESTREL_SERVICE_URL", m_service.baseUrl());
        const service::Reply phone = m_service.api->registerPhone(R"({"phoneName":"Test phone"})");
        QCOMPARE(phone.status, 200);
        m_phoneUser = phone.json["userID"];
        const auto user = m_service.store.userById(m_phoneUser);
        QVERIFY(user);
        for (const Track& track : { summer, spring }) {
            std::vector<service::Fix> fixes;
            for (int64_t t = track.start; t <= track.start + trackLengthMs; t += fixStepMs)
                fixes.push_back({ t, track.latitude(t), track.longitude(t), track.altitude(t),
                                  double(4 + (t / fixStepMs) % 3), "Europe/Berlin" });
            QCOMPARE(m_service.store.addFixes(user->id, fixes).value_or(-1), int64_t(fixes.size()));
        }

        // A first start: the how-to pages lead to the synchronization page.
        QFile::remove(model::Model::configFilePath());
        m_state = std::make_shared<model::Model>();
        m_controller = std::make_unique<MainController>(m_state);
        m_boxes = std::make_unique<testsupport::MessageBoxes>(*m_controller);
        m_window = std::make_unique<view::MainView>();
        m_window->connectController(*m_controller);
        m_controller->start();
        QVERIFY(m_window->isVisible());
        for (const char* name : { "howTo1Page", "howTo2Page", "howTo3Page" }) {
            QCOMPARE(page(), QString(name));
            click("nextButton");
        }
        QCOMPARE(m_controller->currentScreen(), controller::SynchronizeHowTo);
        QCOMPARE(page(), QStringLiteral("synchronizePage"));

        // The program shows the code on its own screen at 10:00:00 UTC for the
        // service's only user; 20 s later the camera photographs the screen
        // and the photo is dropped on that window.
        const int64_t shown = m_service.now;
        QSignalSpy codes(m_controller.get(), &MainController::syncCodeUpdated);
        m_window->showSyncCode();
        QTRY_COMPARE(codes.size(), 1);
        QVERIFY2(!codes[0][0].toString().isEmpty(), qPrintable(codes[0][3].toString()));
        view::SyncCodeView* screen = m_window->syncCodeView();
        m_service.now = shown + 20000;
        screen->setCode(codes[0][0].toString(), 20000, codes[0][2].toLongLong(), QString());
        QImage photo = testsupport::texturedImage(1600, 1200, 3);
        {
            QPainter painter(&photo);
            painter.fillRect(QRect(480, 280, 640, 640), QColor(30, 30, 34));
            painter.drawImage(QRectF(500, 300, 600, 600), screen->codeWidget()->grab().toImage());
        }
        const QString syncPhoto = m_service.dir.filePath("sync.jpg");
        QVERIFY(testsupport::writePhoto(syncPhoto, photo,
                                        testsupport::cameraTags("X-T3", "SN1234", exifTime(service::formatWallClock(shown + 20000 + cameraAhead)))));
        QVERIFY(testsupport::dropFiles(screen, { syncPhoto }));
        QTRY_COMPARE_WITH_TIMEOUT(m_controller->currentScreen(), controller::SynchronizeDone, 20000);
        QCOMPARE(m_state->userID.toStdString(), m_phoneUser);
        QVERIFY2(m_boxes->shown.isEmpty(), qPrintable(m_boxes->shown.value(0).title + ": " + m_boxes->shown.value(0).text));
        // The camera list arrives too, and shows.
        QTRY_COMPARE_WITH_TIMEOUT(m_state->cameras.size(), 1, 20000);
        QCOMPARE(m_state->cameras.first().name, QStringLiteral("X-T3"));
        QTRY_COMPARE(m_window->findChildren<view::CameraFrame*>().size(), 1);
    }

    // Back to the menu, and a folder geotagged through the window: a photo on
    // the summer track and one taken a day before the phone recorded anything.
    void geotagInWindow()
    {
        // The photos reach the service after every trip: its clock stands after them.
        m_service.now = utc("2026-12-01T00:00:00Z");
        QTemporaryDir folder;
        const int64_t onFix = utc("2026-07-14T10:05:00Z");
        const struct {
            const char* name;
            int64_t taken;
        } photos[] = { { "DSCF0102.JPG", onFix }, { "DSCF0101.JPG", utc("2026-07-13T10:00:00Z") } };
        for (const auto& p : photos)
            QVERIFY(testsupport::writePhoto(folder.filePath(p.name), testsupport::texturedImage(320, 240, 1),
                                            testsupport::cameraTags("X-T3", "SN1234", exifTime(service::formatWallClock(p.taken + cameraAhead)))));
        click("nextButton");
        QCOMPARE(page(), QStringLiteral("menuPage"));
        click("geotagScreenButton");
        QVERIFY(testsupport::dropFiles(child("geotagDropFolderLabel"), { folder.path() }));
        QCOMPARE(page(), QStringLiteral("geotag2Page"));
        click("nextButton"); // START GEOTAGGING
        QTRY_COMPARE_WITH_TIMEOUT(m_controller->currentScreen(), controller::GeotagResults, 20000);
        QCOMPARE(page(), QStringLiteral("geotag5Page"));
        QCOMPARE(static_cast<QLabel*>(child("geotagSuccessLabel"))->text(), QStringLiteral("1/2"));

        // The results table, sorted by file name.
        auto* table = static_cast<QTableWidget*>(child("geotagTable"));
        QStringList rows;
        for (int row = 0; row < table->rowCount(); ++row) {
            QStringList cells;
            for (int column = 0; column < table->columnCount(); ++column)
                cells << table->item(row, column)->text();
            // The place is the gazetteer's to name, not this test's.
            cells.removeAt(6);
            rows << cells.join(QLatin1Char('|'));
        }
        // The track passes 48.1051764 N, 11.50125 E, 529.659 m at 10:05 UTC;
        // the accuracy is the service's to state, in metres with a decimal.
        QVERIFY2(QRegularExpression("^\\d+\\.\\d m$").match(table->item(1, 5)->text()).hasMatch(),
                 qPrintable(rows.value(1)));
        rows[1].replace("|" + table->item(1, 5)->text() + "|", "|(accuracy)|");
        QCOMPARE(rows, (QStringList { "DSCF0101.JPG|No position|||||FAIL",
                                      "DSCF0102.JPG||48.105176N|11.501250E|529.7 m|(accuracy)|OK" }));
        QVERIFY(QFile::exists(folder.filePath("KESTREL/DSCF0102.JPG")));

        // A click on the status cell of the failed photo opens its details.
        QStringList opened;
        testsupport::onNextModal(this, [&opened](QWidget* dialog) {
            const auto* title = dialog->findChild<QLabel*>(QStringLiteral("errorTitleLabel"));
            opened << dialog->windowTitle() << (title && title->isVisible() ? title->text() : QString());
            dialog->close();
        });
        const QTableWidgetItem* status = table->item(0, table->columnCount() - 1);
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, table->visualItemRect(status).center());
        QCOMPARE(opened, (QStringList { "DSCF0101.JPG", "No position" }));
        QVERIFY(m_boxes->shown.isEmpty());
        mapOfTheRun(folder.path());
    }

    // The run's map: the photo with a position over the track of the run's
    // period. The other one, taken before the track, cannot go on it; dropped
    // on the map it is written there, and Undo takes its copy away again.
    void mapOfTheRun(const QString& folder)
    {
        click("showMapButton");
        QCOMPARE(page(), QStringLiteral("mapPage"));
        // From an hour before the first photo to an hour after the last: 10:00 to 11:05 of the summer track.
        QTRY_COMPARE_WITH_TIMEOUT(m_state->track.size(), 391, 20000);
        QCOMPARE(m_state->track.first().timeMs, summer.start);
        auto* map = m_window->findChild<view::MapView*>();
        QPoint marker;
        QTRY_VERIFY(map->screenPosition(48.1051764, 11.50125, &marker) && map->rect().contains(marker));
        auto* list = m_window->findChild<QListWidget*>("unplacedList");
        QCOMPARE(list->count(), 1);
        list->setCurrentRow(0);
        click("snapButton");
        QCOMPARE(m_boxes->shown.value(0).title, QStringLiteral("Not on the track"));
        m_boxes->shown.clear();

        QMimeData photo;
        photo.setData(view::MapView::photoMimeType(), "0");
        QDragEnterEvent enter(marker + QPoint(40, 0), Qt::MoveAction, &photo, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(map, &enter);
        QDropEvent drop(marker + QPoint(40, 0), Qt::MoveAction, &photo, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(map, &drop);
        QVERIFY2(m_boxes->shown.isEmpty(), qPrintable(m_boxes->shown.value(0).text));
        const model::PhotoGeotag placed = m_state->photos.at(0);
        QVERIFY(placed.success && placed.origin == model::PhotoGeotag::Origin::Hand);
        QVERIFY(placed.longitude > 11.50125 && std::fabs(placed.latitude - 48.1051764) < 1e-3);
        const QString copy = folder + "/KESTREL/DSCF0101.JPG";
        const QMap<QString, QString> exif = testsupport::readExif(copy);
        QCOMPARE(exif.value("Exif.GPSInfo.GPSProcessingMethod"), QStringLiteral("charset=Ascii MANUAL"));
        QVERIFY(std::fabs(coordinate(exif, "Longitude") - placed.longitude) < 1e-6);
        QCOMPARE(list->count(), 0);
        click("undoButton");
        QVERIFY(!QFile::exists(copy));
        QVERIFY(!m_state->photos.at(0).success);
        QCOMPARE(list->count(), 1);
        click("previousButton");
        QCOMPARE(page(), QStringLiteral("geotag5Page"));
    }

    // Later stretches reach the service from track files dropped on the program.
    void trackFiles()
    {
        QTemporaryDir files;
        const QString kml = files.filePath("evora.kml"), gpx = files.filePath("chicago.gpx"), csv = files.filePath("parramatta.csv");
        QVERIFY(testsupport::writeFile(kml, trackFile(evora, "kml")));
        QVERIFY(testsupport::writeFile(gpx, trackFile(chicago, "gpx")));
        QVERIFY(testsupport::writeFile(csv, trackFile(parramatta, "csv")));
        m_window->changeScreen(controller::GeotagSelectFolder);
        QVERIFY(testsupport::dropFiles(child("geotagDropFolderLabel"), { kml, gpx, csv }));
        QTRY_COMPARE_WITH_TIMEOUT(m_boxes->shown.size(), 1, 60000);
        QCOMPARE(m_boxes->shown[0].title, QStringLiteral("Tracks imported"));
        QCOMPARE(m_boxes->shown[0].text, "evora.kml\nImported 721 positions from 5 Sep 11:00 to 5 Sep 13:00 (Europe/Lisbon)."
                                          "\n\nchicago.gpx\nImported 721 positions from 1 Nov 01:00 to 1 Nov 02:00 (America/Chicago)."
                                          "\n\nparramatta.csv\nImported 721 positions from 20 Jan 12:00 to 20 Jan 14:00 (Australia/Sydney).");
        m_boxes->shown.clear();
    }

    void cleanupTestCase()
    {
        m_window.reset();
        m_boxes.reset();
        m_controller.reset();
    }

    // 14 photos every 4 min 13 s from 31 min 1.7 s after the track's start:
    // on the tracks that cross a change of daylight saving, before and after it.
    void synchronizeThenGeotag_data()
    {
        QTest::addColumn<QString>("along"); // the track
        QTest::addColumn<QString>("zone");
        QTest::addColumn<bool>("rewrite");
        QTest::addColumn<QStringList>("offsets"); // the zone's offsets the photos see

        QTest::newRow("summer, copies") << "summer" << "Europe/Berlin" << false << QStringList { "+02:00" };
        QTest::newRow("daylight saving starts, in place") << "spring" << "Europe/Berlin" << true << QStringList { "+01:00", "+02:00" };
        QTest::newRow("KML, Evora") << "evora" << "Europe/Lisbon" << false << QStringList { "+01:00" };
        QTest::newRow("GPX, Chicago, daylight saving ends") << "chicago" << "America/Chicago" << false
                                                            << QStringList { "-05:00", "-06:00" };
        QTest::newRow("CSV, Parramatta") << "parramatta" << "Australia/Sydney" << false << QStringList { "+11:00" };
    }

    void synchronizeThenGeotag()
    {
        QFETCH(QString, along);
        QFETCH(QString, zone);
        QFETCH(bool, rewrite);
        const std::map<QString, Track> tracks { { "summer", summer }, { "spring", spring }, { "evora", evora },
                                                { "chicago", chicago }, { "parramatta", parramatta } };
        const Track& track = tracks.at(along);
        const int count = 14;

        QTemporaryDir photos;
        // Photo i, "DSCF<1000 + i>.JPG", is taken at this true UTC moment (whole seconds).
        const auto takenAt = [&](int i) { return (track.start + 31 * 60000 + 1700 + i * (4 * 60000 + 13000)) / 1000 * 1000; };
        for (int i = 0; i < count; ++i)
            QVERIFY(testsupport::writePhoto(
                photos.filePath(QStringLiteral("DSCF%1.JPG").arg(1000 + i)), testsupport::texturedImage(160, 120, i + 1),
                testsupport::cameraTags("X-T3", "SN1234", exifTime(service::formatWallClock(takenAt(i) + cameraAhead)))));

        model::Model& model = *m_state;
        model.rewrite = rewrite;
        model.modifyTimeDate = true;
        m_controller->geotagPhotos(photos.path());
        QCOMPARE(model.imageCount, count);
        m_controller->startGeotagging();
        QCOMPARE(m_controller->currentScreen(), controller::GeotagResults);
        QCOMPARE(model.photos.size(), count);

        QStringList seen;
        for (const model::PhotoGeotag& result : model.photos) {
            const QString name = QFileInfo(result.filePath).fileName();
            QVERIFY2(result.success, qPrintable(name + ": " + result.errorTitle + " " + result.errorText));
            const QString written = rewrite ? photos.filePath(name) : photos.filePath("KESTREL/" + name);
            const QMap<QString, QString> exif = testsupport::readExif(written);
            const int64_t moment = takenAt(name.mid(4, 4).toInt() - 1000);

            // The position of the track at the photo's true moment, within 0.00001° (about a metre).
            const double dLat = coordinate(exif, "Latitude") - track.latitude(moment);
            const double dLon = coordinate(exif, "Longitude") - track.longitude(moment);
            QVERIFY2(std::fabs(dLat) < 1e-5 && std::fabs(dLon) < 1e-5, qPrintable(QStringLiteral("%1 is off by %2° %3°").arg(name).arg(dLat).arg(dLon)));

            // The true local time and the zone's offset at that moment.
            const service::ZoneMoment local = service::zoneMoment(zone.toStdString(), moment);
            QCOMPARE(exif.value("Exif.Photo.DateTimeOriginal"), exifTime(local.localTime));
            QCOMPARE(exif.value("Exif.Image.DateTime"), exifTime(local.localTime));
            QCOMPARE(exif.value("Exif.Photo.OffsetTime"), QString::fromStdString(local.offsetText));
            QCOMPARE(result.timeZoneId, zone);
            seen << QString::fromStdString(local.offsetText);
        }
        seen.removeDuplicates();
        seen.sort();
        QTEST(seen, "offsets");
        QVERIFY(m_boxes->shown.isEmpty());
    }

private:
    QWidget* child(const char* name) const { return testsupport::child(m_window.get(), name); }
    QString page() const { return testsupport::currentPage(m_window.get()); }
    void click(const char* name)
    {
        QWidget* widget = child(name);
        QVERIFY2(widget->isVisible() && widget->isEnabled(), name);
        QTest::mouseClick(widget, Qt::LeftButton);
    }

    testsupport::RealService m_service;
    std::string m_phoneUser;
    std::shared_ptr<model::Model> m_state;
    std::unique_ptr<MainController> m_controller;
    std::unique_ptr<testsupport::MessageBoxes> m_boxes;
    std::unique_ptr<view::MainView> m_window;
};

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
