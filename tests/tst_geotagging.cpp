#include <QtTest>

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include "controller/maincontroller.h"
#include "controller/photolisting.h"
#include "controller/restclient.h"
#include "model/model.h"
#include "support/fakeservice.h"
#include "support/files.h"
#include "support/messageboxes.h"
#include "support/photos.h"

using controller::MainController;
using model::Model;
using testsupport::FakeService;
using testsupport::HttpAnswer;
using testsupport::HttpRequest;
using testsupport::MessageBoxes;

namespace {

const char networkTail[] = ".\nPlease check that the web service is running or try again later...";

// Serial numbers that make the fake service answer other than with a position.
const QString refused202 = QStringLiteral("SN-202");
const QString refused204 = QStringLiteral("SN-204");
const QString failing500 = QStringLiteral("SN-500");
const QString badLatitude = QStringLiteral("SN-BADLAT");
// The clock text of a "No position" answer, with a comma for the export.
const QByteArray nearerClock = "The camera's clock was set between the synchronizations of A and B; the clock offset "
                               "comes from the nearer one, of A.";

struct PhotoFile {
    QString name;
    QString serial; // empty: a JPEG without EXIF
    QString make = QStringLiteral("FUJIFILM");
    bool tiff = false;
};

// Positions by serial number, so every answer can be checked in the file.
double latitudeFor(const QString& serial, double base)
{
    return base + serial.mid(2).toInt() / 1000.0;
}

// Answers geotag requests by the photo's serial number, after a delay that
// differs per photo, so the answers come back out of order.
HttpAnswer geotagAnswer(const HttpRequest& request, double base, int delayBase)
{
    const QJsonObject body = QJsonDocument::fromJson(request.body).object();
    const QString serial = body.value("serialNumber").toString();
    const int delay = delayBase + int(qHash(serial) % 40);
    if (serial == refused202)
        return HttpAnswer::json(202, R"({"body":"No track at that time","head":"No position"})", delay);
    if (serial == refused204)
        return HttpAnswer::json(204, R"({"body":"Gap of 25 min in the track\nTry a later photo","head":"No position é",)"
                                     R"("clock":{"drift":"","text":")" + nearerClock + R"("},"utcTime":"2026-07-14T12:34:56.480Z"})", delay);
    if (serial == failing500)
        return HttpAnswer::json(500, "{}", delay);
    const double latitude = serial == badLatitude ? 5000.0 : latitudeFor(serial, base);
    // SN24's position comes from demo data, with a named place.
    const QByteArray answer = QStringLiteral("{\"accuracy\":12.7,\"altitude\":295.5,\"body\":\"\",\"head\":\"\",%2"
                                             "\"clock\":{\"text\":\"The clock offset comes from the synchronization of A.\"},"
                                             "\"latitude\":%1,\"longitude\":-14.5,\"photoTime\":\"2026-07-14 14:34:56\","
                                             "\"timeZone\":\"+02:00\",\"timeZoneId\":\"Europe/Ljubljana\","
                                             "\"timeZoneName\":\"CEST\"}")
                                  .arg(latitude, 0, 'f', 6)
                                  .arg(QString::fromUtf8(serial == "SN24" ? "\"demo\":true," + testsupport::placeMember(
                                           "Berlin", "Mitte", "Land Berlin", "Germany", "DE", 850) : ""))
                                  .toUtf8();
    return HttpAnswer::json(200, answer, delay);
}

bool makePhoto(const QString& folder, const PhotoFile& file)
{
    const QString path = folder + QLatin1Char('/') + file.name;
    const QImage image = testsupport::texturedImage(48, 32, qHash(file.name) % 1000);
    if (file.serial.isEmpty())
        return testsupport::writePhoto(path, image);
    const auto tags = testsupport::cameraTags(QStringLiteral("X-T3"), file.serial,
                                              QStringLiteral("2026:07:14 12:34:56"), file.make);
    return file.tiff ? testsupport::writeTiff(path, image, tags) : testsupport::writePhoto(path, image, tags);
}

// The rational text exiv2 gives for a latitude written in decimal degrees.
QString latitudeText(double degrees)
{
    return QStringLiteral("%1/1000000 0/1 0/1").arg(qint64(std::trunc(degrees * 1000000.0)));
}

// The results of the last run by file name.
QMap<QString, model::PhotoGeotag> resultsByName(const Model& state)
{
    QMap<QString, model::PhotoGeotag> byName;
    for (const model::PhotoGeotag& result : state.photos)
        byName.insert(QFileInfo(result.filePath).fileName(), result);
    return byName;
}

// Photos prefix00.jpg, prefix01.jpg, ... of cameras SN00, SN01, ...
QList<PhotoFile> numberedPhotos(const QString& prefix, int count, const QString& suffix = QStringLiteral(".jpg"))
{
    QList<PhotoFile> files;
    for (int i = 0; i < count; ++i) {
        const QString number = QStringLiteral("%1").arg(i, 2, 10, QLatin1Char('0'));
        files.append(PhotoFile{ prefix + number + suffix, QStringLiteral("SN") + number });
    }
    return files;
}


// One run of the program that geotags a folder in place: when it said it had
// begun, had every answer and had ended (ms from its start, -1: never), and
// how it ended.
struct ChildRun {
    qint64 begun = -1;
    qint64 answered = -1;
    qint64 ended = -1;
    bool killed = false;
    int exitCode = -1; // -1: it did not exit by itself
    QByteArray errors;
};

// Runs the program over folder, handling events meanwhile so that the fake
// service answers. With killAfter set, kills it (SIGKILL) that many ms after
// it printed mark, unless it has ended by then.
ChildRun runChild(const QString& folder, int renameDelayMs = 0, const QByteArray& mark = {}, int killAfter = -1)
{
    ChildRun run;
    QProcess child;
    QEventLoop loop;
    QTimer killer;
    killer.setSingleShot(true);
    QElapsedTimer clock;
    QByteArray out;
    QObject::connect(&child, &QProcess::readyReadStandardOutput, &loop, [&] {
        out += child.readAllStandardOutput();
        for (auto [line, at] : { std::pair { "begun\n", &run.begun }, { "answered\n", &run.answered },
                                 { "ended\n", &run.ended } })
            if (*at < 0 && out.contains(line))
                *at = clock.elapsed();
        if (killAfter >= 0 && out.contains(mark + '\n')) {
            killer.start(killAfter);
            killAfter = -1;
        }
    });
    // The program's debug lines, read as they come so that it never waits on them.
    QObject::connect(&child, &QProcess::readyReadStandardError, &loop, [&] { run.errors += child.readAllStandardError(); });
    QObject::connect(&killer, &QTimer::timeout, &loop, [&] {
        run.killed = child.state() == QProcess::Running;
        child.kill();
    });
    QObject::connect(&child, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop, &QEventLoop::quit);
    QObject::connect(&child, &QProcess::errorOccurred, &loop, [&loop](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            loop.quit();
    });
    // A run that hangs fails the test instead of stopping it.
    QTimer::singleShot(300000, &loop, [&child] { child.kill(); });
    // Under AddressSanitizer the program's allocations take their stacks the
    // quick way: its runs last a third as long, and its faults are still found.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (environment.contains(QStringLiteral("ASAN_OPTIONS")))
        environment.insert(QStringLiteral("ASAN_OPTIONS"),
                           environment.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":fast_unwind_on_malloc=1"));
    child.setProcessEnvironment(environment);
    clock.start();
    child.start(QStringLiteral(KESTREL_GEOTAG_RUN_BINARY), { folder, QString::number(renameDelayMs) });
    loop.exec();
    if (child.exitStatus() == QProcess::NormalExit && child.state() == QProcess::NotRunning && !run.killed)
        run.exitCode = child.exitCode();
    run.errors = (run.errors + child.readAllStandardError()).right(4000);
    return run;
}

