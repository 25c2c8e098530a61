#include "controller/exifinfo.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <thread>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <exiv2/exiv2.hpp>

namespace controller {

// What the writes of a run leave for its end: folders whose new entries are
// still to be flushed (one per file system: one syncfs there flushes them
// all), and photo replacements written in full beside their photos, put in
// place a batch at a time after one flush of the whole batch.
struct StagedWrites {
    struct Replacement {
        QByteArray temporary;
        QByteArray target;
        QString photo;      // as the caller named it
        struct stat before; // the target when its replacement was made
    };
    std::map<dev_t, QByteArray> unflushed;
    std::vector<Replacement> replacements;
    qint64 bytes = 0;                  // of the replacements
    QString photo;                     // whose write is under way
    QHash<QString, QString> unwritten; // photos left as they were, with the cause
    QStringList flushFailures;
    std::deque<int> writing; // descriptors of files whose pages are on their way to the disk
    std::thread remover;     // removes the replaced photos of the last batch

    ~StagedWrites()
    {
        settle(0);
        awaitRemovals();
        // Replacements never put in place leave their photos as they were.
        for (const Replacement& replacement : replacements)
            ::unlink(replacement.temporary.constData());
    }
    void awaitRemovals()
    {
        if (remover.joinable())
            remover.join();
    }

    // Keeps a duplicate of a written file's descriptor whose writeback has
    // been started. Once a few files later it is on the disk, its pages leave
    // the memory: a run's copies do not crowd out what else is cached (nor
    // ask the system for fresh memory for every photo), and the flush at the
    // end finds little left to write.
    void keep(int fd)
    {
        const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (copy < 0)
            return;
        writing.push_back(copy);
        settle(8);
    }
    // Waits for the oldest files until at most left are on their way.
    void settle(size_t left)
    {
        while (writing.size() > left) {
            const int fd = writing.front();
            writing.pop_front();
            ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
            ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
            ::close(fd);
        }
    }
};

namespace {

const char openErrorText[] = "Error opening image file";
const char readErrorText[] = "Error reading EXIF data from the image file";
const char unsupportedCameraText[] = "Unsupported Camera model";
const char writeErrorText[] = "Error writing EXIF data to the image file";

const char cannotHoldCause[] = QT_TRANSLATE_NOOP("controller::ExifInfo", "this file type cannot hold GPS tags");
const char readOnlyFolderCause[] = QT_TRANSLATE_NOOP("controller::ExifInfo", "the folder is read-only");
const char diskFullCause[] = QT_TRANSLATE_NOOP("controller::ExifInfo", "the disk is full");
const char unreadableCause[] = QT_TRANSLATE_NOOP("controller::ExifInfo", "the photo cannot be read");
const char readOnlyPhotoCause[] = QT_TRANSLATE_NOOP("controller::ExifInfo", "the photo is read-only");
const char changedCause[] = QT_TRANSLATE_NOOP("controller::ExifInfo", "the photo changed while it was being written");
const char othersLostCause[] = QT_TRANSLATE_NOOP("controller::ExifInfo", "writing would lose other metadata of the photo");
const char damagedSidecarCause[] = QT_TRANSLATE_NOOP("controller::ExifInfo", "its XMP sidecar is damaged");
const char outOfRangeCause[] = QT_TRANSLATE_NOOP("controller::ExifInfo", "the position is out of range");
const char damagedCause[] = QT_TRANSLATE_NOOP("controller::ExifInfo", "the file is damaged or of a kind the program cannot write");

// Why a step failed: the detail for the debug log and, where it is known,
// the cause in the words shown to the person.
struct Problem {
    Problem() = default;
    Problem(const QString& reason, const char* cause = nullptr, const char* text = writeErrorText)
        : reason(reason)
        , cause(cause ? QCoreApplication::translate("controller::ExifInfo", cause) : QString())
        , text(text)
    {
    }
    bool isEmpty() const { return reason.isEmpty(); }

    QString reason;
    QString cause;
    // The error text the writer reports.
    const char* text = writeErrorText;
};

// The plain-words cause of a failed system call on the side that writes.
const char* writeCause(int code)
{
    switch (code) {
    case EROFS:
    case EACCES:
    case EPERM:
        return readOnlyFolderCause;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return diskFullCause;
    default:
        return nullptr;
    }
}

Problem systemError(const char* what, const char* cause = nullptr)
{
    const int code = errno;
    return Problem(QStringLiteral("%1: %2").arg(QString::fromLatin1(what), QString::fromLocal8Bit(std::strerror(code))),
                   cause ? cause : writeCause(code));
}

// A file descriptor that is closed when it goes out of scope.
class Descriptor {
public:
    explicit Descriptor(int fd)
        : fd(fd)
    {
    }
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    // Closes now, reporting the result (a late write error shows up here).
    bool close()
    {
        const int result = ::close(fd);
        fd = -1;
        return result == 0;
    }

    int fd;
};

// A photo opened for reading: its descriptor, its status at opening and the
// bytes read so far from its start.
struct SourceFile {
    explicit SourceFile(const QByteArray& name)
        // Without blocking: a FIFO under a photo's name must not make us wait.
        : in(::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK))
    {
    }

    // Empty on success, else the reason.
    Problem open()
    {
        if (in.fd < 0)
            return systemError("cannot open the file", unreadableCause);
        if (::fstat(in.fd, &status) != 0)
            return systemError("cannot examine the file", unreadableCause);
        if (!S_ISREG(status.st_mode))
            return Problem(QStringLiteral("not a regular file"), unreadableCause);
        if (status.st_size > std::numeric_limits<long>::max() / 2)
            return Problem(QStringLiteral("the file is too large"), damagedCause);
        size = size_t(status.st_size);
        return Problem();
    }

