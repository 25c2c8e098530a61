#pragma once

#include <QCoreApplication>
#include <QString>

#include <memory>

#include "model/failure.h"
#include "model/model.h"

namespace controller {

class ExifInfo;
struct PlacementUndo;

// Places a photo of the results where the person puts it on the map (or on
// the track at the photo's corrected moment), writing the position as a
// geotagging run writes one: into the photo itself when the settings rewrite
// the originals, else into its copy in the output folder, and camera raw
// files into XMP sidecars as the settings ask. The last placement can be
// taken back: before it writes, every file it may touch is kept in a private
// temporary folder (under a second name where it can, else as a copy, never
// in memory), and Undo puts each back byte for byte. The kept files go with
// the next placement or with the Placement.
//
// Failures are headed "EXIF Error" like those of a run; their cause says in
// plain words why nothing was written.
class Placement {
    Q_DECLARE_TR_FUNCTIONS(controller::Placement)
public:
    Placement();
    ~Placement();
    Placement(const Placement&) = delete;
    Placement& operator=(const Placement&) = delete;

    // Where the copy of the photo at path goes when the originals are kept:
    // photos of subfolders of the input folder go to the same subfolders of
    // the output folder, any other straight into it.
    static QString copyPath(const model::Model& settings, const QString& path);

    // Writes the position (degrees) into the photo of record, or into its
    // copy, made from the original afresh (with the corrected time again when
    // settings.modifyTimeDate and record has its time and zone). On success
    // record has the position and origin and counts as written, with no
    // error; the previous Undo is replaced by this one. On failure every file
    // is left as it was, and record, and the previous Undo too.
    bool place(model::PhotoGeotag* record, double latitude, double longitude, model::PhotoGeotag::Origin origin,
               const model::Model& settings, model::Failure* failure = nullptr);

    bool canUndo() const;
    // Puts every file the last placement touched back as it was before, byte
    // for byte with its permissions (a file it made is removed), and record
    // (the same photo's) back as it was. False when there is nothing to take
    // back or a file cannot be put back; then the Undo is kept.
    bool undo(model::PhotoGeotag* record, model::Failure* failure = nullptr);

    // The position of track (time ascending) at timeMs: on one of its
    // positions, or on the straight line between the two around it. False
    // for a time outside the track or an empty track.
    static bool snap(const model::Track& track, qint64 timeMs, double* latitude, double* longitude);

private:
    std::unique_ptr<ExifInfo> m_exif;
    std::unique_ptr<PlacementUndo> m_undo;
};

} // namespace controller
