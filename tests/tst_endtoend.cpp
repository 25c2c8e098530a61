// The whole system on one machine: the real web service on a free loopback
// port, Kestrel's window showing the service's synchronization code, a camera's
// photo of that screen dropped on it, and a folder of photos geotagged that
// were taken along a generated track.

#include <QtTest>

#include <QDir>
#include <QPainter>
#include <QMimeData>
#include <QTemporaryDir>

#include "controller/maincontroller.h"
#include "model/model.h"
#include "service/api.h"
#include "service/httpserver.h"
#include "service/store.h"
#include "service/timegeo.h"
#include "support/messageboxes.h"
#include "support/photos.h"
#include "view/mainview.h"
#include "view/qrcodewidget.h"
#include "view/synccodeview.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cmath>
#include <memory>

using controller::MainController;
using nlohmann::json;

namespace {

constexpr double pi = 3.14159265358979323846;
// The camera's clock runs 1 h 3 min 17 s ahead of the true time.
constexpr int64_t cameraAhead = (3600 + 3 * 60 + 17) * 1000LL;
constexpr int64_t fixStepMs = 10000;
constexpr int64_t trackLengthMs = 2 * 3600 * 1000LL;

int64_t utc(const QString& iso)
{
    return *service::parseIsoTime(iso.toStdString());
}

// Where the phone was: a smooth walk that starts at `start`.
struct Track {
    int64_t start;
    double latitude(int64_t t) const { return 48.10 + 0.02 * std::sin(2 * pi * (t - start) / trackLengthMs); }
    double longitude(int64_t t) const { return 11.50 + 0.03 * double(t - start) / trackLengthMs; }
    double altitude(int64_t t) const { return 520 + 10 * std::cos(2 * pi * (t - start) / trackLengthMs); }
};

double metresBetween(double lat1, double lon1, double lat2, double lon2)
{
    const double dLat = (lat2 - lat1) * 111195.0;
    const double dLon = (lon2 - lon1) * 111195.0 * std::cos(lat1 * pi / 180);
    return std::sqrt(dLat * dLat + dLon * dLon);
}

// A written coordinate ("Latitude" or "Longitude") in signed degrees; the
// EXIF value is "d/1000000 0/1 0/1" and its reference "N"/"S" or "E"/"W".
double coordinate(const QMap<QString, QString>& exif, const QString& which)
{
    const QStringList parts = exif.value("Exif.GPSInfo.GPS" + which).split(QLatin1Char(' '));
    const QStringList fraction = parts.value(0).split(QLatin1Char('/'));
    if (parts.size() != 3 || fraction.size() != 2 || fraction[1].toDouble() == 0)
        return std::nan("");
    const QString ref = exif.value("Exif.GPSInfo.GPS" + which + "Ref");
    return (ref == "S" || ref == "W" ? -1 : 1) * fraction[0].toDouble() / fraction[1].toDouble();
}

// "YYYY-MM-DD HH:MM:SS" as EXIF writes it, "YYYY:MM:DD HH:MM:SS".
QString exifTime(const std::string& time)
{
    return QString::fromStdString(time).replace(QLatin1Char('-'), QLatin1Char(':'));
}

} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        std::string error;
        QVERIFY2(store.open(dir.filePath("service.db").toStdString(), &error), error.c_str());
        api = std::make_unique<service::Api>(store, [this] { return now.load(); });
        server = std::make_unique<service::HttpServer>(*api);
        QVERIFY2(server->bind("127.0.0.1", 0, &error), error.c_str());
        server->start();
        // The program reads its base URL once, at the first request.
        qputenv("KESTREL_SERVICE_URL", QByteArray("http://127.0.0.1:") + QByteArray::number(server->port()) + "/");

        // The phone: two tracks in Berlin's zone, one in summer and one across
        // the start of daylight saving (2026-03-29 01:00 UTC).
        const service::Reply phone = api->registerPhone(R"({"phoneName":"Test phone"})");
        QCOMPARE(phone.status, 200);
        phoneUser = phone.json["userID"];
        const auto user = store.userById(phoneUser);
        QVERIFY(user);
        for (const char* start : { "2026-07-14T10:00:00Z", "2026-03-29T00:00:00Z" }) {
            const Track track { utc(start) };
            std::vector<service::Fix> fixes;
            for (int64_t t = track.start; t <= track.start + trackLengthMs; t += fixStepMs)
                fixes.push_back({ t, track.latitude(t), track.longitude(t), track.altitude(t),
                                  double(4 + (t / fixStepMs) % 3), "Europe/Berlin" });
            QCOMPARE(store.addFixes(user->id, fixes), int64_t(fixes.size()));
        }

        controller = std::make_unique<MainController>();
        boxes = std::make_unique<testsupport::MessageBoxes>(*controller);

        // The program shows the code on its own screen at 10:00:00 UTC for the
        // service's only user; 20 s later the camera photographs the screen
        // and the photo is dropped on that window.
        const int64_t shown = utc("2026-07-14T10:00:00Z");
        now = shown;
        controller->modelRef().userID.clear();
        view::MainView window;
        window.connectController(*controller);
        QSignalSpy codes(controller.get(), &MainController::syncCodeUpdated);
        window.showSyncCode();
        QTRY_COMPARE(codes.size(), 1);
        QVERIFY2(!codes[0][0].toString().isEmpty(), qPrintable(codes[0][3].toString()));
        view::SyncCodeView* screen = window.syncCodeView();
        now = shown + 20000;
        screen->setCode(codes[0][0].toString(), 20000, codes[0][2].toLongLong(), QString());
        QImage photo = testsupport::texturedImage(1600, 1200, 3);
        {
            QPainter painter(&photo);
            painter.fillRect(QRect(480, 280, 640, 640), QColor(30, 30, 34));
            painter.drawImage(QRectF(500, 300, 600, 600), screen->codeWidget()->grab().toImage());
        }
        const QString syncPhoto = dir.filePath("sync.jpg");
        QVERIFY(testsupport::writePhoto(syncPhoto, photo,
                                        testsupport::cameraTags("X-T3", "SN1234", exifTime(service::formatWallClock(shown + 20000 + cameraAhead)))));
        QMimeData dropped;
        dropped.setUrls({ QUrl::fromLocalFile(syncPhoto) });
        QDragEnterEvent enter(QPoint(9, 9), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(screen, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPoint(9, 9), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(screen, &drop);
        QTRY_COMPARE_WITH_TIMEOUT(controller->currentScreen(), controller::SynchronizeDone, 20000);
        QCOMPARE(controller->modelRef().userID.toStdString(), phoneUser);
        QVERIFY2(boxes->shown.isEmpty(), qPrintable(boxes->shown.value(0).title + ": " + boxes->shown.value(0).text));
        // The camera list arrives too.
        QTRY_COMPARE_WITH_TIMEOUT(controller->modelRef().cameras.size(), 1, 20000);
        QCOMPARE(controller->modelRef().cameras.first().name, QStringLiteral("X-T3"));
    }

    void cleanupTestCase()
    {
        boxes.reset();
        controller.reset();
        if (server)
            server->stop();
    }

    void synchronizeThenGeotag_data()
    {
        QTest::addColumn<QString>("trackStart");
        QTest::addColumn<qint64>("firstPhoto");  // ms after the track's start
        QTest::addColumn<qint64>("step");        // between photos
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("rewrite");
        QTest::addColumn<QStringList>("offsets"); // the zone's offsets the photos see

        QTest::newRow("summer, copies") << "2026-07-14T10:00:00Z" << qint64(7 * 60000 + 3300) << qint64(9 * 60000 + 7100)
                                        << 12 << false << QStringList { "+02:00" };
        // Photos every 4 min 13 s from 00:31 UTC: before and after 01:00 UTC.
        QTest::newRow("daylight saving starts, in place") << "2026-03-29T00:00:00Z" << qint64(31 * 60000 + 1700)
                                                          << qint64(4 * 60000 + 13000) << 14 << true
                                                          << QStringList { "+01:00", "+02:00" };
    }

    void synchronizeThenGeotag()
    {
        QFETCH(QString, trackStart);
        QFETCH(qint64, firstPhoto);
        QFETCH(qint64, step);
        QFETCH(int, count);
        QFETCH(bool, rewrite);
        QFETCH(QStringList, offsets);
        const Track track { utc(trackStart) };

        QTemporaryDir photos;
        QVERIFY(photos.isValid());
        // Photo i, "DSCF<1000 + i>.JPG", is taken at this true UTC moment (whole seconds).
        const auto takenAt = [&](int i) { return (track.start + firstPhoto + i * step) / 1000 * 1000; };
        for (int i = 0; i < count; ++i)
            QVERIFY(testsupport::writePhoto(
                photos.filePath(QStringLiteral("DSCF%1.JPG").arg(1000 + i)), testsupport::texturedImage(160, 120, i + 1),
                testsupport::cameraTags("X-T3", "SN1234", exifTime(service::formatWallClock(takenAt(i) + cameraAhead)))));

        model::Model& model = controller->modelRef();
        model.rewrite = rewrite;
        model.modifyTimeDate = true;
        controller->geocodePhotos(photos.path());
        QCOMPARE(model.imageCount, count);
        controller->startGeocoding();
        QCOMPARE(controller->currentScreen(), controller::GeocodeResults);
        QCOMPARE(model.photos.size(), count);

        QStringList seen;
        for (const model::PhotoGeocode& result : model.photos) {
            const QString name = QFileInfo(result.filePath).fileName();
            QVERIFY2(result.success, qPrintable(name + ": " + result.errorTitle + " " + result.errorText));
            const QString written = rewrite ? photos.filePath(name) : photos.filePath("KESTREL/" + name);
            const QMap<QString, QString> exif = testsupport::readExif(written);
            const int64_t moment = takenAt(name.mid(4, 4).toInt() - 1000);

            // The position of the track at the photo's true moment, within 1 m.
            const double off = metresBetween(track.latitude(moment), track.longitude(moment), coordinate(exif, "Latitude"),
                                             coordinate(exif, "Longitude"));
            QVERIFY2(off < 1.0, qPrintable(QStringLiteral("%1 is %2 m off the track").arg(name).arg(off)));

            // The true local time and the zone's offset at that moment.
            const service::ZoneMoment zone = service::zoneMoment("Europe/Berlin", moment);
            QCOMPARE(exif.value("Exif.Photo.DateTimeOriginal"), exifTime(zone.localTime));
            QCOMPARE(exif.value("Exif.Image.DateTime"), exifTime(zone.localTime));
            QCOMPARE(exif.value("Exif.Photo.OffsetTime"), QString::fromStdString(zone.offsetText));
            QCOMPARE(result.timeZoneId, QStringLiteral("Europe/Berlin"));
            seen << QString::fromStdString(zone.offsetText);
        }
        seen.removeDuplicates();
        seen.sort();
        QCOMPARE(seen, offsets);
        QVERIFY(boxes->shown.isEmpty());
    }

private:
    QTemporaryDir dir;
    service::Store store;
    std::atomic<int64_t> now { 0 };
    std::unique_ptr<service::Api> api;
    std::unique_ptr<service::HttpServer> server;
    std::string phoneUser;
    std::unique_ptr<MainController> controller;
    std::unique_ptr<testsupport::MessageBoxes> boxes;
};

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
