#pragma once

// When a photo was taken, as geocodeImage's answers tell it: with its place,
// and without one (its texts and the moment all the same).

#include "service/api.h"

#include <cstdint>
#include <optional>
#include <string>

namespace service {

// The zone in force at a moment: that of the user's fix nearest in time, any
// distance away; UTC for a user without fixes.
std::string zoneNear(Store& store, int64_t user, int64_t moment);

// Adds to `reply` the photo's corrected `moment` in UTC to the millisecond
// ("utcTime": "2026-05-01T10:00:00.480Z") and in the zone `zoneId` to the
// nearest second ("photoTime", with "timeZone", "timeZoneId", "timeZoneName").
void addPhotoTime(Reply& reply, const std::string& zoneId, int64_t moment);

// The 204 "No position" answer for a photo taken at `moment` when the user's
// fixes `before` and `after` it are too far away: when it was taken, in its
// text and as addPhotoTime tells it, and how far the fixes are.
Reply noPosition(Store& store, int64_t user, int64_t moment, const std::optional<Fix>& before,
                 const std::optional<Fix>& after);

// Where the user was at `moment`, from their fixes around it, with the
// accuracy stated (statedAccuracy) for a clock uncertain by
// `clockUncertaintyMs`, the name of the place ("place": city, sublocation,
// region, country, countryCode and distance, as placeAt in service/places.h
// tells them; left out where it knows none) and when the photo was taken
// (addPhotoTime); the noPosition answer when the fixes are too far away.
Reply placeAt(Store& store, int64_t user, int64_t moment, int64_t clockUncertaintyMs);

} // namespace service
