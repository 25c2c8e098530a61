#include "service/phonepage.h"

#include "service/httpreply.h"
#include "service/listener.h"
#include "service/qrsvg.h"
#include "service/rawhead.h"
#include "service/routetable.h"
#include "service/webpages.h"

#include <httplib.h>

namespace service {

using nlohmann::json;

namespace {

constexpr size_t maxQrText = 1024;

// `head` is the request's line and headers as sent: the key of an
// Authorization header is compared byte for byte, nothing decoded or cut.
TrackerRequest trackerRequest(const httplib::Request& request, const std::string& head)
{
    TrackerRequest tracker;
    // httplib adds the fields of a form body to the parameters; the adapters
    // read the body themselves, so only the URL's query is taken here.
    const size_t question = request.target.find('?');
    if (question != std::string::npos) {
        httplib::Params query;
        httplib::detail::parse_query_text(request.target.substr(question + 1), query);
        tracker.query.insert(query.begin(), query.end());
    }
    tracker.body = request.body;
    tracker.authorization = RawHead(head).value("Authorization");
    return tracker;
}

} // namespace

PhoneRoutes::PhoneRoutes(Api& api, Listener& listener)
    : api_(api), listener_(listener), intake_(api.store(), [&api] { return api.now(); })
{
}

void PhoneRoutes::addTo(httplib::Server& server)
{
    constexpr Route<PhoneRoutes> routes[] = {
        { Method::Get, "/track/osmand", &PhoneRoutes::osmand },
        { Method::Post, "/track/osmand", &PhoneRoutes::osmand },
        { Method::Post, "/track/owntracks", &PhoneRoutes::ownTracks },
        { Method::Post, "/track/overland", &PhoneRoutes::overland },
        { Method::Get, "/phone", &PhoneRoutes::page },
        { Method::Post, "/phone/status", &PhoneRoutes::status },
        { Method::Get, "/phone/qr.svg", &PhoneRoutes::qrCode },
    };
    addRoutes(server, *this, routes);
}

void PhoneRoutes::osmand(const httplib::Request& request, httplib::Response& response)
{
    // The protocol's answer has no body.
    answer(response, track(readOsmand, request, response, plainReply(200, nullptr)), ReplyForm::TrackerApp);
}

void PhoneRoutes::ownTracks(const httplib::Request& request, httplib::Response& response)
{
    answer(response, track(readOwnTracks, request, response, plainReply(200, json::array())), ReplyForm::TrackerApp);
}

void PhoneRoutes::overland(const httplib::Request& request, httplib::Response& response)
{
    answer(response, track(readOverland, request, response, plainReply(200, { { "result", "ok" } })),
           ReplyForm::TrackerApp);
}

Reply PhoneRoutes::track(Reader read, const httplib::Request& request, httplib::Response& response, Reply taken)
{
    TrackerMessage message;
    std::string error;
    const TrackerRequest tracker = trackerRequest(request, listener_.requestHead().value_or(std::string()));
    const Intake intake = read(tracker, &message, &error) ? intake_.take(message)
                                                          : intake_.refuseUnreadable(message.key, error);
    if (intake.refused > 0)
        response.set_header("Kestrel-Refused", std::to_string(intake.refused) + " " + intake.reason);
    if (intake.status == 200)
        return taken;
    if (intake.status == 401)
        response.set_header("WWW-Authenticate", "Basic realm=\"Kestrel\"");
    return plainReply(intake.status, { { "error", intake.reason } });
}

void PhoneRoutes::page(const httplib::Request&, httplib::Response& response)
{
    const Page page = phonePage();
    answerPage(response, page.html, page.policy);
}

void PhoneRoutes::status(const httplib::Request& request, httplib::Response& response)
{
    const json body = parseRequest(request.body);
    const auto text = [&body](const char* key) {
        return body.is_object() && body.contains(key) && body[key].is_string() ? body[key].get<std::string>()
                                                                              : std::string();
    };
    const auto user = api_.authenticate(text("userID"), text("phoneKey"));
    if (!user)
        return answer(response, plainReply(403, { { "error", "Unknown user or wrong phone key." } }), ReplyForm::PhonePage);
    const int64_t since = body.contains("since") && body["since"].is_number()
        ? wholeMilliseconds(body["since"].get<double>()).value_or(0)
        : 0;
    // Made on first use, so before the figures are read from a replica.
    const std::string deviceKey = api_.store().deviceKey(user->id).value_or(std::string());
    const Store::Reading reading(api_.store(), Store::Reading::replica);
    const FixSummary summary = api_.store().fixSummary(user->id, since).value_or(FixSummary());
    const Refusals refusals = api_.store().refusalsSince(user->id, since).value_or(Refusals());
    const json figures { { "phoneName", user->phoneName },
                         { "deviceKey", deviceKey },
                         { "fixesToday", summary.count },
                         { "lastFix", summary.last ? json(*summary.last) : json() },
                         { "refusedToday", refusals.count },
                         { "lastRefusal", refusals.reason } };
    answer(response, plainReply(200, figures), ReplyForm::PhonePage);
}

void PhoneRoutes::qrCode(const httplib::Request& request, httplib::Response& response)
{
    const std::string text = request.get_param_value("text");
    const auto svg = !text.empty() && text.size() <= maxQrText ? qrSvg(text) : std::nullopt;
    if (!svg)
        return answer(response, plainReply(400, { { "error", "The text must have 1 to 1024 bytes." } }),
                      ReplyForm::PhonePage);
    response.set_content(*svg, "image/svg+xml");
}

} // namespace service
