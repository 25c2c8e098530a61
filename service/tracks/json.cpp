#include "service/tracks/json.h"

#include "service/text.h"

#include <cmath>
#include <stdexcept>

namespace service::tracks {

using nlohmann::json;

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

const json* member(const json& object, std::initializer_list<const char*> keys)
{
    for (const char* key : keys) {
        const auto found = object.find(key);
        if (found != object.end() && !found->is_null())
            return &*found;
    }
    return nullptr;
}

namespace {

// True when the object was a point or a feature (it is then dropped).
bool take(const json& object, JsonPoints& points)
{
    if (object.contains("latitudeE7") && object.contains("longitudeE7"))
        return takeGoogleRecord(object, points);
    if (object.contains("point") && object.contains("time"))
        return takeGooglePoint(object.at("point"), object.at("time"), nullptr, points);
    if (const json* where = member(object, { "LatLng", "latLng" }); where && object.contains("timestamp"))
        return takeGooglePoint(*where, object.at("timestamp"), &object, points);
    const auto type = object.find("type");
    if (type != object.end() && *type == "Feature")
        return takeGeoJsonFeature(object, points);
    if (object.contains("timelinePath") && object.contains("startTime"))
        return takeGooglePath(object, points);
    return false;
}

} // namespace

bool readJson(std::istream& in, Collector& out, std::string* error)
{
    JsonPoints points { out };
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
        if (event == json::parse_event_t::object_end && parsed.is_object() && take(parsed, points)) {
            kept = 0;
            return false;
        }
        return true;
    };
    std::string why;
    try {
        const json rest = json::parse(in, callback);
        (void)rest;
    } catch (const json::parse_error& parseError) {
        // "[json.exception.parse_error.101] parse error at line 3, column 5: ..."
        std::string text = parseError.what();
        const size_t at = text.find("parse error");
        why = "The file breaks off: " + (at == std::string::npos ? text : text.substr(at)) + ".";
    } catch (const std::exception&) {
        if (tooLarge)
            why = "The file holds more JSON without positions than can be read.";
        else if (!out.stopped())
            why = "The file could not be read as JSON.";
    }
    if (out.format().empty() && why.empty())
        why = "This JSON file holds neither GeoJSON features nor Google location history.";
    if (out.format().empty())
        out.setFormat("JSON");
    return why.empty() || fail(error, why);
}

} // namespace service::tracks
