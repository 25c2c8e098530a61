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
// `stepMetres` each, turning a little at every step and now and then sharply;
// a step of 0 stays at one place; `turns` 0 walks straight east and, with
// `back`, the same way back.
std::vector<TrackPoint> walk(size_t count, double latitude, double longitude, double stepMetres, double turns,
                             bool back = false)
{
    std::mt19937 random(7);
    std::normal_distribution<double> turn(0, turns);
    std::vector<TrackPoint> track;
    double heading = M_PI / 2;
    for (size_t i = 0; i < count; ++i) {
        const double lon = std::remainder(longitude, 360);
        track.push_back({ start + int64_t(i) * 86, int32_t(std::lround(latitude * 1e6)), int32_t(std::lround(lon * 1e6)) });
        heading += turns > 0 ? turn(random) + (random() % 2000 == 0 ? M_PI / 2 : 0) : 0;
        const double sign = back && 2 * i + 1 >= count ? -1 : 1;
        latitude = std::clamp(latitude + sign * stepMetres * std::cos(heading) / 111195.0, -89.9999, 89.9999);
        longitude += sign * stepMetres * std::sin(heading) / (111195.0 * std::cos(latitude * M_PI / 180));
    }
    return track;
}

class Running : public testsupport::RealService {
public:
    // The answer's status, its JSON (of a 204 its texts and members from the headers).
    std::pair<int, json> put(const std::string& target, const std::string& body)
    {
        const auto result = client->Put(target, body, "application/json");
        if (!result)
            return { 0, json() };
        if (result->status != 204)
            return { result->status, json::parse(result->body, nullptr, false) };
        const auto header = [&](const char* name) {
            return QByteArray::fromPercentEncoding(result->get_header_value(name).c_str()).toStdString();
        };
        json answer = json::parse(header("Kestrel-Members").empty() ? "{}" : header("Kestrel-Members"));
        answer.update({ { "head", header("Kestrel-Head") }, { "body", header("Kestrel-Body") } });
        return { 204, answer };
    }
    json track(const service::User& user, const std::string& from, const std::string& to)
    {
        return put("/getTrack", json { { "userID", user.userId }, { "from", from }, { "to", to } }.dump()).second;
    }
    service::User user(const char* name = "Phone") { return store.createUser(name).value(); }
    // Stores `track` as fixes of `user`.
    void keep(const service::User& user, const std::vector<TrackPoint>& track)
    {
        std::vector<service::Fix> fixes;
        for (const TrackPoint& p : track)
            fixes.push_back({ p.time, p.latitude / 1e6, p.longitude / 1e6, 500, 5, "Europe/Berlin" });
        QVERIFY(store.addFixes(user.id, fixes));
    }
};

} // namespace

