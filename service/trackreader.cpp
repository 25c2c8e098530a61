#include "service/trackreader.h"

#include "service/tzlookup.h"

#include <QFile>
#include <QTemporaryFile>
#include <QXmlStreamReader>

#include <nlohmann/json.hpp>
#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <vector>

namespace service {

using nlohmann::json;

namespace {

// A KMZ's document is unpacked to at most this many bytes.
constexpr int64_t maxUnpackedBytes = 1024LL * 1024 * 1024;
constexpr size_t maxLineBytes = 64 * 1024;
constexpr double maxAccuracyMetres = 1000;

std::string trimmed(const std::string& text)
{
    size_t begin = 0, end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])))
        ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    return text.substr(begin, end - begin);
}

bool toNumber(const std::string& text, double& value)
{
    const std::string t = trimmed(text);
    if (t.empty())
        return false;
    char* end = nullptr;
    value = std::strtod(t.c_str(), &end);
    return end && *end == '\0' && std::isfinite(value);
}

// Hands points on, counts the ones left out and remembers where the first was.
class Collector {
public:
    Collector(TrackReading& reading, const std::string& zoneId, const FixSink& sink, const ReadProgress& progress,
              int64_t total)
        : reading_(reading), zoneId_(zoneId), sink_(sink), progress_(progress), total_(total)
    {
    }

    void skip(const std::string& why, const std::string& where)
    {
        ++reading_.skipped[why];
        if (reading_.firstSkip.empty())
            reading_.firstSkip = where + ": " + why;
    }

    // False once the sink wants no more.
    bool add(Fix fix, const std::string& where)
    {
        if (stopped_)
            return false;
        fix.zoneId = zoneId_.empty() ? zoneAt(fix.latitude, fix.longitude) : zoneId_;
        if (auto invalid = invalidFix(fix)) {
            skip(*invalid, where);
            return true;
        }
        // Positions from cell towers and the like would place photos wrongly.
        if (fix.accuracy > maxAccuracyMetres) {
            skip("accuracy worse than 1 km", where);
            return true;
        }
        ++reading_.points;
        if (sink_ && !sink_(fix))
            stopped_ = true;
        return !stopped_;
    }

    void progress(int64_t done)
    {
        if (progress_ && done - reported_ >= (1 << 20)) {
            reported_ = done;
            progress_(done, total_);
        }
    }
    void finish()
    {
        if (progress_)
            progress_(total_, total_);
    }
    bool stopped() const { return stopped_; }

private:
    TrackReading& reading_;
    const std::string& zoneId_;
    const FixSink& sink_;
    const ReadProgress& progress_;
    int64_t total_;
    int64_t reported_ = 0;
    bool stopped_ = false;
};

std::string lineText(int64_t line)
{
    return "line " + std::to_string(line);
}

// ---- GPX and KML, one streaming XML reader -------------------------------

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

