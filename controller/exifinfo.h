#pragma once

#include <QObject>
#include <QString>

#include <QHash>

#include <functional>
#include <memory>

#include "model/model.h"
#include "model/photoinfo.h"

namespace Exiv2 {
class ExifData;
}

namespace controller {

struct StagedWrites;

// Reads a photo's camera identity and capture time, and writes the geotag
// answer (GPS, and on request corrected date, time and time zone) back.
class ExifInfo : public QObject {
    Q_OBJECT
public:
    explicit ExifInfo(QObject* parent = nullptr);
    ~ExifInfo() override;

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
    // flushed to disk one by one but all at once by flushWritten(). A photo
    // tagged in place is written in full beside itself and replaced later,
    // together with others: one flush for a batch, then the renames, so that
    // a crash still leaves each photo as it was or complete with its tags.
    // Until then write() has only staged the photo's replacement.
    void setDeferredFlush(bool on);
    // Puts the staged replacements in place and flushes everything written
    // since the last call to disk. A photo whose replacement could not go in
    // place stays as it was: unwritten gets its path, with the cause in plain
    // words, and errorString() the error text. False with errorString() when
    // the system could not flush, so that none of those writes can be counted on.
    bool flushWritten(QHash<QString, QString>* unwritten = nullptr);

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
    std::unique_ptr<StagedWrites> staged;
    std::function<void(Exiv2::ExifData&)> beforeWrite;
};

} // namespace controller
