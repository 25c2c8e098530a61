#pragma once

// Builds the grid and trees of service/zoneblob.h from the zones' boundary
// segments.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zoneconvert {

// A boundary segment of a zone, in the units of service/zoneblob.h, its
// lower end first (ya < yb). A position lies in a zone when a ray from it
// towards growing x crosses an odd number of the zone's segments.
struct Segment {
    int32_t xa, ya, xb, yb;
    uint16_t zone;
};

struct ZoneTree {
    uint32_t columns = 0, rows = 0;
    std::vector<uint32_t> grid;
    std::vector<uint32_t> nodes;
    std::vector<int16_t> leaves;
    std::vector<int32_t> wideLeaves;
    // What it took, for the converter's summary.
    size_t leafCount = 0, wideLeafCount = 0, chainCount = 0, largestLeaf = 0;
};

// Zone numbers are their ranks: where zones overlap the lowest wins. Cells
// are split no smaller than 2^minShift units: where the boundaries of
// overlapping zones cross in a cell that small, which of them answers near
// the crossing is taken from one end of its parts.
ZoneTree buildZoneTree(const std::vector<Segment>& segments, int minShift = 4);

// Appends the upright segments of `zone` at x that the spans between `ends`
// (two per span, in any order) cover an odd number of times: where spans
// overlap an even number of times, such as the shared edges of neighbouring
// quads, they cancel out.
void appendOddSpans(std::vector<Segment>& segments, uint16_t zone, int32_t x, std::vector<int32_t> ends);

} // namespace zoneconvert
