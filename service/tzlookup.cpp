#include "service/tzlookup.h"

#include <cmath>
#include <cstddef>
#include <cstring>

namespace service {

namespace {

#include "tzdata.inc"

constexpr int zoneCount = static_cast<int>(sizeof tzNames / sizeof tzNames[0]);
// Node values at or above this are leaves: the index of a zone.
constexpr int leafBase = 3136 - zoneCount;

// A node of the quadtree: two characters '#'..'Z', a base-56 number.
inline int node(size_t at)
{
    return 56 * (tzGrid[at] - '#') + (tzGrid[at + 1] - '#');
}

} // namespace

std::string nauticalZone(double longitude)
{
    if (!std::isfinite(longitude) || longitude < -180 || longitude > 180)
        return "UTC";
    const int hours = static_cast<int>(std::lround(longitude / 15));
    if (hours == 0)
        return "Etc/GMT";
    // The signs of the Etc zones are the POSIX ones: west of Greenwich is "+".
    return std::string(hours > 0 ? "Etc/GMT-" : "Etc/GMT+") + std::to_string(std::abs(hours));
}

std::string zoneAt(double latitude, double longitude)
{
    if (!std::isfinite(latitude) || !std::isfinite(longitude) || latitude < -90 || latitude > 90 || longitude < -180
        || longitude > 180)
        return "UTC";
    if (latitude >= 90 || latitude <= -90)
        return nauticalZone(longitude);
    // The root is a grid of 48 x 24 cells of 7.5°; each cell is either a zone
    // or the first of four children, halving the cell in both directions.
    double x = 48 * (180 + longitude) / 360.00000000000006;
    double y = 24 * (90 - latitude) / 180.00000000000003;
    int column = static_cast<int>(x);
    int row = static_cast<int>(y);
    int value = node(static_cast<size_t>(96 * row + 2 * column));
    int parent = -1;
    while (value < leafBase) {
        parent += value + 1;
        y = std::fmod(2 * (y - row), 2.0);
        x = std::fmod(2 * (x - column), 2.0);
        row = static_cast<int>(y);
        column = static_cast<int>(x);
        const size_t at = static_cast<size_t>(8 * parent + 4 * row + 2 * column + 2304);
        if (at + 1 >= tzGridLength)
            return nauticalZone(longitude);
        value = node(at);
    }
    const int index = value - leafBase;
    if (index < 0 || index >= zoneCount)
        return nauticalZone(longitude);
    const char* zone = tzNames[index];
    // The data's own sea zones are replaced by the one of the exact longitude.
    if (zone[0] == 'E' && zone[1] == 't' && zone[2] == 'c' && zone[3] == '/')
        return nauticalZone(longitude);
    return zone;
}

size_t zoneDataBytes()
{
    size_t bytes = sizeof tzGrid + sizeof tzNames;
    for (const char* name : tzNames)
        bytes += std::strlen(name) + 1;
    return bytes;
}

std::string zoneOf(const Fix& fix)
{
    if (!fix.zoneId.empty() && isKnownZone(fix.zoneId))
        return fix.zoneId;
    return zoneAt(fix.latitude, fix.longitude);
}

} // namespace service
