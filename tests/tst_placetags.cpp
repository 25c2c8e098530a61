#include <QtTest>

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include "controller/exifinfo.h"
#include "support/photos.h"

namespace {

// ExifTool's output for args; empty when it fails.
QByteArray exiftool(const QStringList& args)
{
    QProcess tool;
    tool.start(QStringLiteral("exiftool"), args);
    if (!tool.waitForFinished(60000) || tool.exitCode() != 0)
        return QByteArray();
    return tool.readAllStandardOutput();
}

// The place entries ExifTool reads in file: the IPTC character set, then
// the IPTC and the XMP texts in the order of a place's fields.
QString placeOf(const QString& file)
{
    const QByteArray read = exiftool({ "-j", "-G1", "-charset", "iptc=UTF8", file });
    const QJsonObject tags = QJsonDocument::fromJson(read)[0].toObject();
    QStringList texts;
    for (const char* tag : { "IPTC:City", "IPTC:Sub-location", "IPTC:Province-State", "IPTC:Country-PrimaryLocationName",
                             "IPTC:Country-PrimaryLocationCode", "XMP-photoshop:City", "XMP-iptcCore:Location",
                             "XMP-photoshop:State", "XMP-photoshop:Country", "XMP-iptcCore:CountryCode" })
        texts << tags[tag].toVariant().toString();
    return tags["IPTC:CodedCharacterSet"].toString() + ':' + texts.mid(0, 5).join('|') + " / " + texts.mid(5).join('|');
}

// ExifTool's warnings about file, the count left out.
QSet<QString> warningsOf(const QString& file)
{
    QSet<QString> lines;
    for (const QByteArray& line : exiftool({ "-validate", "-warning", "-a", "-G1", "-s", file }).split('\n'))
        if (!line.contains("Validate"))
            lines.insert(QString::fromUtf8(line));
    return lines;
}

} // namespace

class TestPlaceTags : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void written_data();
    void written();

private:
    QTemporaryDir m_folder;
};

void TestPlaceTags::initTestCase()
{
    if (QStandardPaths::findExecutable(QStringLiteral("exiftool")).isEmpty())
        QSKIP("exiftool is not installed");
}

void TestPlaceTags::written_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("place"); // city, sublocation, region, country, code
    QTest::addColumn<QString>("hand");      // ExifTool's writes before, split at spaces
    QTest::addColumn<int>("options");       // 0 off, 1 write, 2 write and replace
    QTest::addColumn<QString>("expected");  // see placeOf

    const QStringList saoPaulo { "São Paulo", "", "São Paulo", "Brazil", "BR" };
    const QString saoPauloTags = "UTF8:São Paulo||São Paulo|Brazil|BRA / São Paulo||São Paulo|Brazil|BR";
    QTest::newRow("São Paulo") << "a.jpg" << saoPaulo << "" << 1 << saoPauloTags;
    QTest::newRow("São Paulo in a PNG") << "a.png" << saoPaulo << "" << 1 << saoPauloTags;
    QTest::newRow("Kraków, a sublocation, in a TIFF")
        << "a.tif" << QStringList { "Kraków", "Kazimierz", "Lesser Poland", "Poland", "PL" } << "" << 1
        << "UTF8:Kraków|Kazimierz|Lesser Poland|Poland|POL / Kraków|Kazimierz|Lesser Poland|Poland|PL";
    QTest::newRow("東京 in a sidecar, no region") << "a.NEF" << QStringList { "東京", "", "", "Japan", "JP" } << "" << 1
                                                 << ":|||| / 東京|||Japan|JP";
    QTest::newRow("Zürich") << "a.jpg" << QStringList { "Zürich", "", "", "", "CH" } << "" << 1
                            << "UTF8:Zürich||||CHE / Zürich||||CH";
    QTest::newRow("a code without three letters") << "a.jpg" << QStringList { "Pristina", "", "", "Kosovo", "XK" } << ""
                                                  << 1 << "UTF8:Pristina|||Kosovo| / Pristina|||Kosovo|XK";
    QTest::newRow("by the sea: a country alone") << "a.jpg" << QStringList { "", "", "", "Portugal", "PT" } << "" << 1
                                                 << "UTF8:|||Portugal|PRT / |||Portugal|PT";
    // IIM holds 32 bytes of a city: cut before the two bytes of an "ö".
    const QString longName = QString(31, 'x') + "ö";
    QTest::newRow("a long city cut in IPTC only") << "a.jpg" << QStringList { longName, "", "", "", "" } << "" << 1
                                                  << "UTF8:" + QString(31, 'x') + "|||| / " + longName + "||||";
    QTest::newRow("a city by hand kept") << "a.jpg" << saoPaulo << "-IPTC:City=Home" << 1 << ":Home|||| / ||||";
    QTest::newRow("a city by hand replaced") << "a.jpg" << saoPaulo << "-IPTC:City=Home" << 2 << saoPauloTags;
    QTest::newRow("a city by hand in a sidecar kept") << "a.NEF" << saoPaulo << "-XMP-photoshop:City=Home" << 1
                                                      << ":|||| / Home||||";
    QTest::newRow("Photoshop's IPTC digest kept current") << "a.jpg" << saoPaulo << "-IPTC:Keywords=x -IPTCDigest=new"
                                                          << 1 << saoPauloTags;
    // An EXIF segment 0xDA80 bytes long, whose length starts with the byte
    // of the start of scan, before the digest.
    QTest::newRow("digest after 55 KB of EXIF")
        << "a.jpg" << saoPaulo << "-IPTC:Keywords=x -IPTCDigest=new -EXIF:ImageDescription=" + QString(55790, 'x') << 1
        << saoPauloTags;
    QTest::newRow("place names off") << "a.jpg" << saoPaulo << "" << 0 << ":|||| / ||||";
}

void TestPlaceTags::written()
{
    QFETCH(QString, name);
    QFETCH(QStringList, place);
    QFETCH(QString, hand);
    QFETCH(int, options);
    const QString folder = m_folder.path() + '/' + QTest::currentDataTag() + '/';
    QVERIFY(QDir().mkpath(folder));
    const QString photo = folder + name;
    const bool raw = name.endsWith("NEF");
    const auto image = testsupport::texturedImage(48, 32);
    QVERIFY(raw || name.endsWith("tif") ? testsupport::writeTiff(photo, image, testsupport::cameraTags())
                                         : testsupport::writePhoto(photo, image, testsupport::cameraTags()));
    const QString tagged = raw ? folder + "a.xmp" : photo;
    if (!hand.isEmpty())
        QVERIFY(!exiftool(QStringList { "-overwrite_original", "-charset", "iptc=UTF8", tagged } + hand.split(' '))
                     .isEmpty());
    const QSet<QString> warnings = warningsOf(tagged);

    controller::ExifInfo exif;
    exif.setRawSidecars(raw);
    exif.setPlaceNames(options > 0, options > 1);
    model::PhotoGeotag result;
    result.latitude = 1.5;
    result.longitude = 2.5;
    result.place = { place[0], place[1], place[2], place[3], place[4], 1200 };
    QVERIFY(exif.write(photo, false, &result));
    QCOMPARE(result.sidecarPath, raw ? tagged : QString());
    QTEST(placeOf(tagged), "expected");
    QCOMPARE(warningsOf(tagged) - warnings, QSet<QString>());
}

QTEST_GUILESS_MAIN(TestPlaceTags)

#include "tst_placetags.moc"
