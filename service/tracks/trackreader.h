#pragma once

#include "service/timegeo.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace service {

// What reading a track file gave, also when the reading broke off: the points
// handed on before stay good.
struct TrackReading {
    std::string format;                     // "GPX", "KML", "KMZ", "GeoJSON", "Google location history", "NMEA", "CSV"
    int64_t points = 0;                     // good points handed on
    std::map<std::string, int64_t> skipped; // why -> how many points were left out
    std::string firstSkip;                  // where the first one was and why: "line 12: no time"

    int64_t skippedCount() const;
};

// Called with each good point (its zone set); false stops the reading.
using FixSink = std::function<bool(const Fix&)>;
// Called now and then with the bytes read so far and the file's size.
using ReadProgress = std::function<void(int64_t done, int64_t total)>;

// Reads the timed points of a track file, streaming, in any of the formats
// above; the format is told by the content, not the name. Points get `zoneId`
// when it is given, else the zone of their position; those whose time is
// outside validFixTime's window at `now` are skipped. False, with the reason,
// when the file is not a track file or breaks off; `reading` tells what was
// read either way.
bool readTrack(const std::string& path, const std::string& zoneId, int64_t now, const FixSink& sink,
               const ReadProgress& progress, TrackReading& reading, std::string* error = nullptr);

// Reads a GPX text as the phone uploads it, strictly: a point without a valid
// lat and lon, with an elevation that is not a number or a time that is not
// ISO 8601 with a zone makes the whole text unusable, and so does a text that
// is not GPX; false then, with the line and the reason. Points without a time
// are skipped. Every point gets `zoneId` and the accuracy 5 m times its hdop,
// else 10 m, without a limit. Times are checked as readTrack checks them.
bool readGpxText(const std::string& text, const std::string& zoneId, int64_t now, const FixSink& sink,
                 TrackReading& reading, std::string* error = nullptr);

// A time as track files write it: ISO 8601 with or without a zone (then UTC),
// "/" or "-" between the date's parts, Unix seconds or milliseconds.
std::optional<int64_t> parseTrackTime(const std::string& text);

} // namespace service
