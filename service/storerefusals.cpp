// The fixes refused from tracker apps, as the phone page tells them.

#include "service/storerows.h"

namespace service {

namespace {

constexpr int64_t minuteMs = 60 * 1000;

// The minute of a moment, rounded down also before 1970.
int64_t minuteOf(int64_t ms)
{
    return ms / minuteMs - (ms % minuteMs < 0 ? 1 : 0);
}

} // namespace

bool Store::addRefusals(int64_t user, int64_t now, int64_t count, const std::string& reason)
{
    return retrying(*this, Lease::write, [&](Connection& connection) {
        Transaction transaction(connection);
        Query add(connection, "INSERT INTO fix_refusals (\"user\", minute, count, reason) VALUES (?, ?, ?, ?) "
                              "ON CONFLICT (\"user\", minute) DO UPDATE SET count = fix_refusals.count + excluded.count, "
                              "reason = excluded.reason");
        Query prune(connection, "DELETE FROM fix_refusals WHERE \"user\" = ? AND minute < ?");
        return transaction.active() && add.bind(1, user).bind(2, minuteOf(now)).bind(3, count).bind(4, reason).run()
            && prune.bind(1, user).bind(2, minuteOf(now - refusalsKeptMs)).run() && transaction.commit();
    });
}

std::optional<Refusals> Store::refusalsSince(int64_t user, int64_t since)
{
    return firstRow(
        *this,
        "SELECT coalesce(sum(count), 0), max(minute), "
        "(SELECT reason FROM fix_refusals WHERE \"user\" = ?1 AND minute >= ?2 ORDER BY minute DESC LIMIT 1) "
        "FROM fix_refusals WHERE \"user\" = ?1 AND minute >= ?2",
        [](const Query& q) { return Refusals { q.integer(0), q.integer(1) * minuteMs, q.text(2) }; }, user,
        minuteOf(since));
}

} // namespace service
