// A user's cameras and the synchronizations of their clocks.

#include "service/storerows.h"

namespace service {

std::optional<Camera> Store::findCamera(int64_t user, const std::string& model, const std::string& identity)
{
    return firstRow(*this,
                    "SELECT id, model, serial_number, internal_serial_number FROM cameras "
                    "WHERE owner = ? AND model = ? AND identity = ?",
                    readCamera, user, model, identity);
}

std::optional<Synchronization> Store::addSynchronization(int64_t user, const std::string& model,
                                                         const std::string& serialNumber,
                                                         const std::string& internalSerialNumber,
                                                         const Synchronization& sync)
{
    const std::string identity = serialNumber.empty() ? internalSerialNumber : serialNumber;
    const auto syncId = newKey(8);
    if (!syncId)
        return std::nullopt;
    Synchronization stored = sync;
    stored.syncId = *syncId;
    const bool done = retrying(*this, Lease::write, [&](Connection& connection) {
        Transaction transaction(connection);
        if (!transaction.lock(lockKey("cameras", std::to_string(user))))
            return false;
        {
            Query q(connection, "INSERT INTO cameras (owner, model, serial_number, internal_serial_number, identity) "
                                "VALUES (?, ?, ?, ?, ?) ON CONFLICT DO NOTHING");
            if (!q.bind(1, user).bind(2, model).bind(3, serialNumber).bind(4, internalSerialNumber).bind(5, identity)
                     .run())
                return false;
        }
        // A second synchronization of the camera with the same code replaces the first.
        Query q(connection, "INSERT INTO synchronizations (sync_id, camera, code, clock_offset, camera_time, utc_time, "
                            "zone_id, zone_offset, zone_name, local_time) "
                            "SELECT ?, id, ?, ?, ?, ?, ?, ?, ?, ? FROM cameras "
                            "WHERE owner = ? AND model = ? AND identity = ? "
                            "ON CONFLICT (camera, code) DO UPDATE SET sync_id = excluded.sync_id, "
                            "clock_offset = excluded.clock_offset, camera_time = excluded.camera_time, "
                            "utc_time = excluded.utc_time, zone_id = excluded.zone_id, "
                            "zone_offset = excluded.zone_offset, zone_name = excluded.zone_name, "
                            "local_time = excluded.local_time RETURNING sync_id");
        return q.bind(1, stored.syncId)
                   .bind(2, stored.code)
                   .bind(3, stored.clockOffset)
                   .bind(4, stored.cameraTime)
                   .bind(5, stored.utcTime)
                   .bind(6, stored.zoneId)
                   .bind(7, stored.zoneOffset)
                   .bind(8, stored.zoneName)
                   .bind(9, stored.localTime)
                   .bind(10, user)
                   .bind(11, model)
                   .bind(12, identity)
                   .next()
            && q.finish() && transaction.commit();
    });
    if (!done)
        return std::nullopt;
    return stored;
}

std::optional<std::vector<Synchronization>> Store::synchronizations(int64_t camera)
{
    static const std::string sql = std::string("SELECT * FROM (SELECT ") + synchronizationColumns
        + " FROM synchronizations WHERE camera = ? ORDER BY utc_time DESC, sync_id DESC LIMIT "
        + std::to_string(maxSynchronizationsRead) + ") AS recent ORDER BY utc_time, sync_id";
    return retrying(*this, Lease::read, [&](Connection& connection) {
        Query q(connection, sql.c_str());
        q.bind(1, camera);
        return allRows(q, readSynchronization);
    });
}

std::optional<std::vector<Camera>> Store::cameras(int64_t user)
{
    static const std::string sql = std::string("SELECT ") + synchronizationColumns
        + " FROM synchronizations WHERE camera = ? ORDER BY utc_time, sync_id";
    return retrying(*this, Lease::read, [&](Connection& connection) -> std::optional<std::vector<Camera>> {
        std::optional<std::vector<Camera>> list;
        {
            Query q(connection, "SELECT id, model, serial_number, internal_serial_number FROM cameras "
                                "WHERE owner = ? ORDER BY id");
            q.bind(1, user);
            list = allRows(q, readCamera);
        }
        if (!list)
            return std::nullopt;
        for (Camera& camera : *list) {
            Query q(connection, sql.c_str());
            q.bind(1, camera.id);
            auto synchronizations = allRows(q, readSynchronization);
            if (!synchronizations)
                return std::nullopt;
            camera.synchronizations = std::move(*synchronizations);
        }
        return list;
    });
}

std::optional<int64_t> Store::removeSynchronizations(int64_t user, const std::vector<std::string>& syncIds)
{
    return retrying(*this, Lease::write, [&](Connection& connection) -> std::optional<int64_t> {
        Transaction transaction(connection);
        if (!transaction.lock(lockKey("cameras", std::to_string(user))))
            return std::nullopt;
        int64_t removed = 0;
        for (const std::string& syncId : syncIds) {
            int64_t camera = 0;
            {
                Query q(connection, "DELETE FROM synchronizations WHERE sync_id = ? AND camera IN "
                                    "(SELECT id FROM cameras WHERE owner = ?) RETURNING camera");
                if (q.bind(1, syncId).bind(2, user).next())
                    camera = q.integer(0);
                if (!q.finish())
                    return std::nullopt;
            }
            if (camera == 0)
                continue;
            ++removed;
            Query q(connection, "DELETE FROM cameras WHERE id = ? AND NOT EXISTS "
                                "(SELECT 1 FROM synchronizations WHERE synchronizations.camera = cameras.id)");
            if (!q.bind(1, camera).run())
                return std::nullopt;
        }
        if (!transaction.commit())
            return std::nullopt;
        return removed;
    });
}

} // namespace service
