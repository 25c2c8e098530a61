#include "controller/exifinfo.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <exception>
#include <limits>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <exiv2/exiv2.hpp>

#include "controller/exiftags.h"
#include "controller/exifwritehook.h"
#include "controller/filereplacement.h"
#include "controller/placetags.h"

namespace controller {

using exiftags::Answer;
using exiftags::Expectation;
using exiftags::ReadBack;

namespace {

const char openErrorText[] = "Error opening image file";
const char readErrorText[] = "Error reading EXIF data from the image file";
const char unsupportedCameraText[] = "Unsupported Camera model";
const char writeErrorText[] = "Error writing EXIF data to the image file";

const char cannotHoldCause[] = QT_TRANSLATE_NOOP("controller::ExifInfo", "this file type cannot hold GPS tags");
const char othersLostCause[] = QT_TRANSLATE_NOOP("controller::ExifInfo", "writing would lose other metadata of the photo");
const char damagedSidecarCause[] = QT_TRANSLATE_NOOP("controller::ExifInfo", "its XMP sidecar is damaged");
const char outOfRangeCause[] = QT_TRANSLATE_NOOP("controller::ExifInfo", "the position is out of range");
const char staleCause[] = QT_TRANSLATE_NOOP("controller::ExifInfo", "the photo's old GPS tags could not be taken out");
const char damagedCause[] = QT_TRANSLATE_NOOP("controller::ExifInfo", "the file is damaged or of a kind the program cannot write");

// The failure as ExifInfo's caller gets it: headed "EXIF Error", with the
// error text as its detail; false.
bool report(model::Failure* failure, const QString& text, const QString& cause = QString())
{
    model::fail(failure, ExifInfo::tr("EXIF Error"), text, cause);
    return false;
}

// Inside, a step of a write that fails fills a failure as FileReplacement
// does: the reason in technical words (its detail, for the debug log) and,
// where it is known, the cause in plain words. A step that fails on reading
// the photo puts the reader's error text in its title; the others are
// reported with the writer's. False.
bool problem(model::Failure* failure, const QString& reason, const char* cause = nullptr, const char* text = nullptr)
{
    model::fail(failure, text ? QString::fromLatin1(text) : QString(), reason,
                cause ? QCoreApplication::translate("controller::ExifInfo", cause) : QString());
    return false;
}

bool verified(ReadBack check, model::Failure* failure)
{
    if (check == ReadBack::OthersLost)
        return problem(failure, QStringLiteral("other metadata did not survive the write"), othersLostCause);
    if (check == ReadBack::RemovedLeft)
        return problem(failure, QStringLiteral("tags taken out came back"), staleCause);
    if (check == ReadBack::TagsMissing)
        return problem(failure, QStringLiteral("the written tags did not read back"), cannotHoldCause);
    return true;
}

bool contains(const std::string& key, const char* pattern)
{
    return key.find(pattern) != std::string::npos;
}

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

// The sidecar a photo manager reads for photo: "<name>.<ext>.xmp" when that
// exists (darktable), else "<name>.xmp" (Adobe).
QString sidecarOf(const QFileInfo& photo)
{
    const QString darktable = photo.absoluteFilePath() + QStringLiteral(".xmp");
    if (QFileInfo::exists(darktable))
        return darktable;
    return photo.absolutePath() + QLatin1Char('/') + photo.completeBaseName() + QStringLiteral(".xmp");
}

// Copies the fields the program uses from the photo's EXIF entries to info.
void readFields(const Exiv2::ExifData& data, model::PhotoInfo* info)
{
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
        if (key == "Exif.Photo.SubSecTimeOriginal") {
            // Cameras pad the digits with spaces; anything else is no fraction.
            const QString digits = QString::fromStdString(datum.toString()).trimmed();
            const auto digit = [](QChar c) { return c.unicode() >= u'0' && c.unicode() <= u'9'; };
            const bool plain = !digits.isEmpty() && std::all_of(digits.begin(), digits.end(), digit);
            info->subSecTimeOriginal = plain ? digits : QStringLiteral("");
        }
    }
}

// How writes are checked and where they go: the read-back, a hook that may
// change the entries just before the library writes them (so that a writer
// that drops tags can be imitated), and the replacement of the files; and
// what becomes of place names.
struct Checks {
    bool verify;
    ExifWriteHook* hook;
    FileReplacement& files;
    placetags::Options places;
};

// The place names of result set in the photo's IPTC and XMP data, where its
// format can hold them, with the values a read-back must show.
void tagPlace(Exiv2::Image& photo, const model::PhotoGeotag& result, placetags::Options options,
              Expectation* expected)
{
    Exiv2::IptcData& iptc = photo.iptcData();
    Exiv2::XmpData& xmp = photo.xmpData();
    const bool named = placetags::named(&iptc, &xmp);
    std::vector<std::string> keys;
    std::vector<std::string> removed;
    placetags::setPlace((photo.checkMode(Exiv2::mdIptc) & Exiv2::amWrite) ? &iptc : nullptr,
                        (photo.checkMode(Exiv2::mdXmp) & Exiv2::amWrite) ? &xmp : nullptr, named, result.place,
                        options, &keys, &removed);
    for (const std::string& key : keys)
        expected->written.emplace_back(key, key.rfind("Iptc.", 0) == 0 ? iptc[key].toString() : xmp[key].toString());
    expected->remove(removed);
}

// Lets the library write the tags into the first head bytes of original:
// image then holds the new bytes, expected what a read-back must show.
bool tagHead(SourceFile& original, size_t head, bool correctDateTime, const model::PhotoGeotag& result,
             const Answer& answer, const Checks& checks, Exiv2::Image::AutoPtr* image, Expectation* expected,
             model::Failure* failure)
{
    try {
        *image = Exiv2::ImageFactory::open(original.data.data(), long(head));
        if (!image->get())
            return problem(failure, QStringLiteral("no image"), damagedCause, openErrorText);
        (*image)->readMetadata();
        Exiv2::ExifData& data = (*image)->exifData();
        if (data.empty())
            return problem(failure, QStringLiteral("no EXIF data"), nullptr, readErrorText);
        expected->keep(**image);
        std::vector<std::string> keys;
        std::vector<std::string> removed;
        exiftags::setTags(data, correctDateTime, result, answer, &keys, &removed);
        for (const std::string& key : keys)
            expected->written.emplace_back(key, data[key].toString());
        expected->remove(removed);
        tagPlace(**image, result, checks.places, expected);
        if (checks.hook)
            checks.hook->beforeWrite(data);
        (*image)->writeMetadata();
        return true;
    } catch (const Exiv2::AnyError& error) {
        return problem(failure, QString::fromLocal8Bit(error.what()),
                       error.code() == Exiv2::kerWritingImageFormatUnsupported ? cannotHoldCause : damagedCause);
    }
}

// Writes the tags into the photo itself (or its copy at target). For a JPEG
// only the segments before the image data go through the library; the image
// data is then copied from the source unchanged, inside the kernel where it
// can. In place, target is the file itself (through symbolic links) and keeps
// its permissions and owner.
bool tagInFile(SourceFile& original, const QString& source, const QString& target, bool inPlace,
               bool correctDateTime, const model::PhotoGeotag& result, const Answer& answer, const Checks& checks,
               model::Failure* failure)
{
    // The library sees the segments up to and including the start-of-scan
    // marker; it copies what follows its last segment unchanged, so the
    // rest of the file can be appended to its output as it is.
    size_t head = jpegScanOffset(original);
    if (head > 0)
        head += 2;
    else
        head = original.size;
    if (!original.require(head, failure))
        return false;
    Exiv2::Image::AutoPtr image;
    Expectation expected;
    if (!tagHead(original, head, correctDateTime, result, answer, checks, &image, &expected, failure))
        return false;

    // A copy belongs to whoever makes it, with the source's permissions.
    QByteArray destination = QFile::encodeName(target);
    FileAttributes attributes { original.status.st_mode, ::geteuid(), ::getegid() };
    if (inPlace && !FileReplacement::inPlaceTarget(source, &destination, &attributes, failure))
        return false;

    Exiv2::BasicIo& tagged = image->io();
    const long size = tagged.size();
    Exiv2::byte* bytes = size > 0 ? tagged.mmap(true) : nullptr;
    if (!bytes)
        return problem(failure, QStringLiteral("the library produced no data"), damagedCause);
    const bool whole = head >= original.size;
    if (!whole)
        placetags::refreshIptcDigest(original.data.data(), head, bytes, size_t(size));
    const auto fill = [&](int out, const QByteArray& path, model::Failure* unfilled) {
        return writeAll(out, bytes, size_t(size), unfilled)
            && (whole || copyRange(original.in.fd, head, out, original.size - head, unfilled))
            && original.checkUnchanged(unfilled)
            // A JPEG's metadata is all in what the library wrote, before the image data.
            && (!checks.verify || verified(exiftags::readBack(path, out, whole ? 0 : size_t(size), expected), unfilled));
    };
    const bool written = checks.files.replace(destination, inPlace, attributes, fill, true, failure);
    tagged.munmap();
    return written;
}

// Reads the photo's existing sidecar at from into xmp, with its properties
// as those a read-back must show; in place, attributes get its permissions,
// owner and group.
bool readSidecar(const QFileInfo& existing, const QString& from, bool inPlace, Exiv2::XmpData* xmp,
                 Expectation* expected, FileAttributes* attributes, model::Failure* failure)
{
    QFile file(existing.canonicalFilePath());
    const qint64 largest = 16 * 1024 * 1024;
    if (!existing.isFile() || existing.size() > largest || !file.open(QIODevice::ReadOnly))
        return problem(failure, QStringLiteral("cannot read the sidecar ") + from, damagedSidecarCause);
    if (Exiv2::XmpParser::decode(*xmp, file.read(largest).toStdString()) != 0)
        return problem(failure, QStringLiteral("the sidecar is not valid XMP: ") + from, damagedSidecarCause);
    for (const auto& datum : *xmp)
        expected->kept.insert(datum.key());
    struct stat status {};
    if (inPlace && ::stat(QFile::encodeName(file.fileName()).constData(), &status) == 0)
        *attributes = { status.st_mode, status.st_uid, status.st_gid };
    return true;
}

// The sidecar's content: the answer's properties set in xmp.
bool encodeSidecar(Exiv2::XmpData& xmp, bool correctDateTime, const model::PhotoGeotag& result,
                   const Answer& answer, placetags::Options places, Expectation* expected, std::string* packet,
                   model::Failure* failure)
{
    std::vector<std::string> keys;
    std::vector<std::string> removed;
    exiftags::setXmp(xmp, correctDateTime, result, answer, &keys, &removed);
    placetags::setPlace(nullptr, &xmp, placetags::named(nullptr, &xmp), result.place, places, &keys, &removed);
    for (const std::string& key : keys)
        expected->written.emplace_back(key, xmp[key].toString());
    expected->remove(removed);
    if (Exiv2::XmpParser::encode(*packet, xmp,
                                 Exiv2::XmpParser::omitPacketWrapper | Exiv2::XmpParser::useCompactFormat)
        != 0)
        return problem(failure, QStringLiteral("cannot encode the sidecar"), damagedSidecarCause);
    packet->insert(0, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    return true;
}

// Writes the tags into the photo's XMP sidecar, which is made when there is
// none and otherwise updated with its other properties kept. A copy puts the
// photo, unchanged, and the sidecar into target's folder; the originals stay
// as they were. Fills sidecar with the path of the file written.
bool tagSidecar(SourceFile& original, const QString& source, const QString& target, bool inPlace,
                bool correctDateTime, const model::PhotoGeotag& result, const Answer& answer, const Checks& checks,
                QString* sidecar, model::Failure* failure)
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
    FileAttributes attributes { mode_t(0666 & ~mask), ::geteuid(), ::getegid() };
    Exiv2::XmpData xmp;
    Expectation expected;
    const QFileInfo existing(from);
    if ((existing.exists() || existing.isSymLink())
        && !readSidecar(existing, from, inPlace, &xmp, &expected, &attributes, failure))
        return false;
    std::string packet;
    if (!encodeSidecar(xmp, correctDateTime, result, answer, checks.places, &expected, &packet, failure))
        return false;

    const QByteArray copyPath = QFile::encodeName(target);
    if (!inPlace) {
        const auto fillCopy = [&original](int out, const QByteArray&, model::Failure* unfilled) {
            return copyRange(original.in.fd, 0, out, original.size, unfilled) && original.checkUnchanged(unfilled);
        };
        const FileAttributes copied { original.status.st_mode, attributes.owner, attributes.group };
        if (!checks.files.replace(copyPath, false, copied, fillCopy, false, failure))
            return false;
    }
    const auto fill = [&](int out, const QByteArray& path, model::Failure* unfilled) {
        return writeAll(out, reinterpret_cast<const uint8_t*>(packet.data()), packet.size(), unfilled)
            && (!checks.verify || verified(exiftags::readBack(path, out, 0, expected), unfilled));
    };
    const QString destination = inPlace && existing.exists() ? existing.canonicalFilePath() : to;
    if (!checks.files.replace(QFile::encodeName(destination), QFileInfo::exists(destination), attributes, fill, false,
                              failure)) {
        if (!inPlace)
            ::unlink(copyPath.constData());
        return false;
    }
    *sidecar = to;
    return true;
}

} // namespace

