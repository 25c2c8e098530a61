#pragma once

#include <string>
#include <vector>

namespace service {

// Whether an address in text form ("127.0.0.1", "::1", "::ffff:127.0.0.1")
// is one of this machine's loopback addresses.
bool isLoopbackAddress(const std::string& address);
// Whether a Host header names this machine's loopback (a name or an address,
// with or without a port); a missing Host passes.
bool isLoopbackHost(const std::string& host);

// The IPv4 addresses of this machine's network interfaces that are up, as
// text ("192.168.1.20"); loopback interfaces and loopback addresses left out.
std::vector<std::string> localNetworkAddresses();

} // namespace service
