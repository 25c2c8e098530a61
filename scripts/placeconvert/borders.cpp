#include "borders.h"

#include "service/zoneblob.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <map>
#include <stdexcept>
#include <utility>

namespace placeconvert {

namespace {

namespace blob = service::zoneblob;
using zoneconvert::Segment;

constexpr double metresPerDegree = 111195.0; // on a sphere of the earth's mean radius
constexpr double radiansPerDegree = M_PI / 180;

// Reads the features' codes and rings as the parser goes, without the
// document in memory. A ring is an array of point arrays; the first ring of
// each array of rings is an outer one.
class Reader : public nlohmann::json::json_sax_t {
public:
    std::vector<Territory> territories;

    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t value) override { return number(double(value)); }
    bool number_unsigned(number_unsigned_t value) override { return number(double(value)); }
    bool number_float(number_float_t value, const string_t&) override { return number(value); }
    bool binary(binary_t&) override { return true; }

    bool string(string_t& value) override
    {
        if (containers_.size() == 4 && key_ == "A3" && inFeature())
            territories.back().code = value;
        return true;
    }

    bool key(string_t& value) override
    {
        key_ = value;
        return true;
    }

    bool start_object(std::size_t) override
    {
        if (containers_.size() == 2 && containers_[1] == '[') // a feature of "features"
            territories.emplace_back();
        containers_.push_back('{');
        return true;
    }

    bool end_object() override
    {
        containers_.pop_back();
        if (containers_.size() == 2 && !territories.empty() && territories.back().code.empty())
            throw std::runtime_error("a feature without an \"A3\" code");
        return true;
    }

    bool start_array(std::size_t) override
    {
        if (coordinatesDepth_ == 0 && key_ == "coordinates" && inFeature()) {
            coordinatesDepth_ = containers_.size() + 1;
            arrays_.clear();
        } else if (coordinatesDepth_ != 0) {
            if (!arrays_.empty())
                ++arrays_.back().children;
            if (arrays_.size() > 8)
                throw std::runtime_error("coordinates nested too deeply");
        }
        if (coordinatesDepth_ != 0)
            arrays_.push_back({});
        containers_.push_back('[');
        return true;
    }

    bool end_array() override
    {
        containers_.pop_back();
        if (coordinatesDepth_ == 0)
            return true;
        const Array done = arrays_.back();
        arrays_.pop_back();
        if (done.numbers > 0) {
            if (done.numbers != 2 || done.children != 0)
                throw std::runtime_error("a position that is not two numbers");
            ring_.push_back(point_);
        } else if (!ring_.empty()) {
            closeRing(arrays_.empty() ? 0 : arrays_.back().children);
        }
        if (containers_.size() < coordinatesDepth_)
            coordinatesDepth_ = 0;
        return true;
    }

    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& error) override
    {
        throw std::runtime_error("GeoJSON at byte " + std::to_string(position) + ": " + error.what());
    }

private:
    struct Array {
        size_t numbers = 0, children = 0;
    };

    bool inFeature() const { return containers_.size() >= 3 && !territories.empty(); }

    bool number(double value)
    {
        if (coordinatesDepth_ == 0)
            return true;
        Array& array = arrays_.back();
        const double limit = array.numbers == 0 ? 180 : 90;
        if (!std::isfinite(value) || std::abs(value) > limit || array.numbers >= 2)
            throw std::runtime_error("a position beyond 180 degrees or the poles");
        const auto units = int32_t(std::llround(value * 1e6));
        (array.numbers == 0 ? point_.x : point_.y) = units;
        ++array.numbers;
        return true;
    }

    // The ring just read, the `index`th of its polygon (counting from 1).
    void closeRing(size_t index)
    {
        if (ring_.size() > 1 && ring_.front().x == ring_.back().x && ring_.front().y == ring_.back().y)
            ring_.pop_back();
        Territory& territory = territories.back();
        territory.pointsRead += ring_.size();
        if (ring_.size() >= 3)
            territory.rings.push_back({ std::move(ring_), index == 1 });
        ring_.clear();
    }

    std::vector<char> containers_;
    std::string key_;
    size_t coordinatesDepth_ = 0; // of the "coordinates" array, while within it
    std::vector<Array> arrays_;   // within the coordinates
    Point point_ {};
    std::vector<Point> ring_;
};

