#include "service/tracks/reader.h"

#include "service/text.h"

#include <QXmlStreamReader>

namespace service::tracks {

namespace {

bool isPointElement(const QStringRef& name)
{
    return name == QLatin1String("trkpt") || name == QLatin1String("rtept") || name == QLatin1String("wpt");
}

std::string textOf(QXmlStreamReader& xml)
{
    return elementText(xml).toStdString();
}

// A track, route or way point of a track file; one that cannot be read is
// left out.
struct Point {
    QString name;
    int64_t line = 0;
    Fix fix;
    bool timed = false;
    bool bad = false;

    std::string where() const { return lineText(line) + " (" + name.toStdString() + ")"; }
};

void beginPoint(QXmlStreamReader& xml, Point& point, Collector& out)
{
    point = Point();
    point.name = xml.name().toString();
    point.line = xml.lineNumber();
    point.fix.accuracy = 10;
    if (!toNumber(xml.attributes().value(QLatin1String("lat")).toString().toStdString(), point.fix.latitude)
        || !toNumber(xml.attributes().value(QLatin1String("lon")).toString().toStdString(), point.fix.longitude)) {
        point.bad = true;
        out.skip("no valid lat and lon", point.where());
    }
}

// The point's elevation, time and hdop.
void readPointPart(QXmlStreamReader& xml, Point& point, Collector& out)
{
    const QString name = xml.name().toString();
    const std::string where = lineText(xml.lineNumber()) + " (" + name.toStdString() + ")";
    const bool part = name == QLatin1String("ele") || name == QLatin1String("time") || name == QLatin1String("hdop");
    const std::string text = part ? textOf(xml) : std::string();
    if (xml.hasError())
        return; // the file was cut short or refused there
    if (name == QLatin1String("ele")) {
        if (!toNumber(text, point.fix.altitude)) {
            point.bad = true;
            out.skip("an elevation that is not a number", where);
        }
    } else if (name == QLatin1String("time")) {
        const auto time = parseTrackTime(text);
        if (!time) {
            point.bad = true;
            out.skip("a time that cannot be read", where);
        } else {
            point.fix.time = *time;
            point.timed = true;
        }
    } else if (name == QLatin1String("hdop")) {
        double hdop = 0;
        if (toNumber(text, hdop) && hdop > 0)
            point.fix.accuracy = 5 * hdop;
    }
}

void endPoint(const Point& point, Collector& out)
{
    if (point.bad)
        return;
    if (!point.timed)
        out.skip("no time", point.where());
    else
        out.add(point.fix, point.where());
}

// ---- The phone's uploads: the first point that cannot be read ends the reading.

// A number as the phone's reading always took it (Qt's, which also knows
// "nan" and "inf"; such a point then fails the range check).
bool uploadNumber(const QString& text, double& value)
{
    bool ok = false;
    value = text.trimmed().toDouble(&ok);
    return ok;
}

std::string lineError(int64_t line, const std::string& why)
{
    return "Line " + std::to_string(line) + ": " + why;
}

// The point's elevation, time and hdop, up to its end tag.
bool readUploadPointParts(QXmlStreamReader& xml, const QString& point, Fix& fix, bool& timed, std::string* error)
{
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isEndElement() && xml.name() == point)
            break;
        if (!xml.isStartElement())
            continue;
        const QString name = xml.name().toString();
        if (name == QLatin1String("ele")) {
            if (!uploadNumber(xml.readElementText(QXmlStreamReader::SkipChildElements), fix.altitude))
                return fail(error, lineError(xml.lineNumber(), "an elevation that is not a number."));
        } else if (name == QLatin1String("time")) {
            const std::string value = xml.readElementText(QXmlStreamReader::SkipChildElements).trimmed().toStdString();
            const auto time = parseIsoTime(value);
            if (!time)
                return fail(error, lineError(xml.lineNumber(), "the time \"" + value.substr(0, 40)
                                                                   + "\" is not an ISO 8601 time with a zone."));
            fix.time = *time;
            timed = true;
        } else if (name == QLatin1String("hdop")) {
            double hdop = 0;
            if (uploadNumber(xml.readElementText(QXmlStreamReader::SkipChildElements), hdop))
                fix.accuracy = 5 * hdop;
        }
    }
    return true;
}

bool readUploadPoint(QXmlStreamReader& xml, const std::string& zoneId, Collector& out, std::string* error)
{
    const QString name = xml.name().toString();
    const int64_t line = xml.lineNumber();
    Fix fix;
    fix.zoneId = zoneId;
    fix.accuracy = 10;
    if (!uploadNumber(xml.attributes().value(QLatin1String("lat")).toString(), fix.latitude)
        || !uploadNumber(xml.attributes().value(QLatin1String("lon")).toString(), fix.longitude))
        return fail(error, lineError(line, "a point without a valid lat and lon."));
    bool timed = false;
    if (!readUploadPointParts(xml, name, fix, timed, error))
        return false;
    if (!timed) {
        out.skip("no time", lineText(line) + " (" + name.toStdString() + ")");
        return true;
    }
    std::string invalid;
    if (!validFix(fix, out.now(), &invalid))
        return fail(error, lineError(line, "a point with " + invalid + "."));
    out.hand(fix);
    return true;
}

} // namespace

bool readGpx(QXmlStreamReader& xml, Collector& out, std::string* error)
{
    Point point;
    bool inPoint = false;
    while (!xml.atEnd() && !out.stopped()) {
        xml.readNext();
        xmlProgress(xml, out);
        if (xml.isEndElement() && inPoint && xml.name() == point.name) {
            inPoint = false;
            endPoint(point, out);
            continue;
        }
        if (!xml.isStartElement())
            continue;
        if (isPointElement(xml.name())) {
            inPoint = true;
            beginPoint(xml, point, out);
        } else if (inPoint && !point.bad) {
            readPointPart(xml, point, out);
        }
    }
    return xmlFinished(xml, out, error);
}

} // namespace service::tracks

namespace service {

bool readGpxText(const std::string& text, const std::string& zoneId, int64_t now, const FixSink& sink,
                 TrackReading& reading, std::string* error)
{
    using namespace tracks;
    reading = TrackReading();
    reading.format = "GPX";
    const ReadProgress noProgress;
    Collector out(reading, zoneId, now, sink, noProgress, static_cast<int64_t>(text.size()));
    QXmlStreamReader xml(QByteArray::fromStdString(text));
    bool sawGpx = false;
    while (!xml.atEnd() && !out.stopped()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        if (xml.name() == QLatin1String("gpx"))
            sawGpx = true;
        else if (isPointElement(xml.name()) && !readUploadPoint(xml, zoneId, out, error))
            return false;
    }
    if (out.stopped())
        return true;
    if (xml.hasError())
        return fail(error, lineError(xml.lineNumber(), xml.errorString().toStdString()));
    if (!sawGpx)
        return fail(error, "The file is not a GPX file.");
    return true;
}

} // namespace service
