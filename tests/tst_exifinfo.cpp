#include <QtTest>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

#include <exiv2/exiv2.hpp>

#include "controller/exifinfo.h"
#include "model/model.h"
#include "model/photoinfo.h"
#include "support/files.h"
#include "support/photos.h"

using testsupport::ExifTags;

namespace {

const QString openError = QStringLiteral("Error opening image file");
const QString readError = QStringLiteral("Error reading EXIF data from the image file");
const QString unsupportedCamera = QStringLiteral("Unsupported Camera model");
const QString writeError = QStringLiteral("Error writing EXIF data to the image file");

// One EXIF entry as the library holds it.
struct Entry {
    QString key;
    QString type;
    long count = 0;
    QString text;
    QByteArray bytes;
};

// Every EXIF entry of a file in the library's order (the order of decoding).
QList<Entry> entries(const QString& path)
{
    QList<Entry> list;
    try {
        auto image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
        image->readMetadata();
        for (const Exiv2::Exifdatum& datum : image->exifData()) {
            Entry entry;
            entry.key = QString::fromStdString(datum.key());
            entry.type = QString::fromLatin1(datum.typeName() ? datum.typeName() : "");
            entry.count = long(datum.count());
            entry.text = QString::fromStdString(datum.toString());
            QByteArray bytes(int(datum.size()), '\0');
            if (!bytes.isEmpty())
                datum.copy(reinterpret_cast<Exiv2::byte*>(bytes.data()), Exiv2::littleEndian);
            entry.bytes = bytes;
            list.append(entry);
        }
    } catch (const Exiv2::AnyError& error) {
        qWarning() << "cannot read" << path << error.what();
    }
    return list;
}

QList<Entry> entriesNamed(const QList<Entry>& list, const QString& key)
{
    QList<Entry> found;
    for (const Entry& entry : list)
        if (entry.key == key)
            found.append(entry);
    return found;
}

// The one entry of key; an empty entry when it is missing or duplicated.
Entry entry(const QList<Entry>& list, const QString& key)
{
    const QList<Entry> found = entriesNamed(list, key);
    return found.size() == 1 ? found.first() : Entry();
}

model::PhotoInfo cleared()
{
    model::PhotoInfo info;
    info.clear();
    return info;
}

bool sameInfo(const model::PhotoInfo& a, const model::PhotoInfo& b)
{
    return a.syncId == b.syncId && a.elapsedTime == b.elapsedTime && a.dateTimeOriginal == b.dateTimeOriginal
        && a.model == b.model && a.serialNumber == b.serialNumber && a.internalSerialNumber == b.internalSerialNumber
        && a.shutterCount == b.shutterCount && a.fileNumber == b.fileNumber
        && a.gpsProcessingMethod == b.gpsProcessingMethod && a.timeZone == b.timeZone;
}

QString describe(const model::PhotoInfo& info)
{
    return QStringLiteral("[%1|%2|%3|%4|%5|%6|%7|%8|%9|%10]")
        .arg(info.syncId)
        .arg(info.elapsedTime)
        .arg(info.dateTimeOriginal, info.model, info.serialNumber, info.internalSerialNumber)
        .arg(info.shutterCount)
        .arg(info.fileNumber, info.gpsProcessingMethod, info.timeZone);
}

model::PhotoGeocode geocode(double latitude, double longitude, double altitude, int accuracy)
{
    model::PhotoGeocode result;
    result.latitude = latitude;
    result.longitude = longitude;
    result.altitude = altitude;
    result.accuracy = accuracy;
    result.photoTime = QStringLiteral("2016-05-03 10:20:30");
    result.timeZone = QStringLiteral("+02:00");
    return result;
}

// The bytes of the processing-method comment: ASCII character code, then the address.
QByteArray processingMethodBytes()
{
    return QByteArray("ASCII\0\0\0", 8) + controller::ExifInfo::vendorAddress().toUtf8();
}

// An RW2-structured file: the library reads its EXIF but cannot write the format.
bool writeUnwritableRaw(const QString& path)
{
    if (!testsupport::writeTiff(path, testsupport::texturedImage(32, 24), testsupport::cameraTags()))
        return false;
    QByteArray bytes = testsupport::readFile(path);
    bytes[2] = 'U';
    return testsupport::writeFile(path, bytes);
}

// The picture itself: decoded JPEG pixels, or the bytes of a TIFF's one strip
// wherever the directory says it now lies.
QByteArray pixelData(const QString& path, bool tiff)
{
    if (!tiff) {
        const QImage image(path, "JPEG");
        return QByteArray(reinterpret_cast<const char*>(image.constBits()), int(image.sizeInBytes()));
    }
    const QList<Entry> list = entries(path);
    const long offset = entry(list, "Exif.Image.StripOffsets").text.toLong();
    const long size = entry(list, "Exif.Image.StripByteCounts").text.toLong();
    const QByteArray bytes = testsupport::readFile(path);
    if (offset <= 0 || size <= 0 || offset + size > bytes.size())
        return QByteArray();
    return bytes.mid(int(offset), int(size));
}

// The segments of a JPEG up to the image data, each as marker and bytes.
QList<QByteArray> jpegSegments(const QByteArray& bytes)
{
    QList<QByteArray> segments;
    int at = 2;
    while (at + 4 <= bytes.size() && uchar(bytes[at]) == 0xFF && uchar(bytes[at + 1]) != 0xDA) {
        const int length = uchar(bytes[at + 2]) << 8 | uchar(bytes[at + 3]);
        segments.append(bytes.mid(at, 2 + length));
        at += 2 + length;
    }
    return segments;
}

// Inserts raw bytes into a JPEG right after its first segment whose marker
// and content start with `after`.
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

// What the metadata library itself makes of original when it is given the
// entries tagged holds for the written keys, rewriting the file in place.
QByteArray libraryWrite(const QString& original, const QString& tagged, const QString& scratch)
{
    if (!QFile::copy(original, scratch))
        return QByteArray();
    try {
        auto answer = Exiv2::ImageFactory::open(QFile::encodeName(tagged).toStdString());
        answer->readMetadata();
        auto image = Exiv2::ImageFactory::open(QFile::encodeName(scratch).toStdString());
        image->readMetadata();
        const char* keys[] = {
            "Exif.GPSInfo.GPSVersionID", "Exif.GPSInfo.GPSLatitudeRef", "Exif.GPSInfo.GPSLongitudeRef",
            "Exif.GPSInfo.GPSAltitudeRef", "Exif.GPSInfo.GPSAltitude", "Exif.GPSInfo.GPSLatitude",
            "Exif.GPSInfo.GPSLongitude", "Exif.GPSInfo.GPSProcessingMethod", "Exif.GPSInfo.GPSHPositioningError",
            "Exif.Image.DateTime", "Exif.Photo.DateTimeOriginal", "Exif.Photo.DateTimeDigitized",
            "Exif.Image.TimeZoneOffset", "Exif.Photo.OffsetTime", "Exif.Photo.OffsetTimeOriginal",
            "Exif.Photo.OffsetTimeDigitized",
        };
        for (const char* key : keys) {
            const auto found = answer->exifData().findKey(Exiv2::ExifKey(key));
            if (found != answer->exifData().end())
                image->exifData()[key] = found->value();
        }
        image->writeMetadata();
    } catch (const Exiv2::AnyError& error) {
        qWarning() << "library write failed:" << error.what();
        return QByteArray();
    }
    return testsupport::readFile(scratch);
}

mode_t permissions(const QString& path)
{
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return 0;
    return status.st_mode & 07777;
}

} // namespace

