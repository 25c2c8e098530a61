#include <QtTest>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

#include <exiv2/exiv2.hpp>

#include "controller/exifinfo.h"
#include "controller/exifwritehook.h"
#include "model/model.h"
#include "model/photoinfo.h"
#include "support/files.h"
#include "support/photos.h"

using testsupport::ExifTags;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

const QString readError = QStringLiteral("Error reading EXIF data from the image file");
const QString unsupportedCamera = QStringLiteral("Unsupported Camera model");
const QString writeError = QStringLiteral("Error writing EXIF data to the image file");

struct Entry {
    QString key;
    QString type;
    long count = 0;
    QString text;
    QByteArray bytes;
};

// Every EXIF entry of a file in the library's order of decoding.
QList<Entry> entries(const QString& path)
{
    QList<Entry> list;
    try {
        auto image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
        image->readMetadata();
        for (const Exiv2::Exifdatum& datum : image->exifData()) {
            QByteArray bytes(int(datum.size()), '\0');
            if (!bytes.isEmpty())
                datum.copy(reinterpret_cast<Exiv2::byte*>(bytes.data()), Exiv2::littleEndian);
            list.append({ QString::fromStdString(datum.key()),
                          QString::fromLatin1(datum.typeName() ? datum.typeName() : ""), long(datum.count()),
                          QString::fromStdString(datum.toString()), bytes });
        }
    } catch (const Exiv2::AnyError& error) {
        qWarning() << "cannot read" << path << error.what();
    }
    return list;
}

int countOf(const QList<Entry>& list, const QString& key)
{
    return int(std::count_if(list.begin(), list.end(), [&key](const Entry& entry) { return entry.key == key; }));
}

// The one entry of key; an empty entry when it is missing or duplicated.
Entry entry(const QList<Entry>& list, const QString& key)
{
    for (const Entry& found : list)
        if (found.key == key && countOf(list, key) == 1)
            return found;
    return Entry();
}

model::PhotoInfo filled()
{
    return { "s", 5, "d", "m", "n", "i", 9, "f", "g", "t", "u" };
}

QStringList fields(const model::PhotoInfo& i)
{
    return { "syncId=" + i.syncId, "elapsedTime=" + QString::number(i.elapsedTime),
             "dateTimeOriginal=" + i.dateTimeOriginal, "model=" + i.model, "serialNumber=" + i.serialNumber,
             "internalSerialNumber=" + i.internalSerialNumber, "shutterCount=" + QString::number(i.shutterCount),
             "fileNumber=" + i.fileNumber, "gpsProcessingMethod=" + i.gpsProcessingMethod,
             "timeZone=" + i.timeZone, "subSecTimeOriginal=" + i.subSecTimeOriginal };
}

model::PhotoGeotag geotag(double latitude, double longitude, double altitude, double accuracy)
{
    model::PhotoGeotag result;
    result.latitude = latitude;
    result.longitude = longitude;
    result.altitude = altitude;
    result.accuracy = accuracy;
    result.photoTime = QStringLiteral("2016-05-03 10:20:30");
    result.timeZone = QStringLiteral("+02:00");
    return result;
}

QStringList listing(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

mode_t permissions(const QString& path)
{
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return 0;
    return status.st_mode & 07777;
}

// Every EXIF entry but the GPS ones and the offsets of directories and pixel
// data, which may move.
QStringList nonGpsEntries(const QString& path)
{
    const QStringList moving = { "Exif.Image.ExifTag", "Exif.Image.GPSTag", "Exif.Image.StripOffsets" };
    QStringList lines;
    for (const Entry& entry : entries(path))
        if (!entry.key.startsWith("Exif.GPSInfo.") && !moving.contains(entry.key))
            lines.append(entry.key + "=" + entry.text);
    return lines;
}

// Inserts bytes into a JPEG after its first segment starting with `after`.
QByteArray insertAfter(const QByteArray& bytes, const QByteArray& after, const QByteArray& inserted)
{
    int at = 2;
    while (at + 4 <= bytes.size()) {
        const int length = uchar(bytes[at + 2]) << 8 | uchar(bytes[at + 3]);
        if (bytes.mid(at, after.size()) == after)
            return bytes.left(at + 2 + length) + inserted + bytes.mid(at + 2 + length);
        at += 2 + length;
    }
    return QByteArray();
}

QByteArray segment(uchar marker, const QByteArray& content)
{
    const int length = content.size() + 2;
    return QByteArray(1, char(0xFF)) + char(marker) + char(length >> 8) + char(length & 0xFF) + content;
}

// What the library itself makes of the file at original given the values
// the tagged file holds: written to reference, and its bytes (empty when it
// cannot be made).
QByteArray libraryWrite(const QString& original, const QString& tagged, const QString& reference)
{
    if (!QFile::copy(original, reference))
        return QByteArray();
    auto answer = Exiv2::ImageFactory::open(QFile::encodeName(tagged).toStdString());
    answer->readMetadata();
    auto image = Exiv2::ImageFactory::open(QFile::encodeName(reference).toStdString());
    image->readMetadata();
    for (const char* key : { "Exif.GPSInfo.GPSVersionID", "Exif.GPSInfo.GPSLatitudeRef", "Exif.GPSInfo.GPSLongitudeRef",
                             "Exif.GPSInfo.GPSAltitudeRef", "Exif.GPSInfo.GPSAltitude", "Exif.GPSInfo.GPSLatitude",
                             "Exif.GPSInfo.GPSLongitude", "Exif.GPSInfo.GPSProcessingMethod",
                             "Exif.GPSInfo.GPSHPositioningError", "Exif.Image.DateTime", "Exif.Photo.DateTimeOriginal",
                             "Exif.Photo.DateTimeDigitized", "Exif.Image.TimeZoneOffset", "Exif.Photo.OffsetTime",
                             "Exif.Photo.OffsetTimeOriginal", "Exif.Photo.OffsetTimeDigitized",
                             "Exif.GPSInfo.GPSDateStamp", "Exif.GPSInfo.GPSTimeStamp", "Exif.Photo.ExifVersion" }) {
        const auto found = answer->exifData().findKey(Exiv2::ExifKey(key));
        if (found != answer->exifData().end())
            image->exifData()[key] = found->value();
    }
    image->writeMetadata();
    return readFile(reference);
}

// Imitates a writer that drops tags: "gps" drops every GPS entry, "artist"
// the artist.
class DroppingWriter : public controller::ExifWriteHook {
public:
    void beforeWrite(Exiv2::ExifData& data) override
    {
        for (auto it = data.begin(); it != data.end();)
            it = (drops == "gps" && it->groupName() == "GPSInfo") || (drops == "artist" && it->tagName() == "Artist")
                ? data.erase(it)
                : std::next(it);
    }

    QString drops;
};

} // namespace

