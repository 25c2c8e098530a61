// Merging one account into another: a desktop that had an account of its own
// (from a track import) joins the account of the person's phone.

#include "service/store.h"
#include "service/storesql.h"

namespace service {

namespace {

// The statements of a merge of ?1 into ?2, in order. A camera of ?1 that ?2
// has too (same model and identity) hands its synchronizations to ?2's and
// goes; a synchronization ?2's camera has with the same code stays as it is.
const char* const mergeSteps[] = {
    "UPDATE OR IGNORE synchronizations SET camera = ("
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
    "DELETE FROM fixes WHERE user = ?",
    "DELETE FROM fix_refusals WHERE user = ?",
    "DELETE FROM sync_codes WHERE owner = ?",
    "DELETE FROM device_keys WHERE user = ?",
    "DELETE FROM users WHERE id = ?",
};

} // namespace

bool Store::mergeUser(int64_t from, int64_t into)
{
    if (from == into)
        return false;
    Lease lease(*this);
    if (!lease)
        return false;
    Transaction transaction(*lease);
    if (!transaction.active())
        return false;
    std::optional<bool> demo;
    {
        Query q(*lease, "SELECT demo FROM users WHERE id = ? AND EXISTS (SELECT 1 FROM users WHERE id = ?)");
        if (q.bind(1, from).bind(2, into).next())
            demo = q.integer(0) != 0;
    }
    if (!demo)
        return false;
    if (!*demo) {
        // The fix `into` has at a time stays: it is the phone's own.
        Query q(*lease, "INSERT OR IGNORE INTO fixes (user, time, latitude, longitude, altitude, accuracy, zone) "
                        "SELECT ?2, time, latitude, longitude, altitude, accuracy, zone FROM fixes WHERE user = ?1");
        if (!q.bind(1, from).bind(2, into).run())
            return false;
    }
    for (const char* sql : mergeSteps) {
        Query q(*lease, sql);
        if (!q.bind(1, from).bind(2, into).run())
            return false;
    }
    for (const char* sql : removals) {
        Query q(*lease, sql);
        if (!q.bind(1, from).run())
            return false;
    }
    return transaction.commit();
}

} // namespace service
