#include "controller/selftest.h"

#include <QDataStream>
#include <QEventLoop>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>

#include <algorithm>
#include <functional>
#include <iterator>

#include <exiv2/exiv2.hpp>
#include <quirc.h>

#include "controller/barcodereader.h"
#include "controller/exifinfo.h"
#include "controller/exiftags.h"
#include "controller/restclient.h"
#include "controller/servicemessages.h"
#include "json/jsonvalue.h"
#include "model/model.h"
#include "model/photoinfo.h"

namespace controller {

namespace {

QString jsonRoundTrips()
{
    const std::string texts[] = {
        R"({"cameras":[{"cameraName":"X-T3","serial":"123","synchronizations":[]}],"phoneName":"Pixel"})",
        R"([1,-2,3.500000,true,false,null,"a\"b\\c\n"])",
        R"({"B":1,"a":2,"b":{}})",
    };
    for (const std::string& text : texts) {
        const std::string written = JsonValue::parse(text).serialize();
        if (written != text)
            return QStringLiteral("%1 was written back as %2")
                .arg(QString::fromStdString(text), QString::fromStdString(written));
    }
    if (!JsonValue::parse("{\"a\":1,}").isNull())
        return QStringLiteral("malformed text was not rejected");
    return QString();
}

QString settingsFileRoundTrip()
{
    QTemporaryDir dir;
    if (!dir.isValid())
        return QStringLiteral("cannot create a temporary folder: %1").arg(dir.errorString());
    const QString path = dir.filePath(QStringLiteral("config.dat"));
    model::Model written;
    written.userID = QStringLiteral("self-test-\u00e9");
    written.rewrite = true;
    written.modifyTimeDate = false;
    if (!written.save(path))
        return QStringLiteral("cannot write %1").arg(path);
    if (QFile(path).size() != 6 + 2 * written.userID.size())
        return QStringLiteral("the file has %1 bytes").arg(QFile(path).size());
    model::Model read;
    if (!read.load(path))
        return QStringLiteral("cannot read %1 back").arg(path);
    if (read.userID != written.userID || read.rewrite != written.rewrite
        || read.modifyTimeDate != written.modifyTimeDate)
        return QStringLiteral("read back different values");
    return QString();
}

QString exifKeysKnown()
{
    const char* keys[] = {
        "Exif.GPSInfo.GPSHPositioningError",
        "Exif.Photo.OffsetTime",
        "Exif.Photo.OffsetTimeOriginal",
        "Exif.Photo.OffsetTimeDigitized",
        "Exif.Image.TimeZoneOffset",
    };
    for (const char* key : keys) {
        try {
            Exiv2::ExifKey known(key);
        } catch (const Exiv2::AnyError& error) {
            return QStringLiteral("exiv2 %1 does not know %2: %3")
                .arg(QString::fromStdString(Exiv2::versionString()), QString::fromLatin1(key),
                     QString::fromLocal8Bit(error.what()));
        }
    }
    return QString();
}

// A small JPEG with the EXIF of a camera photo; empty on success, else the reason.
QString makeExifPhoto(const QString& path)
{
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(qRgb(90, 140, 200));
    if (!image.save(path, "JPEG"))
        return QStringLiteral("cannot write %1").arg(path);
    auto photo = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
    photo->readMetadata();
    Exiv2::ExifData& data = photo->exifData();
    data["Exif.Image.Make"] = std::string("SELFTEST");
    data["Exif.Image.Model"] = std::string("Kestrel 1");
    data["Exif.Photo.BodySerialNumber"] = std::string("0042");
    data["Exif.Photo.DateTimeOriginal"] = std::string("2016:05:03 10:20:30");
    photo->writeMetadata();
    return QString();
}

// check's verdict on a photo that makeExifPhoto made in a new temporary folder.
QString withGeneratedPhoto(const std::function<QString(const QString& path)>& check)
{
    QTemporaryDir dir;
    if (!dir.isValid())
        return QStringLiteral("cannot create a temporary folder: %1").arg(dir.errorString());
    const QString path = dir.filePath(QStringLiteral("photo.jpg"));
    const QString made = makeExifPhoto(path);
    return made.isEmpty() ? check(path) : made;
}

QString exifReads(const QString& path)
{
    ExifInfo exif(nullptr);
    model::PhotoInfo info;
    info.clear();
    model::Failure failure;
    if (!exif.read(path, &info, &failure))
        return QStringLiteral("read failed: %1").arg(failure.detail);
    if (info.model != QLatin1String("Kestrel 1") || info.serialNumber != QLatin1String("0042")
        || info.dateTimeOriginal != QLatin1String("2016-05-03 10:20:30"))
        return QStringLiteral("read %1, %2, %3").arg(info.model, info.serialNumber, info.dateTimeOriginal);
    return QString();
}