// Every file of folder by name, with its bytes.
QMap<QString, QByteArray> folderContents(const QString& folder)
{
    QMap<QString, QByteArray> contents;
    for (const QString& name : QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
        contents.insert(name, testsupport::readFile(folder + QLatin1Char('/') + name));
    return contents;
}

// What is wrong with folder after a run that wrote the latitudes of base,
// given its files before: a photo neither as it was nor completely written
// (its GPS tags read back, its picture intact), or any file but the photos,
// the others as they were and temporary files. Counts the photos written and
// lists the temporary files.
QString damage(const QString& folder, const QList<PhotoFile>& files, const QMap<QString, QByteArray>& before,
               const QMap<QString, QImage>& pictures, double base, int* written, QStringList* temporaries)
{
    static const QRegularExpression temporary(QStringLiteral("^\\..+\\.kestrel-[A-Za-z0-9]{6}$"));
    QMap<QString, QByteArray> now = folderContents(folder);
    *written = 0;
    for (const PhotoFile& file : files) {
        const QByteArray bytes = now.take(file.name);
        if (bytes == before.value(file.name))
            continue;
        const auto tags = testsupport::readExif(folder + QLatin1Char('/') + file.name);
        if (tags.value("Exif.GPSInfo.GPSLatitude") != latitudeText(latitudeFor(file.serial, base))
            || tags.value("Exif.GPSInfo.GPSLongitudeRef") != "W" || tags.value("Exif.Photo.BodySerialNumber") != file.serial
            || QImage::fromData(bytes) != pictures.value(file.name))
            return file.name + QStringLiteral(" is damaged (%1 bytes)").arg(bytes.size());
        ++*written;
    }
    temporaries->clear();
    for (auto other = now.cbegin(); other != now.cend(); ++other) {
        if (temporary.match(other.key()).hasMatch())
            *temporaries << other.key();
        else if (before.value(other.key(), "?") != other.value())
            return other.key() + QStringLiteral(" is left or changed");
    }
    return QString();
}

} // namespace

class TestGeotagging : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void copyMode();
    void rewriteMode();
    void stopThenRunAgain();
    void replaceRefused();
    void troubledRun_data();
    void troubledRun();
    void serviceDown_data();
    void serviceDown();
    void subfolders_data();
    void subfolders();
    void killedRuns();

private:
    QString newFolder(const QList<PhotoFile>& files);
    // Runs a whole geotagging of folder (a null folder: the one chosen last);
    // STOP after a long wait keeps a broken run from hanging the test.
    void run(MainController& controller, const QString& folder);

    FakeService m_service;
    QTemporaryDir m_root;
    int m_folders = 0;
};

void TestGeotagging::initTestCase()
{
    qRegisterMetaType<QNetworkReply*>();
    QVERIFY(m_service.listen());
    qputenv("KESTREL_SERVICE_URL", m_service.baseUrl().toUtf8());
    QCOMPARE(Model::baseUrl(), m_service.baseUrl());
    QVERIFY(m_root.isValid());
}

