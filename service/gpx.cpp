#include "service/gpx.h"

#include <QXmlStreamReader>

namespace service {

namespace {

bool toDouble(const QString& text, double& value)
{
    bool ok = false;
    value = text.trimmed().toDouble(&ok);
    return ok;
}

} // namespace

GpxTrack readGpx(const std::string& text, const std::string& zoneId)
{
    GpxTrack track;
    QXmlStreamReader xml(QByteArray::fromStdString(text));
    bool sawGpx = false;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        const QString name = xml.name().toString();
        if (name == QLatin1String("gpx")) {
            sawGpx = true;
            continue;
        }
        if (name != QLatin1String("trkpt") && name != QLatin1String("rtept") && name != QLatin1String("wpt"))
            continue;
        const qint64 line = xml.lineNumber();
        Fix fix;
        fix.zoneId = zoneId;
        fix.accuracy = 10;
        if (!toDouble(xml.attributes().value(QLatin1String("lat")).toString(), fix.latitude)
            || !toDouble(xml.attributes().value(QLatin1String("lon")).toString(), fix.longitude)) {
            track.error = "Line " + std::to_string(line) + ": a point without a valid lat and lon.";
            return track;
        }
        bool timed = false;
        // The children of the point, up to its end tag.
        while (!xml.atEnd()) {
            xml.readNext();
            if (xml.isEndElement() && xml.name() == name)
                break;
            if (!xml.isStartElement())
                continue;
            const QString child = xml.name().toString();
            if (child == QLatin1String("ele")) {
                if (!toDouble(xml.readElementText(QXmlStreamReader::SkipChildElements), fix.altitude)) {
                    track.error = "Line " + std::to_string(xml.lineNumber()) + ": an elevation that is not a number.";
                    return track;
                }
            } else if (child == QLatin1String("time")) {
                const std::string value = xml.readElementText(QXmlStreamReader::SkipChildElements).trimmed().toStdString();
                const auto time = parseIsoTime(value);
                if (!time) {
                    track.error = "Line " + std::to_string(xml.lineNumber()) + ": the time \"" + value.substr(0, 40)
                        + "\" is not an ISO 8601 time with a zone.";
                    return track;
                }
                fix.time = *time;
                timed = true;
            } else if (child == QLatin1String("hdop")) {
                double hdop = 0;
                if (toDouble(xml.readElementText(QXmlStreamReader::SkipChildElements), hdop))
                    fix.accuracy = 5 * hdop;
            }
        }
        if (!timed) {
            ++track.skipped;
            continue;
        }
        if (auto invalid = invalidFix(fix)) {
            track.error = "Line " + std::to_string(line) + ": a point with " + *invalid + ".";
            return track;
        }
        track.fixes.push_back(fix);
    }
    if (xml.hasError()) {
        track.error = "Line " + std::to_string(xml.lineNumber()) + ": " + xml.errorString().toStdString();
        track.fixes.clear();
    } else if (!sawGpx) {
        track.error = "The file is not a GPX file.";
    }
    return track;
}

} // namespace service
