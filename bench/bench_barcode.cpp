// Times BarcodeReader::read on camera-sized photos of a phone showing the
// synchronization code and prints which photos of the realistic set are read.
//
//   bench_barcode [--set] [--only <scene>] [--many <n>] [--nocode <n>] [--keep <dir>]
//     --set          also run the realistic set at 12 and 24 MP
//     --only <scene> run only that photo of the realistic set
//     --many <n>     n photos per size with troubles drawn at random: read rate
//     --verbose      with --many: one line per photo
//     --index <i>    with --many or --nocode: only photo i of the set (to profile it)
//     --nocode <n>   n photos per size like those of --many but without a code:
//                    the time to give up
//     --keep <dir>   keep the photos of the random sets in that folder (to
//                    look at them or to profile quirc on its own)
// The random sets print the time per photo as median, 95th percentile and worst.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QStringList>
#include <QTemporaryDir>

#include <cmath>
#include <ctime>
#include <cstdio>
#include <algorithm>
#include <vector>
#include <cstring>

#include "controller/barcodereader.h"

#include "../tests/support/syncscene.h"

namespace {

int passes = 0;

// Peak resident memory of the process in MiB; resetPeak() starts a new peak.
double peakMiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return -1;
}

double currentMiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return -1;
}

void resetPeak()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5");
}

// "median m ms, p95 p ms, worst w ms" of the times.
QString spread(std::vector<double> ms)
{
    if (ms.empty())
        return QString();
    std::sort(ms.begin(), ms.end());
    const double median = ms.size() % 2 ? ms[ms.size() / 2] : (ms[ms.size() / 2 - 1] + ms[ms.size() / 2]) / 2;
    const double p95 = ms[std::min(ms.size() - 1, size_t(std::ceil(0.95 * double(ms.size()))) - 1)];
    return QStringLiteral("median %1 ms, p95 %2 ms, worst %3 ms")
        .arg(median, 0, 'f', 1).arg(p95, 0, 'f', 1).arg(ms.back(), 0, 'f', 1);
}

struct Result {
    bool read = false;
    int passes = 0;
    double ms = 0;
    double peakMiB = 0;
    double cpuMs = 0;
};