    // Makes the first `wanted` bytes (at most the whole file) available in
    // data; false when the file cannot be read that far.
    bool ensure(size_t wanted)
    {
        wanted = std::min(wanted, size);
        if (wanted <= data.size())
            return true;
        // Read ahead a little, but never more than the file holds.
        const size_t target = std::min(size, std::max(wanted, data.size() + size_t(256 * 1024)));
        size_t done = data.size();
        data.resize(target);
        while (done < target) {
            const ssize_t count = ::read(in.fd, data.data() + done, target - done);
            if (count < 0 && errno == EINTR)
                continue;
            if (count <= 0) {
                data.resize(done);
                return false;
            }
            done += size_t(count);
        }
        return true;
    }

    // True when the file still has the size and time it had when opened.
    bool unchanged() const
    {
        struct stat now {};
        return ::fstat(in.fd, &now) == 0 && now.st_size == status.st_size
            && now.st_mtim.tv_sec == status.st_mtim.tv_sec && now.st_mtim.tv_nsec == status.st_mtim.tv_nsec;
    }

    Descriptor in;
    struct stat status {};
    size_t size = 0;
    std::vector<Exiv2::byte> data;
};

// Where the image data of a JPEG begins: the offset of its start-of-scan
// marker, found by walking the segments before it. 0 when the file is not a
// plain sequence of segments the metadata library walks the same way (then
// the whole file goes through the library).
size_t jpegScanOffset(SourceFile& file)
{
    if (!file.ensure(4) || file.data.size() < 4 || file.data[0] != 0xFF || file.data[1] != 0xD8)
        return 0;
    size_t at = 2;
    for (;;) {
        if (!file.ensure(at + 4) || file.data.size() < at + 4 || file.data[at] != 0xFF)
            return 0;
        const Exiv2::byte marker = file.data[at + 1];
        if (marker == 0xDA)
            return at;
        // Only segments whose length the library reads too.
        const bool hasLength = (marker >= 0xC0 && marker <= 0xCF) || (marker >= 0xE0 && marker <= 0xEF)
            || marker == 0xDB || marker == 0xDD || marker == 0xFE;
        if (!hasLength)
            return 0;
        const size_t length = size_t(file.data[at + 2]) << 8 | file.data[at + 3];
        if (length < 2)
            return 0;
        at += 2 + length;
    }
}

// Writes all of bytes to fd; empty on success, else the reason.
Problem writeAll(int fd, const Exiv2::byte* bytes, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t count = ::write(fd, bytes + done, size - done);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return systemError("cannot write the temporary file");
        done += size_t(count);
    }
    return Problem();
}

// Copies size bytes of in from offset to the end of out, inside the kernel
// where it can; empty on success, else the reason.
Problem copyRange(int in, size_t offset, int out, size_t size)
{
    loff_t from = loff_t(offset);
    size_t left = size;
    while (left > 0) {
        const ssize_t count = ::copy_file_range(in, &from, out, nullptr, left, 0);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            break; // not for these files: copy through memory below
        if (count == 0)
            return Problem(QStringLiteral("the file became shorter while it was read"), changedCause);
        left -= size_t(count);
    }
    std::vector<Exiv2::byte> buffer(left > 0 ? size_t(1024 * 1024) : 0);
    while (left > 0) {
        const ssize_t count = ::pread(in, buffer.data(), std::min(left, buffer.size()), from);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return systemError("cannot read the file", unreadableCause);
        if (count == 0)
            return Problem(QStringLiteral("the file became shorter while it was read"), changedCause);
        const Problem failure = writeAll(out, buffer.data(), size_t(count));
        if (!failure.isEmpty())
            return failure;
        from += count;
        left -= size_t(count);
    }
    return Problem();
}

