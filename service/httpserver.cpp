#include "service/httpserver.h"

#include "service/desktopapi.h"
#include "service/hosts.h"
#include "service/listener.h"
#include "service/phonepage.h"
#include "service/qrsvg.h"
#include "service/trackers.h"
#include "service/trackimport.h"
#include "service/webpages.h"

#include <QTemporaryFile>

#include <httplib.h>

#include <atomic>

namespace service {

namespace {

const char* const jsonType = "application/json; charset=utf-8";

// A text as a header value: UTF-8 with '%', control bytes and bytes above
// 0x7E percent-encoded, so line breaks and accents survive the trip.
std::string headerValue(const std::string& text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string value;
    value.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7e || c == '%') {
            value += '%';
            value += hex[byte >> 4];
            value += hex[byte & 0x0f];
        } else {
            value += c;
        }
    }
    return value;
}

void answer(httplib::Response& response, const Reply& reply)
{
    response.status = reply.status;
    if (reply.status == 204) {
        // A 204 answer has no body in HTTP: clients do not read one, and
        // bytes sent all the same would be taken for the start of the next
        // answer on the connection. Its texts travel as headers instead, which
        // the desktop client turns back into the usual head and body.
        response.set_header("Kestrel-Head", headerValue(reply.json.value("head", std::string())));
        response.set_header("Kestrel-Body", headerValue(reply.json.value("body", std::string())));
        return;
    }
    response.set_content(reply.text(), jsonType);
}

// A route whose body is read as it arrives: at most maxRequestBytes are kept;
// a larger body is read to its end and dropped, and the request refused.
// (The library's own limit is that of track files, which stream to disk.)
httplib::Server::HandlerWithContentReader withBody(httplib::Server::Handler handle)
{
    return [handle](const httplib::Request& request, httplib::Response& response,
                    const httplib::ContentReader& content) {
        std::string body;
        bool tooLarge = false;
        const bool complete = content([&](const char* data, size_t length) {
            if (body.size() + length > maxRequestBytes)
                tooLarge = true;
            else
                body.append(data, length);
            return true;
        });
        if (tooLarge || response.status == 413) {
            answer(response, Reply::make(413, "Request too large", "The service cannot answer this request (HTTP status 413)."));
            return;
        }
        if (!complete) {
            answer(response, Reply::make(400, "Bad request", "The request's body did not arrive whole."));
            return;
        }
        httplib::Request whole = request;
        whole.body = std::move(body);
        handle(whole, response);
    };
}

const char* statusHead(int status)
{
    switch (status) {
    case 400: return "Bad request";
    case 404: return "Not found";
    case 405: return "Method not allowed";
    case 413: return "Request too large";
    default: return status >= 500 ? "Server error" : "Request refused";
    }
}

} // namespace

