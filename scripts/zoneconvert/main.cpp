// Converts the time zone boundaries of the npm package geo-tz into the
// service's compiled-in form (service/zoneblob.h), at build time.
//
// Usage: kestrel-zoneconvert INDEX.json GEO.dat OUT.bin OUT.h
//   INDEX.json, GEO.dat  geo-tz's data/timezones-1970.geojson.index.json and .geo.dat
//   OUT.bin              the data, embedded in the service
//   OUT.h                its size and digest, included where it is embedded

#include "blobfile.h"
#include "geobuf.h"
#include "zonetree.h"

#include "service/zoneblob.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

using namespace zoneconvert;
namespace blob = service::zoneblob;

namespace {

// geo-tz's quadtree over the box of +-89.9999 and +-179.9999 degrees: each
// quad's children a (north-east), b (north-west), c (south-west), d
// (south-east). A child is missing (the sea), a list of zones covering all
// of it, or {pos, len}: features of the .geo.dat clipped to it.
class Reader {
public:
    Reader(const nlohmann::json& index, const std::vector<uint8_t>& features)
        : index_(index), features_(features)
    {
    }

    void read()
    {
        const nlohmann::json& names = index_.at("timezones");
        for (const nlohmann::json& name : names)
            listed_.push_back(name.get<std::string>());
        walk(index_.at("lookup"), 89.9999, -89.9999, -179.9999, 179.9999, 0, 0, 0);
    }

    std::vector<std::string> names; // by provisional number
    std::vector<Segment> sloped;    // with provisional zone numbers
    // Upright segments by (zone, x): their [ya, yb).
    std::map<std::pair<uint16_t, int32_t>, std::vector<std::pair<int32_t, int32_t>>> upright;

private:
    static int32_t micro(double degrees) { return int32_t(std::floor(degrees * 1e6 + 0.5)); } // as geobuf rounds

    uint16_t zoneNumber(const std::string& name)
    {
        const auto found = numbers_.find(name);
        if (found != numbers_.end())
            return found->second;
        if (names.size() >= blob::seaZone16)
            throw std::runtime_error("more zones than the data can number");
        names.push_back(name);
        return numbers_[name] = uint16_t(names.size() - 1);
    }

    void add(uint16_t zone, int64_t x0, int64_t y0, int64_t x1, int64_t y1)
    {
        x0 += blob::xOffset, x1 += blob::xOffset, y0 += blob::yOffset, y1 += blob::yOffset;
        if (y0 == y1)
            return; // never crossed
        if (y0 > y1) {
            std::swap(x0, x1);
            std::swap(y0, y1);
        }
        if (x0 == x1)
            upright[{ zone, int32_t(x0) }].push_back({ int32_t(y0), int32_t(y1) });
        else
            sloped.push_back({ int32_t(x0), int32_t(y0), int32_t(x1), int32_t(y1), zone });
    }

    void walk(const nlohmann::json& quad, double top, double bottom, double left, double right, double midLat,
              double midLon, int depth)
    {
        if (depth > 40)
            throw std::runtime_error("index: quadtree deeper than 40");
        const struct {
            const char* key;
            double top, bottom, left, right;
        } children[] = { { "a", top, midLat, midLon, right },
                         { "b", top, midLat, left, midLon },
                         { "c", midLat, bottom, left, midLon },
                         { "d", midLat, bottom, midLon, right } };
        for (const auto& child : children) {
            const auto found = quad.find(child.key);
            if (found == quad.end())
                continue;
            if (found->is_array())
                whole(*found, child.top, child.bottom, child.left, child.right);
            else if (found->contains("pos"))
                clipped(found->at("pos").get<uint64_t>(), found->at("len").get<uint64_t>());
            else if (found->is_object())
                walk(*found, child.top, child.bottom, child.left, child.right, (child.top + child.bottom) / 2,
                     (child.left + child.right) / 2, depth + 1);
            else
                throw std::runtime_error("index: a quad that is neither a list, a position nor a quadtree");
        }
    }

    void whole(const nlohmann::json& zones, double top, double bottom, double left, double right)
    {
        for (const nlohmann::json& number : zones) {
            const std::string& name = listed_.at(number.get<size_t>());
            if (name.compare(0, 4, "Etc/") == 0)
                continue;
            const uint16_t zone = zoneNumber(name);
            add(zone, micro(left), micro(bottom), micro(left), micro(top));
            add(zone, micro(right), micro(bottom), micro(right), micro(top));
        }
    }

