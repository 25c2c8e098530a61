#include "service/trackimport.h"

#include "service/api.h"
#include "service/text.h"

#include <QFile>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <vector>

namespace service {

namespace {

constexpr size_t batchSize = 20000;

// "3 May 09:12" in the zone; the year too when it is not that of `reference`.
std::string shortLocalTime(int64_t utcMs, const std::string& zoneId, int64_t reference)
{
    static const char* const months[] = { "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec" };
    const CivilTime local = civilTime(zoneMoment(zoneId, utcMs).wallClock);
    const CivilTime other = civilTime(zoneMoment(zoneId, reference).wallClock);
    std::string text = std::to_string(local.day) + " " + months[local.month - 1]; // civilTime: month 1 to 12
    if (local.year != other.year)
        text += " " + std::to_string(local.year);
    char clock[16];
    std::snprintf(clock, sizeof clock, " %02d:%02d", local.hour, local.minute);
    return text + clock;
}

} // namespace

std::string groupedNumber(int64_t value)
{
    // The magnitude in unsigned arithmetic, where that of INT64_MIN fits.
    std::string digits = std::to_string(value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value));
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<size_t>(at), ",");
    return (value < 0 ? "-" : "") + digits;
}

TrackImport importTrackFile(Store& store, int64_t user, const std::string& path, const std::string& zoneId,
                            int64_t now, const ReadProgress& progress)
{
    TrackImport result;
    result.first = std::numeric_limits<int64_t>::max();
    result.last = std::numeric_limits<int64_t>::min();
    std::vector<Fix> batch;
    batch.reserve(batchSize);
    auto flush = [&] {
        if (batch.empty())
            return true;
        const auto added = store.addNewFixes(user, batch);
        if (!added) {
            result.storeFailed = true;
            return false;
        }
        result.imported += *added;
        result.repeated += static_cast<int64_t>(batch.size()) - *added;
        batch.clear();
        return true;
    };
    const FixSink sink = [&](const Fix& fix) {
        if (fix.time < result.first) {
            result.first = fix.time;
            result.firstZone = fix.zoneId;
        }
        if (fix.time > result.last) {
            result.last = fix.time;
            result.lastZone = fix.zoneId;
        }
        batch.push_back(fix);
        return batch.size() < batchSize || flush();
    };
    readTrack(path, zoneId, now, sink, progress, result.reading, &result.readError);
    if (!result.storeFailed)
        flush();
    if (result.good() == 0)
        result.first = result.last = 0;
    return result;
}

std::string importSummary(const TrackImport& result)
{
    std::string text;
    if (result.storeFailed)
        return "The positions could not be stored; " + groupedNumber(result.imported)
            + " were stored before the database failed.";
    const int64_t good = result.good();
    if (good > 0) {
        const std::string from = shortLocalTime(result.first, result.firstZone, result.last);
        const std::string to = shortLocalTime(result.last, result.lastZone, result.first);
        const std::string span = result.firstZone == result.lastZone
            ? "from " + from + " to " + to + " (" + result.firstZone + ")"
            : "from " + from + " (" + result.firstZone + ") to " + to + " (" + result.lastZone + ")";
        if (result.imported == 0)
            text = "No new positions: all " + groupedNumber(good) + " positions " + span + " were already stored";
        else {
            text = "Imported " + groupedNumber(result.imported) + (result.imported == 1 ? " position " : " positions ")
                + span;
            if (result.repeated > 0)
                text += "; " + groupedNumber(result.repeated) + " already stored";
        }
    } else {
        text = result.readError.empty() && result.reading.skipped.empty()
            ? "No position could be imported: the file holds no timed points"
            : "No position could be imported";
    }
    const int64_t skipped = result.reading.skippedCount();
    if (skipped > 0) {
        text += "; " + groupedNumber(skipped) + (skipped == 1 ? " point" : " points") + " skipped: ";
        if (result.reading.skipped.size() == 1) {
            text += result.reading.skipped.begin()->first;
        } else {
            bool firstReason = true;
            for (const auto& entry : result.reading.skipped) {
                text += (firstReason ? "" : ", ") + groupedNumber(entry.second) + " " + entry.first;
                firstReason = false;
            }
        }
        // With one reason the place alone; with several, the first's reason too.
        std::string first = result.reading.firstSkip;
        const std::string reason = ": " + result.reading.skipped.begin()->first;
        if (result.reading.skipped.size() == 1 && first.size() > reason.size() && endsWith(first, reason))
            first.resize(first.size() - reason.size());
        text += " (first at " + first + ")";
    }
    text += ".";
    if (!result.readError.empty())
        text += " " + result.readError;
    return text;
}

Reply Api::importTrack(const std::string& userId, const std::string& fileName, const std::string& path)
{
    std::optional<User> user;
    if (!userId.empty()) {
        user = store_.userById(userId);
        if (!user)
            return Reply::make(203, "Unknown user",
                               "The web service does not know this user. Synchronize a camera to start again.");
        // A demo account's positions stay behind when it is linked to a
        // phone: a person's own track would be lost with them.
        if (user->demo)
            return Reply::make(203, "Demo positions",
                               "This computer uses the demo phone's account, whose positions are left behind when "
                               "it is linked to your phone; your track is not mixed with them. Link this computer "
                               "to your phone first, or forget the demo link in Settings, Web service.");
    }
    // A person who never synchronized gets a user of their own, made only
    // once the file proves to hold positions; the check reads it once more.
    if (!user) {
        TrackImport none;
        readTrack(path, "UTC", now(), [](const Fix&) { return false; }, {}, none.reading, &none.readError);
        if (none.reading.points == 0) {
            Reply reply = Reply::make(202, "Nothing imported", importSummary(none));
            reply.json["imported"] = 0;
            reply.json["skipped"] = none.reading.skippedCount();
            reply.json["userID"] = "";
            return reply;
        }
        user = store_.createUser("Track files");
        if (!user)
            return Reply::make(500, "Server error", "No user could be created for the track.");
    }
    const TrackImport result = importTrackFile(store_, user->id, path, std::string(), now());
    const std::string name = fileName.empty() ? std::string("The track") : fileName.substr(0, 200);
    Reply reply;
    if (result.storeFailed)
        reply = Reply::make(500, "Server error", importSummary(result));
    else if (result.good() == 0)
        reply = Reply::make(202, "Nothing imported", name + ": " + importSummary(result));
    else
        reply = Reply::make(200, result.imported > 0 ? "Track imported" : "Track already imported",
                            importSummary(result));
    reply.json["imported"] = result.imported;
    reply.json["skipped"] = result.reading.skippedCount();
    reply.json["format"] = result.reading.format;
    if (result.good() > 0) {
        reply.json["first"] = formatWallClock(result.first) + " UTC";
        reply.json["last"] = formatWallClock(result.last) + " UTC";
        reply.json["timeZoneId"] = result.firstZone;
    }
    reply.json["userID"] = user->userId;
    return reply;
}

} // namespace service