void readXml(QIODevice& device, TrackReading& reading, Collector& out)
{
    QXmlStreamReader xml(&device);
    enum class Root { Unknown, Gpx, Kml } root = Root::Unknown;
    // GPX: the point being read.
    bool inPoint = false, pointTimed = false, pointBad = false;
    QString pointName;
    Fix point;
    int64_t pointLine = 0;
    // KML: a placemark's time and point, and a gx:Track's times.
    bool inPlacemark = false, placemarkTimed = false, placemarkHasPoint = false, inTrack = false;
    std::deque<int64_t> trackTimes;
    int64_t placemarkLine = 0;
    QString parent; // the element around the current one, as far as it matters

    while (!xml.atEnd() && !out.stopped()) {
        xml.readNext();
        out.progress(device.pos());
        if (xml.isEndElement()) {
            const QStringRef name = xml.name();
            if (inPoint && name == pointName) {
                inPoint = false;
                const std::string where = lineText(pointLine) + " (" + pointName.toStdString() + ")";
                if (pointBad)
                    continue;
                if (!pointTimed)
                    out.skip("no time", where);
                else
                    out.add(point, where);
            } else if (name == QLatin1String("Placemark")) {
                if (inPlacemark && placemarkHasPoint) {
                    const std::string where = lineText(placemarkLine) + " (Placemark)";
                    if (placemarkTimed)
                        out.add(point, where);
                    else
                        out.skip("no time", where);
                }
                inPlacemark = false;
            } else if (name == QLatin1String("Track")) {
                if (!trackTimes.empty())
                    out.skip("a time without coordinates", lineText(xml.lineNumber()) + " (gx:Track)");
                inTrack = false;
                trackTimes.clear();
            }
            continue;
        }
        if (!xml.isStartElement())
            continue;
        const QString name = xml.name().toString();
        const int64_t line = xml.lineNumber();
        if (root == Root::Unknown) {
            if (name == QLatin1String("gpx")) {
                root = Root::Gpx;
                reading.format = "GPX";
            } else if (name == QLatin1String("kml")) {
                root = Root::Kml;
                if (reading.format.empty())
                    reading.format = "KML";
            } else {
                reading.error = "This XML file is neither GPX nor KML (its root element is <" + name.toStdString() + ">).";
                return;
            }
            continue;
        }
        if (root == Root::Gpx) {
            if (name == QLatin1String("trkpt") || name == QLatin1String("rtept") || name == QLatin1String("wpt")) {
                inPoint = true;
                pointName = name;
                pointLine = line;
                pointTimed = false;
                pointBad = false;
                point = Fix();
                point.accuracy = 10;
                if (!toNumber(xml.attributes().value(QLatin1String("lat")).toString().toStdString(), point.latitude)
                    || !toNumber(xml.attributes().value(QLatin1String("lon")).toString().toStdString(), point.longitude)) {
                    pointBad = true;
                    out.skip("no valid lat and lon", lineText(line) + " (" + name.toStdString() + ")");
                }
            } else if (inPoint && !pointBad) {
                const std::string where = lineText(line) + " (" + name.toStdString() + ")";
                if (name == QLatin1String("ele")) {
                    if (!toNumber(xml.readElementText(QXmlStreamReader::SkipChildElements).toStdString(), point.altitude)) {
                        pointBad = true;
                        out.skip("an elevation that is not a number", where);
                    }
                } else if (name == QLatin1String("time")) {
                    const auto time = parseTrackTime(xml.readElementText(QXmlStreamReader::SkipChildElements).toStdString());
                    if (!time) {
                        pointBad = true;
                        out.skip("a time that cannot be read", where);
                    } else {
                        point.time = *time;
                        pointTimed = true;
                    }
                } else if (name == QLatin1String("hdop")) {
                    double hdop = 0;
                    if (toNumber(xml.readElementText(QXmlStreamReader::SkipChildElements).toStdString(), hdop) && hdop > 0)
                        point.accuracy = 5 * hdop;
                }
            }
            continue;
        }
        // KML
        if (name == QLatin1String("Placemark")) {
            inPlacemark = true;
            placemarkTimed = false;
            placemarkHasPoint = false;
            placemarkLine = line;
            point = Fix();
            point.accuracy = 10;
        } else if (name == QLatin1String("Track")) {
            inTrack = true;
            trackTimes.clear();
        } else if (name == QLatin1String("TimeStamp") || name == QLatin1String("Point")
                   || name == QLatin1String("LineString") || name == QLatin1String("TimeSpan")) {
            parent = name;
        } else if (name == QLatin1String("when")) {
            const std::string text = xml.readElementText(QXmlStreamReader::SkipChildElements).toStdString();
            const auto time = parseTrackTime(text);
            if (inTrack) {
                // A time that is missing or cannot be read still takes its place in the pairing.
                trackTimes.push_back(time ? *time : trimmed(text).empty() ? -2 : -1);
            } else if (inPlacemark && parent == QLatin1String("TimeStamp")) {
                if (time) {
                    point.time = *time;
                    placemarkTimed = true;
                }
            }
        } else if (name == QLatin1String("coord") && inTrack) {
            const std::string text = xml.readElementText(QXmlStreamReader::SkipChildElements).toStdString();
            const std::string where = lineText(line) + " (gx:coord)";
            if (trackTimes.empty()) {
                out.skip("no time", where);
                continue;
            }
            Fix fix;
            fix.accuracy = 10;
            const int64_t time = trackTimes.front();
            trackTimes.pop_front();
            if (!kmlCoordinates(text, ' ', fix))
                out.skip("coordinates that cannot be read", where);
            else if (time < 0)
                out.skip(time == -2 ? "no time" : "a time that cannot be read", where);
            else {
                fix.time = time;
                out.add(fix, where);
            }
        } else if (name == QLatin1String("coordinates") && inPlacemark && parent == QLatin1String("Point")) {
            const std::string text = xml.readElementText(QXmlStreamReader::SkipChildElements).toStdString();
            if (kmlCoordinates(text, ',', point))
                placemarkHasPoint = true;
            else
                out.skip("coordinates that cannot be read", lineText(line) + " (coordinates)");
        }
    }
    if (xml.hasError() && !out.stopped()) {
        std::string why = xml.errorString().toStdString();
        while (!why.empty() && why.back() == '.')
            why.pop_back();
        reading.error = "The file breaks off at line " + std::to_string(xml.lineNumber()) + ": " + why + ".";
    } else if (root == Root::Unknown) {
        reading.error = "The file holds no XML element.";
    }
}

// ---- Lines: NMEA and CSV -------------------------------------------------

