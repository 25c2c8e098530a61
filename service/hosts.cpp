#include "service/hosts.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cctype>

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
