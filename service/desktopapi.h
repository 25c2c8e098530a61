#pragma once

#include "service/api.h"

#include <string>
#include <vector>

namespace service {

// Of a span of this many fixes or more, getTrack reads evenly spaced ones
// (Store::trackPoints): at most 32 MB per request whatever the span holds.
constexpr size_t maxTrackFixesRead = 2000000;

// The requests with which the desktop program shows what the service holds,
// the live synchronization code on its own screen and the track on its map.
// Each takes {"userID"}; an empty identifier is accepted only on a local
// request (a loopback connection to a service that listens on loopback
// alone), for the service's single account (singleAccount in service/api.h).
class DesktopApi {
public:
    // `address` is the address the service listens on, `port` its port;
    // `proxied`: it serves behind a reverse proxy, reachable from the network.
    DesktopApi(Api& api, std::string address, int port, bool localRequest, bool proxied = false);

    // {"phoneName", "positions", "first", "last", "phonePageUrls", "userID",
    // "listening": "loopback" or "network"}, and "demo": true for a demo account.
    Reply serviceStatus(const std::string& body);
    // {"syncID", "elapsedTime", "validFor", "phoneName"}: a fresh code of the
    // user's phone, the milliseconds since it was made and for which it stays
    // valid, and the phone's name.
    Reply syncCode(const std::string& body);
    // {"positions": [[UTC ms, latitude, longitude], ...], "tolerance", "total"}
    // for {"userID", "from", "to"} (ISO 8601 times, both included): the fixes
    // of the span, time ascending, thinned to at most maxTrackPositions
    // (thinTrack in service/trackthin.h), every one left out within
    // "tolerance" metres of the line kept (rounded up to the centimetre), and
    // how many the span holds. Of a span of maxTrackFixesRead fixes or more
    // the evenly spaced ones read are thinned; the others are not measured.
    Reply getTrack(const std::string& body);

    // The addresses at which a phone reaches the phone page.
    std::vector<std::string> phonePageUrls() const;

private:
    // The user a request names by "userID"; nothing, with the reason, when
    // there is none to answer.
    std::optional<User> user(const std::string& userId, std::string* error = nullptr);
    // The answer for the user the request names, or its refusal: 204 when it
    // names none, 203 when the service does not answer that user.
    Reply forUser(const std::string& body, Reply (DesktopApi::*answer)(const User&, const nlohmann::json&));
    Reply statusOf(const User& owner, const nlohmann::json& request);
    Reply codeOf(const User& owner, const nlohmann::json& request);
    Reply trackOf(const User& owner, const nlohmann::json& request);

    Api& api_;
    std::string address_;
    int port_;
    bool local_;
    bool proxied_;
};

} // namespace service