class TestExifInfo : public QObject {
    Q_OBJECT
private slots:
    void init();

    void clearEmptiesEveryField();
    void errorStringEmptyAtStart();

    void readsField_data();
    void readsField();
    void lastMatchWins();
    void makeCheck_data();
    void makeCheck();
    void makeCheckUsesFileNameOnly();
    void noWantedTags();
    void readFailure_data();
    void readFailure();
    void readLeavesPhotoUnchanged();
    void successKeepsLastError();

    void writesGps_data();
    void writesGps();
    void writesFixedEntries();
    void timeCorrection_data();
    void timeCorrection();
    void noTimeCorrection();
    void replacesExistingGps();
    void preservesOtherTagsAndImage_data();
    void preservesOtherTagsAndImage();
    void readsBackWhatItWrote();
    void sameBytesAsTheLibrary_data();
    void sameBytesAsTheLibrary();
    void writeFailure_data();
    void writeFailure();
    void writeRefusesReadOnlyFile();
    void writeKeepsPermissions();
    void writeThroughSymbolicLink();
    void fifoRefusedWithoutWaiting();
    void writeRefusesPositionOutOfRange_data();
    void writeRefusesPositionOutOfRange();

    void copyMatchesInPlaceWrite();
    void copyReplacesExistingTarget();
    void copyFailureLeavesNothing_data();
    void copyFailureLeavesNothing();

private:
    QString photo(const QString& name, const ExifTags& tags = testsupport::cameraTags());

    std::unique_ptr<QTemporaryDir> dir;
};

void TestExifInfo::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY(dir->isValid());
}

QString TestExifInfo::photo(const QString& name, const ExifTags& tags)
{
    const QString path = dir->filePath(name);
    const bool written = testsupport::writePhoto(path, testsupport::texturedImage(64, 48), tags);
    return written ? path : QString();
}

void TestExifInfo::clearEmptiesEveryField()
{
    model::PhotoInfo info;
    info.syncId = "s";
    info.elapsedTime = 5;
    info.dateTimeOriginal = "d";
    info.model = "m";
    info.serialNumber = "n";
    info.internalSerialNumber = "i";
    info.shutterCount = 9;
    info.fileNumber = "f";
    info.gpsProcessingMethod = "g";
    info.timeZone = "t";
    info.clear();
    for (const QString* text : { &info.syncId, &info.dateTimeOriginal, &info.model, &info.serialNumber,
                                 &info.internalSerialNumber, &info.fileNumber, &info.gpsProcessingMethod,
                                 &info.timeZone }) {
        QVERIFY(text->isEmpty());
        QVERIFY(!text->isNull());
    }
    QCOMPARE(info.elapsedTime, 0);
    QCOMPARE(info.shutterCount, 0);
}

void TestExifInfo::errorStringEmptyAtStart()
{
    controller::ExifInfo exif(nullptr);
    QVERIFY(exif.errorString().isEmpty());
}

void TestExifInfo::readsField_data()
{
    QTest::addColumn<ExifTags>("tags");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("expected");

    QTest::newRow("date converted") << ExifTags { { "Exif.Photo.DateTimeOriginal", "2016:05:03 10:20:30" } }
                                    << "dateTimeOriginal"
                                    << "2016-05-03 10:20:30";
    QTest::newRow("date of 8 characters") << ExifTags { { "Exif.Photo.DateTimeOriginal", "12345678" } }
                                          << "dateTimeOriginal"
                                          << "1234-67-";
    QTest::newRow("date of 7 characters") << ExifTags { { "Exif.Photo.DateTimeOriginal", "2016:05" } }
                                          << "dateTimeOriginal"
                                          << "2016:05";
    QTest::newRow("model") << ExifTags { { "Exif.Image.Model", "X-T3" } } << "model"
                           << "X-T3";
    QTest::newRow("unique camera model ignored")
        << ExifTags { { "Exif.Image.Make", "Canon" }, { "Exif.Image.UniqueCameraModel", "EOS" } } << "model" << "";
    QTest::newRow("body serial") << ExifTags { { "Exif.Photo.BodySerialNumber", "SN 0042" } } << "serialNumber"
                                 << "SN 0042";
    QTest::newRow("camera serial ignored") << ExifTags { { "Exif.Image.CameraSerialNumber", "77" } }
                                           << "serialNumber"
                                           << "";
    QTest::newRow("internal serial (Canon)")
        << ExifTags { { "Exif.Image.Make", "Canon" }, { "Exif.Canon.InternalSerialNumber", "HB0123" } }
        << "internalSerialNumber"
        << "HB0123";
    QTest::newRow("shutter count (Nikon)")
        << ExifTags { { "Exif.Image.Make", "NIKON CORPORATION" }, { "Exif.Nikon3.ShutterCount", "12345" } }
        << "shutterCount"
        << "12345";
    QTest::newRow("file number (Canon)")
        << ExifTags { { "Exif.Image.Make", "Canon" }, { "Exif.Canon.FileNumber", "1001234" } } << "fileNumber"
        << "1001234";
    QTest::newRow("processing method")
        << ExifTags { { "Exif.GPSInfo.GPSProcessingMethod", "charset=Ascii NETWORK" } } << "gpsProcessingMethod"
        << "charset=Ascii NETWORK";
    QTest::newRow("time zone offset, two numbers") << ExifTags { { "Exif.Image.TimeZoneOffset", "-5 -4" } }
                                                   << "timeZone"
                                                   << "-5 -4";
    QTest::newRow("time zone offset, one number") << ExifTags { { "Exif.Image.TimeZoneOffset", "9" } }
                                                  << "timeZone"
                                                  << "9";
    QTest::newRow("unicode model") << ExifTags { { "Exif.Image.Model", "Kamera \u00e9" } } << "model"
                                   << "Kamera \u00e9";
}

