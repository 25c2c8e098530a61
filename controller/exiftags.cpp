#include "controller/exiftags.h"

#include <QDebug>
#include <QRegularExpression>

#include <cerrno>
#include <cmath>
#include <limits>
#include <map>

#include <unistd.h>

#include "controller/exifinfo.h"

namespace controller {
namespace exiftags {

namespace {

// |value| * scale truncated toward zero (or rounded), when it fits an EXIF
// rational.
bool scaledMagnitude(double value, double scale, uint32_t* scaled, bool round = false)
{
    const double product = std::fabs(value) * scale;
    const double magnitude = round ? std::round(product) : std::trunc(product);
    if (!std::isfinite(magnitude) || magnitude > double(std::numeric_limits<uint32_t>::max()))
        return false;
    *scaled = uint32_t(magnitude);
    return true;
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

bool answerOf(const model::PhotoGeotag& result, Answer* answer)
{
    if (!scaledMagnitude(result.latitude, 1000000.0, &answer->latitude)
        || !scaledMagnitude(result.longitude, 1000000.0, &answer->longitude)
        || !scaledMagnitude(result.altitude, 100.0, &answer->altitude)
        // The accuracy's decimal metres make whole millimetres: 32.3 m is
        // 32299.999... mm as a double, and 32300 mm in the photo.
        || !scaledMagnitude(result.accuracy, 1000.0, &answer->accuracy, true)) {
        qDebug() << "position out of range:" << result.latitude << result.longitude << result.altitude
                 << result.accuracy;
        return false;
    }
    // A position placed on the track is that of the photo's corrected
    // moment; one placed by hand has none.
    if (result.origin == model::PhotoGeotag::Origin::Track) {
        const QDateTime moment = QDateTime::fromString(result.utcTime, Qt::ISODateWithMs);
        if (moment.isValid())
            answer->utc = moment.toUTC();
    }
    if (result.placed())
        return true;
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

void Expectation::keep(const Exiv2::Image& image)
{
    for (const auto& datum : image.exifData())
        kept.insert(datum.key());
    for (const auto& datum : image.iptcData())
        kept.insert(datum.key());
    for (const auto& datum : image.xmpData())
        kept.insert(datum.key());
}

void Expectation::remove(const std::vector<std::string>& keys)
{
    for (const std::string& key : keys) {
        kept.erase(key);
        removed.push_back(key);
    }
}

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
        for (const std::string& key : expected.removed)
            if (entries.count(key) != 0)
                return ReadBack::RemovedLeft;
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

// The corrected date, time and zone offsets of result, through set.
template <typename Set>
void setCorrectedTime(Exiv2::ExifData& data, const model::PhotoGeotag& result, const Set& set)
{
    const std::string time = result.photoTime.toStdString();
    set("Exif.Image.DateTime", time);
    set("Exif.Photo.DateTimeOriginal", time);
    set("Exif.Photo.DateTimeDigitized", time);

    bool number = false;
    int hours = result.timeZone.left(3).toInt(&number, 10);
    if (!number)
        hours = 0;
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

void setTags(Exiv2::ExifData& data, bool correctDateTime, const model::PhotoGeotag& result, const Answer& answer,
             std::vector<std::string>* keys, std::vector<std::string>* removed)
{
    const auto set = [&data, keys](const char* key, const auto& value) {
        data[key] = value;
        keys->push_back(key);
    };
    const auto drop = [&data, removed](const char* key) {
        const Exiv2::ExifKey exifKey(key);
        for (auto found = data.findKey(exifKey); found != data.end(); found = data.findKey(exifKey))
            data.erase(found);
        if (removed)
            removed->push_back(key);
    };
    // 2.3, as the positioning error and the time offsets are tags of EXIF 2.3.
    auto version = Exiv2::Value::create(Exiv2::unsignedByte);
    version->read("2 3 0 0");
    set("Exif.GPSInfo.GPSVersionID", *version);
    set("Exif.GPSInfo.GPSLatitudeRef", std::string(result.latitude < 0 ? "S" : "N"));
    set("Exif.GPSInfo.GPSLongitudeRef", std::string(result.longitude < 0 ? "W" : "E"));
    if (result.placed()) {
        drop("Exif.GPSInfo.GPSAltitudeRef");
        drop("Exif.GPSInfo.GPSAltitude");
    } else {
        auto altitudeRef = Exiv2::Value::create(Exiv2::unsignedByte);
        altitudeRef->read(result.altitude < 0 ? "1" : "0");
        set("Exif.GPSInfo.GPSAltitudeRef", *altitudeRef);
        set("Exif.GPSInfo.GPSAltitude", Exiv2::URational(answer.altitude, 100));
    }

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
    set("Exif.GPSInfo.GPSProcessingMethod",
        Exiv2::CommentValue("charset=Ascii " + ExifInfo::processingMethod(result.origin).toStdString()));
    if (result.placed())
        drop("Exif.GPSInfo.GPSHPositioningError");
    else
        set("Exif.GPSInfo.GPSHPositioningError", Exiv2::URational(answer.accuracy, 1000));
    if (result.placed() && !answer.utc.isValid()) {
        drop("Exif.GPSInfo.GPSDateStamp");
        drop("Exif.GPSInfo.GPSTimeStamp");
    } else if (answer.utc.isValid()) {
        set("Exif.GPSInfo.GPSDateStamp", answer.utc.toString(QStringLiteral("yyyy:MM:dd")).toStdString());
        Exiv2::URationalValue time;
        for (const int part : { answer.utc.time().hour(), answer.utc.time().minute(), answer.utc.time().second() })
            time.value_.push_back(Exiv2::URational(uint32_t(part), 1));
        set("Exif.GPSInfo.GPSTimeStamp", time);
    }

    if (correctDateTime)
        setCorrectedTime(data, result, set);
}

void setXmp(Exiv2::XmpData& data, bool correctDateTime, const model::PhotoGeotag& result, const Answer& answer,
            std::vector<std::string>* keys, std::vector<std::string>* removed)
{
    const auto set = [&data, keys](const char* key, const std::string& value) {
        data[key] = value;
        keys->push_back(key);
    };
    const auto drop = [&data, removed](std::initializer_list<const char*> names) {
        for (const char* key : names) {
            const Exiv2::XmpKey xmpKey(key);
            for (auto found = data.findKey(xmpKey); found != data.end(); found = data.findKey(xmpKey))
                data.erase(found);
            if (removed)
                removed->push_back(key);
        }
    };
    set("Xmp.exif.GPSVersionID", "2.3.0.0");
    set("Xmp.exif.GPSLatitude", xmpCoordinate(answer.latitude, result.latitude < 0 ? 'S' : 'N'));
    set("Xmp.exif.GPSLongitude", xmpCoordinate(answer.longitude, result.longitude < 0 ? 'W' : 'E'));
    set("Xmp.exif.GPSProcessingMethod", ExifInfo::processingMethod(result.origin).toStdString());
    if (result.placed()) {
        drop({ "Xmp.exif.GPSAltitudeRef", "Xmp.exif.GPSAltitude", "Xmp.exif.GPSHPositioningError" });
    } else {
        set("Xmp.exif.GPSAltitudeRef", result.altitude < 0 ? "1" : "0");
        set("Xmp.exif.GPSAltitude", std::to_string(answer.altitude) + "/100");
        set("Xmp.exif.GPSHPositioningError", std::to_string(answer.accuracy) + "/1000");
    }
    if (answer.utc.isValid())
        set("Xmp.exif.GPSTimeStamp", answer.utc.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ")).toStdString());
    else if (result.placed())
        drop({ "Xmp.exif.GPSTimeStamp" });

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

} // namespace exiftags
} // namespace controller
