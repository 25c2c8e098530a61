#include "controller/exifinfo.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

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

// The whole content of a regular file, read with as few system calls as the
// kernel allows, and its status at the time.
struct FileBytes {
    std::unique_ptr<Exiv2::byte[]> data;
    size_t size = 0;
    struct stat status {};
};

// Empty on success, else the reason.
QString readWholeFile(const QByteArray& name, FileBytes* file)
{
    Descriptor in(::open(name.constData(), O_RDONLY | O_CLOEXEC));
    if (in.fd < 0)
        return systemError("cannot open the file");
    if (::fstat(in.fd, &file->status) != 0)
        return systemError("cannot examine the file");
    if (!S_ISREG(file->status.st_mode))
        return QStringLiteral("not a regular file");
    if (file->status.st_size > std::numeric_limits<long>::max() / 2)
        return QStringLiteral("the file is too large");
    file->size = size_t(file->status.st_size);
    file->data.reset(new Exiv2::byte[file->size ? file->size : 1]);
    size_t done = 0;
    while (done < file->size) {
        const ssize_t count = ::read(in.fd, file->data.get() + done, file->size - done);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return systemError("cannot read the file");
        if (count == 0)
            return QStringLiteral("the file became shorter while it was read");
        done += size_t(count);
    }
    return QString();
}

// Puts bytes at target through a temporary file in the same folder and one
// rename, so target is either what it was or the complete new content. The
// new file gets permission bits mode and, where the system allows it, the
// given owner and group. Empty on success, else the reason.
QString replaceFile(const QByteArray& target, const Exiv2::byte* bytes, size_t size, mode_t mode, uid_t owner,
                    gid_t group)
{
    const int slash = target.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : target.left(slash);
    const QByteArray base = target.mid(slash + 1);
    QByteArray temporary = folder + (folder.endsWith('/') ? "." : "/.") + base + ".kestrel-XXXXXX";

    Descriptor out(::mkostemp(temporary.data(), O_CLOEXEC));
    if (out.fd < 0)
        return systemError("cannot create a temporary file beside the photo");
    QString failure;
    size_t done = 0;
    while (done < size && failure.isEmpty()) {
        const ssize_t count = ::write(out.fd, bytes + done, size - done);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            failure = systemError("cannot write the temporary file");
        else
            done += size_t(count);
    }
    if (failure.isEmpty() && ::fchown(out.fd, owner, group) != 0) {
        // Only the super-user may give a file away; an ordinary user's
        // replacement is simply theirs, as the original was.
    }
    if (failure.isEmpty() && ::fchmod(out.fd, mode & 07777) != 0)
        failure = systemError("cannot set the permissions of the temporary file");
    if (!out.close() && failure.isEmpty())
        failure = systemError("cannot finish the temporary file");
    if (failure.isEmpty() && ::rename(temporary.constData(), target.constData()) != 0)
        failure = systemError("cannot put the new file in place");
    if (!failure.isEmpty())
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

// Reads source once, lets the library rewrite it in memory and puts the
// result at target in one write and a rename. In place, target is the file
// itself (through symbolic links) and keeps its permissions and owner.
bool ExifInfo::tagFile(const QString& source, const QString& target, bool inPlace, bool correctDateTime,
                       model::PhotoGeocode* result)
{
    const auto fail = [this, &source](const QString& reason, const char* text) {
        qDebug() << "EXIF write of" << source << "failed:" << reason;
        error = QString::fromLatin1(text);
        return false;
    };
    try {
        FileBytes original;
        const QString unread = readWholeFile(QFile::encodeName(source), &original);
        if (!unread.isEmpty())
            return fail(unread, writeErrorText);

        auto image = Exiv2::ImageFactory::open(original.data.get(), long(original.size));
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
        const QString unwritten = replaceFile(destination, bytes, size_t(size), mode, owner, group);
        tagged.munmap();
        if (!unwritten.isEmpty())
            return fail(unwritten, writeErrorText);
        return true;
    } catch (const std::exception& failure) {
        // Exiv2::AnyError and the standard library's errors from inside it.
        return fail(QString::fromLocal8Bit(failure.what()), writeErrorText);
    }
}

} // namespace controller