void TestExifInfo::readsField()
{
    QFETCH(ExifTags, tags);
    QFETCH(QString, field);
    QFETCH(QString, expected);
    const QString path = photo("a.jpg", tags);
    QVERIFY(!path.isEmpty());

    controller::ExifInfo exif(nullptr);
    model::PhotoInfo info = cleared();
    QVERIFY2(exif.read(path, &info), qPrintable(exif.errorString()));

    model::PhotoInfo wanted = cleared();
    if (field == "dateTimeOriginal")
        wanted.dateTimeOriginal = expected;
    else if (field == "model")
        wanted.model = expected;
    else if (field == "serialNumber")
        wanted.serialNumber = expected;
    else if (field == "internalSerialNumber")
        wanted.internalSerialNumber = expected;
    else if (field == "shutterCount")
        wanted.shutterCount = expected.toInt();
    else if (field == "fileNumber")
        wanted.fileNumber = expected;
    else if (field == "gpsProcessingMethod")
        wanted.gpsProcessingMethod = expected;
    else if (field == "timeZone")
        wanted.timeZone = expected;
    else
        QFAIL("unknown field");
    QVERIFY2(sameInfo(info, wanted), qPrintable(describe(info) + " != " + describe(wanted)));
}

void TestExifInfo::lastMatchWins()
{
    const QString path = photo("a.jpg",
                               { { "Exif.Image.DateTimeOriginal", "2001:01:01 01:01:01" },
                                 { "Exif.Photo.DateTimeOriginal", "2002:02:02 02:02:02" },
                                 { "Exif.Image.TimeZoneOffset", "3" } });
    QVERIFY(!path.isEmpty());
    // Which of the two the library decodes later decides; find it out.
    const QList<Entry> list = entries(path);
    QString last;
    for (const Entry& entry : list)
        if (entry.key.contains("DateTimeOriginal"))
            last = entry.key;
    QVERIFY(!last.isEmpty());
    const QString expected = last == "Exif.Image.DateTimeOriginal" ? "2001-01-01 01:01:01" : "2002-02-02 02:02:02";

    controller::ExifInfo exif(nullptr);
    model::PhotoInfo info = cleared();
    QVERIFY(exif.read(path, &info));
    QCOMPARE(info.dateTimeOriginal, expected);
    QCOMPARE(info.timeZone, QString("3"));
}

void TestExifInfo::makeCheck_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("tiff");
    QTest::addColumn<QString>("make");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("jpg SONY") << "a.jpg" << false << "SONY" << true;
    QTest::newRow("JPG SONY") << "a.JPG" << false << "SONY" << true;
    QTest::newRow("TIF SONY") << "a.TIF" << true << "SONY" << true;
    QTest::newRow("tiff Leica") << "a.tiff" << true << "Leica" << true;
    QTest::newRow("jpeg SONY") << "a.jpeg" << false << "SONY" << false;
    QTest::newRow("ARW SONY") << "a.ARW" << true << "SONY" << false;
    QTest::newRow("3FR Hasselblad") << "a.3FR" << true << "Hasselblad" << false;
    QTest::newRow("RWL LEICA") << "a.RWL" << true << "LEICA" << false;
    QTest::newRow("orf Olympus") << "a.orf" << true << "Olympus" << false;
    QTest::newRow("orf OLYMPUS IMAGING CORP.") << "a.orf" << true << "OLYMPUS IMAGING CORP." << true;
    QTest::newRow("ARW SONY with blank") << "a.ARW" << true << "SONY " << true;
    QTest::newRow("NEF Nikon") << "a.NEF" << true << "NIKON CORPORATION" << true;
    QTest::newRow("ARW without make") << "a.ARW" << true << "" << true;
    QTest::newRow("no suffix SONY") << "photo" << true << "SONY" << false;
    QTest::newRow("no suffix Canon") << "photo" << true << "Canon" << true;
    QTest::newRow("trailing dot SONY") << "photo." << true << "SONY" << false;
}

void TestExifInfo::makeCheck()
{
    QFETCH(QString, name);
    QFETCH(bool, tiff);
    QFETCH(QString, make);
    QFETCH(bool, accepted);

    const QString path = dir->filePath(name);
    const ExifTags tags = testsupport::cameraTags("Model 1", "SN1", "2016:05:03 10:20:30", make);
    if (tiff)
        QVERIFY(testsupport::writeTiff(path, testsupport::texturedImage(32, 24), tags));
    else
        QVERIFY(testsupport::writePhoto(path, testsupport::texturedImage(32, 24), tags));

    controller::ExifInfo exif(nullptr);
    model::PhotoInfo info = cleared();
    QCOMPARE(exif.read(path, &info), accepted);
    if (accepted) {
        QVERIFY(exif.errorString().isEmpty());
        QCOMPARE(info.model, QString("Model 1"));
        QCOMPARE(info.dateTimeOriginal, QString("2016-05-03 10:20:30"));
    } else {
        QCOMPARE(exif.errorString(), unsupportedCamera);
    }
}

void TestExifInfo::makeCheckUsesFileNameOnly()
{
    // The folder's dot is no suffix of the file.
    QVERIFY(QDir(dir->path()).mkdir("holiday.jpg"));
    const QString path = dir->filePath("holiday.jpg/photo");
    QVERIFY(testsupport::writeTiff(path, testsupport::texturedImage(32, 24),
                                   testsupport::cameraTags("M", "S", "2016:05:03 10:20:30", "SONY")));
    controller::ExifInfo exif(nullptr);
    model::PhotoInfo info = cleared();
    QVERIFY(!exif.read(path, &info));
    QCOMPARE(exif.errorString(), unsupportedCamera);
}

void TestExifInfo::noWantedTags()
{
    const QString path = photo("a.jpg", { { "Exif.Image.Make", "Canon" }, { "Exif.Image.Software", "Kestrel" } });
    QVERIFY(!path.isEmpty());
    controller::ExifInfo exif(nullptr);
    model::PhotoInfo info = cleared();
    QVERIFY(exif.read(path, &info));
    QVERIFY(sameInfo(info, cleared()));

    // Fields without an entry keep what they held.
    model::PhotoInfo filled = cleared();
    filled.syncId = "sync";
    filled.elapsedTime = 17;
    filled.model = "before";
    filled.shutterCount = 3;
    const model::PhotoInfo before = filled;
    QVERIFY(exif.read(path, &filled));
    QVERIFY(sameInfo(filled, before));
}

void TestExifInfo::readFailure_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("no EXIF") << "noexif";
    QTest::newRow("missing file") << "missing";
    QTest::newRow("not an image") << "text";
    QTest::newRow("truncated JPEG header") << "truncated";
    QTest::newRow("folder") << "folder";
    QTest::newRow("empty file") << "empty";
}

