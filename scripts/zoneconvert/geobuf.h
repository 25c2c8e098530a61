#pragma once

// Reads the features of a geobuf-encoded FeatureCollection (the protobuf
// form of GeoJSON of the npm package geobuf 3): their "tzid" property and the
// rings of their Polygon and MultiPolygon geometries.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zoneconvert {

struct Point {
    int64_t x; // longitude in millionths of a degree
    int64_t y; // latitude in millionths of a degree
};

struct Feature {
    std::string tzid;
    // Every ring of every polygon, without the closing point (the last
    // point joins the first). Holes and outer rings alike: a position is in
    // the feature when an odd number of rings enclose it.
    std::vector<std::vector<Point>> rings;
};

// The features of one message; throws std::runtime_error saying what is
// wrong with a malformed one or one at another precision than 10^-6.
std::vector<Feature> decodeFeatures(const uint8_t* data, size_t size);

} // namespace zoneconvert
