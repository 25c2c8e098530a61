// Reading a span of a user's fixes for a track on the map.

#include "service/storerows.h"

#include <algorithm>
#include <cmath>

namespace service {

namespace {

// Degrees as micro-degrees within +-`limit` degrees.
int32_t microDegrees(double degrees, double limit)
{
    if (!(degrees >= -limit))
        degrees = -limit;
    if (degrees > limit)
        degrees = limit;
    return static_cast<int32_t>(std::lround(degrees * 1e6));
}

// The span read on `connection`, as Store::trackPoints tells it.
std::optional<TrackSpan> readSpan(Connection& connection, int64_t user, int64_t from, int64_t to, size_t limit)
{
    Query q(connection, "SELECT time, latitude, longitude FROM fixes WHERE \"user\" = ? AND time >= ? AND time <= ? "
                        "ORDER BY time");
    q.bind(1, user).bind(2, from).bind(3, to);
    TrackSpan span;
    std::vector<TrackPoint>& points = span.points;
    TrackPoint last;
    for (; q.next(); ++span.total) {
        last = { q.integer(0), microDegrees(q.real(1), 90), microDegrees(q.real(2), 180) };
        if (span.total % span.stride != 0)
            continue;
        if (points.size() == limit - 1) {
            // Every second one of those read goes, and from now on every second is read.
            for (size_t i = 0; 2 * i < points.size(); ++i)
                points[i] = points[2 * i];
            points.resize((points.size() + 1) / 2);
            span.stride *= 2;
            if (span.total % span.stride != 0)
                continue;
        }
        // Grown in steps that stop at `limit`, so as never to hold twice that.
        if (points.size() == points.capacity())
            points.reserve(std::min(limit, std::max<size_t>(1024, 2 * points.capacity())));
        points.push_back(last);
    }
    if (!q.ok())
        return std::nullopt;
    if (span.total > 0 && (span.total - 1) % span.stride != 0)
        points.push_back(last);
    return span;
}


} // namespace

std::optional<TrackSpan> Store::trackPoints(int64_t user, int64_t from, int64_t to, size_t limit)
{
    limit = std::max<size_t>(limit, 3);
    return retrying(*this, Lease::read, [&](Connection& connection) { return readSpan(connection, user, from, to, limit); });
}

} // namespace service
