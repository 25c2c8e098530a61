#include "zonetree.h"

#include "cells.h"

#include "service/zoneblob.h"

#include <algorithm>
#include <map>
#include <stdexcept>

namespace zoneconvert {

namespace {

using namespace service::zoneblob;

// A leaf holds at most this many segments and runs, unless it is as small
// as a cell gets (the builder's minShift); cells up to 2^maxLeafShift wide are narrow
// leaves, wider ones wide leaves. Cells with more than three times as many
// parts are split without a look at which parts bound the answer.
constexpr size_t maxLeafSegments = 48;

// Sorts them; two toggles on one row undo each other.
void settle(Toggles& toggles)
{
    std::sort(toggles.begin(), toggles.end());
    size_t kept = 0;
    for (size_t i = 0; i < toggles.size();) {
        if (i + 1 < toggles.size() && toggles[i] == toggles[i + 1]) {
            i += 2;
        } else {
            toggles[kept++] = toggles[i++];
        }
    }
    toggles.resize(kept);
}

// The toggles of rows [lo, hi): those below lo become one on lo when odd.
Toggles restricted(const Toggles& toggles, int64_t lo, int64_t hi)
{
    Toggles out;
    for (size_t i = 0; i < toggles.size();) {
        const uint16_t zone = toggles[i].zone;
        bool inside = false;
        for (; i < toggles.size() && toggles[i].zone == zone && toggles[i].row <= lo; ++i)
            inside = !inside;
        if (inside)
            out.push_back({ zone, int32_t(lo) });
        for (; i < toggles.size() && toggles[i].zone == zone; ++i)
            if (toggles[i].row < hi)
                out.push_back(toggles[i]);
    }
    return out;
}

// What a cell holds of a zone.
struct ZoneState {
    size_t items = 0;
    size_t toggles = 0;
    bool insideAtStart = false;
    bool full() const { return items == 0 && toggles == 1 && insideAtStart; }
    size_t parts() const { return items + (toggles + 1) / 2; }
};

class Builder {
public:
    Builder(const std::vector<Segment>& segments, int minShift) : segments_(segments), minShift_(minShift) { }

    ZoneTree build();

private:
    uint32_t cell(const Cell& cell, std::vector<Item> items, Toggles toggles);
    uint32_t node(const Cell& cell, const std::vector<Item>& items, const Toggles& toggles);
    void split(const Cell& parent, int childShift, int64_t columns, int64_t rows, const std::vector<Item>& items,
               const Toggles& toggles, std::vector<std::vector<Item>>& childItems, std::vector<Toggles>& childToggles);

