#pragma once

// How far a photo's position may lie from where it was taken, in metres, as
// the answers state it: what the phone measured, where the person may have
// gone unobserved, and what an uncertain clock moves the moment by.

#include "service/timegeo.h"

#include <cstdint>
#include <optional>

namespace service {

// A walker's pace, assumed where the fixes tell no speed.
constexpr double walkingSpeed = 1.4; // m/s

struct StatedAccuracy {
    double fixes = 0;    // the accuracy of the fixes used
    double movement = 0; // how far the person could have moved unobserved
    double clock = 0;    // how far the clock's uncertainty moves the position
    double total = 0;    // all three together
};

// The great-circle distance between two positions in metres.
double metresBetween(double latitude1, double longitude1, double latitude2, double longitude2);

// The fixes around a photo's moment: the last at or before it and the first
// at or after it, and the ones beyond those two.
struct FixesAround {
    std::optional<Fix> before, after;
    std::optional<Fix> beforeBefore, afterAfter;
};

// Across a gap longer than this the phone may have moved faster than the
// straight line between its ends tells: the speeds on either side count too.
constexpr int64_t longGapMs = 60 * 1000;
// Whether the fixes around a moment leave such a gap (or only one side):
// then the fixes beyond them count for the speed.
bool acrossLongGap(const std::optional<Fix>& before, const std::optional<Fix>& after);

// The stated accuracy of the position that locate() finds at `moment` from
// the fixes around it, the clock offset being uncertain by
// `clockUncertaintyMs`. The person moves at the speed between the two fixes
// (at least walkingSpeed when only the nearer fix is used; across a long gap
// at least the speed just before and after it); the movement is
// that speed over the shorter of the two spans to the fixes, and the clock
// part that speed over the clock's uncertainty. The fixes' accuracy (a 68 %
// radius) counts 1.5 times, for a 90 % one; the parts add as independent errors.
StatedAccuracy statedAccuracy(const FixesAround& fixes, int64_t moment, int64_t clockUncertaintyMs);

} // namespace service
