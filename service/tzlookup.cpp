#include "service/tzlookup.h"
#include "service/text.h"

#include "service/zonegrid.h"

#include "zonedata.h" // generated with the data: its file, size and digest

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// The boundary data (service/zoneblob.h), embedded byte for byte.
asm(".section .rodata.kestrel_zone_data,\"a\"\n"
    ".balign 64\n"
    ".globl kestrel_zone_data\n"
    ".hidden kestrel_zone_data\n"
    "kestrel_zone_data:\n"
    ".incbin \"" KESTREL_ZONE_DATA_FILE "\"\n"
    ".previous\n");
extern "C" const unsigned char kestrel_zone_data[] __attribute__((visibility("hidden")));

namespace service {

namespace {

using namespace zoneblob;

const View& data()
{
    static const View loaded = openView(kestrel_zone_data, KESTREL_ZONE_DATA_BYTES);
    return loaded;
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
    const View& d = data();
    if (latitude >= 90 || latitude <= -90 || !d.valid)
        return nauticalZone(longitude);
    const int64_t x = std::clamp<int64_t>(std::llround(longitude * unitsPerDegree) + xOffset, westX, eastX - 1);
    const int64_t y = std::clamp<int64_t>(std::llround(latitude * unitsPerDegree) + yOffset, southY, northY - 1);
    const uint32_t zone = zoneNumberAt(d, x, y);
    if (zone >= d.header.zoneCount)
        return nauticalZone(longitude);
    const char* name = zoneName(d, zone);
    // The data's own sea zones are replaced by the one of the exact longitude.
    if (std::strncmp(name, "Etc/", 4) == 0)
        return nauticalZone(longitude);
    return name;
}

size_t zoneDataBytes()
{
    return KESTREL_ZONE_DATA_BYTES;
}

std::vector<std::string> boundaryZones()
{
    const View& d = data();
    std::vector<std::string> names;
    for (uint32_t zone = 0; d.valid && zone < d.header.zoneCount; ++zone)
        names.emplace_back(zoneName(d, zone));
    return names;
}

bool zoneDataIntact()
{
    // FNV-1a, as the converter's
    return data().valid && fnv1a(kestrel_zone_data, KESTREL_ZONE_DATA_BYTES) == KESTREL_ZONE_DATA_DIGEST;
}

std::string zoneOf(const Fix& fix)
{
    if (!fix.zoneId.empty() && isKnownZone(fix.zoneId))
        return fix.zoneId;
    return zoneAt(fix.latitude, fix.longitude);
}

} // namespace service
