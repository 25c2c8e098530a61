#include "service/desktopapi.h"

#include "service/httpserver.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <ctime>
#include <limits>

namespace service {

using nlohmann::json;

namespace {

std::string isoTime(int64_t ms)
{
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc {};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// The IPv4 addresses of the machine's network interfaces but loopback.
std::vector<std::string> localNetworkAddresses()
{
    std::vector<std::string> found;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return found;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        char text[INET_ADDRSTRLEN] = {};
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) && !isLoopbackAddress(text))
            found.emplace_back(text);
    }
    freeifaddrs(list);
    return found;
}

} // namespace

DesktopApi::DesktopApi(Api& api, std::string address, int port, bool localRequest)
    : api_(api), address_(std::move(address)), port_(port), local_(localRequest)
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

std::optional<User> DesktopApi::user(const std::string& body, Reply& refusal)
{
    const json request = parseRequest(body);
    const json* id = request.is_object() && request.contains("userID") ? &request["userID"] : nullptr;
    if (!id || !id->is_string() || id->get_ref<const std::string&>().size() > 256) {
        refusal = Reply::make(204, "Bad request", "The request needs the member \"userID\" as text.");
        return std::nullopt;
    }
    const std::string& userId = id->get_ref<const std::string&>();
    if (userId.empty()) {
        // Without a credential only the owner of a loopback-only service,
        // who could open its database anyway, is answered.
        const std::vector<User> all = api_.store().users().value_or(std::vector<User>());
        if (local_ && all.size() == 1)
            return all.front();
        refusal = Reply::make(203, "Unknown user",
                              all.empty() ? "No phone is registered with this service yet."
                                          : "Synchronize a camera first: this service does not answer without a user.");
        return std::nullopt;
    }
    std::optional<User> found = api_.store().userById(userId);
    if (!found)
        refusal = Reply::make(203, "Unknown user",
                              "The web service does not know this user. Synchronize a camera to start again.");
    return found;
}

Reply DesktopApi::serviceStatus(const std::string& body)
{
    Reply reply;
    const std::optional<User> owner = user(body, reply);
    if (!owner)
        return reply;
    Store& store = api_.store();
    reply = Reply::make(200, "", "");
    reply.json["phoneName"] = owner->phoneName;
    reply.json["positions"] = store.fixCount(owner->id).value_or(-1);
    const auto first = store.fixAtOrAfter(owner->id, std::numeric_limits<int64_t>::min());
    const auto last = store.fixAtOrBefore(owner->id, std::numeric_limits<int64_t>::max());
    reply.json["first"] = first ? isoTime(first->time) : std::string();
    reply.json["last"] = last ? isoTime(last->time) : std::string();
    reply.json["phonePageUrls"] = phonePageUrls();
    return reply;
}

Reply DesktopApi::syncCode(const std::string& body)
{
    Reply reply;
    const std::optional<User> owner = user(body, reply);
    if (!owner)
        return reply;
    const int64_t now = api_.now();
    const auto code = api_.store().createSyncCode(owner->id, now);
    if (!code)
        return Reply::make(500, "Server error", "No synchronization code could be made.");
    reply = Reply::make(200, "", "");
    reply.json["syncID"] = code->code;
    reply.json["elapsedTime"] = now - code->created;
    reply.json["validFor"] = syncCodeLifetimeMs - (now - code->created);
    reply.json["phoneName"] = owner->phoneName;
    return reply;
}

} // namespace service
