// The track on the desktop's map: the time to thin a day of 1,000,000 points
// to 20,000, and of a getTrack request over HTTP for a span of 1,000,000
// stored fixes (with its parts: reading the fixes, thinning, the answer).
//
// Usage: bench_track [POINTS] [DATABASE]
// (default 1000000 points; a DATABASE that already holds them is reused).

#include "service/desktopapi.h"
#include "service/httpserver.h"
#include "service/store.h"
#include "service/trackthin.h"

#include <QTemporaryDir>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <random>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

constexpr int64_t start = 1784008800000LL; // 2026-07-14 06:00 UTC
constexpr int64_t stepMs = 86;             // a day of 1,000,000 points

// A walk from Munich of 1.5 m steps that turns a little at every step and
// sharply now and then.
std::vector<service::TrackPoint> walk(size_t count)
{
    std::mt19937 random(7);
    std::normal_distribution<double> turn(0, 0.05);
    std::vector<service::TrackPoint> track;
    track.reserve(count);
    double latitude = 48.1, longitude = 11.5, heading = 0;
    for (size_t i = 0; i < count; ++i) {
        track.push_back({ start + int64_t(i) * stepMs, int32_t(std::lround(latitude * 1e6)),
                          int32_t(std::lround(longitude * 1e6)) });
        heading += turn(random) + (random() % 2000 == 0 ? M_PI / 2 : 0);
        latitude += 1.5 * std::cos(heading) / 111195.0;
        longitude += 1.5 * std::sin(heading) / (111195.0 * std::cos(latitude * M_PI / 180));
    }
    return track;
}

// The median of five runs of `run`, in ms.
double medianMs(const std::function<void()>& run)
{
    std::vector<double> ms;
    for (int i = 0; i < 5; ++i) {
        const auto begin = Clock::now();
        run();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[2];
}

} // namespace

int main(int argc, char** argv)
{
    const size_t count = argc > 1 ? std::max(3L, std::atol(argv[1])) : 1000000;
    QTemporaryDir dir;
    const std::string path = argc > 2 ? std::string(argv[2]) : dir.filePath("bench.db").toStdString();
    const std::vector<service::TrackPoint> track = walk(count);

    service::ThinnedTrack thinned;
    const double thin = medianMs([&] { thinned = service::thinTrack(track, service::maxTrackPositions); });
    std::printf("thinTrack: %zu points to %zu in %.1f ms (median of 5), tolerance %.3f m\n", count, thinned.kept.size(),
                thin, thinned.tolerance);

    service::Store store;
    std::string error;
    if (!store.open(path, &error)) {
        std::fprintf(stderr, "bench_track: %s\n", error.c_str());
        return 1;
    }
    const auto users = store.users().value_or(std::vector<service::User>());
    auto user = users.empty() ? store.createUser("Bench phone") : users.front();
    if (!user || store.fixCount(user->id).value_or(0) != int64_t(count)) {
        if (!users.empty()) {
            std::fprintf(stderr, "bench_track: %s holds other data\n", path.c_str());
            return 1;
        }
        std::vector<service::Fix> fixes;
        for (const service::TrackPoint& p : track)
            fixes.push_back({ p.time, p.latitude / 1e6, p.longitude / 1e6, 500, 5, "Europe/Berlin" });
        if (!store.addFixes(user->id, fixes)) {
            std::fprintf(stderr, "bench_track: cannot store the fixes\n");
            return 1;
        }
    }
    const int64_t end = start + int64_t(count - 1) * stepMs;
    const double read = medianMs([&] { store.trackPoints(user->id, start, end, service::maxTrackFixesRead); });
    std::printf("Store::trackPoints: %zu fixes in %.1f ms (median of 5)\n", count, read);

    service::Api api(store);
    service::DesktopApi desktop(api, "127.0.0.1", 0, false);
    const std::string body = nlohmann::json { { "userID", user->userId }, { "from", service::formatIsoTime(start) },
                                              { "to", service::formatIsoTime(end) } }.dump();
    const double direct = medianMs([&] { desktop.getTrack(body).text(); });
    std::printf("DesktopApi::getTrack and its text: %.1f ms (median of 5)\n", direct);

    service::HttpServer server(api);
    if (!server.bind("127.0.0.1", 0, &error)) {
        std::fprintf(stderr, "bench_track: %s\n", error.c_str());
        return 1;
    }
    server.start();
    httplib::Client client("127.0.0.1", server.port());
    client.set_read_timeout(60, 0);
    size_t bytes = 0;
    int status = 0;
    const double request = medianMs([&] {
        const auto answer = client.Put("/getTrack", body, "application/json");
        status = answer ? answer->status : 0;
        bytes = answer ? answer->body.size() : 0;
    });
    std::printf("getTrack over HTTP: %zu stored fixes in %.1f ms (median of 5), status %d, %zu bytes\n", count, request,
                status, bytes);
    server.stop();
    return status == 200 ? 0 : 1;
}