class TestExifInfo : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
        m_exif.reset(new controller::ExifInfo(nullptr));
        m_info.clear();
        m_failure = model::Failure();
    }

    void clearEmptiesEveryField()
    {
        model::PhotoInfo emptied = filled();
        emptied.clear();
        QCOMPARE(fields(emptied), fields(model::PhotoInfo()));
        for (const QString* text : { &emptied.syncId, &emptied.dateTimeOriginal, &emptied.model, &emptied.serialNumber,
                                     &emptied.internalSerialNumber, &emptied.fileNumber, &emptied.gpsProcessingMethod,
                                     &emptied.timeZone, &emptied.subSecTimeOriginal })
            QVERIFY(!text->isNull());
    }

    void readsField_data()
    {
        QTest::addColumn<QString>("make");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char* name, const char* make, const char* key, const QString& value,
                            const QString& expected) { QTest::newRow(name) << make << key << value << expected; };

        row("date converted", "", "Exif.Photo.DateTimeOriginal", "2016:05:03 10:20:30",
            "dateTimeOriginal=2016-05-03 10:20:30");
        row("date of 8 characters", "", "Exif.Photo.DateTimeOriginal", "12345678", "dateTimeOriginal=1234-67-");
        row("date of 7 characters", "", "Exif.Photo.DateTimeOriginal", "2016:05", "dateTimeOriginal=2016:05");
        row("unicode model", "", "Exif.Image.Model", "Kamera \u00e9", "model=Kamera \u00e9");
        row("unique camera model ignored", "Canon", "Exif.Image.UniqueCameraModel", "EOS", "");
        row("body serial", "", "Exif.Photo.BodySerialNumber", "SN 0042", "serialNumber=SN 0042");
        row("camera serial ignored", "", "Exif.Image.CameraSerialNumber", "77", "");
        row("internal serial", "Canon", "Exif.Canon.InternalSerialNumber", "HB0123", "internalSerialNumber=HB0123");
        row("shutter count", "NIKON CORPORATION", "Exif.Nikon3.ShutterCount", "12345", "shutterCount=12345");
        row("file number", "Canon", "Exif.Canon.FileNumber", "1001234", "fileNumber=1001234");
        row("processing method", "", "Exif.GPSInfo.GPSProcessingMethod", "charset=Ascii NETWORK",
            "gpsProcessingMethod=charset=Ascii NETWORK");
        row("time zone offset", "", "Exif.Image.TimeZoneOffset", "-5 -4", "timeZone=-5 -4");
        row("fraction of a second", "", "Exif.Photo.SubSecTimeOriginal", " 048 ", "subSecTimeOriginal=048");
        row("fraction not digits", "", "Exif.Photo.SubSecTimeOriginal", "4a", "subSecTimeOriginal=");
    }

    // One field read (none for an empty expectation); the others keep what they
    // held.
    void readsField()
    {
        QFETCH(QString, make);
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(QString, expected);
        ExifTags tags { { key, value } };
        if (!make.isEmpty())
            tags.prepend({ "Exif.Image.Make", make });
        const QString path = photo("a.jpg", tags);
        QVERIFY(!path.isEmpty());

        m_info = filled();
        QVERIFY2(m_exif->read(path, &m_info, &m_failure), qPrintable(m_failure.detail));
        QStringList wanted = fields(filled());
        for (QString& text : wanted)
            if (!expected.isEmpty() && text.startsWith(expected.section('=', 0, 0) + '='))
                text = expected;
        QCOMPARE(fields(m_info), wanted);
    }

    void makeCheck_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("make");
        QTest::addColumn<bool>("accepted");

        QTest::newRow("JPG SONY") << "a.JPG" << "SONY" << true;
        QTest::newRow("TIF SONY") << "a.TIF" << "SONY" << true;
        QTest::newRow("tiff Leica") << "a.tiff" << "Leica" << true;
        QTest::newRow("jpeg SONY") << "a.jpeg" << "SONY" << true;
        QTest::newRow("ARW SONY") << "a.ARW" << "SONY" << false;
        QTest::newRow("orf Olympus") << "a.orf" << "Olympus" << false;
        QTest::newRow("orf OLYMPUS IMAGING CORP.") << "a.orf" << "OLYMPUS IMAGING CORP." << true;
        QTest::newRow("ARW SONY with raw sidecars") << "a.ARW" << "SONY" << true;
        QTest::newRow("ARW SONY with blank") << "a.ARW" << "SONY " << true;
        QTest::newRow("NEF Nikon") << "a.NEF" << "NIKON CORPORATION" << true;
        QTest::newRow("ARW without make") << "a.ARW" << "" << true;
        QTest::newRow("no suffix SONY") << "photo" << "SONY" << false;
        QTest::newRow("no suffix Canon") << "photo" << "Canon" << true;
        QTest::newRow("folder's dot is no suffix") << "holiday.jpg/photo" << "SONY" << false;
    }

    void makeCheck()
    {
        QFETCH(QString, name);
        QFETCH(QString, make);
        QFETCH(bool, accepted);
        const bool tiff = !QFileInfo(name).suffix().startsWith("jp", Qt::CaseInsensitive);

        const QString path = m_dir->filePath(name);
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        const ExifTags tags = testsupport::cameraTags("Model 1", "SN1", "2016:05:03 10:20:30", make);
        const QImage image = testsupport::texturedImage(32, 24);
        QVERIFY(tiff ? testsupport::writeTiff(path, image, tags) : testsupport::writePhoto(path, image, tags));
        const QByteArray bytes = readFile(path);
        const QDateTime modified = QFileInfo(path).lastModified();

        m_exif->setRawSidecars(QByteArray(QTest::currentDataTag()).endsWith("with raw sidecars"));
        QCOMPARE(m_exif->read(path, &m_info, &m_failure), accepted);
        QCOMPARE(readFile(path), bytes);
        QCOMPARE(QFileInfo(path).lastModified(), modified);
        QCOMPARE(listing(QFileInfo(path).path()), QStringList { QFileInfo(path).fileName() });
        if (accepted) {
            QVERIFY(m_failure.isEmpty());
            QCOMPARE(m_info.model, QString("Model 1"));
            QCOMPARE(m_info.dateTimeOriginal, QString("2016-05-03 10:20:30"));
        } else {
            QCOMPARE(m_failure.detail, unsupportedCamera);
        }
    }

    // Expected texts: latitude ref and millionths, longitude ref and millionths,
    // altitude ref and value, positioning error in thousandths. Over a full set of other GPS values,
    // written twice: the same entries as on a photo without GPS, once each, and
    // the unwritten one kept.
    void writesGps_data()
    {
        QTest::addColumn<double>("latitude");
        QTest::addColumn<double>("longitude");
        QTest::addColumn<double>("altitude");
        QTest::addColumn<double>("accuracy");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<bool>("existing");

        const auto row = [](const char* name, double latitude, double longitude, double altitude, double accuracy,
                            const QString& texts, bool existing = false) {
            QTest::newRow(name) << latitude << longitude << altitude << accuracy << texts.split(' ') << existing;
        };
        row("zero", 0.0, 0.0, 0.0, 0, "N 0 E 0 0 0/100 0");
        row("half south, west, below sea", -0.5, -122.4194155, -12.345, 25, "S 500000 W 122419415 1 1234/100 25000");
        row("north east, truncated not rounded", 48.8583709, 2.2944819, 0.999, 1, "N 48858370 E 2294481 0 99/100 1000");
        row("poles and date line", 90.0, -180.0, 35.5, 5000, "N 90000000 W 180000000 0 3550/100 5000000");
        row("negative zero", -0.0, -0.0, -0.0, 0, "N 0 E 0 0 0/100 0");
        row("tiny negative", -0.0000001, -0.0000009, -0.001, 0, "S 0 W 0 1 0/100 0");
        row("negative accuracy", 1.0, 1.0, 1.0, -7, "N 1000000 E 1000000 0 100/100 7000");
        // Metres with a decimal make whole millimetres, also where the
        // double falls short of them (32.3 * 1000 < 32300).
        row("decimal accuracy", 1.0, 1.0, 1.0, 23.4, "N 1000000 E 1000000 0 100/100 23400");
        row("decimal accuracy below its millimetres", 1.0, 1.0, 1.0, 32.3, "N 1000000 E 1000000 0 100/100 32300");
        row("the largest accuracy a rational holds", 1.0, 1.0, 1.0, 4294967.295, "N 1000000 E 1000000 0 100/100 4294967295");
        row("over existing GPS, twice", 12.5, 7.25, 100.0, 8, "N 12500000 E 7250000 0 10000/100 8000", true);
    }

    void writesGps()
    {
        QFETCH(double, latitude);
        QFETCH(double, longitude);
        QFETCH(double, altitude);
        QFETCH(double, accuracy);
        QFETCH(QStringList, texts);
        QFETCH(bool, existing);

        ExifTags tags = testsupport::cameraTags();
        for (const auto& tag : QStringList { "VersionID=2 3 0 0", "LatitudeRef=S", "Latitude=10/1 20/1 30/1",
                                             "LongitudeRef=W", "Longitude=40/1 50/1 0/1", "AltitudeRef=1", "Altitude=5/1",
                                             "HPositioningError=9/1", "ProcessingMethod=charset=Ascii GPS",
                                             "MapDatum=WGS-84" })
            if (existing)
                tags.append({ "Exif.GPSInfo.GPS" + tag.section('=', 0, 0), tag.section('=', 1) });
        const QString path = photo("a.jpg", tags);
        QVERIFY(!path.isEmpty());
        model::PhotoGeotag result = geotag(latitude, longitude, altitude, accuracy);
        QVERIFY2(m_exif->write(path, false, &result, &m_failure), qPrintable(m_failure.detail));
        QVERIFY(!existing || m_exif->write(path, false, &result));

        const QList<Entry> list = entries(path);
        for (const Entry& entry : list)
            QCOMPARE(countOf(list, entry.key), 1);
        QStringList gps; // "name type count text", sorted
        for (const Entry& entry : list)
            if (entry.key.startsWith("Exif.GPSInfo."))
                gps.append(QStringLiteral("%1 %2 %3 ").arg(entry.key.mid(13), entry.type).arg(entry.count) + entry.text);
        gps.sort();
        QStringList expected { "GPSAltitude Rational 1 " + texts[5], "GPSAltitudeRef Byte 1 " + texts[4],
                               "GPSDateStamp Ascii 11 2016:05:03", "GPSHPositioningError Rational 1 " + texts[6] + "/1000",
                               "GPSLatitude Rational 3 " + texts[1] + "/1000000 0/1 0/1", "GPSLatitudeRef Ascii 2 " + texts[0],
                               "GPSLongitude Rational 3 " + texts[3] + "/1000000 0/1 0/1", "GPSLongitudeRef Ascii 2 " + texts[2],
                               "GPSProcessingMethod Undefined 11 charset=Ascii GPS",
                               "GPSTimeStamp Rational 3 8/1 20/1 30/1", "GPSVersionID Byte 4 2 3 0 0" };
        if (existing)
            expected.insert(8, "GPSMapDatum Ascii 7 WGS-84");
        QCOMPARE(gps, expected);
        // The processing-method comment: ASCII character code, then one of the values the standard allows.
        QCOMPARE(entry(list, "Exif.GPSInfo.GPSProcessingMethod").bytes, QByteArray("ASCII\0\0\0GPS", 11));
    }

    void timeCorrection_data()
    {
        QTest::addColumn<QString>("photoTime");
        QTest::addColumn<QString>("timeZone");
        QTest::addColumn<QString>("dateTime");
        QTest::addColumn<QString>("offsetHours");
        QTest::addColumn<QString>("offsetText");
        QTest::addColumn<QString>("utc"); // GPS date and time stamps

        const QString time = "2016-05-03 10:20:30";
        const QString exifTime = "2016:05:03 10:20:30";
        QTest::newRow("west") << time << "-05:00" << exifTime << "-5 -5" << "-05:00" << "2016:05:03 15/1 20/1 30/1";
        QTest::newRow("west, next day in UTC") << "2016-05-03 22:00:00" << "-05:00" << "2016:05:03 22:00:00" << "-5 -5"
                                               << "-05:00" << "2016:05:04 3/1 0/1 0/1";
        QTest::newRow("east, minutes dropped") << time << "+05:30" << exifTime << "5 5" << "+05:30" << "2016:05:03 4/1 50/1 30/1";
        QTest::newRow("longer than 19") << "2016-05-03 10:20:30.250+02:00" << "+02:00" << exifTime << "2 2" << "+02:00"
                                        << "2016:05:03 8/1 20/1 30/1";
        QTest::newRow("empty time") << "" << "+02:00" << "" << "2 2" << "+02:00" << "";
        QTest::newRow("short zone") << time << "+1" << exifTime << "1 1" << "+1" << "";
        QTest::newRow("zone with colon early") << time << "+5:00" << exifTime << "0 0" << "+5:00" << "";
        QTest::newRow("empty zone") << time << "" << exifTime << "0 0" << "" << "";
        QTest::newRow("long zone") << time << "+09:00:00" << exifTime << "9 9" << "+09:00" << "2016:05:03 1/1 20/1 30/1";
    }

    // The offset in hours goes into the primary directory's TimeZoneOffset, here
    // one the photo already had: the library has no such key in the Exif directory.
    void timeCorrection()
    {
        QFETCH(QString, photoTime);
        QFETCH(QString, timeZone);
        QFETCH(QString, dateTime);
        QFETCH(QString, offsetHours);
        QFETCH(QString, offsetText);

        const QString path = photo("a.jpg",
                                   testsupport::cameraTags() + ExifTags { { "Exif.Image.DateTime", "1999:09:09 09:09:09" },
                                                                          { "Exif.Photo.OffsetTime", "+11:00" },
                                                                          { "Exif.Image.TimeZoneOffset", "11 11" } });
        QVERIFY(!path.isEmpty());
        model::PhotoGeotag result = geotag(1, 2, 3, 4);
        result.photoTime = photoTime;
        result.timeZone = timeZone;
        QVERIFY2(m_exif->write(path, true, &result, &m_failure), qPrintable(m_failure.detail));
        QCOMPARE(result.photoTime, dateTime);
        QCOMPARE(result.timeZone, timeZone);

        const QList<Entry> list = entries(path);
        QStringList written;
        for (const char* key : { "Exif.Image.DateTime", "Exif.Photo.DateTimeOriginal", "Exif.Photo.DateTimeDigitized",
                                 "Exif.Image.TimeZoneOffset", "Exif.Photo.OffsetTime", "Exif.Photo.OffsetTimeOriginal",
                                 "Exif.Photo.OffsetTimeDigitized" })
            written << entry(list, key).type + " " + QString::number(entry(list, key).count) + " " + entry(list, key).text;
        const QString time = QStringLiteral("Ascii %1 %2").arg(dateTime.size() + 1).arg(dateTime);
        const QString offset = QStringLiteral("Ascii %1 %2").arg(offsetText.size() + 1).arg(offsetText);
        QCOMPARE(written, QStringList({ time, time, time, "SShort 2 " + offsetHours, offset, offset, offset }));
        QCOMPARE(countOf(list, "Exif.Photo.TimeZoneOffset"), 0);
        // The offsets are tags of EXIF 2.31.
        QCOMPARE(entry(list, "Exif.Photo.ExifVersion").bytes, QByteArray("0231"));
        const QString stamps = entry(list, "Exif.GPSInfo.GPSDateStamp").text + " "
            + entry(list, "Exif.GPSInfo.GPSTimeStamp").text;
        QTEST(stamps.trimmed(), "utc");
    }

    void sameBytesAsTheLibrary_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("correctDateTime");
        QTest::newRow("plain JPEG, time corrected") << "plain" << true;
        QTest::newRow("JPEG with an application segment, comment and trailer") << "segments" << true;
        QTest::newRow("JPEG with fill bytes before a marker") << "fill" << true;
        QTest::newRow("JPEG with XMP") << "xmp" << false;
        QTest::newRow("TIFF") << "tiff" << true;
        QTest::newRow("NEF, time kept") << "nef" << false;
        QTest::newRow("DNG") << "dng" << true;
    }

    // Tagging through the temporary file, and for a JPEG copying the image data
    // past the library, gives exactly the file the library writes itself (so the
    // picture and the other tags stay); so does a tagged copy. Without time
    // correction every entry but the GPS ones stays as it was. What the writer
    // adds passes ExifTool's validation: no warning the photo did not have before.
    void sameBytesAsTheLibrary()
    {
        QFETCH(QString, kind);
        QFETCH(bool, correctDateTime);
        const bool tiff = kind == "tiff" || kind == "nef" || kind == "dng";
        const QString path = m_dir->filePath(tiff ? "a." + kind : "a.jpg");
        const ExifTags tags = testsupport::cameraTags("D850", "3000123", "2019:06:01 08:00:00", "NIKON CORPORATION")
            + ExifTags { { "Exif.Image.Software", "Kestrel test" }, { "Exif.Photo.UserComment", "charset=Ascii a comment" },
                         { "Exif.Image.DateTime", "1999:09:09 09:09:09" }, { "Exif.Photo.OffsetTime", "+11:00" },
                         { "Exif.Photo.DateTimeDigitized", "1999:09:09 09:09:10" } }
            + (kind == "dng" ? ExifTags { { "Exif.Image.DNGVersion", "1 4 0 0" } } : ExifTags());
        const QByteArray extra = segment(0xE3, QByteArray("META\0\1\1", 7) + QByteArray(300, 'p'));
        if (tiff) {
            QVERIFY(testsupport::writeTiff(path, testsupport::texturedImage(64, 48), tags));
        } else {
            QVERIFY(testsupport::writePhoto(path, testsupport::texturedImage(160, 120), tags));
            QByteArray bytes = readFile(path);
            const QByteArray exifStart = QByteArray("\xFF\xE1", 2);
            if (kind == "segments") {
                bytes = insertAfter(bytes, exifStart, extra + segment(0xFE, "a comment"));
                bytes += "trailing bytes after the image";
            } else if (kind == "fill") {
                bytes = insertAfter(bytes, exifStart, QByteArray("\xFF\xFF", 2));
                bytes.remove(bytes.indexOf(QByteArray("\xFF\xFF\xFF", 3)), 1);
            }
            QVERIFY(!bytes.isEmpty());
            QVERIFY(writeFile(path, bytes));
        }
        if (kind == "xmp") {
            QVERIFY(testsupport::setExif(path, {}));
            auto image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
            image->readMetadata();
            image->xmpData()["Xmp.dc.title"] = "A title";
            image->writeMetadata();
        }
        const QByteArray original = readFile(path);
        QVERIFY(writeFile(m_dir->filePath("original"), original));
        const QStringList others = nonGpsEntries(path);
        QVERIFY(others.contains("Exif.Photo.OffsetTime=+11:00"));
        const QString exiftool = QStandardPaths::findExecutable("exiftool");
        const auto warnings = [&exiftool, &path] {
            QProcess process;
            process.start(exiftool, { "-validate", "-warning", "-a", "-s3", path });
            process.waitForFinished(60000);
            // The first line is the count.
            return QString::fromUtf8(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts).mid(1);
        };
        const QStringList before = exiftool.isEmpty() ? QStringList() : warnings();

        model::PhotoGeotag result = geotag(-33.8568, 151.2153, -3.25, 12);
        QVERIFY2(m_exif->write(path, correctDateTime, &result, &m_failure), qPrintable(m_failure.detail));
        QCOMPARE(result.photoTime, QString(correctDateTime ? "2016:05:03 10:20:30" : "2016-05-03 10:20:30"));
        if (!correctDateTime)
            QCOMPARE(nonGpsEntries(path), others);
        const QByteArray written = readFile(path);
        QVERIFY(written != original);
        const QByteArray expected = libraryWrite(m_dir->filePath("original"), path, m_dir->filePath("reference"));
        QVERIFY(written == expected);

        result = geotag(-33.8568, 151.2153, -3.25, 12);
        QVERIFY(m_exif->writeCopy(m_dir->filePath("original"), m_dir->filePath("copy"), correctDateTime, &result));
        QVERIFY(readFile(m_dir->filePath("copy")) == expected);
        QCOMPARE(readFile(m_dir->filePath("original")), original);

        if (kind == "segments") {
            QVERIFY(written.endsWith("trailing bytes after the image"));
            QVERIFY(written.contains("a comment"));
            QVERIFY(written.contains(extra));
        }
        if (kind == "xmp")
            QVERIFY(written.contains("A title"));
        // The hour offset only where the format defines it.
        QCOMPARE(testsupport::readExif(path).contains("Exif.Image.TimeZoneOffset"), correctDateTime && kind == "dng");
        if (exiftool.isEmpty())
            QSKIP("ExifTool is not installed (Debian package libimage-exiftool-perl): tags not validated");
        for (const QString& warning : warnings())
            QVERIFY2(before.contains(warning), qPrintable(warning));
    }

    // A file that cannot be read or tagged: its error, and the file
    // left byte for byte, with its permissions, and no temporary file behind. A
    // failed copy leaves nothing new at its target and an earlier copy as it was.
    void badFile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("readable");
        QTest::addColumn<QString>("cause");
        const QString unreadable = "the photo cannot be read";
        const QString damaged = "the file is damaged or of a kind the program cannot write";
        const QString outOfRange = "the position is out of range";
        QTest::newRow("no EXIF") << "noexif" << false << "";
        QTest::newRow("missing file") << "missing" << false << unreadable;
        QTest::newRow("not an image") << "text" << false << damaged;
        QTest::newRow("truncated JPEG header") << "truncated" << false << damaged;
        QTest::newRow("folder") << "folder" << false << unreadable;
        QTest::newRow("format the library cannot write, not raw") << "rw2" << true << "this file type cannot hold GPS tags";
        QTest::newRow("read-only file") << "readonly" << true << "the photo is read-only";
        QTest::newRow("latitude not a number") << "nan" << true << outOfRange;
        QTest::newRow("altitude infinite") << "inf" << true << outOfRange;
        QTest::newRow("altitude beyond a rational") << "huge" << true << outOfRange;
    }

    void badFile()
    {
        QFETCH(QString, kind);
        QFETCH(bool, readable);
        QFETCH(QString, cause);
        const QString writeFailure = kind == "noexif" ? readError : writeError;
        const QString name = kind == "rw2" ? "a.tif" : "a.jpg";
        const QString path = m_dir->filePath(name);
        if (kind == "noexif")
            QVERIFY(testsupport::writePhoto(path, testsupport::texturedImage(32, 24)));
        else if (kind == "text")
            QVERIFY(writeFile(path, "These are not the photos you are looking for.\n"));
        else if (kind == "truncated")
            QVERIFY(writeFile(path, QByteArray("\xFF\xD8\xFF\xE1\x10\x00Exif\0\0II*\0", 16)));
        else if (kind == "rw2") // an RW2-structured file: the library reads its EXIF but cannot write the format
            QVERIFY(testsupport::writeTiff(path, testsupport::texturedImage(32, 24), testsupport::cameraTags())
                    && writeFile(path, readFile(path).replace(2, 1, "U")));
        else if (kind == "folder")
            QVERIFY(QDir(m_dir->path()).mkdir("a.jpg"));
        else if (kind != "missing")
            QVERIFY(!photo("a.jpg").isEmpty());
        if (kind == "readonly")
            QVERIFY(::chmod(QFile::encodeName(path).constData(), 0444) == 0);
        QVERIFY(QDir(m_dir->path()).mkdir("out"));
        QVERIFY(writeFile(m_dir->filePath("out/" + name), "earlier copy"));
        const QByteArray before = readFile(path);
        const mode_t mode = permissions(path);
        const QStringList files = listing(m_dir->path());

        QCOMPARE(m_exif->read(path, &m_info, &m_failure), readable);
        QCOMPARE(m_failure.detail, readable ? QString() : readError);
        QCOMPARE(m_info.dateTimeOriginal, QString(readable ? "2026-07-14 12:34:56" : ""));

        model::PhotoGeotag result = geotag(kind == "nan" ? qQNaN() : 1.0, 2,
                                           kind == "inf" ? -qInf() : kind == "huge" ? 5e7 : 3.0, 4);
        QVERIFY(!m_exif->write(path, true, &result, &m_failure));
        QCOMPARE(m_failure.title, QString("EXIF Error"));
        QCOMPARE(m_failure.detail, writeFailure);
        QCOMPARE(m_failure.cause, cause);
        QCOMPARE(result.errorCause, cause);
        QCOMPARE(readFile(path), before);
        QCOMPARE(permissions(path), mode);
        QCOMPARE(listing(m_dir->path()), files);
        if (kind == "readonly")
            return; // a read-only photo can still be copied

        for (const QString& copy : { QString("out/new.jpg"), "out/" + name }) {
            m_failure = model::Failure();
            QVERIFY(!m_exif->writeCopy(path, m_dir->filePath(copy), false, &result, &m_failure));
            QCOMPARE(m_failure.detail, writeFailure);
        }
        QCOMPARE(readFile(path), before);
        QCOMPARE(listing(m_dir->filePath("out")), QStringList { name });
        QCOMPARE(readFile(m_dir->filePath("out/" + name)), QByteArray("earlier copy"));
    }

    // A FIFO is refused at once instead of waited on; a read or write that
    // succeeds leaves the failure it is given untouched.
    void fifoRefused()
    {
        const QString path = m_dir->filePath("pipe.jpg");
        QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
        QVERIFY(!m_exif->read(path, &m_info, &m_failure));
        QCOMPARE(m_failure.detail, readError);
        model::PhotoGeotag result = geotag(1, 2, 3, 4);
        QVERIFY(!m_exif->writeCopy(path, m_dir->filePath("copy.jpg"), false, &result));
        QCOMPARE(listing(m_dir->path()), QStringList { "pipe.jpg" });
        QVERIFY(!m_exif->write(path, false, &result, &m_failure));
        QCOMPARE(m_failure.detail, writeError);
        const QString photoPath = photo("a.jpg");
        QVERIFY(m_exif->read(photoPath, &m_info, &m_failure));
        QVERIFY(m_exif->write(photoPath, false, &result, &m_failure));
        QCOMPARE(m_failure.detail, writeError);
    }

    // Written in place through a symbolic link, which stays, the photo keeps its
    // permissions. A tagged copy replaces an earlier copy, takes the source's
    // permissions and equals the in-place result; the source stays as it was. No
    // folder is made for a copy.
    void permissionsLinksAndCopies()
    {
        const QString source = photo("a.jpg");
        QVERIFY(::chmod(QFile::encodeName(source).constData(), 0604) == 0);
        const QByteArray original = readFile(source);
        const QString inPlace = m_dir->filePath("b.jpg");
        QVERIFY(writeFile(inPlace, original));
        QVERIFY(::chmod(QFile::encodeName(inPlace).constData(), 0640) == 0);
        const QString link = m_dir->filePath("link.jpg");
        QVERIFY(QFile::link(inPlace, link));
        QVERIFY(QDir(m_dir->path()).mkdir("KESTREL"));
        const QString target = m_dir->filePath("KESTREL/a.jpg");
        QVERIFY(writeFile(target, "old copy"));

        model::PhotoGeotag copied = geotag(-0.5, 3, -12.345, 0);
        model::PhotoGeotag written = copied;
        QVERIFY2(m_exif->writeCopy(source, target, true, &copied, &m_failure), qPrintable(m_failure.detail));
        QVERIFY(m_exif->write(link, true, &written));
        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(permissions(inPlace), mode_t(0640));
        QCOMPARE(readFile(source), original);
        QCOMPARE(readFile(target), readFile(inPlace));
        QCOMPARE(copied.photoTime, QString("2016:05:03 10:20:30"));
        QCOMPARE(permissions(target), mode_t(0604));
        QCOMPARE(entry(entries(target), "Exif.GPSInfo.GPSAltitude").text, QString("1234/100"));
        QCOMPARE(listing(m_dir->filePath("KESTREL")), QStringList { "a.jpg" });
        QCOMPARE(listing(m_dir->path()), (QStringList { "a.jpg", "b.jpg", "KESTREL", "link.jpg" }));

        QVERIFY(!m_exif->writeCopy(source, m_dir->filePath("gone/a.jpg"), false, &written, &m_failure));
        QCOMPARE(m_failure.detail, writeError);
        QVERIFY(!QFileInfo::exists(m_dir->filePath("gone")));
    }

    // During a run a photo written in place stays as it was until the flush puts
    // its batch in place. One the person edits meanwhile keeps the edit and is
    // reported unwritten; nothing temporary is left.
    void stagedInPlaceWrites()
    {
        const QString tagged = photo("a.jpg");
        const QString edited = photo("b.jpg");
        const QByteArray original = readFile(tagged);
        m_exif->setDeferredFlush(true);
        model::PhotoGeotag result = geotag(1, 2, 3, 4);
        QVERIFY(m_exif->write(tagged, false, &result));
        QVERIFY(m_exif->write(edited, false, &result));
        QCOMPARE(readFile(tagged), original);
        QCOMPARE(listing(m_dir->path()).size(), 4);
        QVERIFY(writeFile(edited, "edited"));
        QHash<QString, model::Failure> unwritten;
        QVERIFY(m_exif->flushWritten(&unwritten));
        QCOMPARE(QStringList(unwritten.keys()), QStringList { edited });
        QCOMPARE(unwritten[edited].cause, QString("the photo changed while it was being written"));
        QCOMPARE(unwritten[edited].detail, writeError);
        QCOMPARE(readFile(edited), QByteArray("edited"));
        QCOMPARE(entry(entries(tagged), "Exif.GPSInfo.GPSAltitude").text, QString("300/100"));
        QCOMPARE(listing(m_dir->path()), (QStringList { "a.jpg", "b.jpg" }));

        // The 32nd photo waiting puts the batch in place, before the flush.
        QStringList batch;
        for (int i = 10; i < 42; ++i)
            batch << photo(QString("%1.jpg").arg(i));
        for (const QString& path : batch) {
            QCOMPARE(readFile(batch[0]), readFile(batch[31]));
            QVERIFY(m_exif->write(path, false, &result));
        }
        QCOMPARE(entry(entries(batch[0]), "Exif.GPSInfo.GPSAltitude").text, QString("300/100"));
    }

    void sidecar_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("hook");   // what the imitated writer drops
        QTest::addColumn<QString>("before"); // sidecar already there
        QTest::addColumn<int>("mode");       // 0 in place, 1 copy, 2 in place with raw sidecars asked for
        QTest::addColumn<QString>("written");
        QTest::addColumn<QString>("cause");
        const QString cannotHold = "this file type cannot hold GPS tags";
        QTest::newRow("raw whose tags do not stick") << "a.NEF" << "gps" << "" << 0 << "a.xmp" << "";
        QTest::newRow("raw sidecars asked for") << "a.NEF" << "" << "" << 2 << "a.xmp" << "";
        QTest::newRow("CRW, existing sidecar updated") << "a.CRW" << "" << "a.xmp" << 0 << "a.xmp" << "";
        QTest::newRow("HEIC, darktable name honoured") << "a.heic" << "" << "a.heic.xmp" << 0 << "a.heic.xmp" << "";
        QTest::newRow("darktable name, copied") << "a.heic" << "" << "a.heic.xmp" << 1 << "a.heic.xmp" << "";
        QTest::newRow("JPEG whose tags do not stick") << "a.jpg" << "gps" << "" << 0 << "" << cannotHold;
        QTest::newRow("same, copied") << "a.jpg" << "gps" << "" << 1 << "" << cannotHold;
        QTest::newRow("raw losing other tags")
            << "a.NEF" << "artist" << "" << 0 << "" << "writing would lose other metadata of the photo";
        QTest::newRow("damaged sidecar") << "a.heic" << "" << "a.xmp" << 0 << "" << "its XMP sidecar is damaged";
    }

    // A copy whose sidecar cannot be written is taken away again: no copy
    // is left without its tags, and the photo stays as it was.
    void copyGoneWithItsSidecar()
    {
        const QString path = m_dir->filePath("a.heic");
        const QByteArray original = QByteArray("\0\0\0\x18" "ftypheic\0\0\0\0mif1heic", 24) + QByteArray(64, '\0');
        QVERIFY(writeFile(path, original));
        QVERIFY(QDir(m_dir->path()).mkpath("KESTREL/a.xmp")); // a folder where the sidecar goes
        model::PhotoGeotag result = geotag(-33.8568, 151.2153, -3.25, 12);
        QVERIFY(!m_exif->writeCopy(path, m_dir->filePath("KESTREL/a.heic"), true, &result));
        QCOMPARE(listing(m_dir->filePath("KESTREL")), QStringList { "a.xmp" });
        QCOMPARE(readFile(path), original);
    }

    // A write that does not stick never reaches the photo; a raw file, CRW or
    // HEIC gets its tags in an XMP sidecar, made or updated with its other
    // properties kept; a copy takes the photo, unchanged, and the sidecar along.
    void sidecar()
    {
        QFETCH(QString, name);
        QFETCH(QString, hook);
        QFETCH(QString, before);
        QFETCH(int, mode);
        QFETCH(QString, written);
        QFETCH(QString, cause);
        const QString path = m_dir->filePath(name);
        const ExifTags tags = testsupport::cameraTags() + ExifTags { { "Exif.Image.Artist", "Someone" } };
        if (name.endsWith(".CRW"))
            QVERIFY(writeFile(path, QByteArray("II\x1a\0\0\0HEAPCCDR\0\0\1\0", 16) + QByteArray(64, '\0')));
        else if (name.endsWith(".heic"))
            QVERIFY(writeFile(path, QByteArray("\0\0\0\x18" "ftypheic\0\0\0\0mif1heic", 24) + QByteArray(64, '\0')));
        else
            QVERIFY(name.endsWith(".jpg") ? !photo(name, tags).isEmpty()
                                          : testsupport::writeTiff(path, testsupport::texturedImage(32, 24), tags));
        if (!before.isEmpty())
            QVERIFY(writeFile(m_dir->filePath(before),
                              cause.isEmpty() ? "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF "
                                                "xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>"
                                                "<rdf:Description xmlns:darktable='http://darktable.sf.net/' "
                                                "darktable:xmp_version='5' xmlns:exif='http://ns.adobe.com/exif/1.0/' "
                                                "exif:GPSLatitude='1,0.000000N'/></rdf:RDF></x:xmpmeta>"
                                              : "<x:xmpmeta broken"));
        m_dropping.drops = hook;
        m_exif.reset(new controller::ExifInfo(nullptr, &m_dropping));
        m_exif->setRawSidecars(mode == 2);
        const QByteArray original = readFile(path);
        const QStringList files = listing(m_dir->path());
        QVERIFY(QDir(m_dir->path()).mkdir("KESTREL"));
        const QString target = m_dir->filePath("KESTREL/" + name);

        model::PhotoGeotag result = geotag(-33.8568, 151.2153, -3.25, 12);
        QCOMPARE(mode == 1 ? m_exif->writeCopy(path, target, true, &result) : m_exif->write(path, true, &result),
                 !written.isEmpty());
        QCOMPARE(result.errorCause, cause);
        QCOMPARE(readFile(path), original);
        const QString folder = m_dir->filePath(mode == 1 ? "KESTREL" : "");
        QCOMPARE(result.sidecarPath, written.isEmpty() ? QString() : QDir(folder).filePath(written));
        QStringList expected = mode == 1 ? QStringList() : files;
        if (!written.isEmpty())
            expected << written << (mode == 1 ? QStringList { name } : QStringList());
        expected.removeDuplicates();
        expected.sort();
        QCOMPARE(listing(folder).filter(QRegularExpression("^(?!KESTREL$)")), expected);
        if (written.isEmpty())
            return;
        if (mode == 1) {
            QCOMPARE(readFile(target), original);
            QCOMPARE(listing(m_dir->path()), files + QStringList { "KESTREL" });
        }

        Exiv2::XmpData xmp;
        QCOMPARE(Exiv2::XmpParser::decode(xmp, readFile(result.sidecarPath).toStdString()), 0);
        QStringList properties;
        for (const auto& datum : xmp)
            properties << QString::fromStdString(datum.key() + "=" + datum.toString());
        properties.sort();
        QStringList wanted = { "Xmp.exif.DateTimeDigitized=2016-05-03T10:20:30+02:00",
                               "Xmp.exif.DateTimeOriginal=2016-05-03T10:20:30+02:00", "Xmp.exif.GPSAltitude=325/100",
                               "Xmp.exif.GPSAltitudeRef=1", "Xmp.exif.GPSHPositioningError=12000/1000",
                               "Xmp.exif.GPSLatitude=33,51.408000S", "Xmp.exif.GPSLongitude=151,12.918000E",
                               "Xmp.exif.GPSProcessingMethod=GPS", "Xmp.exif.GPSTimeStamp=2016-05-03T08:20:30Z", "Xmp.exif.GPSVersionID=2.3.0.0",
                               "Xmp.photoshop.DateCreated=2016-05-03T10:20:30+02:00",
                               "Xmp.xmp.CreateDate=2016-05-03T10:20:30+02:00", "Xmp.xmp.ModifyDate=2016-05-03T10:20:30+02:00" };
        if (!before.isEmpty())
            wanted.prepend("Xmp.darktable.xmp_version=5");
        QCOMPARE(properties, wanted);
    }

    // Only hidden regular files of exactly the temporary files' pattern go.
    void staleTemporariesRemoved()
    {
        const QStringList kept = { ".a.jpg.kestrel-Ab12C", "a.jpg.kestrel-Ab12Cd", ".a.jpg.kestrel-Ab12Cd.x",
                                   ".kestrel-Ab12Cd", ".b.jpg.kestrel-Ab1_Cd", "a.jpg" };
        for (const QString& name : kept + QStringList { ".a.jpg.kestrel-Ab12Cd", ".IMG 1.CR2.kestrel-zzzzzz" })
            QVERIFY(writeFile(m_dir->filePath(name), "x"));
        QVERIFY(QDir(m_dir->path()).mkdir(".d.jpg.kestrel-abcdef"));
        QVERIFY(QFile::link(m_dir->filePath("a.jpg"), m_dir->filePath(".l.jpg.kestrel-abcdef")));
        QCOMPARE(controller::ExifInfo::removeStaleTemporaries(m_dir->path()), 2);
        QStringList left = kept + QStringList { ".d.jpg.kestrel-abcdef", ".l.jpg.kestrel-abcdef" };
        left.sort();
        QCOMPARE(listing(m_dir->path()), left);
    }

private:
    QString photo(const QString& name, const ExifTags& tags = testsupport::cameraTags())
    {
        const QString path = m_dir->filePath(name);
        return testsupport::writePhoto(path, testsupport::texturedImage(64, 48), tags) ? path : QString();
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    DroppingWriter m_dropping;
    std::unique_ptr<controller::ExifInfo> m_exif;
    model::PhotoInfo m_info;
    model::Failure m_failure;
};

QTEST_GUILESS_MAIN(TestExifInfo)
#include "tst_exifinfo.moc"