void TestGeotagging::init()
{
    QVERIFY(m_service.listen());
    m_service.reset();
    // Each controller saves its settings when it goes; start from none.
    QFile::remove(Model::configFilePath());
    QFile::remove(Model::preferencesFilePath());
    m_service.setHandler([](const HttpRequest& request) { return geotagAnswer(request, 46.0, 0); });
}

QString TestGeotagging::newFolder(const QList<PhotoFile>& files)
{
    const QString folder = m_root.filePath(QStringLiteral("run%1").arg(++m_folders));
    if (!QDir().mkpath(folder))
        return QString();
    for (const PhotoFile& file : files)
        if (!makePhoto(folder, file))
            return QString();
    return folder;
}

void TestGeotagging::run(MainController& controller, const QString& folder)
{
    if (!folder.isNull())
        controller.geotagPhotos(folder);
    QCOMPARE(controller.currentScreen(), controller::GeotagReady);
    bool safety = false;
    {
        QObject guard; // the STOP goes with it
        QTimer::singleShot(20000, &guard, [&] {
            safety = true;
            controller.toPreviousScreen();
        });
        controller.toNextScreen(); // starts the run and returns when it has ended
    }
    QCOMPARE(controller.currentScreen(), controller::GeotagResults);
    QVERIFY2(!safety, "the run did not end by itself");
}

