#include "service/tracks/json.h"

#include <vector>

namespace service::tracks {

using nlohmann::json;

namespace {

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

// The accuracy the feature's properties give: one number for a point, one
// per position (`i`) of a line.
void propertyAccuracy(const json& properties, Fix& fix, size_t i, bool many)
{
    for (const char* key : { "accuracy", "horizontal_accuracy", "horizontalAccuracy" }) {
        const auto value = properties.find(key);
        if (value == properties.end())
            continue;
        if (!many && value->is_number())
            fix.accuracy = value->get<double>();
        else if (many && value->is_array() && i < value->size() && (*value)[i].is_number())
            fix.accuracy = (*value)[i].get<double>();
    }
}

void takePoint(const json& coordinates, const json& properties, JsonPoints& points)
{
    const std::string at = points.next();
    Fix fix;
    fix.accuracy = 10;
    if (!position(coordinates, fix))
        return points.out.skip("coordinates that cannot be read", at);
    std::optional<int64_t> time;
    if (const json* t = member(properties, { "time", "timestamp", "datetime", "date", "when" }))
        time = jsonTime(*t);
    else if (coordinates.size() >= 4)
        time = jsonTime(coordinates[3]);
    if (!time)
        return points.out.skip("no time", at);
    fix.time = *time;
    propertyAccuracy(properties, fix, 0, false);
    points.out.add(fix, at);
}

// One line's positions; their times from `times`, else the fourth number of each.
void takeLine(const json& line, const json* times, const json& properties, JsonPoints& points)
{
    for (size_t i = 0; i < line.size(); ++i) {
        const std::string at = points.next();
        Fix fix;
        fix.accuracy = 10;
        const json& p = line[i];
        if (!position(p, fix)) {
            points.out.skip("coordinates that cannot be read", at);
            continue;
        }
        std::optional<int64_t> time;
        if (times && times->is_array() && i < times->size())
            time = jsonTime((*times)[i]);
        else if (p.size() >= 4)
            time = jsonTime(p[3]);
        if (!time) {
            points.out.skip("no time", at);
            continue;
        }
        fix.time = *time;
        propertyAccuracy(properties, fix, i, true);
        points.out.add(fix, at);
    }
}

} // namespace

bool takeGeoJsonFeature(const json& object, JsonPoints& points)
{
    points.out.noteFormat("GeoJSON");
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
    if (type == "Point") {
        takePoint(*coordinates, properties, points);
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
        takeLine(*lines[l], lineTimes, properties, points);
    }
    return true;
}

} // namespace service::tracks
