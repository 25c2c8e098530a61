#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace service {

// Times are milliseconds since 1970-01-01 00:00 UTC. A camera's clock has no
// zone: its "wall-clock" reading is held the same way, as if it were UTC.

// Reads "YYYY-MM-DD HH:MM:SS" (also with ":" between the date parts, as EXIF
// writes it, or "T" between date and time). Empty when the text is not a
// valid date and time of the years 1000 to 9999.
std::optional<int64_t> parseWallClock(const std::string& text);
// "YYYY-MM-DD HH:MM:SS" of a time, seconds rounded down.
std::string formatWallClock(int64_t ms);
// Reads an ISO 8601 time with a zone ("2026-07-14T10:00:00Z",
// "...T12:00:00.250+02:00"); empty when it is not one.
std::optional<int64_t> parseIsoTime(const std::string& text);
// "2026-07-14T10:00:00.000Z".
std::string formatIsoTime(int64_t ms);

// Earliest and latest instants the service stores (years 1970 to 9999).
constexpr int64_t earliestTime = 0;
constexpr int64_t latestTime = 253402300799999LL;

// What a zone says about one instant.
struct ZoneMoment {
    std::string zoneId;     // IANA id, "UTC" when the given one is unknown
    int offsetSeconds = 0;  // offset from UTC with daylight saving
    std::string offsetText; // "+02:00"
    std::string longName;   // "Central European Summer Time"
    std::string localTime;  // "YYYY-MM-DD HH:MM:SS"
};

bool isKnownZone(const std::string& zoneId);
ZoneMoment zoneMoment(const std::string& zoneId, int64_t utcMs);
// "+HH:MM" / "-HH:MM" of an offset in seconds.
std::string offsetText(int offsetSeconds);

// One recorded position of a phone.
struct Fix {
    int64_t time = 0;  // UTC ms
    double latitude = 0;
    double longitude = 0;
    double altitude = 0;
    double accuracy = 0; // metres
    std::string zoneId;
};

// Checks the ranges of a fix; false with the reason in `error` when it is not
// acceptable ("latitude outside -90 to 90").
bool validFix(const Fix& fix, std::string* error = nullptr);
// The reason a fix is not acceptable, for the track readers: validFix's.
std::optional<std::string> invalidFix(const Fix& fix);

constexpr int64_t maxInterpolationGapMs = 10 * 60 * 1000;
constexpr int64_t maxNearestFixMs = 2 * 60 * 1000;

// Where the phone was at `moment`, from the fixes just before and just after:
// linear interpolation when the two fixes around the moment are at most ten
// minutes apart; otherwise the nearest fix within two minutes; otherwise
// nothing. `before` is the last fix at or before the moment, `after` the
// first one at or after it. The position found has the time `moment` and
// the zone of the nearer fix.
std::optional<Fix> locate(const std::optional<Fix>& before, const std::optional<Fix>& after, int64_t moment);

// "1 h 3 min 17 s", "45 s", "2 days 3 h" for a duration.
std::string durationText(int64_t ms);

} // namespace service
