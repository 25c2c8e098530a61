#pragma once

#include "service/api.h"

#include <string>
#include <vector>

namespace service {

// The two requests with which the desktop program shows what the service
// holds and the live synchronization code on its own screen. Both take
// {"userID"}; an empty identifier is accepted only on a local request (a
// loopback connection to a service that listens on loopback alone) while
// the service has a single user.
class DesktopApi {
public:
    // `address` is the address the service listens on, `port` its port.
    DesktopApi(Api& api, std::string address, int port, bool localRequest);

    // {"phoneName", "positions", "first", "last", "phonePageUrls"}
    Reply serviceStatus(const std::string& body);
    // {"syncID", "elapsedTime", "validFor"}: a fresh code of the user's phone
    // and the milliseconds since it was made and for which it stays valid.
    Reply syncCode(const std::string& body);

    // The addresses at which a phone reaches the phone page.
    std::vector<std::string> phonePageUrls() const;

private:
    std::optional<User> user(const std::string& body, Reply& refusal);

    Api& api_;
    std::string address_;
    int port_;
    bool local_;
};

} // namespace service
