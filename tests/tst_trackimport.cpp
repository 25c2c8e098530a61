// Track files of every kind read into positions, the time zone of a position,
// and the import endpoint of the service on a loopback port. The GPX, KML,
// NMEA and CSV files come from gpsbabel, converting a track made here.

#include <QProcess>

#include "service/text.h"
#include "service/trackimport.h"
#include "service/tzlookup.h"
#include "support/files.h"
#include "support/realservice.h"

using nlohmann::json;

namespace {

const int64_t now = *service::parseIsoTime("2026-07-14T10:00:00Z");

// 40 points every 10 s from 2026-05-03 07:12 UTC in Zagreb, and one without a time.
QByteArray generatedGpx()
{
    QByteArray gpx = "<?xml version=\"1.0\"?>\n<gpx version=\"1.1\" creator=\"test\" "
                     "xmlns=\"http://www.topografix.com/GPX/1/1\">\n<trk><name>walk</name><trkseg>\n";
    for (int i = 0; i < 40; ++i) {
        const QDateTime t = QDateTime(QDate(2026, 5, 3), QTime(7, 12), Qt::UTC).addSecs(10 * i);
        gpx += QString("<trkpt lat=\"%1\" lon=\"%2\"><ele>%3</ele><time>%4</time><fix>3d</fix><sat>8</sat>"
                       "<hdop>1.5</hdop></trkpt>\n")
                   .arg(45.815 + i * 0.0001, 0, 'f', 6).arg(15.98 + i * 0.0002, 0, 'f', 6).arg(120 + i)
                   .arg(t.toString(Qt::ISODate))
                   .toUtf8();
    }
    gpx += "<trkpt lat=\"45.9\" lon=\"16.0\"><ele>100</ele></trkpt>\n</trkseg></trk>\n</gpx>\n";
    return gpx;
}

// A zip archive holding the files in this order, deflated by zip.
QByteArray kmz(const QList<QPair<QString, QByteArray>>& files)
{
    QTemporaryDir dir;
    QStringList names;
    for (const auto& [name, content] : files) {
        if (!QDir(dir.path()).mkpath(QFileInfo(name).path()) || !testsupport::writeFile(dir.filePath(name), content))
            return QByteArray();
        names << name;
    }
    QProcess zip;
    zip.setWorkingDirectory(dir.path());
    zip.start("zip", QStringList { "-q", "-9", "track.kmz" } + names);
    return zip.waitForFinished(30000) && zip.exitCode() == 0 ? testsupport::readFile(dir.filePath("track.kmz")) : QByteArray();
}

// The archive made by `converter`: "zip" holds `kml` as doc.kml; "zip, wrong
// checksum" the same with the checksum of doc.kml changed, "zip, directory of
// 16 MB" with the directory's size grown by 16 MB; "zip, more files" a photo
// and another KML document beside doc.kml.
QByteArray kmzOf(const QString& converter, const QByteArray& kml)
{
    if (converter == "zip, more files")
        return kmz({ { "other.kml", "<kml/>" }, { "files/photo.jpg", "\xFF\xD8" }, { "doc.kml", kml } });
    QByteArray archive = kmz({ { "doc.kml", kml } });
    if (converter == "zip, wrong checksum")
        for (const auto& [header, at] : { std::make_pair("PK\x03\x04", 14), std::make_pair("PK\x01\x02", 16) })
            archive[archive.indexOf(header) + at] = char(archive[archive.indexOf(header) + at] ^ 1);
    if (converter == "zip, directory of 16 MB")
        archive[archive.indexOf("PK\x05\x06") + 15] = 1;
    if (converter == "zip64, directory of 16 MB") {
        // A zip64 end record and its locator before the end record; the
        // zip64 record's directory size counts.
        const auto le = [](uint64_t value, int length) {
            QByteArray bytes;
            for (int i = 0; i < length; ++i)
                bytes += char(value >> (8 * i) & 0xFF);
            return bytes;
        };
        const int end = archive.indexOf("PK\x05\x06");
        const QByteArray directoryAt = archive.mid(end + 16, 4);
        const QByteArray record = QByteArray("PK\x06\x06") + le(44, 8) + le(45, 2) + le(45, 2) + le(0, 8) + le(1, 8)
            + le(1, 8) + le(17 << 20, 8) + directoryAt + le(0, 4);
        archive.insert(end, record + QByteArray("PK\x06\x07") + le(0, 4) + le(uint64_t(end), 8) + le(1, 4));
    }
    return archive;
}

QByteArray gpsbabel(const QByteArray& gpx, const QString& format)
{
    QProcess process;
    process.start("gpsbabel", { "-t", "-i", "gpx", "-f", "-", "-o", format, "-F", "-" });
    process.write(gpx);
    process.closeWriteChannel();
    return process.waitForFinished(30000) && process.exitCode() == 0 ? process.readAllStandardOutput() : QByteArray();
}

} // namespace