class TestServiceTrack : public QObject {
    Q_OBJECT
private slots:
    void thinning_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<double>("latitude");
        QTest::addColumn<double>("longitude");
        QTest::addColumn<double>("step");  // metres
        QTest::addColumn<double>("turns"); // radians per step (sigma)
        QTest::addColumn<bool>("back");
        QTest::addColumn<int>("maxPoints");
        QTest::addColumn<int>("kept");
        QTest::newRow("a day of a million points") << 1000000 << 48.1 << 11.5 << 1.5 << 0.05 << false << 20000 << 20000;
        QTest::newRow("fewer than kept") << 500 << 48.1 << 11.5 << 1.5 << 0.05 << false << 20000 << 500;
        QTest::newRow("around the pole") << 30000 << 89.99 << 0.0 << 3.0 << 0.05 << false << 1000 << 1000;
        QTest::newRow("all at one place") << 1000 << 48.1 << 11.5 << 0.0 << 0.0 << false << 10 << 2;
        QTest::newRow("out and back") << 4001 << 0.0 << 11.5 << 10.0 << 0.0 << true << 50 << 3;
        QTest::newRow("across the antimeridian") << 10001 << 0.0 << 179.5 << 11.1195 << 0.0 << false << 2 << 2;
    }

    // At most maxPoints kept, the first and the last among them, and every
    // point left out within the tolerance of the kept line, one exactly there.
    void thinning()
    {
        QFETCH(int, count);
        QFETCH(double, latitude);
        QFETCH(double, longitude);
        QFETCH(double, step);
        QFETCH(double, turns);
        QFETCH(bool, back);
        QFETCH(int, maxPoints);
        const std::vector<TrackPoint> track = walk(size_t(count), latitude, longitude, step, turns, back);
        const service::ThinnedTrack thinned = service::thinTrack(track, size_t(maxPoints));
        QTEST(thinned.kept.size() <= size_t(maxPoints) ? int(thinned.kept.size()) : -2, "kept");
        QCOMPARE(thinned.kept.front(), size_t(0));
        QCOMPARE(thinned.kept.back(), size_t(count - 1));
        QVERIFY(std::is_sorted(thinned.kept.begin(), thinned.kept.end()));
        QVERIFY(std::adjacent_find(thinned.kept.begin(), thinned.kept.end()) == thinned.kept.end());
        const double deviation = largestDeviation(track, thinned.kept);
        QVERIFY2(std::fabs(deviation - thinned.tolerance) <= 1e-6, qPrintable(QString::number(deviation)));
        QCOMPARE(thinned.tolerance > 0, step > 0 && turns > 0 && count > maxPoints);
    }

    // A span beyond the bound is read as evenly spaced fixes and the last.
    void readBound_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("limit");
        QTest::addColumn<int>("stride");
        QTest::newRow("within") << 99 << 100 << 1;
        QTest::newRow("at the bound") << 100 << 100 << 2;
        QTest::newRow("ten times") << 1000 << 100 << 16;
    }

    void readBound()
    {
        QFETCH(int, count);
        QFETCH(int, limit);
        QFETCH(int, stride);
        Running s;
        const service::User owner = s.user();
        s.keep(owner, walk(size_t(count) + 20, 48.1, 11.5, 1.5, 0.05));
        const auto span = s.store.trackPoints(owner.id, start + 10 * 86, start + (count + 9) * 86, size_t(limit));
        QVERIFY(span);
        QCOMPARE(span->total, int64_t(count));
        QCOMPARE(span->stride, int64_t(stride));
        std::vector<int64_t> times, want;
        for (const TrackPoint& p : span->points)
            times.push_back((p.time - start) / 86 - 10);
        for (int i = 0; i < count; i += stride)
            want.push_back(i);
        if (want.back() != count - 1)
            want.push_back(count - 1);
        QCOMPARE(times, want);
    }

    // No track without a known user; a span's fixes thinned, each within the
    // answer's tolerance of its line.
    void getTrack()
    {
        Running s;
        const service::User owner = s.user();
        const std::vector<TrackPoint> track = walk(60000, 48.1, 11.5, 1.5, 0.05);
        s.keep(owner, track);
        const std::string from = service::formatIsoTime(track[5000].time), to = service::formatIsoTime(track[54999].time);
        const auto refusal = [&](const std::string& body) {
            const auto [status, answer] = s.put("/getTrack", body);
            return std::to_string(status) + " " + answer.value("head", "") + ": " + answer.value("body", "");
        };
        const std::string unknown = "203 Unknown user: The web service does not know this user. Synchronize a camera to start again.";
        const std::string times = R"(204 Bad request: The request needs "from" and "to" as ISO 8601 times, such as "2026-05-01T08:00:00Z".)";
        QCOMPARE(refusal(R"({"userID":"abc","from":"2026-07-14T06:00:00Z","to":"2026-07-14T07:00:00Z"})"), unknown);
        QCOMPARE(refusal(R"({"from":"2026-07-14T06:00:00Z","to":"2026-07-14T07:00:00Z"})"),
                 std::string(R"(204 Bad request: The request needs the member "userID" as text.)"));
        QCOMPARE(refusal(json { { "userID", owner.userId }, { "from", "today" }, { "to", to } }.dump()), times);
        QCOMPARE(refusal(json { { "userID", owner.userId }, { "from", from } }.dump()), times);
        QCOMPARE(refusal(json { { "userID", owner.userId }, { "from", to }, { "to", from } }.dump()),
                 std::string(R"(204 Bad request: The span ends ("to") before it begins ("from").)"));
        // An empty identifier names the single account on loopback only.
        const std::string anyone = json { { "userID", "" }, { "from", from }, { "to", from } }.dump();
        QCOMPARE(s.put("/getTrack", anyone).second["total"], json(1));
        QCOMPARE(service::DesktopApi(*s.api, "0.0.0.0", 8470, false).getTrack(anyone).status, 203);

        QCOMPARE(s.track(owner, "2026-07-13T06:00:00Z", "2026-07-14T05:59:59.999Z"),
                 json::parse(R"({"head":"","body":"","positions":[],"tolerance":0,"total":0})"));
        const json answer = s.track(owner, from, to);
        QCOMPARE(answer["total"], json(50000));
        const double tolerance = answer["tolerance"].get<double>();
        QVERIFY2(tolerance > 0 && tolerance < 5, qPrintable(QString::number(tolerance)));
        QCOMPARE(answer["positions"].size(), service::maxTrackPositions);
        std::vector<TrackPoint> span(track.begin() + 5000, track.begin() + 55000);
        std::vector<size_t> kept;
        for (const json& p : answer["positions"]) {
            const TrackPoint given { p[0].get<int64_t>(), int32_t(std::lround(p[1].get<double>() * 1e6)), int32_t(std::lround(p[2].get<double>() * 1e6)) };
            kept.push_back(size_t((given.time - span.front().time) / 86));
            QCOMPARE(given.latitude, span[kept.back()].latitude);
            QCOMPARE(given.longitude, span[kept.back()].longitude);
        }
        QCOMPARE(kept.front(), size_t(0));
        QCOMPARE(kept.back(), span.size() - 1);
        QVERIFY(std::is_sorted(kept.begin(), kept.end()));
        QVERIFY(largestDeviation(span, kept) <= tolerance);
        QVERIFY(largestDeviation(span, kept) > tolerance - 0.01);
    }
};

QTEST_GUILESS_MAIN(TestServiceTrack)
#include "tst_servicetrack.moc"
