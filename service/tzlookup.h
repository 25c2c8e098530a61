#pragma once

#include "service/timegeo.h"

#include <cstddef>
#include <string>
#include <vector>

namespace service {

// The IANA time zone at a position, offline, from boundary data compiled into
// the service (timezone-boundary-builder's zones by way of the npm package
// geo-tz, territorial waters included; zones whose clocks have agreed since
// 1970 are one, so Sweden has Europe/Berlin). At sea, near the poles and
// wherever the data knows no zone it is the nautical zone of the longitude
// ("Etc/GMT-1" east of 7.5° E). Where zones overlap (disputed areas) it is
// the first of them by name. Coordinates outside the valid ranges give "UTC".
// Thread-safe.
std::string zoneAt(double latitude, double longitude);

// The nautical zone of a longitude: "Etc/GMT" within 7.5° of Greenwich,
// "Etc/GMT-N" N hours east of it and "Etc/GMT+N" N hours west.
std::string nauticalZone(double longitude);

// Bytes the boundary data takes in memory.
size_t zoneDataBytes();

// Every zone the boundary data names, by name.
std::vector<std::string> boundaryZones();

// Whether the boundary data reads back as it was converted (its digest).
// Reads all of it.
bool zoneDataIntact();

// The zone a fix carries when it has a known one; else the zone of its position.
std::string zoneOf(const Fix& fix);

} // namespace service
