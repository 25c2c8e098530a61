#pragma once

// The layout of the time zone boundaries compiled into the service: written
// at build time by scripts/zoneconvert from the data of the npm package
// geo-tz, read in place by service/tzlookup.cpp. Numbers are little-endian.
//
// Positions are whole millionths of a degree, shifted to be positive:
// x = longitude * 10^6 + 180 * 10^6, y = latitude * 10^6 + 90 * 10^6.
//
// The world is a grid of square cells 2^gridShift units wide, column x >>
// gridShift, row y >> gridShift. Each cell is an entry; an entry is a zone,
// the sea, a node (the same square split in 2^nodeBits x 2^nodeBits
// children, child (y-part << nodeBits) | x-part) or a leaf (a square that
// boundaries cross): a narrow leaf of int16 words, at most 2^maxLeafShift
// wide, or a wide leaf of int32 words. Zones are numbered in the order of
// their names; where zones overlap, the first of them is the answer, and the
// data draws the boundaries of those answers alone.
//
// A leaf, in its words: the number of runs, the runs, the number of chains
// and the chains. Positions in a leaf are relative to its lower left corner;
// rows are whole y values. A run is its first row and the zone along the
// leaf's east edge from that row on (seaZone16 for the sea), the first run
// from row 0. A chain is the zone on its left and the zone on its right, in
// the direction of its points, its number of points and the points (x, y).
// A ray from a position (px, py) towards growing x crosses the chain's
// segment from (x0, y0) to (x1, y1) when py lies in [min(y0, y1), max(y0,
// y1)) and the segment's x at py is greater than px. The zone at a position
// is the one west of the first segment its ray crosses (where two are
// crossed at one x, the first is the one further west just above the row);
// when it crosses none, the zone of the run of its row.

#include <cstdint>

namespace service::zoneblob {

constexpr int64_t unitsPerDegree = 1000000;
constexpr int64_t xOffset = 180 * unitsPerDegree;
constexpr int64_t yOffset = 90 * unitsPerDegree;

// geo-tz answers within +-179.9999 and +-89.9999 degrees; a position beyond
// is taken as on the edge. Positions in that box: x in [westX, eastX), y in
// [southY, northY).
constexpr int64_t westX = xOffset - 179999900;
constexpr int64_t eastX = xOffset + 179999900;
constexpr int64_t southY = yOffset - 89999900;
constexpr int64_t northY = yOffset + 89999900;

constexpr int gridShift = 20;
constexpr uint32_t gridColumns = uint32_t((2 * xOffset + (1 << gridShift)) >> gridShift);
constexpr uint32_t gridRows = uint32_t((2 * yOffset + (1 << gridShift)) >> gridShift);
constexpr int nodeBits = 1;
constexpr int nodeChildren = 1 << (2 * nodeBits);
// Leaves are at most 2^maxLeafShift units wide, so that their points fit
// in int16 with room for the ends of segments that leave them.
constexpr int maxLeafShift = 14;

constexpr uint32_t kindMask = 3u << 30;
constexpr uint32_t valueMask = ~kindMask;
constexpr uint32_t kindZone = 0;
constexpr uint32_t kindNode = 1u << 30;
constexpr uint32_t kindLeaf = 2u << 30;
constexpr uint32_t kindWideLeaf = 3u << 30;
constexpr uint32_t seaZone = valueMask;
constexpr uint16_t seaZone16 = 0xffff;

constexpr char magic[8] = { 'K', 'Z', 'O', 'N', 'E', 'S', '1', '\0' };

struct Header {
    char magic[8];
    uint32_t zoneCount;
    uint32_t gridColumns;
    uint32_t gridRows;
    uint32_t namesOffset;  // zoneCount uint32 offsets of NUL-terminated names
    uint32_t gridOffset;   // gridColumns * gridRows entries, row by row
    uint32_t nodesOffset;  // nodeCount blocks of nodeChildren entries
    uint32_t nodeCount;
    uint32_t leavesOffset; // leafWords int16 words
    uint32_t leafWords;
    uint32_t wideLeavesOffset; // wideLeafWords int32 words
    uint32_t wideLeafWords;
    uint32_t totalBytes;
};

// Every section starts at a multiple of this.
constexpr uint32_t sectionAlignment = 64;

} // namespace service::zoneblob