void TestExifInfo::readFailure()
{
    QFETCH(QString, kind);
    QString path = dir->filePath("a.jpg");
    if (kind == "noexif") {
        QVERIFY(testsupport::writePhoto(path, testsupport::texturedImage(32, 24)));
        QVERIFY(entries(path).isEmpty());
    } else if (kind == "text") {
        QVERIFY(testsupport::writeFile(path, "These are not the photos you are looking for.\n"));
    } else if (kind == "truncated") {
        QVERIFY(testsupport::writeFile(path, QByteArray("\xFF\xD8\xFF\xE1\x10\x00Exif\0\0II*\0", 16)));
    } else if (kind == "folder") {
        QVERIFY(QDir(dir->path()).mkdir("a.jpg"));
    } else if (kind == "empty") {
        QVERIFY(testsupport::writeFile(path, QByteArray()));
    }
    const QByteArray before = testsupport::readFile(path);

    controller::ExifInfo exif(nullptr);
    model::PhotoInfo info = cleared();
    QVERIFY(!exif.read(path, &info));
    QCOMPARE(exif.errorString(), readError);
    QCOMPARE(testsupport::readFile(path), before);
}

void TestExifInfo::readLeavesPhotoUnchanged()
{
    const QString path = photo("a.jpg");
    QVERIFY(!path.isEmpty());
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));
    const QByteArray before = testsupport::readFile(path);
    const QDateTime modified = QFileInfo(path).lastModified();
    controller::ExifInfo exif(nullptr);
    model::PhotoInfo info = cleared();
    QVERIFY(exif.read(path, &info));
    QCOMPARE(info.model, QString("X-T3"));
    QCOMPARE(testsupport::readFile(path), before);
    QCOMPARE(QFileInfo(path).lastModified(), modified);
    QCOMPARE(QDir(dir->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList { "a.jpg" });
}

void TestExifInfo::successKeepsLastError()
{
    const QString path = photo("a.jpg");
    controller::ExifInfo exif(nullptr);
    model::PhotoInfo info = cleared();
    QVERIFY(!exif.read(dir->filePath("missing.jpg"), &info));
    QCOMPARE(exif.errorString(), readError);
    QVERIFY(exif.read(path, &info));
    QCOMPARE(exif.errorString(), readError);
    model::PhotoGeocode result = geocode(1, 2, 3, 4);
    QVERIFY(exif.write(path, false, &result));
    QCOMPARE(exif.errorString(), readError);
}

void TestExifInfo::writesGps_data()
{
    QTest::addColumn<double>("latitude");
    QTest::addColumn<double>("longitude");
    QTest::addColumn<double>("altitude");
    QTest::addColumn<int>("accuracy");
    QTest::addColumn<QString>("latitudeRef");
    QTest::addColumn<QString>("latitudeText");
    QTest::addColumn<QString>("longitudeRef");
    QTest::addColumn<QString>("longitudeText");
    QTest::addColumn<QString>("altitudeRef");
    QTest::addColumn<QString>("altitudeText");
    QTest::addColumn<QString>("accuracyText");

    QTest::newRow("zero") << 0.0 << 0.0 << 0.0 << 0 << "N"
                          << "0/1000000 0/1 0/1"
                          << "E"
                          << "0/1000000 0/1 0/1"
                          << "0"
                          << "0/100"
                          << "0/1000";
    QTest::newRow("half south, west, below sea")
        << -0.5 << -122.4194155 << -12.345 << 25 << "S"
        << "500000/1000000 0/1 0/1"
        << "W"
        << "122419415/1000000 0/1 0/1"
        << "1"
        << "1234/100"
        << "25000/1000";
    QTest::newRow("north east, truncated not rounded")
        << 48.8583709 << 2.2944819 << 0.999 << 1 << "N"
        << "48858370/1000000 0/1 0/1"
        << "E"
        << "2294481/1000000 0/1 0/1"
        << "0"
        << "99/100"
        << "1000/1000";
    QTest::newRow("poles and date line") << 90.0 << -180.0 << 35.5 << 5000 << "N"
                                         << "90000000/1000000 0/1 0/1"
                                         << "W"
                                         << "180000000/1000000 0/1 0/1"
                                         << "0"
                                         << "3550/100"
                                         << "5000000/1000";
    QTest::newRow("negative zero") << -0.0 << -0.0 << -0.0 << 0 << "N"
                                   << "0/1000000 0/1 0/1"
                                   << "E"
                                   << "0/1000000 0/1 0/1"
                                   << "0"
                                   << "0/100"
                                   << "0/1000";
    QTest::newRow("tiny negative") << -0.0000001 << -0.0000009 << -0.001 << 0 << "S"
                                   << "0/1000000 0/1 0/1"
                                   << "W"
                                   << "0/1000000 0/1 0/1"
                                   << "1"
                                   << "0/100"
                                   << "0/1000";
    QTest::newRow("negative accuracy") << 1.0 << 1.0 << 1.0 << -7 << "N"
                                       << "1000000/1000000 0/1 0/1"
                                       << "E"
                                       << "1000000/1000000 0/1 0/1"
                                       << "0"
                                       << "100/100"
                                       << "7000/1000";
}

void TestExifInfo::writesGps()
{
    QFETCH(double, latitude);
    QFETCH(double, longitude);
    QFETCH(double, altitude);
    QFETCH(int, accuracy);

    const QString path = photo("a.jpg");
    QVERIFY(!path.isEmpty());
    controller::ExifInfo exif(nullptr);
    model::PhotoGeocode result = geocode(latitude, longitude, altitude, accuracy);
    QVERIFY2(exif.write(path, false, &result), qPrintable(exif.errorString()));

    const QList<Entry> list = entries(path);
    const auto check = [&list](const char* key, const char* type, long count, const QString& text) {
        const Entry found = entry(list, key);
        QCOMPARE(found.key, QString(key));
        QCOMPARE(found.type, QString(type));
        QCOMPARE(found.count, count);
        QCOMPARE(found.text, text);
    };
    QFETCH(QString, latitudeRef);
    QFETCH(QString, latitudeText);
    QFETCH(QString, longitudeRef);
    QFETCH(QString, longitudeText);
    QFETCH(QString, altitudeRef);
    QFETCH(QString, altitudeText);
    QFETCH(QString, accuracyText);
    check("Exif.GPSInfo.GPSLatitudeRef", "Ascii", 2, latitudeRef);
    check("Exif.GPSInfo.GPSLatitude", "Rational", 3, latitudeText);
    check("Exif.GPSInfo.GPSLongitudeRef", "Ascii", 2, longitudeRef);
    check("Exif.GPSInfo.GPSLongitude", "Rational", 3, longitudeText);
    check("Exif.GPSInfo.GPSAltitudeRef", "Byte", 1, altitudeRef);
    check("Exif.GPSInfo.GPSAltitude", "Rational", 1, altitudeText);
    check("Exif.GPSInfo.GPSHPositioningError", "Rational", 1, accuracyText);
    QCOMPARE(entry(list, "Exif.GPSInfo.GPSAltitudeRef").bytes, QByteArray(1, altitudeRef == "1" ? '\1' : '\0'));
}

