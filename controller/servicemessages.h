#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include "model/model.h"
#include "model/photoinfo.h"

class JsonValue;

namespace controller {

// The requests sent to the web service and the reading of its answers. Bodies
// are compact JSON texts; texts travel as UTF-8.
class ServiceMessages {
public:
    // Endpoint names, appended to Model::baseUrl().
    static QString cameraListUrl();
    static QString synchronizationUrl();
    static QString removalUrl();
    static QString geotagUrl();
    static QString trackUrl();

    static QByteArray cameraListRequest(const QString& userID);
    // computerZoneId is this computer's own zone (an IANA name), which the
    // service measures the clock in when the phone was nowhere near at the
    // time; linkUser, sent only once the user agreed, lets the service link
    // this computer's account to the owner of a code from another phone.
    static QByteArray synchronizationRequest(const QString& userID, const model::PhotoInfo& info,
                                             const QByteArray& computerZoneId, bool linkUser = false);
    // The JSON text null for a camera without synchronizations.
    static QByteArray removalRequest(const QString& userID, const model::Camera& camera);
    static QByteArray geotagRequest(const QString& userID, const model::PhotoInfo& info);
    // The user's track between two moments, sent as ISO 8601 UTC
    // ("2026-05-01T08:00:00Z").
    static QByteArray trackRequest(const QString& userID, const QDateTime& fromUtc, const QDateTime& toUtc);

    // A text member as QString; empty when missing or not a JSON string.
    static QString text(const JsonValue& value, const char* key);
    // True when the member is the JSON value true.
    static bool flag(const JsonValue& value, const char* key);
    // Replaces the cameras and the phone name of list by those of answer.
    static void readCameraList(const JsonValue& answer, model::CameraList* list);
    // Fills the position, accuracy, clock offset, place and time-zone fields
    // of result from answer; a member missing or of the wrong kind leaves its
    // field at the default.
    static void readGeotag(const JsonValue& answer, model::PhotoGeotag* result);
    // The most positions a track answer may hold: the service sends at most
    // 20,000.
    static constexpr unsigned maxTrackPositions = 20500;
    // Fills track from the "positions" of a track answer: [timeMs, latitude,
    // longitude] each, time ascending. False, and track emptied, when any of
    // it is malformed: a time that is no integer or goes back, a coordinate
    // out of range, an element of another shape, too many positions.
    static bool readTrack(const JsonValue& answer, model::Track* track);
};

} // namespace controller
