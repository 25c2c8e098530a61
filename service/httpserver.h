#pragma once

#include "service/api.h"
#include "service/serversettings.h"

#include <memory>
#include <string>
#include <thread>

namespace service {

class Listener;
class TrackerIntake;

// The HTTP side of the service: the four endpoints of the desktop program,
// the phone's endpoints and the "/sync" page, all answered by one Api.
// Every route shares the protections of the connection layer: time limits
// for reading a request, a cap on connections per client address, and, on a
// service bound to loopback, the refusal of foreign Host names.
class HttpServer {
public:
    // Serves HTTPS when `tls` names a certificate.
    explicit HttpServer(Api& api, ServerLimits limits = {}, const TlsFiles& tls = {});
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds the address; port 0 takes any free port. False with the reason
    // when the address cannot be used.
    bool bind(const std::string& address, int port, std::string* error);
    // False when the certificate or key of HTTPS cannot be used.
    bool valid() const { return valid_; }
    int port() const { return port_; }
    const std::string& address() const { return address_; }
    // Bound to a loopback address only: the single-user "/sync" page needs
    // no key, and Host names other than loopback ones are refused.
    bool loopbackOnly() const { return loopbackOnly_; }

    // Serves until stop() (from another thread or a signal handler's helper).
    bool run();
    // Serves on a thread of its own; returns once requests are accepted.
    void start();
    void stop();

private:
    Api& api_;
    std::unique_ptr<Listener> server_;
    std::unique_ptr<TrackerIntake> intake_;
    bool valid_ = true;
    std::thread thread_;
    int port_ = 0;
    std::string address_; // the address bound
    bool loopbackOnly_ = false;
};

} // namespace service
