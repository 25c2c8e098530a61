#include "service/tzlookup.h"

#include "service/zoneblob.h"

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

struct Data {
    Header header {};
    const uint32_t* names = nullptr;
    const uint32_t* grid = nullptr;
    const uint32_t* nodes = nullptr;
    const int16_t* leaves = nullptr;
    const int32_t* wideLeaves = nullptr;
    bool valid = false;
};

template <typename T>
const T* section(uint32_t offset)
{
    return reinterpret_cast<const T*>(kestrel_zone_data + offset);
}

Data load()
{
    Data data;
    Header& h = data.header;
    std::memcpy(&h, kestrel_zone_data, sizeof h);
    const uint64_t size = KESTREL_ZONE_DATA_BYTES;
    const auto fits = [&](uint32_t offset, uint64_t bytes) {
        return offset % sectionAlignment == 0 && offset <= size && bytes <= size - offset;
    };
    data.valid = std::memcmp(h.magic, magic, sizeof magic) == 0 && h.totalBytes == size && h.gridColumns == gridColumns
        && h.gridRows == gridRows && h.zoneCount < seaZone16 && fits(h.namesOffset, uint64_t(h.zoneCount) * 4)
        && fits(h.gridOffset, uint64_t(gridColumns) * gridRows * 4)
        && fits(h.nodesOffset, uint64_t(h.nodeCount) * nodeChildren * 4) && fits(h.leavesOffset, uint64_t(h.leafWords) * 2)
        && fits(h.wideLeavesOffset, uint64_t(h.wideLeafWords) * 4);
    if (!data.valid)
        return data;
    data.names = section<uint32_t>(h.namesOffset);
    data.grid = section<uint32_t>(h.gridOffset);
    data.nodes = section<uint32_t>(h.nodesOffset);
    data.leaves = section<int16_t>(h.leavesOffset);
    data.wideLeaves = section<int32_t>(h.wideLeavesOffset);
    return data;
}

const Data& data()
{
    static const Data loaded = load();
    return loaded;
}

// The zone of a point (px, py) of a leaf, relative to its corner: that west
// of the nearest segment its ray crosses, else that of the east edge's run.
template <typename Word, typename Wide>
uint32_t zoneInLeaf(const Word* leaf, int64_t px, int64_t py)
{
    const int runs = leaf[0];
    const Word* run = leaf + 1;
    const Word* at = run + 2 * runs;
    const int chains = *at++;
    bool crossed = false;
    Wide nearX = 0; // the crossing's x is nearX / nearDy
    int64_t nearDy = 1, nearDx = 0;
    uint32_t zone = seaZone;
    for (int c = 0; c < chains; ++c) {
        const uint16_t left = uint16_t(at[0]), right = uint16_t(at[1]);
        const int count = at[2];
        const Word* point = at + 3;
        at = point + 2 * count;
        for (; point + 2 < at; point += 2) {
            const int64_t x0 = point[0], y0 = point[1], x1 = point[2], y1 = point[3];
            if ((y0 > py) == (y1 > py))
                continue;
            const int64_t sign = y1 > y0 ? 1 : -1;
            const int64_t dy = (y1 - y0) * sign, dx = (x1 - x0) * sign;
            const Wide x = Wide(x0) * dy + Wide(py - y0) * dx;
            if (x <= Wide(px) * dy)
                continue;
            if (crossed) {
                // Further east, or as far and further east just above the row.
                const Wide mine = x * nearDy, near = nearX * dy;
                if (mine > near || (mine == near && Wide(dx) * nearDy >= Wide(nearDx) * dy))
                    continue;
            }
            crossed = true;
            nearX = x;
            nearDy = dy;
            nearDx = dx;
            zone = sign > 0 ? left : right;
        }
    }
    if (!crossed) {
        zone = uint16_t(run[1]);
        for (int r = 1; r < runs && run[2 * r] <= py; ++r)
            zone = uint16_t(run[2 * r + 1]);
    }
    return zone == seaZone16 ? seaZone : zone;
}

// The number of the zone at (x, y) in the units of zoneblob.h, or seaZone.
uint32_t zoneNumberAt(const Data& data, int64_t x, int64_t y)
{
    uint32_t entry = data.grid[size_t(y >> gridShift) * gridColumns + size_t(x >> gridShift)];
    int shift = gridShift;
    constexpr int64_t mask = (1 << nodeBits) - 1;
    while ((entry & kindMask) == kindNode) {
        shift -= nodeBits;
        const size_t child = size_t(((y >> shift) & mask) << nodeBits | ((x >> shift) & mask));
        entry = data.nodes[size_t(entry & valueMask) * nodeChildren + child];
    }
    const uint32_t value = entry & valueMask;
    const int64_t within = (int64_t(1) << shift) - 1;
    switch (entry & kindMask) {
    case kindLeaf:
        return zoneInLeaf<int16_t, int64_t>(data.leaves + value, x & within, y & within);
    case kindWideLeaf:
        return zoneInLeaf<int32_t, __int128>(data.wideLeaves + value, x & within, y & within);
    default:
        return value;
    }
}

const char* zoneName(const Data& data, uint32_t zone)
{
    return reinterpret_cast<const char*>(kestrel_zone_data + data.names[zone]);
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
    const Data& d = data();
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
    const Data& d = data();
    std::vector<std::string> names;
    for (uint32_t zone = 0; d.valid && zone < d.header.zoneCount; ++zone)
        names.emplace_back(zoneName(d, zone));
    return names;
}

bool zoneDataIntact()
{
    uint64_t hash = 14695981039346656037ull; // FNV-1a, as the converter's
    for (size_t i = 0; i < KESTREL_ZONE_DATA_BYTES; ++i)
        hash = (hash ^ kestrel_zone_data[i]) * 1099511628211ull;
    return data().valid && hash == KESTREL_ZONE_DATA_DIGEST;
}

std::string zoneOf(const Fix& fix)
{
    if (!fix.zoneId.empty() && isKnownZone(fix.zoneId))
        return fix.zoneId;
    return zoneAt(fix.latitude, fix.longitude);
}

} // namespace service
