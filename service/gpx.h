#pragma once

#include "service/timegeo.h"

#include <string>
#include <vector>

namespace service {

struct GpxTrack {
    std::vector<Fix> fixes;
    int skipped = 0;    // points without a time
    std::string error;  // set when the text is not a usable GPX file
};

// Reads the track, route and way points of a GPX text. Every fix gets zoneId;
// the accuracy is 5 m times the point's "hdop" when it has one, else 10 m.
GpxTrack readGpx(const std::string& text, const std::string& zoneId);

} // namespace service
