#include "service/desktopapi.h"

#include "service/hosts.h"

#include <cmath>
#include <limits>

namespace service {

using nlohmann::json;

namespace {

// "2026-07-14T10:00:00Z": formatWallClock's text, whatever its year.
std::string isoTime(int64_t ms)
{
    std::string text = formatWallClock(ms);
    text[text.size() - 9] = 'T'; // before "HH:MM:SS"
    return text + "Z";
}

} // namespace

DesktopApi::DesktopApi(Api& api, std::string address, int port, bool localRequest, bool proxied)
    : api_(api), address_(std::move(address)), port_(port), local_(localRequest), proxied_(proxied)
{
}

std::vector<std::string> DesktopApi::phonePageUrls() const
{
    const std::string port = std::to_string(port_);
    std::vector<std::string> hosts;
    if (address_ == "0.0.0.0" || address_ == "::" || address_.empty())
        hosts = localNetworkAddresses();
    else
        hosts.push_back(address_.find(':') != std::string::npos ? "[" + address_ + "]" : address_);
    if (hosts.empty())
        hosts.push_back("127.0.0.1");
    std::vector<std::string> urls;
    for (const std::string& host : hosts)
        urls.push_back("http://" + host + ":" + port + "/phone");
    return urls;
}

std::optional<User> DesktopApi::user(const std::string& userId, std::string* error)
{
    if (userId.empty()) {
        // Without a credential only the owner of a loopback-only service,
        // who could open its database anyway, is answered.
        const std::vector<User> all = api_.store().users().value_or(std::vector<User>());
        std::optional<User> single = local_ ? singleAccount(all) : std::nullopt;
        if (single)
            return single;
        if (error)
            *error = all.empty() ? "No phone is registered with this service yet."
                                 : "Synchronize a camera first: this service does not answer without a user.";
        return std::nullopt;
    }
    std::optional<User> found = api_.store().userById(userId);
    if (!found && error)
        *error = "The web service does not know this user. Synchronize a camera to start again.";
    return found;
}

Reply DesktopApi::forUser(const std::string& body, Reply (DesktopApi::*answer)(const User&, const json&))
{
    const json request = parseRequest(body);
    const json* id = request.is_object() && request.contains("userID") ? &request["userID"] : nullptr;
    if (!id || !id->is_string() || id->get_ref<const std::string&>().size() > 256)
        return Reply::make(204, "Bad request", "The request needs the member \"userID\" as text.");
    std::string error;
    const std::optional<User> owner = user(id->get_ref<const std::string&>(), &error);
    if (!owner)
        return Reply::make(203, "Unknown user", error);
    return (this->*answer)(*owner, request);
}

Reply DesktopApi::serviceStatus(const std::string& body)
{
    const Store::Reading reading(api_.store(), Store::Reading::replica);
    return forUser(body, &DesktopApi::statusOf);
}

Reply DesktopApi::syncCode(const std::string& body)
{
    return forUser(body, &DesktopApi::codeOf);
}

Reply DesktopApi::getTrack(const std::string& body)
{
    const Store::Reading reading(api_.store(), Store::Reading::replica);
    return forUser(body, &DesktopApi::trackOf);
}

Reply DesktopApi::statusOf(const User& owner, const json&)
{
    Store& store = api_.store();
    Reply reply = Reply::make(200, "", "");
    reply.json["phoneName"] = owner.phoneName;
    reply.json["positions"] = store.fixCount(owner.id).value_or(-1);
    const auto first = store.fixAtOrAfter(owner.id, std::numeric_limits<int64_t>::min());
    const auto last = store.fixAtOrBefore(owner.id, std::numeric_limits<int64_t>::max());
    reply.json["first"] = first ? isoTime(first->time) : std::string();
    reply.json["last"] = last ? isoTime(last->time) : std::string();
    reply.json["phonePageUrls"] = phonePageUrls();
    reply.json["userID"] = owner.userId;
    if (owner.demo)
        reply.json["demo"] = true;
    const bool loopback = !proxied_ && (address_ == "localhost" || isLoopbackAddress(address_));
    reply.json["listening"] = loopback ? "loopback" : "network";
    return reply;
}

Reply DesktopApi::codeOf(const User& owner, const json&)
{
    const int64_t now = api_.now();
    const auto code = api_.store().createSyncCode(owner.id, now);
    if (!code)
        return Reply::make(500, "Server error", "No synchronization code could be made.");
    Reply reply = Reply::make(200, "", "");
    reply.json["syncID"] = code->code;
    reply.json["elapsedTime"] = now - code->created;
    reply.json["validFor"] = syncCodeLifetimeMs - (now - code->created);
    reply.json["phoneName"] = owner.phoneName;
    return reply;
}

Reply DesktopApi::trackOf(const User& owner, const json& request)
{
    const auto time = [&request](const char* key) -> std::optional<int64_t> {
        const auto found = request.find(key);
        return found != request.end() && found->is_string() ? parseIsoTime(found->get<std::string>()) : std::nullopt;
    };
    const auto from = time("from"), to = time("to");
    if (!from || !to)
        return Reply::make(204, "Bad request", "The request needs \"from\" and \"to\" as ISO 8601 times, such as "
                                               "\"2026-05-01T08:00:00Z\".");
    if (*to < *from)
        return Reply::make(204, "Bad request", "The span ends (\"to\") before it begins (\"from\").");
    const auto span = api_.store().trackPoints(owner.id, *from, *to, maxTrackFixesRead);
    if (!span)
        return Reply::make(500, "Server error", "The track could not be read.");
    const ThinnedTrack thinned = thinTrack(span->points, maxTrackPositions);
    json positions = json::array();
    for (const size_t index : thinned.kept) {
        const TrackPoint& point = span->points[index];
        positions.push_back({ point.time, point.latitude / 1e6, point.longitude / 1e6 });
    }
    Reply reply = Reply::make(200, "", "");
    reply.json["positions"] = std::move(positions);
    reply.json["tolerance"] = std::ceil(thinned.tolerance * 100) / 100;
    reply.json["total"] = span->total;
    return reply;
}

} // namespace service
