// The track on the desktop's map: thinning a track so that it keeps its shape,
// reading a span of fixes within a bound, and the getTrack request over HTTP.

#include "service/desktopapi.h"
#include "service/trackthin.h"
#include "support/realservice.h"

#include <cmath>
#include <random>

using nlohmann::json;
using service::TrackPoint;

namespace {

const int64_t start = *service::parseIsoTime("2026-07-14T06:00:00Z");

// The distance of p from the segment a-b in metres, on the flat map around
// the segment that the service measures on, written out plainly in degrees.
double distance(const TrackPoint& p, const TrackPoint& a, const TrackPoint& b)
{
    const double metres = 6371008.8 * M_PI / 180, east = metres * std::cos((a.latitude + b.latitude) / 2e6 * M_PI / 180);
    const auto x = [&](const TrackPoint& q) { return std::remainder((q.longitude - a.longitude) / 1e6, 360) * east; };
    const auto y = [&](const TrackPoint& q) { return (q.latitude - a.latitude) / 1e6 * metres; };
    const double bx = x(b), by = y(b), px = x(p), py = y(p), length = bx * bx + by * by;
    const double t = length > 0 ? std::clamp((px * bx + py * by) / length, 0.0, 1.0) : 0;
    return std::hypot(px - t * bx, py - t * by);
}

// The largest distance of a point of `track` from the line through the points
// kept (indices, ascending, the first and the last among them).
double largestDeviation(const std::vector<TrackPoint>& track, const std::vector<size_t>& kept)
{
    double largest = 0;
    for (size_t k = 0; k + 1 < kept.size(); ++k)
        for (size_t i = kept[k] + 1; i < kept[k + 1]; ++i)
            largest = std::max(largest, distance(track[i], track[kept[k]], track[kept[k + 1]]));
    return largest;
}

// A walk of `count` points from (latitude, longitude), one every 86 ms, of
// `step` metres each, turning by `turns` radians (sigma) at every step and
// sharply now and then; a step of 0 stays at one place; `turns` 0 walks
// straight east, and -1 the same way back from halfway.
std::vector<TrackPoint> walk(size_t count, double latitude, double longitude, double step, double turns)
{
    std::mt19937 random(7);
    std::normal_distribution<double> turn(0, std::max(turns, 0.0));
    std::vector<TrackPoint> track;
    for (double i = 0, heading = M_PI / 2; i < count; ++i) {
        track.push_back({ start + int64_t(i) * 86, int32_t(std::lround(latitude * 1e6)),
                          int32_t(std::lround(std::remainder(longitude, 360) * 1e6)) });
        heading += turns > 0 ? turn(random) + (random() % 2000 == 0 ? M_PI / 2 : 0) : 0;
        const double sign = turns < 0 && 2 * i + 1 >= count ? -1 : 1;
        latitude = std::clamp(latitude + sign * step * std::cos(heading) / 111195.0, -89.9999, 89.9999);
        longitude += sign * step * std::sin(heading) / (111195.0 * std::cos(latitude * M_PI / 180));
    }
    return track;
}

// Stores `track` as the fixes of a new user of `service`.
service::User keep(testsupport::RealService& service, const std::vector<TrackPoint>& track)
{
    std::vector<service::Fix> fixes;
    for (const TrackPoint& p : track)
        fixes.push_back({ p.time, p.latitude / 1e6, p.longitude / 1e6, 500, 5, "Europe/Berlin" });
    const auto user = service.store.createUser("Phone");
    if (!user || !service.store.addFixes(user->id, fixes))
        qFatal("cannot store the track");
    return *user;
}

} // namespace

