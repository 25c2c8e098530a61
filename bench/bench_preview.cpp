// How long the detail dialog waits for its picture of a photo: median time of
// reading it on a 24 MP JPEG with an embedded preview, on one without (read
// at a reduced scale) and on a 24 MP TIFF-structured raw without preview,
// which must not be decoded at all. Usage: bench_preview [rounds]; files go
// to $TMPDIR.
#include <QBuffer>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <vector>

#include <exiv2/exiv2.hpp>

#include "view/photopreview.h"

namespace {

// A noisy 24 MP picture: noise is what makes large JPEGs slow to decode.
QImage largePicture()
{
    QImage image(6000, 4000, QImage::Format_RGB32);
    quint32 seed = 12345;
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            seed = seed * 1664525u + 1013904223u;
            const int noise = int(seed >> 27);
            line[x] = qRgb((x / 24 + noise) & 255, (y / 16 + noise) & 255, (x + y) / 40 & 255);
        }
    }
    return image;
}

void embedPreview(const QString& path)
{
    QImage small(160, 120, QImage::Format_RGB32);
    small.fill(Qt::darkCyan);
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    small.save(&buffer, "JPEG");
    auto image = Exiv2::ImageFactory::open(path.toStdString());
    image->readMetadata();
    Exiv2::ExifThumb(image->exifData())
        .setJpegThumbnail(reinterpret_cast<const Exiv2::byte*>(jpeg.constData()), long(jpeg.size()));
    image->writeMetadata();
}

double medianMilliseconds(const QString& path, int rounds, bool* shown)
{
    std::vector<double> times;
    for (int round = 0; round < rounds; ++round) {
        QElapsedTimer clock;
        clock.start();
        // As the detail dialog reads it, the worker thread's part included.
        QImage preview = view::embeddedPreview(path, QSize(96, 64));
        if (preview.isNull())
            preview = view::reducedJpeg(path, QSize(96, 64));
        *shown = !preview.isNull();
        times.push_back(clock.nsecsElapsed() / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

} // namespace

int main(int argc, char* argv[])
{
    QGuiApplication application(argc, argv);
    const int rounds = std::max(1, QCoreApplication::arguments().value(1, QStringLiteral("5")).toInt());
    QTemporaryDir folder;
    const QImage picture = largePicture();
    const QString withPreview = folder.filePath(QStringLiteral("with-preview.jpg"));
    const QString withoutPreview = folder.filePath(QStringLiteral("without-preview.jpg"));
    const QString raw = folder.filePath(QStringLiteral("plain.tif"));
    picture.save(withPreview, "JPEG", 92);
    picture.save(withoutPreview, "JPEG", 92);
    picture.save(raw, "TIFF");
    embedPreview(withPreview);

    QTextStream out(stdout);
    out << "photo preview, 24 MP, median of " << rounds << " rounds\n";
    for (const QString& path : {withPreview, withoutPreview, raw}) {
        bool shown = false;
        const double milliseconds = medianMilliseconds(path, rounds, &shown);
        out << QStringLiteral("  %1  %2 ms  %3\n")
                   .arg(QFileInfo(path).fileName(), -20)
                   .arg(milliseconds, 8, 'f', 1)
                   .arg(shown ? QStringLiteral("picture") : QStringLiteral("none"));
    }
    return 0;
}
