#pragma once

#include "service/api.h"

#include <functional>
#include <string>

namespace service {

// The users that requests without credentials make (a phone's registration,
// a first track import), counted per client address in the database so that
// the count holds across restarts: newUsersPerAddress an hour at most.
class NewUserQuota {
public:
    explicit NewUserQuota(Api& api);

    // The answer of `make`, which makes a new user for a client at `address`
    // and names it in "userID" (an answer without one made none); when the
    // address has had its quota, a 429 refusal that says when to try again,
    // and the seconds until then in `retryAfter`.
    Reply make(const std::string& address, const std::function<Reply()>& make, int64_t* retryAfter);

private:
    Api& api_;
};

} // namespace service
