#include "service/httpserver.h"

#include "service/hosts.h"
#include "service/listener.h"
#include "service/routes.h"

namespace service {

HttpServer::HttpServer(Api& api, ServerLimits limits, const TlsFiles& tls)
    : listener_(std::make_unique<Listener>(limits)), routes_(std::make_unique<Routes>(api, *listener_, binding_))
{
    if (!tls.certificate.empty() || !tls.key.empty())
        valid_ = listener_->useTls(tls);
    routes_->install();
}

HttpServer::~HttpServer()
{
    stop();
}

bool HttpServer::bind(const std::string& address, int port, std::string* error)
{
    const auto bound = listener_->open(address, port, error);
    if (!bound) {
        binding_.port = 0;
        return false;
    }
    binding_.address = address;
    binding_.port = *bound;
    // Behind a reverse proxy every client comes through loopback.
    binding_.loopbackOnly
        = listener_->limits().proxies.empty() && (address == "localhost" || isLoopbackAddress(address));
    return true;
}

bool HttpServer::run()
{
    const bool served = listener_->serve();
    listener_->markFinished();
    return served;
}

void HttpServer::start()
{
    thread_ = std::thread([this] { run(); });
    listener_->waitUntilServing();
}

void HttpServer::stop()
{
    listener_->halt();
    if (thread_.joinable())
        thread_.join();
}

} // namespace service
