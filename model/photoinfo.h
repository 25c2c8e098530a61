#pragma once

#include <QString>

namespace model {

// What the readers extract from one photo for the web service: the two values
// of the QR synchronization code and the camera's identity and clock from EXIF.
struct PhotoInfo {
    QString syncId;
    qint32 elapsedTime = 0;
    QString dateTimeOriginal;
    QString model;
    QString serialNumber;
    QString internalSerialNumber;
    qint32 shutterCount = 0;
    QString fileNumber;
    QString gpsProcessingMethod;
    QString timeZone;
    // The digits of the capture time's fraction of a second ("48" = 0.48 s);
    // empty when the photo has none.
    QString subSecTimeOriginal;

    // Every text becomes "" (empty, not null) and both numbers 0.
    void clear();
};

} // namespace model
