#pragma once

#include "service/api.h"
#include "service/serversettings.h"

#include <memory>
#include <string>
#include <thread>

namespace service {

class Listener;
class Routes;

// The HTTP side of the service: the desktop program's endpoints, the phone's
// endpoints, the tracker apps' and the "/sync" and phone pages (see Routes),
// all answered by one Api. Every route shares the protections of the
// connection layer (Listener): time limits for reading a request, a cap on
// connections per client address, and, on a service bound to loopback, the
// refusal of foreign Host names. Behind a reverse proxy (ServerLimits::proxies)
// the proxy's connections are held to no cap per address, and each request
// counts as one of the client the proxy names.
class HttpServer {
public:
    // Serves HTTPS when `tls` names a certificate or a key.
    explicit HttpServer(Api& api, ServerLimits limits = {}, const TlsFiles& tls = {});
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds the address; port 0 takes any free port. False with the reason
    // when the address cannot be used.
    bool bind(const std::string& address, int port, std::string* error = nullptr);
    // False when the certificate or key of HTTPS cannot be used.
    bool valid() const { return valid_; }
    // The port bound; 0 before bind() succeeds.
    int port() const { return binding_.port; }
    // The address bound.
    const std::string& address() const { return binding_.address; }
    // Bound to a loopback address only, with no reverse proxy: the
    // single-user "/sync" page needs no key, and Host names other than
    // loopback ones are refused.
    bool loopbackOnly() const { return binding_.loopbackOnly; }

    // Serves until stop() (from another thread, such as one that waits for
    // a signal); false when nothing is bound.
    bool run();
    // Serves on a thread of its own; returns once requests are accepted.
    void start();
    void stop();

private:
    Binding binding_;
    std::unique_ptr<Listener> listener_;
    std::unique_ptr<Routes> routes_;
    bool valid_ = true;
    std::thread thread_;
};

} // namespace service
