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

// The page /phone: registers the phone, shows its device key, the settings
// of each tracker app, today's fixes and the live synchronization code, and
// records positions itself where the browser allows it.
std::string phonePage();

} // namespace service