    void clipped(uint64_t pos, uint64_t len)
    {
        if (pos > features_.size() || len > features_.size() - pos)
            throw std::runtime_error("index: features beyond the end of the .geo.dat");
        for (const Feature& feature : decodeFeatures(features_.data() + pos, size_t(len))) {
            if (feature.tzid.empty())
                throw std::runtime_error("geo.dat: a feature without a tzid");
            if (feature.tzid.compare(0, 4, "Etc/") == 0)
                continue;
            const uint16_t zone = zoneNumber(feature.tzid);
            for (const std::vector<Point>& ring : feature.rings)
                for (size_t i = 0; i < ring.size(); ++i) {
                    const Point& a = ring[i];
                    const Point& b = ring[(i + 1) % ring.size()];
                    if (std::max(std::abs(a.x), std::abs(b.x)) > 180 * blob::unitsPerDegree
                        || std::max(std::abs(a.y), std::abs(b.y)) > 90 * blob::unitsPerDegree)
                        throw std::runtime_error("geo.dat: a point beyond 180 degrees or the poles");
                    add(zone, a.x, a.y, b.x, b.y);
                }
        }
    }

    const nlohmann::json& index_;
    const std::vector<uint8_t>& features_;
    std::vector<std::string> listed_;
    std::map<std::string, uint16_t> numbers_;
};

// The service takes a position beyond geo-tz's box as on its edge, so the
// zones there may be drawn on beyond it as suits the tree: no ray from inside
// crosses the west edge, the rows south and north of it repeat its edge rows,
// and its east edge moves to the grid's, east of every cell.
void extendBeyondBox(Reader& reader)
{
    const int32_t gridEast = int32_t(blob::gridColumns) << blob::gridShift;
    const int32_t gridNorth = int32_t(blob::gridRows) << blob::gridShift;
    for (const Segment& s : reader.sloped) {
        if (s.ya <= blob::southY)
            reader.upright[{ s.zone, s.xa }].push_back({ 0, s.ya });
        if (s.yb >= blob::northY)
            reader.upright[{ s.zone, s.xb }].push_back({ s.yb, gridNorth });
    }
    std::map<std::pair<uint16_t, int32_t>, std::vector<std::pair<int32_t, int32_t>>> moved;
    for (auto& [key, spans] : reader.upright) {
        if (key.second <= blob::westX)
            continue;
        auto& into = moved[{ key.first, key.second >= blob::eastX ? gridEast : key.second }];
        for (auto [lo, hi] : spans)
            into.push_back({ lo <= blob::southY ? 0 : lo, hi >= blob::northY ? gridNorth : hi });
    }
    reader.upright = std::move(moved);
}

// Upright segments of a zone on one x that overlap count as none where they
// overlap an even number of times: the quads' own edges cancel out.
void mergeUpright(const Reader& reader, std::vector<Segment>& segments)
{
    for (const auto& [key, spans] : reader.upright) {
        std::vector<int32_t> ends;
        for (const auto& span : spans) {
            ends.push_back(span.first);
            ends.push_back(span.second);
        }
        appendOddSpans(segments, key.first, key.second, std::move(ends));
    }
}

void convert(char** argv)
{
    const auto begin = std::chrono::steady_clock::now();
    const std::vector<uint8_t> indexText = readFile(argv[1]);
    const nlohmann::json index = nlohmann::json::parse(indexText.begin(), indexText.end());
    const std::vector<uint8_t> features = readFile(argv[2]);
    Reader reader(index, features);
    reader.read();

    // Zones are numbered by name: the order decides between overlapping ones.
    std::vector<uint16_t> order(reader.names.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = uint16_t(i);
    std::sort(order.begin(), order.end(), [&](uint16_t a, uint16_t b) { return reader.names[a] < reader.names[b]; });
    std::vector<uint16_t> rank(order.size());
    std::vector<std::string> names;
    for (size_t i = 0; i < order.size(); ++i) {
        rank[order[i]] = uint16_t(i);
        names.push_back(reader.names[order[i]]);
    }
    extendBeyondBox(reader);
    std::vector<Segment> segments = std::move(reader.sloped);
    mergeUpright(reader, segments);
    for (Segment& segment : segments)
        segment.zone = rank[segment.zone];

    const ZoneTree tree = buildZoneTree(segments);
    const std::vector<uint8_t> out = layOut(names, tree);
    writeEmbedded(argv[3], argv[4], "KESTREL_ZONE_DATA", out, "kestrel-zoneconvert");
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::printf("time zones: %zu zones, %zu segments, %zu + %zu wide leaves, %zu chains "
                "(at most %zu segments in a leaf), %zu nodes, %zu bytes, %.1f s\n",
                names.size(), segments.size(), tree.leafCount, tree.wideLeafCount, tree.chainCount, tree.largestLeaf,
                tree.nodes.size() / blob::nodeChildren, out.size(), seconds);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s INDEX.json GEO.dat OUT.bin OUT.h\n", argv[0]);
        return 2;
    }
    try {
        convert(argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s: %s\n", argv[0], error.what());
        return 1;
    }
    return 0;
}
