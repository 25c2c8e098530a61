#pragma once

#include <QObject>
#include <QString>

#include "model/model.h"
#include "model/photoinfo.h"

namespace Exiv2 {
class ExifData;
}

namespace controller {

// Reads a photo's camera identity and capture time, and writes the geotag
// answer (GPS, and on request corrected date, time and time zone) back.
class ExifInfo : public QObject {
    Q_OBJECT
public:
    explicit ExifInfo(QObject* parent = nullptr);

    // Fills info from the photo's EXIF data; false with errorString() on failure.
    bool read(QString path, model::PhotoInfo* info);
    // Writes the tags into the file at path, replacing it atomically: on
    // failure the file is left byte for byte as it was.
    bool write(QString path, bool correctDateTime, model::PhotoGeocode* result);
    // Writes a tagged copy of source to target in one pass (source untouched).
    // On failure nothing new is left at target: a file that was already there
    // stays as it was; it is replaced, atomically, only on success.
    bool writeCopy(QString source, QString target, bool correctDateTime, model::PhotoGeocode* result);

    QString errorString() const;

    // The text that follows the character code in the GPS processing method.
    static QString vendorAddress();

private:
    bool tagFile(const QString& source, const QString& target, bool inPlace, bool correctDateTime,
                 model::PhotoGeocode* result);
    static bool setTags(Exiv2::ExifData& data, bool correctDateTime, model::PhotoGeocode* result);

    QString error;
};

} // namespace controller