// Reads lines of at most maxLineBytes; a longer one is cut and flagged.
class Lines {
public:
    explicit Lines(std::FILE* file) : file_(file) {}
    bool next(std::string& line, bool& tooLong)
    {
        line.clear();
        tooLong = false;
        int c;
        bool any = false;
        while ((c = std::getc(file_)) != EOF) {
            any = true;
            if (c == '\n')
                break;
            if (line.size() < maxLineBytes)
                line += static_cast<char>(c);
            else
                tooLong = true;
        }
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (any)
            ++number_;
        return any;
    }
    int64_t number() const { return number_; }
    int64_t position() const { return std::ftell(file_); }

private:
    std::FILE* file_;
    int64_t number_ = 0;
};

std::vector<std::string> splitFields(const std::string& line, char separator)
{
    std::vector<std::string> fields;
    std::string field;
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == separator) {
            fields.push_back(trimmed(field));
            field.clear();
        } else {
            field += c;
        }
    }
    fields.push_back(trimmed(field));
    return fields;
}

// "ddmm.mmmm" with its hemisphere, as degrees.
bool nmeaDegrees(const std::string& value, const std::string& hemisphere, double& degrees)
{
    double raw = 0;
    if (!toNumber(value, raw) || raw < 0)
        return false;
    const double whole = std::floor(raw / 100);
    const double minutes = raw - whole * 100;
    if (minutes >= 60)
        return false;
    degrees = whole + minutes / 60;
    if (hemisphere == "S" || hemisphere == "W")
        degrees = -degrees;
    else if (hemisphere != "N" && hemisphere != "E")
        return false;
    return true;
}

// hhmmss[.sss] as milliseconds of the day.
std::optional<int64_t> nmeaTimeOfDay(const std::string& text)
{
    double value = 0;
    if (text.size() < 6 || !toNumber(text, value))
        return std::nullopt;
    const int h = (text[0] - '0') * 10 + (text[1] - '0');
    const int m = (text[2] - '0') * 10 + (text[3] - '0');
    const double s = value - std::floor(value / 100) * 100;
    if (h > 23 || m > 59 || s >= 61)
        return std::nullopt;
    return (h * 3600 + m * 60) * 1000LL + static_cast<int64_t>(std::llround(s * 1000));
}

void readNmea(std::FILE* file, TrackReading& reading, Collector& out)
{
    reading.format = "NMEA";
    Lines lines(file);
    std::string line;
    bool tooLong = false;
    std::optional<int64_t> day;     // ms of the last date an RMC sentence gave
    // The point of the current second, filled by RMC and GGA alike.
    struct Pending {
        int64_t timeOfDay = -1;
        bool hasPosition = false, valid = true, dated = false;
        Fix fix;
        int64_t line = 0;
    } pending;
    auto flush = [&] {
        if (pending.timeOfDay < 0 || !pending.hasPosition)
            return;
        const std::string where = lineText(pending.line);
        if (!pending.valid)
            out.skip("no valid fix", where);
        else if (!pending.dated && !day)
            out.skip("no date", where);
        else {
            if (!pending.dated)
                pending.fix.time = *day + pending.timeOfDay;
            out.add(pending.fix, where);
        }
        pending = Pending();
    };
    while (lines.next(line, tooLong) && !out.stopped()) {
        out.progress(lines.position());
        const std::string where = lineText(lines.number());
        const std::string text = trimmed(line);
        if (text.empty())
            continue;
        if (tooLong || text[0] != '$') {
            out.skip("not an NMEA sentence", where);
            continue;
        }
        std::string body = text.substr(1);
        const size_t star = body.rfind('*');
        if (star != std::string::npos) {
            unsigned sum = 0;
            for (size_t i = 0; i < star; ++i)
                sum ^= static_cast<unsigned char>(body[i]);
            const unsigned given = static_cast<unsigned>(std::strtoul(body.substr(star + 1).c_str(), nullptr, 16));
            if (body.size() - star != 3 || given != sum) {
                out.skip("a wrong checksum", where);
                continue;
            }
            body.resize(star);
        }
        const std::vector<std::string> f = splitFields(body, ',');
        if (f[0].size() != 5)
            continue;
        const std::string kind = f[0].substr(2);
        if (kind != "RMC" && kind != "GGA")
            continue;
        const bool rmc = kind == "RMC";
        if (f.size() < 10) {
            out.skip("a sentence with too few fields", where);
            continue;
        }
        const auto timeOfDay = nmeaTimeOfDay(f[1]);
        Fix fix;
        const int at = rmc ? 3 : 2;
        if (!timeOfDay || !nmeaDegrees(f[at], f[at + 1], fix.latitude)
            || !nmeaDegrees(f[at + 2], f[at + 3], fix.longitude)) {
            out.skip(f[1].empty() || f[at].empty() ? "no valid fix" : "a time or position that cannot be read", where);
            continue;
        }
        if (*timeOfDay != pending.timeOfDay)
            flush();
        if (pending.timeOfDay < 0) {
            pending.timeOfDay = *timeOfDay;
            pending.line = lines.number();
            pending.fix.accuracy = 10;
        }
        pending.hasPosition = true;
        pending.fix.latitude = fix.latitude;
        pending.fix.longitude = fix.longitude;
        if (rmc) {
            pending.valid = pending.valid && f[2] == "A";
            const std::string& date = f[9];
            int dd = 0, mm = 0, yy = 0;
            if (date.size() == 6 && std::sscanf(date.c_str(), "%2d%2d%2d", &dd, &mm, &yy) == 3) {
                const std::string iso = std::to_string(yy < 80 ? 2000 + yy : 1900 + yy) + "-" + (mm < 10 ? "0" : "")
                    + std::to_string(mm) + "-" + (dd < 10 ? "0" : "") + std::to_string(dd) + "T00:00:00Z";
                if (const auto midnight = parseIsoTime(iso)) {
                    day = *midnight;
                    pending.dated = true;
                    pending.fix.time = *midnight + *timeOfDay;
                }
            }
        } else {
            pending.valid = pending.valid && f[6] != "0" && !f[6].empty();
            double hdop = 0, altitude = 0;
            if (toNumber(f[8], hdop) && hdop > 0)
                pending.fix.accuracy = 5 * hdop;
            if (toNumber(f[9], altitude))
                pending.fix.altitude = altitude;
        }
    }
    flush();
}

