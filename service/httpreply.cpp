#include "service/httpreply.h"

#include <httplib.h>

namespace service {

namespace {

const char* const jsonType = "application/json; charset=utf-8";

// A text as a header value: UTF-8 with '%', control bytes and bytes above
// 0x7E percent-encoded, so line breaks and accents survive the trip.
std::string headerValue(const std::string& text)
{
    constexpr char hex[] = "0123456789ABCDEF";
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

void answerService(httplib::Response& response, const Reply& reply)
{
    if (reply.status == 204) {
        // A 204 answer has no body in HTTP: clients do not read one, and
        // bytes sent all the same would be taken for the start of the next
        // answer on the connection. Its texts travel as headers instead, which
        // the desktop client turns back into the usual head and body.
        response.set_header("Kestrel-Head", headerValue(reply.json.value("head", std::string())));
        response.set_header("Kestrel-Body", headerValue(reply.json.value("body", std::string())));
        // Its other members, such as a photo's time without a position, as
        // one JSON object.
        nlohmann::json members = reply.json;
        members.erase("head");
        members.erase("body");
        if (!members.empty())
            response.set_header("Kestrel-Members",
                                headerValue(members.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)));
        return;
    }
    response.set_content(reply.text(), jsonType);
}

} // namespace

void answer(httplib::Response& response, const Reply& reply, ReplyForm form)
{
    response.status = reply.status;
    switch (form) {
    case ReplyForm::Service:
        answerService(response, reply);
        return;
    case ReplyForm::PhonePage:
        response.set_header("Cache-Control", "no-store");
        response.set_content(reply.json.dump(), jsonType);
        return;
    case ReplyForm::TrackerApp:
        if (!reply.json.is_null())
            response.set_content(reply.json.dump(), "application/json");
        return;
    }
}

void answerPage(httplib::Response& response, const std::string& html, const char* policy, int status)
{
    response.status = status;
    response.set_header("Cache-Control", "no-store");
    response.set_header("Content-Security-Policy", policy);
    response.set_content(html, "text/html; charset=utf-8");
}

void addSecurityHeaders(httplib::Response& response)
{
    response.set_header("X-Content-Type-Options", "nosniff");
    response.set_header("X-Frame-Options", "DENY");
    if (!response.has_header("Content-Security-Policy"))
        response.set_header("Content-Security-Policy", "default-src 'none'; frame-ancestors 'none'");
}

Reply plainReply(int status, nlohmann::json json)
{
    Reply reply;
    reply.status = status;
    reply.json = std::move(json);
    return reply;
}

const char* statusHead(int status)
{
    switch (status) {
    case 400: return "Bad request";
    case 404: return "Not found";
    case 405: return "Method not allowed";
    case 413: return "Request too large";
    case 431: return "Headers too large";
    default: return status >= 500 ? "Server error" : "Request refused";
    }
}

} // namespace service
