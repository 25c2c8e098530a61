#include "service/trackers.h"
#include "service/text.h"
#include "service/tzlookup.h"

#include "service/api.h"

#include <cctype>
#include <cmath>
#include <cstdlib>

namespace service {

using nlohmann::json;

namespace {

// Accuracy of a fix whose app sends none.
constexpr double unknownAccuracy = 10;

std::optional<double> parseNumber(const std::string& text)
{
    if (text.empty() || text.size() > 64)
        return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<double> jsonNumber(const json& object, const char* key)
{
    if (!object.is_object())
        return std::nullopt;
    const auto found = object.find(key);
    if (found == object.end() || !found->is_number())
        return std::nullopt;
    const double value = found->get<double>();
    return std::isfinite(value) ? std::optional<double>(value) : std::nullopt;
}

std::string jsonText(const json& object, const char* key)
{
    if (!object.is_object())
        return std::string();
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

// Query parameters followed by those of a form body; the first of a name counts.
std::map<std::string, std::string> formParameters(const TrackerRequest& request)
{
    std::map<std::string, std::string> values(request.query.begin(), request.query.end());
    size_t start = 0;
    const std::string& body = request.body;
    while (start < body.size()) {
        size_t end = body.find('&', start);
        if (end == std::string::npos)
            end = body.size();
        const std::string pair = body.substr(start, end - start);
        const size_t equals = pair.find('=');
        if (equals != std::string::npos)
            values.emplace(percentDecoded(pair.substr(0, equals), true), percentDecoded(pair.substr(equals + 1), true));
        start = end + 1;
    }
    return values;
}

std::string queryValue(const TrackerRequest& request, const char* key)
{
    const auto found = request.query.find(key);
    return found != request.query.end() ? found->second : std::string();
}

bool looksLikeJson(const std::string& body)
{
    const size_t first = body.find_first_not_of(" \t\r\n");
    return first != std::string::npos && (body[first] == '{' || body[first] == '[');
}

// Base64 (either alphabet, padding optional) as bytes; nothing when the text
// has other characters.
std::optional<std::string> decodeBase64(const std::string& text)
{
    std::string out;
    unsigned buffer = 0;
    int bits = 0;
    for (const char c : text) {
        int value;
        if (c >= 'A' && c <= 'Z')
            value = c - 'A';
        else if (c >= 'a' && c <= 'z')
            value = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            value = c - '0' + 52;
        else if (c == '+' || c == '-')
            value = 62;
        else if (c == '/' || c == '_')
            value = 63;
        else if (c == '=')
            break;
        else
            return std::nullopt;
        buffer = (buffer << 6) | static_cast<unsigned>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((buffer >> bits) & 0xff);
        }
    }
    return out;
}

// The credential of an "Authorization" header of this scheme, as sent;
// nothing when the header uses another scheme or its credential is no single
// token (anything after it, a space, a percent sign, a NUL).
std::optional<std::string> credential(const std::string& header, const std::string& scheme)
{
    if (header.size() <= scheme.size() + 1)
        return std::nullopt;
    for (size_t i = 0; i < scheme.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(header[i])) != scheme[i])
            return std::nullopt;
    if (header[scheme.size()] != ' ')
        return std::nullopt;
    const size_t start = header.find_first_not_of(' ', scheme.size());
    if (start == std::string::npos)
        return std::nullopt;
    const std::string token = header.substr(start);
    // token68: letters, digits and -._~+/ with '=' only at the end.
    const size_t padding = token.find_last_not_of('=');
    if (padding == std::string::npos
        || token.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~+/")
            <= padding)
        return std::nullopt;
    return token;
}

// OwnTracks' device key: the password of basic authentication, else the
// "token" parameter.
std::string ownTracksKey(const TrackerRequest& request)
{
    const auto basic = credential(request.authorization, "basic");
    const auto decoded = basic ? decodeBase64(*basic) : std::nullopt;
    const size_t colon = decoded ? decoded->find(':') : std::string::npos;
    const std::string key = colon != std::string::npos ? decoded->substr(colon + 1) : std::string();
    return key.empty() ? queryValue(request, "token") : key;
}

// A fix from the position members every protocol has.
Fix makeFix(int64_t time, double latitude, double longitude, std::optional<double> altitude,
            std::optional<double> accuracy)
{
    Fix fix;
    fix.time = time;
    fix.latitude = latitude;
    fix.longitude = longitude;
    fix.altitude = altitude.value_or(0);
    fix.accuracy = accuracy.value_or(unknownAccuracy);
    return fix;
}

// One location of Traccar Client's JSON: {"timestamp":..,"coords":{..}}.
std::optional<Fix> readTraccarLocation(const json& location, std::string* error)
{
    const json coords = location.is_object() ? location.value("coords", json()) : json();
    const auto latitude = jsonNumber(coords, "latitude");
    const auto longitude = jsonNumber(coords, "longitude");
    const auto time = parseTrackerTime(jsonText(location, "timestamp"));
    if (!latitude || !longitude || !time) {
        if (error)
            *error = "The location needs \"timestamp\" and \"coords\" with \"latitude\" and \"longitude\".";
        return std::nullopt;
    }
    return makeFix(*time, *latitude, *longitude, jsonNumber(coords, "altitude"), jsonNumber(coords, "accuracy"));
}

bool readTraccarJson(const TrackerRequest& request, TrackerMessage* message, std::string* error)
{
    const json body = parseRequest(request.body);
    message->key = jsonText(body, "device_id");
    if (message->key.empty())
        message->key = queryValue(request, "id");
    if (!body.is_object()) {
        if (error)
            *error = "The body is not a JSON object.";
        return false;
    }
    const json location = body.value("location", json());
    // The app's library may also deliver several locations at once.
    const json list = location.is_array() ? location : json::array({ location });
    for (const json& item : list) {
        auto fix = readTraccarLocation(item, error);
        if (!fix)
            return false;
        message->fixes.push_back(*fix);
    }
    return true;
}

} // namespace

std::optional<int64_t> parseTrackerTime(const std::string& text)
{
    if (text.empty() || text.size() > 64)
        return std::nullopt;
    if (text.find_first_not_of("0123456789.") == std::string::npos) {
        const auto number = parseNumber(text);
        if (!number || *number > 1e15)
            return std::nullopt;
        return static_cast<int64_t>(*number >= 1e11 ? *number : *number * 1000);
    }
    // "+0200" as Overland writes it becomes "+02:00".
    std::string iso = text;
    const size_t sign = iso.find_last_of("+-");
    if (sign != std::string::npos && sign > 10 && iso.size() == sign + 5
        && iso.find_first_not_of("0123456789", sign + 1) == std::string::npos)
        iso.insert(sign + 3, ":");
    return parseIsoTime(iso);
}

bool readOsmand(const TrackerRequest& request, TrackerMessage* message, std::string* error)
{
    if (looksLikeJson(request.body))
        return readTraccarJson(request, message, error);
    const auto values = formParameters(request);
    const auto value = [&values](const char* key) {
        const auto found = values.find(key);
        return found != values.end() ? found->second : std::string();
    };
    message->key = value("id");
    if (message->key.empty())
        message->key = value("deviceid");
    const auto latitude = parseNumber(value("lat"));
    const auto longitude = parseNumber(value("lon"));
    const auto time = parseTrackerTime(value("timestamp"));
    if (!latitude || !longitude || !time) {
        if (error)
            *error = "The request needs \"lat\", \"lon\" and \"timestamp\" (Unix seconds, Unix milliseconds "
                     "or ISO 8601).";
        return false;
    }
    // OsmAnd puts the horizontal accuracy in metres into "hdop".
    auto accuracy = parseNumber(value("accuracy"));
    if (!accuracy)
        accuracy = parseNumber(value("hdop"));
    message->fixes.push_back(makeFix(*time, *latitude, *longitude, parseNumber(value("altitude")), accuracy));
    return true;
}

bool readOwnTracks(const TrackerRequest& request, TrackerMessage* message, std::string* error)
{
    message->key = ownTracksKey(request);
    // An empty body stands for a deleted friend: nothing to store.
    if (request.body.find_first_not_of(" \t\r\n") == std::string::npos) {
        message->ignored = true;
        return true;
    }
    const json body = parseRequest(request.body);
    if (!body.is_object()) {
        if (error)
            *error = "The body is not a JSON object.";
        return false;
    }
    const std::string type = jsonText(body, "_type");
    if (type == "encrypted")
        message->unusable = "OwnTracks sends its positions encrypted; turn the encryption off.";
    if (type != "location") {
        message->ignored = true;
        return true;
    }
    const auto latitude = jsonNumber(body, "lat");
    const auto longitude = jsonNumber(body, "lon");
    const auto time = jsonNumber(body, "tst");
    if (!latitude || !longitude || !time || *time < 0 || *time > 1e12) {
        if (error)
            *error = "The location needs \"lat\", \"lon\" and \"tst\".";
        return false;
    }
    message->fixes.push_back(makeFix(static_cast<int64_t>(*time) * 1000, *latitude, *longitude,
                                     jsonNumber(body, "alt"), jsonNumber(body, "acc")));
    return true;
}

bool readOverland(const TrackerRequest& request, TrackerMessage* message, std::string* error)
{
    const auto bearer = credential(request.authorization, "bearer");
    message->key = bearer ? *bearer : queryValue(request, "token");
    const json body = parseRequest(request.body);
    const json locations = body.is_object() ? body.value("locations", json()) : json();
    if (!locations.is_array()) {
        if (error)
            *error = "The body needs \"locations\", an array of GeoJSON points.";
        return false;
    }
    for (const json& feature : locations) {
        const json geometry = feature.is_object() ? feature.value("geometry", json()) : json();
        const json properties = feature.is_object() ? feature.value("properties", json()) : json();
        const json coordinates = geometry.is_object() ? geometry.value("coordinates", json()) : json();
        const auto time = parseTrackerTime(jsonText(properties, "timestamp"));
        if (jsonText(geometry, "type") != "Point" || !coordinates.is_array() || coordinates.size() < 2
            || !coordinates[0].is_number() || !coordinates[1].is_number() || !time) {
            if (error)
                *error = "Every location must be a GeoJSON Point with \"properties.timestamp\".";
            return false;
        }
        message->fixes.push_back(makeFix(*time, coordinates[1].get<double>(), coordinates[0].get<double>(),
                                         jsonNumber(properties, "altitude"),
                                         jsonNumber(properties, "horizontal_accuracy")));
    }
    return true;
}

bool plausibleFix(const Fix& fix, int64_t now, std::string* error)
{
    const auto refuse = [error](std::string reason) {
        if (error)
            *error = std::move(reason);
        return false;
    };
    if (!std::isfinite(fix.latitude) || !std::isfinite(fix.longitude) || std::fabs(fix.latitude) > 90
        || std::fabs(fix.longitude) > 180 || (fix.latitude == 0 && fix.longitude == 0))
        return refuse("impossible coordinates");
    if (std::string invalid; !validFixTime(fix.time, now, &invalid))
        return refuse(invalid);
    if (!std::isfinite(fix.accuracy) || fix.accuracy < 0)
        return refuse("no valid position (negative accuracy)");
    if (fix.accuracy > maxAccuracyMetres)
        return refuse("an accuracy worse than 1 km (" + std::to_string(std::lround(fix.accuracy)) + " m)");
    if (std::string invalid; !validFix(fix, now, &invalid))
        return refuse(invalid);
    return true;
}

TrackerIntake::TrackerIntake(Store& store, std::function<int64_t()> clock)
    : store_(store), clock_(std::move(clock))
{
}

std::optional<User> TrackerIntake::phone(const std::string& key, int* status, std::string* error) const
{
    if (key.empty()) {
        *status = 401;
        *error = "The request carries no device key.";
        return std::nullopt;
    }
    auto user = store_.userByDeviceKey(key);
    if (!user) {
        *status = 403;
        *error = "Unknown device key.";
    }
    return user;
}

Intake TrackerIntake::refuseUnreadable(const std::string& key, const std::string& reason) const
{
    Intake intake;
    if (phone(key, &intake.status, &intake.reason)) {
        intake.status = 400;
        intake.reason = reason;
    }
    return intake;
}

Intake TrackerIntake::take(const TrackerMessage& message)
{
    Intake intake;
    const auto user = phone(message.key, &intake.status, &intake.reason);
    if (!user)
        return intake;
    const int64_t now = clock_();
    if (!message.unusable.empty()) {
        ++intake.refused;
        intake.reason = message.unusable;
    }
    std::vector<Fix> good;
    for (Fix fix : message.fixes) {
        fix.zoneId = zoneAt(fix.latitude, fix.longitude);
        std::string problem;
        if (!plausibleFix(fix, now, &problem)) {
            ++intake.refused;
            if (intake.reason.empty())
                intake.reason = "Fix refused: " + problem + ".";
            continue;
        }
        good.push_back(std::move(fix));
    }
    // Counting is for the phone page's figures: a failure to count loses no fix.
    if (intake.refused > 0)
        store_.addRefusals(user->id, now, intake.refused, intake.reason);
    if (good.empty())
        return intake;
    const auto added = store_.addNewFixes(user->id, good);
    if (!added) {
        intake.status = 500;
        intake.reason = "The fixes could not be stored.";
        return intake;
    }
    intake.stored = *added;
    intake.duplicates = static_cast<int64_t>(good.size()) - *added;
    return intake;
}

} // namespace service
