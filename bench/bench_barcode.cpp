// Times BarcodeReader::read on camera-sized photos of a phone showing the
// synchronization code and prints which photos of the realistic set are read.
//
//   bench_barcode [--set]     --set: also run the realistic set at 12 and 24 MP

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdio>
#include <cstring>

#include "controller/barcodereader.h"

#ifdef KESTREL_HAVE_QRENCODE
#include "../tests/support/syncscene.h"
#endif

namespace {

int passes = 0;

void countPasses(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    static const QRegularExpression size(QStringLiteral("^\\d+x\\d+$"));
    if (type == QtDebugMsg && size.match(message).hasMatch())
        ++passes;
}

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

struct Result {
    bool read = false;
    int passes = 0;
    double ms = 0;
    double peakMiB = 0;
};

Result timeRead(const QString& path, int repeats)
{
    controller::BarcodeReader reader;
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
        const bool read = reader.read(path, &info);
        const double ms = timer.nsecsElapsed() / 1e6;
        const double peak = peakMiB() - before;
        if (ms < best.ms)
            best = { read, passes, ms, peak };
    }
    return best;
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
#ifndef KESTREL_HAVE_QRENCODE
    std::printf("bench_barcode needs libqrencode\n");
    return 1;
#else
    const QStringList arguments = app.arguments();
    const bool withSet = arguments.contains(QStringLiteral("--set"));
    const int only = arguments.indexOf(QStringLiteral("--only"));
    const QString onlyName = only > 0 ? arguments.value(only + 1) : QString();
    qInstallMessageHandler(countPasses);
    QTemporaryDir dir;
    const QByteArray payload = R"({"syncID":"7f3c9a2e-5b1d-4e8a-9c6f-2d4b8e1a3f70","elapsedTime":123456})";
    const struct {
        const char* name;
        int width;
        int height;
    } sizes[] = { { "12 MP", 4000, 3000 }, { "24 MP", 6000, 4000 } };

    std::printf("%-34s %8s %7s %10s %12s\n", "photo", "read", "passes", "time ms", "peak MiB");
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
            std::printf("%-34s %8s %7d %10.1f %12.1f\n", qPrintable(name), r.read ? "yes" : "no", r.passes, r.ms, r.peakMiB);
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
                std::printf("%-34s %8s %7d %10.1f %12.1f\n", qPrintable(name), r.read ? "yes" : "no", r.passes, r.ms, r.peakMiB);
                std::fflush(stdout);
            }
        }
        std::printf("read %d of %d\n", read, total);
    }
    return 0;
#endif
}
