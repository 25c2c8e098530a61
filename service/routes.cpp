#include "service/routes.h"

#include "service/desktopapi.h"
#include "service/hosts.h"
#include "service/httpreply.h"
#include "service/listener.h"
#include "service/qrsvg.h"
#include "service/rawhead.h"
#include "service/routetable.h"
#include "service/text.h"
#include "service/webpages.h"

namespace service {

namespace {

// Headers that name a credential or the service: one of each at most.
const char* const singleHeaders[] = { "Host", "Authorization", "Kestrel-User-ID" };

// The length of a request's body as its headers announce it (0 without
// one); nothing, with the reason, when they announce it in ways that
// contradict each other.
std::optional<size_t> bodyLength(const httplib::Request& request, std::string* error)
{
    const auto fail = [error](const char* reason) {
        if (error)
            *error = reason;
        return std::nullopt;
    };
    const size_t lengths = request.get_header_value_count("Content-Length");
    if (lengths > 1) {
        const std::string first = request.get_header_value("Content-Length", 0);
        for (size_t i = 1; i < lengths; ++i)
            if (request.get_header_value("Content-Length", i) != first)
                return fail("The request has conflicting Content-Length headers.");
    }
    if (lengths > 0 && request.has_header("Transfer-Encoding"))
        return fail("The request has both Content-Length and Transfer-Encoding.");
    const std::string text = request.get_header_value("Content-Length");
    if (text.find_first_not_of("0123456789") != std::string::npos || text.size() > 18)
        return fail("The request's Content-Length is not a number.");
    return text.empty() ? 0 : static_cast<size_t>(std::stoull(text));
}

} // namespace

Routes::Routes(Api& api, Listener& listener, const Binding& binding)
    : api_(api), listener_(listener), binding_(binding), phone_(api, listener), newUsers_(api)
{
}

void Routes::install()
{
    constexpr Route<Routes> routes[] = {
        // What the desktop program calls.
        { Method::Put, "/syncCamera", &Routes::apiCall<&Api::syncCamera>, Body::Kept },
        { Method::Put, "/geocodeImage", &Routes::apiCall<&Api::geocodeImage>, Body::Kept },
        { Method::Put, "/getSyncList", &Routes::apiCall<&Api::getSyncList>, Body::Kept },
        { Method::Put, "/removeCamera", &Routes::apiCall<&Api::removeCamera>, Body::Kept },
        { Method::Put, "/serviceStatus", &Routes::desktopCall<&DesktopApi::serviceStatus> },
        { Method::Put, "/syncCode", &Routes::desktopCall<&DesktopApi::syncCode> },
        { Method::Put, "/getTrack", &Routes::desktopCall<&DesktopApi::getTrack> },
        { Method::Put, "/importTrack", nullptr, Body::Streamed, &Routes::importTrack },
        // The phone's side.
        { Method::Post, "/phone/register", &Routes::registerPhone, Body::Kept },
        { Method::Post, "/phone/fixes", &Routes::apiCall<&Api::uploadFixes>, Body::Kept },
        { Method::Post, "/phone/syncCode", &Routes::apiCall<&Api::createSyncCode>, Body::Kept },
        { Method::Post, "/phone/gpx", &Routes::importGpx, Body::Kept },
        // The page that shows a live synchronization code.
        { Method::Get, "/sync", &Routes::syncPage },
        { Method::Get, "/sync/qr.svg", &Routes::syncQrCode },
        { Method::Get, "/sync/payload", &Routes::syncPayload },
        { Method::Get, "/", &Routes::home },
        // The pages' scripts and stylesheets.
        { Method::Get, R"(/assets/([a-z]+\.[a-z]+))", &Routes::asset },
    };
    // Track files may be large; every other request is refused beyond
    // maxRequestBytes before its body is read, and a kept one holds at most
    // that much (withBody).
    listener_.set_payload_max_length(maxTrackBytes);
    listener_.set_pre_routing_handler(
        [this](const httplib::Request& request, httplib::Response& response) { return screen(request, response); });
    addRoutes(listener_, *this, routes);
    // The tracker apps and the phone page.
    phone_.addTo(listener_);

    // Every refusal (unknown path, wrong method, too large a body) is a JSON
    // answer with the usual envelope.
    listener_.set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (response.body.empty())
            answer(response, Reply::make(response.status, statusHead(response.status),
                                         "The service cannot answer this request (HTTP status "
                                             + std::to_string(response.status) + ")."));
    });
    listener_.set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        answer(response, Reply::make(500, "Server error", "The service failed to answer this request."));
    });
    listener_.set_post_routing_handler([](const httplib::Request&, httplib::Response& response) {
        addSecurityHeaders(response);
    });
}

