#include "service/phototime.h"

#include "service/accuracy.h"
#include "service/places.h"
#include "service/tzlookup.h"

#include <cmath>

namespace service {

std::string zoneNear(Store& store, int64_t user, int64_t moment)
{
    auto before = store.fixAtOrBefore(user, moment);
    auto after = store.fixAtOrAfter(user, moment);
    if (before && after)
        return moment - before->time <= after->time - moment ? zoneOf(*before) : zoneOf(*after);
    if (before)
        return zoneOf(*before);
    if (after)
        return zoneOf(*after);
    return "UTC";
}

void addPhotoTime(Reply& reply, const std::string& zoneId, int64_t moment)
{
    // The photo's time is written in whole seconds: the nearest one.
    const int64_t halfUp = clampedSum(moment, 500);
    const ZoneMoment zone = zoneMoment(zoneId, halfUp - ((halfUp % 1000) + 1000) % 1000);
    reply.json["utcTime"] = formatIsoTime(moment);
    reply.json["photoTime"] = zone.localTime;
    reply.json["timeZone"] = zone.offsetText;
    reply.json["timeZoneId"] = zone.zoneId;
    reply.json["timeZoneName"] = zone.longName;
}

Reply noPosition(Store& store, int64_t user, int64_t moment, const std::optional<Fix>& before,
                 const std::optional<Fix>& after)
{
    const std::string zoneId = zoneNear(store, user, moment);
    const ZoneMoment at = zoneMoment(zoneId, moment);
    const std::string taken = "The photo was taken at " + at.localTime + " (" + at.zoneId + ")";
    // A fix's local time, with its zone when that is not the photo's.
    const auto localTime = [&at](const Fix& fix) {
        const ZoneMoment local = zoneMoment(zoneOf(fix), fix.time);
        return local.zoneId == at.zoneId ? local.localTime : local.localTime + " (" + local.zoneId + ")";
    };
    std::string text;
    if (!before && !after) {
        text = taken + ", but the phone has recorded no position yet.";
    } else if (before && after) {
        text = taken + ", in a gap of " + durationText(after->time - before->time)
            + " without positions: the phone recorded none between " + localTime(*before) + " and "
            + localTime(*after) + ".";
    } else {
        const int64_t gap = before ? moment - before->time : after->time - moment;
        text = taken + "; the nearest position the phone recorded is " + durationText(gap)
            + (before ? " earlier." : " later.");
    }
    Reply reply = Reply::make(204, "No position", text);
    addPhotoTime(reply, zoneId, moment);
    return reply;
}

Reply placeAt(Store& store, int64_t user, int64_t moment, int64_t clockUncertaintyMs)
{
    const auto before = store.fixAtOrBefore(user, moment);
    const auto after = store.fixAtOrAfter(user, moment);
    const auto position = locate(before, after, moment);
    if (!position)
        return noPosition(store, user, moment, before, after);
    FixesAround around { before, after, std::nullopt, std::nullopt };
    if (acrossLongGap(before, after)) {
        around.beforeBefore = before ? store.fixAtOrBefore(user, before->time - 1) : std::nullopt;
        around.afterAfter = after ? store.fixAtOrAfter(user, after->time + 1) : std::nullopt;
    }
    const StatedAccuracy accuracy = statedAccuracy(around, moment, clockUncertaintyMs);
    const auto tenths = [](double metres) { return std::round(metres * 10) / 10; };
    Reply reply = Reply::make(200, "", "");
    reply.json["latitude"] = position->latitude;
    reply.json["longitude"] = position->longitude;
    reply.json["altitude"] = position->altitude;
    reply.json["accuracy"] = tenths(accuracy.total);
    reply.json["accuracyParts"] = { { "fixes", tenths(accuracy.fixes) },
                                    { "movement", tenths(accuracy.movement) },
                                    { "clock", tenths(accuracy.clock) } };
    if (const auto place = service::placeAt(position->latitude, position->longitude))
        reply.json["place"] = { { "city", place->city },
                                { "sublocation", place->sublocation },
                                { "region", place->region },
                                { "country", place->country },
                                { "countryCode", place->countryCode },
                                { "distance", place->distance } };
    // A fix without a zone of its own is in the zone of its position.
    addPhotoTime(reply, zoneOf(*position), moment);
    return reply;
}

} // namespace service
