#pragma once

#include <QImage>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>

namespace testsupport {

using ExifTags = QList<QPair<QString, QString>>;

// A photo-like picture: smooth gradients with some texture, different per seed.
QImage texturedImage(int width, int height, int seed = 1);

// Saves image at path (format by suffix; quality for JPEG) and sets the EXIF
// entries given as exiv2 key and value text (the tag's standard type).
bool writePhoto(const QString& path, const QImage& image, const ExifTags& tags = {}, int quality = 90);

// Saves image as an uncompressed RGB TIFF at path, whatever its suffix (so a
// TIFF-structured camera raw can be imitated), then sets the EXIF entries.
bool writeTiff(const QString& path, const QImage& image, const ExifTags& tags = {});

// Sets EXIF entries of an existing file.
bool setExif(const QString& path, const ExifTags& tags);

// Every EXIF and IPTC entry of a file as key -> value text; empty when none or
// unreadable.
QMap<QString, QString> readExif(const QString& path);

// The EXIF of a typical camera photo: make, model, serial and capture time.
ExifTags cameraTags(const QString& model = QStringLiteral("X-T3"),
                    const QString& serial = QStringLiteral("SN1234"),
                    const QString& dateTime = QStringLiteral("2026:07:14 12:34:56"),
                    const QString& make = QStringLiteral("FUJIFILM"));

// A QR code of text as an image: one module is `module` pixels, with a quiet
// zone of four modules, black on white.
QImage qrCodeImage(const QByteArray& text, int module = 8);

// A camera-like photo of a phone showing the QR code of text, centred in a
// textured scene of the given size.
QImage syncPhotoImage(const QByteArray& text, int width = 1600, int height = 1200);

} // namespace testsupport
