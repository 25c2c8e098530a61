#include "cells.h"

#include "service/zoneblob.h"

#include <limits>
#include <stdexcept>

namespace zoneconvert {

namespace {

using service::zoneblob::seaZone;
using service::zoneblob::seaZone16;

// Which of two segments lies further west just above a row: -1, 0 or 1.
// Their x on the row decide, and where that is the same, their slopes.
int compareAbove(const Segment& a, const Segment& b, int64_t row)
{
    const int64_t dxa = int64_t(a.xb) - a.xa, dya = int64_t(a.yb) - a.ya;
    const int64_t dxb = int64_t(b.xb) - b.xa, dyb = int64_t(b.yb) - b.ya;
    const __int128 xa = (__int128(a.xa) * dya + __int128(row - a.ya) * dxa) * dyb;
    const __int128 xb = (__int128(b.xa) * dyb + __int128(row - b.ya) * dxb) * dya;
    if (xa != xb)
        return xa < xb ? -1 : 1;
    const int64_t slopeA = dxa * dyb, slopeB = dxb * dya;
    return slopeA < slopeB ? -1 : slopeA > slopeB ? 1 : 0;
}

// The segment's x on a row, to the nearest unit.
int64_t xNearest(const Segment& s, int64_t row)
{
    const int64_t dy = int64_t(s.yb) - s.ya;
    return s.xa + floorDiv(2 * (row - s.ya) * (int64_t(s.xb) - s.xa) + dy, 2 * dy);
}

template <typename Word>
Word word(uint32_t zone)
{
    return Word(uint16_t(zone == seaZone ? seaZone16 : zone));
}

struct Point {
    int32_t x, y;
    bool operator==(const Point& o) const { return x == o.x && y == o.y; }
};

struct Chain {
    uint32_t left, right; // the zones beside it, in the direction of its points
    std::vector<Point> points;
};

// Puts the part from p to q, with the zones on its left and right, at the end
// of the chain if it starts on the chain's last row (or, the chain turned
// round, on its first): a level step between them is crossed on no row.
bool extend(Chain& chain, Point p, Point q, uint32_t left, uint32_t right)
{
    for (int turn = 0; turn < 2; ++turn) {
        const Point last = chain.points.back();
        if (last.y == p.y && chain.left == left && chain.right == right) {
            if (!(last == p))
                chain.points.push_back(p);
            chain.points.push_back(q);
            return true;
        }
        if (last.y == q.y && chain.left == right && chain.right == left) {
            if (!(last == q))
                chain.points.push_back(q);
            chain.points.push_back(p);
            return true;
        }
        if (turn == 0) {
            const Point first = chain.points.front();
            if (first.y != p.y && first.y != q.y)
                return false;
            std::reverse(chain.points.begin(), chain.points.end());
            std::swap(chain.left, chain.right);
        }
    }
    // Turned round for nothing: as it was.
    std::reverse(chain.points.begin(), chain.points.end());
    std::swap(chain.left, chain.right);
    return false;
}

} // namespace

LeafMaker::LeafMaker(const std::vector<Segment>& segments, const Cell& cell, const std::vector<Item>& items,
                     const Toggles& toggles, uint32_t fallback)
    : segments_(segments), cell_(cell), items_(items), toggles_(toggles), fallback_(fallback)
{
    for (const Item& item : items_)
        zones_.push_back(segments_[item.segment].zone);
    for (const Toggle& toggle : toggles_)
        zones_.push_back(toggle.zone);
    std::sort(zones_.begin(), zones_.end());
    zones_.erase(std::unique(zones_.begin(), zones_.end()), zones_.end());
}

uint32_t LeafMaker::winner(const std::vector<bool>& inside) const
{
    for (size_t i = 0; i < zones_.size(); ++i)
        if (inside[i])
            return zones_[i];
    return fallback_;
}

// The zones just west and just east of an item's segment, just above a row.
LeafMaker::Sides LeafMaker::sidesOn(size_t item, int64_t row) const
{
    std::vector<bool> west(zones_.size(), false);
    for (const Toggle& toggle : toggles_)
        if (toggle.row <= row) {
            const size_t at = size_t(std::lower_bound(zones_.begin(), zones_.end(), toggle.zone) - zones_.begin());
            west[at] = !west[at];
        }
    std::vector<bool> east = west;
    const Segment& mine = segments_[items_[item].segment];
    for (const Item& other : items_) {
        if (other.lo > row || other.hi <= row)
            continue;
        const Segment& segment = segments_[other.segment];
        const int order = compareAbove(segment, mine, row);
        const size_t at = size_t(std::lower_bound(zones_.begin(), zones_.end(), segment.zone) - zones_.begin());
        if (order >= 0)
            west[at] = !west[at];
        if (order > 0)
            east[at] = !east[at];
    }
    return { winner(west), winner(east) };
}

bool LeafMaker::label()
{
    bool consistent = true;
    for (size_t i = 0; i < items_.size(); ++i) {
        const Sides low = sidesOn(i, items_[i].lo);
        const Sides high = sidesOn(i, items_[i].hi - 1);
        consistent &= low.west == high.west && low.east == high.east;
        if (low.west == low.east)
            continue; // inside one zone's area: no boundary of the answer
        // The same segment of two zones (their common border) is kept once.
        const Segment& s = segments_[items_[i].segment];
        const bool seen = std::any_of(boundary_.begin(), boundary_.end(), [&](const auto& kept) {
            const Segment& k = segments_[items_[kept.first].segment];
            return k.xa == s.xa && k.ya == s.ya && k.xb == s.xb && k.yb == s.yb && items_[kept.first].lo == items_[i].lo
                && items_[kept.first].hi == items_[i].hi;
        });
        if (!seen)
            boundary_.push_back({ i, low });
    }
    makeRuns();
    return consistent;
}

// The zones along the east edge, from the toggles of the east.
void LeafMaker::makeRuns()
{
    std::vector<int64_t> starts { cell_.y0 };
    for (const Toggle& toggle : toggles_)
        starts.push_back(toggle.row);
    std::sort(starts.begin(), starts.end());
    starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
    for (int64_t row : starts) {
        std::vector<bool> inside(zones_.size(), false);
        for (const Toggle& toggle : toggles_)
            if (toggle.row <= row) {
                const size_t at = size_t(std::lower_bound(zones_.begin(), zones_.end(), toggle.zone) - zones_.begin());
                inside[at] = !inside[at];
            }
        const uint32_t zone = winner(inside);
        if (runs_.empty() || runs_.back().second != zone)
            runs_.push_back({ row, zone });
    }
}

template <typename Word>
size_t LeafMaker::write(std::vector<Word>& out) const
{
    constexpr int64_t least = std::numeric_limits<Word>::min(), most = std::numeric_limits<Word>::max();
    out.push_back(Word(runs_.size()));
    for (const auto& [row, zone] : runs_) {
        out.push_back(Word(row - cell_.y0));
        out.push_back(word<Word>(zone));
    }
    std::vector<Chain> chains;
    const auto local = [&](int64_t value) { return int32_t(std::clamp(value, least, most)); };
    for (const auto& [at, sides] : boundary_) {
        const Item& item = items_[at];
        const Segment& s = segments_[item.segment];
        // From its lowest to its highest row: the west is on its left.
        const Point p { local(xNearest(s, item.lo) - cell_.x0), local(item.lo - cell_.y0) };
        const Point q { local(xNearest(s, item.hi) - cell_.x0), local(item.hi - cell_.y0) };
        if (chains.empty() || !extend(chains.back(), p, q, sides.west, sides.east))
            chains.push_back({ sides.west, sides.east, { p, q } });
    }
    if (int64_t(chains.size()) > most)
        throw std::runtime_error("too many chains in one leaf");
    out.push_back(Word(chains.size()));
    for (const Chain& chain : chains) {
        if (int64_t(chain.points.size()) > most)
            throw std::runtime_error("a chain of too many points in one leaf");
        out.push_back(word<Word>(chain.left));
        out.push_back(word<Word>(chain.right));
        out.push_back(Word(chain.points.size()));
        for (const Point& point : chain.points) {
            out.push_back(Word(point.x));
            out.push_back(Word(point.y));
        }
    }
    return chains.size();
}

template size_t LeafMaker::write(std::vector<int16_t>& out) const;
template size_t LeafMaker::write(std::vector<int32_t>& out) const;

} // namespace zoneconvert