void TestGeotagging::copyMode()
{
    const QList<PhotoFile> files = numberedPhotos("p", 20) + QList<PhotoFile> {
        { "U20.JPG", "SN20" }, { "U21.Jpg", "SN21" }, { "n10.JPEG", "SN23" }, { "n2.jpeg", "SN24" },
        { "N22.NEF", "SN22", "NIKON", true }, { "e202.jpg", refused202 }, { "e204.jpg", refused204 },
        { "e500.jpg", failing500 }, { "badlat.jpg", badLatitude }, { "noexif.jpg", QString() },
        { "olympus.ORF", "SN30", "OLYMPUS", true } };
    const QString folder = newFolder(files);
    QVERIFY(!folder.isEmpty());
    QVERIFY(testsupport::writeFile(folder + "/notes.txt", "not a photo"));
    QVERIFY(QDir(folder).mkdir("sub"));
    QVERIFY(makePhoto(folder + "/sub", { "p99.jpg", "SN99" }));
    QVERIFY(QDir(folder).mkdir("KESTREL"));
    QVERIFY(testsupport::writeFile(folder + "/KESTREL/p00.jpg", "an old copy"));
    QVERIFY(testsupport::writeFile(folder + "/KESTREL/badlat.jpg", "an old copy"));
    QMap<QString, QByteArray> originals;
    for (const PhotoFile& file : files)
        originals.insert(file.name, testsupport::readFile(folder + "/" + file.name));

    auto state = std::make_shared<Model>();
    MainController controller(state);
    MessageBoxes boxes(controller);
    state->userID = QStringLiteral("user-1");
    QSignalSpy progress(&controller, &MainController::geotagProgress);
    QSignalSpy requested(&controller, &MainController::geotaggingRequested);
    int updates = 0;
    connect(&controller, &MainController::photosUpdated, this, [&](model::PhotoGeotagList& photos) {
        ++updates;
        QCOMPARE(photos.size(), files.size());
    });
    run(controller, folder);

    QCOMPARE(requested.size(), 1);
    QCOMPARE(requested[0], (QList<QVariant> { folder + "/", folder + "/KESTREL/", files.size() }));
    QCOMPARE(updates, 1);
    // The old copies: one question before the run, answered OK.
    QCOMPARE(boxes.shown.size(), 1);
    QCOMPARE(boxes.shown[0].title + '|' + boxes.shown[0].text,
             "Replace the earlier copies?|The folder " + folder + "/KESTREL already holds copies of 2 of these photos, "
             "made by an earlier run. OK replaces them with new copies; Cancel leaves every file as it is.");
    boxes.shown.clear();
    // Results in natural order of the names, whatever order the answers came in.
    QStringList order;
    for (const model::PhotoGeotag& result : state->photos)
        order << QFileInfo(result.filePath).fileName();
    QCOMPARE(order.mid(0, 6), (QStringList { "badlat.jpg", "e202.jpg", "e204.jpg", "e500.jpg", "n2.jpeg", "n10.JPEG" }));
    // Names that differ in case alone still come in one order.
    QVERIFY(controller::PhotoListing::naturalLess("IMG_1.JPG", "img_1.jpg")
            != controller::PhotoListing::naturalLess("img_1.jpg", "IMG_1.JPG"));
    // A refusal that names the photo's moment (in the headers of a 204) keeps it.
    QCOMPARE(state->photos[2].utcTime + state->photos[1].utcTime, QStringLiteral("2026-07-14T12:34:56.480Z"));

    // At most five answers were awaited at any moment, and more than one was.
    QVERIFY2(m_service.maxOutstanding() <= 5, qPrintable(QString::number(m_service.maxOutstanding())));
    QVERIFY(m_service.maxOutstanding() >= 2);
    // One request per readable photo; the 500 answer was tried three times.
    QCOMPARE(m_service.requestsTo("/geocodeImage").size(), files.size() - 2 + 2);
    for (const HttpRequest& request : m_service.requests())
        if (request.body.contains("\"SN00\""))
            QCOMPARE(request.body,
                     QByteArray(R"({"GPSProcessingMethod":"","dateTimeOriginal":"2026-07-14 12:34:56",)"
                                R"("fileNumber":"","internalSerialNumber":"","model":"X-T3","serialNumber":"SN00",)"
                                R"("shutterCount":0,"timeZone":"","userID":"user-1"})"));

    // Progress: starts at 0, one step per photo, ends with the totals.
    const int total = files.size();
    QVERIFY(progress.size() >= total + 2);
    QCOMPARE(progress.first(), (QList<QVariant> { 0, 0, total }));
    QCOMPARE(progress.last(), (QList<QVariant> { total, 6, total }));
    for (const QList<QVariant>& step : progress)
        QCOMPARE(step[2].toInt(), total);

    const auto results = resultsByName(*state);
    for (const PhotoFile& file : files) {
        const model::PhotoGeotag result = results.value(file.name);
        const QString copy = folder + "/KESTREL/" + file.name;
        QCOMPARE(result.filePath, folder + "/" + file.name);
        QCOMPARE(testsupport::readFile(folder + "/" + file.name), originals.value(file.name));
        const bool good = file.serial.startsWith("SN") && file.serial.size() == 4 && file.make != "OLYMPUS";
        QCOMPARE(result.success, good);
        QCOMPARE(QFile::exists(copy), good);
        if (!good)
            continue;
        QCOMPARE(result.latitude, latitudeFor(file.serial, 46.0));
        QCOMPARE(QStringLiteral("%1 %2 %3 %4 %5 %6 %7")
                     .arg(result.longitude).arg(result.altitude).arg(result.accuracy)
                     .arg(result.photoTime, result.dateTimeOriginal, result.timeZoneId, result.errorTitle),
                 QStringLiteral("-14.5 295.5 12.7 2026-07-14 14:34:56 2026-07-14 12:34:56 Europe/Ljubljana "));
        // Without the date-time setting the capture time stays as it was.
        const auto tags = testsupport::readExif(copy);
        QCOMPARE(QStringList({ tags.value("Exif.GPSInfo.GPSLatitude"), tags.value("Exif.GPSInfo.GPSLongitudeRef"),
                               tags.value("Exif.Photo.BodySerialNumber"), tags.value("Exif.Photo.DateTimeOriginal") }),
                 QStringList({ latitudeText(result.latitude), "W", file.serial, "2026:07:14 12:34:56" }));
    }
    const QMap<QString, QString> failures {
        { "e202.jpg", "No position: No track at that time" },
        { "e500.jpg", QString("Network error: Network error (%1) on 1003").arg(int(QNetworkReply::InternalServerError))
              + networkTail },
        { "noexif.jpg", "EXIF Error: Error reading EXIF data from the image file" },
        { "olympus.ORF", "EXIF Error: Unsupported Camera model" } };
    for (auto it = failures.cbegin(); it != failures.cend(); ++it)
        QCOMPARE(results[it.key()].errorTitle + ": " + results[it.key()].errorText, it.value());
    QVERIFY(!QFile::exists(folder + "/KESTREL/sub"));
    QCOMPARE(QDir(folder + "/KESTREL").entryList(QDir::Files | QDir::Hidden).size(), total - 6);

    // The export: one CSV row per photo, one waypoint per located photo.
    controller.exportResults(m_root.filePath("export"));
    QCOMPARE(boxes.shown.size(), 1);
    QCOMPARE(boxes.shown[0].code, 201);
    const QStringList lines = QString::fromUtf8(testsupport::readFile(m_root.filePath("export.csv"))).split("\r\n");
    QCOMPARE(lines.size(), total + 2);
    QCOMPARE(lines[0], "file,status,latitude,longitude,altitude,accuracy (m),time zone,corrected time,message,clock,"
                       "city,sublocation,region,country,country code");
    const QString clock = ",The clock offset comes from the synchronization of A.";
    QCOMPARE(lines[1], folder + "/badlat.jpg,FAIL,,,,,,,EXIF Error: Error writing EXIF data to the image file" + clock + ",,,,,");
    // A 204 answer has no body in HTTP; its texts arrive as headers, line
    // break and accent included, and its other members with them: the
    // clock's text goes into its last column.
    QCOMPARE(lines[3], folder + QString::fromUtf8("/e204.jpg,FAIL,,,,,,,\"No position é: Gap of 25 min in the track\nTry a later photo\",\"")
                 + nearerClock + "\",,,,,");
    QCOMPARE(lines[5], folder + "/n2.jpeg,OK,46.024,-14.5,295.5,12.7,+02:00,2026-07-14 14:34:56,Demo position" + clock
                 + ",Berlin,Mitte,Land Berlin,Germany,DE");
    QCOMPARE(lines[6], folder + "/n10.JPEG,OK,46.023,-14.5,295.5,12.7,+02:00,2026-07-14 14:34:56," + clock + ",,,,,");
    QCOMPARE(testsupport::readExif(folder + "/KESTREL/n2.jpeg").value("Iptc.Application2.SubLocation"), "Mitte");
    QXmlStreamReader gpx(testsupport::readFile(m_root.filePath("export.gpx")));
    QStringList waypoints;
    while (gpx.readNext() != QXmlStreamReader::Invalid && !gpx.atEnd()) {
        if (gpx.isStartElement() && gpx.name() == QLatin1String("wpt"))
            waypoints << gpx.attributes().value("lat").toString() + " " + gpx.attributes().value("lon").toString();
        if (gpx.isStartElement() && gpx.name() == QLatin1String("desc"))
            waypoints.last() += " " + gpx.readElementText();
        if (gpx.isStartElement() && gpx.name() == QLatin1String("time"))
            QCOMPARE(gpx.readElementText(), QStringLiteral("2026-07-14T12:34:56Z"));
    }
    QVERIFY(!gpx.hasError());
    QCOMPARE(waypoints.size(), total - 6);
    QVERIFY(waypoints.contains("46.024 -14.5 Mitte, Berlin, Germany; Demo position") && waypoints.contains("46.023 -14.5"));
    controller.exportResults(m_root.filePath("no/such/folder/export.csv"));
    QCOMPARE(boxes.shown.size(), 2);
    QCOMPARE(boxes.shown[1].code, 204);
    QCOMPARE(boxes.shown[1].title, QStringLiteral("Cannot export the results"));
}

