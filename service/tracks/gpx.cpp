#include "service/tracks/reader.h"

#include "service/text.h"

#include <QXmlStreamReader>

namespace service::tracks {

namespace {

bool isPointElement(const QStringRef& name)
{
    return name == QLatin1String("trkpt") || name == QLatin1String("rtept") || name == QLatin1String("wpt");
}

std::string elementText(QXmlStreamReader& xml)
{
    return xml.readElementText(QXmlStreamReader::SkipChildElements).toStdString();
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
    if (name == QLatin1String("ele")) {
        if (!toNumber(elementText(xml), point.fix.altitude)) {
            point.bad = true;
            out.skip("an elevation that is not a number", where);
        }
    } else if (name == QLatin1String("time")) {
        const auto time = parseTrackTime(elementText(xml));
        if (!time) {
            point.bad = true;
            out.skip("a time that cannot be read", where);
        } else {
            point.fix.time = *time;
            point.timed = true;
        }
    } else if (name == QLatin1String("hdop")) {
        double hdop = 0;
        if (toNumber(elementText(xml), hdop) && hdop > 0)
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
