// A newcomer's first hour through the real window and the real web service,
// which starts empty: a track file imported before any phone (the desktop gets
// an account of its own), a phone registered whose tracker app sends the rest
// of the day, the desktop linked to the phone by a photo of the phone's code
// (one question, answered yes), and a folder whose photos need both the
// imported track and the phone's positions, every one tagged within a metre.

#include "controller/maincontroller.h"
#include "model/model.h"
#include "support/drops.h"
#include "support/files.h"
#include "support/messageboxes.h"
#include "support/photos.h"
#include "support/realservice.h"
#include "support/tracks.h"
#include "support/widgets.h"
#include "view/mainview.h"

using namespace testsupport;
using nlohmann::json;

namespace {

// The camera's clock runs 7 min 13.48 s ahead of the local time in Munich
// (summer time, UTC + 2 h).
constexpr int64_t cameraAhead = 2 * 3600000 + 433480;
const Track morning { utc("2026-07-14T08:00:00Z") }; // from a GPX file
const Track afternoon { utc("2026-07-14T10:00:00Z"), 48.10, 11.53 }; // from the phone's tracker app, on from there

json answer(const httplib::Result& result)
{
    return result ? json::parse(result->body, nullptr, false) : json();
}

// The tags of a camera photo taken when its clock read `cameraTime` (to the
// hundredth of a second).
ExifTags cameraTagsAt(int64_t cameraTime)
{
    return cameraTags("X-T3", "SN1234", exifTime(service::formatWallClock(cameraTime / 1000 * 1000)))
        << qMakePair(QStringLiteral("Exif.Photo.SubSecTimeOriginal"), QString::number(cameraTime % 1000 / 10));
}

// A camera's photo of `payload` as a QR code, its clock reading `cameraTime`.
bool photographCode(const QString& path, const std::string& payload, int64_t cameraTime)
{
    return writePhoto(path, syncPhotoImage(QByteArray::fromStdString(payload)), cameraTagsAt(cameraTime));
}

} // namespace