// CPU time of the process, every thread of the reader included: on a
// machine shared with other work it moves far less than the wall clock.
double processCpuMs()
{
    timespec now {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

Result timeRead(const QString& path, int repeats)
{
    controller::BarcodeReader reader(nullptr, [](const QSize&) { ++passes; });
    Result best;
    best.ms = 1e12;
    for (int i = 0; i < repeats; ++i) {
        model::PhotoInfo info;
        info.clear();
        passes = 0;
        const double before = currentMiB();
        resetPeak();
        QElapsedTimer timer;
        timer.start();
        const double cpuBefore = processCpuMs();
        const bool read = reader.read(path, &info);
        const double ms = timer.nsecsElapsed() / 1e6;
        const double cpu = processCpuMs() - cpuBefore;
        const double peak = peakMiB() - before;
        if (ms < best.ms)
            best = { read, passes, ms, peak, cpu };
    }
    return best;
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const bool withSet = arguments.contains(QStringLiteral("--set"));
    const int only = arguments.indexOf(QStringLiteral("--only"));
    const QString onlyName = only > 0 ? arguments.value(only + 1) : QString();
    QTemporaryDir dir;
    const QByteArray payload = R"({"syncID":"7f3c9a2e-5b1d-4e8a-9c6f-2d4b8e1a3f70","elapsedTime":123456})";
    const struct {
        const char* name;
        int width;
        int height;
    } sizes[] = { { "12 MP", 4000, 3000 }, { "24 MP", 6000, 4000 } };

    std::printf("%-34s %8s %7s %10s %10s %12s\n", "photo", "read", "passes", "time ms", "cpu ms", "peak MiB");
    for (const auto& size : sizes) {
        if (!onlyName.isEmpty())
            break;
        for (bool withCode : { true, false }) {
            testsupport::SyncScene scene;
            scene.width = size.width;
            scene.height = size.height;
            scene.blur = 1;
            scene.noise = 4;
            scene.showCode = withCode;
            const QString path = dir.filePath(QStringLiteral("photo.jpg"));
            testsupport::syncSceneImage(payload, scene).save(path, "JPEG", scene.jpegQuality);
            const Result r = timeRead(path, withCode ? 5 : 2);
            const QString name = QStringLiteral("%1 %2").arg(QLatin1String(size.name),
                withCode ? QStringLiteral("code, first pass") : QStringLiteral("no code (every pass)"));
            std::printf("%-34s %8s %7d %10.1f %10.1f %12.1f\n", qPrintable(name), r.read ? "yes" : "no", r.passes, r.ms,
                        r.cpuMs, r.peakMiB);
        }
    }
    if (onlyName.isEmpty()) {
        // The parts of a first-pass read: loading and the gray copy.
        testsupport::SyncScene scene;
        scene.width = 6000;
        scene.height = 4000;
        const QString path = dir.filePath(QStringLiteral("photo.jpg"));
        testsupport::syncSceneImage(payload, scene).save(path, "JPEG", scene.jpegQuality);
        QElapsedTimer timer;
        timer.start();
        QImage photo(path);
        const double load = timer.nsecsElapsed() / 1e6;
        timer.restart();
        const QImage gray = controller::BarcodeReader::toGrayscale(photo);
        const double toGray = timer.nsecsElapsed() / 1e6;
        timer.restart();
        model::PhotoInfo info;
        controller::BarcodeReader().decode(gray, &info);
        const double decode = timer.nsecsElapsed() / 1e6;
        std::printf("24 MP parts: JPEG load %.1f ms, gray copy %.1f ms, one pass %.1f ms\n", load, toGray, decode);
    }

    if (withSet || !onlyName.isEmpty()) {
        std::printf("\nrealistic set\n");
        int total = 0;
        int read = 0;
        for (const auto& size : sizes) {
            for (const auto& entry : testsupport::realisticScenes(size.width, size.height)) {
                if (!onlyName.isEmpty() && entry.first != onlyName)
                    continue;
                const QString path = dir.filePath(QStringLiteral("photo.jpg"));
                testsupport::syncSceneImage(payload, entry.second).save(path, "JPEG", entry.second.jpegQuality);
                const Result r = timeRead(path, 1);
                ++total;
                read += r.read;
                const QString name = QStringLiteral("%1 %2").arg(QLatin1String(size.name), entry.first);
                std::printf("%-34s %8s %7d %10.1f %10.1f %12.1f\n", qPrintable(name), r.read ? "yes" : "no", r.passes, r.ms,
                        r.cpuMs, r.peakMiB);
                std::fflush(stdout);
            }
        }
        std::printf("read %d of %d\n", read, total);
    }
    const int many = arguments.indexOf(QStringLiteral("--many"));
    const int noCode = arguments.indexOf(QStringLiteral("--nocode"));
    const bool verbose = arguments.contains(QStringLiteral("--verbose"));
    const int keepAt = arguments.indexOf(QStringLiteral("--keep"));
    const QString keep = keepAt > 0 ? arguments.value(keepAt + 1) : QString();
    const int indexAt = arguments.indexOf(QStringLiteral("--index"));
    const int onlyIndex = indexAt > 0 ? arguments.value(indexAt + 1).toInt() : -1;
    for (const bool withCode : { true, false }) {
        const int count = withCode ? (many > 0 ? arguments.value(many + 1).toInt() : 0)
                                   : (noCode > 0 ? arguments.value(noCode + 1).toInt() : 0);
        if (count <= 0)
            continue;
        std::printf("\nrandom set%s: %d photos per size (tilt, quarter turns, blur, noise, contrast, glare, "
                    "background, code size, JPEG quality drawn at random)\n",
                    withCode ? "" : " without a code", count);
        for (const auto& size : sizes) {
            std::vector<double> times;
            std::vector<double> cpuTimes;
            int read = 0;
            int readEarly = 0;
            double totalMs = 0;
            double worstMs = 0;
            QStringList missed;
            for (int i = 0; i < count; ++i) {
                if (onlyIndex >= 0 && i != onlyIndex)
                    continue;
                testsupport::SceneRandom random(1000 + i);
                auto between = [&](int low, int high) { return low + int(random.next() % quint32(high - low + 1)); };
                testsupport::SyncScene scene;
                scene.width = size.width;
                scene.height = size.height;
                scene.seed = i + 1;
                scene.tilt = between(-100, 100) / 10.0;
                scene.quarterTurns = between(0, 3);
                scene.blur = between(0, 3) * size.width / 4000;
                scene.noise = between(0, 30);
                scene.contrast = between(30, 100) / 100.0;
                scene.glare = between(0, 3) == 0 ? between(40, 80) / 100.0 : 0;
                scene.background = between(40, 220);
                scene.codeFraction = between(12, 35) / 100.0;
                scene.jpegQuality = between(30, 95);
                scene.showCode = withCode;
                const QString path = dir.filePath(QStringLiteral("photo.jpg"));
                testsupport::syncSceneImage(payload, scene).save(path, "JPEG", scene.jpegQuality);
                if (!keep.isEmpty())
                    QFile::copy(path, QStringLiteral("%1/%2 %3 #%4.jpg")
                                          .arg(keep, withCode ? "code" : "no code", size.name).arg(i));
                const Result r = timeRead(path, 1);
                read += r.read;
                readEarly += r.read && r.passes <= 12;
                totalMs += r.ms;
                times.push_back(r.ms);
                cpuTimes.push_back(r.cpuMs);
                worstMs = std::max(worstMs, r.ms);
                if (!r.read && withCode)
                    missed.append(QString::number(i));
                if (verbose)
                    std::printf("  %s #%d tilt %.1f turns %d blur %d noise %d contrast %.2f glare %.2f background %d "
                                "code %.2f quality %d: %s, %d passes, %.1f ms\n",
                                size.name, i, scene.tilt, scene.quarterTurns, scene.blur, scene.noise, scene.contrast,
                                scene.glare, scene.background, scene.codeFraction, scene.jpegQuality,
                                r.read ? "read" : "missed", r.passes, r.ms);
            }
            std::printf("%s: read %d of %d (%d within the twelve passes, %d by the further passes), "
                        "mean %.1f ms, worst %.1f ms%s%s\n",
                        size.name, read, count, readEarly, read - readEarly, totalMs / count, worstMs,
                        missed.isEmpty() ? "" : "; missed: ", qPrintable(missed.join(QLatin1Char(' '))));
            std::printf("%s: time per photo %s\n%s: cpu time per photo %s\n", size.name, qPrintable(spread(times)),
                        size.name, qPrintable(spread(cpuTimes)));
            std::fflush(stdout);
        }
    }
    return 0;
}
