#pragma once

#include "service/api.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace service {

class TrackerIntake;

// A certificate and its private key (PEM files) to serve HTTPS with.
struct TlsFiles {
    std::string certificate;
    std::string key;
};

// The HTTP side of the service: the four endpoints of the desktop program,
// the phone's endpoints and the "/sync" page, all answered by one Api.
class HttpServer {
public:
    // Serves HTTPS when `tls` names a certificate.
    explicit HttpServer(Api& api, const TlsFiles& tls = {});
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds the address; port 0 takes any free port. False with the reason
    // when the address cannot be used.
    bool bind(const std::string& address, int port, std::string* error);
    // False when the certificate or key of HTTPS cannot be used.
    bool valid() const;
    int port() const { return port_; }

    // Serves until stop() (from another thread or a signal handler's helper).
    bool run();
    // Serves on a thread of its own; returns once requests are accepted.
    void start();
    void stop();

private:
    Api& api_;
    std::unique_ptr<httplib::Server> server_;
    std::unique_ptr<TrackerIntake> intake_;
    std::thread thread_;
    std::atomic<bool> finished_ { false };
    int port_ = 0;
    int socket_ = -1; // the listening socket, once bound
};

// The "/sync" page for a code: HTML that shows the code's QR image and
// reloads it several times a second.
std::string syncPage(const std::string& code, const std::string& phoneName);

} // namespace service
