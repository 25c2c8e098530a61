#include "controller/exifinfo.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <exiv2/exiv2.hpp>

namespace controller {

namespace {

const char openErrorText[] = "Error opening image file";
const char readErrorText[] = "Error reading EXIF data from the image file";
const char unsupportedCameraText[] = "Unsupported Camera model";
const char writeErrorText[] = "Error writing EXIF data to the image file";

QString systemError(const char* what)
{
    return QStringLiteral("%1: %2").arg(QString::fromLatin1(what), QString::fromLocal8Bit(std::strerror(errno)));
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
    QString open()
    {
        if (in.fd < 0)
            return systemError("cannot open the file");
        if (::fstat(in.fd, &status) != 0)
            return systemError("cannot examine the file");
        if (!S_ISREG(status.st_mode))
            return QStringLiteral("not a regular file");
        if (status.st_size > std::numeric_limits<long>::max() / 2)
            return QStringLiteral("the file is too large");
        size = size_t(status.st_size);
        return QString();
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
QString writeAll(int fd, const Exiv2::byte* bytes, size_t size)
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
    return QString();
}

// Copies size bytes of in from offset to the end of out, inside the kernel
// where it can; empty on success, else the reason.
QString copyRange(int in, size_t offset, int out, size_t size)
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
            return QStringLiteral("the file became shorter while it was read");
        left -= size_t(count);
    }
    std::vector<Exiv2::byte> buffer(left > 0 ? size_t(1024 * 1024) : 0);
    while (left > 0) {
        const ssize_t count = ::pread(in, buffer.data(), std::min(left, buffer.size()), from);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return systemError("cannot read the file");
        if (count == 0)
            return QStringLiteral("the file became shorter while it was read");
        const QString failure = writeAll(out, buffer.data(), size_t(count));
        if (!failure.isEmpty())
            return failure;
        from += count;
        left -= size_t(count);
    }
    return QString();
}

// Puts new content at target so that target is either what it was or the
// complete new content. The content goes into a file without a name in the
// same folder, which is then linked in under target's name when target does
// not exist yet, or under a temporary name that one rename puts over target
// (at once when the caller knows target exists: replacing).
// Where the file system has no unnamed files, a named temporary file is used.
// fill writes the content to the descriptor it is given (empty text on
// success, else the reason). The new file gets permission bits mode and,
// where the system allows it, the given owner and group. Empty on success,
// else the reason.
QString replaceFile(const QByteArray& target, bool replacing, const std::function<QString(int)>& fill, mode_t mode,
                    uid_t owner, gid_t group)
{
    const int slash = target.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : target.left(slash);
    const QByteArray base = target.mid(slash + 1);
    const QByteArray pattern = folder + (folder.endsWith('/') ? "." : "/.") + base + ".kestrel-XXXXXX";
    QByteArray temporary;

    // When target exists, a named temporary file costs one name less.
    Descriptor out(replacing ? -1 : ::open(folder.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
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
    QString failure = fill(out.fd);
    if (failure.isEmpty() && ::fchown(out.fd, owner, group) != 0) {
        // Only the super-user may give a file away; an ordinary user's
        // replacement is simply theirs, as the original was.
    }
    if (failure.isEmpty() && ::fchmod(out.fd, mode & 07777) != 0)
        failure = systemError("cannot set the permissions of the temporary file");
    if (failure.isEmpty() && unnamed) {
        if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, target.constData(), AT_SYMLINK_FOLLOW) == 0) {
            if (out.close())
                return QString();
            failure = systemError("cannot finish the new file");
            ::unlink(target.constData());
            return failure;
        }
        if (errno != EEXIST)
            failure = systemError("cannot give the new file its name");
        // Give it a temporary name to rename over the existing file.
        for (int attempt = 0; failure.isEmpty() && temporary.isEmpty(); ++attempt) {
            QByteArray name = pattern;
            name.chop(6);
            name += QByteArray::number(QRandomGenerator::global()->generate() % 0x1000000u, 16);
            if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, name.constData(), AT_SYMLINK_FOLLOW) == 0)
                temporary = name;
            else if (errno != EEXIST || attempt > 100)
                failure = systemError("cannot give the new file a temporary name");
        }
    }
    if (!out.close() && failure.isEmpty())
        failure = systemError("cannot finish the temporary file");
    if (failure.isEmpty() && ::rename(temporary.constData(), target.constData()) != 0)
        failure = systemError("cannot put the new file in place");
    if (!failure.isEmpty() && !temporary.isEmpty())
        ::unlink(temporary.constData());
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

} // namespace