ExifInfo::ExifInfo(QObject* parent, ExifWriteHook* hook)
    : QObject(parent)
    , m_files(std::make_unique<FileReplacement>())
    , m_hook(hook)
{
    // HEIC, AVIF and CR3 are read through the library's BMFF reader.
    Exiv2::enableBMFF(true);
}

ExifInfo::~ExifInfo() = default;

QString ExifInfo::processingMethod(model::PhotoGeotag::Origin origin)
{
    return origin == model::PhotoGeotag::Origin::Hand ? QStringLiteral("MANUAL") : QStringLiteral("GPS");
}

void ExifInfo::setRawSidecars(bool on)
{
    m_rawSidecars = on;
}

void ExifInfo::setPlaceNames(bool write, bool replace)
{
    m_places = { write, replace };
}

void ExifInfo::setVerifyWrites(bool on)
{
    m_verifyWrites = on;
}

void ExifInfo::setDeferredFlush(bool on)
{
    m_files->setDeferred(on);
}

bool ExifInfo::flushWritten(QHash<QString, model::Failure>* unwritten, model::Failure* failure)
{
    QHash<QString, model::Failure> left;
    model::Failure unflushed;
    const bool flushed = m_files->flush(&left, &unflushed);
    for (auto photo = left.begin(); photo != left.end(); ++photo) {
        qDebug() << "EXIF write of" << photo.key() << "failed:" << photo->detail;
        report(&photo.value(), QString::fromLatin1(writeErrorText), photo->cause);
    }
    if (unwritten)
        *unwritten = left;
    return flushed || report(failure, unflushed.detail);
}

