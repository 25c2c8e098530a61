#include "service/accuracy.h"

#include "service/trackthin.h"

#include <algorithm>
#include <cmath>

namespace service {

namespace {

// A 68 % radius (as phones state it) to a 90 % one, for errors spread
// normally in both directions.
constexpr double fixAccuracyTo90 = 1.5;

double speedBetween(const Fix& a, const Fix& b)
{
    const double seconds = std::abs(static_cast<double>(b.time - a.time)) / 1000;
    return seconds > 0 ? metresBetween(a.latitude, a.longitude, b.latitude, b.longitude) / seconds : 0;
}

} // namespace

double metresBetween(double latitude1, double longitude1, double latitude2, double longitude2)
{
    const double radians = M_PI / 180;
    const double dLat = (latitude2 - latitude1) * radians;
    const double dLon = (longitude2 - longitude1) * radians;
    const double h = std::sin(dLat / 2) * std::sin(dLat / 2)
        + std::cos(latitude1 * radians) * std::cos(latitude2 * radians) * std::sin(dLon / 2) * std::sin(dLon / 2);
    return 2 * earthRadiusMetres * std::asin(std::min(1.0, std::sqrt(h)));
}

bool acrossLongGap(const std::optional<Fix>& before, const std::optional<Fix>& after)
{
    return !before || !after || after->time - before->time > longGapMs;
}

StatedAccuracy statedAccuracy(const FixesAround& fixes, int64_t moment, int64_t clockUncertaintyMs)
{
    const std::optional<Fix>& before = fixes.before;
    const std::optional<Fix>& after = fixes.after;
    StatedAccuracy stated;
    if (!before && !after)
        return stated;
    double speed = 0;
    double unobservedMs = 0;
    if (before && after && after->time - before->time <= maxInterpolationGapMs) {
        stated.fixes = std::max(before->accuracy, after->accuracy);
        speed = speedBetween(*before, *after);
        unobservedMs = static_cast<double>(std::min(moment - before->time, after->time - moment));
    } else {
        const bool useBefore = before && (!after || moment - before->time <= after->time - moment);
        const Fix& nearest = useBefore ? *before : *after;
        stated.fixes = nearest.accuracy;
        speed = std::max(before && after ? speedBetween(*before, *after) : 0.0, walkingSpeed);
        unobservedMs = std::abs(static_cast<double>(moment - nearest.time));
    }
    if (acrossLongGap(before, after)) {
        if (before && fixes.beforeBefore && before->time - fixes.beforeBefore->time <= maxInterpolationGapMs)
            speed = std::max(speed, speedBetween(*fixes.beforeBefore, *before));
        if (after && fixes.afterAfter && fixes.afterAfter->time - after->time <= maxInterpolationGapMs)
            speed = std::max(speed, speedBetween(*after, *fixes.afterAfter));
    }
    stated.movement = speed * std::max(0.0, unobservedMs) / 1000;
    stated.clock = speed * static_cast<double>(std::max<int64_t>(0, clockUncertaintyMs)) / 1000;
    stated.total = std::sqrt(std::pow(fixAccuracyTo90 * stated.fixes, 2) + std::pow(stated.movement, 2)
                             + std::pow(stated.clock, 2));
    return stated;
}

} // namespace service
