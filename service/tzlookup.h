#pragma once

#include "service/timegeo.h"

#include <cstddef>
#include <string>

namespace service {

// The IANA time zone at a position, offline, from boundary data compiled into
// the service. At sea, near the poles and wherever the data knows no zone it
// is the nautical zone of the longitude ("Etc/GMT-1" east of 7.5° E).
// Coordinates outside the valid ranges give "UTC". Thread-safe.
std::string zoneAt(double latitude, double longitude);

// The nautical zone of a longitude: "Etc/GMT" within 7.5° of Greenwich,
// "Etc/GMT-N" N hours east of it and "Etc/GMT+N" N hours west.
std::string nauticalZone(double longitude);

// Bytes the boundary data takes in memory.
size_t zoneDataBytes();

// The zone a fix carries when it has a known one; else the zone of its position.
std::string zoneOf(const Fix& fix);

} // namespace service