// Lower case, letters and digits only: "Date Time (UTC)" -> "datetimeutc".
std::string columnKey(const std::string& name)
{
    std::string key;
    for (char c : name)
        if (std::isalnum(static_cast<unsigned char>(c)))
            key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return key;
}

int findColumn(const std::vector<std::string>& keys, std::initializer_list<const char*> names)
{
    for (const char* name : names)
        for (size_t i = 0; i < keys.size(); ++i)
            if (keys[i] == name)
                return static_cast<int>(i);
    return -1;
}

void readCsv(std::FILE* file, TrackReading& reading, Collector& out)
{
    Lines lines(file);
    std::string header;
    bool tooLong = false;
    while (lines.next(header, tooLong) && trimmed(header).empty()) {
    }
    if (header.size() >= 3 && header.compare(0, 3, "\xEF\xBB\xBF") == 0)
        header.erase(0, 3);
    char separator = ',';
    size_t most = 0;
    for (char candidate : { ',', ';', '\t' }) {
        const size_t count = static_cast<size_t>(std::count(header.begin(), header.end(), candidate));
        if (count > most) {
            most = count;
            separator = candidate;
        }
    }
    std::vector<std::string> keys;
    for (const std::string& field : splitFields(header, separator))
        keys.push_back(columnKey(field));
    const int lat = findColumn(keys, { "lat", "latitude", "latitudedeg", "latdeg" });
    const int lon = findColumn(keys, { "lon", "lng", "long", "longitude", "longitudedeg", "londeg" });
    const int time = findColumn(keys, { "time", "timestamp", "datetime", "utc", "timeutc", "datetimeutc", "utctime",
                                        "gpstime", "timestampms", "recordedat", "isotime" });
    const int date = findColumn(keys, { "date", "utcdate", "dateutc" });
    const int alt = findColumn(keys, { "alt", "altitude", "ele", "elevation", "height", "altitudem", "elevationm" });
    const int acc = findColumn(keys, { "accuracy", "acc", "horizontalaccuracy", "hacc", "accuracym" });
    const int hdop = findColumn(keys, { "hdop" });
    if (lat < 0 || lon < 0 || (time < 0 && date < 0)) {
        reading.error = "This is not a track file: its first line is not a header with latitude, longitude and time "
                        "columns.";
        return;
    }
    reading.format = "CSV";
    std::string line;
    while (lines.next(line, tooLong) && !out.stopped()) {
        out.progress(lines.position());
        const std::string where = lineText(lines.number());
        if (trimmed(line).empty())
            continue;
        if (tooLong) {
            out.skip("a line that is too long", where);
            continue;
        }
        const std::vector<std::string> f = splitFields(line, separator);
        auto field = [&f](int column) { return column >= 0 && column < static_cast<int>(f.size()) ? f[column] : std::string(); };
        Fix fix;
        fix.accuracy = 10;
        if (!toNumber(field(lat), fix.latitude) || !toNumber(field(lon), fix.longitude)) {
            out.skip("no valid latitude and longitude", where);
            continue;
        }
        // A time column may hold the whole time, or only the time of day
        // beside a date column.
        const std::string clock = field(time), day = date != time ? field(date) : std::string();
        if (clock.empty() && day.empty()) {
            out.skip("no time", where);
            continue;
        }
        auto moment = clock.size() >= 10 || day.empty() ? parseTrackTime(clock) : std::nullopt;
        if (!moment && !day.empty())
            moment = parseTrackTime(clock.empty() ? day : day + " " + clock);
        if (!moment) {
            out.skip("a time that cannot be read", where);
            continue;
        }
        fix.time = *moment;
        double value = 0;
        if (toNumber(field(alt), value))
            fix.altitude = value;
        if (toNumber(field(acc), value))
            fix.accuracy = value;
        else if (toNumber(field(hdop), value) && value > 0)
            fix.accuracy = 5 * value;
        out.add(fix, where);
    }
}

