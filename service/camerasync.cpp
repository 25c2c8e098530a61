#include "service/camerasync.h"

#include "service/text.h"
#include "service/trackimport.h"
#include "service/tzlookup.h"

#include <cmath>
#include <cstdlib>
#include <optional>
#include <vector>

namespace service {

namespace {

constexpr int64_t phoneZoneReachMs = 3600 * 1000;

// The zone a clock is told in, and where it came from: "phone" or "computer".
struct ClockZone {
    ZoneMoment zone;
    const char* source;
};

ClockZone clockZone(Store& store, int64_t user, int64_t moment, const std::string& computerZoneId)
{
    const auto before = store.fixAtOrBefore(user, moment);
    const auto after = store.fixAtOrAfter(user, moment);
    const bool beforeNearer = before && (!after || moment - before->time <= after->time - moment);
    const std::optional<Fix>& nearest = beforeNearer ? before : after;
    if (nearest && std::abs(nearest->time - moment) <= phoneZoneReachMs)
        return { zoneMoment(zoneOf(*nearest), moment), "phone" };
    return { zoneMoment(isKnownZone(computerZoneId) ? computerZoneId : "UTC", moment), "computer" };
}

// Whole seconds of a duration, halves away from zero.
int64_t roundedSeconds(int64_t ms)
{
    return ms >= 0 ? (ms + 500) / 1000 : -((500 - ms) / 1000);
}

// "2,161 positions", "1 camera"
std::string counted(int64_t count, const char* one, const char* many)
{
    return groupedNumber(count) + " " + (count == 1 ? one : many);
}

} // namespace

std::string cameraLabel(const std::string& model, const std::string& identity)
{
    if (identity.empty())
        return model.empty() ? std::string("The camera") : "The camera " + model;
    return "The camera " + (model.empty() ? std::string() : model + " ") + "(serial number " + identity + ")";
}

int64_t subSecondsMs(const std::string& digits)
{
    if (!hasSubSeconds(digits))
        return 0;
    return std::stoll((trimmed(digits) + "00").substr(0, 3));
}

std::vector<ClockSync> clockSyncs(const std::vector<Synchronization>& synchronizations)
{
    std::vector<ClockSync> syncs;
    syncs.reserve(synchronizations.size());
    for (const Synchronization& sync : synchronizations)
        syncs.push_back({ sync.cameraTime, sync.utcTime, sync.localTime });
    return syncs;
}

nlohmann::json clockMember(const ClockEstimate& estimate, const std::vector<ClockSync>& syncs, const std::string& camera)
{
    nlohmann::json used = nlohmann::json::array();
    for (const size_t index : estimate.used)
        used.push_back(syncs.at(index).label);
    const std::optional<double> drift = latestDriftPerWeek(syncs);
    return { { "offsetMs", estimate.offsetMs },
             { "uncertaintyMs", estimate.uncertaintyMs },
             { "method", methodName(estimate.method) },
             { "synchronizations", std::move(used) },
             { "clockChanged", estimate.clockChanged },
             { "camera", camera },
             { "drift", driftText(drift) },
             { "text", clockText(estimate, syncs) } };
}

void addDrift(nlohmann::json& entry, const std::vector<Synchronization>& synchronizations)
{
    const std::optional<double> drift = latestDriftPerWeek(clockSyncs(synchronizations));
    entry["drift"] = driftText(drift);
    entry["driftMsPerWeek"] = std::llround(drift.value_or(0));
}

bool hasSubSeconds(const std::string& digits)
{
    const std::string text = trimmed(digits);
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

Reply storeSynchronization(Store& store, const User& owner, const std::string& code, const SyncPhoto& photo,
                           int64_t moment)
{
    const ClockZone clock = clockZone(store, owner.id, moment, photo.computerZoneId);
    const ZoneMoment& zone = clock.zone;
    Synchronization sync;
    sync.code = code;
    sync.clockOffset = photo.cameraTime - moment;
    sync.cameraTime = photo.cameraTime;
    sync.utcTime = moment;
    sync.zoneId = zone.zoneId;
    sync.zoneOffset = zone.offsetText;
    sync.zoneName = zone.longName;
    sync.localTime = zone.localTime;
    if (!store.addSynchronization(owner.id, photo.model, photo.serialNumber, photo.internalSerialNumber, sync))
        return Reply::make(500, "Server error", "The synchronization could not be stored.");

    // The text and the number tell the same whole seconds.
    const int64_t againstLocal = sync.clockOffset - zone.offsetSeconds * 1000LL;
    const int64_t seconds = roundedSeconds(againstLocal);
    const std::string told = seconds == 0
        ? std::string("shows the local time")
        : "is " + durationText(seconds * 1000) + (seconds > 0 ? " ahead of" : " behind") + " the local time";
    const std::string& identity = photo.serialNumber.empty() ? photo.internalSerialNumber : photo.serialNumber;
    Reply reply = Reply::make(200, "Camera synchronized",
                              cameraLabel(photo.model, identity) + " is synchronized; its clock " + told + " in "
                                  + zone.zoneId + ".");
    reply.json["userID"] = owner.userId;
    // How far the camera's clock is ahead of the local time (negative: behind).
    reply.json["clockOffset"] = seconds;
    reply.json["clockOffsetMs"] = againstLocal;
    reply.json["timeZoneId"] = zone.zoneId;
    reply.json["timeZoneName"] = zone.longName;
    reply.json["zoneSource"] = clock.source;
    return reply;
}

std::string linkText(const std::string& phoneName, int64_t positions, int64_t cameras, bool demo)
{
    std::string text = "Link this computer to the phone '" + phoneName + "'?";
    if (positions > 0 && cameras > 0)
        text += " The " + counted(positions, "position", "positions") + " imported here and "
            + counted(cameras, "camera", "cameras") + " move to it.";
    else if (positions > 0)
        text += " The " + counted(positions, "position imported here moves", "positions imported here move") + " to it.";
    else if (cameras > 0)
        text += " The " + counted(cameras, "camera synchronized here moves", "cameras synchronized here move") + " to it.";
    if (demo)
        text += " The demo positions stay behind.";
    else if (positions == 0 && cameras == 0)
        text += " Nothing was recorded here, so nothing is lost.";
    return text;
}

Reply linkQuestion(Store& store, const User& desktop, const User& owner)
{
    // A failing database reads as nothing to move; the merge itself would fail then too.
    const int64_t positions = desktop.demo ? 0 : store.fixCount(desktop.id).value_or(0);
    const auto cameras = static_cast<int64_t>(store.cameras(desktop.id).value_or(std::vector<Camera>()).size());
    Reply reply = Reply::make(203, "Link this computer?", linkText(owner.phoneName, positions, cameras, desktop.demo));
    reply.json["link"] = { { "phoneName", owner.phoneName },
                           { "positions", positions },
                           { "cameras", cameras },
                           { "demo", desktop.demo } };
    return reply;
}

} // namespace service
