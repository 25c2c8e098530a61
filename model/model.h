#pragma once

#include <QList>
#include <QObject>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QVector>

namespace model {

// One registration of a camera's clock, as the web service sends it.
struct Synchronization {
    QString syncId;
    QString timeZoneTime;
    QString timeZone;
    QString timeZoneName;
};

struct Camera {
    QString name;
    QString serial;
    QList<Synchronization> synchronizations;
    // How far the camera's clock drifts, from its latest synchronizations:
    // "drifts 7 s a week", empty when unknown; in ms a week, positive when
    // the clock gains, 0 when unknown.
    QString drift {}; // initialized here, so that Camera{name, serial, {}} needs no more
    qint64 driftMsPerWeek = 0;
};

// The synchronized cameras of one camera-list answer, with the phone name of
// the same answer.
class CameraList : public QList<Camera> {
public:
    QString phoneName;
};

// One position of a track: UTC milliseconds since the epoch and degrees.
struct TrackPoint {
    qint64 timeMs = 0;
    double latitude = 0.0;
    double longitude = 0.0;
};
// A track's positions, time ascending.
using Track = QVector<TrackPoint>;

// Where the clock offset of one photo came from, as the service tells it.
// Every text is the service's own; all empty when it used no
// synchronization.
struct ClockOffset {
    // The whole account in one sentence, naming the synchronizations.
    QString text;
    // "one", "interpolated", "extrapolated", "held" or "nearer".
    QString method;
    // The local times of the one or two synchronizations used.
    QStringList synchronizations;
    // The clock was set between the two synchronizations around the photo.
    bool clockChanged = false;
    // "The camera NIKON D750 (serial number 3001234)".
    QString camera;
    // "drifts 7 s a week"; empty when unknown.
    QString drift;
    // Camera clock minus true UTC, and its uncertainty, in ms.
    qint64 offsetMs = 0;
    qint64 uncertaintyMs = 0;
};

// What the stated error of a position is made of, in metres: the fixes' own
// accuracy, the movement the phone could have made unobserved and the
// clock's uncertainty.
struct AccuracyParts {
    bool known = false;
    double fixes = 0.0;
    double movement = 0.0;
    double clock = 0.0;
};

// The named place nearest a position, as the service tells it: every text
// empty when unknown (at sea a country alone, or nothing at all).
struct Place {
    QString city;
    // A section of the city when the nearest place is one.
    QString sublocation;
    // The first-level region of the city.
    QString region;
    QString country;
    // ISO 3166-1 alpha-2 ("PT").
    QString countryCode;
    // Metres from the position to the city; 0 without one.
    int distance = 0;

    bool isEmpty() const;
    // The texts people read, smallest first: "Mitte, Berlin, Germany",
    // "Lisbon, Portugal", "Portugal"; empty when nothing is known.
    QString text() const;
};

// The result for one photo of a geotagging run.
struct PhotoGeotag {
    // Where the position came from: the service's answer, the map (placed
    // by hand), or the track at the photo's corrected moment.
    enum class Origin { Service, Hand, Track };

    QString filePath;
    bool success = false;
    QString photoTime;
    QString dateTimeOriginal;
    double latitude = 0.0;
    double longitude = 0.0;
    double altitude = 0.0;
    QString timeZone;
    QString timeZoneId;
    QString timeZoneName;
    // The stated error of the position in metres (one decimal), and its parts.
    double accuracy = 0.0;
    AccuracyParts accuracyParts;
    ClockOffset clock;
    // The named place of the position; empty when the service knows none.
    Place place;
    QString errorTitle;
    QString errorText;
    // The corrected date and time were written into the photo.
    bool timeWritten = false;
    // Why the photo could not be written, in plain words; empty when unknown.
    QString errorCause;
    // The XMP sidecar that got the tags; empty when they went into the photo.
    QString sidecarPath;
    // The position came from the service's demo data, not from a phone.
    bool demo = false;
    // The photo's corrected moment as the answer's "utcTime" (ISO 8601 UTC
    // with milliseconds); empty when unknown.
    QString utcTime;
    Origin origin = Origin::Service;

    // What the results show for this photo: the error title, with the cause
    // of a failed write, or with the notes on where the position came from
    // and the sidecar that got the tags.
    QString summary() const;
    // The words every view and export of a demo position carries.
    static QString demoNote();
    // The same for a position placed on the map or on the track; empty for
    // the service's positions.
    static QString originNote(Origin origin);
    // A position placed on the map or on the track has no accuracy (and
    // no altitude) of its own.
    bool placed() const { return origin != Origin::Service; }
    // A distance in metres with one decimal and its unit: "23.4 m".
    static QString metresText(double metres);
};

using PhotoGeotagList = QList<PhotoGeotag>;

// One sentence per camera of photos whose clock drift is known, in the
// order the cameras first appear: "The camera NIKON D750 (serial number
// 3001234) drifts 7 s a week." A camera comes once, with the drift of its
// first photo that has one.
QStringList cameraDrifts(const PhotoGeotagList& photos);

// Everything the program knows between two user actions. Only userID, the
// two settings (config.dat) and the preferences (settings.ini) are
// persisted; the rest is refilled by the controller from the web service and
// from each geotagging run.
class Model : public QObject {
    Q_OBJECT
public:
    explicit Model(QObject* parent = nullptr);

    QString userID;
    bool rewrite = false;
    bool modifyTimeDate = false;
    // Preferences kept beside config.dat in their own file (settings.ini), so
    // that config.dat keeps its format.
    bool includeSubfolders = false;
    bool rawSidecars = false;
    // Place names go into the photos with the position; those a photo has
    // already are replaced only with replacePlaceNames.
    bool writePlaceNames = true;
    bool replacePlaceNames = false;
    // Whether the local web service Kestrel starts listens on all addresses,
    // for phones on this network, or on this computer only.
    bool serviceOnNetwork = false;
    // Where the main window was and how large (an invalid rectangle: never
    // placed), and whether it was maximized.
    QRect windowGeometry;
    bool windowMaximized = false;
    // The map shows the online OpenStreetMap tiles instead of the offline map.
    bool onlineMap = false;
    CameraList cameras;
    int imageCount = 0;
    QString inputFolder;
    QString outputFolder;
    PhotoGeotagList photos;
    // The phone's positions over the last run's period, for its map.
    Track track;

    // Reads config.dat; false (and nothing changed) when it cannot be opened.
    bool load(QString filePath);
    // Replaces config.dat atomically; false when it cannot be written, and
    // then the old file is left as it was.
    bool save(QString filePath);
    // Reads and writes the preferences file (an INI file); a missing file or
    // key leaves the default. Saving replaces the file atomically.
    void loadPreferences(const QString& filePath);
    bool savePreferences(const QString& filePath) const;

    // The program's version, as the build sets it ("1.0.36.474").
    static QString version();
    // Base URL of the web service, ending in "/". The build's default can be
    // overridden by the environment variable KESTREL_SERVICE_URL.
    static QString baseUrl();
    // The per-user application-data folder + "config.dat"; the folder is
    // created by the first call.
    static QString configFilePath();
    // The preferences file beside config.dat.
    static QString preferencesFilePath();
    static QStringList photoFilePatterns();
    static QStringList rawUnsupportedMakes();
    static QStringList nonRawSuffixes();
    static int maxPendingRequests();
    static int requestAttempts();

    // Checks a base URL given from outside: an http or https URL with a host.
    // Returns it with a trailing "/" added, or a null string when invalid.
    static QString normalizedBaseUrl(const QString& url);
};

} // namespace model