// ---- JSON: GeoJSON and Google location history ---------------------------

std::optional<int64_t> jsonTime(const json& value)
{
    if (value.is_string())
        return parseTrackTime(value.get_ref<const std::string&>());
    if (value.is_number()) {
        const double number = value.get<double>();
        if (!std::isfinite(number) || std::fabs(number) > 1e16)
            return std::nullopt;
        return number >= 1e11 || number <= -1e11 ? static_cast<int64_t>(number) : static_cast<int64_t>(number * 1000);
    }
    return std::nullopt;
}

bool jsonNumber(const json& object, const char* key, double& value)
{
    const auto found = object.find(key);
    if (found == object.end())
        return false;
    if (found->is_number()) {
        value = found->get<double>();
        return std::isfinite(value);
    }
    if (found->is_string())
        return toNumber(found->get_ref<const std::string&>(), value);
    return false;
}

// "48.1372°, 11.5755°" or "geo:48.1372,11.5755" of Google's exports.
bool latLngText(const json& value, Fix& fix)
{
    if (!value.is_string())
        return false;
    std::string text = value.get_ref<const std::string&>();
    if (text.compare(0, 4, "geo:") == 0)
        text.erase(0, 4);
    std::string cleaned;
    for (size_t i = 0; i < text.size(); ++i) {
        if (static_cast<unsigned char>(text[i]) == 0xC2 && i + 1 < text.size()
            && static_cast<unsigned char>(text[i + 1]) == 0xB0) {
            ++i; // the degree sign
            continue;
        }
        cleaned += text[i];
    }
    const size_t comma = cleaned.find(',');
    return comma != std::string::npos && toNumber(cleaned.substr(0, comma), fix.latitude)
        && toNumber(cleaned.substr(comma + 1), fix.longitude);
}

const json* member(const json& object, std::initializer_list<const char*> keys)
{
    for (const char* key : keys) {
        const auto found = object.find(key);
        if (found != object.end() && !found->is_null())
            return &*found;
    }
    return nullptr;
}

// A GeoJSON position [lon, lat, alt?, time?].
bool position(const json& value, Fix& fix)
{
    if (!value.is_array() || value.size() < 2 || !value[0].is_number() || !value[1].is_number())
        return false;
    fix.longitude = value[0].get<double>();
    fix.latitude = value[1].get<double>();
    if (value.size() >= 3 && value[2].is_number())
        fix.altitude = value[2].get<double>();
    return true;
}

class JsonItems {
public:
    JsonItems(TrackReading& reading, Collector& out) : reading_(reading), out_(out) {}

    // True when the object was a point or a feature (it is then dropped).
    bool take(const json& object)
    {
        if (object.contains("latitudeE7") && object.contains("longitudeE7"))
            return record(object);
        if (object.contains("point") && object.contains("time"))
            return googlePoint(object.at("point"), object.at("time"), nullptr);
        if (const json* where = member(object, { "LatLng", "latLng" }); where && object.contains("timestamp"))
            return googlePoint(*where, object.at("timestamp"), &object);
        const auto type = object.find("type");
        if (type != object.end() && *type == "Feature")
            return feature(object);
        if (object.contains("timelinePath") && object.contains("startTime"))
            return pathWithOffsets(object);
        return false;
    }

private:
    std::string where() { return "point " + std::to_string(++index_); }
    void note(const char* format)
    {
        if (reading_.format.empty())
            reading_.format = format;
    }

    bool record(const json& object)
    {
        note("Google location history");
        const std::string at = where();
        Fix fix;
        fix.accuracy = 10;
        double e7 = 0;
        jsonNumber(object, "latitudeE7", e7);
        fix.latitude = e7 / 1e7;
        jsonNumber(object, "longitudeE7", e7);
        fix.longitude = e7 / 1e7;
        std::optional<int64_t> time;
        if (const json* t = member(object, { "timestamp" }))
            time = jsonTime(*t);
        else if (const json* ms = member(object, { "timestampMs" })) {
            double value = 0;
            if (ms->is_string() && toNumber(ms->get_ref<const std::string&>(), value))
                time = static_cast<int64_t>(value);
            else if (ms->is_number())
                time = ms->get<int64_t>();
        }
        if (!time)
            return out_.skip("no time", at), true;
        fix.time = *time;
        jsonNumber(object, "accuracy", fix.accuracy);
        jsonNumber(object, "altitude", fix.altitude);
        out_.add(fix, at);
        return true;
    }

