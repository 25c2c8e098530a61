#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>

#include "model/failure.h"

namespace controller {

// A file descriptor that is closed when it goes out of scope.
class Descriptor {
public:
    explicit Descriptor(int fd)
        : fd(fd)
    {
    }
    ~Descriptor();
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    // Closes now, reporting the result (a late write error shows up here).
    bool close();

    int fd;
};

// A file opened for reading: its descriptor, its status at opening and the
// bytes read so far from its start.
struct SourceFile {
    explicit SourceFile(const QByteArray& name);

    // Examines the file; false when it cannot be read or is no regular file.
    bool open(model::Failure* failure = nullptr);
    // Makes the first `wanted` bytes (at most the whole file) available in
    // data; false when the file cannot be read that far.
    bool ensure(size_t wanted);
    // The same, but a file shorter than wanted fails too: it changed.
    bool require(size_t wanted, model::Failure* failure = nullptr);
    // True when the file still has the size and time it had when opened.
    bool unchanged() const;
    // The same as a step that fails when the file changed.
    bool checkUnchanged(model::Failure* failure = nullptr) const;

    Descriptor in;
    struct stat status {};
    size_t size = 0;
    std::vector<uint8_t> data;
};

// Writes all of bytes to fd.
bool writeAll(int fd, const uint8_t* bytes, size_t size, model::Failure* failure = nullptr);
// Copies size bytes of in from offset to the end of out, inside the kernel
// where it can.
bool copyRange(int in, size_t offset, int out, size_t size, model::Failure* failure = nullptr);

// The permission bits, owner and group a new file gets.
struct FileAttributes {
    mode_t mode = 0600;
    uid_t owner = 0;
    gid_t group = 0;
};

struct StagedWrites;

// Puts new content in place of a file, or at a new name, durably: the
// content goes into a temporary file beside its target and takes the
// target's name only once it is complete and on the disk, so that after a
// crash the target is either as it was or complete. Temporary files are
// hidden, named ".<name>.kestrel-XXXXXX".
//
// A failure has the reason in technical words as its detail and, where it is
// known, the cause in plain words; the caller gives it its heading.
class FileReplacement {
public:
    // Writes the content to the descriptor it is given; may read it back
    // through the path it is given.
    using Fill = std::function<bool(int fd, const QByteArray& path, model::Failure* failure)>;

    FileReplacement();
    ~FileReplacement();
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    // With on, new files and folder entries are not flushed to disk one by
    // one but all at once by flush(). A file replaced with stage set is
    // written in full beside itself and replaced later, together with others:
    // one flush for a batch, then the renames, so that a crash still leaves
    // each file as it was or complete.
    void setDeferred(bool on);

    // Starts the writes for the file at path, under which name a staged
    // replacement of it that fails is reported. When a staged replacement is
    // for that file, under whatever name, the staged ones are put in place
    // first: the file is read as the earlier write left it.
    void begin(const QString& path);

    // Puts what fill writes at target (replacing: target is known to exist).
    // The new file gets attributes (owner and group where the system allows
    // it). On failure target is left as it was and nothing new is left beside
    // it. Deferred, a file that takes a name nobody had is flushed with
    // flush(); one that replaces another is flushed before it takes the name:
    // at once, or with stage, with its batch (target is left as it is until
    // then).
    bool replace(const QByteArray& target, bool replacing, const FileAttributes& attributes, const Fill& fill,
                 bool stage, model::Failure* failure = nullptr);

    // Puts the staged replacements in place and flushes everything written
    // since the last call to disk. A file whose replacement could not go in
    // place stays as it was: unwritten gets it under the name begin() was
    // given, with its failure. False when the system could not flush, so
    // that none of those writes can be counted on.
    bool flush(QHash<QString, model::Failure>* unwritten = nullptr, model::Failure* failure = nullptr);

    // The file at path as the target of an in-place replacement: the file
    // itself (through symbolic links), with its permissions, owner and group.
    // False when it is gone or read-only (a read-only file stays untouched,
    // also for the super-user).
    static bool inPlaceTarget(const QString& path, QByteArray* target, FileAttributes* attributes,
                              model::Failure* failure = nullptr);

    // Removes the temporary files a killed run left in folder: hidden regular
    // files named ".<name>.kestrel-XXXXXX", nothing else. Returns how many.
    static int removeStaleTemporaries(const QString& folder);

private:
    bool m_deferred = false;
    std::unique_ptr<StagedWrites> m_staged;
};

} // namespace controller