    const std::vector<Segment>& segments_;
    const int minShift_;
    ZoneTree tree_;
};

ZoneTree Builder::build()
{
    tree_.columns = gridColumns;
    tree_.rows = gridRows;
    const int64_t east = int64_t(gridColumns) << gridShift, north = int64_t(gridRows) << gridShift;
    // Segments on the grid's east edge are in no cell: they start the east
    // edges' toggles.
    std::vector<Item> items;
    Toggles beyond;
    items.reserve(segments_.size());
    for (size_t i = 0; i < segments_.size(); ++i) {
        const Segment& s = segments_[i];
        if (s.ya >= s.yb || s.ya < 0 || s.yb > north || std::min(s.xa, s.xb) < 0 || std::max(s.xa, s.xb) > east)
            throw std::runtime_error("a boundary segment lies outside the grid");
        if (s.xa == east && s.xb == east) {
            beyond.push_back({ s.zone, s.ya });
            beyond.push_back({ s.zone, s.yb });
        } else if (std::max(s.xa, s.xb) == east) {
            throw std::runtime_error("a slanting boundary segment reaches the grid's east edge");
        } else {
            items.push_back({ uint32_t(i), s.ya, s.yb });
        }
    }
    settle(beyond);
    std::vector<std::vector<Item>> childItems;
    std::vector<Toggles> childToggles;
    const int worldShift = 30;
    split({ 0, 0, worldShift }, gridShift, tree_.columns, tree_.rows, items, beyond, childItems, childToggles);
    items = {};
    tree_.grid.resize(childItems.size());
    for (size_t j = 0; j < tree_.rows; ++j)
        for (size_t i = 0; i < tree_.columns; ++i) {
            const size_t at = j * tree_.columns + i;
            const Cell square { int64_t(i) << gridShift, int64_t(j) << gridShift, gridShift };
            tree_.grid[at] = cell(square, std::move(childItems[at]), std::move(childToggles[at]));
            childItems[at] = {};
            childToggles[at] = {};
        }
    return std::move(tree_);
}

// Hands each part and the east edges' toggles to the children: a grid of
// columns x rows squares 2^childShift wide at the parent's corner.
void Builder::split(const Cell& parent, int childShift, int64_t columns, int64_t rows, const std::vector<Item>& items,
                    const Toggles& toggles, std::vector<std::vector<Item>>& childItems,
                    std::vector<Toggles>& childToggles)
{
    childItems.assign(size_t(columns * rows), {});
    childToggles.assign(size_t(columns * rows), {});
    const int64_t size = int64_t(1) << childShift, x0 = parent.x0, y0 = parent.y0;
    for (const Item& item : items) {
        const Segment& s = segments_[item.segment];
        for (int64_t j = (item.lo - y0) >> childShift; j <= (item.hi - 1 - y0) >> childShift && j < rows; ++j) {
            const Rows band { std::max<int64_t>(item.lo, y0 + j * size), std::min<int64_t>(item.hi, y0 + (j + 1) * size) };
            const int64_t dx = int64_t(s.xb) - s.xa, dy = int64_t(s.yb) - s.ya;
            const int64_t xlo = s.xa + floorDiv((band.lo - s.ya) * dx, dy);
            const int64_t xhi = s.xa + floorDiv((band.hi - 1 - s.ya) * dx, dy);
            const int64_t first = std::clamp<int64_t>((std::min(xlo, xhi) - x0) >> childShift, 0, columns - 1);
            const int64_t last = std::clamp<int64_t>((std::max(xlo, xhi) - x0) >> childShift, 0, columns - 1);
            for (int64_t i = first; i <= last; ++i) {
                const Rows part = rowsBetween(s, x0 + i * size, x0 + (i + 1) * size, band);
                if (!part.empty())
                    childItems[size_t(j * columns + i)].push_back({ item.segment, int32_t(part.lo), int32_t(part.hi) });
            }
        }
    }
    // A child's east edge: the parent's, and every part of the children east of it.
    for (int64_t j = 0; j < rows; ++j) {
        const int64_t lo = y0 + j * size, hi = lo + size;
        Toggles east = restricted(toggles, lo, hi);
        for (int64_t i = columns - 1; i >= 0; --i) {
            const size_t at = size_t(j * columns + i);
            childToggles[at] = east;
            for (const Item& item : childItems[at]) {
                east.push_back({ segments_[item.segment].zone, item.lo });
                if (item.hi < hi)
                    east.push_back({ segments_[item.segment].zone, item.hi });
            }
            if (!childItems[at].empty())
                settle(east);
        }
    }
}

// The entry of a cell: a zone, a leaf of the boundaries that cross it, or a
// node of smaller cells.
uint32_t Builder::cell(const Cell& cell, std::vector<Item> items, Toggles toggles)
{
    std::map<uint16_t, ZoneState> zones;
    for (const Item& item : items)
        ++zones[segments_[item.segment].zone].items;
    for (const Toggle& toggle : toggles) {
        ZoneState& state = zones[toggle.zone];
        ++state.toggles;
        state.insideAtStart |= toggle.row == cell.y0;
    }
    uint32_t best = seaZone;
    for (const auto& [zone, state] : zones)
        if (state.full()) {
            best = zone;
            break;
        }
    // Zones after the first that covers the whole cell never answer here.
    size_t parts = 0;
    for (const auto& [zone, state] : zones)
        if (zone < best)
            parts += state.parts();
    if (parts == 0)
        return kindZone | best;
    const auto unwanted = [&](uint16_t zone) { return zone > best; };
    items.erase(std::remove_if(items.begin(), items.end(),
                               [&](const Item& item) { return unwanted(segments_[item.segment].zone); }),
                items.end());
    toggles.erase(std::remove_if(toggles.begin(), toggles.end(), [&](const Toggle& t) { return unwanted(t.zone); }),
                  toggles.end());
    const bool narrow = cell.shift <= maxLeafShift;
    if (parts <= 3 * maxLeafSegments || cell.shift <= minShift_) {
        LeafMaker leaf(segments_, cell, items, toggles, best);
        const bool consistent = leaf.label();
        if (consistent && leaf.uniform())
            return kindZone | leaf.firstZone();
        if ((consistent && leaf.size() <= maxLeafSegments) || cell.shift <= minShift_) {
            const size_t start = narrow ? tree_.leaves.size() : tree_.wideLeaves.size();
            if (start >= valueMask)
                throw std::runtime_error("too many leaves");
            tree_.chainCount += narrow ? leaf.write(tree_.leaves) : leaf.write(tree_.wideLeaves);
            tree_.largestLeaf = std::max(tree_.largestLeaf, leaf.size());
            ++(narrow ? tree_.leafCount : tree_.wideLeafCount);
            return (narrow ? kindLeaf : kindWideLeaf) | uint32_t(start);
        }
    }
    return node(cell, items, toggles);
}

uint32_t Builder::node(const Cell& cell, const std::vector<Item>& items, const Toggles& toggles)
{
    std::vector<std::vector<Item>> childItems;
    std::vector<Toggles> childToggles;
    const int childShift = cell.shift - nodeBits;
    split(cell, childShift, 1 << nodeBits, 1 << nodeBits, items, toggles, childItems, childToggles);
    const size_t block = tree_.nodes.size() / nodeChildren;
    if (block >= valueMask)
        throw std::runtime_error("too many nodes");
    tree_.nodes.resize(tree_.nodes.size() + nodeChildren);
    for (size_t child = 0; child < size_t(nodeChildren); ++child) {
        const Cell square { cell.x0 + (int64_t(child & ((1 << nodeBits) - 1)) << childShift),
                            cell.y0 + (int64_t(child >> nodeBits) << childShift), childShift };
        const uint32_t entry = this->cell(square, std::move(childItems[child]), std::move(childToggles[child]));
        tree_.nodes[block * nodeChildren + child] = entry;
    }
    return kindNode | uint32_t(block);
}

} // namespace

Rows rowsBetween(const Segment& s, int64_t x0, int64_t x1, Rows within)
{
    Rows rows { std::max<int64_t>(within.lo, s.ya), std::min<int64_t>(within.hi, s.yb) };
    if (rows.empty())
        return { 0, 0 };
    const int64_t dx = int64_t(s.xb) - s.xa, dy = int64_t(s.yb) - s.ya;
    if (dx == 0)
        return s.xa >= x0 && s.xa < x1 ? rows : Rows { 0, 0 };
    // With t = y - ya the segment's x is xa + t * dx / dy:
    // x >= x0 <=> t * dx >= k0 and x < x1 <=> t * dx < k1.
    const int64_t k0 = (x0 - s.xa) * dy, k1 = (x1 - s.xa) * dy;
    int64_t tlo = rows.lo - s.ya, thi = rows.hi - s.ya;
    if (dx > 0) {
        tlo = std::max(tlo, ceilDiv(k0, dx));
        thi = std::min(thi, ceilDiv(k1, dx));
    } else {
        thi = std::min(thi, floorDiv(k0, dx) + 1);
        tlo = std::max(tlo, floorDiv(k1, dx) + 1);
    }
    if (tlo >= thi)
        return { 0, 0 };
    return { s.ya + tlo, s.ya + thi };
}

ZoneTree buildZoneTree(const std::vector<Segment>& segments, int minShift)
{
    return Builder(segments, minShift).build();
}


void appendOddSpans(std::vector<Segment>& segments, uint16_t zone, int32_t x, std::vector<int32_t> ends)
{
    std::sort(ends.begin(), ends.end());
    std::vector<int32_t> odd;
    for (size_t i = 0; i < ends.size(); ++i) {
        if (i + 1 < ends.size() && ends[i] == ends[i + 1])
            ++i;
        else
            odd.push_back(ends[i]);
    }
    for (size_t i = 0; i + 1 < odd.size(); i += 2)
        segments.push_back({ x, odd[i], x, odd[i + 1], zone });
}

} // namespace zoneconvert