void TestGeotagging::rewriteMode()
{
    const QList<PhotoFile> files = numberedPhotos("r", 6, ".JPG")
        + QList<PhotoFile> { { "badlat.jpg", badLatitude }, { "o.ORF", "SN07", "OLYMPUS", true } };
    const QString folder = newFolder(files);
    QVERIFY(!folder.isEmpty());
    const QByteArray badOriginal = testsupport::readFile(folder + "/badlat.jpg");
    const QByteArray rawOriginal = testsupport::readFile(folder + "/o.ORF");
    // What a killed run left behind goes.
    QVERIFY(testsupport::writeFile(folder + "/.gone.JPG.kestrel-Ab12Cd", "half a photo"));

    auto state = std::make_shared<Model>();
    MainController controller(state);
    state->rewrite = true;
    state->modifyTimeDate = true;
    state->rawSidecars = true;
    QSignalSpy requested(&controller, &MainController::geotaggingRequested);
    // The person edits a photo just after its write, while the run goes on.
    const QString edited = folder + "/" + files[0].name;
    connect(&controller, &MainController::geotagProgress, &controller, [&] {
        const model::PhotoGeotagList& done = state->photos;
        if (!done.isEmpty() && done.last().filePath == edited && done.last().success)
            testsupport::writeFile(edited, "edited");
    });
    run(controller, folder);
    QCOMPARE(requested[0][1].toString(), folder + "/");
    QVERIFY(!QFileInfo::exists(folder + "/KESTREL"));
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size(),
             files.size() + 1);

    // The raw file of a make the reader refuses otherwise gets a sidecar.
    const auto results = resultsByName(*state);
    QCOMPARE(results["o.ORF"].summary(), QStringLiteral("GPS written to o.xmp"));
    QCOMPARE(testsupport::readFile(folder + "/o.ORF"), rawOriginal);
    QVERIFY(testsupport::readFile(folder + "/o.xmp").contains("exif:GPSLatitude=\"46,00.420000N\""));
    QCOMPARE(results.size(), files.size());
    QCOMPARE(results[files[0].name].summary(), QStringLiteral("EXIF Error: the photo changed while it was being written"));
    QCOMPARE(testsupport::readFile(edited), QByteArray("edited"));
    for (int i = 1; i < 6; ++i) {
        const QString name = files[i].name;
        QVERIFY(results[name].success);
        const auto tags = testsupport::readExif(folder + "/" + name);
        QCOMPARE(QStringList({ tags.value("Exif.GPSInfo.GPSLatitude"), tags.value("Exif.Photo.DateTimeOriginal"),
                               tags.value("Exif.Photo.OffsetTimeOriginal") }),
                 QStringList({ latitudeText(latitudeFor(files[i].serial, 46.0)), "2026:07:14 14:34:56", "+02:00" }));
    }
    QVERIFY(!results["badlat.jpg"].success);
    QCOMPARE(results["badlat.jpg"].summary(), QStringLiteral("EXIF Error: the position is out of range"));
    QCOMPARE(testsupport::readFile(folder + "/badlat.jpg"), badOriginal);
}

