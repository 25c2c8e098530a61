#pragma once

#include "service/store.h"
#include "service/tracks/trackreader.h"

#include <cstdint>
#include <string>

namespace service {

// A track file read into a user's positions.
struct TrackImport {
    TrackReading reading;
    std::string readError; // why the file was not read to its end; empty when it was
    int64_t imported = 0;  // positions newly stored
    int64_t repeated = 0;  // good points the user had already
    int64_t first = 0;     // time of the earliest good point, UTC ms
    int64_t last = 0;      // time of the latest
    std::string firstZone, lastZone;
    bool storeFailed = false;

    int64_t good() const { return imported + repeated; }
};

// Reads the file and stores its good points as positions of `user`, in
// batches, keeping positions the user already has. `zoneId` overrides the
// zone of the positions when not empty; `now` is the service's clock.
TrackImport importTrackFile(Store& store, int64_t user, const std::string& path, const std::string& zoneId,
                            int64_t now, const ReadProgress& progress = {});

// The outcome in plain words: "Imported 12,418 positions from 3 May 09:12 to
// 7 May 18:40 (Europe/Zagreb); 14 points skipped: no time".
std::string importSummary(const TrackImport& result);

// 12418 -> "12,418".
std::string groupedNumber(int64_t value);

} // namespace service