QString exifWritesAndReadsBack(const QString& path)
{
    model::PhotoGeotag result;
    result.latitude = -0.5;
    result.longitude = 12.25;
    result.altitude = -12.345;
    result.accuracy = 32.3; // 32299.999... mm as a double
    result.photoTime = QStringLiteral("2017-08-09 11:12:13");
    result.timeZone = QStringLiteral("-05:00");

    // What the writer sets in this kind of file, worked out on a copy of
    // its EXIF data: every entry must read back so. Which entries that are
    // depends on the file (DNG's offset in hours only goes into DNG files).
    auto photo = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
    photo->readMetadata();
    Exiv2::ExifData expected = photo->exifData();
    model::PhotoGeotag written = result;
    written.photoTime = exiftags::exifTime(result.photoTime);
    exiftags::Answer answer;
    std::vector<std::string> keys;
    if (!exiftags::answerOf(written, &answer))
        return QStringLiteral("the values do not fit EXIF");
    exiftags::setTags(expected, true, written, answer, &keys);

    ExifInfo exif(nullptr);
    model::Failure failure;
    if (!exif.write(path, true, &result, &failure))
        return QStringLiteral("write failed: %1").arg(failure.detail);

    // And the values themselves, in the texts the EXIF standard gives them.
    const std::pair<const char*, const char*> meant[] = {
        { "Exif.GPSInfo.GPSLatitudeRef", "S" },
        { "Exif.GPSInfo.GPSLatitude", "500000/1000000 0/1 0/1" },
        { "Exif.GPSInfo.GPSLongitudeRef", "E" },
        { "Exif.GPSInfo.GPSLongitude", "12250000/1000000 0/1 0/1" },
        { "Exif.GPSInfo.GPSAltitudeRef", "1" },
        { "Exif.GPSInfo.GPSAltitude", "1234/100" },
        { "Exif.GPSInfo.GPSHPositioningError", "32300/1000" },
        { "Exif.Photo.DateTimeOriginal", "2017:08:09 11:12:13" },
        { "Exif.Photo.OffsetTime", "-05:00" },
        { "Exif.Photo.OffsetTimeOriginal", "-05:00" },
        { "Exif.Image.Model", "Kestrel 1" },
    };
    std::vector<std::pair<std::string, std::string>> checks(std::begin(meant), std::end(meant));
    for (const std::string& key : keys)
        checks.emplace_back(key, expected[key].toString());
    photo = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
    photo->readMetadata();
    const Exiv2::ExifData& data = photo->exifData();
    // An entry the writer leaves out must not appear either.
    if (std::find(keys.begin(), keys.end(), "Exif.Image.TimeZoneOffset") == keys.end())
        checks.emplace_back("Exif.Image.TimeZoneOffset", "(missing)");
    for (const auto& entry : checks) {
        const auto found = data.findKey(Exiv2::ExifKey(entry.first));
        const std::string text = found == data.end() ? std::string("(missing)") : found->toString();
        if (text != entry.second)
            return QStringLiteral("%1 reads back as %2, expected %3")
                .arg(QString::fromStdString(entry.first), QString::fromStdString(text),
                     QString::fromStdString(entry.second));
    }
    return QString();
}

QString quircCreatesDecoder()
{
    quirc* decoder = quirc_new();
    if (!decoder)
        return QStringLiteral("quirc_new failed");
    const int resized = quirc_resize(decoder, 64, 64);
    quirc_destroy(decoder);
    if (resized < 0)
        return QStringLiteral("quirc_resize failed");
    return QString();
}

// Asks the configured web service for the camera list of no user: any HTTP
// answer from 200 to 204 shows that the service is there and speaks.
QString webServiceReachable()
{
    const QString url = ServiceMessages::cameraListUrl();
    RestClient client;
    client.setPutTimeout(5000);
    QEventLoop loop;
    bool answered = false;
    RestClient::Result result;
    client.put(url, ServiceMessages::cameraListRequest(QString()), [&](RestClient::Result answer, QByteArray) {
        answered = true;
        result = answer;
        loop.quit();
    });
    if (!answered)
        loop.exec();
    if (result.error == QNetworkReply::NoError && result.status >= code(Status::Ok)
        && result.status <= code(Status::Error))
        return QString();
    return QStringLiteral("%1: HTTP status %2, network error %3").arg(url).arg(result.status).arg(int(result.error));
}

