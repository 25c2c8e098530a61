#include "service/api.h"

#include "service/camerasync.h"
#include "service/phototime.h"
#include "service/tracks/trackreader.h"
#include "service/tzlookup.h"

#include <chrono>
#include <cmath>

namespace service {

using nlohmann::json;

namespace {

constexpr size_t maxTextBytes = 256;
constexpr size_t maxFixesPerUpload = 100000;
constexpr int maxNesting = 16;

// Reads the members of a request object, remembering the first problem.
class Members {
public:
    explicit Members(const json& object) : object_(object) {}

    // True when every member read so far was acceptable; otherwise false
    // with the first problem in `error`.
    bool valid(std::string* error = nullptr) const
    {
        if (error)
            *error = problem_;
        return problem_.empty();
    }

    // A text member: missing or null reads as empty; another kind is an error.
    std::string text(const char* key)
    {
        const json* value = find(key);
        if (!value || value->is_null())
            return std::string();
        if (!value->is_string())
            return fail(key, "must be a string"), std::string();
        const std::string& text = value->get_ref<const std::string&>();
        if (text.size() > maxTextBytes)
            return fail(key, "is longer than " + std::to_string(maxTextBytes) + " bytes"), std::string();
        return text;
    }

    // A whole number (a real is cut toward zero) within +-2^53.
    std::optional<int64_t> integer(const char* key, bool required)
    {
        const json* value = find(key);
        if (!value || value->is_null()) {
            if (required)
                fail(key, "is missing");
            return std::nullopt;
        }
        constexpr int64_t limit = int64_t(1) << 53;
        if (value->is_number_integer() && !value->is_number_unsigned()) {
            const int64_t number = value->get<int64_t>();
            if (number >= -limit && number <= limit)
                return number;
        } else if (value->is_number_unsigned()) {
            const uint64_t number = value->get<uint64_t>();
            if (number <= static_cast<uint64_t>(limit))
                return static_cast<int64_t>(number);
        } else if (value->is_number_float()) {
            const double number = value->get<double>();
            if (std::isfinite(number) && std::fabs(number) <= static_cast<double>(limit))
                return static_cast<int64_t>(number);
        } else {
            fail(key, "must be a number");
            return std::nullopt;
        }
        fail(key, "is out of range");
        return std::nullopt;
    }

    // A finite number.
    std::optional<double> number(const char* key, bool required)
    {
        const json* value = find(key);
        if (!value || value->is_null()) {
            if (required)
                fail(key, "is missing");
            return std::nullopt;
        }
        if (!value->is_number())
            return fail(key, "must be a number"), std::nullopt;
        const double number = value->get<double>();
        if (!std::isfinite(number))
            return fail(key, "is out of range"), std::nullopt;
        return number;
    }

    void fail(const char* key, const std::string& what)
    {
        if (problem_.empty())
            problem_ = std::string("The member \"") + key + "\" " + what + ".";
    }

private:
    const json* find(const char* key) const
    {
        if (!object_.is_object())
            return nullptr;
        auto found = object_.find(key);
        return found == object_.end() ? nullptr : &*found;
    }

    const json& object_;
    std::string problem_;
};

// What the desktop sends about a photo's camera and capture time, read in this order.
struct PhotoMembers {
    std::string userId;
    std::string dateTime;
    std::string model;
    std::string serialNumber;
    std::string internalSerialNumber;

