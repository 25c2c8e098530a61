#include "controller/servicemessages.h"

#include <QRegularExpression>

#include <charconv>
#include <cmath>

#include "json/jsonvalue.h"

namespace controller {

namespace {

std::string utf8(const QString& text)
{
    return text.toUtf8().toStdString();
}

QByteArray written(const JsonValue& value)
{
    return QByteArray::fromStdString(value.serialize());
}

// The members that identify the user, the camera and the photo's capture
// time; both the synchronization and the geotag request carry them.
JsonValue photoRequest(const QString& userID, const model::PhotoInfo& info)
{
    JsonValue request;
    request["userID"] = utf8(userID);
    request["model"] = utf8(info.model);
    request["serialNumber"] = utf8(info.serialNumber);
    request["internalSerialNumber"] = utf8(info.internalSerialNumber);
    request["shutterCount"] = int(info.shutterCount);
    request["fileNumber"] = utf8(info.fileNumber);
    request["dateTimeOriginal"] = utf8(info.dateTimeOriginal);
    request["GPSProcessingMethod"] = utf8(info.gpsProcessingMethod);
    request["timeZone"] = utf8(info.timeZone);
    return request;
}

// A member that is a JSON integer within qint64; 0 otherwise.
qint64 integer(const JsonValue& value, const char* key)
{
    const JsonValue& member = value.get(key);
    const std::string& text = member.text;
    qint64 number = 0;
    const auto parsed = std::from_chars(text.data(), text.data() + text.size(), number);
    const bool good = member.kind == JsonValue::Integer && parsed.ec == std::errc()
        && parsed.ptr == text.data() + text.size();
    return good ? number : 0;
}

// A distance in metres; false (and 0) when the member is missing, no
// number, negative or longer than the way round the Earth.
bool readMetres(const JsonValue& value, const char* key, double* metres)
{
    const double number = value.get(key).asDouble(NAN);
    // Written so that NaN fails.
    const bool good = number >= 0.0 && number <= 40075017.0;
    *metres = good ? number : 0.0;
    return good;
}

model::AccuracyParts readAccuracyParts(const JsonValue& parts)
{
    model::AccuracyParts read;
    const bool fixes = readMetres(parts, "fixes", &read.fixes);
    const bool movement = readMetres(parts, "movement", &read.movement);
    const bool clock = readMetres(parts, "clock", &read.clock);
    // Parts that do not all read are no parts.
    read.known = fixes && movement && clock;
    return read.known ? read : model::AccuracyParts();
}

model::ClockOffset readClock(const JsonValue& clock)
{
    model::ClockOffset read;
    read.text = ServiceMessages::text(clock, "text");
    read.method = ServiceMessages::text(clock, "method");
    // One or two synchronizations are used; texts only.
    const JsonValue& synchronizations = clock.get("synchronizations");
    for (unsigned i = 0; i < synchronizations.size() && read.synchronizations.size() < 2; ++i) {
        if (synchronizations.at(i).kind == JsonValue::String)
            read.synchronizations << QString::fromStdString(synchronizations.at(i).text);
    }
    read.clockChanged = ServiceMessages::flag(clock, "clockChanged");
    read.camera = ServiceMessages::text(clock, "camera");
    read.drift = ServiceMessages::text(clock, "drift");
    read.offsetMs = integer(clock, "offsetMs");
    read.uncertaintyMs = integer(clock, "uncertaintyMs");
    return read;
}

// A place name: on one line, and no longer than any name of the gazetteer
// (the longest has under 200 characters).
QString placeText(const JsonValue& place, const char* key)
{
    return ServiceMessages::text(place, key).simplified().left(200);
}

model::Place readPlace(const JsonValue& place)
{
    model::Place read;
    if (place.kind != JsonValue::Object)
        return read;
    read.city = placeText(place, "city");
    read.sublocation = placeText(place, "sublocation");
    read.region = placeText(place, "region");
    read.country = placeText(place, "country");
    // Two capital letters, or no code.
    static const QRegularExpression code(QStringLiteral("^[A-Z]{2}$"));
    const QString countryCode = ServiceMessages::text(place, "countryCode");
    read.countryCode = code.match(countryCode).hasMatch() ? countryCode : QString();
    const qint64 distance = integer(place, "distance");
    read.distance = distance >= 0 && distance <= 40075017 ? int(distance) : 0;
    return read;
}

} // namespace

QString ServiceMessages::cameraListUrl()
{
    return model::Model::baseUrl() + QStringLiteral("getSyncList");
}

QString ServiceMessages::synchronizationUrl()
{
    return model::Model::baseUrl() + QStringLiteral("syncCamera");
}

QString ServiceMessages::removalUrl()
{
    return model::Model::baseUrl() + QStringLiteral("removeCamera");
}

QString ServiceMessages::geotagUrl()
{
    return model::Model::baseUrl() + QStringLiteral("geocodeImage");
}

QString ServiceMessages::trackUrl()
{
    return model::Model::baseUrl() + QStringLiteral("getTrack");
}

QByteArray ServiceMessages::cameraListRequest(const QString& userID)
{
    JsonValue request;
    request["userID"] = utf8(userID);
    return written(request);
}

QByteArray ServiceMessages::synchronizationRequest(const QString& userID, const model::PhotoInfo& info,
                                                   const QByteArray& computerZoneId, bool linkUser)
{
    JsonValue request = photoRequest(userID, info);
    request["syncID"] = utf8(info.syncId);
    request["elapsedTime"] = int(info.elapsedTime);
    request["subSecTimeOriginal"] = utf8(info.subSecTimeOriginal);
    request["computerZoneId"] = computerZoneId.toStdString();
    if (linkUser)
        request["linkUser"] = JsonValue(true);
    return written(request);
}

QByteArray ServiceMessages::removalRequest(const QString& userID, const model::Camera& camera)
{
    // The service removes only synchronizations of the user named here. A
    // camera without synchronizations still sends the text null.
    JsonValue request;
    for (const model::Synchronization& synchronization : camera.synchronizations)
        request["synchronizations"].append() = utf8(synchronization.syncId);
    if (!camera.synchronizations.isEmpty())
        request["userID"] = utf8(userID);
    return written(request);
}

QByteArray ServiceMessages::geotagRequest(const QString& userID, const model::PhotoInfo& info)
{
    JsonValue request = photoRequest(userID, info);
    if (!info.subSecTimeOriginal.isEmpty())
        request["subSecTimeOriginal"] = utf8(info.subSecTimeOriginal);
    return written(request);
}

QByteArray ServiceMessages::trackRequest(const QString& userID, const QDateTime& fromUtc, const QDateTime& toUtc)
{
    const QString format = QStringLiteral("yyyy-MM-ddTHH:mm:ssZ");
    JsonValue request;
    request["userID"] = utf8(userID);
    request["from"] = utf8(fromUtc.toUTC().toString(format));
    request["to"] = utf8(toUtc.toUTC().toString(format));
    return written(request);
}

QString ServiceMessages::text(const JsonValue& value, const char* key)
{
    return QString::fromUtf8(value.get(key).asString(nullptr));
}

bool ServiceMessages::flag(const JsonValue& value, const char* key)
{
    const JsonValue& member = value.get(key);
    return member.kind == JsonValue::Boolean && member.text == "true";
}

void ServiceMessages::readCameraList(const JsonValue& answer, model::CameraList* list)
{
    list->clear();
    list->phoneName = QString::fromUtf8(answer.get("phoneName").asString("Unknown"));
    const JsonValue& cameras = answer.get("cameras");
    for (unsigned i = 0; i < cameras.size(); ++i) {
        const JsonValue& element = cameras.at(i);
        model::Camera camera;
        camera.name = text(element, "cameraName");
        camera.serial = text(element, "serial");
        camera.drift = text(element, "drift");
        camera.driftMsPerWeek = integer(element, "driftMsPerWeek");
        const JsonValue& synchronizations = element.get("synchronizations");
        for (unsigned j = 0; j < synchronizations.size(); ++j) {
            const JsonValue& entry = synchronizations.at(j);
            model::Synchronization synchronization;
            synchronization.syncId = text(entry, "syncId");
            synchronization.timeZoneTime = text(entry, "timeZoneTime");
            synchronization.timeZone = text(entry, "timeZone");
            synchronization.timeZoneName = text(entry, "timeZoneName");
            camera.synchronizations.append(synchronization);
        }
        list->append(camera);
    }
}

void ServiceMessages::readGeotag(const JsonValue& answer, model::PhotoGeotag* result)
{
    result->photoTime = text(answer, "photoTime");
    result->latitude = answer.get("latitude").asDouble(0.0);
    result->longitude = answer.get("longitude").asDouble(0.0);
    result->altitude = answer.get("altitude").asDouble(0.0);
    result->timeZone = text(answer, "timeZone");
    result->timeZoneId = text(answer, "timeZoneId");
    result->timeZoneName = text(answer, "timeZoneName");
    // Only a moment that reads as one is kept.
    const QString utcTime = text(answer, "utcTime");
    const QDateTime moment = QDateTime::fromString(utcTime, Qt::ISODateWithMs);
    result->utcTime = moment.isValid() && moment.timeSpec() == Qt::UTC ? utcTime : QString();
    // Only a demo account's answers carry the member, always as true.
    const JsonValue& demo = answer.get("demo");
    result->demo = demo.kind == JsonValue::Boolean && demo.text == "true";
    readMetres(answer, "accuracy", &result->accuracy);
    result->accuracyParts = readAccuracyParts(answer.get("accuracyParts"));
    // Also in "No position" answers, whenever a synchronization was used.
    result->clock = readClock(answer.get("clock"));
    result->place = readPlace(answer.get("place"));
}

bool ServiceMessages::readTrack(const JsonValue& answer, model::Track* track)
{
    track->clear();
    const JsonValue& positions = answer.get("positions");
    if (positions.kind != JsonValue::Array || positions.size() > maxTrackPositions)
        return false;
    track->reserve(int(positions.size()));
    for (unsigned i = 0; i < positions.size(); ++i) {
        const JsonValue& position = positions.at(i);
        if (position.kind != JsonValue::Array || position.size() != 3) {
            track->clear();
            return false;
        }
        const std::string& time = position.at(0).text;
        model::TrackPoint point;
        const auto parsed = std::from_chars(time.data(), time.data() + time.size(), point.timeMs);
        point.latitude = position.at(1).asDouble(NAN);
        point.longitude = position.at(2).asDouble(NAN);
        // Written so that NaN fails every test.
        const bool good = position.at(0).kind == JsonValue::Integer && parsed.ec == std::errc()
            && parsed.ptr == time.data() + time.size() && (track->isEmpty() || point.timeMs >= track->last().timeMs)
            && std::fabs(point.latitude) <= 90.0 && std::fabs(point.longitude) <= 180.0;
        if (!good) {
            track->clear();
            return false;
        }
        track->append(point);
    }
    return true;
}

} // namespace controller
