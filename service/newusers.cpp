#include "service/newusers.h"

#include <algorithm>

namespace service {

NewUserQuota::NewUserQuota(Api& api) : api_(api)
{
}

Reply NewUserQuota::make(const std::string& address, const std::function<Reply()>& make, int64_t* retryAfter)
{
    const int64_t now = api_.now();
    const auto claim = api_.store().claimNewUser(address, now, newUserWindowMs, newUsersPerAddress);
    if (!claim)
        return Reply::make(500, "Server error", "The service cannot count the new users of this address.");
    if (claim->row == 0) {
        const int64_t seconds = std::max<int64_t>(1, (claim->retryAt - now + 999) / 1000);
        *retryAfter = seconds;
        return Reply::make(429, "Too many new users",
                           "Too many new users from this address; try again in " + std::to_string((seconds + 59) / 60)
                               + " min.");
    }
    Reply reply = make();
    const auto user = reply.json.find("userID");
    if (user == reply.json.end() || !user->is_string() || user->get_ref<const std::string&>().empty())
        api_.store().releaseNewUser(claim->row);
    return reply;
}

} // namespace service