    static PhotoMembers read(Members& members)
    {
        return { members.text("userID"), members.text("dateTimeOriginal"), members.text("model"),
                 members.text("serialNumber"), members.text("internalSerialNumber") };
    }
};

Reply badRequest(int status, const std::string& text)
{
    return Reply::make(status, "Bad request", text);
}

const char* const notAnObject = "The request is not a JSON object.";

Reply forbidden()
{
    return Reply::make(403, "Forbidden", "Unknown user or wrong phone key.");
}

Reply unknownUser()
{
    return Reply::make(203, "Unknown user",
                       "The web service does not know this user. Synchronize a camera to start again.");
}

// The answer to a desktop request: `answer`'s for the user whom the request
// names in "userID", the refusal when it names none the service knows.
Reply forUser(Store& store, const json& request, const std::function<Reply(const User&)>& answer)
{
    Members members(request);
    const std::string userId = members.text("userID");
    std::string error;
    if (!members.valid(&error))
        return badRequest(204, error);
    const auto user = store.userById(userId);
    if (!user)
        return unknownUser();
    return answer(*user);
}

// A fix of an upload; nothing, with what is wrong with it in `error`
// ("is not an object"), when it cannot be stored.
std::optional<Fix> readFix(const json& item, int64_t now, std::string* error)
{
    const auto refuse = [error](const std::string& reason) {
        if (error)
            *error = reason;
        return std::nullopt;
    };
    if (!item.is_object())
        return refuse("is not an object");
    Members members(item);
    Fix fix;
    const auto found = item.find("time");
    if (found != item.end() && found->is_string()) {
        const auto time = parseIsoTime(found->get_ref<const std::string&>());
        if (!time)
            return refuse("has a \"time\" that is not an ISO 8601 time with a zone");
        fix.time = *time;
    } else {
        const auto time = members.integer("time", true);
        fix.time = time.value_or(0);
    }
    fix.latitude = members.number("latitude", true).value_or(0);
    fix.longitude = members.number("longitude", true).value_or(0);
    fix.altitude = members.number("altitude", false).value_or(0);
    fix.accuracy = members.number("accuracy", false).value_or(10);
    fix.zoneId = members.text("timeZoneId");
    // A fix without a zone is in the zone of its place.
    if (fix.zoneId.empty())
        fix.zoneId = zoneAt(fix.latitude, fix.longitude);
    std::string problem;
    if (!members.valid(&problem))
        return refuse(problem);
    if (!validFix(fix, now, &problem))
        return refuse("has " + problem);
    return fix;
}

// The fraction of the second of the photo's capture time in ms: EXIF keeps
// it apart, as digits ("48" is 0.48 s); nothing when the request has none
// ("0" is one).
std::optional<int64_t> fractionOfSecond(const json& request)
{
    const json subSeconds = request.value("subSecTimeOriginal", json());
    if (!subSeconds.is_string() || !hasSubSeconds(subSeconds.get<std::string>()))
        return std::nullopt;
    return subSecondsMs(subSeconds.get<std::string>());
}

} // namespace

Reply Reply::make(int status, const std::string& head, const std::string& body)
{
    Reply reply;
    reply.status = status;
    reply.json["head"] = head;
    reply.json["body"] = body;
    return reply;
}

std::string Reply::text() const
{
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<User> singleAccount(const std::vector<User>& users)
{
    std::vector<User> real, demo;
    for (const User& user : users)
        (user.demo ? demo : real).push_back(user);
    if (real.size() == 1)
        return real.front();
    if (real.empty() && demo.size() == 1)
        return demo.front();
    return std::nullopt;
}

json parseRequest(const std::string& body)
{
    // The parser and the tree it builds recurse per level; deep nesting is
    // refused before parsing.
    int depth = 0;
    bool inString = false;
    for (size_t i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > maxNesting)
                return json(json::value_t::discarded);
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return json::parse(body, nullptr, false);
}

Api::Api(Store& store, Clock clock) : store_(store), clock_(std::move(clock)) {}

int64_t Api::now() const
{
    if (clock_)
        return clock_();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

Reply Api::syncCamera(const std::string& body)
{
    const json request = parseRequest(body);
    if (!request.is_object())
        return badRequest(204, notAnObject);
    Members members(request);
    const std::string syncId = members.text("syncID");
    const PhotoMembers photo = PhotoMembers::read(members);
    const auto elapsed = members.integer("elapsedTime", true);
    const std::string computerZoneId = members.text("computerZoneId");
    std::string error;
    if (!members.valid(&error))
        return badRequest(204, error);

    const int64_t now = this->now();
    const auto code = store_.syncCode(syncId);
    if (!code)
        return Reply::make(204, "Unknown synchronization code",
                           "The web service does not know the synchronization code in this photo. Photograph a "
                           "code that the phone shows now and try again.");
    const auto owner = store_.userByRow(code->owner);
    if (!owner)
        return Reply::make(204, "Unknown synchronization code",
                           "The phone that made this synchronization code is no longer registered.");
    // Whoever holds a code may learn the owner's identifier from it, so that
    // happens once and only while the code is young; so may a desktop with an
    // account of its own join the owner's account. The owner, who names the
    // identifier, may use the code for a camera's clock at any time: the
    // photo of it may reach Kestrel days after the trip.
    const bool young = now - code->created <= syncCodeLifetimeMs;
    std::optional<User> joining;
    if (!photo.userId.empty() && photo.userId != owner->userId) {
        joining = store_.userById(photo.userId);
        if (!joining)
            return Reply::make(203, "Wrong user",
                               "This synchronization code belongs to another user. Photograph a code shown by your "
                               "own phone.");
        if (!young || code->granted)
            return Reply::make(203, "Wrong user",
                               "This synchronization code belongs to another user and is too old to link this "
                               "computer to that phone. Photograph a code that the phone shows now and drop that "
                               "photo within 15 minutes.");
    }
    if (photo.userId.empty() && !young)
        return Reply::make(204, "Synchronization code expired",
                           "The synchronization code in this photo is older than 15 minutes. Photograph a new "
                           "code that the phone shows and drop that photo within 15 minutes.");
    // The code was shown at most until now, and for no longer than its lifetime.
    if (*elapsed < 0 || *elapsed > now - code->created + 1000 || *elapsed > syncCodeLifetimeMs)
        return Reply::make(204, "Invalid synchronization code",
                           "The time shown in this synchronization code (" + std::to_string(*elapsed)
                               + " ms) is impossible for it.");
    const auto cameraTime = parseWallClock(photo.dateTime);
    if (!cameraTime)
        return Reply::make(204, "Cannot read the capture time",
                           "The capture time of the photo \"" + photo.dateTime + "\" is not a date and time.");
    if (photo.model.empty() && photo.serialNumber.empty() && photo.internalSerialNumber.empty())
        return Reply::make(204, "Camera not identified",
                           "The photo names neither the camera model nor its serial number.");
    // Joining is asked first: the desktop sends "linkUser" once its user said yes.
    if (joining && request.value("linkUser", json()) != json(true))
        return linkQuestion(store_, *joining, *owner);
    if ((photo.userId.empty() || joining) && !store_.grantSyncCode(code->code))
        return Reply::make(204, "Synchronization code used",
                           "This synchronization code has already been used. Photograph a new code that the "
                           "phone shows and drop that photo within 15 minutes.");
    if (joining && !store_.mergeUser(joining->id, owner->id))
        return Reply::make(500, "Server error", "This computer could not be linked to the phone.");
    const SyncPhoto synced { photo.model, photo.serialNumber, photo.internalSerialNumber,
                             *cameraTime + fractionOfSecond(request).value_or(0),
                             computerZoneId };
    return storeSynchronization(store_, *owner, code->code, synced, code->created + *elapsed);
}

Reply Api::geocodeImage(const std::string& body)
{
    const json request = parseRequest(body);
    if (!request.is_object())
        return badRequest(204, notAnObject);
    Members members(request);
    const auto [userId, dateTime, model, serialNumber, internalSerialNumber] = PhotoMembers::read(members);
    std::string error;
    if (!members.valid(&error))
        return badRequest(204, error);

    const Store::Reading reading(store_, Store::Reading::replica);
    const auto user = store_.userById(userId);
    if (!user)
        return unknownUser();
    const std::string identity = serialNumber.empty() ? internalSerialNumber : serialNumber;
    const auto camera = store_.findCamera(user->id, model, identity);
    const auto cameraTime = parseWallClock(dateTime);
    const auto synchronizations = camera && cameraTime ? store_.synchronizations(camera->id)
                                                       : std::optional<std::vector<Synchronization>>();
    if (camera && cameraTime && !synchronizations)
        return Reply::make(500, "Server error", "The camera's synchronizations could not be read.");
    if (!camera || (cameraTime && synchronizations->empty()))
        return Reply::make(203, "Camera not synchronized",
                           cameraLabel(model, identity)
                               + " has not been synchronized. Synchronize it first: photograph the synchronization "
                                 "code shown by your phone with this camera and drop that photo on Kestrel.");
    if (!cameraTime)
        return Reply::make(204, "Cannot read the capture time",
                           "The capture time of the photo \"" + dateTime + "\" is not a date and time.");

    const std::optional<int64_t> fraction = fractionOfSecond(request);
    const int64_t shown = *cameraTime + fraction.value_or(0);
    const std::vector<ClockSync> syncs = clockSyncs(*synchronizations);
    const ClockEstimate clock = estimateOffset(syncs, shown, fraction.has_value());
    const nlohmann::json clockAnswer = clockMember(clock, syncs, cameraLabel(model, identity));
    // A position has a time in validFixTime's window; a photo outside it has none.
    const int64_t moment = shown - clock.offsetMs;
    if (std::string outside; !validFixTime(moment, now(), &outside)) {
        Reply reply = Reply::make(204, "No position", "The photo's corrected time, " + formatWallClock(moment)
                                      + " UTC, has no position: " + outside + ".");
        addPhotoTime(reply, zoneNear(store_, user->id, moment), moment);
        reply.json["clock"] = clockAnswer;
        return reply;
    }
    Reply reply = placeAt(store_, user->id, moment, clock.uncertaintyMs);
    reply.json["clock"] = clockAnswer;
    if (user->demo && reply.status == 200)
        reply.json["demo"] = true;
    return reply;
}

Reply Api::getSyncList(const std::string& body)
{
    const json request = parseRequest(body);
    if (!request.is_object())
        return badRequest(204, notAnObject);
    const Store::Reading reading(store_, Store::Reading::replica);
    return forUser(store_, request, [this](const User& user) {
        Reply reply = Reply::make(200, "", "");
        reply.json["phoneName"] = user.phoneName;
        json cameras = json::array();
        // A failing database reads as no cameras.
        for (const Camera& camera : store_.cameras(user.id).value_or(std::vector<Camera>())) {
            json entry;
            entry["cameraName"] = camera.model;
            entry["serial"] = camera.serialNumber.empty() ? camera.internalSerialNumber : camera.serialNumber;
            json syncs = json::array();
            for (const Synchronization& sync : camera.synchronizations) {
                json item;
                // "syncId" in this list; the code's requests and its QR image say "syncID".
                item["syncId"] = sync.syncId;
                item["timeZoneTime"] = sync.localTime;
                item["timeZone"] = sync.zoneOffset;
                item["timeZoneName"] = sync.zoneName;
                syncs.push_back(std::move(item));
            }
            entry["synchronizations"] = std::move(syncs);
            addDrift(entry, camera.synchronizations);
            cameras.push_back(std::move(entry));
        }
        reply.json["cameras"] = std::move(cameras);
        return reply;
    });
}

Reply Api::removeCamera(const std::string& body)
{
    // The program sends the text null for a camera without synchronizations.
    const json request = body.find_first_not_of(" \t\r\n") == std::string::npos ? json() : parseRequest(body);
    if (request.is_null())
        return Reply::make(204, "Nothing to remove", "The request names no synchronization.");
    if (!request.is_object())
        return badRequest(204, notAnObject);
    const auto found = request.find("synchronizations");
    if (found == request.end() || found->is_null())
        return Reply::make(204, "Nothing to remove", "The request names no synchronization.");
    if (!found->is_array())
        return badRequest(204, "The member \"synchronizations\" must be an array of strings.");
    std::vector<std::string> ids;
    for (const json& item : *found) {
        if (!item.is_string())
            return badRequest(204, "The member \"synchronizations\" must be an array of strings.");
        ids.push_back(item.get<std::string>());
    }
    // Only the requesting user's own synchronizations are removed.
    return forUser(store_, request, [this, &ids](const User& user) {
        const auto removed = store_.removeSynchronizations(user.id, ids);
        if (!removed)
            return Reply::make(500, "Server error", "The synchronizations could not be removed.");
        if (*removed == 0)
            return Reply::make(204, "Unknown synchronization",
                               "The web service knows none of the synchronizations to remove.");
        return Reply::make(200, "Camera removed", std::to_string(*removed) + " synchronization(s) removed.");
    });
}

std::optional<User> Api::authenticate(const std::string& userId, const std::string& phoneKey)
{
    auto user = store_.userById(userId);
    if (!user || phoneKey.size() != user->phoneKey.size())
        return std::nullopt;
    unsigned char difference = 0;
    for (size_t i = 0; i < phoneKey.size(); ++i)
        difference |= static_cast<unsigned char>(phoneKey[i] ^ user->phoneKey[i]);
    if (difference != 0)
        return std::nullopt;
    return user;
}

Reply Api::forPhone(const json& request, const std::function<Reply(const User&)>& answer)
{
    if (!request.is_object())
        return badRequest(400, notAnObject);
    Members members(request);
    const std::string userId = members.text("userID");
    const std::string phoneKey = members.text("phoneKey");
    std::string error;
    if (!members.valid(&error))
        return badRequest(400, error);
    const auto user = authenticate(userId, phoneKey);
    if (!user)
        return forbidden();
    return answer(*user);
}

Reply Api::registerPhone(const std::string& body)
{
    const json request = body.empty() ? json::object() : parseRequest(body);
    if (!request.is_object())
        return badRequest(400, notAnObject);
    Members members(request);
    std::string phoneName = members.text("phoneName");
    std::string error;
    if (!members.valid(&error))
        return badRequest(400, error);
    if (phoneName.empty())
        phoneName = "Phone";
    const auto user = store_.createUser(phoneName);
    const auto deviceKey = user ? store_.deviceKey(user->id) : std::nullopt;
    if (!deviceKey)
        return Reply::make(500, "Server error", "The phone could not be registered.");
    Reply reply = Reply::make(200, "Phone registered", "Keep the phone key secret; the phone sends it with its positions.");
    reply.json["userID"] = user->userId;
    reply.json["phoneKey"] = user->phoneKey;
    reply.json["phoneName"] = user->phoneName;
    // The tracker apps' credential: it can only deliver positions.
    reply.json["deviceKey"] = *deviceKey;
    return reply;
}

Reply Api::uploadFixes(const std::string& body)
{
    const json request = parseRequest(body);
    return forPhone(request, [this, &request](const User& user) {
        const auto list = request.find("fixes");
        if (list == request.end() || !list->is_array())
            return badRequest(400, "The member \"fixes\" must be an array.");
        if (list->size() > maxFixesPerUpload)
            return badRequest(400, "At most " + std::to_string(maxFixesPerUpload) + " fixes per upload.");
        std::vector<Fix> fixes;
        fixes.reserve(list->size());
        const int64_t now = this->now();
        for (size_t i = 0; i < list->size(); ++i) {
            std::string error;
            auto fix = readFix((*list)[i], now, &error);
            if (!fix)
                return badRequest(400, "Fix " + std::to_string(i) + " " + error + ". Nothing was stored.");
            fixes.push_back(std::move(*fix));
        }
        const auto stored = store_.addFixes(user.id, fixes);
        if (!stored)
            return Reply::make(500, "Server error", "The fixes could not be stored.");
        Reply reply = Reply::make(200, "Fixes stored", std::to_string(*stored) + " fixes stored.");
        reply.json["stored"] = *stored;
        return reply;
    });
}

Reply Api::importGpx(const std::string& userId, const std::string& phoneKey, const std::string& zoneId,
                     const std::string& gpx)
{
    const auto user = authenticate(userId, phoneKey);
    if (!user)
        return forbidden();
    if (!isKnownZone(zoneId))
        return badRequest(400, "Unknown time zone \"" + zoneId.substr(0, 64) + "\"; give an IANA id such as Europe/Berlin.");
    std::vector<Fix> fixes;
    TrackReading reading;
    std::string error;
    if (!readGpxText(gpx, zoneId, now(), [&fixes](const Fix& fix) { fixes.push_back(fix); return true; }, reading, &error))
        return badRequest(400, error);
    const auto stored = store_.addFixes(user->id, fixes);
    if (!stored)
        return Reply::make(500, "Server error", "The fixes could not be stored.");
    const int64_t skipped = reading.skippedCount();
    Reply reply = Reply::make(200, "Track imported", std::to_string(*stored) + " fixes stored, "
                                  + std::to_string(skipped) + " points without a time skipped.");
    reply.json["stored"] = *stored;
    reply.json["skipped"] = skipped;
    return reply;
}

Reply Api::createSyncCode(const std::string& body)
{
    const json request = parseRequest(body);
    return forPhone(request, [this](const User& user) {
        const auto code = store_.createSyncCode(user.id, now());
        if (!code)
            return Reply::make(500, "Server error", "No synchronization code could be made.");
        Reply reply = Reply::make(200, "Synchronization code", "Show the code to the camera within 15 minutes.");
        reply.json["syncID"] = code->code;
        reply.json["created"] = code->created;
        reply.json["expires"] = code->created + syncCodeLifetimeMs;
        return reply;
    });
}

Reply Api::createPageCode(const std::string& userId, const std::string& phoneKey, bool onlyUserAllowed)
{
    std::optional<User> user;
    if (userId.empty() && phoneKey.empty()) {
        if (!onlyUserAllowed)
            return Reply::make(403, "Phone key needed",
                               "Open this page from your phone: its address carries the phone's key.");
        // A failing database reads as no phone.
        const std::vector<User> all = store_.users().value_or(std::vector<User>());
        user = singleAccount(all);
        if (!user)
            return Reply::make(all.empty() ? 404 : 400, "Which phone?",
                               all.empty() ? "No phone is registered with this service yet. Run \"kestrel-service "
                                             "demo\" or register a phone first."
                                           : "Several phones are registered: open /sync#userID=...&phoneKey=... "
                                             "with the identifier and key of yours.");
    } else {
        user = authenticate(userId, phoneKey);
        if (!user)
            return forbidden();
    }
    const int64_t now = this->now();
    const auto code = store_.createSyncCode(user->id, now);
    if (!code)
        return Reply::make(500, "Server error", "No synchronization code could be made.");
    Reply reply = Reply::make(200, "Synchronization code", "Show the code to the camera within 15 minutes.");
    reply.json["syncID"] = code->code;
    reply.json["phoneName"] = user->phoneName;
    return reply;
}

std::optional<std::string> Api::syncPayload(const std::string& code)
{
    const auto found = store_.syncCode(code);
    if (!found)
        return std::nullopt;
    const int64_t elapsed = now() - found->created;
    if (elapsed < 0 || elapsed > syncCodeLifetimeMs)
        return std::nullopt;
    json payload;
    payload["syncID"] = found->code;
    payload["elapsedTime"] = elapsed;
    return payload.dump();
}

} // namespace service