    // A point of Google's location history: its position as "lat, lng" text
    // and its time; a raw signal (details) also gives accuracy and altitude.
    bool googlePoint(const json& latLng, const json& time, const json* details)
    {
        note("Google location history");
        const std::string at = where();
        Fix fix;
        fix.accuracy = 10;
        const auto moment = jsonTime(time);
        if (!latLngText(latLng, fix))
            return out_.skip("coordinates that cannot be read", at), true;
        if (!moment)
            return out_.skip("no time", at), true;
        fix.time = *moment;
        if (details) {
            jsonNumber(*details, "accuracyMeters", fix.accuracy);
            jsonNumber(*details, "altitudeMeters", fix.altitude);
        }
        out_.add(fix, at);
        return true;
    }

    // The older on-device export: path points as minutes after the segment's start.
    bool pathWithOffsets(const json& object)
    {
        const auto start = jsonTime(object.at("startTime"));
        const json& path = object.at("timelinePath");
        if (!path.is_array())
            return false;
        note("Google location history");
        for (const json& entry : path) {
            const std::string at = where();
            Fix fix;
            fix.accuracy = 10;
            double minutes = 0;
            if (!entry.is_object() || !entry.contains("point") || !latLngText(entry.at("point"), fix)) {
                out_.skip("coordinates that cannot be read", at);
                continue;
            }
            if (!start || !jsonNumber(entry, "durationMinutesOffsetFromStartTime", minutes)) {
                out_.skip("no time", at);
                continue;
            }
            fix.time = *start + static_cast<int64_t>(minutes * 60000);
            out_.add(fix, at);
        }
        return true;
    }

    bool feature(const json& object)
    {
        note("GeoJSON");
        const auto geometry = object.find("geometry");
        const json empty = json::object();
        const auto found = object.find("properties");
        const json& properties = found != object.end() && found->is_object() ? *found : empty;
        if (geometry == object.end() || !geometry->is_object())
            return true;
        const std::string type = geometry->value("type", std::string());
        const auto coordinates = geometry->find("coordinates");
        if (coordinates == geometry->end())
            return true;
        auto extra = [&properties](Fix& fix, size_t i, bool many) {
            for (const char* key : { "accuracy", "horizontal_accuracy", "horizontalAccuracy" }) {
                const auto value = properties.find(key);
                if (value == properties.end())
                    continue;
                if (!many && value->is_number())
                    fix.accuracy = value->get<double>();
                else if (many && value->is_array() && i < value->size() && (*value)[i].is_number())
                    fix.accuracy = (*value)[i].get<double>();
            }
        };
        if (type == "Point") {
            const std::string at = where();
            Fix fix;
            fix.accuracy = 10;
            if (!position(*coordinates, fix))
                return out_.skip("coordinates that cannot be read", at), true;
            std::optional<int64_t> time;
            if (const json* t = member(properties, { "time", "timestamp", "datetime", "date", "when" }))
                time = jsonTime(*t);
            else if (coordinates->size() >= 4)
                time = jsonTime((*coordinates)[3]);
            if (!time)
                return out_.skip("no time", at), true;
            fix.time = *time;
            extra(fix, 0, false);
            out_.add(fix, at);
            return true;
        }
        // Lines: times per position in properties (coordTimes, times) or as the
        // fourth number of each position.
        std::vector<const json*> lines;
        if (type == "LineString")
            lines.push_back(&*coordinates);
        else if (type == "MultiLineString" && coordinates->is_array())
            for (const json& line : *coordinates)
                lines.push_back(&line);
        else
            return true;
        const json* times = member(properties, { "coordTimes", "times", "coordinateTimes", "timestamps" });
        for (size_t l = 0; l < lines.size(); ++l) {
            if (!lines[l]->is_array())
                continue;
            const json* lineTimes = times;
            if (times && type == "MultiLineString" && times->is_array() && l < times->size() && (*times)[l].is_array())
                lineTimes = &(*times)[l];
            for (size_t i = 0; i < lines[l]->size(); ++i) {
                const std::string at = where();
                Fix fix;
                fix.accuracy = 10;
                const json& p = (*lines[l])[i];
                if (!position(p, fix)) {
                    out_.skip("coordinates that cannot be read", at);
                    continue;
                }
                std::optional<int64_t> time;
                if (lineTimes && lineTimes->is_array() && i < lineTimes->size())
                    time = jsonTime((*lineTimes)[i]);
                else if (p.size() >= 4)
                    time = jsonTime(p[3]);
                if (!time) {
                    out_.skip("no time", at);
                    continue;
                }
                fix.time = *time;
                extra(fix, i, true);
                out_.add(fix, at);
            }
        }
        return true;
    }

    TrackReading& reading_;
    Collector& out_;
    int64_t index_ = 0;
};

