#include "service/phonepage.h"

#include "service/api.h"
#include "service/qrsvg.h"
#include "service/trackers.h"
#include "service/webpages.h"

#include <httplib.h>

namespace service {

using nlohmann::json;

namespace {

constexpr size_t maxQrText = 1024;

TrackerRequest trackerRequest(const httplib::Request& request)
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
    tracker.authorization = request.get_header_value("Authorization");
    return tracker;
}

using Reader = bool (*)(const TrackerRequest&, TrackerMessage*, std::string*);

// Reads a tracker app's request and takes its fixes.
Intake take(TrackerIntake& intake, Reader read, const httplib::Request& request)
{
    TrackerMessage message;
    std::string error;
    return read(trackerRequest(request), &message, &error) ? intake.take(message)
                                                           : intake.refuseUnreadable(message.key, error);
}

// Answers a refused request with its reason; false when the request was taken.
bool refuse(const Intake& intake, httplib::Response& response)
{
    if (intake.refused > 0)
        response.set_header("Kestrel-Refused", std::to_string(intake.refused) + " " + intake.reason);
    if (intake.status == 200)
        return false;
    response.status = intake.status;
    if (intake.status == 401)
        response.set_header("WWW-Authenticate", "Basic realm=\"Kestrel\"");
    response.set_content(json { { "error", intake.reason } }.dump(), "application/json");
    return true;
}

void answerJson(httplib::Response& response, int status, const json& body)
{
    response.status = status;
    response.set_header("Cache-Control", "no-store");
    response.set_content(body.dump(), "application/json; charset=utf-8");
}

} // namespace

void addPhoneRoutes(httplib::Server& server, Api& api, TrackerIntake& intake)
{
    const auto osmand = [&intake](const httplib::Request& request, httplib::Response& response) {
        if (!refuse(take(intake, readOsmand, request), response))
            response.status = 200; // the protocol's answer has no body
    };
    server.Get("/track/osmand", osmand);
    server.Post("/track/osmand", osmand);
    server.Post("/track/owntracks", [&intake](const httplib::Request& request, httplib::Response& response) {
        if (!refuse(take(intake, readOwnTracks, request), response))
            response.set_content("[]", "application/json");
    });
    server.Post("/track/overland", [&intake](const httplib::Request& request, httplib::Response& response) {
        if (!refuse(take(intake, readOverland, request), response))
            response.set_content(R"({"result":"ok"})", "application/json");
    });

    server.Get("/phone", [](const httplib::Request&, httplib::Response& response) {
        response.set_header("Cache-Control", "no-store");
        response.set_content(phonePage(), "text/html; charset=utf-8");
    });
    // What the page shows about its phone: {"userID","phoneKey","since"} in.
    server.Post("/phone/status", [&api, &intake](const httplib::Request& request, httplib::Response& response) {
        const json body = parseRequest(request.body);
        const auto text = [&body](const char* key) {
            return body.is_object() && body.contains(key) && body[key].is_string() ? body[key].get<std::string>()
                                                                                  : std::string();
        };
        const auto user = api.authenticate(text("userID"), text("phoneKey"));
        if (!user)
            return answerJson(response, 403, { { "error", "Unknown user or wrong phone key." } });
        const int64_t since = body.contains("since") && body["since"].is_number() ? body["since"].get<int64_t>() : 0;
        const FixSummary summary = api.store().fixSummary(user->id, since);
        const Refusals refusals = intake.refusals(user->id);
        json answer { { "phoneName", user->phoneName },
                      { "deviceKey", api.store().deviceKey(user->id) },
                      { "fixesToday", summary.count },
                      { "lastFix", summary.last ? json(*summary.last) : json() },
                      { "refusedToday", refusals.last >= since ? refusals.count : 0 },
                      { "lastRefusal", refusals.last >= since ? refusals.reason : std::string() } };
        answerJson(response, 200, answer);
    });
    server.Get("/phone/qr.svg", [](const httplib::Request& request, httplib::Response& response) {
        const std::string text = request.get_param_value("text");
        const auto svg = !text.empty() && text.size() <= maxQrText ? qrSvg(text) : std::nullopt;
        if (!svg)
            return answerJson(response, 400, { { "error", "The text must have 1 to 1024 bytes." } });
        response.set_content(*svg, "image/svg+xml");
    });
}

} // namespace service