void TestExifInfo::writesFixedEntries()
{
    const QString path = photo("a.jpg");
    controller::ExifInfo exif(nullptr);
    model::PhotoGeocode result = geocode(1, 2, 3, 4);
    QVERIFY(exif.write(path, false, &result));
    const QList<Entry> list = entries(path);

    const Entry version = entry(list, "Exif.GPSInfo.GPSVersionID");
    QCOMPARE(version.type, QString("Byte"));
    QCOMPARE(version.bytes, QByteArray("\2\2\0\0", 4));
    const Entry method = entry(list, "Exif.GPSInfo.GPSProcessingMethod");
    QCOMPARE(method.type, QString("Undefined"));
    QCOMPARE(method.bytes, processingMethodBytes());
    QCOMPARE(method.text, "charset=Ascii " + controller::ExifInfo::vendorAddress());
    QVERIFY(!controller::ExifInfo::vendorAddress().isEmpty());

    // The written GPS directory holds exactly the nine entries.
    QStringList gps;
    for (const Entry& entry : list)
        if (entry.key.startsWith("Exif.GPSInfo."))
            gps.append(entry.key);
    gps.sort();
    QCOMPARE(gps,
             QStringList({ "Exif.GPSInfo.GPSAltitude", "Exif.GPSInfo.GPSAltitudeRef",
                           "Exif.GPSInfo.GPSHPositioningError", "Exif.GPSInfo.GPSLatitude",
                           "Exif.GPSInfo.GPSLatitudeRef", "Exif.GPSInfo.GPSLongitude",
                           "Exif.GPSInfo.GPSLongitudeRef", "Exif.GPSInfo.GPSProcessingMethod",
                           "Exif.GPSInfo.GPSVersionID" }));
}

void TestExifInfo::timeCorrection_data()
{
    QTest::addColumn<QString>("photoTime");
    QTest::addColumn<QString>("timeZone");
    QTest::addColumn<QString>("dateTime");
    QTest::addColumn<QString>("offsetHours");
    QTest::addColumn<QString>("offsetText");

    QTest::newRow("west") << "2016-05-03 10:20:30"
                          << "-05:00"
                          << "2016:05:03 10:20:30"
                          << "-5 -5"
                          << "-05:00";
    QTest::newRow("east, minutes dropped") << "2016-05-03 10:20:30"
                                           << "+05:30"
                                           << "2016:05:03 10:20:30"
                                           << "5 5"
                                           << "+05:30";
    QTest::newRow("twelve") << "2020-12-31 23:59:59"
                            << "+12:45"
                            << "2020:12:31 23:59:59"
                            << "12 12"
                            << "+12:45";
    QTest::newRow("longer than 19") << "2016-05-03 10:20:30.250+02:00"
                                    << "+02:00"
                                    << "2016:05:03 10:20:30"
                                    << "2 2"
                                    << "+02:00";
    QTest::newRow("empty time") << ""
                                << "+02:00"
                                << ""
                                << "2 2"
                                << "+02:00";
    QTest::newRow("short zone") << "2016-05-03 10:20:30"
                                << "+1"
                                << "2016:05:03 10:20:30"
                                << "1 1"
                                << "+1";
    QTest::newRow("zone not a number") << "2016-05-03 10:20:30"
                                       << "UTC"
                                       << "2016:05:03 10:20:30"
                                       << "0 0"
                                       << "UTC";
    QTest::newRow("zone with colon early") << "2016-05-03 10:20:30"
                                           << "+5:00"
                                           << "2016:05:03 10:20:30"
                                           << "0 0"
                                           << "+5:00";
    QTest::newRow("empty zone") << "2016-05-03 10:20:30"
                                << ""
                                << "2016:05:03 10:20:30"
                                << "0 0"
                                << "";
    QTest::newRow("long zone") << "2016-05-03 10:20:30"
                               << "+09:00:00"
                               << "2016:05:03 10:20:30"
                               << "9 9"
                               << "+09:00";
}

void TestExifInfo::timeCorrection()
{
    QFETCH(QString, photoTime);
    QFETCH(QString, timeZone);
    QFETCH(QString, dateTime);
    QFETCH(QString, offsetHours);
    QFETCH(QString, offsetText);

    const QString path = photo("a.jpg",
                               testsupport::cameraTags() + ExifTags { { "Exif.Image.DateTime", "1999:09:09 09:09:09" },
                                                                      { "Exif.Photo.OffsetTime", "+11:00" } });
    QVERIFY(!path.isEmpty());
    controller::ExifInfo exif(nullptr);
    model::PhotoGeocode result = geocode(1, 2, 3, 4);
    result.photoTime = photoTime;
    result.timeZone = timeZone;
    QVERIFY2(exif.write(path, true, &result), qPrintable(exif.errorString()));
    QCOMPARE(result.photoTime, dateTime);
    QCOMPARE(result.timeZone, timeZone);

    const QList<Entry> list = entries(path);
    for (const char* key : { "Exif.Image.DateTime", "Exif.Photo.DateTimeOriginal", "Exif.Photo.DateTimeDigitized" }) {
        const Entry found = entry(list, key);
        QCOMPARE(found.key, QString(key));
        QCOMPARE(found.type, QString("Ascii"));
        QCOMPARE(found.text, dateTime);
    }
    const Entry offset = entry(list, "Exif.Image.TimeZoneOffset");
    QCOMPARE(offset.type, QString("SShort"));
    QCOMPARE(offset.count, 2L);
    QCOMPARE(offset.text, offsetHours);
    QVERIFY(entriesNamed(list, "Exif.Photo.TimeZoneOffset").isEmpty());
    for (const char* key : { "Exif.Photo.OffsetTime", "Exif.Photo.OffsetTimeOriginal", "Exif.Photo.OffsetTimeDigitized" }) {
        const Entry found = entry(list, key);
        QCOMPARE(found.key, QString(key));
        QCOMPARE(found.type, QString("Ascii"));
        QCOMPARE(found.text, offsetText);
    }
}