class TestTrackImport : public QObject {
    Q_OBJECT

private slots:
    void zones_data()
    {
        QTest::addColumn<double>("latitude");
        QTest::addColumn<double>("longitude");
        QTest::addColumn<QString>("zone");
        QTest::addColumn<QString>("january"); // offsets on 15 January and 15 July 2026
        QTest::addColumn<QString>("july");
        QTest::newRow("Lisbon") << 38.72 << -9.14 << "Europe/Lisbon" << "+00:00" << "+01:00";
        QTest::newRow("Badajoz") << 38.88 << -6.97 << "Europe/Madrid" << "+01:00" << "+02:00";
        QTest::newRow("Detroit") << 42.35 << -83.1 << "America/Detroit" << "-05:00" << "-04:00";
        QTest::newRow("Chicago") << 41.88 << -87.63 << "America/Chicago" << "-06:00" << "-05:00";
        QTest::newRow("Phoenix") << 33.45 << -112.07 << "America/Phoenix" << "-07:00" << "-07:00";
        QTest::newRow("Sydney") << -33.87 << 151.21 << "Australia/Sydney" << "+11:00" << "+10:00";
        QTest::newRow("Brisbane") << -27.47 << 153.03 << "Australia/Brisbane" << "+10:00" << "+10:00";
        QTest::newRow("Atlantic") << 30.0 << -40.0 << "Etc/GMT+3" << "-03:00" << "-03:00";
        QTest::newRow("South Atlantic") << -20.0 << 5.0 << "Etc/GMT" << "+00:00" << "+00:00";
        QTest::newRow("Indian Ocean") << -40.0 << 100.0 << "Etc/GMT-7" << "+07:00" << "+07:00";
        QTest::newRow("North Pole") << 90.0 << 10.0 << "Etc/GMT-1" << "+01:00" << "+01:00";
        QTest::newRow("date line, west") << 0.0 << -180.0 << "Etc/GMT+12" << "-12:00" << "-12:00";
        QTest::newRow("nonsense") << 91.0 << 0.0 << "UTC" << "+00:00" << "+00:00";
        QTest::newRow("no latitude") << qQNaN() << 0.0 << "UTC" << "+00:00" << "+00:00";
    }
    void zones()
    {
        QFETCH(double, latitude);
        QFETCH(double, longitude);
        QFETCH(QString, zone);
        const std::string found = service::zoneAt(latitude, longitude);
        QCOMPARE(QString::fromStdString(found), zone);
        QTEST(QString::fromStdString(service::zoneMoment(found, 1768478400000LL).offsetText), "january");
        QTEST(QString::fromStdString(service::zoneMoment(found, 1784116800000LL).offsetText), "july");
        // A fix that carries a zone keeps it; one without gets that of its position.
        service::Fix fix { 0, latitude, longitude, 0, 0, "" };
        QCOMPARE(QString::fromStdString(service::zoneOf(fix)), zone);
        fix.zoneId = "Asia/Tokyo";
        QCOMPARE(service::zoneOf(fix), std::string("Asia/Tokyo"));
    }

