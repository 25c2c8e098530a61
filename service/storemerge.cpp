// Merging one account into another: a desktop that had an account of its own
// (from a track import) joins the account of the person's phone.

#include "service/storerows.h"

#include <algorithm>

namespace service {

namespace {

// The statements of a merge of ?1 into ?2, in order. A camera of ?1 that ?2
// has too (same model and identity) hands its synchronizations to ?2's and
// goes; a synchronization ?2's camera has with the same code stays as it is.
const char* const mergeSteps[] = {
    "DELETE FROM synchronizations WHERE camera IN (SELECT f.id FROM cameras f JOIN cameras t"
    "  ON t.model = f.model AND t.identity = f.identity WHERE f.owner = ?1 AND t.owner = ?2)"
    " AND EXISTS (SELECT 1 FROM synchronizations s JOIN cameras t ON t.id = s.camera JOIN cameras f"
    "  ON t.model = f.model AND t.identity = f.identity"
    "  WHERE f.id = synchronizations.camera AND t.owner = ?2 AND s.code = synchronizations.code)",
    "UPDATE synchronizations SET camera = ("
    "  SELECT t.id FROM cameras f JOIN cameras t ON t.model = f.model AND t.identity = f.identity"
    "  WHERE f.id = synchronizations.camera AND t.owner = ?2) "
    "WHERE camera IN (SELECT f.id FROM cameras f JOIN cameras t ON t.model = f.model AND t.identity = f.identity"
    "  WHERE f.owner = ?1 AND t.owner = ?2)",
    "DELETE FROM cameras WHERE owner = ?1 AND EXISTS (SELECT 1 FROM cameras t WHERE t.owner = ?2"
    "  AND t.model = cameras.model AND t.identity = cameras.identity)",
    "UPDATE cameras SET owner = ?2 WHERE owner = ?1",
};

// Then what is left of ?1 goes.
const char* const removals[] = {
    "DELETE FROM fixes WHERE \"user\" = ?",
    "DELETE FROM fix_refusals WHERE \"user\" = ?",
    "DELETE FROM sync_codes WHERE owner = ?",
    "DELETE FROM device_keys WHERE \"user\" = ?",
    "DELETE FROM users WHERE id = ?",
};

// Merges in the open transaction; false when `from` or `into` is unknown or
// the database fails.
bool merge(Connection& connection, int64_t from, int64_t into)
{
    std::optional<bool> demo;
    {
        Query q(connection, "SELECT demo FROM users WHERE id = ? AND EXISTS (SELECT 1 FROM users WHERE id = ?)");
        if (q.bind(1, from).bind(2, into).next())
            demo = q.integer(0) != 0;
        if (!q.finish())
            return false;
    }
    if (!demo)
        return false;
    if (!*demo) {
        // The fix `into` has at a time stays: it is the phone's own.
        Query q(connection, "INSERT INTO fixes (\"user\", time, latitude, longitude, altitude, accuracy, zone) "
                            "SELECT CAST(?2 AS BIGINT), time, latitude, longitude, altitude, accuracy, zone "
                            "FROM fixes WHERE \"user\" = ?1 ON CONFLICT DO NOTHING");
        if (!q.bind(1, from).bind(2, into).run())
            return false;
    }
    for (const char* sql : mergeSteps) {
        Query q(connection, sql);
        if (!q.bind(1, from).bind(2, into).run())
            return false;
    }
    for (const char* sql : removals) {
        Query q(connection, sql);
        if (!q.bind(1, from).run())
            return false;
    }
    return true;
}

} // namespace

bool Store::mergeUser(int64_t from, int64_t into)
{
    if (from == into)
        return false;
    return retrying(*this, Lease::write, [&](Connection& connection) {
        Transaction transaction(connection);
        // The cameras of both take no other change meanwhile; the locks are
        // taken in one order, so two merges never wait for each other.
        const std::string first = std::to_string(std::min(from, into));
        const std::string second = std::to_string(std::max(from, into));
        return transaction.lock(lockKey("cameras", first)) && transaction.lock(lockKey("cameras", second))
            && merge(connection, from, into) && transaction.commit();
    });
}

} // namespace service