ExifInfo::ExifInfo(QObject* parent)
    : QObject(parent)
{
}

QString ExifInfo::vendorAddress()
{
    return QStringLiteral("https://kestrel-geotag.org");
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

        if (!model::Model::nonRawSuffixes().contains(file.suffix().toLower())) {
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

bool ExifInfo::setTags(Exiv2::ExifData& data, bool correctDateTime, model::PhotoGeocode* result)
{
    uint32_t latitude = 0;
    uint32_t longitude = 0;
    uint32_t altitude = 0;
    uint32_t accuracy = 0;
    if (!scaledMagnitude(result->latitude, 1000000.0, &latitude)
        || !scaledMagnitude(result->longitude, 1000000.0, &longitude)
        || !scaledMagnitude(result->altitude, 100.0, &altitude)
        || !scaledMagnitude(double(result->accuracy), 1000.0, &accuracy)) {
        qDebug() << "position out of range:" << result->latitude << result->longitude << result->altitude
                 << result->accuracy;
        return false;
    }

    auto version = Exiv2::Value::create(Exiv2::unsignedByte);
    version->read("2 2 0 0");
    data["Exif.GPSInfo.GPSVersionID"] = *version;
    data["Exif.GPSInfo.GPSLatitudeRef"] = std::string(result->latitude < 0 ? "S" : "N");
    data["Exif.GPSInfo.GPSLongitudeRef"] = std::string(result->longitude < 0 ? "W" : "E");
    auto altitudeRef = Exiv2::Value::create(Exiv2::unsignedByte);
    altitudeRef->read(result->altitude < 0 ? "1" : "0");
    data["Exif.GPSInfo.GPSAltitudeRef"] = *altitudeRef;
    data["Exif.GPSInfo.GPSAltitude"] = Exiv2::URational(altitude, 100);

    // Decimal degrees in the degrees component; minutes and seconds stay zero.
    const auto degrees = [](uint32_t millionths) {
        Exiv2::URationalValue value;
        value.value_.push_back(Exiv2::URational(millionths, 1000000));
        value.value_.push_back(Exiv2::URational(0, 1));
        value.value_.push_back(Exiv2::URational(0, 1));
        return value;
    };
    data["Exif.GPSInfo.GPSLatitude"] = degrees(latitude);
    data["Exif.GPSInfo.GPSLongitude"] = degrees(longitude);
    data["Exif.GPSInfo.GPSProcessingMethod"]
        = Exiv2::CommentValue("charset=Ascii " + vendorAddress().toStdString());
    data["Exif.GPSInfo.GPSHPositioningError"] = Exiv2::URational(accuracy, 1000);

    if (correctDateTime) {
        result->photoTime = QString(result->photoTime).replace(QLatin1Char('-'), QLatin1Char(':')).left(19);
        const std::string time = result->photoTime.toStdString();
        data["Exif.Image.DateTime"] = time;
        data["Exif.Photo.DateTimeOriginal"] = time;
        data["Exif.Photo.DateTimeDigitized"] = time;

        bool number = false;
        int hours = result->timeZone.left(3).toInt(&number, 10);
        if (!number)
            hours = 0;
        qDebug() << "time zone offset" << hours;
        Exiv2::ShortValue offset;
        offset.value_.push_back(int16_t(hours));
        offset.value_.push_back(int16_t(hours));
        // The offset in hours belongs to the primary image directory; the
        // library knows no such tag in the Exif directory.
        data["Exif.Image.TimeZoneOffset"] = offset;

        const std::string zone = result->timeZone.left(6).toStdString();
        data["Exif.Photo.OffsetTime"] = zone;
        data["Exif.Photo.OffsetTimeOriginal"] = zone;
        data["Exif.Photo.OffsetTimeDigitized"] = zone;
    }
    return true;
}

// Reads source once, lets the library rewrite its metadata in memory and puts
// the result at target through a temporary file and a rename. For a JPEG only
// the segments before the image data go through the library; the image data
// is then copied from the source unchanged, inside the kernel where it can.
// In place, target is the file itself (through symbolic links) and keeps its
// permissions and owner.
bool ExifInfo::tagFile(const QString& source, const QString& target, bool inPlace, bool correctDateTime,
                       model::PhotoGeocode* result)
{
    const auto fail = [this, &source](const QString& reason, const char* text) {
        qDebug() << "EXIF write of" << source << "failed:" << reason;
        error = QString::fromLatin1(text);
        return false;
    };
    try {
        SourceFile original(QFile::encodeName(source));
        const QString unopened = original.open();
        if (!unopened.isEmpty())
            return fail(unopened, writeErrorText);

        // The library sees the segments up to and including the start-of-scan
        // marker; it copies what follows its last segment unchanged, so the
        // rest of the file can be appended to its output as it is.
        size_t head = jpegScanOffset(original);
        if (head > 0)
            head += 2;
        else
            head = original.size;
        if (!original.ensure(head) || original.data.size() < head)
            return fail(QStringLiteral("the file became shorter while it was read"), writeErrorText);

        auto image = Exiv2::ImageFactory::open(original.data.data(), long(head));
        if (!image.get())
            return fail(QStringLiteral("no image"), openErrorText);
        image->readMetadata();
        if (image->exifData().empty())
            return fail(QStringLiteral("no EXIF data"), readErrorText);
        if (!setTags(image->exifData(), correctDateTime, result))
            return fail(QStringLiteral("values out of range"), writeErrorText);
        image->writeMetadata();

        QByteArray destination;
        mode_t mode = original.status.st_mode;
        uid_t owner = original.status.st_uid;
        gid_t group = original.status.st_gid;
        if (inPlace) {
            destination = QFile::encodeName(QFileInfo(source).canonicalFilePath());
            struct stat now {};
            if (destination.isEmpty() || ::stat(destination.constData(), &now) != 0)
                return fail(QStringLiteral("the photo is gone"), writeErrorText);
            // A read-only photo stays untouched, also for the super-user.
            if ((now.st_mode & 0222) == 0 || ::access(destination.constData(), W_OK) != 0)
                return fail(QStringLiteral("the photo is read-only"), writeErrorText);
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
            return fail(QStringLiteral("the library produced no data"), writeErrorText);
        const auto fill = [&](int out) {
            QString failure = writeAll(out, bytes, size_t(size));
            if (failure.isEmpty() && head < original.size)
                failure = copyRange(original.in.fd, head, out, original.size - head);
            if (failure.isEmpty() && !original.unchanged())
                failure = QStringLiteral("the file changed while it was read");
            return failure;
        };
        const QString unwritten = replaceFile(destination, inPlace, fill, mode, owner, group);
        tagged.munmap();
        if (!unwritten.isEmpty())
            return fail(unwritten, writeErrorText);
        return true;
    } catch (const std::exception& failure) {
        // Exiv2::AnyError and the standard library's errors from inside it.
        return fail(QString::fromLocal8Bit(failure.what()), writeErrorText);
    } catch (...) {
        return fail(QStringLiteral("unknown error"), writeErrorText);
    }
}

} // namespace controller