// The distance of p from the line through a and b, in metres, on a plane
// that keeps lengths true around p.
double offLine(const Point& p, const Point& a, const Point& b)
{
    const double scale = std::cos(p.y * 1e-6 * radiansPerDegree);
    const double ax = (a.x - p.x) * scale, ay = a.y - p.y;
    const double bx = (b.x - p.x) * scale, by = b.y - p.y;
    const double dx = bx - ax, dy = by - ay;
    const double length = std::hypot(dx, dy);
    const double units = length == 0 ? std::hypot(ax, ay) : std::abs(ax * by - ay * bx) / length;
    return units * 1e-6 * metresPerDegree;
}

void simplifyRing(std::vector<Point>& ring, double metres)
{
    const size_t n = ring.size();
    if (n < 4)
        return;
    std::vector<bool> keep(n, false);
    // The ring closes on its first point; its second anchor is the point farthest from it.
    size_t far = 1;
    double farthest = -1;
    for (size_t i = 1; i < n; ++i) {
        const double d = std::hypot(double(ring[i].x - ring[0].x), double(ring[i].y - ring[0].y));
        if (d > farthest)
            farthest = d, far = i;
    }
    keep[0] = keep[far] = true;
    std::vector<std::pair<size_t, size_t>> spans { { 0, far }, { far, n } }; // n stands for point 0
    while (!spans.empty()) {
        const auto [from, to] = spans.back();
        spans.pop_back();
        const Point& a = ring[from];
        const Point& b = ring[to % n];
        size_t worst = 0;
        double worstDistance = metres;
        for (size_t i = from + 1; i < to; ++i) {
            const double d = offLine(ring[i], a, b);
            if (d > worstDistance)
                worstDistance = d, worst = i;
        }
        if (worst != 0) {
            keep[worst] = true;
            spans.push_back({ from, worst });
            spans.push_back({ worst, to });
        }
    }
    size_t kept = 0;
    for (size_t i = 0; i < n; ++i)
        if (keep[i])
            ring[kept++] = ring[i];
    ring.resize(kept);
}

double ringAreaKm2(const std::vector<Point>& ring)
{
    double sum = 0;
    for (size_t i = 0; i < ring.size(); ++i) {
        const Point& a = ring[i];
        const Point& b = ring[(i + 1) % ring.size()];
        const double scale = std::cos((a.y + b.y) * 0.5e-6 * radiansPerDegree);
        sum += (double(a.x) - b.x) * scale * (double(a.y) + b.y) * 0.5;
    }
    const double kmPerUnit = 1e-6 * metresPerDegree / 1000;
    return std::abs(sum) * kmPerUnit * kmPerUnit;
}

struct Box {
    int32_t west = INT32_MAX, south = INT32_MAX, east = INT32_MIN, north = INT32_MIN;
    bool holds(const Point& p) const { return p.x >= west && p.x <= east && p.y >= south && p.y <= north; }
};

Box boxOf(const std::vector<Point>& ring)
{
    Box box;
    for (const Point& p : ring) {
        box.west = std::min(box.west, p.x);
        box.east = std::max(box.east, p.x);
        box.south = std::min(box.south, p.y);
        box.north = std::max(box.north, p.y);
    }
    return box;
}

// Whether p lies inside the ring (even-odd; on its edge, either).
bool inside(const Point& p, const std::vector<Point>& ring)
{
    bool in = false;
    for (size_t i = 0, j = ring.size() - 1; i < ring.size(); j = i++) {
        const Point& a = ring[i];
        const Point& b = ring[j];
        if ((a.y > p.y) != (b.y > p.y)
            && (double(p.x - a.x) * double(b.y - a.y) < double(b.x - a.x) * double(p.y - a.y)) == (b.y > a.y))
            in = !in;
    }
    return in;
}

} // namespace

