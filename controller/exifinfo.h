#pragma once

#include <QObject>
#include <QString>

#include "model/model.h"
#include "model/photoinfo.h"

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
    // On failure nothing is left at target.
    bool writeCopy(QString source, QString target, bool correctDateTime, model::PhotoGeocode* result);

    QString errorString() const;

private:
    QString error;
};

} // namespace controller