// The modules of a QR code (level L) of the payload
// {"syncID":"kestrel-self-test","elapsedTime":1234}, '#' for dark.
const char* const selfTestCode[] = {
    "#######..#......#.###.#######",
    "#.....#.##.##.####....#.....#",
    "#.###.#..###..#...#.#.#.###.#",
    "#.###.#.##.#########..#.###.#",
    "#.###.#...#.#...#####.#.###.#",
    "#.....#.#.#...##....#.#.....#",
    "#######.#.#.#.#.#.#.#.#######",
    "...............#....#........",
    "#####.######..####...#.#.#.#.",
    "...#...#.#.#..#.#..######.#.#",
    "..##..##.#..#.###...#..#.#...",
    ".##..#...##....#..##.....#..#",
    "#.##.###.#...###.#..#.....##.",
    "#..#.#.#.#####..#.###.#####.#",
    "#.....#####....#....##....#..",
    "##.....###.##.###...#.#.##.##",
    "###...#.#....##..#.#......##.",
    "####.#..#..###..#..#..#.#..##",
    "#..####.###.#.#####......###.",
    "#..###..##.##.###...##...#..#",
    "#.#.#.#..#...###.#.######..##",
    "........#.###...#...#...#.#.#",
    "#######.#.....##...##.#.##...",
    "#.....#..##.#.#...###...##...",
    "#.###.#.###..#.#.##.#####..#.",
    "#.###.#.#..##.....##...#.#..#",
    "#.###.#.##..##.#.###..#.#..#.",
    "#.....#.#..##..##.#.##.....#.",
    "#######.##.#.#...###.##.#.#..",
};

QString syncCodeDecoded()
{
    const int side = int(sizeof selfTestCode / sizeof selfTestCode[0]);
    const int module = 12;
    // A grey room with a gradient, and a phone whose screen shows the code
    // a little off centre.
    QImage photo(1600, 1200, QImage::Format_RGB32);
    for (int y = 0; y < photo.height(); ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(photo.scanLine(y));
        for (int x = 0; x < photo.width(); ++x) {
            const int v = 70 + (x + 2 * y) / 40 + (x * 7 + y * 13) % 23;
            line[x] = qRgb(v + 15, v, v - 10);
        }
    }
    QPainter painter(&photo);
    const int codeSide = (side + 8) * module;
    const QRect screen(560, 330, codeSide, codeSide);
    painter.fillRect(screen.adjusted(-30, -120, 30, 120), QColor(28, 28, 32));
    painter.fillRect(screen, QColor(236, 238, 240));
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x)
            if (selfTestCode[y][x] == '#')
                painter.fillRect(screen.left() + (x + 4) * module, screen.top() + (y + 4) * module, module, module,
                                 QColor(22, 22, 26));
    painter.end();

    QTemporaryDir dir;
    if (!dir.isValid())
        return QStringLiteral("cannot create a temporary folder: %1").arg(dir.errorString());
    const QString path = dir.filePath(QStringLiteral("sync.jpg"));
    if (!photo.save(path, "JPEG", 90))
        return QStringLiteral("cannot write %1").arg(path);
    model::PhotoInfo info;
    info.clear();
    if (!BarcodeReader().read(path, &info))
        return QStringLiteral("no code read in %1").arg(path);
    if (info.syncId != QLatin1String("kestrel-self-test") || info.elapsedTime != 1234)
        return QStringLiteral("read syncID %1 and elapsedTime %2").arg(info.syncId).arg(info.elapsedTime);
    return QString();
}

} // namespace

SelfTest::SelfTest(QTextStream& out)
    : m_out(out)
{
}

void SelfTest::check(const QString& name, const Check& body)
{
    QString reason;
    try {
        reason = body();
    } catch (const std::exception& error) {
        reason = QStringLiteral("exception: %1").arg(QString::fromLocal8Bit(error.what()));
    }
    if (reason.isEmpty()) {
        ++m_passed;
        m_out << QStringLiteral("%1 PASS").arg(name, -40) << '\n';
    } else {
        ++m_failed;
        m_out << QStringLiteral("%1 FAIL %2").arg(name, -40).arg(reason) << '\n';
    }
    m_out.flush();
}

int SelfTest::run()
{
    m_out << "Kestrel self-test\n";
    check(QStringLiteral("json: round trips"), jsonRoundTrips);
    check(QStringLiteral("settings: config.dat write and read"), settingsFileRoundTrip);
    check(QStringLiteral("exiv2: EXIF 2.31 keys known"), exifKeysKnown);
    check(QStringLiteral("exif: generated photo read"), [] { return withGeneratedPhoto(exifReads); });
    check(QStringLiteral("exif: tags written and read back"), [] { return withGeneratedPhoto(exifWritesAndReadsBack); });
    check(QStringLiteral("quirc: decoder created"), quircCreatesDecoder);
    check(QStringLiteral("quirc: sync code in a photo decoded"), syncCodeDecoded);
    check(QStringLiteral("service: web service reachable"), webServiceReachable);
    m_out << QStringLiteral("%1 passed, %2 failed").arg(m_passed).arg(m_failed) << '\n';
    m_out.flush();
    return m_failed;
}

} // namespace controller