// STOP with five slow answers outstanding lists every photo, in order, as not
// processed. A second run of the folder starts at once: the first run's late
// answers, with other positions, change nothing.
void TestGeotagging::stopThenRunAgain()
{
    const QList<PhotoFile> files = numberedPhotos("s", 12);
    const QString folder = newFolder(files);
    QVERIFY(!folder.isEmpty());
    m_service.setHandler([](const HttpRequest& request) { return geotagAnswer(request, 11.0, 150); });

    auto state = std::make_shared<Model>();
    auto* client = new controller::RestClient;
    MainController controller(state, client);
    QSignalSpy replies(client->findChild<QNetworkAccessManager*>(), &QNetworkAccessManager::finished);
    // STOP as soon as five requests are out, before any answer.
    const auto stopper = connect(&m_service, &FakeService::requestReceived, &controller, [&] {
        if (m_service.requests().size() == 5)
            controller.toPreviousScreen();
    });
    QSignalSpy stopped(&controller, &MainController::geotagStopped);
    run(controller, folder);
    disconnect(stopper);
    QCOMPARE(m_service.requests().size(), 5);
    QCOMPARE(m_service.answered(), 0);
    QCOMPARE(stopped.size(), 1);
    QCOMPARE(stopped[0], (QList<QVariant> { 0, 12 }));
    const model::PhotoGeotagList& listed = state->photos;
    QCOMPARE(listed.size(), 12);
    for (int i = 0; i < 12; ++i)
        QCOMPARE(listed[i].filePath.mid(folder.size() + 1) + ": " + listed[i].errorTitle + (listed[i].success ? " OK" : ""),
                 files[i].name + ": Not processed (stopped)");
    QCOMPARE(QDir(folder + "/KESTREL").entryList(QDir::Files | QDir::Hidden).size(), 0);

    m_service.setHandler([](const HttpRequest& request) { return geotagAnswer(request, 22.0, 40); });
    QSignalSpy progress(&controller, &MainController::geotagProgress);
    run(controller, folder);
    // Every answer of both runs has reached the client.
    QTRY_COMPARE(replies.size(), 5 + 12);
    QCOMPARE(progress.last(), (QList<QVariant> { 12, 0, 12 }));
    int previous = 0;
    for (const QList<QVariant>& step : progress) {
        QVERIFY(step[0].toInt() >= previous && step[0].toInt() <= 12);
        previous = step[0].toInt();
    }
    const auto results = resultsByName(*state);
    QCOMPARE(state->photos.size(), 12);
    for (const PhotoFile& file : files) {
        QVERIFY(results[file.name].success);
        QCOMPARE(results[file.name].latitude, latitudeFor(file.serial, 22.0));
        const auto tags = testsupport::readExif(folder + "/KESTREL/" + file.name);
        QCOMPARE(tags.value("Exif.GPSInfo.GPSLatitude"), latitudeText(latitudeFor(file.serial, 22.0)));
    }
}

// Cancel on the question leaves every file as it was and sends nothing.
void TestGeotagging::replaceRefused()
{
    const QString folder = newFolder({ { "a.jpg", "SN01" }, { "b.jpg", "SN02" } });
    QVERIFY(QDir(folder).mkdir("KESTREL") && testsupport::writeFile(folder + "/KESTREL/a.jpg", "an old copy"));
    const QByteArray original = testsupport::readFile(folder + "/a.jpg");
    auto state = std::make_shared<Model>();
    MainController controller(state);
    MessageBoxes boxes(controller);
    boxes.answer = false;
    controller.geotagPhotos(folder);
    controller.toNextScreen();
    QCOMPARE(QString::number(boxes.shown.size()) + " " + QString::number(boxes.shown.value(0).code) + " "
                 + boxes.shown.value(0).text.section(' ', 3, 10),
             "1 222 already holds copies of 1 of these photos,");
    QCOMPARE(controller.currentScreen(), controller::GeotagReady);
    QCOMPARE(m_service.requests().size(), 0);
    QCOMPARE(testsupport::readFile(folder + "/a.jpg"), original);
    QCOMPARE(testsupport::readFile(folder + "/KESTREL/a.jpg"), QByteArray("an old copy"));
    QCOMPARE(QDir(folder + "/KESTREL").entryList(QDir::Files | QDir::Hidden), QStringList { "a.jpg" });
}

void TestGeotagging::troubledRun_data()
{
    QTest::addColumn<QString>("trouble");
    QTest::addColumn<QString>("failure"); // of a.jpg (%1: the output folder), and of b.jpg unless it succeeds
    QTest::addColumn<bool>("bothFail");
    QTest::addColumn<int>("requests");
    QTest::newRow("output name taken by a file")
        << "file" << "EXIF Error: The output folder %1 cannot be created: a file of that name is in the way." << true << 0;
    QTest::newRow("output name taken by a link to a folder")
        << "link" << "EXIF Error: The output folder %1 is a link; nothing is written through it." << true << 0;
    // Three attempts per photo, each aborted.
    QTest::newRow("service never answers") << "silent"
        << QString("Network error: Network error (%1) on 1003").arg(int(QNetworkReply::OperationCanceledError)) + networkTail
        << true << 6;
    QTest::newRow("photo gone before its answer")
        << "gone" << "EXIF Error: Error writing EXIF data to the image file" << false << 2;
}

// Nothing is written through or over whatever holds the output folder's name,
// nor for a photo without a position; no box interrupts the run.
void TestGeotagging::troubledRun()
{
    QFETCH(QString, trouble);
    QFETCH(QString, failure);
    QFETCH(bool, bothFail);
    const QString folder = newFolder({ { "a.jpg", "SN01" }, { "b.jpg", "SN02" } });
    QVERIFY(!folder.isEmpty());
    const QString elsewhere = m_root.filePath(QStringLiteral("elsewhere%1").arg(m_folders));
    if (trouble == "link")
        QVERIFY(QDir().mkpath(elsewhere) && QFile::link(elsewhere, folder + "/KESTREL"));
    else if (trouble == "file")
        QVERIFY(testsupport::writeFile(folder + "/KESTREL", "my notes"));
    else if (trouble == "silent")
        m_service.setHandler([](const HttpRequest&) { return HttpAnswer::silent(); });
    else
        m_service.setHandler([folder](const HttpRequest& request) {
            if (request.body.contains("\"SN01\""))
                QFile::remove(folder + "/a.jpg");
            return geotagAnswer(request, 46.0, 0);
        });
    auto state = std::make_shared<Model>();
    auto* client = new controller::RestClient;
    MainController controller(state, client);
    MessageBoxes boxes(controller);
    // Long enough for every attempt to reach the service on a busy machine.
    client->setPutTimeout(250);
    run(controller, folder);
    QTEST(m_service.requests().size(), "requests");
    QStringList results;
    for (const model::PhotoGeotag& result : state->photos)
        results << result.filePath.mid(folder.size() + 1) + ": "
                + (result.success ? QString("OK") : result.errorTitle + ": " + result.errorText);
    failure = failure.arg(folder + "/KESTREL");
    QCOMPARE(results, QStringList({ "a.jpg: " + failure, "b.jpg: " + (bothFail ? failure : QString("OK")) }));
    QVERIFY(boxes.shown.isEmpty());
    if (trouble == "link")
        QVERIFY(QDir(elsewhere).entryList(QDir::Files | QDir::Hidden).isEmpty());
    else if (trouble == "file")
        QCOMPARE(testsupport::readFile(folder + "/KESTREL"), QByteArray("my notes"));
    else
        QCOMPARE(QDir(folder + "/KESTREL").entryList(QDir::Files | QDir::Hidden),
                 bothFail ? QStringList() : QStringList { "b.jpg" });
}