    // Every time the parsers can give, and any other, has a text; the import
    // summary shows it in Berlin.
    void timeTexts_data()
    {
        QTest::addColumn<QString>("time"); // ms, or a text for parseTrackTime
        QTest::addColumn<QString>("iso");
        QTest::addColumn<QString>("duration");
        QTest::addColumn<QString>("berlin"); // zoneMoment's local time and offset
        QTest::addColumn<QString>("summary"); // the short local time of the import summary
        QTest::newRow("INT64_MIN") << "-9223372036854775808" << "-292275055-05-16T16:47:04.192Z"
            << "106751991167 days 7 h" << "-292275055-05-16 17:47:04 +01:00" << "16 May 17:47";
        QTest::newRow("-1") << "-1" << "1969-12-31T23:59:59.999Z" << "0 s" << "1970-01-01 00:59:59 +01:00" << "1 Jan 00:59";
        QTest::newRow("0") << "0" << "1970-01-01T00:00:00.000Z" << "0 s" << "1970-01-01 01:00:00 +01:00" << "1 Jan 01:00";
        QTest::newRow("1979") << "1979-12-31T23:59:59Z" << "1979-12-31T23:59:59.000Z"
            << "3651 days 23 h" << "1980-01-01 00:59:59 +01:00" << "1 Jan 00:59";
        QTest::newRow("last of 9999") << "253402300799999" << "9999-12-31T23:59:59.999Z"
            << "2932896 days 23 h" << "+10000-01-01 00:59:59 +01:00" << "1 Jan 00:59";
        QTest::newRow("first of 10000") << "253402300800000" << "+10000-01-01T00:00:00.000Z"
            << "2932897 days" << "+10000-01-01 01:00:00 +01:00" << "1 Jan 01:00";
        QTest::newRow("10000 in Berlin") << "9999-12-31T23:30:00Z" << "9999-12-31T23:30:00.000Z"
            << "2932896 days 23 h" << "+10000-01-01 00:30:00 +01:00" << "1 Jan 00:30";
        QTest::newRow("parsed beyond 9999") << "9999-12-31T23:59:59.999-23:59" << "+10000-01-01T23:58:59.999Z"
            << "2932897 days 23 h" << "+10000-01-02 00:58:59 +01:00" << "2 Jan 00:58";
        QTest::newRow("largest track time") << "10000000000000000" << "+318857-05-20T17:46:40.000Z"
            << "115740740 days 17 h" << "+318857-05-20 18:46:40 +01:00" << "20 May 18:46";
        QTest::newRow("INT64_MAX") << "9223372036854775807" << "+292278994-08-17T07:12:55.807Z"
            << "106751991167 days 7 h" << "+292278994-08-17 07:12:55 +01:00" << "17 Aug 07:12";
    }
    void timeTexts()
    {
        QFETCH(QString, time);
        bool number = false;
        const int64_t ms = time.toLongLong(&number);
        const auto parsed = number ? std::optional<int64_t>(ms) : service::parseTrackTime(time.toStdString());
        QVERIFY(parsed);
        QTEST(QString::fromStdString(service::formatIsoTime(*parsed)), "iso");
        QTEST(QString::fromStdString(service::durationText(*parsed)), "duration");
        const service::ZoneMoment berlin = service::zoneMoment("Europe/Berlin", *parsed);
        QTEST(QString::fromStdString(berlin.localTime + " " + berlin.offsetText), "berlin");
        service::TrackImport imported;
        imported.imported = 1;
        imported.first = imported.last = *parsed;
        imported.firstZone = imported.lastZone = "Europe/Berlin";
        QFETCH(QString, summary);
        QCOMPARE(QString::fromStdString(service::importSummary(imported)),
                 "Imported 1 position from " + summary + " to " + summary + " (Europe/Berlin).");
        QCOMPARE(service::groupedNumber(std::numeric_limits<int64_t>::min()), std::string("-9,223,372,036,854,775,808"));
    }

    // Points left out for several reasons: how many for each, and where the first was.
    void summaryOfSkips()
    {
        service::TrackImport nothing;
        nothing.reading.skipped = { { "no time", 2 }, { "a wrong checksum", 1 } };
        nothing.reading.firstSkip = "line 3: no time";
        QCOMPARE(service::importSummary(nothing), std::string("No position could be imported; 3 points skipped: "
                                                              "1 a wrong checksum, 2 no time (first at line 3: no time)."));
    }

