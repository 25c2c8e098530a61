// Photos per second for reading EXIF, writing tags (with place names) in place
// and making tagged copies, beside cp's rate on the same files in the same run
// (warm cache), and what the place names cost.
// Usage: bench_exif [small photos] [12 MP photos]; files go to $TMPDIR.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>

#include <exiv2/exiv2.hpp>

#include "controller/exifinfo.h"
#include "model/model.h"
#include "model/photoinfo.h"

namespace {

QTextStream out(stdout);

void quietDebug(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(text));
}

// A photo-like picture: gradients with mild noise, so JPEG sizes are realistic.
QImage picture(int width, int height, int seed)
{
    QImage image(width, height, QImage::Format_RGB32);
    QRandomGenerator random { quint32(seed) };
    for (int y = 0; y < height; ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int noise = int(random.bounded(10));
            line[x] = qRgb((x * 255 / width + seed * 13 + noise) & 0xFF, (y * 255 / height + noise) & 0xFF,
                           ((x ^ y) / 8 + noise) & 0xFF);
        }
    }
    return image;
}

bool makePhotos(const QString& folder, int count, int width, int height)
{
    QDir().mkpath(folder);
    const QString first = folder + QStringLiteral("/IMG_0000.jpg");
    if (!picture(width, height, 1).save(first, "JPEG", 90))
        return false;
    try {
        auto image = Exiv2::ImageFactory::open(QFile::encodeName(first).toStdString());
        image->readMetadata();
        Exiv2::ExifData& data = image->exifData();
        data["Exif.Image.Make"] = std::string("FUJIFILM");
        data["Exif.Image.Model"] = std::string("X-T3");
        data["Exif.Photo.BodySerialNumber"] = std::string("SN1234");
        data["Exif.Photo.DateTimeOriginal"] = std::string("2016:05:03 10:20:30");
        data["Exif.Photo.UserComment"] = std::string("charset=Ascii benchmark photo");
        image->writeMetadata();
    } catch (const Exiv2::AnyError& error) {
        std::fprintf(stderr, "cannot tag %s: %s\n", qPrintable(first), error.what());
        return false;
    }
    // The same photo under many names: encoding 12 MP images is slow, and
    // the tagger cannot tell copies apart anyway.
    for (int i = 1; i < count; ++i)
        if (!QFile::copy(first, folder + QStringLiteral("/IMG_%1.jpg").arg(i, 4, 10, QLatin1Char('0'))))
            return false;
    return true;
}

QStringList photosIn(const QString& folder)
{
    QStringList paths;
    for (const QString& name : QDir(folder).entryList({ QStringLiteral("*.jpg") }, QDir::Files, QDir::Name))
        paths.append(folder + QLatin1Char('/') + name);
    return paths;
}

// Processor time of this process so far (user and system, all threads).
double processorSeconds()
{
    timespec now {};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + now.tv_nsec / 1e9;
}

bool runCp(const QStringList& arguments)
{
    QProcess cp;
    cp.start(QStringLiteral("cp"), arguments);
    return cp.waitForFinished(-1) && cp.exitStatus() == QProcess::NormalExit && cp.exitCode() == 0;
}

// Best of a few runs: the machine is shared, the fastest run is the least disturbed.
double bestSeconds(int runs, const std::function<void()>& prepare, const std::function<bool()>& body)
{
    double best = 1e30;
    for (int run = 0; run < runs; ++run) {
        prepare();
        QElapsedTimer timer;
        timer.start();
        if (!body()) {
            std::fprintf(stderr, "run failed\n");
            return -1;
        }
        best = std::min(best, timer.nsecsElapsed() / 1e9);
    }
    return best;
}