void TestGeotagging::serviceDown_data()
{
    QTest::addColumn<bool>("synchronization");
    QTest::addColumn<bool>("unit"); // installed with the service's user unit
    QTest::addColumn<QString>("advice");
    const QString script = "scripts/start-service.sh (or build/kestrel-service serve)";
    QTest::newRow("geotagging") << false << false << script;
    QTest::newRow("synchronization") << true << false << script;
    QTest::newRow("installed") << false << true << "systemctl --user start kestrel-service";
}

// One check, one box naming the address; no request is sent.
void TestGeotagging::serviceDown()
{
    QFETCH(bool, synchronization);
    const QString folder = newFolder({ { "a.jpg", "SN01" }, { "b.jpg", "SN02" } });
    QVERIFY(!folder.isEmpty());
    m_service.stopListening();
    auto state = std::make_shared<Model>();
    MainController controller(state);
    QTemporaryDir install;
    QFETCH(bool, unit);
    QFETCH(QString, advice);
    const QString program = QCoreApplication::applicationDirPath(), unitFile = install.filePath("kestrel-service.service");
    QVERIFY(testsupport::writeFile(unitFile, "[Unit]\n"));
    controller.setServiceInstall({ program, unit ? program : install.path(), unitFile });
    MessageBoxes boxes(controller);
    int cameras = 0;
    connect(&controller, &MainController::camerasUpdated, this, [&cameras](model::CameraList&) { ++cameras; });
    controller.geotagPhotos(folder);
    if (synchronization)
        controller.synchronizeCamera(folder + "/a.jpg");
    else
        controller.toNextScreen();
    QCOMPARE(controller.currentScreen(), controller::GeotagReady);
    QCOMPARE(cameras, synchronization ? 1 : 0);
    QCOMPARE(boxes.shown.size(), 1);
    QCOMPARE(QString::number(boxes.shown[0].code) + " " + boxes.shown[0].text,
             "204 Kestrel cannot reach its web service at " + m_service.baseUrl()
                 + ". Start it with " + advice + ", or set KESTREL_SERVICE_URL.");
    QVERIFY(state->photos.isEmpty());
    QCOMPARE(m_service.requests().size(), 0);
}

void TestGeotagging::subfolders_data()
{
    QTest::addColumn<bool>("include");
    QTest::addColumn<QString>("note");
    QTest::newRow("off") << false << QString::fromUtf8("no photos found; 1 files of other types; 1 subfolders \u2014 turn on "
                                              "'include subfolders'");
    QTest::newRow("on") << true << QString();
}

// Subfolders are searched on request, never the output folder or a link;
// without them the folder holds no photo.
void TestGeotagging::subfolders()
{
    QFETCH(bool, include);
    const QString folder = newFolder({});
    QVERIFY(QDir(folder).mkpath("trip/day 2") && QDir(folder).mkpath("KESTREL"));
    QVERIFY(makePhoto(folder + "/trip", { "P10.jpg", "SN10" }) && makePhoto(folder + "/trip", { "P2.jpg", "SN02" }));
    QVERIFY(makePhoto(folder + "/trip/day 2", { "P1.jpg", "SN01" }) && makePhoto(folder + "/trip", { "gone.jpg", "SN04" }));
    QVERIFY(makePhoto(folder + "/KESTREL", { "old.jpg", "SN03" }));
    QVERIFY(QFile::link(folder + "/trip", folder + "/loop"));
    QVERIFY(testsupport::writeFile(folder + "/notes.txt", "x"));
    auto state = std::make_shared<Model>();
    MainController controller(state);
    state->includeSubfolders = include;
    QSignalSpy notes(&controller, &MainController::photoFolderNote);
    QSignalSpy requested(&controller, &MainController::geotaggingRequested);
    QSignalSpy progress(&controller, &MainController::geotagProgress);
    controller.geotagPhotos(folder + "/"); // a trailing slash is not doubled
    QCOMPARE(notes.size(), 1);
    QTEST(notes[0][0].toString(), "note");
    QCOMPARE(requested[0], (QList<QVariant> { folder + "/", folder + "/KESTREL/", include ? 4 : 0 }));
    QCOMPARE(state->inputFolder, folder + "/");
    // A photo removed after the folder was chosen is not waited for: the run
    // ends by itself. Without photos it ends at once with empty totals.
    QVERIFY(!include || QFile::remove(folder + "/trip/gone.jpg"));
    run(controller, QString());
    QCOMPARE(progress.last(), (QList<QVariant> { include ? 3 : 0, 0, include ? 4 : 0 }));
    QStringList done;
    for (const model::PhotoGeotag& result : state->photos)
        done << result.filePath.mid(folder.size() + 1) + (result.success ? "" : " failed");
    QCOMPARE(done, include ? (QStringList { "trip/day 2/P1.jpg", "trip/P2.jpg", "trip/P10.jpg" }) : QStringList());
    for (const QString& path : done)
        QVERIFY2(QFileInfo(folder + "/KESTREL/" + path).isFile(), qPrintable(path));
    QCOMPARE(m_service.requests().size(), done.size());
}

