#pragma once

#include "service/api.h"
#include "service/trackers.h"

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace service {

// The routes of the tracker apps (/track/osmand, /track/owntracks,
// /track/overland) and of the phone page (/phone and what it asks). The
// tracker apps answer in their protocols' terms: a refused request gets
// {"error": reason}, and the phone page's questions get their JSON as it is.
class Listener;

class PhoneRoutes {
public:
    // The listener gives the requests' headers as sent.
    PhoneRoutes(Api& api, Listener& listener);

    void addTo(httplib::Server& server);

private:
    using Reader = bool (*)(const TrackerRequest&, TrackerMessage*, std::string*);

    void osmand(const httplib::Request& request, httplib::Response& response);
    void ownTracks(const httplib::Request& request, httplib::Response& response);
    void overland(const httplib::Request& request, httplib::Response& response);
    // Reads a tracker app's request and takes its fixes: the answer is
    // `taken` then, otherwise the refusal. The headers tell of fixes refused.
    Reply track(Reader read, const httplib::Request& request, httplib::Response& response, Reply taken);

    void page(const httplib::Request& request, httplib::Response& response);
    // What the page shows about its phone: {"userID","phoneKey","since"} in.
    void status(const httplib::Request& request, httplib::Response& response);
    void qrCode(const httplib::Request& request, httplib::Response& response);

    Api& api_;
    Listener& listener_;
    TrackerIntake intake_;
};

} // namespace service