void readJson(std::istream& in, TrackReading& reading, Collector& out)
{
    JsonItems items(reading, out);
    int64_t events = 0, kept = 0;
    bool tooLarge = false;
    // Values are held only until the point or feature around them is taken;
    // a file of other JSON is not read into memory beyond this many.
    constexpr int64_t maxKeptValues = 10 * 1000 * 1000;
    json::parser_callback_t callback = [&](int, json::parse_event_t event, json& parsed) {
        if ((++events & 0xFFF) == 0)
            out.progress(static_cast<int64_t>(in.tellg()));
        if (++kept > maxKeptValues)
            tooLarge = true;
        if (out.stopped() || tooLarge)
            throw std::runtime_error("stopped");
        if (event == json::parse_event_t::object_end && parsed.is_object() && items.take(parsed)) {
            kept = 0;
            return false;
        }
        return true;
    };
    try {
        const json rest = json::parse(in, callback);
        (void)rest;
    } catch (const json::parse_error& error) {
        // "[json.exception.parse_error.101] parse error at line 3, column 5: ..."
        std::string text = error.what();
        const size_t at = text.find("parse error");
        reading.error = "The file breaks off: " + (at == std::string::npos ? text : text.substr(at)) + ".";
    } catch (const std::exception&) {
        if (tooLarge)
            reading.error = "The file holds more JSON without positions than can be read.";
        else if (!out.stopped())
            reading.error = "The file could not be read as JSON.";
    }
    if (reading.format.empty() && reading.error.empty())
        reading.error = "This JSON file holds neither GeoJSON features nor Google location history.";
    if (reading.format.empty())
        reading.format = "JSON";
}

// ---- KMZ: the first KML document of a zip archive ------------------------

