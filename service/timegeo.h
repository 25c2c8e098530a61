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
// "YYYY-MM-DD HH:MM:SS" of a time, seconds rounded down; any value has a
// text: a year outside 0 to 9999 is written with its sign and at least four
// digits ("+10000-01-01 00:30:00", "-0001-12-31 23:59:59").
std::string formatWallClock(int64_t ms);
// Reads an ISO 8601 time with a zone ("2026-07-14T10:00:00Z",
// "...T12:00:00.250+02:00"); empty when it is not one.
std::optional<int64_t> parseIsoTime(const std::string& text);
// "2026-07-14T10:00:00.000Z"; the year as formatWallClock writes it.
std::string formatIsoTime(int64_t ms);

// The calendar date and time of day of a time. Any value has one: the year
// runs from -292275055 to 292278994, the other parts stay in their ranges.
struct CivilTime {
    int64_t year = 1970;
    int month = 1; // 1 to 12
    int day = 1;   // 1 to 31
    int hour = 0, minute = 0, second = 0, millisecond = 0;
};
CivilTime civilTime(int64_t ms);

// The sum, held at the ends of the range instead of overflowing.
int64_t clampedSum(int64_t a, int64_t b);
// Milliseconds given as a number, cut to whole ones; nothing when the number
// is not finite or beyond 10^16 either way (the year 318857).
std::optional<int64_t> wholeMilliseconds(double ms);

// The times a fix may have: from the GPS epoch (1980-01-06 00:00 UTC), before
// which no receiver gave one, to ten minutes ahead of the service's clock.
constexpr int64_t gpsEpoch = 315964800000LL;
constexpr int64_t maxFutureMs = 10 * 60 * 1000;
// Whether a fix's time lies in that window at `now` (the service's clock);
// false with the reason when it does not: "time before 1980-01-06 (the GPS
// epoch)" or "time more than 10 min ahead of the service's clock". The
// reasons are the same for every way fixes arrive and do not depend on the
// time, so that refused points of a track file count under one reason.
bool validFixTime(int64_t time, int64_t now, std::string* error = nullptr);

// What a zone says about one instant.
struct ZoneMoment {
    std::string zoneId;     // IANA id, "UTC" when the given one is unknown
    int offsetSeconds = 0;  // offset from UTC with daylight saving
    std::string offsetText; // "+02:00"
    std::string longName;   // "Central European Summer Time"
    std::string localTime;  // "YYYY-MM-DD HH:MM:SS"
    int64_t wallClock = 0;  // the local time in ms, held as if it were UTC
};

bool isKnownZone(const std::string& zoneId);
// The zone's rules are asked for the years 1000 to 9999; a time beyond them
// has the offset of the nearest end.
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

// Fixes less accurate than this (metres) are not taken from track files and
// trackers: positions from cell towers and the like would place photos wrongly.
constexpr double maxAccuracyMetres = 1000;

// Checks the ranges of a fix, its time by validFixTime at `now`; false with
// the reason in `error` when it is not acceptable ("latitude outside -90 to 90").
bool validFix(const Fix& fix, int64_t now, std::string* error = nullptr);

constexpr int64_t maxInterpolationGapMs = 10 * 60 * 1000;
constexpr int64_t maxNearestFixMs = 2 * 60 * 1000;

// Where the phone was at `moment`, from the fixes just before and just after:
// linear interpolation when the two fixes around the moment are at most ten
// minutes apart; otherwise the nearest fix within two minutes; otherwise
// nothing. `before` is the last fix at or before the moment, `after` the
// first one at or after it. The position found has the time `moment` and
// the zone of the nearer fix.
std::optional<Fix> locate(const std::optional<Fix>& before, const std::optional<Fix>& after, int64_t moment);

// "1 h 3 min 17 s", "45 s", "2 days 3 h" for a duration either way: -45000
// and 45000 both give "45 s".
std::string durationText(int64_t ms);

} // namespace service