size_t fillLakes(std::vector<Territory>& territories)
{
    // The outer rings of every territory, by the degree square of their first point.
    const auto square = [](const Point& p) { return std::make_pair(p.x / 1000000, p.y / 1000000); };
    std::map<std::pair<int32_t, int32_t>, std::vector<std::pair<size_t, const Ring*>>> outers;
    for (size_t t = 0; t < territories.size(); ++t)
        for (const Ring& ring : territories[t].rings)
            if (ring.outer)
                outers[square(ring.points.front())].push_back({ t, &ring });
    std::vector<std::vector<bool>> keep(territories.size());
    for (size_t t = 0; t < territories.size(); ++t)
        for (const Ring& hole : territories[t].rings) {
            bool enclave = false;
            if (!hole.outer) {
                const Box box = boxOf(hole.points);
                const auto [west, south] = square({ box.west, box.south });
                const auto [east, north] = square({ box.east, box.north });
                for (int32_t x = west; x <= east && !enclave; ++x)
                    for (int32_t y = south; y <= north && !enclave; ++y) {
                        const auto found = outers.find({ x, y });
                        if (found != outers.end())
                            for (const auto& [other, ring] : found->second)
                                enclave |= other != t && box.holds(ring->points.front())
                                    && std::any_of(ring->points.begin(), ring->points.end(),
                                                   [&](const Point& p) { return inside(p, hole.points); });
                    }
            }
            keep[t].push_back(hole.outer || enclave);
        }
    size_t filled = 0;
    for (size_t t = 0; t < territories.size(); ++t) {
        std::vector<Ring> kept;
        for (size_t r = 0; r < territories[t].rings.size(); ++r)
            if (keep[t][r])
                kept.push_back(std::move(territories[t].rings[r]));
            else
                ++filled;
        territories[t].rings = std::move(kept);
    }
    return filled;
}

std::vector<Territory> readTerritories(const std::vector<uint8_t>& text)
{
    Reader reader;
    nlohmann::json::sax_parse(text.begin(), text.end(), &reader);
    return std::move(reader.territories);
}

void simplify(Territory& territory, double metres)
{
    for (Ring& ring : territory.rings)
        simplifyRing(ring.points, metres);
    territory.rings.erase(std::remove_if(territory.rings.begin(), territory.rings.end(),
                                         [](const Ring& ring) { return ring.points.size() < 3; }),
                          territory.rings.end());
}

double areaKm2(const Territory& territory)
{
    double area = 0;
    for (const Ring& ring : territory.rings)
        area += ring.outer ? ringAreaKm2(ring.points) : -ringAreaKm2(ring.points);
    return area;
}

void addSegments(const Territory& territory, uint16_t zone, int32_t southernmost, std::vector<Segment>& segments)
{
    const auto add = [&](Point a, Point b) {
        if (a.y == b.y)
            return; // crossed on no row
        if (a.y > b.y)
            std::swap(a, b);
        segments.push_back({ int32_t(a.x + blob::xOffset), int32_t(a.y + blob::yOffset), int32_t(b.x + blob::xOffset),
                             int32_t(b.y + blob::yOffset), zone });
    };
    // The top of the land's edge along the projection's southern edge, if it has one.
    constexpr int32_t edge = 10000; // a hundredth of a degree
    int32_t capTop = INT32_MIN;
    for (const Ring& ring : territory.rings)
        for (size_t i = 0; i < ring.points.size(); ++i) {
            const Point& a = ring.points[i];
            add(a, ring.points[(i + 1) % ring.points.size()]);
            if (a.y <= southernmost + edge)
                capTop = std::max(capTop, a.y);
        }
    if (capTop != INT32_MIN && southernmost < -85 * blob::unitsPerDegree) {
        const auto degrees = int32_t(blob::unitsPerDegree);
        add({ -180 * degrees, -90 * degrees }, { -180 * degrees, capTop });
        add({ 180 * degrees, -90 * degrees }, { 180 * degrees, capTop });
    }
}

void cancelSharedEdges(std::vector<Segment>& segments)
{
    std::map<std::pair<uint16_t, int32_t>, std::vector<int32_t>> upright; // the ends of the spans at x
    std::vector<Segment> kept;
    for (const Segment& s : segments) {
        if (s.xa == s.xb) {
            auto& ends = upright[{ s.zone, s.xa }];
            ends.push_back(s.ya);
            ends.push_back(s.yb);
        } else {
            kept.push_back(s);
        }
    }
    const auto key = [](const Segment& s) { return std::make_tuple(s.zone, s.xa, s.ya, s.xb, s.yb); };
    std::sort(kept.begin(), kept.end(), [&](const Segment& a, const Segment& b) { return key(a) < key(b); });
    segments.clear();
    for (size_t i = 0; i < kept.size(); ++i) {
        if (i + 1 < kept.size() && key(kept[i]) == key(kept[i + 1]))
            ++i;
        else
            segments.push_back(kept[i]);
    }
    // A point of x is inside an odd number of spans between the odd ends.
    for (auto& [at, ends] : upright)
        zoneconvert::appendOddSpans(segments, at.first, at.second, std::move(ends));
}

} // namespace placeconvert
