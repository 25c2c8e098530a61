#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace service {

// Whether an address in text form ("127.0.0.1", "::1", "::ffff:127.0.0.1")
// is one of this machine's loopback addresses.
bool isLoopbackAddress(const std::string& address);
// Whether a Host header names this machine's loopback (a name or an address,
// with or without a port); a missing Host passes.
bool isLoopbackHost(const std::string& host);

// Whether the new users that requests without credentials make count against
// the limit of the client address `client` (see NewUserQuota). They do for
// every client except this machine itself: a client whose address is the one
// its connection reached (`local`), such as 127.0.0.1 asking 127.0.0.1 or a
// program here asking the machine's own network address, and, on a service
// not bound to loopback alone, any loopback client. A service bound to
// 127.0.0.1 counts the users of a client at 127.0.0.2: nothing else reaches
// it, so that is how a test on loopback meets the limit.
bool countsNewUsers(const std::string& client, const std::string& local, bool loopbackOnly);

// The address `text` in one form for all its spellings ("2001:db8::1"; an
// IPv4 address, also one mapped into IPv6 such as "::ffff:10.0.0.1", as
// "10.0.0.1"); nothing when `text` is no IPv4 or IPv6 address.
std::optional<std::string> canonicalAddress(std::string_view text);
// Whether `address` is one of `list`, however either spells it.
bool listedAddress(const std::vector<std::string>& list, const std::string& address);
// The client address that a reverse proxy appended to the X-Forwarded-For
// header `value` (a list separated by commas): the last one, in its canonical
// form; nothing when that is no address. Those before it come from the client
// and prove nothing.
std::optional<std::string> forwardedClient(std::string_view value);

// The IPv4 addresses of this machine's network interfaces that are up, as
// text ("192.168.1.20"); loopback interfaces and loopback addresses left out.
std::vector<std::string> localNetworkAddresses();

} // namespace service
