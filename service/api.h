#pragma once

#include "service/limits.h"
#include "service/store.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace service {

// One answer: the HTTP status and a JSON object. The service's own answers
// (Reply::make) hold "head" and "body" beside the endpoint's own members; the
// protocols with answers of their own (the tracker apps', the phone page's)
// carry their JSON as it is (plainReply in service/httpreply.h).
struct Reply {
    int status = 200;
    nlohmann::json json = nlohmann::json::object();

    static Reply make(int status, const std::string& head, const std::string& body);
    std::string text() const;
};

// How long a synchronization code can be used after it was created.
constexpr int64_t syncCodeLifetimeMs = 15 * 60 * 1000;

// The endpoints of the service, independent of HTTP: each takes the request
// body as text and gives the answer. Safe to call from many threads at once.
class Api {
public:
    using Clock = std::function<int64_t()>;

    explicit Api(Store& store, Clock clock = {});

    int64_t now() const;
    Store& store() { return store_; }

    // What the desktop program calls.
    Reply syncCamera(const std::string& body);
    Reply geocodeImage(const std::string& body);
    Reply getSyncList(const std::string& body);
    Reply removeCamera(const std::string& body);
    // Imports the track file at `path` for the user; an empty userId makes a
    // new user once the file holds positions. Answers "imported", "skipped",
    // "first", "last", "timeZoneId" and "userID".
    Reply importTrack(const std::string& userId, const std::string& fileName, const std::string& path);

    // What a phone calls (the companion app's side).
    Reply registerPhone(const std::string& body);
    Reply uploadFixes(const std::string& body);
    Reply importGpx(const std::string& userId, const std::string& phoneKey, const std::string& zoneId,
                    const std::string& gpx);
    Reply createSyncCode(const std::string& body);
    // A code for the "/sync" page: for the user named by id and key or, when
    // none is named and `onlyUserAllowed` (a loopback request to a service
    // bound to loopback), for the service's single account (singleAccount). Answers "syncID"
    // and "phoneName".
    Reply createPageCode(const std::string& userId, const std::string& phoneKey, bool onlyUserAllowed);

    // The QR payload that shows `code` at this moment, {"elapsedTime":..,"syncID":..};
    // nothing when the code is unknown or has expired.
    std::optional<std::string> syncPayload(const std::string& code);

    // The user a phone request names, when its key matches: the one check of
    // a phone's credential for every route.
    std::optional<User> authenticate(const std::string& userId, const std::string& phoneKey);

private:
    // The answer to a phone endpoint's request: `answer`'s for the phone the
    // request names by "userID" and "phoneKey", the refusal when it names none
    // or the key does not match.
    Reply forPhone(const nlohmann::json& request, const std::function<Reply(const User&)>& answer);

    Store& store_;
    Clock clock_;
};

// The account a loopback request that names none is answered for: the single
// account that is no demo, or the single demo account while there is no other.
std::optional<User> singleAccount(const std::vector<User>& users);

// Parses a request body: an object, or a discarded value when the text is not
// JSON, nests deeper than a few levels or is not an object.
nlohmann::json parseRequest(const std::string& body);

} // namespace service
