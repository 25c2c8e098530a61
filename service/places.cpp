#include "service/places.h"

#include "service/placeblob.h"
#include "service/text.h"
#include "service/zonegrid.h"

#include "placedata.h" // generated with the data: its file, size and digest

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

// The place data (service/placeblob.h), embedded byte for byte.
asm(".section .rodata.kestrel_place_data,\"a\"\n"
    ".balign 64\n"
    ".globl kestrel_place_data\n"
    ".hidden kestrel_place_data\n"
    "kestrel_place_data:\n"
    ".incbin \"" KESTREL_PLACE_DATA_FILE "\"\n"
    ".previous\n");
extern "C" const unsigned char kestrel_place_data[] __attribute__((visibility("hidden")));

namespace service {

namespace {

using namespace placeblob;

constexpr double earthRadiusMetres = 6371008.8; // the mean radius
constexpr double radiansPerDegree = M_PI / 180;
constexpr double metresPerDegree = earthRadiusMetres * radiansPerDegree;
constexpr uint32_t noCountry = std::numeric_limits<uint32_t>::max();

struct Data {
    Header header {};
    const placeblob::Country* countries = nullptr;
    const uint32_t* bandCells = nullptr;
    const uint32_t* cellCities = nullptr;
    const City* cities = nullptr;
    const char* strings = nullptr;
    zoneblob::View borders;
    bool valid = false;
};

template <typename T>
const T* section(uint32_t offset)
{
    return reinterpret_cast<const T*>(kestrel_place_data + offset);
}

Data load()
{
    Data data;
    Header& h = data.header;
    std::memcpy(&h, kestrel_place_data, sizeof h);
    const uint64_t size = KESTREL_PLACE_DATA_BYTES;
    const auto fits = [&](uint32_t offset, uint64_t bytes) {
        return offset % zoneblob::sectionAlignment == 0 && offset <= size && bytes <= size - offset;
    };
    data.valid = std::memcmp(h.magic, magic, sizeof magic) == 0 && h.totalBytes == size
        && h.countryCount < noCountry && fits(h.countriesOffset, uint64_t(h.countryCount) * sizeof(placeblob::Country))
        && fits(h.bandsOffset, (uint64_t(bandCount) + 1) * 4) && fits(h.cellsOffset, (uint64_t(h.cellCount) + 1) * 4)
        && fits(h.citiesOffset, uint64_t(h.cityCount) * sizeof(City)) && fits(h.stringsOffset, h.stringBytes)
        && h.stringBytes > 0 && fits(h.bordersOffset, h.bordersBytes);
    if (!data.valid)
        return data;
    data.countries = section<placeblob::Country>(h.countriesOffset);
    data.bandCells = section<uint32_t>(h.bandsOffset);
    data.cellCities = section<uint32_t>(h.cellsOffset);
    data.cities = section<City>(h.citiesOffset);
    data.strings = section<char>(h.stringsOffset);
    data.borders = zoneblob::openView(kestrel_place_data + h.bordersOffset, h.bordersBytes);
    data.valid = data.borders.valid && data.borders.header.zoneCount <= h.countryCount
        && data.bandCells[bandCount] == h.cellCount && data.cellCities[h.cellCount] == h.cityCount
        && data.strings[h.stringBytes - 1] == '\0';
    return data;
}

const Data& data()
{
    static const Data loaded = load();
    return loaded;
}

// The number of the country whose land is at the position, or noCountry.
uint32_t countryAt(const Data& d, double latitude, double longitude)
{
    namespace z = zoneblob;
    const int64_t x = std::clamp<int64_t>(std::llround(longitude * z::unitsPerDegree) + z::xOffset, z::westX, z::eastX - 1);
    const int64_t y = std::clamp<int64_t>(std::llround(latitude * z::unitsPerDegree) + z::yOffset, z::southY, z::northY - 1);
    const uint32_t zone = z::zoneNumberAt(d.borders, x, y);
    return zone < d.borders.header.zoneCount ? zone : noCountry;
}

// The places within the radius of a position: calls visit(city, squared
// distance in degrees of latitude) for each, in no particular order.
class Neighbourhood {
public:
    Neighbourhood(const Data& d, double latitude, double longitude)
        : d_(d), latitude_(latitude), longitude_(longitude), scale_(std::cos(latitude * radiansPerDegree))
    {
    }

