#include "service/zonegrid.h"

#include <cstring>

namespace service::zoneblob {

namespace {

template <typename T>
const T* section(const unsigned char* bytes, uint32_t offset)
{
    return reinterpret_cast<const T*>(bytes + offset);
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

} // namespace

uint32_t zoneNumberAt(const View& data, int64_t x, int64_t y)
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

const char* zoneName(const View& view, uint32_t zone)
{
    return reinterpret_cast<const char*>(view.bytes + view.names[zone]);
}

View openView(const unsigned char* bytes, uint64_t size)
{
    View view;
    Header& h = view.header;
    if (size < sizeof h)
        return view;
    std::memcpy(&h, bytes, sizeof h);
    const auto fits = [&](uint32_t offset, uint64_t length) {
        return offset % sectionAlignment == 0 && offset <= size && length <= size - offset;
    };
    view.valid = std::memcmp(h.magic, magic, sizeof magic) == 0 && h.totalBytes == size && h.gridColumns == gridColumns
        && h.gridRows == gridRows && h.zoneCount < seaZone16 && fits(h.namesOffset, uint64_t(h.zoneCount) * 4)
        && fits(h.gridOffset, uint64_t(gridColumns) * gridRows * 4)
        && fits(h.nodesOffset, uint64_t(h.nodeCount) * nodeChildren * 4) && fits(h.leavesOffset, uint64_t(h.leafWords) * 2)
        && fits(h.wideLeavesOffset, uint64_t(h.wideLeafWords) * 4);
    if (!view.valid)
        return view;
    view.bytes = bytes;
    view.names = section<uint32_t>(bytes, h.namesOffset);
    view.grid = section<uint32_t>(bytes, h.gridOffset);
    view.nodes = section<uint32_t>(bytes, h.nodesOffset);
    view.leaves = section<int16_t>(bytes, h.leavesOffset);
    view.wideLeaves = section<int32_t>(bytes, h.wideLeavesOffset);
    return view;
}

} // namespace service::zoneblob
