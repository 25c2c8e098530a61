#include "service/httpserver.h"

#include "service/phonepage.h"
#include "service/qrsvg.h"
#include "service/trackers.h"

#include <httplib.h>

#include <chrono>

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

std::string escapeHtml(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string errorPage(const std::string& title, const std::string& text)
{
    return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>" + escapeHtml(title)
        + "</title></head><body style=\"font-family:sans-serif\"><h1>" + escapeHtml(title) + "</h1><p>"
        + escapeHtml(text) + "</p></body></html>";
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

std::unique_ptr<httplib::Server> makeServer(const TlsFiles& tls)
{
    if (tls.certificate.empty() && tls.key.empty())
        return std::make_unique<httplib::Server>();
    return std::make_unique<httplib::SSLServer>(tls.certificate.c_str(), tls.key.c_str());
}

} // namespace

std::string syncPage(const std::string& code, const std::string& phoneName)
{
    // The code only contains hex digits; it is escaped all the same.
    const std::string id = escapeHtml(code);
    return R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"><meta name="viewport" content="width=device-width, initial-scale=1">
<title>Kestrel synchronization code</title>
<style>
body { font-family: sans-serif; text-align: center; margin: 0; padding: 1em; background: #fff; color: #222; }
#code { width: min(90vw, 80vh); height: min(90vw, 80vh); margin: 0 auto; }
#code svg { width: 100%; height: 100%; }
#state { color: #555; }
</style></head><body>
<h1>Synchronize your camera</h1>
<p>Photograph this code with the camera, then drop the photo on Kestrel (within 15 minutes).</p>
<div id="code"></div>
<p id="state">)" + escapeHtml(phoneName) + R"(</p>
<script>
const code = ")" + id + R"(";
const box = document.getElementById("code");
const state = document.getElementById("state");
let busy = false;
async function refresh() {
  if (busy) return;
  busy = true;
  try {
    const reply = await fetch("sync/qr.svg?code=" + code + "&t=" + Date.now(), { cache: "no-store" });
    if (reply.ok) { box.innerHTML = await reply.text(); }
    else { box.innerHTML = ""; state.textContent = "This code has expired: reload the page for a new one."; clearInterval(timer); }
  } catch (e) { state.textContent = "The service does not answer."; }
  busy = false;
}
const timer = setInterval(refresh, 200);
refresh();
</script></body></html>
)";
}

HttpServer::HttpServer(Api& api, const TlsFiles& tls)
    : api_(api), server_(makeServer(tls)),
      intake_(std::make_unique<TrackerIntake>(api.store(), [&api] { return api.now(); }))
{
    httplib::Server& server = *server_;
    server.set_payload_max_length(maxRequestBytes);
    server.set_read_timeout(10, 0);
    server.set_write_timeout(10, 0);
    server.set_keep_alive_timeout(5);
    server.set_keep_alive_max_count(1000);
    server.set_tcp_nodelay(true);
    // One worker per connection at a time; enough for many parallel clients.
    // The library's default lets a second server share the port unnoticed;
    // a port that is in use must be refused instead.
    server.set_socket_options([this](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        socket_ = sock;
    });
    server.new_task_queue = [] { return new httplib::ThreadPool(64); };

    using Endpoint = Reply (Api::*)(const std::string&);
    const std::pair<const char*, Endpoint> endpoints[] = {
        { "/syncCamera", &Api::syncCamera },
        { "/geocodeImage", &Api::geocodeImage },
        { "/getSyncList", &Api::getSyncList },
        { "/removeCamera", &Api::removeCamera },
    };
    for (const auto& endpoint : endpoints) {
        const Endpoint method = endpoint.second;
        server.Put(endpoint.first, [this, method](const httplib::Request& request, httplib::Response& response) {
            answer(response, (api_.*method)(request.body));
        });
    }

    // The phone's side.
    server.Post("/phone/register", [this](const httplib::Request& request, httplib::Response& response) {
        answer(response, api_.registerPhone(request.body));
    });
    server.Post("/phone/fixes", [this](const httplib::Request& request, httplib::Response& response) {
        answer(response, api_.uploadFixes(request.body));
    });
    server.Post("/phone/syncCode", [this](const httplib::Request& request, httplib::Response& response) {
        answer(response, api_.createSyncCode(request.body));
    });
    server.Post("/phone/gpx", [this](const httplib::Request& request, httplib::Response& response) {
        answer(response,
               api_.importGpx(request.get_param_value("userID"), request.get_param_value("phoneKey"),
                              request.get_param_value("timeZoneId"), request.body));
    });

    // The tracker apps and the phone page.
    addPhoneRoutes(server, api_, *intake_);

    // The page that shows a live synchronization code.
    server.Get("/sync", [this](const httplib::Request& request, httplib::Response& response) {
        const Reply reply = api_.createPageCode(request.get_param_value("userID"), request.get_param_value("phoneKey"));
        if (reply.status != 200) {
            response.status = reply.status;
            response.set_content(errorPage(reply.json.value("head", std::string()), reply.json.value("body", std::string())),
                                 "text/html; charset=utf-8");
            return;
        }
        response.set_header("Cache-Control", "no-store");
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
        response.set_content(qrSvg(payload), "image/svg+xml");
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
        response.set_content("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Kestrel service</title></head>"
                             "<body style=\"font-family:sans-serif\"><h1>Kestrel service</h1>"
                             "<p>Open <a href=\"sync\">/sync</a> to show a synchronization code for your camera.</p>"
                             "</body></html>",
                             "text/html; charset=utf-8");
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

bool HttpServer::valid() const
{
    return server_->is_valid();
}

bool HttpServer::bind(const std::string& address, int port, std::string* error)
{
    if (port < 0 || port > 65535) {
        if (error)
            *error = "the port " + std::to_string(port) + " is not between 0 and 65535";
        return false;
    }
    bool bound = false;
    if (port == 0) {
        port_ = server_->bind_to_any_port(address);
        bound = port_ > 0;
    } else if (server_->bind_to_port(address, port)) {
        port_ = port;
        bound = true;
    }
    if (bound) {
        // The library listens with a backlog of 5: a burst of new clients
        // would wait a second for a retry. Listening again widens it.
        if (socket_ >= 0)
            ::listen(socket_, 256);
        return true;
    }
    if (error)
        *error = "cannot listen on " + address + " port " + std::to_string(port)
            + " (address not local, or the port is in use)";
    port_ = 0;
    return false;
}

bool HttpServer::run()
{
    return server_->listen_after_bind();
}

void HttpServer::start()
{
    finished_ = false;
    thread_ = std::thread([this] {
        server_->listen_after_bind();
        finished_ = true;
    });
    while (!server_->is_running() && !finished_)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void HttpServer::stop()
{
    if (server_->is_running())
        server_->stop();
    if (thread_.joinable())
        thread_.join();
}

} // namespace service