// Flushes a folder's entries to disk, so that a name just linked or renamed
// in it survives a crash. Only logged when it fails: the new file is in place.
void syncFolder(const QByteArray& folder)
{
    Descriptor handle(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (handle.fd < 0 || ::fsync(handle.fd) != 0)
        qDebug() << "cannot flush the folder" << folder << std::strerror(errno);
}

void noteUnflushed(StagedWrites* staged, const QByteArray& folder)
{
    struct stat status {};
    if (::stat(folder.constData(), &status) != 0)
        syncFolder(folder); // cannot tell where it lives: flush it now
    else
        staged->unflushed.emplace(status.st_dev, folder);
}

// Flushes every file system noted; the failures, each with its folder.
QStringList syncNoted(StagedWrites& staged)
{
    staged.settle(0);
    QStringList failures;
    for (const auto& entry : staged.unflushed) {
        Descriptor folder(::open(entry.second.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (folder.fd < 0 || ::syncfs(folder.fd) != 0) {
            const int cause = errno; // before anything else can change it
            failures << QFile::decodeName(entry.second) + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(cause));
        }
    }
    return failures;
}

// Gives the file at existing a second, hidden name of pattern's shape
// (".<name>.kestrel-" and six random letters or digits, as mkostemp makes
// them), trying other names while one is taken; flags as for linkat. The
// name, or empty with errno set.
QByteArray linkHidden(const QByteArray& existing, const QByteArray& pattern, int flags, int attempts)
{
    QByteArray stem = pattern;
    stem.chop(6);
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const QByteArray name
            = stem + QByteArray::number(QRandomGenerator::global()->bounded(0x1000000u) | 0x1000000u, 16).right(6);
        if (::linkat(AT_FDCWD, existing.constData(), AT_FDCWD, name.constData(), flags) == 0)
            return name;
        if (errno != EEXIST)
            break;
    }
    return QByteArray();
}

QByteArray folderOf(const QByteArray& target)
{
    const int slash = target.lastIndexOf('/');
    return slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : target.left(slash);
}

QByteArray temporaryPattern(const QByteArray& target)
{
    const QByteArray folder = folderOf(target);
    return folder + (folder.endsWith('/') ? "." : "/.") + target.mid(target.lastIndexOf('/') + 1) + ".kestrel-XXXXXX";
}

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size
        && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec
        && a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Flushes the staged replacements with everything else written, then puts
// each in place, unless its photo changed after the replacement was made. One
// that does not go in place is removed and its photo noted as unwritten.
void commitStaged(StagedWrites& staged)
{
    if (staged.replacements.empty())
        return;
    const QStringList unflushed = syncNoted(staged);
    staged.flushFailures += unflushed;
    std::vector<QByteArray> replaced;
    for (const StagedWrites::Replacement& replacement : staged.replacements) {
        struct stat now {};
        Problem failure;
        if (!unflushed.isEmpty())
            failure = Problem(QStringLiteral("the replacement could not be flushed to disk"));
        else if (::stat(replacement.target.constData(), &now) != 0 || !sameFile(now, replacement.before))
            failure = Problem(QStringLiteral("the photo changed before its replacement went in place"), changedCause);
        // The photo replaced keeps a hidden second name for a moment, so that
        // the rename does not wait for its blocks to be freed: the batch's
        // old photos go on a thread of their own while the run goes on.
        // Without hard links (FAT, say) the rename frees them itself.
        const QByteArray old
            = failure.isEmpty() ? linkHidden(replacement.target, temporaryPattern(replacement.target), 0, 8) : QByteArray();
        if (failure.isEmpty() && ::rename(replacement.temporary.constData(), replacement.target.constData()) != 0)
            failure = systemError("cannot put the new file in place");
        if (!old.isEmpty() && failure.isEmpty())
            replaced.push_back(old);
        else if (!old.isEmpty())
            ::unlink(old.constData());
        if (failure.isEmpty())
            continue;
        ::unlink(replacement.temporary.constData());
        qDebug() << "EXIF write of" << replacement.photo << "failed:" << failure.reason;
        staged.unwritten.insert(replacement.photo, failure.cause);
    }
    staged.replacements.clear();
    staged.bytes = 0;
    staged.awaitRemovals();
    if (!replaced.empty())
        staged.remover = std::thread([replaced] {
            for (const QByteArray& name : replaced)
                ::unlink(name.constData());
        });
}

// Puts new content at target so that target is either what it was or the
// complete new content. The content goes into a file without a name in the
// same folder, which is then linked in under target's name when target does
// not exist yet, or under a temporary name that one rename puts over target
// (at once when the caller knows target exists: replacing).
// Where the file system has no unnamed files, a named temporary file is used.
// fill writes the content to the descriptor it is given and may read it back
// through the path it is given (empty on success, else the reason). The new
// file gets permission bits mode and, where the system allows it, the given
// owner and group; it is flushed to disk before it takes target's name, and
// the folder after. Empty on success, else the reason.
// With staged, a file that takes a name nobody had is not flushed at once
// and no folder is: they are noted there and flushed at the end of the run,
// at one go (nothing that existed is at stake until then). A file that
// replaces another is flushed before it takes the name: at once, or with
// stage, together with its batch (staged then holds it under its temporary
// name, and the target is left as it is for now).
Problem replaceFile(const QByteArray& target, bool replacing,
                    const std::function<Problem(int, const QByteArray&)>& fill, mode_t mode, uid_t owner, gid_t group,
                    StagedWrites* staged, bool stage)
{
    const QByteArray folder = folderOf(target);
    const QByteArray pattern = temporaryPattern(target);
    QByteArray temporary;

    // When target exists, a named temporary file costs one name less.
    Descriptor out(replacing ? -1 : ::open(folder.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(out.fd);
    if (out.fd >= 0 && ::access(self.constData(), F_OK) != 0)
        out.close(); // no way to name it without /proc
    const bool unnamed = out.fd >= 0;
    if (!unnamed) {
        temporary = pattern;
        out.fd = ::mkostemp(temporary.data(), O_CLOEXEC);
        if (out.fd < 0)
            return systemError("cannot create a temporary file beside the photo");
    }
    Problem failure = fill(out.fd, unnamed ? self : temporary);
    if (failure.isEmpty() && ::fchown(out.fd, owner, group) != 0) {
        // Only the super-user may give a file away; an ordinary user's
        // replacement is simply theirs, as the original was.
    }
    if (failure.isEmpty() && ::fchmod(out.fd, mode & 07777) != 0)
        failure = systemError("cannot set the permissions of the temporary file");
    const auto flush = [&out] {
        return ::fsync(out.fd) == 0 ? Problem() : systemError("cannot flush the temporary file to disk");
    };
    const bool deferred = staged && unnamed;
    const bool staging = staged && stage && !unnamed;
    if (failure.isEmpty() && !deferred && !staging)
        failure = flush();
    // The disk starts on a deferred file at once, while the run goes on, so
    // the flush at its end has little left to wait for.
    struct stat written {};
    if (failure.isEmpty() && (deferred || staging)) {
        ::sync_file_range(out.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
        ::fstat(out.fd, &written);
        staged->keep(out.fd);
    }
    if (failure.isEmpty() && unnamed) {
        if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, target.constData(), AT_SYMLINK_FOLLOW) == 0) {
            if (out.close()) {
                if (deferred)
                    noteUnflushed(staged, folder);
                else
                    syncFolder(folder);
                return Problem();
            }
            failure = systemError("cannot finish the new file");
            ::unlink(target.constData());
            return failure;
        }
        if (errno != EEXIST)
            failure = systemError("cannot give the new file its name");
        else if (deferred)
            failure = flush(); // it replaces a file after all
        // Give it a temporary name to rename over the existing file; the
        // name has the same shape as one from mkostemp.
        if (failure.isEmpty()) {
            temporary = linkHidden(self, pattern, AT_SYMLINK_FOLLOW, 102);
            if (temporary.isEmpty())
                failure = systemError("cannot give the new file a temporary name");
        }
    }
    if (!out.close() && failure.isEmpty())
        failure = systemError("cannot finish the temporary file");
    if (failure.isEmpty() && staging) {
        struct stat before {};
        if (::stat(target.constData(), &before) == 0) {
            staged->replacements.push_back({ temporary, target, staged->photo, before });
            staged->bytes += written.st_size;
            noteUnflushed(staged, folder);
            // A batch goes in place once it holds enough photos or bytes.
            if (staged->replacements.size() >= 32 || staged->bytes >= 256 * 1024 * 1024)
                commitStaged(*staged);
            return Problem();
        }
        failure = systemError("cannot examine the file to replace", unreadableCause);
    }
    if (failure.isEmpty() && ::rename(temporary.constData(), target.constData()) != 0)
        failure = systemError("cannot put the new file in place");
    if (!failure.isEmpty() && !temporary.isEmpty())
        ::unlink(temporary.constData());
    // The renamed file is complete on disk, so the folder shows either the
    // old file or the new one whenever its entry is flushed.
    if (failure.isEmpty() && staged)
        noteUnflushed(staged, folder);
    else if (failure.isEmpty())
        syncFolder(folder);
    return failure;
}

// |value| * scale truncated toward zero, when it fits an EXIF rational.
bool scaledMagnitude(double value, double scale, uint32_t* scaled)
{
    const double magnitude = std::trunc(std::fabs(value) * scale);
    if (!std::isfinite(magnitude) || magnitude > double(std::numeric_limits<uint32_t>::max()))
        return false;
    *scaled = uint32_t(magnitude);
    return true;
}

bool contains(const std::string& key, const char* pattern)
{
    return key.find(pattern) != std::string::npos;
}

// The answer's values in the forms both writers need.
struct Answer {
    uint32_t latitude = 0; // millionths of a degree, absolute
    uint32_t longitude = 0;
    uint32_t altitude = 0; // centimetres, absolute
    uint32_t accuracy = 0; // millimetres, absolute
    QDateTime utc;         // the moment of the position; invalid when unknown
};

bool answerOf(const model::PhotoGeocode& result, Answer* answer)
{
    if (!scaledMagnitude(result.latitude, 1000000.0, &answer->latitude)
        || !scaledMagnitude(result.longitude, 1000000.0, &answer->longitude)
        || !scaledMagnitude(result.altitude, 100.0, &answer->altitude)
        || !scaledMagnitude(double(result.accuracy), 1000.0, &answer->accuracy)) {
        qDebug() << "position out of range:" << result.latitude << result.longitude << result.altitude
                 << result.accuracy;
        return false;
    }
    // The local time of the answer less its offset from UTC.
    const QDateTime local = QDateTime::fromString(result.photoTime.left(19), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    static const QRegularExpression zone(QStringLiteral("^([+-])(\\d\\d):(\\d\\d)"));
    const QRegularExpressionMatch offset = zone.match(result.timeZone);
    if (local.isValid() && offset.hasMatch()) {
        const int seconds = (offset.captured(2).toInt() * 60 + offset.captured(3).toInt()) * 60;
        answer->utc = QDateTime(local.date(), local.time(), Qt::UTC).addSecs(offset.captured(1) == "-" ? seconds
                                                                                                        : -seconds);
    }
    return true;
}

// The corrected time in the EXIF form: "-" made ":", at most 19 characters.
QString exifTime(const QString& photoTime)
{
    return QString(photoTime).replace(QLatin1Char('-'), QLatin1Char(':')).left(19);
}

// What a written file must show when read back: the value texts of the
// entries written and every key the photo had before.
struct Expectation {
    std::vector<std::pair<std::string, std::string>> written;
    std::set<std::string> kept;

    void keep(const Exiv2::Image& image)
    {
        for (const auto& datum : image.exifData())
            kept.insert(datum.key());
        for (const auto& datum : image.iptcData())
            kept.insert(datum.key());
        for (const auto& datum : image.xmpData())
            kept.insert(datum.key());
    }
};

enum class ReadBack { Good, TagsMissing, OthersLost };

// Reads the metadata of a written file (never its image data) and holds it
// against what was written: from the file at path, or, where the metadata
// lies in the first `head` bytes, from those bytes read through fd.
ReadBack readBack(const QByteArray& path, int fd, size_t head, const Expectation& expected)
{
    try {
        std::vector<Exiv2::byte> bytes(head);
        for (size_t done = 0; done < head;) {
            const ssize_t count = ::pread(fd, bytes.data() + done, head - done, off_t(done));
            if (count < 0 && errno == EINTR)
                continue;
            if (count <= 0)
                return ReadBack::TagsMissing;
            done += size_t(count);
        }
        auto image = head > 0 ? Exiv2::ImageFactory::open(bytes.data(), long(head))
                              : Exiv2::ImageFactory::open(path.toStdString(), false);
        if (!image.get())
            return ReadBack::TagsMissing;
        image->readMetadata();
        // Every entry by key, the first of duplicates as the library finds it.
        std::map<std::string, const Exiv2::Metadatum*> entries;
        for (const auto& datum : image->exifData())
            entries.emplace(datum.key(), &datum);
        for (const auto& datum : image->iptcData())
            entries.emplace(datum.key(), &datum);
        for (const auto& datum : image->xmpData())
            entries.emplace(datum.key(), &datum);
        for (const std::string& key : expected.kept)
            if (entries.count(key) == 0)
                return ReadBack::OthersLost;
        for (const auto& entry : expected.written) {
            const auto found = entries.find(entry.first);
            if (found == entries.end() || found->second->toString() != entry.second)
                return ReadBack::TagsMissing;
        }
        return ReadBack::Good;
    } catch (const std::exception& failure) {
        qDebug() << "cannot read back" << path << failure.what();
        return ReadBack::TagsMissing;
    }
}

Problem problemOf(ReadBack check)
{
    if (check == ReadBack::OthersLost)
        return Problem(QStringLiteral("other metadata did not survive the write"), othersLostCause);
    if (check == ReadBack::TagsMissing)
        return Problem(QStringLiteral("the written tags did not read back"), cannotHoldCause);
    return Problem();
}

// The sidecar a photo manager reads for photo: "<name>.<ext>.xmp" when that
// exists (darktable), else "<name>.xmp" (Adobe).
QString sidecarOf(const QFileInfo& photo)
{
    const QString darktable = photo.absoluteFilePath() + QStringLiteral(".xmp");
    if (QFileInfo::exists(darktable))
        return darktable;
    return photo.absolutePath() + QLatin1Char('/') + photo.completeBaseName() + QStringLiteral(".xmp");
}

// The XMP form of a coordinate: degrees, then minutes with six decimals.
std::string xmpCoordinate(uint32_t millionths, char reference)
{
    const quint64 minutes = quint64(millionths % 1000000u) * 60u; // millionths of a minute
    return QStringLiteral("%1,%2.%3%4")
        .arg(millionths / 1000000u)
        .arg(minutes / 1000000u, 2, 10, QLatin1Char('0'))
        .arg(minutes % 1000000u, 6, 10, QLatin1Char('0'))
        .arg(QLatin1Char(reference))
        .toStdString();
}

} // namespace

ExifInfo::ExifInfo(QObject* parent)
    : QObject(parent)
    , staged(std::make_unique<StagedWrites>())
{
    // HEIC, AVIF and CR3 are read through the library's BMFF reader.
    Exiv2::enableBMFF(true);
}

QString ExifInfo::processingMethod()
{
    return QStringLiteral("GPS");
}

void ExifInfo::setRawSidecars(bool on)
{
    rawSidecars = on;
}

void ExifInfo::setVerifyWrites(bool on)
{
    verifyWrites = on;
}

void ExifInfo::setDeferredFlush(bool on)
{
    deferFlush = on;
}

ExifInfo::~ExifInfo() = default;

bool ExifInfo::flushWritten(QHash<QString, QString>* unwritten)
{
    commitStaged(*staged);
    staged->awaitRemovals();
    const QStringList failures = staged->flushFailures + syncNoted(*staged);
    staged->unflushed.clear();
    staged->flushFailures.clear();
    if (!staged->unwritten.isEmpty())
        error = QString::fromLatin1(writeErrorText);
    if (unwritten)
        *unwritten = staged->unwritten;
    staged->unwritten.clear();
    if (failures.isEmpty())
        return true;
    qDebug() << "cannot flush the files written:" << failures;
    error = tr("The files written could not be flushed to disk: %1").arg(failures.join(QStringLiteral("; ")));
    return false;
}

void ExifInfo::setBeforeWriteHook(std::function<void(Exiv2::ExifData&)> hook)
{
    beforeWrite = std::move(hook);
}

bool ExifInfo::isRaw(const QString& path)
{
    return !model::Model::nonRawSuffixes().contains(QFileInfo(path).suffix().toLower());
}

int ExifInfo::removeStaleTemporaries(const QString& folder)
{
    static const QRegularExpression temporary(QStringLiteral("^\\..+\\.kestrel-[A-Za-z0-9]{6}$"));
    int removed = 0;
    const QFileInfoList files = QDir(folder).entryInfoList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo& file : files) {
        if (!file.isSymLink() && temporary.match(file.fileName()).hasMatch() && QFile::remove(file.filePath())) {
            qDebug() << "removed a temporary file left behind:" << file.filePath();
            ++removed;
        }
    }
    return removed;
}

bool ExifInfo::read(QString path, model::PhotoInfo* info)
{
    const QFileInfo file(path);
    // Only regular files: a FIFO or a device under a photo's name would make
    // the library wait or read forever.
    if (!file.isFile()) {
        error = QString::fromLatin1(readErrorText);
        return false;
    }
    try {
        // An absolute path never looks like a remote address to the library.
        auto image = Exiv2::ImageFactory::open(QFile::encodeName(file.absoluteFilePath()).toStdString(), true);
        if (!image.get()) {
            error = QString::fromLatin1(openErrorText);
            return false;
        }
        image->readMetadata();
        const Exiv2::ExifData& data = image->exifData();
        if (data.empty()) {
            error = QString::fromLatin1(readErrorText);
            return false;
        }

        // Raw files of these makes are refused unless they get a sidecar.
        if (!rawSidecars && isRaw(path)) {
            const auto make = data.findKey(Exiv2::ExifKey("Exif.Image.Make"));
            const QString makeText = make == data.end() ? QString() : QString::fromStdString(make->toString());
            if (model::Model::rawUnsupportedMakes().contains(makeText.toLower())) {
                error = QString::fromLatin1(unsupportedCameraText);
                return false;
            }
        }

        for (const Exiv2::Exifdatum& datum : data) {
            const std::string key = datum.key();
            if (contains(key, "DateTimeOriginal")) {
                info->dateTimeOriginal = QString::fromStdString(datum.toString());
                if (info->dateTimeOriginal.size() > 7) {
                    info->dateTimeOriginal[4] = QLatin1Char('-');
                    info->dateTimeOriginal[7] = QLatin1Char('-');
                }
            }
            if (contains(key, "Exif.Image.Model"))
                info->model = QString::fromStdString(datum.toString());
            if (contains(key, ".BodySerialNumber"))
                info->serialNumber = QString::fromStdString(datum.toString());
            if (contains(key, "InternalSerialNumber"))
                info->internalSerialNumber = QString::fromStdString(datum.toString());
            // An entry without components has no first value to take.
            if (contains(key, "ShutterCount") && datum.count() > 0)
                info->shutterCount = qint32(datum.toLong(0));
            if (contains(key, "FileNumber"))
                info->fileNumber = QString::fromStdString(datum.toString());
            if (contains(key, "GPSProcessingMethod"))
                info->gpsProcessingMethod = QString::fromStdString(datum.toString());
            if (contains(key, "TimeZone"))
                info->timeZone = QString::fromStdString(datum.toString());
        }
        return true;
    } catch (const std::exception& failure) {
        // Exiv2::AnyError and the standard library's errors from inside it.
        qDebug() << "EXIF read of" << path << "failed:" << failure.what();
        error = QString::fromLatin1(readErrorText);
        return false;
    } catch (...) {
        qDebug() << "EXIF read of" << path << "failed";
        error = QString::fromLatin1(readErrorText);
        return false;
    }
}

bool ExifInfo::write(QString path, bool correctDateTime, model::PhotoGeocode* result)
{
    return tagFile(path, path, true, correctDateTime, result);
}

bool ExifInfo::writeCopy(QString source, QString target, bool correctDateTime, model::PhotoGeocode* result)
{
    return tagFile(source, target, false, correctDateTime, result);
}

QString ExifInfo::errorString() const
{
    return error;
}

namespace {

void setTags(Exiv2::ExifData& data, bool correctDateTime, const model::PhotoGeocode& result,
                       const Answer& answer, std::vector<std::string>* keys)
{
    const auto set = [&data, keys](const char* key, const auto& value) {
        data[key] = value;
        keys->push_back(key);
    };
    // 2.3, as the positioning error and the time offsets are tags of EXIF 2.3.
    auto version = Exiv2::Value::create(Exiv2::unsignedByte);
    version->read("2 3 0 0");
    set("Exif.GPSInfo.GPSVersionID", *version);
    set("Exif.GPSInfo.GPSLatitudeRef", std::string(result.latitude < 0 ? "S" : "N"));
    set("Exif.GPSInfo.GPSLongitudeRef", std::string(result.longitude < 0 ? "W" : "E"));
    auto altitudeRef = Exiv2::Value::create(Exiv2::unsignedByte);
    altitudeRef->read(result.altitude < 0 ? "1" : "0");
    set("Exif.GPSInfo.GPSAltitudeRef", *altitudeRef);
    set("Exif.GPSInfo.GPSAltitude", Exiv2::URational(answer.altitude, 100));

    // Decimal degrees in the degrees component; minutes and seconds stay zero.
    const auto degrees = [](uint32_t millionths) {
        Exiv2::URationalValue value;
        value.value_.push_back(Exiv2::URational(millionths, 1000000));
        value.value_.push_back(Exiv2::URational(0, 1));
        value.value_.push_back(Exiv2::URational(0, 1));
        return value;
    };
    set("Exif.GPSInfo.GPSLatitude", degrees(answer.latitude));
    set("Exif.GPSInfo.GPSLongitude", degrees(answer.longitude));
    set("Exif.GPSInfo.GPSProcessingMethod", Exiv2::CommentValue("charset=Ascii " + ExifInfo::processingMethod().toStdString()));
    set("Exif.GPSInfo.GPSHPositioningError", Exiv2::URational(answer.accuracy, 1000));
    if (answer.utc.isValid()) {
        set("Exif.GPSInfo.GPSDateStamp", answer.utc.toString(QStringLiteral("yyyy:MM:dd")).toStdString());
        Exiv2::URationalValue time;
        for (const int part : { answer.utc.time().hour(), answer.utc.time().minute(), answer.utc.time().second() })
            time.value_.push_back(Exiv2::URational(uint32_t(part), 1));
        set("Exif.GPSInfo.GPSTimeStamp", time);
    }

    if (correctDateTime) {
        const std::string time = result.photoTime.toStdString();
        set("Exif.Image.DateTime", time);
        set("Exif.Photo.DateTimeOriginal", time);
        set("Exif.Photo.DateTimeDigitized", time);

        bool number = false;
        int hours = result.timeZone.left(3).toInt(&number, 10);
        if (!number)
            hours = 0;
        qDebug() << "time zone offset" << hours;
        Exiv2::ShortValue offset;
        offset.value_.push_back(int16_t(hours));
        offset.value_.push_back(int16_t(hours));
        // The offset in hours is a tag of the primary image directory that
        // only DNG defines: elsewhere it is replaced, never added.
        if (data.findKey(Exiv2::ExifKey("Exif.Image.DNGVersion")) != data.end()
            || data.findKey(Exiv2::ExifKey("Exif.Image.TimeZoneOffset")) != data.end())
            set("Exif.Image.TimeZoneOffset", offset);

        const std::string zone = result.timeZone.left(6).toStdString();
        set("Exif.Photo.OffsetTime", zone);
        set("Exif.Photo.OffsetTimeOriginal", zone);
        set("Exif.Photo.OffsetTimeDigitized", zone);

        // The offset texts are tags of EXIF 2.31: an older version is raised.
        const auto found = data.findKey(Exiv2::ExifKey("Exif.Photo.ExifVersion"));
        std::string current;
        if (found != data.end() && found->size() == 4) {
            current.resize(4);
            found->copy(reinterpret_cast<Exiv2::byte*>(&current[0]), Exiv2::littleEndian);
        }
        if (current < "0231")
            set("Exif.Photo.ExifVersion",
                Exiv2::DataValue(reinterpret_cast<const Exiv2::byte*>("0231"), 4, Exiv2::invalidByteOrder,
                                 Exiv2::undefined));
    }
}

void setXmp(Exiv2::XmpData& data, bool correctDateTime, const model::PhotoGeocode& result,
                      const Answer& answer, std::vector<std::string>* keys)
{
    const auto set = [&data, keys](const char* key, const std::string& value) {
        data[key] = value;
        keys->push_back(key);
    };
    set("Xmp.exif.GPSVersionID", "2.3.0.0");
    set("Xmp.exif.GPSLatitude", xmpCoordinate(answer.latitude, result.latitude < 0 ? 'S' : 'N'));
    set("Xmp.exif.GPSLongitude", xmpCoordinate(answer.longitude, result.longitude < 0 ? 'W' : 'E'));
    set("Xmp.exif.GPSAltitudeRef", result.altitude < 0 ? "1" : "0");
    set("Xmp.exif.GPSAltitude", std::to_string(answer.altitude) + "/100");
    set("Xmp.exif.GPSHPositioningError", std::to_string(answer.accuracy) + "/1000");
    if (answer.utc.isValid())
        set("Xmp.exif.GPSTimeStamp", answer.utc.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ")).toStdString());

    // Dates in XMP's own form, with the offset where the answer has one.
    const QDateTime time = QDateTime::fromString(result.photoTime, QStringLiteral("yyyy:MM:dd HH:mm:ss"));
    if (correctDateTime && time.isValid()) {
        const QString zone = result.timeZone.left(6);
        const bool hasZone = QRegularExpression(QStringLiteral("^[+-]\\d\\d:\\d\\d$")).match(zone).hasMatch();
        const std::string text
            = (time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) + (hasZone ? zone : QString())).toStdString();
        for (const char* key : { "Xmp.exif.DateTimeOriginal", "Xmp.exif.DateTimeDigitized", "Xmp.xmp.CreateDate",
                                 "Xmp.xmp.ModifyDate", "Xmp.photoshop.DateCreated" })
            set(key, text);
    }
}

// How writes are checked: the read-back, and a hook that may change the
// entries just before the library writes them (so that a writer that drops
// tags can be imitated).
struct Checks {
    bool verify;
    const std::function<void(Exiv2::ExifData&)>& beforeWrite;
    StagedWrites* staged; // null: every write is flushed at once
};

// Writes the tags into the photo itself (or its copy at target). For a JPEG
// only the segments before the image data go through the library; the image
// data is then copied from the source unchanged, inside the kernel where it
// can. In place, target is the file itself (through symbolic links) and keeps
// its permissions and owner.
Problem tagInFile(SourceFile& original, const QString& source, const QString& target, bool inPlace,
                  bool correctDateTime, const model::PhotoGeocode& result, const Answer& answer, const Checks& checks)
{
    // The library sees the segments up to and including the start-of-scan
    // marker; it copies what follows its last segment unchanged, so the
    // rest of the file can be appended to its output as it is.
    size_t head = jpegScanOffset(original);
    if (head > 0)
        head += 2;
    else
        head = original.size;
    if (!original.ensure(head) || original.data.size() < head)
        return Problem(QStringLiteral("the file became shorter while it was read"), changedCause);

    Exiv2::Image::AutoPtr image;
    Expectation expected;
    try {
        image = Exiv2::ImageFactory::open(original.data.data(), long(head));
        if (!image.get())
            return Problem(QStringLiteral("no image"), damagedCause, openErrorText);
        image->readMetadata();
        if (image->exifData().empty())
            return Problem(QStringLiteral("no EXIF data"), nullptr, readErrorText);
        expected.keep(*image);
        std::vector<std::string> keys;
        setTags(image->exifData(), correctDateTime, result, answer, &keys);
        for (const std::string& key : keys)
            expected.written.emplace_back(key, image->exifData()[key].toString());
        if (checks.beforeWrite)
            checks.beforeWrite(image->exifData());
        image->writeMetadata();
    } catch (const Exiv2::AnyError& failure) {
        return Problem(QString::fromLocal8Bit(failure.what()),
                       failure.code() == Exiv2::kerWritingImageFormatUnsupported ? cannotHoldCause : damagedCause);
    }

    QByteArray destination;
    mode_t mode = original.status.st_mode;
    uid_t owner = original.status.st_uid;
    gid_t group = original.status.st_gid;
    if (inPlace) {
        destination = QFile::encodeName(QFileInfo(source).canonicalFilePath());
        struct stat now {};
        if (destination.isEmpty() || ::stat(destination.constData(), &now) != 0)
            return Problem(QStringLiteral("the photo is gone"), unreadableCause);
        // A read-only photo stays untouched, also for the super-user.
        if ((now.st_mode & 0222) == 0 || ::access(destination.constData(), W_OK) != 0)
            return Problem(QStringLiteral("the photo is read-only"), readOnlyPhotoCause);
        mode = now.st_mode;
        owner = now.st_uid;
        group = now.st_gid;
    } else {
        destination = QFile::encodeName(target);
        // A copy belongs to whoever makes it, with the source's permissions.
        owner = ::geteuid();
        group = ::getegid();
    }

    Exiv2::BasicIo& tagged = image->io();
    const long size = tagged.size();
    const Exiv2::byte* bytes = size > 0 ? tagged.mmap(false) : nullptr;
    if (!bytes)
        return Problem(QStringLiteral("the library produced no data"), damagedCause);
    const auto fill = [&](int out, const QByteArray& path) {
        Problem failure = writeAll(out, bytes, size_t(size));
        if (failure.isEmpty() && head < original.size)
            failure = copyRange(original.in.fd, head, out, original.size - head);
        if (failure.isEmpty() && !original.unchanged())
            failure = Problem(QStringLiteral("the file changed while it was read"), changedCause);
        // A JPEG's metadata is all in what the library wrote, before the image data.
        if (failure.isEmpty() && checks.verify)
            failure = problemOf(readBack(path, out, head < original.size ? size_t(size) : 0, expected));
        return failure;
    };
    const Problem unwritten = replaceFile(destination, inPlace, fill, mode, owner, group, checks.staged, true);
    tagged.munmap();
    return unwritten;
}

// Writes the tags into the photo's XMP sidecar, which is made when there is
// none and otherwise updated with its other properties kept. A copy puts the
// photo, unchanged, and the sidecar into target's folder; the originals stay
// as they were. Fills sidecar with the path of the file written.
Problem tagSidecar(SourceFile& original, const QString& source, const QString& target, bool inPlace,
                   bool correctDateTime, const model::PhotoGeocode& result, const Answer& answer, const Checks& checks,
                   QString* sidecar)
{
    const QFileInfo photo(source);
    const QString from = sidecarOf(photo);
    const bool darktable = from == photo.absoluteFilePath() + QStringLiteral(".xmp");
    const QFileInfo copy(target);
    const QString to = inPlace ? from
        : darktable            ? copy.absoluteFilePath() + QStringLiteral(".xmp")
                               : copy.absolutePath() + QLatin1Char('/') + copy.completeBaseName() + QStringLiteral(".xmp");

    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode_t mode = 0666 & ~mask;
    uid_t owner = ::geteuid();
    gid_t group = ::getegid();
    Exiv2::XmpData xmp;
    Expectation expected;
    const QFileInfo existing(from);
    if (existing.exists() || existing.isSymLink()) {
        QFile file(existing.canonicalFilePath());
        const qint64 largest = 16 * 1024 * 1024;
        if (!existing.isFile() || existing.size() > largest || !file.open(QIODevice::ReadOnly))
            return Problem(QStringLiteral("cannot read the sidecar ") + from, damagedSidecarCause);
        if (Exiv2::XmpParser::decode(xmp, file.read(largest).toStdString()) != 0)
            return Problem(QStringLiteral("the sidecar is not valid XMP: ") + from, damagedSidecarCause);
        for (const auto& datum : xmp)
            expected.kept.insert(datum.key());
        struct stat status {};
        if (inPlace && ::stat(QFile::encodeName(file.fileName()).constData(), &status) == 0) {
            mode = status.st_mode;
            owner = status.st_uid;
            group = status.st_gid;
        }
    }
    std::vector<std::string> keys;
    setXmp(xmp, correctDateTime, result, answer, &keys);
    for (const std::string& key : keys)
        expected.written.emplace_back(key, xmp[key].toString());
    std::string packet;
    if (Exiv2::XmpParser::encode(packet, xmp, Exiv2::XmpParser::omitPacketWrapper | Exiv2::XmpParser::useCompactFormat)
        != 0)
        return Problem(QStringLiteral("cannot encode the sidecar"), damagedSidecarCause);
    packet.insert(0, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");

    const QByteArray copyPath = QFile::encodeName(target);
    if (!inPlace) {
        const auto fillCopy = [&original](int out, const QByteArray&) {
            Problem failure = copyRange(original.in.fd, 0, out, original.size);
            if (failure.isEmpty() && !original.unchanged())
                failure = Problem(QStringLiteral("the file changed while it was read"), changedCause);
            return failure;
        };
        const Problem uncopied = replaceFile(copyPath, false, fillCopy, original.status.st_mode, owner, group, checks.staged, false);
        if (!uncopied.isEmpty())
            return uncopied;
    }
    const auto fill = [&](int out, const QByteArray& path) {
        Problem failure = writeAll(out, reinterpret_cast<const Exiv2::byte*>(packet.data()), packet.size());
        if (failure.isEmpty() && checks.verify)
            failure = problemOf(readBack(path, out, 0, expected));
        return failure;
    };
    const QString destination = inPlace && existing.exists() ? existing.canonicalFilePath() : to;
    const Problem unwritten
        = replaceFile(QFile::encodeName(destination), QFileInfo::exists(destination), fill, mode, owner, group,
                      checks.staged, false);
    if (!unwritten.isEmpty()) {
        if (!inPlace)
            ::unlink(copyPath.constData());
        return unwritten;
    }
    *sidecar = to;
    return Problem();
}

} // namespace

// Sidecars for the formats the library cannot be trusted to write: it drops
// every GPS tag of a CRW (and its CRW writer mishandles crafted files), it
// cannot write HEIC, AVIF or CR3 at all; and for every camera raw when the
// person asks for them. A camera raw whose tags do not stick in the file gets
// one too. JPEG, TIFF and the other ordinary formats never do: photo managers
// read their tags from the file itself.
bool ExifInfo::tagFile(const QString& source, const QString& target, bool inPlace, bool correctDateTime,
                       model::PhotoGeocode* result)
{
    result->sidecarPath.clear();
    result->errorCause.clear();
    const auto fail = [this, &source, result](const Problem& problem) {
        qDebug() << "EXIF write of" << source << "failed:" << problem.reason;
        error = QString::fromLatin1(problem.text);
        result->errorCause = problem.cause;
        return false;
    };
    try {
        // A photo reached again, under another name, is tagged from what the
        // earlier write made of it.
        if (!staged->replacements.empty()) {
            const QByteArray file = QFile::encodeName(QFileInfo(source).canonicalFilePath());
            for (const StagedWrites::Replacement& replacement : staged->replacements)
                if (replacement.target == file) {
                    commitStaged(*staged);
                    break;
                }
        }
        staged->photo = source;
        SourceFile original(QFile::encodeName(source));
        const Problem unopened = original.open();
        if (!unopened.isEmpty())
            return fail(unopened);
        Answer answer;
        if (!answerOf(*result, &answer))
            return fail(Problem(QStringLiteral("values out of range"), outOfRangeCause));
        if (correctDateTime)
            result->photoTime = exifTime(result->photoTime);

        original.ensure(4096);
        const int type = Exiv2::ImageFactory::getType(original.data.data(), long(original.data.size()));
        const bool raw = isRaw(source);
        const Checks checks { verifyWrites, beforeWrite, deferFlush ? staged.get() : nullptr };
        if (type != Exiv2::ImageType::crw && type != Exiv2::ImageType::bmff && !(raw && rawSidecars)) {
            const Problem unwritten
                = tagInFile(original, source, target, inPlace, correctDateTime, *result, answer, checks);
            if (unwritten.isEmpty())
                return true;
            if (!raw || unwritten.cause != QLatin1String(cannotHoldCause))
                return fail(unwritten);
            qDebug() << "tags do not stick in" << source << "- writing a sidecar instead";
        }
        const Problem unwritten = tagSidecar(original, source, target, inPlace, correctDateTime, *result, answer,
                                             checks, &result->sidecarPath);
        return unwritten.isEmpty() || fail(unwritten);
    } catch (const std::exception& failure) {
        // Exiv2::AnyError and the standard library's errors from inside it.
        return fail(Problem(QString::fromLocal8Bit(failure.what()), damagedCause));
    } catch (...) {
        return fail(Problem(QStringLiteral("unknown error"), damagedCause));
    }
}

} // namespace controller
