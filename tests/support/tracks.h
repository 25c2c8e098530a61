#pragma once

// Tracks a phone walked, as its fixes and as track files, and what a test
// reads back from a geotagged photo: header-only, as the support library
// does not link the service.

#include <QMap>
#include <QString>

#include "service/timegeo.h"

#include <cmath>

namespace testsupport {

constexpr double pi = 3.14159265358979323846;
constexpr int64_t fixStepMs = 10000;
constexpr int64_t trackLengthMs = 2 * 3600 * 1000LL;

inline int64_t utc(const QString& iso)
{
    return *service::parseIsoTime(iso.toStdString());
}

// Where the phone was: a smooth walk that starts at `start` near (lat0, lon0).
struct Track {
    int64_t start;
    double lat0 = 48.10, lon0 = 11.50; // Munich
    double latitude(int64_t t) const { return lat0 + 0.02 * std::sin(2 * pi * (t - start) / trackLengthMs); }
    double longitude(int64_t t) const { return lon0 + 0.03 * double(t - start) / trackLengthMs; }
    double altitude(int64_t t) const { return 520 + 10 * std::cos(2 * pi * (t - start) / trackLengthMs); }
};

// The track's fixes every 10 s as a GPX, CSV or KML (gx:Track) file.
inline QByteArray trackFile(const Track& track, const QString& format)
{
    QByteArray whens, points;
    for (int64_t t = track.start; t <= track.start + trackLengthMs; t += fixStepMs) {
        const QByteArray time = QByteArray::fromStdString(service::formatIsoTime(t)),
                         lat = QByteArray::number(track.latitude(t), 'f', 7),
                         lon = QByteArray::number(track.longitude(t), 'f', 7), ele = QByteArray::number(track.altitude(t), 'f', 1);
        if (format == "csv")
            points += time + ',' + lat + ',' + lon + ',' + ele + '\n';
        else if (format == "gpx")
            points += "<trkpt lat=\"" + lat + "\" lon=\"" + lon + "\"><ele>" + ele + "</ele><time>" + time + "</time></trkpt>\n";
        else
            whens += "<when>" + time + "</when>\n", points += "<gx:coord>" + lon + ' ' + lat + ' ' + ele + "</gx:coord>\n";
    }
    if (format == "csv")
        return "time,lat,lon,alt\n" + points;
    if (format == "gpx")
        return R"(<?xml version="1.0"?><gpx version="1.1" creator="test" xmlns="http://www.topografix.com/GPX/1/1">)"
               "<trk><trkseg>\n" + points + "</trkseg></trk></gpx>\n";
    return R"(<?xml version="1.0"?><kml xmlns="http://www.opengis.net/kml/2.2" xmlns:gx="http://www.google.com/kml/ext/2.2">)"
           "<Document><Placemark><gx:Track>\n" + whens + points + "</gx:Track></Placemark></Document></kml>\n";
}

// A written coordinate ("Latitude" or "Longitude") in signed degrees; the
// EXIF value is "d/1000000 0/1 0/1" and its reference "N"/"S" or "E"/"W".
inline double coordinate(const QMap<QString, QString>& exif, const QString& which)
{
    const QStringList parts = exif.value("Exif.GPSInfo.GPS" + which).split(QLatin1Char(' '));
    const QStringList fraction = parts.value(0).split(QLatin1Char('/'));
    if (parts.size() != 3 || fraction.size() != 2 || fraction[1].toDouble() == 0)
        return std::nan("");
    const QString ref = exif.value("Exif.GPSInfo.GPS" + which + "Ref");
    return (ref == "S" || ref == "W" ? -1 : 1) * fraction[0].toDouble() / fraction[1].toDouble();
}

// "YYYY-MM-DD HH:MM:SS" as EXIF writes it, "YYYY:MM:DD HH:MM:SS".
inline QString exifTime(const std::string& time)
{
    return QString::fromStdString(time).replace(QLatin1Char('-'), QLatin1Char(':'));
}

} // namespace testsupport
