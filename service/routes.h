#pragma once

#include "service/api.h"
#include "service/newusers.h"
#include "service/phonepage.h"
#include "service/serversettings.h"
#include "service/uploads.h"

#include <httplib.h>

#include <functional>
#include <string>

namespace service {

class DesktopApi;
class Listener;

// Every route of the service, each answered by a small member function: the
// desktop program's endpoints, the phone's, the "/sync" page and what it
// asks, and those of PhoneRoutes. Before any route, the headers of every
// request are checked; a request no route takes gets a JSON refusal.
class Routes {
public:
    Routes(Api& api, Listener& listener, const Binding& binding);

    // Puts the routes and the checks on the listener.
    void install();

private:
    // The checks of every request's headers before any route sees it.
    httplib::Server::HandlerResponse screen(const httplib::Request& request, httplib::Response& response);
    // Refuses a request whose body is not read: its connection closes.
    httplib::Server::HandlerResponse refuse(httplib::Response& response, const Reply& reply);
    // A loopback request to a service bound to loopback alone.
    bool local(const httplib::Request& request) const;
    // A request through a trusted reverse proxy.
    bool proxied(const httplib::Request& request) const;
    // The address of the request's client: the one its proxy names, or its
    // connection's.
    std::string client(const httplib::Request& request);

    template <Reply (Api::*endpoint)(const std::string&)>
    void apiCall(const httplib::Request& request, httplib::Response& response);
    template <Reply (DesktopApi::*endpoint)(const std::string&)>
    void desktopCall(const httplib::Request& request, httplib::Response& response);
    // The answer of `make`, which makes a new user for a request without
    // credentials, within the quota of the client's address when it counts.
    Reply newUser(const httplib::Request& request, httplib::Response& response, const std::function<Reply()>& make);
    void registerPhone(const httplib::Request& request, httplib::Response& response);
    void importGpx(const httplib::Request& request, httplib::Response& response);
    void importTrack(const httplib::Request& request, httplib::Response& response,
                     const httplib::ContentReader& content);
    void syncPage(const httplib::Request& request, httplib::Response& response);
    void syncQrCode(const httplib::Request& request, httplib::Response& response);
    void syncPayload(const httplib::Request& request, httplib::Response& response);
    void home(const httplib::Request& request, httplib::Response& response);
    void asset(const httplib::Request& request, httplib::Response& response);

    Api& api_;
    Listener& listener_;
    const Binding& binding_;
    PhoneRoutes phone_;
    TrackUploads uploads_;
    NewUserQuota newUsers_;
};

} // namespace service