class TestServiceTrack : public QObject {
    Q_OBJECT
private slots:
    void thinning_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QPointF>("origin"); // latitude, longitude
        QTest::addColumn<double>("step");
        QTest::addColumn<double>("turns");
        QTest::addColumn<int>("maxPoints");
        QTest::addColumn<int>("kept");
        QTest::newRow("a day of a million points") << 1000000 << QPointF(48.1, 11.5) << 1.5 << 0.05 << 20000 << 20000;
        QTest::newRow("fewer than kept") << 500 << QPointF(48.1, 11.5) << 1.5 << 0.05 << 20000 << 500;
        QTest::newRow("around the pole") << 30000 << QPointF(89.99, 0) << 3.0 << 0.05 << 1000 << 1000;
        QTest::newRow("all at one place") << 1000 << QPointF(48.1, 11.5) << 0.0 << 0.0 << 10 << 2;
        QTest::newRow("out and back") << 4001 << QPointF(0, 11.5) << 10.0 << -1.0 << 50 << 3;
        QTest::newRow("across the antimeridian") << 10001 << QPointF(0, 179.5) << 11.1195 << 0.0 << 2 << 2;
    }

    // At most maxPoints kept, the first and the last among them, and every
    // point left out within the tolerance of the kept line, one exactly there.
    void thinning()
    {
        QFETCH(int, count);
        QFETCH(QPointF, origin);
        QFETCH(double, step);
        QFETCH(double, turns);
        QFETCH(int, maxPoints);
        const std::vector<TrackPoint> track = walk(size_t(count), origin.x(), origin.y(), step, turns);
        const service::ThinnedTrack thinned = service::thinTrack(track, size_t(maxPoints));
        const std::vector<size_t>& kept = thinned.kept;
        QTEST(int(kept.size()), "kept");
        QCOMPARE(std::pair(kept.front(), kept.back()), std::pair(size_t(0), size_t(count - 1)));
        QVERIFY(std::adjacent_find(kept.begin(), kept.end(), std::greater_equal<>()) == kept.end());
        QVERIFY(std::fabs(largestDeviation(track, kept) - thinned.tolerance) <= 1e-6);
        QCOMPARE(thinned.tolerance > 0, step > 0 && turns > 0 && count > maxPoints);
    }

    // A span beyond the bound is read as evenly spaced fixes and the last.
    void readBound()
    {
        testsupport::RealService s;
        const service::User owner = keep(s, walk(1020, 48.1, 11.5, 1.5, 0.05));
        for (const auto& [count, limit, stride] : { std::tuple(99, 100, 1), { 100, 100, 2 }, { 1000, 100, 16 } }) {
            const auto span = s.store.trackPoints(owner.id, start + 10 * 86, start + (count + 9) * 86, size_t(limit));
            QVERIFY(span && span->total == count && span->stride == stride);
            const std::vector<TrackPoint>& points = span->points;
            QCOMPARE(points.size(), size_t((count - 1) / stride + ((count - 1) % stride ? 2 : 1)));
            for (size_t k = 0; k < points.size(); ++k)
                QCOMPARE((points[k].time - start) / 86 - 10, k + 1 < points.size() ? int64_t(k) * stride : count - 1);
        }
    }

    // No track without a known user; a span's fixes thinned, each within the
    // answer's tolerance of its line.
    void getTrack()
    {
        testsupport::RealService s;
        const std::vector<TrackPoint> track = walk(60000, 48.1, 11.5, 5, 0.8);
        const service::User owner = keep(s, track);
        const std::string from = service::formatIsoTime(track[5000].time), to = service::formatIsoTime(track[54999].time);
        service::DesktopApi local(*s.api, "127.0.0.1", s.server->port(), true);
        const std::string times = R"(204 Bad request: The request needs "from" and "to" as ISO 8601 times, such as "2026-05-01T08:00:00Z".)";
        for (const auto& [request, want] : {
                 std::pair(json { { "userID", "abc" }, { "from", from }, { "to", to } }, std::string("203 Unknown user: The "
                           "web service does not know this user. Synchronize a camera to start again.")),
                 { { { "from", from }, { "to", to } }, R"(204 Bad request: The request needs the member "userID" as text.)" },
                 { { { "userID", owner.userId }, { "from", "today" }, { "to", to } }, times },
                 { { { "userID", owner.userId }, { "from", from } }, times },
                 { { { "userID", owner.userId }, { "from", to }, { "to", from } },
                   R"(204 Bad request: The span ends ("to") before it begins ("from").)" } }) {
            const service::Reply reply = local.getTrack(request.dump());
            QCOMPARE(std::to_string(reply.status) + " " + reply.json.value("head", "") + ": " + reply.json.value("body", ""), want);
        }
        const auto answer = [&](const std::string& userId, const std::string& from, const std::string& to) {
            const auto result = s.client->Put("/getTrack", json { { "userID", userId }, { "from", from }, { "to", to } }.dump(),
                                              "application/json");
            return result && result->status == 200 ? json::parse(result->body) : json();
        };
        // An empty identifier names the single account on loopback only.
        QCOMPARE(answer("", from, from)["total"], json(1));
        QCOMPARE(service::DesktopApi(*s.api, "0.0.0.0", 8470, false).getTrack(R"({"userID":""})").status, 203);
        QCOMPARE(answer(owner.userId, "2026-07-13T06:00:00Z", "2026-07-14T05:59:59.999Z"),
                 json::parse(R"({"head":"","body":"","positions":[],"tolerance":0,"total":0})"));

        const json thinned = answer(owner.userId, from, to);
        QCOMPARE(thinned["total"], json(50000));
        const double tolerance = thinned["tolerance"].get<double>();
        QVERIFY2(tolerance > 1 && tolerance < 5, qPrintable(QString::number(tolerance)));
        QCOMPARE(thinned["positions"].size(), service::maxTrackPositions);
        const std::vector<TrackPoint> span(track.begin() + 5000, track.begin() + 55000);
        std::vector<size_t> kept;
        for (const json& p : thinned["positions"]) {
            kept.push_back(size_t((p[0].get<int64_t>() - span.front().time) / 86));
            QCOMPARE(std::pair(p[1].get<double>(), p[2].get<double>()),
                     std::pair(span[kept.back()].latitude / 1e6, span[kept.back()].longitude / 1e6));
        }
        QCOMPARE(std::pair(kept.front(), kept.back()), std::pair(size_t(0), span.size() - 1));
        QVERIFY(std::adjacent_find(kept.begin(), kept.end(), std::greater_equal<>()) == kept.end());
        QVERIFY(largestDeviation(span, kept) <= tolerance && largestDeviation(span, kept) > tolerance - 0.01);
    }
};

QTEST_GUILESS_MAIN(TestServiceTrack)
#include "tst_servicetrack.moc"
