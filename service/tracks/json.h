#pragma once

// What the readers of GeoJSON and of Google's location history share: the
// streaming JSON reading hands them one object at a time.

#include "service/tracks/reader.h"

#include <nlohmann/json.hpp>

#include <initializer_list>

namespace service::tracks {

// A time as a text (see parseTrackTime) or as Unix seconds or milliseconds.
std::optional<int64_t> jsonTime(const nlohmann::json& value);
// A member that is a number or a text holding one.
bool jsonNumber(const nlohmann::json& object, const char* key, double& value);
// The first of the keys that the object has, not null.
const nlohmann::json* member(const nlohmann::json& object, std::initializer_list<const char*> keys);

// The points of JSON objects, numbered as they come: "point 7".
struct JsonPoints {
    Collector& out;
    int64_t count = 0;

    std::string next() { return "point " + std::to_string(++count); }
};

// Each takes an object of its format and returns true when it was one (its
// points then were handed on or skipped).
bool takeGoogleRecord(const nlohmann::json& object, JsonPoints& points);
// A point of a timeline: its position as "lat, lng" text and its time; a raw
// signal (details) also gives accuracy and altitude.
bool takeGooglePoint(const nlohmann::json& latLng, const nlohmann::json& time, const nlohmann::json* details,
                     JsonPoints& points);
bool takeGooglePath(const nlohmann::json& object, JsonPoints& points);
bool takeGeoJsonFeature(const nlohmann::json& object, JsonPoints& points);

} // namespace service::tracks