uint32_t le32(const unsigned char* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t le16(const unsigned char* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// Unpacks the archive's first ".kml" entry (doc.kml first) into `target`.
std::string unpackKmz(QFile& zip, QIODevice& target)
{
    const int64_t size = zip.size();
    const int64_t tail = std::min<int64_t>(size, 65557);
    zip.seek(size - tail);
    const QByteArray end = zip.read(tail);
    int eocd = -1;
    for (int i = end.size() - 22; i >= 0; --i)
        if (le32(reinterpret_cast<const unsigned char*>(end.constData()) + i) == 0x06054b50) {
            eocd = i;
            break;
        }
    if (eocd < 0)
        return "This KMZ file is not a complete zip archive.";
    const auto* e = reinterpret_cast<const unsigned char*>(end.constData()) + eocd;
    const uint16_t entries = le16(e + 10);
    const uint32_t directorySize = le32(e + 12), directoryOffset = le32(e + 16);
    if (int64_t(directoryOffset) + directorySize > size || directorySize > 64 * 1024 * 1024)
        return "The directory of this KMZ archive is damaged.";
    zip.seek(directoryOffset);
    const QByteArray directory = zip.read(directorySize);
    const auto* d = reinterpret_cast<const unsigned char*>(directory.constData());
    int64_t chosenOffset = -1, chosenCompressed = 0;
    uint16_t chosenMethod = 0;
    bool chosenIsDoc = false;
    size_t at = 0;
    for (int i = 0; i < entries && at + 46 <= static_cast<size_t>(directory.size()); ++i) {
        if (le32(d + at) != 0x02014b50)
            return "The directory of this KMZ archive is damaged.";
        const uint16_t method = le16(d + at + 10);
        const uint32_t compressed = le32(d + at + 20);
        const uint16_t nameLength = le16(d + at + 28), extraLength = le16(d + at + 30), commentLength = le16(d + at + 32);
        const uint32_t offset = le32(d + at + 42);
        if (at + 46 + nameLength > static_cast<size_t>(directory.size()))
            break;
        std::string name(reinterpret_cast<const char*>(d + at + 46), nameLength);
        std::string lower;
        for (char c : name)
            lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const bool isKml = lower.size() > 4 && lower.compare(lower.size() - 4, 4, ".kml") == 0;
        const bool isDoc = lower == "doc.kml";
        if (isKml && (chosenOffset < 0 || (isDoc && !chosenIsDoc))) {
            chosenOffset = offset;
            chosenCompressed = compressed;
            chosenMethod = method;
            chosenIsDoc = isDoc;
        }
        at += 46 + nameLength + extraLength + commentLength;
    }
    if (chosenOffset < 0)
        return "This KMZ archive holds no KML document.";
    if (chosenMethod != 0 && chosenMethod != 8)
        return "The KML document in this KMZ archive is packed in a way Kestrel cannot unpack.";
    unsigned char local[30];
    zip.seek(chosenOffset);
    if (zip.read(reinterpret_cast<char*>(local), 30) != 30 || le32(local) != 0x04034b50)
        return "The KML document in this KMZ archive is damaged.";
    zip.seek(chosenOffset + 30 + le16(local + 26) + le16(local + 28));
    if (chosenOffset + 30 + chosenCompressed > size)
        return "The KML document in this KMZ archive is cut short.";

    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
        return "The KMZ archive could not be unpacked.";
    std::vector<char> input(256 * 1024), output(256 * 1024);
    int64_t left = chosenCompressed, written = 0;
    std::string error;
    int state = Z_OK;
    while (left > 0 && state != Z_STREAM_END && error.empty()) {
        const qint64 got = zip.read(input.data(), std::min<int64_t>(left, static_cast<int64_t>(input.size())));
        if (got <= 0) {
            error = "The KML document in this KMZ archive is cut short.";
            break;
        }
        left -= got;
        if (chosenMethod == 0) {
            written += got;
            if (target.write(input.data(), got) != got)
                error = "The KMZ archive could not be unpacked (no room for its document).";
            continue;
        }
        stream.next_in = reinterpret_cast<Bytef*>(input.data());
        stream.avail_in = static_cast<uInt>(got);
        do {
            stream.next_out = reinterpret_cast<Bytef*>(output.data());
            stream.avail_out = static_cast<uInt>(output.size());
            state = inflate(&stream, Z_NO_FLUSH);
            if (state != Z_OK && state != Z_STREAM_END && state != Z_BUF_ERROR) {
                error = "The KML document in this KMZ archive is damaged.";
                break;
            }
            const qint64 produced = static_cast<qint64>(output.size() - stream.avail_out);
            written += produced;
            if (written > maxUnpackedBytes) {
                error = "The KML document in this KMZ archive is too large.";
                break;
            }
            if (target.write(output.data(), produced) != produced) {
                error = "The KMZ archive could not be unpacked (no room for its document).";
                break;
            }
        } while (stream.avail_out == 0 && state != Z_STREAM_END);
    }
    inflateEnd(&stream);
    if (error.empty() && chosenMethod == 8 && state != Z_STREAM_END)
        error = "The KML document in this KMZ archive is cut short.";
    return error;
}

} // namespace

int64_t TrackReading::skippedCount() const
{
    int64_t total = 0;
    for (const auto& entry : skipped)
        total += entry.second;
    return total;
}

std::optional<int64_t> parseTrackTime(const std::string& raw)
{
    std::string text = trimmed(raw);
    if (text.empty())
        return std::nullopt;
    // Unix seconds or milliseconds.
    if (text.find_first_not_of("0123456789.") == std::string::npos) {
        double value = 0;
        if (!toNumber(text, value) || value > 1e16)
            return std::nullopt;
        return value >= 1e11 ? static_cast<int64_t>(value) : static_cast<int64_t>(std::llround(value * 1000));
    }
    if (text.size() >= 10 && (text[4] == '/' || text[4] == '.') && text[7] == text[4]) {
        text[4] = '-';
        text[7] = '-';
    }
    if (text.size() == 10)
        text += "T00:00:00";
    if (auto time = parseIsoTime(text))
        return time;
    // Without a zone GPS times are UTC. A zone written "+0200" gets its colon.
    if (text.size() > 5 && (text[text.size() - 5] == '+' || text[text.size() - 5] == '-')
        && text.find(':', text.size() - 5) == std::string::npos && text.size() > 19)
        return parseIsoTime(text.substr(0, text.size() - 2) + ":" + text.substr(text.size() - 2));
    if (text.size() > 4 && text.compare(text.size() - 4, 4, " UTC") == 0)
        text.resize(text.size() - 4);
    return parseIsoTime(text + "Z");
}

TrackReading readTrack(const std::string& path, const std::string& zoneId, const FixSink& sink,
                       const ReadProgress& progress)
{
    TrackReading reading;
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) {
        reading.error = "The file cannot be read.";
        return reading;
    }
    const int64_t total = file.size();
    Collector out(reading, zoneId, sink, progress, total);
    // The format by the first bytes that are not a byte order mark or blank.
    const QByteArray head = file.peek(4096);
    int first = 0;
    if (head.startsWith("\xEF\xBB\xBF"))
        first = 3;
    while (first < head.size() && std::isspace(static_cast<unsigned char>(head[first])))
        ++first;
    if (first >= head.size()) {
        reading.error = "The file is empty.";
        return reading;
    }
    const char lead = head[first];
    if (head.startsWith("PK\x03\x04")) {
        QTemporaryFile document;
        if (!document.open()) {
            reading.error = "The KMZ archive could not be unpacked (no temporary file).";
            return reading;
        }
        reading.format = "KMZ";
        reading.error = unpackKmz(file, document);
        if (!reading.error.empty())
            return reading;
        document.seek(0);
        readXml(document, reading, out);
        reading.format = "KMZ";
    } else if (lead == '<') {
        readXml(file, reading, out);
    } else if (lead == '{' || lead == '[') {
        file.close();
        std::ifstream in(path, std::ios::binary);
        readJson(in, reading, out);
    } else {
        file.close();
        std::FILE* lines = std::fopen(path.c_str(), "rb");
        if (!lines) {
            reading.error = "The file cannot be read.";
            return reading;
        }
        if (lead == '$')
            readNmea(lines, reading, out);
        else
            readCsv(lines, reading, out);
        std::fclose(lines);
    }
    out.finish();
    return reading;
}

} // namespace service