void TestExifInfo::noTimeCorrection()
{
    const ExifTags tags = testsupport::cameraTags() + ExifTags {
        { "Exif.Image.DateTime", "1999:09:09 09:09:09" },
        { "Exif.Photo.DateTimeDigitized", "1999:09:09 09:09:10" },
        { "Exif.Photo.OffsetTime", "+11:00" },
    };
    const QString path = photo("a.jpg", tags);
    QVERIFY(!path.isEmpty());
    controller::ExifInfo exif(nullptr);
    model::PhotoGeocode result = geocode(1, 2, 3, 4);
    QVERIFY(exif.write(path, false, &result));
    QCOMPARE(result.photoTime, QString("2016-05-03 10:20:30"));

    const QList<Entry> list = entries(path);
    QCOMPARE(entry(list, "Exif.Image.DateTime").text, QString("1999:09:09 09:09:09"));
    QCOMPARE(entry(list, "Exif.Photo.DateTimeOriginal").text, QString("2026:07:14 12:34:56"));
    QCOMPARE(entry(list, "Exif.Photo.DateTimeDigitized").text, QString("1999:09:09 09:09:10"));
    QCOMPARE(entry(list, "Exif.Photo.OffsetTime").text, QString("+11:00"));
    QVERIFY(entriesNamed(list, "Exif.Image.TimeZoneOffset").isEmpty());
    QVERIFY(entriesNamed(list, "Exif.Photo.OffsetTimeOriginal").isEmpty());
    QVERIFY(entriesNamed(list, "Exif.Photo.OffsetTimeDigitized").isEmpty());
}

void TestExifInfo::replacesExistingGps()
{
    const QString path = photo("a.jpg",
                               testsupport::cameraTags() + ExifTags {
                                   { "Exif.GPSInfo.GPSVersionID", "2 3 0 0" },
                                   { "Exif.GPSInfo.GPSLatitudeRef", "S" },
                                   { "Exif.GPSInfo.GPSLatitude", "10/1 20/1 30/1" },
                                   { "Exif.GPSInfo.GPSLongitudeRef", "W" },
                                   { "Exif.GPSInfo.GPSLongitude", "40/1 50/1 0/1" },
                                   { "Exif.GPSInfo.GPSAltitudeRef", "1" },
                                   { "Exif.GPSInfo.GPSAltitude", "5/1" },
                                   { "Exif.GPSInfo.GPSProcessingMethod", "charset=Ascii GPS" },
                                   { "Exif.GPSInfo.GPSHPositioningError", "9/1" },
                                   { "Exif.GPSInfo.GPSMapDatum", "WGS-84" },
                               });
    QVERIFY(!path.isEmpty());
    controller::ExifInfo exif(nullptr);
    model::PhotoGeocode result = geocode(12.5, 7.25, 100, 8);
    QVERIFY(exif.write(path, false, &result));
    // Written twice: still one entry per key.
    QVERIFY(exif.write(path, false, &result));

    const QList<Entry> list = entries(path);
    QStringList keys;
    for (const Entry& entry : list)
        keys.append(entry.key);
    for (const QString& key : keys)
        QCOMPARE(keys.count(key), 1);
    QCOMPARE(entry(list, "Exif.GPSInfo.GPSVersionID").bytes, QByteArray("\2\2\0\0", 4));
    QCOMPARE(entry(list, "Exif.GPSInfo.GPSLatitudeRef").text, QString("N"));
    QCOMPARE(entry(list, "Exif.GPSInfo.GPSLatitude").text, QString("12500000/1000000 0/1 0/1"));
    QCOMPARE(entry(list, "Exif.GPSInfo.GPSLongitudeRef").text, QString("E"));
    QCOMPARE(entry(list, "Exif.GPSInfo.GPSLongitude").text, QString("7250000/1000000 0/1 0/1"));
    QCOMPARE(entry(list, "Exif.GPSInfo.GPSAltitudeRef").text, QString("0"));
    QCOMPARE(entry(list, "Exif.GPSInfo.GPSAltitude").text, QString("10000/100"));
    QCOMPARE(entry(list, "Exif.GPSInfo.GPSProcessingMethod").bytes, processingMethodBytes());
    QCOMPARE(entry(list, "Exif.GPSInfo.GPSHPositioningError").text, QString("8000/1000"));
    QCOMPARE(entry(list, "Exif.GPSInfo.GPSMapDatum").text, QString("WGS-84"));
}

void TestExifInfo::preservesOtherTagsAndImage_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("tiff");
    QTest::newRow("jpg") << "a.jpg" << false;
    QTest::newRow("tif") << "a.tif" << true;
    QTest::newRow("NEF") << "a.NEF" << true;
}

void TestExifInfo::preservesOtherTagsAndImage()
{
    QFETCH(QString, name);
    QFETCH(bool, tiff);
    const QString path = dir->filePath(name);
    const ExifTags tags = testsupport::cameraTags("D850", "3000123", "2019:06:01 08:00:00", "NIKON CORPORATION")
        + ExifTags { { "Exif.Image.Software", "Kestrel test" },
                     { "Exif.Photo.UserComment", "charset=Ascii a comment" },
                     { "Exif.Image.Artist", "Someone" } };
    const QImage image = testsupport::texturedImage(80, 60, 3);
    if (tiff)
        QVERIFY(testsupport::writeTiff(path, image, tags));
    else
        QVERIFY(testsupport::writePhoto(path, image, tags));
    const QByteArray pixels = pixelData(path, tiff);
    QVERIFY(!pixels.isEmpty());
    QMap<QString, QString> before = testsupport::readExif(path);

    controller::ExifInfo exif(nullptr);
    model::PhotoGeocode result = geocode(-33.8568, 151.2153, 58, 12);
    QVERIFY2(exif.write(path, false, &result), qPrintable(exif.errorString()));

    QMap<QString, QString> after = testsupport::readExif(path);
    // Offsets of directories and pixel data may move; everything else stays.
    const QStringList moving = { "Exif.Image.ExifTag", "Exif.Image.GPSTag", "Exif.Image.StripOffsets" };
    for (auto it = before.cbegin(); it != before.cend(); ++it)
        if (!it.key().startsWith("Exif.GPSInfo.") && !moving.contains(it.key()))
            QVERIFY2(after.value(it.key()) == it.value(), qPrintable(it.key() + ": " + after.value(it.key())));
    QCOMPARE(after.value("Exif.GPSInfo.GPSLatitudeRef"), QString("S"));
    QVERIFY(pixelData(path, tiff) == pixels);
}

void TestExifInfo::readsBackWhatItWrote()
{
    const QString path = photo("a.jpg");
    controller::ExifInfo exif(nullptr);
    model::PhotoGeocode result = geocode(1, 2, 3, 4);
    result.photoTime = "2017-08-09 11:12:13";
    result.timeZone = "-03:00";
    QVERIFY(exif.write(path, true, &result));
    model::PhotoInfo info = cleared();
    QVERIFY(exif.read(path, &info));
    QCOMPARE(info.dateTimeOriginal, QString("2017-08-09 11:12:13"));
    QCOMPARE(info.timeZone, QString("-3 -3"));
    QCOMPARE(info.gpsProcessingMethod, "charset=Ascii " + controller::ExifInfo::vendorAddress());
    QCOMPARE(info.model, QString("X-T3"));
    QCOMPARE(info.serialNumber, QString("SN1234"));
}

