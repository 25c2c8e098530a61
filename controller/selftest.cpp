#include "controller/selftest.h"

#include <QDataStream>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>

#include <exiv2/exiv2.hpp>
#include <quirc.h>

#include "controller/barcodereader.h"
#include "json/jsonvalue.h"
#include "model/model.h"

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
    : out(out)
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
        ++passed;
        out << QStringLiteral("%1 PASS").arg(name, -40) << '\n';
    } else {
        ++failed;
        out << QStringLiteral("%1 FAIL %2").arg(name, -40).arg(reason) << '\n';
    }
    out.flush();
}

int SelfTest::run()
{
    out << "Kestrel self-test\n";
    check(QStringLiteral("json: round trips"), jsonRoundTrips);
    check(QStringLiteral("settings: config.dat write and read"), settingsFileRoundTrip);
    check(QStringLiteral("exiv2: EXIF 2.31 keys known"), exifKeysKnown);
    check(QStringLiteral("quirc: decoder created"), quircCreatesDecoder);
    check(QStringLiteral("quirc: sync code in a photo decoded"), syncCodeDecoded);
    out << QStringLiteral("%1 passed, %2 failed").arg(passed).arg(failed) << '\n';
    out.flush();
    return failed;
}

} // namespace controller
