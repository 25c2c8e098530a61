#include "support/photos.h"

#include <QDataStream>
#include <QFile>
#include <QPainter>
#include <QRandomGenerator>

#include <exiv2/exiv2.hpp>

#include "support/syncscene.h"

namespace testsupport {

QImage texturedImage(int width, int height, int seed)
{
    QImage image(width, height, QImage::Format_RGB32);
    QRandomGenerator random { quint32(seed) };
    const int phase = int(random.bounded(256));
    for (int y = 0; y < height; ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int noise = int(random.bounded(24));
            line[x] = qRgb((x * 255 / qMax(1, width) + phase + noise) & 0xFF,
                           (y * 255 / qMax(1, height) + noise) & 0xFF,
                           ((x + y) / 4 + phase / 2) & 0xFF);
        }
    }
    return image;
}

bool setExif(const QString& path, const ExifTags& tags)
{
    try {
        auto image = Exiv2::ImageFactory::open(path.toStdString());
        image->readMetadata();
        Exiv2::ExifData& data = image->exifData();
        for (const auto& tag : tags)
            data[tag.first.toStdString()] = tag.second.toStdString();
        image->writeMetadata();
        return true;
    } catch (const Exiv2::AnyError&) {
        return false;
    }
}

bool writePhoto(const QString& path, const QImage& image, const ExifTags& tags, int quality)
{
    if (!image.save(path, nullptr, quality))
        return false;
    return tags.isEmpty() || setExif(path, tags);
}

bool writeTiff(const QString& path, const QImage& image, const ExifTags& tags)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    const quint32 width = quint32(rgb.width());
    const quint32 height = quint32(rgb.height());
    const quint16 entries = 10;
    const quint32 samplesAt = 8 + 2 + entries * 12 + 4;
    QByteArray tiff("II*", 4);
    QDataStream out(&tiff, QIODevice::Append);
    out.setByteOrder(QDataStream::LittleEndian);
    // One directory entry: tag, type (3 short, 4 long), count, value or offset.
    const auto entry = [&out](quint16 tag, quint16 type, quint32 count, quint32 value) {
        out << tag << type << count;
        if (type == 3 && count == 1)
            out << quint16(value) << quint16(0);
        else
            out << value;
    };
    out << quint32(8) << entries;
    entry(256, 4, 1, width);
    entry(257, 4, 1, height);
    entry(258, 3, 3, samplesAt);
    entry(259, 3, 1, 1);
    entry(262, 3, 1, 2);
    entry(273, 4, 1, samplesAt + 6); // the pixels follow the bits per sample
    entry(277, 3, 1, 3);
    entry(278, 4, 1, height);
    entry(279, 4, 1, width * height * 3);
    entry(284, 3, 1, 1);
    out << quint32(0) << quint16(8) << quint16(8) << quint16(8);
    for (int y = 0; y < rgb.height(); ++y)
        out.writeRawData(reinterpret_cast<const char*>(rgb.constScanLine(y)), int(width * 3));

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(tiff) != tiff.size())
        return false;
    file.close();
    return tags.isEmpty() || setExif(path, tags);
}

QMap<QString, QString> readExif(const QString& path)
{
    QMap<QString, QString> entries;
    try {
        auto image = Exiv2::ImageFactory::open(path.toStdString());
        image->readMetadata();
        for (const auto& datum : image->exifData())
            entries.insert(QString::fromStdString(datum.key()), QString::fromStdString(datum.toString()));
        for (const auto& datum : image->iptcData())
            entries.insert(QString::fromStdString(datum.key()), QString::fromStdString(datum.toString()));
    } catch (const Exiv2::AnyError&) {
    }
    return entries;
}

ExifTags cameraTags(const QString& model, const QString& serial, const QString& dateTime, const QString& make)
{
    return {
        { "Exif.Image.Make", make },
        { "Exif.Image.Model", model },
        { "Exif.Photo.BodySerialNumber", serial },
        { "Exif.Photo.DateTimeOriginal", dateTime },
    };
}

QImage qrCodeImage(const QByteArray& text, int module)
{
    int side = 0;
    const std::vector<bool> modules = qrModules(text, &side);
    if (modules.empty())
        return QImage();
    QImage image((side + 8) * module, (side + 8) * module, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x)
            if (modules[size_t(y * side + x)])
                painter.fillRect((x + 4) * module, (y + 4) * module, module, module, Qt::black);
    painter.end();
    return image;
}

QImage syncPhotoImage(const QByteArray& text, int width, int height)
{
    SyncScene scene;
    scene.width = width;
    scene.height = height;
    return syncSceneImage(text, scene);
}

} // namespace testsupport