void measure(const QString& title, const QString& base, int count, int width, int height)
{
    const QString source = base + QStringLiteral("/source");
    const QString target = base + QStringLiteral("/target");
    if (!makePhotos(source, count, width, height)) {
        out << title << ": cannot make photos\n";
        return;
    }
    const QStringList photos = photosIn(source);
    const qint64 size = QFileInfo(photos.first()).size();
    const auto clearTarget = [&]() {
        QDir(target).removeRecursively();
        QDir().mkpath(target);
    };
    const auto copyToTarget = [&]() {
        QDir(target).removeRecursively();
        runCp({ QStringLiteral("-r"), source, target });
    };
    const int runs = 3;
    controller::ExifInfo exif(nullptr);
    model::PhotoGeotag answer;
    answer.latitude = 48.8583701;
    answer.longitude = 2.2944813;
    answer.altitude = 35.5;
    answer.accuracy = 12;
    answer.timeZone = QStringLiteral("+02:00");
    answer.place = { QStringLiteral("Paris"), QStringLiteral("Gros-Caillou"), QStringLiteral("Île-de-France"),
                     QStringLiteral("France"), QStringLiteral("FR"), 320 };

    // Warm the cache.
    copyToTarget();

    const double cp = bestSeconds(runs, [&]() { QDir(target).removeRecursively(); },
                                  [&]() { return runCp({ QStringLiteral("-r"), source, target }); });
    const double read = bestSeconds(runs, []() {}, [&]() {
        for (const QString& path : photos) {
            model::PhotoInfo info;
            info.clear();
            if (!exif.read(path, &info))
                return false;
        }
        return true;
    });
    const QStringList copies = [&]() {
        QStringList list;
        for (const QString& path : photos)
            list.append(target + QLatin1Char('/') + QFileInfo(path).fileName());
        return list;
    }();
    // Each write is read back before it replaces anything; the same runs
    // without that check show what it costs.
    const auto writeInPlace = [&](bool verify) {
        exif.setVerifyWrites(verify);
        return bestSeconds(1, copyToTarget, [&]() {
            for (const QString& path : copies) {
                model::PhotoGeotag result = answer;
                result.photoTime = QStringLiteral("2016-05-03 10:20:30");
                if (!exif.write(path, true, &result))
                    return false;
            }
            return exif.flushWritten();
        });
    };
    const auto writeCopies = [&](bool verify) {
        exif.setVerifyWrites(verify);
        return bestSeconds(1, clearTarget, [&]() {
            for (int i = 0; i < photos.size(); ++i) {
                model::PhotoGeotag result = answer;
                result.photoTime = QStringLiteral("2016-05-03 10:20:30");
                if (!exif.writeCopy(photos.at(i), copies.at(i), true, &result))
                    return false;
            }
            return exif.flushWritten();
        });
    };
    // Runs with and without alternate, so that a busy moment of the shared
    // machine does not fall on one side only; the best of each counts.
    // The processor time of the runs too: unlike the elapsed time it is
    // hardly disturbed by other programs, though it leaves out waiting for
    // the disk.
    double inPlace = 1e30, inPlaceUnchecked = 1e30, tagged = 1e30, taggedUnchecked = 1e30;
    double cpu[6] = { 1e30, 1e30, 1e30, 1e30, 1e30, 1e30 };
    const auto timed = [&cpu](int slot, double& best, const std::function<double()>& body) {
        const double start = processorSeconds();
        const double seconds = body();
        cpu[slot] = std::min(cpu[slot], processorSeconds() - start);
        best = std::min(best, seconds);
    };
    // Which side runs first swaps from round to round, so that neither
    // always inherits the disk's backlog of the other.
    for (int run = 0; run < runs * 2; ++run) {
        const bool verify = run % 2 == 1;
        timed(verify ? 1 : 0, verify ? inPlace : inPlaceUnchecked, [&] { return writeInPlace(verify); });
        timed(verify ? 0 : 1, verify ? inPlaceUnchecked : inPlace, [&] { return writeInPlace(!verify); });
        timed(verify ? 3 : 2, verify ? tagged : taggedUnchecked, [&] { return writeCopies(verify); });
        timed(verify ? 2 : 3, verify ? taggedUnchecked : tagged, [&] { return writeCopies(!verify); });
    }
    // A geotagging run flushes new files and folder entries at one go at its
    // end, and replaces photos a batch at a time after one flush of the
    // batch; the runs above flush every file on its own.
    double inPlaceAtEnd = 1e30, taggedAtEnd = 1e30;
    exif.setDeferredFlush(true);
    for (int run = 0; run < runs; ++run) {
        inPlaceAtEnd = std::min(inPlaceAtEnd, writeInPlace(true));
        taggedAtEnd = std::min(taggedAtEnd, writeCopies(true));
    }
    exif.setDeferredFlush(false);
    // Copies with and without the place names, in turns: what the IPTC and
    // XMP entries of the place cost.
    double named = 1e30, unnamed = 1e30;
    for (int run = 0; run < runs; ++run) {
        timed(4, named, [&] { return writeCopies(true); });
        exif.setPlaceNames(false, false);
        timed(5, unnamed, [&] { return writeCopies(true); });
        exif.setPlaceNames(true, false);
    }
    QDir(target).removeRecursively();
    QDir(source).removeRecursively();

    const auto line = [&](const char* what, double seconds) {
        out << QStringLiteral("  %1 %2 photos/s  %3 s  %4x cp\n")
                   .arg(QString::fromLatin1(what), -36)
                   .arg(count / seconds, 9, 'f', 1)
                   .arg(seconds, 7, 'f', 3)
                   .arg(seconds / cp, 5, 'f', 2);
    };
    out << QStringLiteral("%1: %2 photos of %3x%4, %5 KB each\n")
               .arg(title)
               .arg(count)
               .arg(width)
               .arg(height)
               .arg(size / 1024);
    line("cp -r", cp);
    line("read", read);
    line("write in place", inPlace);
    line("  without read-back", inPlaceUnchecked);
    line("tagged copy", tagged);
    line("  without read-back", taggedUnchecked);
    line("write in place, one flush at the end", inPlaceAtEnd);
    line("tagged copy, one flush at the end", taggedAtEnd);
    line("tagged copy without place names", unnamed);
    out << QStringLiteral("  place names cost %1 % for copies (processor time: %2 %)\n")
               .arg((named / unnamed - 1) * 100, 0, 'f', 1)
               .arg((cpu[4] / cpu[5] - 1) * 100, 0, 'f', 1);
    out << QStringLiteral("  read-back costs %1 % in place, %2 % for copies"
                          " (processor time: %3 %, %4 %)\n")
               .arg((inPlace / inPlaceUnchecked - 1) * 100, 0, 'f', 1)
               .arg((tagged / taggedUnchecked - 1) * 100, 0, 'f', 1)
               .arg((cpu[1] / cpu[0] - 1) * 100, 0, 'f', 1)
               .arg((cpu[3] / cpu[2] - 1) * 100, 0, 'f', 1);
    out.flush();
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    qInstallMessageHandler(quietDebug);
    const int small = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 1000;
    const int large = argc > 2 ? QString::fromLocal8Bit(argv[2]).toInt() : 100;
    QTemporaryDir base;
    if (!base.isValid()) {
        out << "cannot create a temporary folder\n";
        return 1;
    }
    out << "EXIF benchmark in " << base.path() << " (best of 3 runs each)\n";
    if (small > 0)
        measure(QStringLiteral("small"), base.path(), small, 640, 480);
    if (large > 0)
        measure(QStringLiteral("12 MP"), base.path(), large, 4000, 3000);
    return 0;
}
