#pragma once

// A camera's clock between and beyond its synchronizations: its offset from
// true time drifts (a few seconds a week, more in the cold), and is read off
// a line through the synchronizations around a photo. Where two consecutive
// synchronizations disagree beyond what drift explains, someone set the
// clock: the history splits there, and each side keeps its own line.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace service {

constexpr int64_t dayMs = 86400000;
// Offsets are followed along the drift for this long past the last (or
// before the first) synchronization, and held beyond.
constexpr int64_t maxExtrapolationMs = 30 * dayMs;
// Consecutive synchronizations further apart than either of these belong to
// different settings of the clock; `clockSetSlackMs` allows for how exactly
// each is measured.
constexpr int64_t clockSetChangeMs = 2 * 60 * 1000;
constexpr int64_t clockSetChangePerDayMs = 60 * 1000;
constexpr int64_t clockSetSlackMs = 2000;

// One synchronization as the clock model needs it.
struct ClockSync {
    int64_t cameraTime = 0; // the camera's reading, ms, as if it were UTC
    int64_t utcTime = 0;    // the true moment
    std::string label;      // how it is named to the user: its local time
    // The camera's reading to the millisecond (its photo had sub-seconds).
    bool subSeconds() const { return cameraTime % 1000 != 0; }
    int64_t offset() const { return cameraTime - utcTime; }
};

enum class ClockMethod { One, Interpolated, Extrapolated, Held, Nearer };

// The offset of a camera's clock for one photo, and where it came from.
struct ClockEstimate {
    int64_t offsetMs = 0;      // camera reading minus true UTC
    int64_t uncertaintyMs = 0; // how far the true offset may lie from it
    ClockMethod method = ClockMethod::One;
    std::vector<size_t> used;  // the synchronizations (indices) it comes from, one or two
    bool clockChanged = false; // the clock was set between the synchronizations around the photo
    size_t nearer = 0;         // then: the one of the two whose side the offset comes from
};

// The index ranges [first, last] of `syncs` (ordered by utcTime) that share
// one setting of the clock.
struct ClockSpan {
    size_t first = 0;
    size_t last = 0;
};
std::vector<ClockSpan> clockSpans(const std::vector<ClockSync>& syncs);

// The offset at the camera reading `cameraTime` of a photo; `photoSubSeconds`
// tells whether that reading has its fraction of a second. `syncs` must be
// ordered by utcTime and not empty.
ClockEstimate estimateOffset(const std::vector<ClockSync>& syncs, int64_t cameraTime, bool photoSubSeconds);

// The drift of the clock since it was last set, in ms a week (positive: the
// clock gains); nothing without two synchronizations a day apart since.
std::optional<double> latestDriftPerWeek(const std::vector<ClockSync>& syncs);

// "drifts 7 s a week", "drifts 2 min 5 s a week", "drifts less than 1 s a
// week"; empty for no drift known.
std::string driftText(std::optional<double> msPerWeek);

// What the answer says about an estimate: "one", "interpolated", ...
const char* methodName(ClockMethod method);
// "The clock offset is interpolated between the synchronizations of A and B."
std::string clockText(const ClockEstimate& estimate, const std::vector<ClockSync>& syncs);

} // namespace service
