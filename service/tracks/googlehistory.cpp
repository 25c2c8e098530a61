#include "service/tracks/json.h"

#include "service/text.h"

namespace service::tracks {

using nlohmann::json;

namespace {

constexpr const char* format = "Google location history";

// "48.1372°, 11.5755°" or "geo:48.1372,11.5755" of Google's exports.
bool latLngText(const json& value, Fix& fix)
{
    if (!value.is_string())
        return false;
    std::string text = value.get_ref<const std::string&>();
    if (startsWith(text, "geo:"))
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

} // namespace

// A record of the older Records.json: E7 degrees and a time.
bool takeGoogleRecord(const json& object, JsonPoints& points)
{
    points.out.noteFormat(format);
    const std::string at = points.next();
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
            time = wholeMilliseconds(value);
        else if (ms->is_number())
            time = wholeMilliseconds(ms->get<double>());
    }
    if (!time)
        return points.out.skip("no time", at), true;
    fix.time = *time;
    jsonNumber(object, "accuracy", fix.accuracy);
    jsonNumber(object, "altitude", fix.altitude);
    points.out.add(fix, at);
    return true;
}

bool takeGooglePoint(const json& latLng, const json& time, const json* details, JsonPoints& points)
{
    points.out.noteFormat(format);
    const std::string at = points.next();
    Fix fix;
    fix.accuracy = 10;
    const auto moment = jsonTime(time);
    if (!latLngText(latLng, fix))
        return points.out.skip("coordinates that cannot be read", at), true;
    if (!moment)
        return points.out.skip("no time", at), true;
    fix.time = *moment;
    if (details) {
        jsonNumber(*details, "accuracyMeters", fix.accuracy);
        jsonNumber(*details, "altitudeMeters", fix.altitude);
    }
    points.out.add(fix, at);
    return true;
}

// The older on-device export: path points as minutes after the segment's start.
bool takeGooglePath(const json& object, JsonPoints& points)
{
    const auto start = jsonTime(object.at("startTime"));
    const json& path = object.at("timelinePath");
    if (!path.is_array())
        return false;
    points.out.noteFormat(format);
    for (const json& entry : path) {
        const std::string at = points.next();
        Fix fix;
        fix.accuracy = 10;
        double minutes = 0;
        if (!entry.is_object() || !entry.contains("point") || !latLngText(entry.at("point"), fix)) {
            points.out.skip("coordinates that cannot be read", at);
            continue;
        }
        const auto offset = start && jsonNumber(entry, "durationMinutesOffsetFromStartTime", minutes)
            ? wholeMilliseconds(minutes * 60000)
            : std::nullopt;
        if (!offset) {
            points.out.skip("no time", at);
            continue;
        }
        fix.time = *start + *offset; // both within 10^16 ms either way
        points.out.add(fix, at);
    }
    return true;
}

} // namespace service::tracks
