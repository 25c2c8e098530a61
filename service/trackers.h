#pragma once

#include "service/store.h"
#include "service/timegeo.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace service {

// One HTTP request of a tracker app, as far as the adapters look at it.
struct TrackerRequest {
    std::multimap<std::string, std::string> query; // the URL's query parameters
    std::string body;
    std::string authorization;                     // the Authorization header
};

// What an adapter read from a request.
struct TrackerMessage {
    std::string key;        // the device key the request names; empty when none
    std::vector<Fix> fixes; // in the order sent, zone not yet set
    bool ignored = false;   // a message of the protocol that carries no position
    std::string unusable;   // positions sent in a form the service cannot read: why; empty when none
};

// The adapters: each reads the request into `message` and is false, with the
// reason, when it is no request of its protocol; the key it names is read
// all the same.
//
// The OsmAnd protocol (OsmAnd, GPSLogger, Traccar Client before 9: query
// or form parameters) and Traccar Client's JSON, told apart by the body.
bool readOsmand(const TrackerRequest& request, TrackerMessage* message, std::string* error = nullptr);
// OwnTracks in HTTP mode: the key as basic-auth password or "token" parameter.
bool readOwnTracks(const TrackerRequest& request, TrackerMessage* message, std::string* error = nullptr);
// Overland: GeoJSON points; the key as bearer token or "token" parameter.
bool readOverland(const TrackerRequest& request, TrackerMessage* message, std::string* error = nullptr);

// A tracker's time: Unix seconds, Unix milliseconds (from 10^11 on) or ISO
// 8601 with a zone ("Z", "+02:00" or "+0200").
std::optional<int64_t> parseTrackerTime(const std::string& text);

// What became of one request's fixes.
struct Intake {
    int status = 200;       // 400 bad request, 401 no key, 403 unknown key, 500 store failed
    std::string reason;     // for a refused request or the first refused fix
    int64_t stored = 0;
    int64_t duplicates = 0; // already stored before
    int64_t refused = 0;    // implausible, not stored
};

// Takes the fixes of tracker apps: finds the phone by its device key, refuses
// implausible fixes (a time outside validFixTime's window, impossible
// coordinates, accuracy worse than 1 km; counted in the store for the phone page), gives
// each the time zone of its position and stores those not stored before. Safe
// from many threads.
class TrackerIntake {
public:
    TrackerIntake(Store& store, std::function<int64_t()> clock);

    Intake take(const TrackerMessage& message);
    // The answer to a request that is no request of its protocol, for the
    // reason given: refused for its key first, like any other.
    Intake refuseUnreadable(const std::string& key, const std::string& reason) const;

private:
    // The phone of a device key; otherwise nothing, with the status and the
    // reason of the refusal.
    std::optional<User> phone(const std::string& key, int* status, std::string* error) const;

    Store& store_;
    std::function<int64_t()> clock_;
};

// Whether a fix can be a real position at `now`; false with the reason
// ("impossible coordinates") when it cannot.
bool plausibleFix(const Fix& fix, int64_t now, std::string* error = nullptr);

} // namespace service
