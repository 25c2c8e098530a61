#include "controller/placement.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "controller/exifinfo.h"
#include "controller/filereplacement.h"

namespace controller {

// A file a placement may touch, as it was before: kept under `saved` in the
// private folder, or missing.
struct KeptFile {
    QByteArray path;
    bool existed = false;
    QByteArray saved;
    struct stat before {};
};

// What Undo needs: the files as they were, the folders the placement made
// and the record as it was.
struct PlacementUndo {
    QTemporaryDir folder;
    std::vector<KeptFile> files;
    QStringList madeFolders; // deepest first
    model::PhotoGeotag record;
};

namespace {

bool failWith(model::Failure* failure, const QString& title, const QString& detail, const QString& cause = {})
{
    model::fail(failure, title, detail, cause);
    return false;
}

QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// The files a write of the photo at source into target may touch: target
// itself (the file behind it, in place) and both names its XMP sidecar may
// have, as ExifInfo chooses between them.
QStringList touchedFiles(const QString& source, const QString& target, bool inPlace)
{
    const QFileInfo photo(inPlace ? source : target);
    QStringList paths { photo.absoluteFilePath(), photo.absoluteFilePath() + QStringLiteral(".xmp"),
                        photo.absolutePath() + QLatin1Char('/') + photo.completeBaseName() + QStringLiteral(".xmp") };
    if (inPlace) {
        for (QString& path : paths)
            if (QFileInfo::exists(path))
                path = QFileInfo(path).canonicalFilePath();
    }
    paths.removeDuplicates();
    return paths;
}

// Keeps the file at kept->path as it is now, under a name in folder: a
// second name where the file system allows it (every write puts a new file
// in place by renaming, so the old content stays whole under it), else a
// copy. A file that is missing is noted as such; one that is no regular file
// is not kept (its path is cleared). False when it cannot be kept.
bool keep(const QString& folder, int index, KeptFile* kept, model::Failure* failure)
{
    if (::lstat(kept->path.constData(), &kept->before) != 0)
        return errno == ENOENT || errno == ENOTDIR || failWith(failure, QString(), errnoText());
    if (!S_ISREG(kept->before.st_mode)) {
        kept->path.clear();
        return true;
    }
    kept->existed = true;
    kept->saved = QFile::encodeName(folder) + '/' + QByteArray::number(index);
    if (::link(kept->path.constData(), kept->saved.constData()) == 0)
        return true;
    SourceFile in(kept->path);
    Descriptor out(::open(kept->saved.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    return in.open(failure) && (out.fd >= 0 || failWith(failure, QString(), errnoText()))
        && copyRange(in.in.fd, 0, out.fd, in.size, failure) && in.checkUnchanged(failure)
        && (out.close() || failWith(failure, QString(), errnoText()));
}

// True when the file is no longer the one kept (or is there now, having
// been missing).
bool changed(const KeptFile& kept)
{
    struct stat now {};
    if (::lstat(kept.path.constData(), &now) != 0)
        return kept.existed;
    return !kept.existed || now.st_dev != kept.before.st_dev || now.st_ino != kept.before.st_ino
        || now.st_size != kept.before.st_size || now.st_mtim.tv_sec != kept.before.st_mtim.tv_sec
        || now.st_mtim.tv_nsec != kept.before.st_mtim.tv_nsec;
}

// Puts one kept file back: its content and permissions through a durable
// replacement, or, when it was missing, removes what is there now.
bool putBack(const KeptFile& kept, model::Failure* failure)
{
    if (!kept.existed) {
        if (::unlink(kept.path.constData()) != 0 && errno != ENOENT)
            return failWith(failure, QString(), errnoText());
        const QByteArray folder = QFile::encodeName(QFileInfo(QFile::decodeName(kept.path)).absolutePath());
        Descriptor handle(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (handle.fd >= 0)
            ::fsync(handle.fd);
        return true;
    }
    const auto fill = [&kept](int out, const QByteArray&, model::Failure* unfilled) {
        SourceFile saved(kept.saved);
        return saved.open(unfilled) && copyRange(saved.in.fd, 0, out, saved.size, unfilled);
    };
    const FileAttributes attributes { kept.before.st_mode, kept.before.st_uid, kept.before.st_gid };
    return FileReplacement().replace(kept.path, ::access(kept.path.constData(), F_OK) == 0, attributes, fill, false,
                                     failure);
}

// Puts back every kept file that changed, then removes the folders made;
// false (with the first failure) when a file could not be put back.
bool putAllBack(const PlacementUndo& undo, model::Failure* failure)
{
    bool good = true;
    for (const KeptFile& kept : undo.files) {
        model::Failure unwritten;
        if (!changed(kept) || putBack(kept, &unwritten))
            continue;
        qDebug() << "cannot put back" << kept.path << unwritten.detail;
        if (good)
            failWith(failure, QString(), QFile::decodeName(kept.path) + QStringLiteral(": ") + unwritten.detail,
                     unwritten.cause);
        good = false;
    }
    for (const QString& folder : undo.madeFolders)
        QDir().rmdir(folder); // only when empty
    return good;
}

// Makes folder with its missing parents; made gets those it made, deepest
// first.
bool makeFolder(const QString& folder, QStringList* made)
{
    for (QString missing = QDir::cleanPath(folder); !QFileInfo(missing).exists();
         missing = QFileInfo(missing).absolutePath())
        made->append(missing);
    return QDir().mkpath(folder) && QFileInfo(folder).isDir();
}

} // namespace

Placement::Placement()
    : m_exif(std::make_unique<ExifInfo>())
{
}

Placement::~Placement() = default;

QString Placement::copyPath(const model::Model& settings, const QString& path)
{
    const QString relative = path.startsWith(settings.inputFolder) ? path.mid(settings.inputFolder.size())
                                                                   : QFileInfo(path).fileName();
    return settings.outputFolder + relative;
}

bool Placement::place(model::PhotoGeotag* record, double latitude, double longitude,
                      model::PhotoGeotag::Origin origin, const model::Model& settings, model::Failure* failure)
{
    const QString title = tr("EXIF Error");
    const QString source = record->filePath;
    const bool inPlace = settings.rewrite;
    const QString target = inPlace ? source : copyPath(settings, source);
    if (!(std::fabs(latitude) <= 90.0 && std::fabs(longitude) <= 180.0))
        return failWith(failure, title, tr("The position is out of range; nothing was written."),
                        tr("the position is out of range"));
    QString outputFolder = settings.outputFolder;
    if (outputFolder.endsWith(QLatin1Char('/')))
        outputFolder.chop(1);
    if (!inPlace && QFileInfo(outputFolder).isSymLink())
        return failWith(failure, title, tr("The output folder %1 is a link; nothing is written through it.")
                                            .arg(QDir::toNativeSeparators(outputFolder)));
    const QFileInfo targetInfo(target);
    if (!inPlace && targetInfo.exists() && targetInfo.canonicalFilePath() == QFileInfo(source).canonicalFilePath())
        return failWith(failure, title, tr("The copy would replace the photo itself; nothing was written."));

    auto undo = std::make_unique<PlacementUndo>();
    const QString copyFolder = targetInfo.absolutePath();
    if (!inPlace && !makeFolder(copyFolder, &undo->madeFolders)) {
        putAllBack(*undo, nullptr);
        return failWith(failure, title,
                        tr("The folder %1 for the copy cannot be made; nothing was written.")
                            .arg(QDir::toNativeSeparators(copyFolder)),
                        tr("the folder for the copy cannot be made"));
    }
    const QStringList touched = touchedFiles(source, target, inPlace);
    for (int index = 0; index < touched.size(); ++index) {
        KeptFile kept;
        kept.path = QFile::encodeName(touched.at(index));
        model::Failure unkept;
        if (!undo->folder.isValid() || !keep(undo->folder.path(), index, &kept, &unkept)) {
            qDebug() << "cannot keep" << touched.at(index) << "for Undo:" << unkept.detail;
            putAllBack(*undo, nullptr);
            return failWith(failure, title,
                            tr("%1 was not changed: it cannot be kept as it is for Undo.")
                                .arg(QDir::toNativeSeparators(touched.at(index))),
                            tr("the photo cannot be kept for Undo"));
        }
        if (!kept.path.isEmpty())
            undo->files.push_back(kept);
    }

    model::PhotoGeotag placed = *record;
    placed.latitude = latitude;
    placed.longitude = longitude;
    placed.altitude = 0.0;
    placed.accuracy = 0.0;
    placed.accuracyParts = model::AccuracyParts();
    placed.origin = origin;
    placed.demo = false;
    // The service named the place of its own position, not of this one.
    placed.place = model::Place();
    const bool correctDateTime = settings.modifyTimeDate && !record->photoTime.isEmpty()
        && !record->timeZone.isEmpty();
    m_exif->setRawSidecars(settings.rawSidecars);
    m_exif->setPlaceNames(settings.writePlaceNames, settings.replacePlaceNames);
    model::Failure unwritten;
    const bool written = inPlace ? m_exif->write(source, correctDateTime, &placed, &unwritten)
                                 : m_exif->writeCopy(source, target, correctDateTime, &placed, &unwritten);
    if (!written) {
        // A write that failed part way (a copy made, its sidecar not) is undone.
        putAllBack(*undo, nullptr);
        const QString detail = unwritten.cause.isEmpty() ? unwritten.detail
                                                         : unwritten.detail + QStringLiteral(": ") + unwritten.cause;
        return failWith(failure, unwritten.title.isEmpty() ? title : unwritten.title, detail, unwritten.cause);
    }
    placed.success = true;
    placed.timeWritten = correctDateTime || (inPlace && record->timeWritten);
    placed.errorTitle.clear();
    placed.errorText.clear();
    placed.errorCause.clear();
    undo->record = *record;
    *record = placed;
    m_undo = std::move(undo);
    return true;
}

bool Placement::canUndo() const
{
    return m_undo != nullptr;
}

bool Placement::undo(model::PhotoGeotag* record, model::Failure* failure)
{
    const QString title = tr("Cannot undo the placement");
    if (!m_undo || record->filePath != m_undo->record.filePath)
        return failWith(failure, title, tr("There is no placement of this photo to undo."));
    model::Failure unwritten;
    if (!putAllBack(*m_undo, &unwritten))
        return failWith(failure, title,
                        tr("The photo could not be put back as it was: %1").arg(unwritten.detail), unwritten.cause);
    *record = m_undo->record;
    m_undo.reset();
    return true;
}

bool Placement::snap(const model::Track& track, qint64 timeMs, double* latitude, double* longitude)
{
    if (track.isEmpty() || timeMs < track.first().timeMs || timeMs > track.last().timeMs)
        return false;
    // The first position not before the moment, and the one before it.
    const auto after = std::lower_bound(track.begin(), track.end(), timeMs,
                                        [](const model::TrackPoint& point, qint64 time) { return point.timeMs < time; });
    if (after->timeMs == timeMs) {
        *latitude = after->latitude;
        *longitude = after->longitude;
        return true;
    }
    const model::TrackPoint& before = *(after - 1);
    const double share = double(timeMs - before.timeMs) / double(after->timeMs - before.timeMs);
    *latitude = before.latitude + share * (after->latitude - before.latitude);
    // The short way round, also across the 180th meridian.
    double east = after->longitude - before.longitude;
    east += east > 180.0 ? -360.0 : east < -180.0 ? 360.0 : 0.0;
    double longitudeThere = before.longitude + share * east;
    longitudeThere += longitudeThere > 180.0 ? -360.0 : longitudeThere < -180.0 ? 360.0 : 0.0;
    *longitude = longitudeThere;
    return true;
}

} // namespace controller
