// A camera's clock between and beyond its synchronizations, and how far a
// photo's position is stated to be off, checked against a simulated trip
// whose true positions are known.

#include "service/accuracy.h"
#include "service/api.h"
#include "service/clockdrift.h"
#include "support/teststore.h"

#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <random>

using nlohmann::json;
using service::ClockSync;

namespace {

const int64_t day = service::dayMs;
const int64_t start = *service::parseIsoTime("2026-05-01T06:00:00Z");

// Synchronizations {days after the start, offset in s}, read to the second.
std::vector<ClockSync> syncs(const std::vector<std::pair<double, double>>& list)
{
    std::vector<ClockSync> result;
    for (const auto& [days, offset] : list) {
        const int64_t utc = start + std::llround(days * day);
        result.push_back({ utc + std::llround(offset * 1000), utc, "day " + QByteArray::number(days).toStdString() });
    }
    return result;
}

// A store with one user and one camera, asked as the desktop asks.
struct Trip {
    QTemporaryDir folder;
    const testsupport::TestDatabase database { folder.filePath("trip.db") };
    service::Store store;
    service::Api api { store, [] { return start + 400 * day; } };
    std::string userId;
    int64_t user = 0;

    Trip()
    {
        std::string error;
        if (!store.open(database.path().toStdString(), &error))
            qFatal("cannot open the trip's database: %s", error.c_str());
        const auto created = store.createUser("Phone");
        userId = created->userId, user = created->id;
    }
    void synchronize(const std::vector<ClockSync>& list)
    {
        for (const ClockSync& s : list) {
            service::Synchronization sync;
            sync.code = "c" + std::to_string(s.utcTime), sync.cameraTime = s.cameraTime, sync.utcTime = s.utcTime;
            sync.clockOffset = s.offset(), sync.localTime = s.label;
            store.addSynchronization(user, "Canon EOS 5D", "1234", "", sync);
        }
    }
    json photo(int64_t cameraTime, bool subSeconds)
    {
        json request = { { "userID", userId }, { "model", "Canon EOS 5D" }, { "serialNumber", "1234" },
                         { "dateTimeOriginal", service::formatWallClock(cameraTime) } };
        if (subSeconds)
            request["subSecTimeOriginal"] = QByteArray::number(qlonglong(cameraTime % 1000)).rightJustified(3, '0').toStdString();
        return api.geocodeImage(request.dump()).json;
    }
};

// A true position every second, and the fixes a phone made of it.
struct Track {
    std::vector<service::Fix> truth; // one a second while moving
    std::vector<service::Fix> fixes;
    int64_t first = 0;
    double heading = 0;
    service::Fix at(int64_t time) const
    {
        const auto found = std::upper_bound(truth.begin(), truth.end() - 1, time,
                                            [](int64_t t, const service::Fix& f) { return t < f.time; });
        const size_t k = size_t(found - truth.begin()) - 1;
        const double t = double(time - truth[k].time) / 1000;
        service::Fix p = truth[k];
        p.latitude += (truth[k + 1].latitude - p.latitude) * t, p.longitude += (truth[k + 1].longitude - p.longitude) * t;
        return p;
    }
};

// A leg at `speed` m/s for `seconds`, turning now and then; a fix every
// `interval` s with noise of the accuracy it states (a 68 % radius), and
// without fixes in `gaps` [from, to) seconds into the leg.
void addLeg(Track& track, std::mt19937& random, double speed, int seconds, int interval,
            const std::vector<std::pair<int, int>>& gaps)
{
    std::normal_distribution<double> normal(0, 1);
    std::uniform_real_distribution<double> uniform(0, 1);
    double latitude = track.truth.empty() ? 47.0 : track.truth.back().latitude;
    double longitude = track.truth.empty() ? 8.0 : track.truth.back().longitude;
    int64_t time = track.truth.empty() ? track.first : track.truth.back().time + 3 * 3600000;
    double& heading = track.heading;
    for (int s = 0; s < seconds; ++s, time += 1000) {
        heading += normal(random) * 0.05 + (uniform(random) < 0.01 ? (uniform(random) < 0.5 ? -1.5 : 1.5) : 0);
        latitude += speed * std::cos(heading) / 111195.0;
        longitude += speed * std::sin(heading) / (111195.0 * std::cos(latitude * M_PI / 180));
        track.truth.push_back({ time, latitude, longitude, 0, 0, "Europe/Zurich" });
        const bool inGap = std::any_of(gaps.begin(), gaps.end(), [s](auto g) { return s >= g.first && s < g.second; });
        if (s % interval != 0 || inGap)
            continue;
        const double accuracy = 3 + 12 * uniform(random), sigma = accuracy / 1.51;
        track.fixes.push_back({ time, latitude + sigma * normal(random) / 111195.0,
                                longitude + sigma * normal(random) / (111195.0 * std::cos(latitude * M_PI / 180)), 0,
                                accuracy, "Europe/Zurich" });
    }
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

class TestClockDrift : public QObject {
    Q_OBJECT
private slots:
    // Offsets read off the synchronizations: {days, offset s}, the photo's
    // day, and the offset, its method and the synchronizations used.
    void offsets_data()
    {
        QTest::addColumn<QVector<QPointF>>("given");
        QTest::addColumn<double>("photoDay");
        QTest::addColumn<double>("offset");
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("text");
        const QVector<QPointF> drifting { { 0, 0 }, { 10, 100 } };
        QTest::newRow("one") << QVector<QPointF> { { 0, 42 } } << 3.0 << 42.0 << "one"
                             << "The clock offset comes from the synchronization of day 0.";
        QTest::newRow("halfway") << drifting << 5.0 << 50.0 << "interpolated"
                                 << "The clock offset is interpolated between the synchronizations of day 0 and day 10.";
        QTest::newRow("past the last") << drifting << 25.0 << 250.0 << "extrapolated"
                                       << "The clock offset is extrapolated from the synchronizations of day 0 and "
                                          "day 10 with the camera's drift.";
        QTest::newRow("before the first") << drifting << -4.0 << -40.0 << "extrapolated" << "";
        QTest::newRow("held after 30 days") << drifting << 70.0 << 400.0 << "held"
                                            << "The clock offset is extrapolated from the synchronizations of day 0 "
                                               "and day 10 for 30 days and held since.";
        QTest::newRow("held before") << drifting << -45.0 << -300.0 << "held" << "";
        // Drift is measured over a day at least: the synchronization of an
        // hour before the last one does not tell it.
        QTest::newRow("drift over a day") << QVector<QPointF> { { 0, 0 }, { 9.96, 99.0 }, { 10, 100 } } << 20.0 << 200.0
                                          << "extrapolated" << "";
        QTest::newRow("a day apart: a drift") << QVector<QPointF> { { 0, 0 }, { 1, 10 } } << 2.0 << 20.0 << "extrapolated" << "";
        QTest::newRow("too close for a drift") << QVector<QPointF> { { 0, 0 }, { 0.5, 20 } } << 2.0 << 20.0 << "one" << "";
        // Set by an hour on day 5: each side keeps its own line.
        const QVector<QPointF> set { { 0, 0 }, { 2, 0.5 }, { 5, 3601 }, { 10, 3611 } };
        QTest::newRow("after the setting") << set << 7.5 << 3606.0 << "interpolated" << "";
        QTest::newRow("before the setting") << set << 1.0 << 0.25 << "interpolated" << "";
        QTest::newRow("between") << set << 2.5 << 0.625 << "nearer"
                                 << "The camera's clock was set between the synchronizations of day 2 and day 5; the "
                                    "clock offset comes from the nearer one, of day 2.";
        // Limits: 2 min at once, 1 min a day.
        QTest::newRow("119 s in 3 days: drift") << QVector<QPointF> { { 0, 0 }, { 3, 119 } } << 1.5 << 59.5 << "interpolated" << "";
        QTest::newRow("121 s: set") << QVector<QPointF> { { 0, 0 }, { 3, 121 } } << 1.0 << 0.0 << "nearer" << "";
        QTest::newRow("63 s in a day: set") << QVector<QPointF> { { 0, 0 }, { 1, 63 } } << 0.25 << 0.0 << "nearer" << "";
    }
    void offsets()
    {
        QFETCH(QVector<QPointF>, given);
        QFETCH(double, photoDay);
        std::vector<std::pair<double, double>> list;
        for (const QPointF& p : given)
            list.push_back({ p.x(), p.y() });
        const std::vector<ClockSync> all = syncs(list);
        // The photo's reading at its true moment under the true (piecewise) line.
        const service::ClockEstimate e = service::estimateOffset(all, start + std::llround(photoDay * day), true);
        QFETCH(double, offset);
        QVERIFY2(std::abs(double(e.offsetMs) / 1000 - offset) < 0.5, qPrintable(QString::number(e.offsetMs)));
        QTEST(QString(service::methodName(e.method)), "method");
        QCOMPARE(e.clockChanged, e.method == service::ClockMethod::Nearer);
        QFETCH(QString, text);
        if (!text.isEmpty())
            QCOMPARE(QString::fromStdString(service::clockText(e, all)), text);
    }

    void drift()
    {
        QCOMPARE(service::driftText(service::latestDriftPerWeek(syncs({ { 0, 0 }, { 10, 100 } }))), std::string("drifts 1 min 10 s a week"));
        QCOMPARE(service::driftText(service::latestDriftPerWeek(syncs({ { 0, 10 }, { 14, -4 } }))), std::string("drifts 7 s a week"));
        QCOMPARE(service::driftText(service::latestDriftPerWeek(syncs({ { 0, 0 }, { 7, 0.4 } }))), std::string("drifts less than 1 s a week"));
        // Since the clock was last set, and not from one synchronization.
        QCOMPARE(service::driftText(service::latestDriftPerWeek(syncs({ { 0, 0 }, { 7, 7 }, { 9, 3600 } }))), std::string());
    }

    // A quarter of the way from one read to the second (500 ms) to one read
    // to the millisecond (100 ms): 3/4 of the first and 1/4 of the second,
    // and the half second a photo read to the second adds on top.
    void interpolatedUncertainty()
    {
        const std::vector<ClockSync> list = syncs({ { 0, 0 }, { 4, 0.5 } });
        QCOMPARE(service::estimateOffset(list, start + day, true).uncertaintyMs, int64_t(400));
        QCOMPARE(service::estimateOffset(list, start + day, false).uncertaintyMs, int64_t(640));
    }

    // Ten days between synchronizations with 100 s of drift: a photo in the
    // middle lands where its taker was, walking at 1.5 m/s.
    void driftOnTheTrack()
    {
        Trip trip;
        std::vector<service::Fix> fixes;
        for (int64_t t = 4 * day; t <= 6 * day; t += 5000)
            fixes.push_back({ start + t, 47 + 1.5 * double(t) / 1000 / 111195.0, 8, 0, 5, "Europe/Zurich" });
        trip.store.addFixes(trip.user, fixes);
        trip.synchronize(syncs({ { 0, 0 }, { 10, 100 } }));
        for (const double d : { 4.5, 5.0, 5.5 }) {
            const int64_t truth = start + std::llround(d * day) + 321;
            const json a = trip.photo(truth + std::llround(10.0 * double(truth - start) / day * 1000), true);
            const double metres = (a.value("latitude", 0.0) - 47) * 111195.0 - 1.5 * double(truth - start) / 1000;
            QVERIFY2(std::abs(metres) <= 2, qPrintable(QString::number(metres)));
            QCOMPARE(a["clock"]["method"], json("interpolated"));
            QCOMPARE(a["clock"]["drift"], json("drifts 1 min 10 s a week"));
        }
        const json camera = trip.api.getSyncList(json { { "userID", trip.userId } }.dump()).json["cameras"][0];
        QCOMPARE(camera["drift"], json("drifts 1 min 10 s a week"));
        QCOMPARE(camera["driftMsPerWeek"], json(69992));
    }

    // A fortnight on foot, by bicycle and by car, synchronized at both ends
    // of it: the stated error covers the true one for 90 % of the photos, and
    // is not wildly more.
    void calibration()
    {
        std::mt19937 random(2026);
        Track track;
        track.first = start;
        for (int d = 0; d < 14; ++d)
            for (const auto& [speed, interval] : { std::pair(1.4, 10), std::pair(5.0, 5), std::pair(20.0, 5), std::pair(1.2, 30) })
                addLeg(track, random, speed, 3600, interval, { { 900 + 97 * d, 1140 + 97 * d }, { 1800, 2640 }, { 3000, 3000 + 30 * d } });
        Trip trip;
        trip.store.addFixes(trip.user, track.fixes);
        // The camera gains 70 s a week; read to the second, as most cameras write.
        const auto offset = [](int64_t utc) { return 37000 + (utc - start) / 8640; };
        const int64_t end = track.truth.back().time + 3600000;
        trip.synchronize({ { (start - 3600000 + offset(start - 3600000)) / 1000 * 1000, start - 3600000, "first" },
                           { (end + offset(end)) / 1000 * 1000, end, "last" } });
        std::vector<double> stated, error;
        for (size_t i = 30; i < track.truth.size(); i += 127) {
            const int64_t truth = track.truth[i].time;
            const json a = trip.photo((truth + offset(truth)) / 1000 * 1000, false);
            if (!a.contains("latitude"))
                continue;
            const service::Fix real = track.at(truth);
            error.push_back(service::metresBetween(a["latitude"].get<double>(), a["longitude"].get<double>(), real.latitude,
                                                   real.longitude));
            stated.push_back(a["accuracy"].get<double>());
        }
        size_t covered = 0;
        for (size_t i = 0; i < error.size(); ++i)
            covered += stated[i] >= error[i] ? 1 : 0;
        const double coverage = double(covered) / double(error.size());
        qInfo("%zu photos: stated error covers the true one for %.1f %%; median stated %.1f m, true %.1f m (%.2f times)",
              error.size(), 100 * coverage, median(stated), median(error), median(stated) / median(error));
        QVERIFY(error.size() > 1000);
        QVERIFY(coverage >= 0.9);
        QVERIFY(median(stated) <= 4 * median(error));
    }
};

QTEST_GUILESS_MAIN(TestClockDrift)
#include "tst_clockdrift.moc"
