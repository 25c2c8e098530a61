#pragma once

#include <string>

namespace httplib {
class Server;
}

namespace service {

class Api;
class TrackerIntake;

// The routes of the tracker apps (/track/osmand, /track/owntracks,
// /track/overland) and of the phone page (/phone and what it asks).
void addPhoneRoutes(httplib::Server& server, Api& api, TrackerIntake& intake);

} // namespace service