bool ExifInfo::isRaw(const QString& path)
{
    return !model::Model::nonRawSuffixes().contains(QFileInfo(path).suffix().toLower());
}

int ExifInfo::removeStaleTemporaries(const QString& folder)
{
    return FileReplacement::removeStaleTemporaries(folder);
}

bool ExifInfo::read(QString path, model::PhotoInfo* info, model::Failure* failure)
{
    const QFileInfo file(path);
    // Only regular files: a FIFO or a device under a photo's name would make
    // the library wait or read forever.
    if (!file.isFile())
        return report(failure, QString::fromLatin1(readErrorText));
    try {
        // An absolute path never looks like a remote address to the library.
        auto image = Exiv2::ImageFactory::open(QFile::encodeName(file.absoluteFilePath()).toStdString(), true);
        if (!image.get())
            return report(failure, QString::fromLatin1(openErrorText));
        image->readMetadata();
        const Exiv2::ExifData& data = image->exifData();
        if (data.empty())
            return report(failure, QString::fromLatin1(readErrorText));

        // Raw files of these makes are refused unless they get a sidecar.
        if (!m_rawSidecars && isRaw(path)) {
            const auto make = data.findKey(Exiv2::ExifKey("Exif.Image.Make"));
            const QString makeText = make == data.end() ? QString() : QString::fromStdString(make->toString());
            if (model::Model::rawUnsupportedMakes().contains(makeText.toLower()))
                return report(failure, QString::fromLatin1(unsupportedCameraText));
        }
        readFields(data, info);
        return true;
    } catch (const std::exception& error) {
        // Exiv2::AnyError and the standard library's errors from inside it.
        qDebug() << "EXIF read of" << path << "failed:" << error.what();
        return report(failure, QString::fromLatin1(readErrorText));
    } catch (...) {
        qDebug() << "EXIF read of" << path << "failed";
        return report(failure, QString::fromLatin1(readErrorText));
    }
}

