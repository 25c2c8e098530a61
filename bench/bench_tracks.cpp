// The import of a large GPX track: points per second and the peak memory of
// the process. (bench_zones measures the time zone lookups.)
//
// Usage: bench_tracks [POINTS] (default: 1000000 points)

#include "service/store.h"
#include "service/trackimport.h"

#include <QTemporaryDir>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

long peakKb()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

int main(int argc, char** argv)
{
    const long points = argc > 1 ? std::atol(argv[1]) : 1000000;

    QTemporaryDir dir;
    const std::string gpx = dir.filePath("big.gpx").toStdString();
    std::FILE* file = std::fopen(gpx.c_str(), "w");
    if (!file)
        return 1;
    std::fputs("<?xml version=\"1.0\"?>\n<gpx version=\"1.1\" creator=\"bench\" "
               "xmlns=\"http://www.topografix.com/GPX/1/1\"><trk><trkseg>\n", file);
    const int64_t start = 1777792320000LL; // 2026-05-03 07:12 UTC
    for (long i = 0; i < points; ++i)
        std::fprintf(file, "<trkpt lat=\"%.6f\" lon=\"%.6f\"><ele>%.1f</ele><time>%s</time></trkpt>\n",
                     45.8 + (i % 100000) * 1e-6, 15.9 + (i / 100000) * 1e-3, 120.0 + i % 50,
                     service::formatIsoTime(start + i * 1000LL).c_str());
    std::fputs("</trkseg></trk></gpx>\n", file);
    const long bytes = std::ftell(file);
    std::fclose(file);
    const long before = peakKb();
    std::printf("GPX file: %ld points, %.1f MB; peak memory before importing %.1f MB\n", points, bytes / 1e6,
                before / 1024.0);

    auto begin = Clock::now();
    service::TrackReading read;
    const int64_t now = start + points * 1000LL; // the clock at the last point
    service::readTrack(gpx, "", now, [](const service::Fix&) { return true; }, {}, read);
    const double readSeconds = seconds(Clock::now() - begin);
    std::printf("read only: %lld points in %.2f s, %.0f points per second\n", static_cast<long long>(read.points),
                readSeconds, read.points / readSeconds);

    service::Store store;
    std::string error;
    if (!store.open(dir.filePath("bench.db").toStdString(), &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const auto user = store.createUser("bench");
    int lastTenth = -1;
    begin = Clock::now();
    const service::TrackImport result = service::importTrackFile(store, user->id, gpx, "", now, [&](int64_t done, int64_t total) {
        const int tenth = static_cast<int>(done * 10 / total);
        if (tenth != lastTenth)
            std::printf("  progress %d%%\n", 10 * (lastTenth = tenth));
    });
    const double importSeconds = seconds(Clock::now() - begin);
    std::printf("import into the database: %lld positions in %.2f s, %.0f points per second\n",
                static_cast<long long>(result.imported), importSeconds, result.imported / importSeconds);
    std::printf("peak memory of the process: %.1f MB\n", peakKb() / 1024.0);
    std::printf("%s\n", service::importSummary(result).c_str());
    return result.imported == points ? 0 : 1;
}
