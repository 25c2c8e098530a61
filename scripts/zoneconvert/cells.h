#pragma once

// What the tree builder hands from a cell to its children and leaves.

#include "zonetree.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace zoneconvert {

inline int64_t floorDiv(int64_t a, int64_t b)
{
    int64_t q = a / b;
    if (a % b != 0 && (a < 0) != (b < 0))
        --q;
    return q;
}

inline int64_t ceilDiv(int64_t a, int64_t b)
{
    return -floorDiv(-a, b);
}

// Rows are whole y values; a segment is crossed on rows [ya, yb).
struct Rows {
    int64_t lo, hi;
    bool empty() const { return lo >= hi; }
};

// The rows of `within` on which the segment's x lies in [x0, x1): one run,
// as the segment's x is monotonic in y.
Rows rowsBetween(const Segment& s, int64_t x0, int64_t x1, Rows within);

// A segment's part in a cell: the rows on which its x lies in the cell.
struct Item {
    uint32_t segment;
    int32_t lo, hi;
};

// Where the boundaries east of a cell put its east edge in and out of each
// zone: the edge's point on a row is in a zone when the zone has an odd
// number of toggles at or below the row.
struct Toggle {
    uint16_t zone;
    int32_t row;
    bool operator<(const Toggle& o) const { return zone != o.zone ? zone < o.zone : row < o.row; }
    bool operator==(const Toggle& o) const { return zone == o.zone && row == o.row; }
};
using Toggles = std::vector<Toggle>;

// A square cell of the tree, 2^shift units wide.
struct Cell {
    int64_t x0, y0;
    int shift;
    int64_t size() const { return int64_t(1) << shift; }
};

// Writes the leaf of a cell whose zones are those of its items and toggles
// (the zones that may answer there) and, where none of them does, fallback;
// or tells why it cannot be one.
class LeafMaker {
public:
    LeafMaker(const std::vector<Segment>& segments, const Cell& cell, const std::vector<Item>& items,
              const Toggles& toggles, uint32_t fallback);

    // False when a part's sides differ between its ends (boundaries of
    // overlapping zones cross on it): a smaller cell separates them.
    bool label();
    // Segments and runs the leaf holds.
    size_t size() const { return boundary_.size() + runs_.size(); }
    // Whether one zone answers everywhere in the cell, after all.
    bool uniform() const { return boundary_.empty() && runs_.size() == 1; }
    uint32_t firstZone() const { return runs_.front().second; }
    // Appends the leaf in words of int16_t (a narrow leaf) or int32_t (a
    // wide one); returns the number of chains.
    template <typename Word>
    size_t write(std::vector<Word>& out) const;

private:
    struct Sides {
        uint32_t west, east;
    };
    Sides sidesOn(size_t item, int64_t row) const;
    uint32_t winner(const std::vector<bool>& inside) const;
    void makeRuns();

    const std::vector<Segment>& segments_;
    const Cell cell_;
    const std::vector<Item>& items_;
    const Toggles& toggles_;
    const uint32_t fallback_;
    std::vector<uint16_t> zones_; // of the items and toggles, ascending
    std::vector<std::pair<size_t, Sides>> boundary_; // items between two zones, and the zones
    std::vector<std::pair<int64_t, uint32_t>> runs_; // the east edge: first row and zone
};

} // namespace zoneconvert
