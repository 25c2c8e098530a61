#pragma once

// Reads boundary data laid out as service/zoneblob.h says, in place: the time
// zones (service/tzlookup.cpp) and the countries' borders within the place
// data (service/places.cpp) alike.

#include "service/zoneblob.h"

#include <cstdint>

namespace service::zoneblob {

struct View {
    Header header {};
    const unsigned char* bytes = nullptr;
    const uint32_t* names = nullptr;
    const uint32_t* grid = nullptr;
    const uint32_t* nodes = nullptr;
    const int16_t* leaves = nullptr;
    const int32_t* wideLeaves = nullptr;
    bool valid = false;
};

// The data of `size` bytes at `bytes` (aligned to sectionAlignment); not
// valid when its header does not fit it.
View openView(const unsigned char* bytes, uint64_t size);

// The number of the zone at (x, y) in the units of zoneblob.h, or seaZone.
// (x, y) must lie in the box [westX, eastX) x [southY, northY).
uint32_t zoneNumberAt(const View& view, int64_t x, int64_t y);

// The name of a zone below header.zoneCount.
const char* zoneName(const View& view, uint32_t zone);

} // namespace service::zoneblob
