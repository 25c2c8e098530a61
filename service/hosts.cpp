#include "service/hosts.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace service {

bool isLoopbackAddress(const std::string& address)
{
    return address.rfind("127.", 0) == 0 || address == "::1" || address.rfind("::ffff:127.", 0) == 0;
}

bool isLoopbackHost(const std::string& host)
{
    if (host.empty())
        return true;
    std::string name;
    if (host.front() == '[') {
        const size_t close = host.find(']');
        if (close == std::string::npos || (close + 1 < host.size() && host[close + 1] != ':'))
            return false;
        name = host.substr(1, close - 1);
    } else {
        const size_t colon = host.find(':');
        name = host.substr(0, colon);
        if (colon != std::string::npos && host.find(':', colon + 1) != std::string::npos)
            return false;
    }
    for (char& c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name == "localhost" || name == "::1")
        return true;
    in_addr parsed {};
    return name.rfind("127.", 0) == 0 && inet_pton(AF_INET, name.c_str(), &parsed) == 1;
}

bool countsNewUsers(const std::string& client, const std::string& local, bool loopbackOnly)
{
    if (!client.empty() && client == local)
        return false;
    return loopbackOnly || !isLoopbackAddress(client);
}

std::optional<std::string> canonicalAddress(std::string_view text)
{
    if (text.find('\0') != std::string_view::npos)
        return std::nullopt;
    const std::string address(text);
    in_addr v4 {};
    in6_addr v6 {};
    char written[INET6_ADDRSTRLEN] = {};
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1)
        return inet_ntop(AF_INET, &v4, written, sizeof written);
    if (inet_pton(AF_INET6, address.c_str(), &v6) != 1)
        return std::nullopt;
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
        std::memcpy(&v4, &v6.s6_addr[12], sizeof v4);
        return inet_ntop(AF_INET, &v4, written, sizeof written);
    }
    return inet_ntop(AF_INET6, &v6, written, sizeof written);
}

bool listedAddress(const std::vector<std::string>& list, const std::string& address)
{
    if (list.empty())
        return false;
    const std::string canonical = canonicalAddress(address).value_or(address);
    return std::any_of(list.begin(), list.end(),
                       [&](const std::string& listed) { return canonicalAddress(listed).value_or(listed) == canonical; });
}

std::optional<std::string> forwardedClient(std::string_view value)
{
    const size_t comma = value.rfind(',');
    std::string_view last = comma == std::string_view::npos ? value : value.substr(comma + 1);
    while (!last.empty() && (last.front() == ' ' || last.front() == '\t'))
        last.remove_prefix(1);
    while (!last.empty() && (last.back() == ' ' || last.back() == '\t'))
        last.remove_suffix(1);
    return canonicalAddress(last);
}

std::vector<std::string> localNetworkAddresses()
{
    std::vector<std::string> addresses;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return addresses;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !(entry->ifa_flags & IFF_UP)
            || (entry->ifa_flags & IFF_LOOPBACK))
            continue;
        char text[INET_ADDRSTRLEN] = {};
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) && !isLoopbackAddress(text))
            addresses.emplace_back(text);
    }
    freeifaddrs(list);
    return addresses;
}

} // namespace service
