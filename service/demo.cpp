#include "service/demo.h"

#include <cmath>
#include <vector>

namespace service {

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr int64_t stepMs = 30 * 1000;
const char* const demoZone = "Europe/Berlin";

// A round walk through the city centre: Marienplatz, Odeonsplatz, the
// English Garden, the Isar and back.
struct Point {
    double latitude;
    double longitude;
};
const Point walk[] = {
    { 48.137154, 11.576124 }, { 48.142190, 11.577540 }, { 48.149640, 11.584820 }, { 48.158300, 11.594100 },
    { 48.152100, 11.602300 }, { 48.140500, 11.590800 }, { 48.131900, 11.583100 }, { 48.137154, 11.576124 },
};
constexpr int walkPoints = sizeof walk / sizeof walk[0];

double metres(const Point& a, const Point& b)
{
    const double dLat = (b.latitude - a.latitude) * 111320.0;
    const double dLon = (b.longitude - a.longitude) * 111320.0 * std::cos(a.latitude * pi / 180);
    return std::sqrt(dLat * dLat + dLon * dLon);
}

} // namespace

Fix demoPosition(int64_t utcMs)
{
    Fix fix;
    fix.time = utcMs;
    fix.zoneId = demoZone;
    // Walks from 08:00 to 20:00 UTC at 1.3 m/s round and round the loop;
    // otherwise at the starting point.
    const int64_t dayMs = 24 * 3600 * 1000LL;
    const int64_t ofDay = ((utcMs % dayMs) + dayMs) % dayMs;
    const int64_t walkStart = 8 * 3600 * 1000LL;
    const int64_t walkEnd = 20 * 3600 * 1000LL;
    Point at = walk[0];
    if (ofDay > walkStart && ofDay < walkEnd) {
        double length = 0;
        for (int i = 1; i < walkPoints; ++i)
            length += metres(walk[i - 1], walk[i]);
        double distance = std::fmod((ofDay - walkStart) / 1000.0 * 1.3, length);
        for (int i = 1; i < walkPoints; ++i) {
            const double leg = metres(walk[i - 1], walk[i]);
            if (distance <= leg) {
                const double t = leg > 0 ? distance / leg : 0;
                at.latitude = walk[i - 1].latitude + (walk[i].latitude - walk[i - 1].latitude) * t;
                at.longitude = walk[i - 1].longitude + (walk[i].longitude - walk[i - 1].longitude) * t;
                break;
            }
            distance -= leg;
        }
    }
    fix.latitude = at.latitude;
    fix.longitude = at.longitude;
    fix.altitude = 519 + 6 * std::sin(at.latitude * 2000);
    fix.accuracy = 5 + (utcMs / stepMs) % 7;
    return fix;
}

std::optional<Demo> createDemo(Store& store, int64_t now, std::string* error)
{
    const auto user = store.createUser("Demo phone", true);
    if (!user) {
        if (error)
            *error = "cannot create the demo user";
        return std::nullopt;
    }
    Demo demo;
    demo.user = *user;
    demo.from = (now - 7 * 24 * 3600 * 1000LL) / stepMs * stepMs;
    demo.to = (now + 24 * 3600 * 1000LL) / stepMs * stepMs;
    std::vector<Fix> batch;
    batch.reserve(20000);
    for (int64_t t = demo.from; t <= demo.to; t += stepMs) {
        batch.push_back(demoPosition(t));
        if (batch.size() == 20000 || t + stepMs > demo.to) {
            const auto stored = store.addFixes(user->id, batch);
            if (!stored) {
                if (error)
                    *error = "cannot store the demo track";
                return std::nullopt;
            }
            demo.fixes += *stored;
            batch.clear();
        }
    }
    return demo;
}

} // namespace service