HttpServer::HttpServer(Api& api, ServerLimits limits, const TlsFiles& tls)
    : api_(api), server_(std::make_unique<Listener>(limits)),
      intake_(std::make_unique<TrackerIntake>(api.store(), [&api] { return api.now(); }))
{
    if (!tls.certificate.empty() || !tls.key.empty())
        valid_ = server_->useTls(tls);
    httplib::Server& server = *server_;
    // Track files may be large; every other request is refused beyond
    // maxRequestBytes before its body is read, and a chunked one keeps at most
    // that much (withBody).
    server.set_payload_max_length(maxTrackBytes);

    // Checks of every request, before any route sees it.
    server.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
        const auto refuse = [&](int status, const char* head, const std::string& text) {
            answer(response, Reply::make(status, head, text));
            // The body was not read: nothing after it on this connection can
            // be trusted. The client hears that the connection closes, so
            // that it sends its next request on a new one.
            server_->closeAfterAnswer(response);
            return httplib::Server::HandlerResponse::Handled;
        };
        if (loopbackOnly_ && !isLoopbackHost(request.get_header_value("Host")))
            return refuse(403, "Forbidden host",
                          "This service answers only requests addressed to this computer (localhost).");
        const size_t lengths = request.get_header_value_count("Content-Length");
        if (lengths > 1) {
            const std::string first = request.get_header_value("Content-Length", 0);
            for (size_t i = 1; i < lengths; ++i)
                if (request.get_header_value("Content-Length", i) != first)
                    return refuse(400, "Bad request", "The request has conflicting Content-Length headers.");
        }
        if (lengths > 0 && request.has_header("Transfer-Encoding"))
            return refuse(400, "Bad request", "The request has both Content-Length and Transfer-Encoding.");
        const std::string lengthText = request.get_header_value("Content-Length");
        if (lengthText.find_first_not_of("0123456789") != std::string::npos || lengthText.size() > 18)
            return refuse(400, "Bad request", "The request's Content-Length is not a number.");
        const size_t length = lengthText.empty() ? 0 : std::stoull(lengthText);
        const bool track = request.path == "/importTrack";
        if (length > (track ? maxTrackBytes : maxRequestBytes))
            return refuse(413, "Request too large",
                          "The service cannot answer this request (HTTP status 413).");
        // The headers are in; the body gets its own time.
        // A track file gets a millisecond more for each kilobyte (1 MB/s at least).
        server_->expectBody(length, server_->limits().bodyMs + (track ? static_cast<int>(length / 1000) : 0));
        return httplib::Server::HandlerResponse::Unhandled;
    });

    using Endpoint = Reply (Api::*)(const std::string&);
    const std::pair<const char*, Endpoint> endpoints[] = {
        { "/syncCamera", &Api::syncCamera },
        { "/geocodeImage", &Api::geocodeImage },
        { "/getSyncList", &Api::getSyncList },
        { "/removeCamera", &Api::removeCamera },
    };
    for (const auto& endpoint : endpoints) {
        const Endpoint method = endpoint.second;
        server.Put(endpoint.first, withBody([this, method](const httplib::Request& request, httplib::Response& response) {
            answer(response, (api_.*method)(request.body));
        }));
    }

    // What the desktop program shows of the service.
    using DesktopEndpoint = Reply (DesktopApi::*)(const std::string&);
    const std::pair<const char*, DesktopEndpoint> desktopEndpoints[] = {
        { "/serviceStatus", &DesktopApi::serviceStatus },
        { "/syncCode", &DesktopApi::syncCode },
    };
    for (const auto& endpoint : desktopEndpoints) {
        const DesktopEndpoint method = endpoint.second;
        server.Put(endpoint.first, [this, method](const httplib::Request& request, httplib::Response& response) {
            // No user named: answered for a loopback-only service's single
            // user, on a loopback connection, like the "/sync" page.
            DesktopApi desktop(api_, address_, port_, loopbackOnly_ && isLoopbackAddress(request.remote_addr));
            answer(response, (desktop.*method)(request.body));
        });
    }

    // The phone's side.
    server.Post("/phone/register", withBody([this](const httplib::Request& request, httplib::Response& response) {
        answer(response, api_.registerPhone(request.body));
    }));
    server.Post("/phone/fixes", withBody([this](const httplib::Request& request, httplib::Response& response) {
        answer(response, api_.uploadFixes(request.body));
    }));
    server.Post("/phone/syncCode", withBody([this](const httplib::Request& request, httplib::Response& response) {
        answer(response, api_.createSyncCode(request.body));
    }));
    server.Post("/phone/gpx", withBody([this](const httplib::Request& request, httplib::Response& response) {
        answer(response,
               api_.importGpx(request.get_param_value("userID"), request.get_param_value("phoneKey"),
                              request.get_param_value("timeZoneId"), request.body));
    }));

    // A track file of the desktop program's user, streamed to a temporary file
    // and read from there.
    server.Put("/importTrack", [this](const httplib::Request& request, httplib::Response& response,
                                      const httplib::ContentReader& content) {
        // At most this many files on disk at once; a further one is read and dropped.
        constexpr int maxImports = 2;
        static std::atomic<int> importing { 0 };
        const bool admitted = ++importing <= maxImports;
        struct Leave {
            ~Leave() { --importing; }
        } leave;
        QTemporaryFile file;
        bool writable = admitted && file.open();
        int64_t received = 0;
        const bool complete = content([&](const char* data, size_t length) {
            received += static_cast<int64_t>(length);
            if (writable && received <= static_cast<int64_t>(maxTrackBytes))
                writable = file.write(data, static_cast<qint64>(length)) == static_cast<qint64>(length);
            return true;
        });
        if (!complete || received > static_cast<int64_t>(maxTrackBytes)) {
            const bool tooLarge = received > static_cast<int64_t>(maxTrackBytes) || response.status == 413;
            answer(response, tooLarge ? Reply::make(413, "Track file too large",
                                                    "Track files of up to " + std::to_string(maxTrackBytes >> 20)
                                                        + " MB can be imported.")
                                      : Reply::make(400, "Upload broken off", "The track file did not arrive whole."));
            return;
        }
        if (!admitted) {
            answer(response, Reply::make(503, "Busy", "The service is importing other tracks; try again in a minute."));
            return;
        }
        if (!writable || !file.flush()) {
            answer(response, Reply::make(500, "Server error", "The service has no room for the track file."));
            return;
        }
        answer(response, api_.importTrack(request.get_header_value("Kestrel-User-ID"),
                                          percentDecoded(request.get_header_value("Kestrel-File-Name")),
                                          file.fileName().toStdString()));
    });

    // The tracker apps and the phone page.
    addPhoneRoutes(server, api_, *intake_);

    // The page that shows a live synchronization code.
    server.Get("/sync", [this](const httplib::Request& request, httplib::Response& response) {
        response.set_header("Cache-Control", "no-store");
        response.set_header("Referrer-Policy", "no-referrer");
        const std::string userId = request.get_param_value("userID");
        const std::string phoneKey = request.get_param_value("phoneKey");
        const bool local = loopbackOnly_ && isLoopbackAddress(request.remote_addr);
        if (userId.empty() && phoneKey.empty() && !local) {
            // The phone's key may travel in the address's fragment, which
            // never reaches the service: the page asks for its code itself.
            response.set_content(syncPage(std::string(), std::string()), "text/html; charset=utf-8");
            return;
        }
        const Reply reply = api_.createPageCode(userId, phoneKey, local);
        if (reply.status != 200) {
            response.status = reply.status;
            response.set_content(errorPage(reply.json.value("head", std::string()), reply.json.value("body", std::string())),
                                 "text/html; charset=utf-8");
            return;
        }
        response.set_content(syncPage(reply.json.value("syncID", std::string()), reply.json.value("phoneName", std::string())),
                             "text/html; charset=utf-8");
    });
    server.Get("/sync/qr.svg", [this](const httplib::Request& request, httplib::Response& response) {
        const std::string payload = api_.syncPayload(request.get_param_value("code"));
        response.set_header("Cache-Control", "no-store");
        if (payload.empty()) {
            answer(response, Reply::make(404, "Unknown synchronization code", "The code is unknown or has expired."));
            return;
        }
        // A payload is far shorter than the most a QR code holds.
        const auto svg = qrSvg(payload);
        response.set_content(svg ? *svg : std::string(), "image/svg+xml");
    });
    server.Get("/sync/payload", [this](const httplib::Request& request, httplib::Response& response) {
        const std::string payload = api_.syncPayload(request.get_param_value("code"));
        response.set_header("Cache-Control", "no-store");
        if (payload.empty()) {
            answer(response, Reply::make(404, "Unknown synchronization code", "The code is unknown or has expired."));
            return;
        }
        response.set_content(payload, jsonType);
    });
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(homePage(), "text/html; charset=utf-8");
    });

    // Every refusal (unknown path, wrong method, too large a body) is a JSON
    // answer with the usual envelope.
    server.set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (response.body.empty())
            answer(response, Reply::make(response.status, statusHead(response.status),
                                         "The service cannot answer this request (HTTP status "
                                             + std::to_string(response.status) + ")."));
    });
    server.set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        answer(response, Reply::make(500, "Server error", "The service failed to answer this request."));
    });
}

HttpServer::~HttpServer()
{
    stop();
}

bool HttpServer::bind(const std::string& address, int port, std::string* error)
{
    const auto bound = server_->open(address, port, error);
    if (!bound) {
        port_ = 0;
        return false;
    }
    port_ = *bound;
    address_ = address;
    loopbackOnly_ = address == "localhost" || isLoopbackAddress(address);
    return true;
}

bool HttpServer::run()
{
    const bool served = server_->serve();
    server_->markFinished();
    return served;
}

void HttpServer::start()
{
    thread_ = std::thread([this] { run(); });
    server_->waitUntilServing();
}

void HttpServer::stop()
{
    server_->halt();
    if (thread_.joinable())
        thread_.join();
}

} // namespace service