    template <typename Visit>
    void forEach(Visit&& visit) const
    {
        const double radius = placeRadiusMetres / metresPerDegree;
        const auto bandOf = [](double latitude) {
            return std::clamp<int64_t>(int64_t(std::floor((latitude + 90) * bandsPerDegree)), 0, bandCount - 1);
        };
        // The widest span of longitude the circle takes, at its latitude farthest from the equator.
        const double farthest = std::abs(latitude_) + radius;
        const double span = farthest >= 89.9 ? 360 : radius / std::cos(farthest * radiansPerDegree);
        for (int64_t band = bandOf(latitude_ - radius); band <= bandOf(latitude_ + radius); ++band) {
            const uint32_t first = d_.bandCells[band];
            const int64_t columns = int64_t(d_.bandCells[band + 1]) - first;
            int64_t from = 0, to = columns - 1;
            if (span < 180) {
                from = int64_t(std::floor((longitude_ - span + 180) / 360 * double(columns)));
                to = int64_t(std::floor((longitude_ + span + 180) / 360 * double(columns)));
                if (to - from + 1 >= columns)
                    from = 0, to = columns - 1;
            }
            for (int64_t column = from; column <= to; ++column) {
                const uint32_t cell = first + uint32_t((column % columns + columns) % columns);
                for (uint32_t c = d_.cellCities[cell]; c < d_.cellCities[cell + 1]; ++c)
                    visitIfNear(d_.cities[c], radius * radius, visit);
            }
        }
    }

private:
    template <typename Visit>
    void visitIfNear(const City& city, double radius2, Visit& visit) const
    {
        const double dy = city.latitude * 1e-6 - latitude_;
        if (dy * dy > radius2)
            return;
        double dx = city.longitude * 1e-6 - longitude_;
        if (dx > 180)
            dx -= 360;
        else if (dx < -180)
            dx += 360;
        dx *= scale_;
        const double distance2 = dx * dx + dy * dy;
        if (distance2 <= radius2)
            visit(city, distance2);
    }

    const Data& d_;
    const double latitude_, longitude_, scale_;
};

double metresBetween(double latitude, double longitude, const City& city)
{
    const double phi1 = latitude * radiansPerDegree, phi2 = city.latitude * 1e-6 * radiansPerDegree;
    const double dPhi = phi2 - phi1, dLambda = (city.longitude * 1e-6 - longitude) * radiansPerDegree;
    const double a = std::sin(dPhi / 2) * std::sin(dPhi / 2)
        + std::cos(phi1) * std::cos(phi2) * std::sin(dLambda / 2) * std::sin(dLambda / 2);
    return 2 * earthRadiusMetres * std::asin(std::min(1.0, std::sqrt(a)));
}

std::string_view text(const Data& d, uint32_t offset)
{
    return offset < d.header.stringBytes ? std::string_view(d.strings + offset) : std::string_view();
}

PlaceName countryOnly(const Data& d, uint32_t country)
{
    PlaceName place;
    const placeblob::Country& record = d.countries[country];
    place.country = text(d, record.name);
    place.countryCode = std::string_view(record.code, sizeof record.code);
    return place;
}

} // namespace

std::optional<PlaceName> placeAt(double latitude, double longitude)
{
    if (!std::isfinite(latitude) || !std::isfinite(longitude) || latitude < -90 || latitude > 90 || longitude < -180
        || longitude > 180)
        return std::nullopt;
    const Data& d = data();
    if (!d.valid)
        return std::nullopt;
    const uint32_t country = countryAt(d, latitude, longitude);
    const Neighbourhood near(d, latitude, longitude);
    const City* nearest = nullptr;
    double best = 0;
    near.forEach([&](const City& city, double distance2) {
        if ((country == noCountry || city.country == country) && (!nearest || distance2 < best))
            nearest = &city, best = distance2;
    });
    if (country == noCountry)
        return nearest && nearest->country < d.header.countryCount ? std::optional(countryOnly(d, nearest->country))
                                                                   : std::nullopt;
    PlaceName place = countryOnly(d, country);
    if (!nearest)
        return place;
    const City* city = nearest;
    if (nearest->flags & citySection) {
        const City* larger = nullptr;
        near.forEach([&](const City& other, double distance2) {
            if (other.country == country && !(other.flags & citySection) && other.population > nearest->population
                && (nearest->region == 0 || other.region == nearest->region) && (!larger || distance2 < best))
                larger = &other, best = distance2;
        });
        if (larger) {
            city = larger;
            place.sublocation = text(d, nearest->name);
        }
    }
    place.city = text(d, city->name);
    place.region = text(d, city->region);
    place.distance = int(std::lround(metresBetween(latitude, longitude, *nearest)));
    return place;
}

size_t placeDataBytes()
{
    return KESTREL_PLACE_DATA_BYTES;
}

bool placeDataIntact()
{
    // FNV-1a, as the converter's
    return data().valid && fnv1a(kestrel_place_data, KESTREL_PLACE_DATA_BYTES) == KESTREL_PLACE_DATA_DIGEST;
}

} // namespace service
