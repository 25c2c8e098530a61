#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <map>

#include <sys/types.h>

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
    // failure the file is left byte for byte as it was. Every write is read
    // back (metadata only) before it replaces anything, and accepted only when
    // the written entries hold the written values and no entry the photo had
    // is lost. Formats that cannot hold the tags get an XMP sidecar instead
    // (its path in result->sidecarPath); on failure result->errorCause says
    // why in plain words.
    bool write(QString path, bool correctDateTime, model::PhotoGeocode* result);
    // Writes a tagged copy of source to target in one pass (source untouched).
    // On failure nothing new is left at target: a file that was already there
    // stays as it was; it is replaced, atomically, only on success. With a
    // sidecar, the photo is copied unchanged and the sidecar goes beside it.
    bool writeCopy(QString source, QString target, bool correctDateTime, model::PhotoGeocode* result);

    QString errorString() const;

    // Camera raw files get an XMP sidecar instead of tags in the file, and
    // the makes the reader otherwise refuses are read.
    void setRawSidecars(bool on);
    // The read-back of every write; off only to measure what it costs.
    void setVerifyWrites(bool on);
    // Called with the entries just before the library writes them: lets a
    // test imitate a writer that drops tags.
    void setBeforeWriteHook(std::function<void(Exiv2::ExifData&)> hook);

    // With on, new files (copies, new sidecars) and folder entries are not
    // flushed to disk one by one but all at once by flushWritten(); a file
    // that replaces another is still flushed before it takes the name.
    void setDeferredFlush(bool on);
    // Flushes what the writes since the last call left unflushed; false with
    // errorString() when the system reports that it could not.
    bool flushWritten();

    // Removes the temporary files a killed run left in folder: hidden regular
    // files named ".<name>.kestrel-XXXXXX", nothing else. Returns how many.
    static int removeStaleTemporaries(const QString& folder);
    // The GPS processing method written with the position.
    static QString processingMethod();
    // True for camera raw files (by suffix).
    static bool isRaw(const QString& path);

private:
    bool tagFile(const QString& source, const QString& target, bool inPlace, bool correctDateTime,
                 model::PhotoGeocode* result);

    QString error;
    bool rawSidecars = false;
    bool verifyWrites = true;
    bool deferFlush = false;
    std::map<dev_t, QByteArray> unflushed;
    std::function<void(Exiv2::ExifData&)> beforeWrite;
};

} // namespace controller