httplib::Server::HandlerResponse Routes::screen(const httplib::Request& request, httplib::Response& response)
{
    // The library's header values are percent-decoded and end at a NUL: the
    // Host name and the credentials are read as sent.
    const auto head = listener_.requestHead();
    if (!head)
        return refuse(response, Reply::make(431, "Headers too large",
                                            "The request's line and headers exceed "
                                                + std::to_string(maxHeadBytes / 1024) + " KB."));
    const RawHead raw(*head);
    for (const char* name : singleHeaders)
        if (raw.count(name) > 1)
            return refuse(response, Reply::make(400, "Bad request",
                                                std::string("The request has more than one ") + name + " header."));
    if (proxied(request) && !forwardedClient(raw.last("X-Forwarded-For")))
        return refuse(response, Reply::make(400, "Bad request",
                                            "The request came through a reverse proxy that did not name its client: "
                                            "the proxy must send the client's address in X-Forwarded-For."));
    if (binding_.loopbackOnly && !isLoopbackHost(raw.value("Host")))
        return refuse(response, Reply::make(403, "Forbidden host",
                                            "This service answers only requests addressed to this computer (localhost)."));
    std::string error;
    const auto length = bodyLength(request, &error);
    if (!length)
        return refuse(response, Reply::make(400, "Bad request", error));
    const bool track = request.path == "/importTrack";
    if (*length > (track ? maxTrackBytes : maxRequestBytes))
        return refuse(response, Reply::make(413, "Request too large",
                                            "The service cannot answer this request (HTTP status 413)."));
    // The headers are in; the body gets its own time.
    // A track file gets a millisecond more for each kilobyte (1 MB/s at least).
    listener_.expectBody(*length, listener_.limits().bodyMs + (track ? static_cast<int>(*length / 1000) : 0));
    return httplib::Server::HandlerResponse::Unhandled;
}

httplib::Server::HandlerResponse Routes::refuse(httplib::Response& response, const Reply& reply)
{
    answer(response, reply);
    // The body was not read: nothing after it on this connection can be
    // trusted. The client hears that the connection closes, so that it sends
    // its next request on a new one.
    listener_.closeAfterAnswer(response);
    return httplib::Server::HandlerResponse::Handled;
}

bool Routes::local(const httplib::Request& request) const
{
    return binding_.loopbackOnly && isLoopbackAddress(request.remote_addr);
}

bool Routes::proxied(const httplib::Request& request) const
{
    return listedAddress(listener_.limits().proxies, request.remote_addr);
}

std::string Routes::client(const httplib::Request& request)
{
    if (!proxied(request))
        return request.remote_addr;
    // The last address is the one the proxy appended; screen() let no
    // request through without one.
    const RawHead head(listener_.requestHead().value_or(std::string()));
    return forwardedClient(head.last("X-Forwarded-For")).value_or(std::string());
}

template <Reply (Api::*endpoint)(const std::string&)>
void Routes::apiCall(const httplib::Request& request, httplib::Response& response)
{
    answer(response, (api_.*endpoint)(request.body));
}

template <Reply (DesktopApi::*endpoint)(const std::string&)>
void Routes::desktopCall(const httplib::Request& request, httplib::Response& response)
{
    // No user named: answered for a loopback-only service's single account, on
    // a loopback connection, like the "/sync" page.
    DesktopApi desktop(api_, binding_.address, binding_.port, local(request), !listener_.limits().proxies.empty());
    answer(response, (desktop.*endpoint)(request.body));
}

