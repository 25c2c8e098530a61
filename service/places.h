#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace service {

// The name of the place at a position, offline, from data compiled into the
// service (service/placeblob.h): GeoNames' populated places of at least 1,000
// inhabitants, the names of their first-level regions, the countries' land
// borders of OpenStreetMap and the countries' names of ISO 3166-1. The texts
// are UTF-8 as the gazetteer has them and live as long as the program.
struct PlaceName {
    // The nearest populated place within placeRadiusMetres that lies in the
    // position's country; "" when there is none. When that place is a section
    // of a city (GeoNames PPLX, such as Mitte in Berlin) the city is the
    // nearest place within the radius in that country and in the section's
    // region (when it has one) that is no section and has more inhabitants
    // than the section (Berlin for Spandau, not Falkensee in Brandenburg next
    // to it); the section itself when there is no such place.
    std::string_view city;
    std::string_view sublocation; // the section, when the nearest place is one and the city another; else ""
    std::string_view region;      // the first-level region of the city; "" when unknown
    std::string_view country;     // English short name
    std::string_view countryCode; // ISO 3166-1 alpha-2
    // Metres from the position to the nearest place: the section when there
    // is one, else the city; 0 without a city.
    int distance = 0;
};

constexpr double placeRadiusMetres = 20000;

// The place at a position. The country is the one whose land the position
// lies on; where two countries' land overlaps (Gibraltar and Spain), the
// smaller one. At sea, and on land the borders miss by a few metres, the
// position is in the country of the nearest populated place within the
// radius, with no city (the coast's country); nothing when there is no such
// place, or when the coordinates are not a position. Thread-safe.
std::optional<PlaceName> placeAt(double latitude, double longitude);

// Bytes the place data takes in memory.
size_t placeDataBytes();

// Whether the place data reads back as it was converted (its digest). Reads
// all of it.
bool placeDataIntact();

} // namespace service