// Runs killed (SIGKILL) at random moments leave every photo as it was or
// completely written, never anything between; the next run removes the
// temporary files a killed one left, and no other file. Each run writes other
// latitudes, so that a photo written by an earlier run counts as it was.
void TestGeotagging::killedRuns()
{
    const QList<PhotoFile> files = numberedPhotos("k", 40);
    const QString folder = newFolder(files);
    QVERIFY(!folder.isEmpty());
    // Names close to those of the temporary files, but not theirs.
    for (const char* name : { "k00.jpg.kestrel-Ab12Cd", ".k00.jpg.kestrel-Ab12C", ".k00.jpg.kestrel-Ab12Cd.x" })
        QVERIFY(testsupport::writeFile(folder + "/" + name, "mine"));
    const QMap<QString, QByteArray> originals = folderContents(folder);
    QMap<QString, QImage> pictures;
    for (const PhotoFile& file : files)
        pictures.insert(file.name, QImage::fromData(originals.value(file.name)));
    bool seedGiven = false;
    const quint32 given = qEnvironmentVariable("KESTREL_KILL_SEED").toUInt(&seedGiven);
    const quint32 seed = seedGiven ? given : QRandomGenerator::global()->generate();
    qInfo("killed runs: seed %u (KESTREL_KILL_SEED=%u repeats the moments)", seed, seed);
    QRandomGenerator random(seed);
    auto base = std::make_shared<int>(10);
    m_service.setHandler([base](const HttpRequest& request) { return geotagAnswer(request, *base, 0); });
    int written = 0;
    QStringList temporaries;
    const auto whole = [&](int renameDelayMs, ChildRun* run) {
        *run = runChild(folder, renameDelayMs);
        QVERIFY2(run->exitCode == 0, run->errors.constData());
        QCOMPARE(damage(folder, files, originals, pictures, *base, &written, &temporaries), QString());
        QCOMPARE(written, files.size());
        QCOMPARE(temporaries, QStringList());
    };

    // A whole run times the runs; the photos are then as they were.
    ChildRun first;
    whole(0, &first);
    if (QTest::currentTestFailed())
        return;
    for (const PhotoFile& file : files)
        QVERIFY(testsupport::writeFile(folder + "/" + file.name, originals.value(file.name)));
    QStringList left;
    QStringList rounds;
    const auto killed = [&](int renameDelayMs, const QByteArray& mark, qint64& span) {
        ++*base;
        const QMap<QString, QByteArray> before = folderContents(folder);
        const int delay = int(random.bounded(quint32(span) + 1));
        const ChildRun run = runChild(folder, renameDelayMs, mark, delay);
        QVERIFY2(run.begun >= 0 && (run.killed || run.exitCode == 0), run.errors.constData());
        if (!run.killed) // faster than the runs timed: the moments follow
            span = (mark == "begun" ? run.ended - run.begun : run.ended - run.answered);
        const QString wrong = damage(folder, files, before, pictures, *base, &written, &temporaries);
        QVERIFY2(wrong.isEmpty(), qPrintable(QStringLiteral("killed %1 ms after '%2': ").arg(delay).arg(mark.data()) + wrong));
        // The killed run removed what the one before had left.
        for (const QString& name : qAsConst(left))
            QVERIFY2(!temporaries.contains(name), qPrintable(name + " was left by the run before"));
        left = temporaries;
        rounds << QStringLiteral("%1%2:%3/%4").arg(run.killed ? "" : "ended ").arg(delay).arg(written).arg(temporaries.size());
    };
    int kept = 0;
    qint64 span = first.ended - first.begun;
    for (int round = 0; round < 20 && !QTest::currentTestFailed(); ++round) {
        killed(0, "begun", span);
        kept += temporaries.isEmpty() ? 0 : 1;
    }
    // Renames as slow as on a slow disk: the kills land while the last
    // replacements go in place.
    ChildRun slow;
    if (!QTest::currentTestFailed())
        whole(10, &slow);
    span = slow.ended - slow.answered;
    for (int round = 0; round < 4 && !QTest::currentTestFailed(); ++round)
        killed(10, "answered", span);
    qInfo("killed runs (ms after the start or the answers: photos written/temporary files left): %s",
          qPrintable(rounds.join(' ')));
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(kept > 0, "no kill left a temporary file: the kills all missed the runs");
    ++*base;
    whole(0, &first);
}

QTEST_MAIN(TestGeotagging)
#include "tst_geotagging.moc"