class TestFirstHour : public QObject {
    Q_OBJECT
private slots:
    void firstHour()
    {
        RealService service;
        service.now = utc("2026-07-14T12:30:00Z");
        qputenv("KESTREL_SERVICE_URL", service.baseUrl());
        QFile::remove(model::Model::configFilePath());
        auto state = std::make_shared<model::Model>();
        controller::MainController controller(state);
        MessageBoxes boxes(controller);
        view::MainView window;
        window.connectController(controller);
        controller.start();
        QCOMPARE(currentPage(&window), QStringLiteral("howTo1Page"));

        // The morning's track, dropped on the folder page before any phone exists.
        QTemporaryDir files;
        QVERIFY(writeFile(files.filePath("morning.gpx"), trackFile(morning, "gpx")));
        window.changeScreen(controller::GeotagSelectFolder);
        QVERIFY(dropFiles(child(&window, "geotagDropFolderLabel"), { files.filePath("morning.gpx") }));
        QTRY_COMPARE_WITH_TIMEOUT(boxes.shown.size(), 1, 30000);
        QCOMPARE(boxes.shown[0].title, QStringLiteral("Track imported"));
        const QString desktopAccount = state->userID;
        QVERIFY(!desktopAccount.isEmpty());

        // The phone registers and its tracker app sends the afternoon, a fix every 30 s.
        const json phone = answer(service.client->Post("/phone/register", R"({"phoneName":"Pixel 8"})", "application/json"));
        const std::string deviceKey = phone.value("deviceKey", "");
        QVERIFY(!deviceKey.empty());
        for (int64_t t = afternoon.start; t <= afternoon.start + trackLengthMs; t += 30000) {
            const std::string fix = QStringLiteral("/track/osmand?id=%1&lat=%2&lon=%3&altitude=%4&timestamp=%5")
                                        .arg(QString::fromStdString(deviceKey)).arg(afternoon.latitude(t), 0, 'f', 7)
                                        .arg(afternoon.longitude(t), 0, 'f', 7).arg(afternoon.altitude(t), 0, 'f', 1)
                                        .arg(t / 1000).toStdString();
            const httplib::Result sent = service.client->Get(fix);
            QVERIFY2(sent && sent->status == 200, fix.c_str());
        }

        // The phone shows a code; 20 s later the camera photographs it and the
        // photo is dropped on the synchronize page. The question is answered yes.
        const json code = answer(service.client->Post(
            "/phone/syncCode", json { { "userID", phone["userID"] }, { "phoneKey", phone["phoneKey"] } }.dump(), "application/json"));
        service.now += 20000;
        const auto payload = service.api->syncPayload(code.value("syncID", ""));
        QVERIFY(payload);
        QVERIFY(photographCode(files.filePath("code.jpg"), *payload, service.now + cameraAhead));
        boxes.shown.clear();
        window.changeScreen(controller::SynchronizeHowTo);
        QSignalSpy reports(&controller, &controller::MainController::cameraSynchronized);
        QVERIFY(dropFiles(child(&window, "synchronizationDropFileLabel"), { files.filePath("code.jpg") }));
        QTRY_COMPARE_WITH_TIMEOUT(controller.currentScreen(), controller::SynchronizeDone, 30000);
        QCOMPARE(boxes.shown.size(), 1);
        QCOMPARE(boxes.shown[0].title, QStringLiteral("Link this computer?"));
        QCOMPARE(boxes.shown[0].text, QStringLiteral("Link this computer to the phone 'Pixel 8'? The 721 positions imported "
                                                     "here move to it."));
        QCOMPARE(state->userID, QString::fromStdString(phone["userID"]));
        QCOMPARE(reports.size(), 1);
        QCOMPARE(reports[0][0].toString(), QStringLiteral("X-T3: clock 7 min 13 s ahead\nagainst the local time at the phone's "
                                                          "position (Central European Summer Time)"));

        // A folder from both halves of the day, photos 7 min 13.48 s ahead on
        // the camera's clock, taken on whole seconds of true time.
        QTemporaryDir folder;
        std::vector<int64_t> taken;
        for (int64_t t = morning.start + 5 * 60000 + 17000; t < afternoon.start + trackLengthMs; t += 19 * 60000 + 3000)
            taken.push_back(t);
        for (size_t i = 0; i < taken.size(); ++i) {
            QVERIFY(writePhoto(folder.filePath(QStringLiteral("P%1.JPG").arg(i)), texturedImage(160, 120, int(i) + 1),
                               cameraTagsAt(taken[i] + cameraAhead)));
        }
        controller.geotagPhotos(folder.path());
        controller.startGeotagging();
        QCOMPARE(state->photos.size(), int(taken.size()));
        for (const model::PhotoGeotag& result : state->photos) {
            const QString name = QFileInfo(result.filePath).fileName();
            QVERIFY2(result.success, qPrintable(name + ": " + result.errorTitle + " " + result.errorText));
            const int64_t moment = taken[name.mid(1).section('.', 0, 0).toULong()];
            const Track& track = moment < afternoon.start ? morning : afternoon;
            const QMap<QString, QString> exif = readExif(folder.filePath("KESTREL/" + name));
            const double dLat = coordinate(exif, "Latitude") - track.latitude(moment);
            const double dLon = coordinate(exif, "Longitude") - track.longitude(moment);
            QVERIFY2(std::fabs(dLat) < 9e-6 && std::fabs(dLon) < 1.3e-5, qPrintable(QStringLiteral("%1 off by %2° %3°").arg(name).arg(dLat).arg(dLon)));
        }

        // The desktop's account went into the phone's: every position once (both
        // have 10:00:00), the old identifier unknown.
        const json old = answer(service.client->Put("/getSyncList", json { { "userID", desktopAccount.toStdString() } }.dump(), "application/json"));
        QCOMPARE(old.value("head", ""), std::string("Unknown user"));
        QCOMPARE(service.store.fixCount(service.store.userById(phone["userID"])->id).value_or(0), int64_t(721 + 241 - 1));
    }
};

QTEST_MAIN(TestFirstHour)
#include "tst_firsthour.moc"