void TestExifInfo::sameBytesAsTheLibrary_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("correctDateTime");
    QTest::newRow("plain JPEG") << "plain" << false;
    QTest::newRow("plain JPEG, time corrected") << "plain" << true;
    QTest::newRow("JPEG with an application segment, comment and trailer") << "segments" << true;
    QTest::newRow("JPEG with fill bytes before a marker") << "fill" << true;
    QTest::newRow("JPEG with XMP") << "xmp" << false;
    QTest::newRow("TIFF") << "tiff" << true;
}

// Tagging through the temporary file, and for a JPEG copying the image data
// past the library, gives exactly the file the library writes itself.
void TestExifInfo::sameBytesAsTheLibrary()
{
    QFETCH(QString, kind);
    QFETCH(bool, correctDateTime);
    const QString path = dir->filePath(kind == "tiff" ? "a.tif" : "a.jpg");
    const ExifTags tags = testsupport::cameraTags() + ExifTags { { "Exif.Photo.OffsetTime", "+11:00" } };
    if (kind == "tiff") {
        QVERIFY(testsupport::writeTiff(path, testsupport::texturedImage(64, 48), tags));
    } else {
        QVERIFY(testsupport::writePhoto(path, testsupport::texturedImage(160, 120), tags));
        QByteArray bytes = testsupport::readFile(path);
        const QByteArray exifStart = QByteArray("\xFF\xE1", 2);
        if (kind == "segments") {
            bytes = insertAfter(bytes, exifStart,
                                segment(0xE3, QByteArray("META\0\1\1", 7) + QByteArray(300, 'p'))
                                    + segment(0xFE, "a comment"));
            bytes += "trailing bytes after the image";
        } else if (kind == "fill") {
            bytes = insertAfter(bytes, exifStart, QByteArray("\xFF\xFF", 2));
            bytes.remove(bytes.indexOf(QByteArray("\xFF\xFF\xFF", 3)), 1);
        }
        QVERIFY(!bytes.isEmpty());
        QVERIFY(testsupport::writeFile(path, bytes));
        if (kind == "xmp")
            QVERIFY(testsupport::setExif(path, {}));
    }
    if (kind == "xmp") {
        auto image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
        image->readMetadata();
        image->xmpData()["Xmp.dc.title"] = "A title";
        image->writeMetadata();
    }
    const QByteArray original = testsupport::readFile(path);
    QVERIFY(testsupport::writeFile(dir->filePath("original"), original));

    controller::ExifInfo exif(nullptr);
    model::PhotoGeocode result = geocode(-33.8568, 151.2153, -3.25, 12);
    QVERIFY2(exif.write(path, correctDateTime, &result), qPrintable(exif.errorString()));
    const QByteArray written = testsupport::readFile(path);
    QVERIFY(written != original);
    const QByteArray expected = libraryWrite(dir->filePath("original"), path, dir->filePath("reference"));
    QVERIFY(!expected.isEmpty());
    QVERIFY(written == expected);

    result = geocode(-33.8568, 151.2153, -3.25, 12);
    QVERIFY(exif.writeCopy(dir->filePath("original"), dir->filePath("copy"), correctDateTime, &result));
    QVERIFY(testsupport::readFile(dir->filePath("copy")) == expected);
    QCOMPARE(testsupport::readFile(dir->filePath("original")), original);

    if (kind == "segments") {
        QVERIFY(written.endsWith("trailing bytes after the image"));
        const QList<QByteArray> segments = jpegSegments(written);
        QVERIFY(written.contains("a comment"));
        QVERIFY(segments.contains(segment(0xE3, QByteArray("META\0\1\1", 7) + QByteArray(300, 'p'))));
    }
    if (kind == "xmp")
        QVERIFY(written.contains("A title"));
}

void TestExifInfo::writeFailure_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("error");
    QTest::newRow("no EXIF") << "noexif" << readError;
    QTest::newRow("missing file") << "missing" << writeError;
    QTest::newRow("not an image") << "text" << writeError;
    QTest::newRow("empty file") << "empty" << writeError;
    QTest::newRow("format the library cannot write") << "rw2" << writeError;
    QTest::newRow("folder") << "folder" << writeError;
}

void TestExifInfo::writeFailure()
{
    QFETCH(QString, kind);
    QFETCH(QString, error);
    const QString path = dir->filePath(kind == "rw2" ? "a.RW2" : "a.jpg");
    if (kind == "noexif")
        QVERIFY(testsupport::writePhoto(path, testsupport::texturedImage(32, 24)));
    else if (kind == "text")
        QVERIFY(testsupport::writeFile(path, "not a photo\n"));
    else if (kind == "empty")
        QVERIFY(testsupport::writeFile(path, QByteArray()));
    else if (kind == "rw2")
        QVERIFY(writeUnwritableRaw(path));
    else if (kind == "folder")
        QVERIFY(QDir(dir->path()).mkdir("a.jpg"));
    const QByteArray before = testsupport::readFile(path);
    const QStringList files = QDir(dir->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);

    if (kind == "rw2") {
        // The library reads it: the failure is its writer's.
        controller::ExifInfo reader(nullptr);
        model::PhotoInfo info = cleared();
        QVERIFY2(reader.read(path, &info), qPrintable(reader.errorString()));
        QCOMPARE(info.dateTimeOriginal, QString("2026-07-14 12:34:56"));
    }

    controller::ExifInfo exif(nullptr);
    model::PhotoGeocode result = geocode(1, 2, 3, 4);
    QVERIFY(!exif.write(path, true, &result));
    QCOMPARE(exif.errorString(), error);
    QCOMPARE(testsupport::readFile(path), before);
    QCOMPARE(QDir(dir->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), files);
}

