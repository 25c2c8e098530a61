#pragma once

#include <QHash>
#include <QObject>
#include <QString>

#include <memory>

#include "controller/placetags.h"
#include "model/failure.h"
#include "model/model.h"
#include "model/photoinfo.h"

namespace controller {

class ExifWriteHook;
class FileReplacement;

// Reads a photo's camera identity and capture time, and writes the geotag
// answer (GPS, place names, and on request corrected date, time and time
// zone) back.
// Its failures are headed "EXIF Error"; their detail is the error text.
class ExifInfo : public QObject {
    Q_OBJECT
public:
    // hook, when given, sees the entries of every write before the library
    // writes them; it must outlive the ExifInfo.
    explicit ExifInfo(QObject* parent = nullptr, ExifWriteHook* hook = nullptr);
    ~ExifInfo() override;

    // Fills info from the photo's EXIF data.
    bool read(QString path, model::PhotoInfo* info, model::Failure* failure = nullptr);
    // Writes the tags into the file at path, replacing it atomically: on
    // failure the file is left byte for byte as it was. Every write is read
    // back (metadata only) before it replaces anything, and accepted only when
    // the written entries hold the written values and no entry the photo had
    // is lost. Formats that cannot hold the tags get an XMP sidecar instead
    // (its path in result->sidecarPath); on failure result->errorCause says
    // why in plain words, as the failure's cause does.
    bool write(QString path, bool correctDateTime, model::PhotoGeotag* result, model::Failure* failure = nullptr);
    // Writes a tagged copy of source to target in one pass (source untouched).
    // On failure nothing new is left at target, and a file that was already
    // there is left as it was; it is replaced, atomically, only on success.
    // (A geotagging run removes an earlier copy before it writes, so there a
    // failed write leaves no copy at all.) With a sidecar, the photo is
    // copied unchanged and the sidecar goes beside it.
    bool writeCopy(QString source, QString target, bool correctDateTime, model::PhotoGeotag* result,
                   model::Failure* failure = nullptr);

    // Camera raw files get an XMP sidecar instead of tags in the file, and
    // the makes the reader otherwise refuses are read.
    void setRawSidecars(bool on);
    // The place names of the answer are written with the position (IPTC and
    // XMP; in a sidecar XMP alone), unless write is off; names the photo has
    // already are kept, unless replace is on.
    void setPlaceNames(bool write, bool replace);
    // The read-back of every write; off only to measure what it costs.
    void setVerifyWrites(bool on);

    // With on, new files (copies, new sidecars) and folder entries are not
    // flushed to disk one by one but all at once by flushWritten(). A photo
    // tagged in place is written in full beside itself and replaced later,
    // together with others: one flush for a batch, then the renames, so that
    // a crash still leaves each photo as it was or complete with its tags.
    // Until then write() has only staged the photo's replacement.
    void setDeferredFlush(bool on);
    // Puts the staged replacements in place and flushes everything written
    // since the last call to disk. A photo whose replacement could not go in
    // place stays as it was: unwritten gets its path with its failure (the
    // cause in plain words). False when the system could not flush, so that
    // none of those writes can be counted on.
    bool flushWritten(QHash<QString, model::Failure>* unwritten = nullptr, model::Failure* failure = nullptr);

    // Removes the temporary files a killed run left in folder: hidden regular
    // files named ".<name>.kestrel-XXXXXX", nothing else. Returns how many.
    static int removeStaleTemporaries(const QString& folder);
    // The GPS processing method written with a position of origin: "GPS",
    // or "MANUAL" for one placed by hand.
    static QString processingMethod(model::PhotoGeotag::Origin origin = model::PhotoGeotag::Origin::Service);
    // True for camera raw files (by suffix).
    static bool isRaw(const QString& path);

private:
    bool tagFile(const QString& source, const QString& target, bool inPlace, bool correctDateTime,
                 model::PhotoGeotag* result, model::Failure* failure);

    bool m_rawSidecars = false;
    bool m_verifyWrites = true;
    placetags::Options m_places;
    std::unique_ptr<FileReplacement> m_files;
    ExifWriteHook* m_hook = nullptr;
};

} // namespace controller