void Routes::importGpx(const httplib::Request& request, httplib::Response& response)
{
    answer(response, api_.importGpx(request.get_param_value("userID"), request.get_param_value("phoneKey"),
                                    request.get_param_value("timeZoneId"), request.body));
}

Reply Routes::newUser(const httplib::Request& request, httplib::Response& response, const std::function<Reply()>& make)
{
    const std::string address = client(request);
    if (!countsNewUsers(address, request.local_addr, binding_.loopbackOnly))
        return make();
    int64_t retryAfter = 0;
    Reply reply = newUsers_.make(address, make, &retryAfter);
    if (reply.status == 429)
        response.set_header("Retry-After", std::to_string(retryAfter));
    return reply;
}

void Routes::registerPhone(const httplib::Request& request, httplib::Response& response)
{
    answer(response, newUser(request, response, [&] { return api_.registerPhone(request.body); }));
}

void Routes::importTrack(const httplib::Request& request, httplib::Response& response,
                         const httplib::ContentReader& content)
{
    const RawHead head(listener_.requestHead().value_or(std::string()));
    // The user's identifier is a credential: compared as sent. The file's
    // name comes percent-encoded.
    const std::string userId = head.value("Kestrel-User-ID");
    const std::string name = percentDecoded(head.value("Kestrel-File-Name"));
    answer(response, uploads_.receive(response, content, [&](const std::string& path) {
        const auto import = [&] { return api_.importTrack(userId, name, path); };
        return userId.empty() ? newUser(request, response, import) : import();
    }));
}

void Routes::syncPage(const httplib::Request& request, httplib::Response& response)
{
    response.set_header("Referrer-Policy", "no-referrer");
    const std::string userId = request.get_param_value("userID");
    const std::string phoneKey = request.get_param_value("phoneKey");
    const bool here = local(request);
    if (userId.empty() && phoneKey.empty() && !here) {
        // The phone's key may travel in the address's fragment, which never
        // reaches the service: the page asks for its code itself.
        const Page page = service::syncPage(std::string(), std::string());
        return answerPage(response, page.html, page.policy);
    }
    const Reply reply = api_.createPageCode(userId, phoneKey, here);
    if (reply.status != 200) {
        const Page page = errorPage(reply.json.value("head", std::string()), reply.json.value("body", std::string()));
        return answerPage(response, page.html, page.policy, reply.status);
    }
    const Page page = service::syncPage(reply.json.value("syncID", std::string()),
                                        reply.json.value("phoneName", std::string()));
    answerPage(response, page.html, page.policy);
}

void Routes::syncQrCode(const httplib::Request& request, httplib::Response& response)
{
    const auto payload = api_.syncPayload(request.get_param_value("code"));
    response.set_header("Cache-Control", "no-store");
    if (!payload)
        return answer(response, Reply::make(404, "Unknown synchronization code", "The code is unknown or has expired."));
    // A payload is far shorter than the most a QR code holds.
    const auto svg = qrSvg(*payload);
    response.set_content(svg ? *svg : std::string(), "image/svg+xml");
}

void Routes::syncPayload(const httplib::Request& request, httplib::Response& response)
{
    const auto payload = api_.syncPayload(request.get_param_value("code"));
    response.set_header("Cache-Control", "no-store");
    if (!payload)
        return answer(response, Reply::make(404, "Unknown synchronization code", "The code is unknown or has expired."));
    response.set_content(*payload, "application/json; charset=utf-8");
}

void Routes::home(const httplib::Request&, httplib::Response& response)
{
    const Page page = homePage();
    answerPage(response, page.html, page.policy);
}

void Routes::asset(const httplib::Request& request, httplib::Response& response)
{
    const auto found = pageAsset(request.matches[1]);
    if (!found)
        return answer(response, Reply::make(404, "Not found", "The service has no such file."));
    // Built into the program: a new one comes with a new program.
    response.set_header("Cache-Control", "no-cache");
    response.set_content(std::string(found->content), found->type);
}

} // namespace service
