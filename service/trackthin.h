#pragma once

// Thinning a recorded track to a number of points a map can draw, keeping the
// line's shape. Pure functions on positions in memory; the getTrack request
// (service/desktopapi.h) reads the positions and answers the points kept.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace service {

// A position of a track as getTrack hands it out: its moment and its degrees
// to six places, the most the answer writes.
struct TrackPoint {
    int64_t time = 0;      // UTC ms
    int32_t latitude = 0;  // micro-degrees, -90000000 to 90000000
    int32_t longitude = 0; // micro-degrees, -180000000 to 180000000
};

// The mean radius of the earth in metres, the scale of every distance here.
constexpr double earthRadiusMetres = 6371008.8;

// The distance in metres of `point` from the segment from `a` to `b`, on a
// flat map around the segment: north is latitude, east is longitude the short
// way round from `a` (across the antimeridian when that is shorter) times the
// cosine of the mean latitude of `a` and `b`. A segment of length zero is the
// point `a`. Any two points have a finite distance.
double segmentDistance(const TrackPoint& point, const TrackPoint& a, const TrackPoint& b);

// The points kept of a track and how far from their line the others are.
struct ThinnedTrack {
    std::vector<size_t> kept; // indices into the track, ascending; the first and the last always
    double tolerance = 0;     // metres: the largest segmentDistance of a point left out to the kept
                              // segment around it; 0 when every point left out lies on the line
};

// A track of more points is first cut into pieces of this many points (of
// more when there would be over maxPoints / 8 pieces), so that each point kept
// costs at most a piece's distances however the track winds.
constexpr size_t thinPieceLength = 4096;

// Keeps at most `maxPoints` (at least 2) of `track`, all of them when it has
// no more: Douglas-Peucker that always splits the segment whose farthest
// point is farthest, until `maxPoints` are kept or every point left out lies
// on the line. Each point left out is then within `tolerance` of the kept
// segment around it, and one of them is that far.
ThinnedTrack thinTrack(const std::vector<TrackPoint>& track, size_t maxPoints);

} // namespace service
