#pragma once

#include "service/api.h"

#include <nlohmann/json.hpp>

namespace httplib {
struct Response;
}

namespace service {

// How a Reply goes out on the wire.
enum class ReplyForm {
    // The service's own: JSON with "head" and "body"; a 204 answer carries
    // its texts in the headers Kestrel-Head and Kestrel-Body instead, and
    // its other members, if any, as a JSON object in Kestrel-Members (all
    // three percent-encoded).
    Service,
    // The phone page's questions: the JSON as it is, never cached.
    PhonePage,
    // The tracker apps' protocols: "application/json" as they expect it; a
    // null JSON value sends no body at all.
    TrackerApp,
};

void answer(httplib::Response& response, const Reply& reply, ReplyForm form = ReplyForm::Service);

// A page (HTML) with its Content-Security-Policy, never cached.
void answerPage(httplib::Response& response, const std::string& html, const char* policy, int status = 200);

// What every answer carries, set last: no sniffing of its type, no frame
// around it, and the policy that allows nothing unless it is a page with a
// policy of its own.
void addSecurityHeaders(httplib::Response& response);

// A reply of the protocols that have answers of their own (the tracker
// apps', the phone page's): the JSON as given, without head and body.
Reply plainReply(int status, nlohmann::json json);

// The head of a refusal by HTTP status ("Not found").
const char* statusHead(int status);

} // namespace service