bool ExifInfo::write(QString path, bool correctDateTime, model::PhotoGeotag* result, model::Failure* failure)
{
    return tagFile(path, path, true, correctDateTime, result, failure);
}

bool ExifInfo::writeCopy(QString source, QString target, bool correctDateTime, model::PhotoGeotag* result,
                         model::Failure* failure)
{
    return tagFile(source, target, false, correctDateTime, result, failure);
}

// Sidecars for the formats the library cannot be trusted to write: it drops
// every GPS tag of a CRW (and its CRW writer mishandles crafted files), it
// cannot write HEIC, AVIF or CR3 at all; and for every camera raw when the
// person asks for them. A camera raw whose tags do not stick in the file gets
// one too. JPEG, TIFF and the other ordinary formats never do: photo managers
// read their tags from the file itself.
bool ExifInfo::tagFile(const QString& source, const QString& target, bool inPlace, bool correctDateTime,
                       model::PhotoGeotag* result, model::Failure* failure)
{
    result->sidecarPath.clear();
    result->errorCause.clear();
    // Why the write failed, as problem() tells it.
    model::Failure unwritten;
    const auto fail = [&source, result, failure, &unwritten] {
        qDebug() << "EXIF write of" << source << "failed:" << unwritten.detail;
        result->errorCause = unwritten.cause;
        return report(failure, unwritten.title.isEmpty() ? QString::fromLatin1(writeErrorText) : unwritten.title,
                      unwritten.cause);
    };
    const auto failWith = [&unwritten, &fail](const QString& reason, const char* cause) {
        problem(&unwritten, reason, cause);
        return fail();
    };
    try {
        // A photo reached again, under another name, is tagged from what the
        // earlier write made of it.
        m_files->begin(source);
        SourceFile original(QFile::encodeName(source));
        if (!original.open(&unwritten))
            return fail();
        // The library counts a file's bytes in a long.
        if (original.size > size_t(std::numeric_limits<long>::max() / 2))
            return failWith(QStringLiteral("the file is too large"), damagedCause);
        Answer answer;
        if (!exiftags::answerOf(*result, &answer))
            return failWith(QStringLiteral("values out of range"), outOfRangeCause);
        if (correctDateTime)
            result->photoTime = exiftags::exifTime(result->photoTime);

        original.ensure(4096);
        const int type = Exiv2::ImageFactory::getType(original.data.data(), long(original.data.size()));
        const bool raw = isRaw(source);
        const Checks checks { m_verifyWrites, m_hook, *m_files, m_places };
        if (type != Exiv2::ImageType::crw && type != Exiv2::ImageType::bmff && !(raw && m_rawSidecars)) {
            if (tagInFile(original, source, target, inPlace, correctDateTime, *result, answer, checks, &unwritten))
                return true;
            if (!raw || unwritten.cause != QLatin1String(cannotHoldCause))
                return fail();
            qDebug() << "tags do not stick in" << source << "- writing a sidecar instead";
            unwritten = model::Failure();
        }
        return tagSidecar(original, source, target, inPlace, correctDateTime, *result, answer, checks,
                          &result->sidecarPath, &unwritten)
            || fail();
    } catch (const std::exception& error) {
        // Exiv2::AnyError and the standard library's errors from inside it.
        return failWith(QString::fromLocal8Bit(error.what()), damagedCause);
    } catch (...) {
        return failWith(QStringLiteral("unknown error"), damagedCause);
    }
}

} // namespace controller
