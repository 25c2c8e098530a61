#include "service/tracks/reader.h"

#include "service/text.h"

#include <QXmlStreamReader>

#include <deque>
#include <limits>
#include <vector>

namespace service::tracks {

namespace {

constexpr size_t maxTrackTimes = 5000000;

// "lon,lat[,alt]" of KML; false when it is not that.
bool kmlCoordinates(const std::string& text, char separator, Fix& fix)
{
    std::vector<std::string> parts;
    std::string part;
    for (char c : trimmed(text)) {
        if (c == separator) {
            parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    parts.push_back(part);
    if (parts.size() < 2 || parts.size() > 3 || !toNumber(parts[0], fix.longitude)
        || !toNumber(parts[1], fix.latitude))
        return false;
    if (parts.size() == 3 && !toNumber(parts[2], fix.altitude))
        return false;
    return true;
}

// The timed points of a KML document: placemarks with a time stamp and a
// point, and the paired times and positions of gx:Track.
class KmlPoints {
public:
    KmlPoints(QXmlStreamReader& xml, Collector& out) : xml_(xml), out_(out) {}

    void start()
    {
        const QString name = xml_.name().toString();
        const int64_t line = xml_.lineNumber();
        if (name == QLatin1String("Placemark")) {
            inPlacemark_ = true;
            placemarkTimed_ = false;
            placemarkHasPoint_ = false;
            placemarkLine_ = line;
            point_ = Fix();
            point_.accuracy = 10;
        } else if (name == QLatin1String("Track")) {
            inTrack_ = true;
            trackTimes_.clear();
        } else if (name == QLatin1String("TimeStamp") || name == QLatin1String("Point")
                   || name == QLatin1String("LineString") || name == QLatin1String("TimeSpan")) {
            parent_ = name;
        } else if (name == QLatin1String("when")) {
            when();
        } else if (name == QLatin1String("coord") && inTrack_) {
            trackCoord(line);
        } else if (name == QLatin1String("coordinates") && inPlacemark_ && parent_ == QLatin1String("Point")) {
            const std::string value = text();
            if (xml_.hasError())
                return;
            if (kmlCoordinates(value, ',', point_))
                placemarkHasPoint_ = true;
            else
                out_.skip("coordinates that cannot be read", lineText(line) + " (coordinates)");
        }
    }

    void end()
    {
        const QStringRef name = xml_.name();
        if (name == QLatin1String("Placemark")) {
            if (inPlacemark_ && placemarkHasPoint_) {
                const std::string where = lineText(placemarkLine_) + " (Placemark)";
                if (placemarkTimed_)
                    out_.add(point_, where);
                else
                    out_.skip("no time", where);
            }
            inPlacemark_ = false;
        } else if (name == QLatin1String("Track")) {
            if (!trackTimes_.empty())
                out_.skip("a time without coordinates", lineText(xml_.lineNumber()) + " (gx:Track)");
            inTrack_ = false;
            trackTimes_.clear();
        }
    }

private:
    std::string text() { return elementText(xml_).toStdString(); }

    void when()
    {
        const std::string value = text();
        if (xml_.hasError())
            return;
        const auto time = parseTrackTime(value);
        if (inTrack_) {
            // The times come before their coordinates; they are held until then.
            if (trackTimes_.size() >= maxTrackTimes) {
                xml_.raiseError(QString::fromStdString("The file holds a gx:Track of more than 5,000,000 times at "
                                                       + lineText(xml_.lineNumber()) + "."));
                return;
            }
            // A time that is missing or cannot be read still takes its place in the pairing.
            trackTimes_.push_back(time ? *time : trimmed(value).empty() ? noTime : unreadableTime);
        } else if (inPlacemark_ && parent_ == QLatin1String("TimeStamp") && time) {
            point_.time = *time;
            placemarkTimed_ = true;
        }
    }

    void trackCoord(int64_t line)
    {
        const std::string value = text();
        if (xml_.hasError())
            return;
        const std::string where = lineText(line) + " (gx:coord)";
        if (trackTimes_.empty()) {
            out_.skip("no time", where);
            return;
        }
        Fix fix;
        fix.accuracy = 10;
        const int64_t time = trackTimes_.front();
        trackTimes_.pop_front();
        if (!kmlCoordinates(value, ' ', fix))
            out_.skip("coordinates that cannot be read", where);
        else if (time == noTime || time == unreadableTime)
            out_.skip(time == noTime ? "no time" : "a time that cannot be read", where);
        else {
            fix.time = time;
            out_.add(fix, where);
        }
    }

    QXmlStreamReader& xml_;
    Collector& out_;
    bool inPlacemark_ = false, placemarkTimed_ = false, placemarkHasPoint_ = false, inTrack_ = false;
    Fix point_;
    int64_t placemarkLine_ = 0;
    // Times of a gx:Track; these two, beyond any time parseTrackTime gives, stand for none.
    static constexpr int64_t noTime = std::numeric_limits<int64_t>::min();
    static constexpr int64_t unreadableTime = noTime + 1;
    std::deque<int64_t> trackTimes_;
    QString parent_; // the element around the current one, as far as it matters
};

} // namespace

bool readKml(QXmlStreamReader& xml, Collector& out, std::string* error)
{
    KmlPoints points(xml, out);
    while (!xml.atEnd() && !out.stopped()) {
        xml.readNext();
        xmlProgress(xml, out);
        if (xml.isEndElement())
            points.end();
        else if (xml.isStartElement())
            points.start();
    }
    return xmlFinished(xml, out, error);
}

} // namespace service::tracks