    void formats_data()
    {
        QTest::addColumn<QString>("converter"); // gpsbabel's output format, a way to zip the content (kmzOf), or empty
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("format");
        QTest::addColumn<int>("points");
        QTest::addColumn<QString>("skipped"); // the first one skipped, and why
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("first");
        const QString zagreb = "2026-05-03T07:12:00.000Z 45.815000 15.980000 120 ";
        const QString hdop = zagreb + "7.5 Europe/Belgrade", placemark = zagreb + "10 Europe/Belgrade"; // accuracy by hdop; without one
        const QString still = "2026-05-03T07:12:00.000Z 45.815000 15.980000 0 10 Europe/Belgrade"; // no altitude nor accuracy
        const QByteArray gpx = generatedGpx();
        QTest::newRow("GPX 1.1") << "" << gpx << "GPX" << 40 << "line 44 (trkpt): no time" << "" << hdop;
        QTest::newRow("GPX 1.0") << "gpx,gpxver=1.0" << gpx << "GPX" << 40 << "line 288 (trkpt): no time" << "" << hdop;
        QTest::newRow("KML") << "kml" << gpx << "KML" << 40 << "line 1141 (Placemark): no time" << "" << placemark;
        QTest::newRow("KML gx:Track") << "kml,track=1,points=0" << gpx << "KML" << 40 << "line 201 (gx:coord): no time" << ""
                                      << placemark;
        QTest::newRow("NMEA") << "nmea" << gpx << "NMEA" << 40 << "line 121: no valid fix" << "" << hdop;
        QTest::newRow("CSV") << "unicsv" << gpx << "CSV" << 40 << "line 42: no time" << "" << hdop;
        QTest::newRow("KMZ") << "kmz" << gpx << "KMZ" << 40 << "line 1141 (Placemark): no time" << "" << placemark;
        QTest::newRow("GeoJSON") << "" << QByteArray(R"({"type":"FeatureCollection","features":[
{"type":"Feature","geometry":{"type":"LineString","coordinates":[[15.98,45.815,120],[15.981,45.816,121]]},
 "properties":{"coordTimes":["2026-05-03T07:12:00Z","2026-05-03T07:12:10Z"],"accuracy":[6]}},
{"type":"Feature","geometry":{"type":"Point","coordinates":[15.99,45.82]},"properties":{"name":"untimed"}}]})")
                                 << "GeoJSON" << 2 << "point 3: no time" << "" << zagreb + "6 Europe/Belgrade";
        QTest::newRow("GeoJSON accuracies of the other kind") << "" << QByteArray(R"({"type":"FeatureCollection","features":[
{"type":"Feature","geometry":{"type":"Polygon","coordinates":[[[15,45],[16,45],[16,46],[15,45]]]}},
{"type":"Feature","geometry":{"type":"Point","coordinates":[15.98,45.815,120]},"properties":{"time":"2026-05-03T07:12:00Z","accuracy":[3]}},
{"type":"Feature","geometry":{"type":"LineString","coordinates":[[15.98,45.815,120]]},
 "properties":{"coordTimes":["2026-05-03T07:13:00Z"],"accuracy":7}}]})")
                                 << "GeoJSON" << 2 << "" << "" << placemark;
        QTest::newRow("Records.json")
            << "" << QByteArray(R"({"locations":[{"latitudeE7":458150000,"longitudeE7":159800000,"altitude":120,
"accuracy":12,"timestamp":"2026-05-03T07:12:00.000Z"},{"latitudeE7":458160000,"longitudeE7":159810000,
"timestampMs":"1777792330000"},{"latitudeE7":900000000,"longitudeE7":0},{"latitudeE7":458150000,
"longitudeE7":159800000,"accuracy":1500,"timestamp":"2026-05-03T07:13:00Z"}]})")
            << "Google location history" << 2 << "point 3: no time" << "" << zagreb + "12 Europe/Belgrade";
        QTest::newRow("Timeline.json") << "" << QByteArray(u8R"({"semanticSegments":[{"startTime":"2026-05-03T09:00:00.000+02:00",
"endTime":"2026-05-03T10:00:00.000+02:00","timelinePath":[{"point":"45.8150°, 15.9800°",
"time":"2026-05-03T09:12:00.000+02:00"}]}],"rawSignals":[{"position":{"LatLng":"45.8160°, 15.9810°",
"accuracyMeters":5,"altitudeMeters":130.0,"timestamp":"2026-05-03T09:12:30.000+02:00"}}]})")
            << "Google location history" << 2 << "" << "" << still;
        QTest::newRow("on-device export")
            << "" << QByteArray(R"([{"startTime":"2026-05-03T09:00:00.000+02:00","endTime":"2026-05-03T10:00:00.000+02:00",
"timelinePath":[{"point":"geo:45.815,15.98","durationMinutesOffsetFromStartTime":"12"},{"point":"geo:x"}]}])")
            << "Google location history" << 1 << "point 2: coordinates that cannot be read" << "" << still;
        QTest::newRow("CSV ; Unix seconds")
            << "" << QByteArray("\xEF\xBB\xBFTimestamp;Lat;Lng;Accuracy\n1777792320;45.815;15.98;7\n1777792330;95;15.98;7\n")
            << "CSV" << 1 << "line 3: latitude outside -90 to 90" << ""
            << "2026-05-03T07:12:00.000Z 45.815000 15.980000 0 7 Europe/Belgrade";
        QTest::newRow("NMEA bad checksum")
            << "" << QByteArray("$GPRMC,071200.000,A,4548.900,N,01558.800,E,0.00,0.00,030526,,*00\n"
                                "$GPRMC,071210.000,A,4548.900,N,01558.800,E,0.00,0.00,030526,,*06\n")
            << "NMEA" << 1 << "line 2: a wrong checksum" << "" << still;
        // A second before the first date is left out; later ones take the last date.
        QTest::newRow("NMEA fix before a date")
            << "" << QByteArray("$GPGGA,071150.000,4548.900,N,01558.800,E,1,08,1.0,120.0,M,0.0,M,,*61\n"
                                "$GPRMC,071200.000,A,4548.900,N,01558.800,E,0.00,0.00,030526,,*00\n"
                                "$GPGGA,071210.000,4548.900,N,01558.800,E,1,08,1.0,120.0,M,0.0,M,,*66\n")
            << "NMEA" << 2 << "line 1: no date" << "" << still;
        QTest::newRow("GPX cut short") << "" << gpx.left(gpx.indexOf("<trkpt", 700)) + "<trkpt lat=" << "GPX" << 5 << ""
                                       << "The file breaks off at line 9: Premature end of document." << hdop;
        QTest::newRow("GPX hdop 0") << "" << QByteArray("<gpx><trkpt lat='45.815' lon='15.98'><time>2026-05-03T07:12:00Z"
                                                        "</time><hdop>0</hdop></trkpt></gpx>") << "GPX" << 1 << "" << "" << still;
        // The header names latitude, longitude and a time, each in any column.
        QTest::newRow("CSV date and time of day") << "" << QByteArray("lat,lon,date,time\n45.815,15.98,2026-05-03,07:12:00\n")
                                                  << "CSV" << 1 << "" << "" << still;
        QTest::newRow("CSV longitude first") << "" << QByteArray("lon,lat,date\n15.98,45.815,2026-05-03T07:12:00Z\n") << "CSV"
                                             << 1 << "" << "" << still;
        // Files refused as a whole: no point read.
        const auto refused = [](const char* name, const QByteArray& content, const char* format, const QString& error) {
            QTest::newRow(name) << "" << content << format << 0 << "" << error << "";
        };
        refused("CSV without longitude", "time,lat\n2026-05-03T07:12:00Z,45.815\n", "",
                "This is not a track file: its first line is not a header");
        refused("HTML", "<html><body/></html>", "", "This XML file is neither GPX nor KML (its root element is <html>).");
        refused("JSON", "{\"hello\": [1, 2", "JSON", "The file breaks off: parse error at line 1, column 16");

        // Every text, tag, line, string and number a reader holds is at most
        // 64 KB long, and so is what nests; a file with more is refused.
        const QByteArray blanks(100 * 1024, ' '), timed = "<time>2026-05-03T07:12:00Z</time>";
        const QByteArray point = "<gpx><trkpt lat='45.815' lon='15.98'", end = "</trkpt></gpx>";
        const QByteArray kml = "<kml><Placemark>\n<TimeStamp><when>2026-05-03T07:12:00Z</when></TimeStamp>"
                               "<Point><coordinates>15.98,45.815</coordinates></Point></Placemark></kml>";
        const QString text = "The file holds a text longer than 64 KB at line ";
        refused("GPX blanks in time", point + ">\n<time>" + blanks + timed.mid(6) + end, "GPX", text + "2.");
        refused("KML blanks in name", QByteArray(kml).replace("<TimeStamp>", "<name>" + blanks + "x</name><TimeStamp>"), "KML",
                text + "2.");
        refused("GPX attribute", point + " name='" + blanks + "'>" + timed + end, "GPX",
                "The file holds a tag longer than 64 KB at line 1.");
        refused("GPX time between comments",
                point + "><time>" + blanks.left(40000) + "<!---->" + blanks.left(40000) + timed.mid(6) + end, "GPX", text + "1.");
        refused("XML nested 300 deep", "<gpx>" + QByteArray("<a>").repeated(300) + QByteArray("</a>").repeated(300) + "</gpx>",
                "GPX", "The file holds elements nested more than 256 deep at line 1.");
        // The end of a comment is seen: what follows it is held to the same bounds.
        refused("XML nested 300 deep after a comment",
                "<gpx><!-- a - -> b -->" + QByteArray("<a>").repeated(300) + QByteArray("</a>").repeated(300) + "</gpx>", "GPX",
                "The file holds elements nested more than 256 deep at line 1.");
        refused("XML entities", "<!DOCTYPE gpx [<!ENTITY a 'aaaa'>]><gpx>&a;</gpx>", "",
                "The file declares entities or other definitions of its own at line 1; track files never do.");
        refused("XML in UTF-16", QByteArray("<\0g\0p\0x\0/\0>\0", 12), "",
                "The file is not XML in UTF-8 or in an encoding of one byte per character (it holds a zero byte at line 1).");
        refused("XML in ISO-2022-JP", "<?xml version='1.0' encoding='ISO-2022-JP'?><gpx/>", "",
                "The file is written in the text encoding \"iso-2022-jp\"; Kestrel reads XML in UTF-8 or in an encoding of one "
                "byte per character.");
        QTest::newRow("KMZ blanks in when") << "zip" << QByteArray(kml).replace("<when>", "<when>" + blanks) << "KMZ" << 0 << ""
                                            << text + "2." << "";
        QTest::newRow("KMZ wrong checksum") << "zip, wrong checksum" << kml << "KMZ" << 0 << ""
            << "The KML document in this KMZ archive is damaged: its checksum does not match its content." << "";
        QTest::newRow("KMZ directory of 16 MB") << "zip, directory of 16 MB" << kml << "KMZ" << 0 << ""
                                                << "The directory of this KMZ archive is larger than 16 MB." << "";
        QTest::newRow("KMZ zip64, directory of 16 MB") << "zip64, directory of 16 MB" << kml << "KMZ" << 0 << ""
                                                       << "The directory of this KMZ archive is larger than 16 MB." << "";
        QTest::newRow("KMZ more files") << "zip, more files" << kml << "KMZ" << 1 << "" << "" << still;
        QTest::newRow("CSV line over 64 KB")
            << "" << "time,lat,lon\n1777792320,45.815,15.98\n1777792330,45.815,15.98," + blanks + "\n" << "CSV" << 1 << ""
            << "The file holds a line longer than 64 KB at line 3." << still;
        refused("NMEA line over 64 KB", "$GPRMC" + QByteArray(100 * 1024, ',') + "\n", "NMEA",
                "The file holds a line longer than 64 KB at line 1.");
        refused("JSON 100 KB string", "{\"type\":\"Feature\",\n\"properties\":{\"name\":\"" + blanks + "\"}}", "JSON", text + "2.");
        refused("JSON 100 KB number", "[1" + QByteArray(100 * 1024, '0') + "]", "JSON",
                "The file holds a value longer than 64 KB at line 1.");
        refused("JSON nested 10,000 deep", QByteArray(10000, '[') + QByteArray(10000, ']'), "JSON",
                "The file holds JSON nested more than 64 deep at line 1.");
    }
    void formats()
    {
        QFETCH(QString, converter);
        QFETCH(QByteArray, content);
        if (!converter.isEmpty()) {
            if (QStandardPaths::findExecutable("gpsbabel").isEmpty() || QStandardPaths::findExecutable("zip").isEmpty())
                QSKIP("gpsbabel or zip is not installed");
            content = converter == "kmz"        ? kmz({ { "doc.kml", gpsbabel(content, "kml") } })
                : converter.startsWith("zip") ? kmzOf(converter, content)
                                              : gpsbabel(content, converter);
            QVERIFY(!content.isEmpty());
        }
        QTemporaryDir dir;
        const QString path = dir.filePath("track.any");
        QVERIFY(testsupport::writeFile(path, content));
        std::vector<service::Fix> fixes;
        int64_t lastDone = -1;
        service::TrackReading reading;
        std::string readError;
        const bool read = service::readTrack(
            path.toStdString(), "", now, [&](const service::Fix& f) { fixes.push_back(f); return true; },
            [&](int64_t done, int64_t total) { lastDone = done == total ? done : -2; }, reading, &readError);
        QTEST(QString::fromStdString(reading.format), "format");
        QTEST(int(reading.points), "points");
        QCOMPARE(int(fixes.size()), int(reading.points));
        QTEST(QString::fromStdString(reading.firstSkip), "skipped");
        QFETCH(QString, error);
        QVERIFY2(QString::fromStdString(readError).startsWith(error), readError.substr(0, 300).c_str());
        QCOMPARE(read, error.isEmpty());
        QTEST(fixes.empty() ? QString() : testsupport::describe(fixes.front()), "first");
        if (read)
            QCOMPARE(lastDone, int64_t(content.size()));
    }

    // The phone's GPX upload is read strictly: the first point that cannot be
    // read makes the whole text unusable, and the accuracy has no limit.
    void uploadedGpx_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("error");
        QTest::addColumn<int>("skipped");
        QTest::addColumn<QString>("fixes");
        const QByteArray at8 = "<time>2026-07-14T08:00:00Z</time>";
        QTest::newRow("hdop 300 and 0, untimed points")
            << "<gpx><trkpt lat=\"46.5\" lon=\"7.5\"><ele>1200.5</ele>" + at8 + "<hdop>300</hdop></trkpt>"
                   "<trkpt lat=\"46.6\" lon=\"7.6\">" + at8 + "<hdop>0</hdop></trkpt><trkpt lat=\"1\" lon=\"2\"/>"
                   "<wpt lat=\"nan\" lon=\"7\"/></gpx>" << "" << 2
            << "2026-07-14T08:00:00.000Z 46.500000 7.500000 1200.5 1500 Europe/Zurich; "
               "2026-07-14T08:00:00.000Z 46.600000 7.600000 0 0 Europe/Zurich";
        QTest::newRow("gpx inside another root") << "<doc><gpx><rtept lat=\"1\" lon=\"2\">" + at8 + "</rtept></gpx></doc>"
                                                 << "" << 0 << "2026-07-14T08:00:00.000Z 1.000000 2.000000 0 10 Europe/Zurich";
        QTest::newRow("no gpx element") << "<doc><trkpt lat=\"1\" lon=\"2\">" + at8 + "</trkpt></doc>"
                                        << "The file is not a GPX file." << 0 << "";
        QTest::newRow("latitude nan") << "<gpx><trkpt lat=\"nan\" lon=\"7\">" + at8 + "</trkpt></gpx>"
                                      << "Line 1: a point with latitude outside -90 to 90." << 0 << "";
        for (const char* longitude : { "180.5", "-181", "nan" })
            QTest::newRow(qPrintable(QString("longitude ") + longitude))
                << "<gpx><trkpt lat=\"1\" lon=\"" + QByteArray(longitude) + "\">" + at8 + "</trkpt></gpx>"
                << "Line 1: a point with longitude outside -180 to 180." << 0 << "";
        QTest::newRow("longitudes -180 and 180")
            << "<gpx><trkpt lat=\"1\" lon=\"-180\">" + at8 + "</trkpt><trkpt lat=\"1\" lon=\"180\">" + at8 + "</trkpt></gpx>"
            << "" << 0 << "2026-07-14T08:00:00.000Z 1.000000 -180.000000 0 10 Europe/Zurich; "
                          "2026-07-14T08:00:00.000Z 1.000000 180.000000 0 10 Europe/Zurich";
        QTest::newRow("latitude in hex") << "<gpx><trkpt lat=\"0x10\" lon=\"7\">" + at8 + "</trkpt></gpx>"
                                         << "Line 1: a point without a valid lat and lon." << 0 << "";
        QTest::newRow("negative hdop") << "<gpx><trkpt lat=\"1\" lon=\"2\">" + at8 + "<hdop>-1</hdop></trkpt></gpx>"
                                       << "Line 1: a point with accuracy outside 0 to 10000000 m." << 0 << "";
        QTest::newRow("elevation") << QByteArray("<gpx>\n<trkpt lat='1' lon='2'>\n<ele>\nx\n</ele></trkpt></gpx>")
                                   << "Line 5: an elevation that is not a number." << 0 << "";
        QTest::newRow("time without zone")
            << QByteArray("<gpx><trkpt lat='1' lon='2'><time> 2026-07-14T08:00:00 and more words than forty </time></trkpt></gpx>")
            << "Line 1: the time \"2026-07-14T08:00:00 and more words than \" is not an ISO 8601 time with a zone." << 0 << "";
        QTest::newRow("Unix time") << QByteArray("<gpx><trkpt lat='1' lon='2'><time>1777792320</time></trkpt></gpx>")
                                   << "Line 1: the time \"1777792320\" is not an ISO 8601 time with a zone." << 0 << "";
        QTest::newRow("year 1900") << QByteArray("<gpx><trkpt lat='1' lon='2'><time>1900-01-01T00:00:00Z</time></trkpt></gpx>")
                                   << "Line 1: a point with time before 1980-01-06 (the GPS epoch)." << 0 << "";
        QTest::newRow("cut short") << "<gpx><trkpt lat='1' lon='2'>" + at8 + "</trkpt>"
                                   << "Line 1: Premature end of document." << 0 << "";
    }
    void uploadedGpx()
    {
        QFETCH(QByteArray, text);
        QStringList fixes;
        service::TrackReading reading;
        std::string error;
        const bool read = service::readGpxText(
            text.toStdString(), "Europe/Zurich", now,
            [&](const service::Fix& fix) { fixes << testsupport::describe(fix); return true; }, reading, &error);
        QTEST(QString::fromStdString(error), "error");
        QCOMPARE(read, error.empty());
        if (read) {
            QTEST(int(reading.skippedCount()), "skipped");
            QTEST(fixes.join("; "), "fixes");
        }
    }

    // A file name header and a tracker's form are percent-encoded: each %
    // with two hex digits is one byte, anything else stays as it is.
    void percentDecoding_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("plusIsSpace");
        QTest::addColumn<QByteArray>("decoded");
        QTest::newRow("UTF-8") << QByteArray("Br%C3%bccke.gpx") << false << QByteArray("Br\xC3\xBC" "cke.gpx");
        QTest::newRow("digits 0") << QByteArray("a%0Ab%00c%09") << false << QByteArray("a\nb\0c\t", 6);
        QTest::newRow("not two hex digits") << QByteArray("%zz%4g%g4%4") << false << QByteArray("%zz%4g%g4%4");
        QTest::newRow("plus for a space") << QByteArray("a+b%2B") << true << QByteArray("a b+");
        QTest::newRow("plus kept") << QByteArray("a+b") << false << QByteArray("a+b");
    }
    void percentDecoding()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, plusIsSpace);
        QTEST(QByteArray::fromStdString(service::percentDecoded(text.toStdString(), plusIsSpace)), "decoded");
    }

    void importEndpoint()
    {
        testsupport::RealService running;
        service::Store& store = running.store;
        auto put = [&](const std::string& user, const QByteArray& body) {
            const httplib::Headers headers { { "Kestrel-User-ID", user }, { "Kestrel-File-Name", "Br%C3%bccke%zz.gpx" } };
            const auto result = running.client->Put("/importTrack", headers, body.toStdString(), "application/octet-stream");
            return result ? std::make_pair(result->status, json::parse(result->body, nullptr, false))
                          : std::make_pair(0, json());
        };
        // A person without a user gets one with the positions.
        auto [status, answer] = put("", generatedGpx());
        QCOMPARE(status, 200);
        QCOMPARE(answer["body"], json("Imported 40 positions from 3 May 09:12 to 3 May 09:18 (Europe/Belgrade); "
                                      "1 point skipped: no time (first at line 44 (trkpt))."));
        QCOMPARE(json({ answer["first"], answer["last"], answer["timeZoneId"], answer["skipped"] }),
                 json({ "2026-05-03 07:12:00 UTC", "2026-05-03 07:18:30 UTC", "Europe/Belgrade", 1 }));
        const std::string userId = answer["userID"];
        const auto user = store.userById(userId);
        QVERIFY(user);
        QCOMPARE(store.fixCount(user->id).value_or(-1), int64_t(40));
        const auto stored = store.fixAtOrAfter(user->id, 0);
        QCOMPARE(testsupport::describe(*stored), QString("2026-05-03T07:12:00.000Z 45.815000 15.980000 120 7.5 Europe/Belgrade"));

        // The same file again adds nothing; part of it in another format neither.
        std::tie(status, answer) = put(userId, generatedGpx());
        QCOMPARE(status, 200);
        QCOMPARE(answer["imported"], json(0));
        QCOMPARE(answer["body"], json("No new positions: all 40 positions from 3 May 09:12 to 3 May 09:18 "
                                      "(Europe/Belgrade) were already stored; 1 point skipped: no time (first at line 44 (trkpt))."));
        QCOMPARE(store.fixCount(user->id).value_or(-1), int64_t(40));

        // A file larger than one batch of the store is imported whole.
        QByteArray many = "time,lat,lon\n";
        for (int i = 0; i < 20001; ++i)
            many += QByteArray::number(1777792320 + 3600 + i) + ",45.815,15.98\n";
        std::tie(status, answer) = put(userId, many);
        QCOMPARE(answer["body"], json("Imported 20,001 positions from 3 May 10:12 to 3 May 15:45 (Europe/Belgrade)."));
        QCOMPARE(store.fixCount(user->id).value_or(-1), int64_t(40 + 20001));

        // Nothing usable, an unknown user, and no user made for a useless file.
        std::tie(status, answer) = put(userId, "<html/>");
        QCOMPARE(status, 202);
        QCOMPARE(answer["body"], json("Brücke%zz.gpx: No position could be imported. This XML file is neither GPX nor KML "
                                      "(its root element is <html>)."));
        QCOMPARE(put("0123456789abcdef0123456789abcdef", generatedGpx()).first, 203);
        // The identifier is compared as sent.
        QCOMPARE(put(userId + "%00junk", generatedGpx()).first, 203);
        QCOMPARE(put(userId + " junk", generatedGpx()).first, 203);
        std::tie(status, answer) = put("", "time,lat,lon\n");
        QCOMPARE(status, 202);
        QCOMPARE(answer["userID"], json(""));
        QCOMPARE(store.userCount().value_or(-1), int64_t(1));

        // A body that stops short of its length is refused as such.
        const int socket = testsupport::rawConnect(running.server->port());
        const std::string cut = "PUT /importTrack HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 1000\r\n\r\ntime,lat,lon\n";
        ::send(socket, cut.data(), cut.size(), MSG_NOSIGNAL);
        ::shutdown(socket, SHUT_WR);
        const std::string reply = testsupport::readToEnd(socket);
        ::close(socket);
        QCOMPARE(reply.substr(0, 13), std::string("HTTP/1.1 400 "));
        QCOMPARE(json::parse(reply.substr(reply.find("\r\n\r\n") + 4), nullptr, false),
                 json({ { "head", "Upload broken off" }, { "body", "The track file did not arrive whole." } }));
    }
};

QTEST_GUILESS_MAIN(TestTrackImport)
#include "tst_trackimport.moc"
