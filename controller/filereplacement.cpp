#include "controller/filereplacement.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace controller {

// What the writes of a run leave for its end: folders whose new entries are
// still to be flushed (one per file system: one syncfs there flushes them
// all), and replacements written in full beside their files, put in place a
// batch at a time after one flush of the whole batch.
struct StagedWrites {
    struct Replacement {
        QByteArray temporary;
        QByteArray target;
        QString file;       // as the caller named it
        struct stat before; // the target when its replacement was made
    };
    std::map<dev_t, QByteArray> unflushed;
    std::vector<Replacement> replacements;
    qint64 bytes = 0;                        // of the replacements
    QString file;                            // whose write is under way
    QHash<QString, model::Failure> unwritten; // files left as they were
    QStringList flushFailures;
    std::deque<int> writing; // descriptors of files whose pages are on their way to the disk
    std::thread remover;     // removes the replaced files of the last batch

    ~StagedWrites()
    {
        settle(0);
        awaitRemovals();
        // Replacements never put in place leave their files as they were.
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

const char readOnlyFolderCause[] = QT_TRANSLATE_NOOP("controller::FileReplacement", "the folder is read-only");
const char diskFullCause[] = QT_TRANSLATE_NOOP("controller::FileReplacement", "the disk is full");
const char unreadableCause[] = QT_TRANSLATE_NOOP("controller::FileReplacement", "the photo cannot be read");
const char readOnlyPhotoCause[] = QT_TRANSLATE_NOOP("controller::FileReplacement", "the photo is read-only");
const char changedCause[]
    = QT_TRANSLATE_NOOP("controller::FileReplacement", "the photo changed while it was being written");

// Fills failure with the reason and the cause (in the words shown to the
// person, where it is known); false.
bool failWith(model::Failure* failure, const QString& reason, const char* cause = nullptr)
{
    model::fail(failure, QString(), reason,
                cause ? QCoreApplication::translate("controller::FileReplacement", cause) : QString());
    return false;
}

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

// A failed system call: what was done, and the system's reason; false.
bool systemFailure(model::Failure* failure, const char* what, const char* cause = nullptr)
{
    const int code = errno;
    return failWith(failure,
                    QStringLiteral("%1: %2").arg(QString::fromLatin1(what), QString::fromLocal8Bit(std::strerror(code))),
                    cause ? cause : writeCause(code));
}

bool becameShorter(model::Failure* failure)
{
    return failWith(failure, QStringLiteral("the file became shorter while it was read"), changedCause);
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
// each in place, unless its file changed after the replacement was made. One
// that does not go in place is removed and its file noted as unwritten.
void commitStaged(StagedWrites& staged)
{
    if (staged.replacements.empty())
        return;
    const QStringList unflushed = syncNoted(staged);
    staged.flushFailures += unflushed;
    std::vector<QByteArray> replaced;
    for (const StagedWrites::Replacement& replacement : staged.replacements) {
        struct stat now {};
        model::Failure failure;
        bool good = true;
        if (!unflushed.isEmpty())
            good = failWith(&failure, QStringLiteral("the replacement could not be flushed to disk"));
        else if (::stat(replacement.target.constData(), &now) != 0 || !sameFile(now, replacement.before))
            good = failWith(&failure, QStringLiteral("the photo changed before its replacement went in place"),
                            changedCause);
        // The file replaced keeps a hidden second name for a moment, so that
        // the rename does not wait for its blocks to be freed: the batch's
        // old files go on a thread of their own while the run goes on.
        // Without hard links (FAT, say) the rename frees them itself.
        const QByteArray old
            = good ? linkHidden(replacement.target, temporaryPattern(replacement.target), 0, 8) : QByteArray();
        if (good && ::rename(replacement.temporary.constData(), replacement.target.constData()) != 0)
            good = systemFailure(&failure, "cannot put the new file in place");
        if (!old.isEmpty() && good)
            replaced.push_back(old);
        else if (!old.isEmpty())
            ::unlink(old.constData());
        if (good)
            continue;
        ::unlink(replacement.temporary.constData());
        staged.unwritten.insert(replacement.file, failure);
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

bool flushFile(int fd, model::Failure* failure)
{
    return ::fsync(fd) == 0 || systemFailure(failure, "cannot flush the temporary file to disk");
}

// A new file being written beside its target: without a name (reached
// through self) or under its hidden temporary name.
struct NewFile {
    Descriptor out { -1 };
    bool unnamed = false;
    QByteArray self;
    QByteArray temporary;
};

// Opens the new file in folder: one without a name where the file system
// has them, unless the target is known to exist (then a named temporary file
// costs one name less), else one under a hidden name of pattern's shape.
bool openNewFile(const QByteArray& folder, const QByteArray& pattern, bool replacing, NewFile* file,
                 model::Failure* failure)
{
    file->out.fd = replacing ? -1 : ::open(folder.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    file->self = "/proc/self/fd/" + QByteArray::number(file->out.fd);
    if (file->out.fd >= 0 && ::access(file->self.constData(), F_OK) != 0)
        file->out.close(); // no way to name it without /proc
    file->unnamed = file->out.fd >= 0;
    if (file->unnamed)
        return true;
    file->temporary = pattern;
    file->out.fd = ::mkostemp(file->temporary.data(), O_CLOEXEC);
    return file->out.fd >= 0 || systemFailure(failure, "cannot create a temporary file beside the photo");
}

// Fills the new file and gives it its attributes; then flushes it to disk,
// or, later, only starts the disk on it (the flush at the end of the run has
// little left to wait for then) and keeps its status in written.
bool fillNewFile(NewFile& file, const FileReplacement::Fill& fill, const FileAttributes& attributes, bool later,
                 StagedWrites* staged, struct stat* written, model::Failure* failure)
{
    if (!fill(file.out.fd, file.unnamed ? file.self : file.temporary, failure))
        return false;
    if (::fchown(file.out.fd, attributes.owner, attributes.group) != 0) {
        // Only the super-user may give a file away; an ordinary user's
        // replacement is simply theirs, as the original was.
    }
    if (::fchmod(file.out.fd, attributes.mode & 07777) != 0)
        return systemFailure(failure, "cannot set the permissions of the temporary file");
    if (!later)
        return flushFile(file.out.fd, failure);
    ::sync_file_range(file.out.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    ::fstat(file.out.fd, written);
    staged->keep(file.out.fd);
    return true;
}

// Links an unnamed new file in under target's name, when nobody has it, and
// finishes it there (named set, deferred: its folder is noted in staged).
// When target exists after all, the file gets a hidden temporary name to
// rename over it instead.
bool nameNewFile(NewFile& file, const QByteArray& target, const QByteArray& pattern, StagedWrites* deferred,
                 bool* named, model::Failure* failure)
{
    if (::linkat(AT_FDCWD, file.self.constData(), AT_FDCWD, target.constData(), AT_SYMLINK_FOLLOW) == 0) {
        *named = true;
        if (!file.out.close()) {
            systemFailure(failure, "cannot finish the new file");
            ::unlink(target.constData());
            return false;
        }
        if (deferred)
            noteUnflushed(deferred, folderOf(target));
        else
            syncFolder(folderOf(target));
        return true;
    }
    if (errno != EEXIST)
        return systemFailure(failure, "cannot give the new file its name");
    if (deferred && !flushFile(file.out.fd, failure))
        return false; // it replaces a file after all
    // The name has the same shape as one from mkostemp.
    file.temporary = linkHidden(file.self, pattern, AT_SYMLINK_FOLLOW, 102);
    return !file.temporary.isEmpty() || systemFailure(failure, "cannot give the new file a temporary name");
}

// Notes the complete new file as the replacement of target, to go in place
// with its batch.
bool stageReplacement(StagedWrites& staged, const QByteArray& temporary, const QByteArray& target, off_t size,
                      model::Failure* failure)
{
    struct stat before {};
    if (::stat(target.constData(), &before) != 0)
        return systemFailure(failure, "cannot examine the file to replace", unreadableCause);
    staged.replacements.push_back({ temporary, target, staged.file, before });
    staged.bytes += size;
    noteUnflushed(&staged, folderOf(target));
    // A batch goes in place once it holds enough files or bytes.
    if (staged.replacements.size() >= 32 || staged.bytes >= 256 * 1024 * 1024)
        commitStaged(staged);
    return true;
}

// Puts new content at target so that target is either what it was or the
// complete new content. The content goes into a file without a name in the
// same folder, which is then linked in under target's name when target does
// not exist yet, or under a temporary name that one rename puts over target
// (at once when the caller knows target exists: replacing). Where the file
// system has no unnamed files, a named temporary file is used. The new file
// is flushed to disk before it takes target's name, and the folder after.
// With staged, a file that takes a name nobody had is not flushed at once
// and no folder is: they are noted there and flushed at the end of the run,
// at one go (nothing that existed is at stake until then). A file that
// replaces another is flushed before it takes the name: at once, or with
// stage, together with its batch (staged then holds it under its temporary
// name, and the target is left as it is for now).
bool replaceFile(const QByteArray& target, bool replacing, const FileReplacement::Fill& fill,
                 const FileAttributes& attributes, StagedWrites* staged, bool stage, model::Failure* failure)
{
    const QByteArray pattern = temporaryPattern(target);
    NewFile file;
    if (!openNewFile(folderOf(target), pattern, replacing, &file, failure))
        return false;
    const bool deferred = staged && file.unnamed;
    const bool staging = staged && stage && !file.unnamed;
    struct stat written {};
    bool good = fillNewFile(file, fill, attributes, deferred || staging, staged, &written, failure);
    if (good && file.unnamed) {
        bool named = false;
        good = nameNewFile(file, target, pattern, deferred ? staged : nullptr, &named, failure);
        if (named)
            return good;
    }
    if (!file.out.close() && good)
        good = systemFailure(failure, "cannot finish the temporary file");
    if (good && staging) {
        if (stageReplacement(*staged, file.temporary, target, written.st_size, failure))
            return true;
        good = false;
    }
    if (good && ::rename(file.temporary.constData(), target.constData()) != 0)
        good = systemFailure(failure, "cannot put the new file in place");
    if (!good && !file.temporary.isEmpty())
        ::unlink(file.temporary.constData());
    // The renamed file is complete on disk, so the folder shows either the
    // old file or the new one whenever its entry is flushed.
    if (good && staged)
        noteUnflushed(staged, folderOf(target));
    else if (good)
        syncFolder(folderOf(target));
    return good;
}

} // namespace

Descriptor::~Descriptor()
{
    if (fd >= 0)
        ::close(fd);
}

bool Descriptor::close()
{
    const int result = ::close(fd);
    fd = -1;
    return result == 0;
}

SourceFile::SourceFile(const QByteArray& name)
    // Without blocking: a FIFO under a photo's name must not make us wait.
    : in(::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK))
{
}

bool SourceFile::open(model::Failure* failure)
{
    if (in.fd < 0)
        return systemFailure(failure, "cannot open the file", unreadableCause);
    if (::fstat(in.fd, &status) != 0)
        return systemFailure(failure, "cannot examine the file", unreadableCause);
    if (!S_ISREG(status.st_mode))
        return failWith(failure, QStringLiteral("not a regular file"), unreadableCause);
    size = size_t(status.st_size);
    return true;
}

bool SourceFile::ensure(size_t wanted)
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

bool SourceFile::require(size_t wanted, model::Failure* failure)
{
    return (ensure(wanted) && data.size() >= wanted) || becameShorter(failure);
}

bool SourceFile::unchanged() const
{
    struct stat now {};
    return ::fstat(in.fd, &now) == 0 && now.st_size == status.st_size && now.st_mtim.tv_sec == status.st_mtim.tv_sec
        && now.st_mtim.tv_nsec == status.st_mtim.tv_nsec;
}

bool SourceFile::checkUnchanged(model::Failure* failure) const
{
    return unchanged() || failWith(failure, QStringLiteral("the file changed while it was read"), changedCause);
}

bool writeAll(int fd, const uint8_t* bytes, size_t size, model::Failure* failure)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t count = ::write(fd, bytes + done, size - done);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return systemFailure(failure, "cannot write the temporary file");
        done += size_t(count);
    }
    return true;
}

bool copyRange(int in, size_t offset, int out, size_t size, model::Failure* failure)
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
            return becameShorter(failure);
        left -= size_t(count);
    }
    std::vector<uint8_t> buffer(left > 0 ? size_t(1024 * 1024) : 0);
    while (left > 0) {
        const ssize_t count = ::pread(in, buffer.data(), std::min(left, buffer.size()), from);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return systemFailure(failure, "cannot read the file", unreadableCause);
        if (count == 0)
            return becameShorter(failure);
        if (!writeAll(out, buffer.data(), size_t(count), failure))
            return false;
        from += count;
        left -= size_t(count);
    }
    return true;
}

FileReplacement::FileReplacement()
    : m_staged(std::make_unique<StagedWrites>())
{
}

FileReplacement::~FileReplacement() = default;

void FileReplacement::setDeferred(bool on)
{
    m_deferred = on;
}

void FileReplacement::begin(const QString& path)
{
    if (!m_staged->replacements.empty()) {
        const QByteArray file = QFile::encodeName(QFileInfo(path).canonicalFilePath());
        for (const StagedWrites::Replacement& replacement : m_staged->replacements)
            if (replacement.target == file) {
                commitStaged(*m_staged);
                break;
            }
    }
    m_staged->file = path;
}

bool FileReplacement::replace(const QByteArray& target, bool replacing, const FileAttributes& attributes,
                              const Fill& fill, bool stage, model::Failure* failure)
{
    return replaceFile(target, replacing, fill, attributes, m_deferred ? m_staged.get() : nullptr, stage, failure);
}

bool FileReplacement::flush(QHash<QString, model::Failure>* unwritten, model::Failure* failure)
{
    StagedWrites& staged = *m_staged;
    commitStaged(staged);
    staged.awaitRemovals();
    const QStringList failures = staged.flushFailures + syncNoted(staged);
    staged.unflushed.clear();
    staged.flushFailures.clear();
    if (unwritten)
        *unwritten = staged.unwritten;
    staged.unwritten.clear();
    if (failures.isEmpty())
        return true;
    qDebug() << "cannot flush the files written:" << failures;
    model::fail(failure, QString(),
                QCoreApplication::translate("controller::FileReplacement",
                                            "The files written could not be flushed to disk: %1")
                    .arg(failures.join(QStringLiteral("; "))));
    return false;
}

bool FileReplacement::inPlaceTarget(const QString& path, QByteArray* target, FileAttributes* attributes,
                                    model::Failure* failure)
{
    *target = QFile::encodeName(QFileInfo(path).canonicalFilePath());
    struct stat now {};
    if (target->isEmpty() || ::stat(target->constData(), &now) != 0)
        return failWith(failure, QStringLiteral("the photo is gone"), unreadableCause);
    if ((now.st_mode & 0222) == 0 || ::access(target->constData(), W_OK) != 0)
        return failWith(failure, QStringLiteral("the photo is read-only"), readOnlyPhotoCause);
    *attributes = { now.st_mode, now.st_uid, now.st_gid };
    return true;
}

int FileReplacement::removeStaleTemporaries(const QString& folder)
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

} // namespace controller