void TestExifInfo::writeRefusesReadOnlyFile()
{
    const QString path = photo("a.jpg");
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    const QByteArray before = testsupport::readFile(path);
    controller::ExifInfo exif(nullptr);
    model::PhotoGeocode result = geocode(1, 2, 3, 4);
    QVERIFY(!exif.write(path, false, &result));
    QCOMPARE(exif.errorString(), writeError);
    QCOMPARE(testsupport::readFile(path), before);
    QCOMPARE(permissions(path), mode_t(0444));
    QCOMPARE(QDir(dir->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList { "a.jpg" });
}

void TestExifInfo::writeKeepsPermissions()
{
    const QString path = photo("a.jpg");
    QVERIFY(::chmod(QFile::encodeName(path).constData(), 0640) == 0);
    controller::ExifInfo exif(nullptr);
    model::PhotoGeocode result = geocode(1, 2, 3, 4);
    QVERIFY(exif.write(path, false, &result));
    QCOMPARE(permissions(path), mode_t(0640));
    QCOMPARE(entry(entries(path), "Exif.GPSInfo.GPSLatitudeRef").text, QString("N"));
    // No temporary file is left behind.
    QCOMPARE(QDir(dir->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList { "a.jpg" });
}

void TestExifInfo::writeThroughSymbolicLink()
{
    const QString path = photo("a.jpg");
    const QString link = dir->filePath("link.jpg");
    QVERIFY(QFile::link(path, link));
    controller::ExifInfo exif(nullptr);
    model::PhotoGeocode result = geocode(-1, 2, 3, 4);
    QVERIFY(exif.write(link, false, &result));
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(entry(entries(path), "Exif.GPSInfo.GPSLatitudeRef").text, QString("S"));
}

void TestExifInfo::fifoRefusedWithoutWaiting()
{
    const QString path = dir->filePath("pipe.jpg");
    QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
    controller::ExifInfo exif(nullptr);
    model::PhotoInfo info = cleared();
    QVERIFY(!exif.read(path, &info));
    QCOMPARE(exif.errorString(), readError);
    model::PhotoGeocode result = geocode(1, 2, 3, 4);
    QVERIFY(!exif.write(path, false, &result));
    QCOMPARE(exif.errorString(), writeError);
    QVERIFY(!exif.writeCopy(path, dir->filePath("copy.jpg"), false, &result));
    QCOMPARE(QDir(dir->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System),
             QStringList { "pipe.jpg" });
}

void TestExifInfo::writeRefusesPositionOutOfRange_data()
{
    QTest::addColumn<double>("latitude");
    QTest::addColumn<double>("altitude");
    QTest::newRow("latitude not a number") << qQNaN() << 0.0;
    QTest::newRow("altitude infinite") << 0.0 << -qInf();
    QTest::newRow("altitude beyond a rational") << 0.0 << 5e7;
}

void TestExifInfo::writeRefusesPositionOutOfRange()
{
    QFETCH(double, latitude);
    QFETCH(double, altitude);
    const QString path = photo("a.jpg");
    const QByteArray before = testsupport::readFile(path);
    controller::ExifInfo exif(nullptr);
    model::PhotoGeocode result = geocode(latitude, 0, altitude, 0);
    QVERIFY(!exif.write(path, false, &result));
    QCOMPARE(exif.errorString(), writeError);
    QCOMPARE(testsupport::readFile(path), before);
}

void TestExifInfo::copyMatchesInPlaceWrite()
{
    const QString source = photo("a.jpg");
    QVERIFY(::chmod(QFile::encodeName(source).constData(), 0604) == 0);
    const QByteArray original = testsupport::readFile(source);
    const QString inPlace = dir->filePath("b.jpg");
    QVERIFY(testsupport::writeFile(inPlace, original));
    QVERIFY(QDir(dir->path()).mkdir("KESTREL"));
    const QString target = dir->filePath("KESTREL/a.jpg");

    controller::ExifInfo exif(nullptr);
    model::PhotoGeocode copied = geocode(-0.5, 3, -12.345, 0);
    model::PhotoGeocode written = copied;
    QVERIFY2(exif.writeCopy(source, target, true, &copied), qPrintable(exif.errorString()));
    QVERIFY(exif.write(inPlace, true, &written));

    QCOMPARE(testsupport::readFile(source), original);
    QCOMPARE(testsupport::readFile(target), testsupport::readFile(inPlace));
    QCOMPARE(copied.photoTime, QString("2016:05:03 10:20:30"));
    QCOMPARE(permissions(target), mode_t(0604));
    QCOMPARE(entry(entries(target), "Exif.GPSInfo.GPSAltitude").text, QString("1234/100"));
    QCOMPARE(QDir(dir->filePath("KESTREL")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList { "a.jpg" });
}

void TestExifInfo::copyReplacesExistingTarget()
{
    const QString source = photo("a.jpg");
    const QString target = dir->filePath("b.jpg");
    QVERIFY(testsupport::writeFile(target, "old copy"));
    controller::ExifInfo exif(nullptr);
    model::PhotoGeocode result = geocode(1, 2, 3, 4);
    QVERIFY(exif.writeCopy(source, target, false, &result));
    QCOMPARE(entry(entries(target), "Exif.Image.Model").text, QString("X-T3"));
    QCOMPARE(entry(entries(target), "Exif.GPSInfo.GPSLongitudeRef").text, QString("E"));
    QCOMPARE(QDir(dir->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList({ "a.jpg", "b.jpg" }));
}

void TestExifInfo::copyFailureLeavesNothing_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("targetExists");
    QTest::addColumn<QString>("error");
    QTest::newRow("source without EXIF") << "noexif" << false << readError;
    QTest::newRow("source without EXIF, target kept") << "noexif" << true << readError;
    QTest::newRow("source missing") << "missing" << false << writeError;
    QTest::newRow("source not writable by the library") << "rw2" << false << writeError;
    QTest::newRow("source not writable by the library, target kept") << "rw2" << true << writeError;
    QTest::newRow("target folder missing") << "nofolder" << false << writeError;
    QTest::newRow("position out of range") << "range" << true << writeError;
}

void TestExifInfo::copyFailureLeavesNothing()
{
    QFETCH(QString, kind);
    QFETCH(bool, targetExists);
    QFETCH(QString, error);
    QVERIFY(QDir(dir->path()).mkdir("in"));
    QVERIFY(QDir(dir->path()).mkdir("out"));
    const QString source = dir->filePath(kind == "rw2" ? "in/a.RW2" : "in/a.jpg");
    QString target = dir->filePath(kind == "rw2" ? "out/a.RW2" : "out/a.jpg");
    if (kind == "noexif")
        QVERIFY(testsupport::writePhoto(source, testsupport::texturedImage(32, 24)));
    else if (kind == "rw2")
        QVERIFY(writeUnwritableRaw(source));
    else if (kind != "missing")
        QVERIFY(testsupport::writePhoto(source, testsupport::texturedImage(32, 24), testsupport::cameraTags()));
    if (kind == "nofolder")
        target = dir->filePath("gone/a.jpg");
    if (targetExists)
        QVERIFY(testsupport::writeFile(target, "earlier copy"));
    const QByteArray sourceBytes = testsupport::readFile(source);

    controller::ExifInfo exif(nullptr);
    model::PhotoGeocode result = geocode(kind == "range" ? qQNaN() : 1.0, 2, 3, 4);
    QVERIFY(!exif.writeCopy(source, target, false, &result));
    QCOMPARE(exif.errorString(), error);
    QCOMPARE(testsupport::readFile(source), sourceBytes);
    const QStringList out = QDir(dir->filePath("out")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    if (targetExists) {
        QCOMPARE(out, QStringList { QFileInfo(target).fileName() });
        QCOMPARE(testsupport::readFile(target), QByteArray("earlier copy"));
    } else {
        QVERIFY2(out.isEmpty(), qPrintable(out.join(',')));
    }
    QVERIFY(!QFileInfo::exists(dir->filePath("gone")));
}

QTEST_GUILESS_MAIN(TestExifInfo)
#include "tst_exifinfo.moc"
