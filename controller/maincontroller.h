#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>

#include "model/model.h"
#include "model/photoinfo.h"
#include "controller/servicestatus.h"

class JsonValue;

namespace controller {

class BarcodeReader;
class ExifInfo;
class RestClient;

// The screens of the main window.
enum Screen {
    HowTo1 = 0,
    HowTo2 = 1,
    HowTo3 = 2,
    SynchronizeHowTo = 3,
    Menu = 4,
    GeocodeSelectFolder = 5,
    GeocodeReady = 6,
    GeocodeProgress = 7,
    GeocodeResults = 8,
    SynchronizeCameras = 9,
    SynchronizeDone = 10,
    Settings = 11,
};

// The one object that runs the program's workflows. It owns the model and the
// workers; views talk to it through its slots and learn the state from its
// signals only.
class MainController : public QObject {
    Q_OBJECT
public:
    explicit MainController(QObject* parent = nullptr);
    ~MainController() override;

    // Picks the first screen and shows the main window; called once at start-up.
    void start();

    Screen currentScreen() const { return screen; }
    model::Model& modelRef() { return *model; }
    RestClient* restClientRef() const { return restClient; }

    // Request codes of the four web-service requests; they appear in the
    // network-error text.
    enum RequestCode {
        CameraListRequest = 1000,
        SynchronizationRequest = 1001,
        RemovalRequest = 1002,
        GeotagRequest = 1003,
        TrackImportRequest = 1004,
        ServiceStatusRequest = 1005,
        SyncCodeRequest = 1006,
    };

    // First step of every answer handler: parses the answer (200 to 204) or
    // fills "head" and "body" with the network-error texts (anything else),
    // and, with notify, shows them through infoPending. A 200 or 201 answer
    // whose body is no JSON object counts as a failed transfer. Returns the
    // status the handler decides by: 0 for such an answer, else `status`.
    quint16 handleResponse(int requestCode, quint16 status, const QByteArray& body, JsonValue& answer, bool notify);

signals:
    void showMainWindow();
    void showSettings(model::Model& model);
    void screenChanged(controller::Screen screen);
    bool infoPending(int code, QString title, QString text);
    void requestSynchronizationsStarted();
    void synchronizationStarted(QString filePath);
    void camerasUpdated(model::CameraList& cameras);
    void geocodingRequested(QString inputFolder, QString outputFolder, int imageCount);
    void geocodeProgress(int processed, int failed, int total);
    void photosUpdated(model::PhotoGeocodeList& photos);
    // Bytes of the track file being sent; finished once the last answer is in.
    void trackImportProgress(QString fileName, qint64 sent, qint64 total);
    void trackImportFinished();
    // A fresh synchronization code, or an empty identifier and the reason.
    void syncCodeUpdated(QString syncId, qint64 elapsedMs, qint64 validForMs, QString problem);
    void serviceStatusUpdated(controller::ServiceStatus status);
    // Why a chosen folder offers nothing to geotag; empty when it has photos.
    void photoFolderNote(QString note);
    // The photo a run reads now, before its request is sent.
    void geocodePhotoStarted(QString filePath);
    // A run ended by STOP after `processed` of `total` photos.
    void geocodeStopped(int processed, int total);
    // The camera of a successful synchronization and how far its clock is off.
    void cameraSynchronized(QString report);

public slots:
    void toGeocodePhotos();
    void toSynchronizeCamera();
    void toSettings();
    void toPreviousScreen();
    void toNextScreen();
    void requestCameraSynchronizations();
    void synchronizeCamera(QString filePath);
    void requestRemoveCamera(model::Camera& camera);
    void geocodePhotos(QString folderPath);
    void startGeocoding();
    // Sends track files one after the other to the service; one message
    // tells how each went.
    void importTracks(QStringList filePaths);
    void requestSyncCode();
    void requestServiceStatus();
    // Starts the service program beside this one when the base URL is local;
    // false when it cannot be started.
    bool startLocalService();

    // Writes the last run's results to csvPath and, beside it, the same name
    // ending in ".gpx"; one box tells how it went.
    void exportResults(QString csvPath);

public:
    static constexpr const char* notProcessedTitle = QT_TR_NOOP("Not processed (stopped)");
    // The text of the synchronization report; clockOffset is the camera's
    // clock minus the local time in seconds, or missing (offsetKnown false).
    static QString synchronizationReport(const QString& camera, bool again, bool offsetKnown, qint64 clockOffset);
    // True when the web service's host is this machine.
    static bool isLocalService();

private:
    struct GeocodeRun;

    void goTo(Screen next);
    // Writes config.dat and the preferences file.
    void saveSettings();
    Screen userScreen() const;
    void onCameraListAnswer(int code, const QByteArray& body);
    // Sends the synchronization request once the photo has been read off the
    // GUI thread; failure is the message title when it could not be read.
    void onSynchronizationPhotoRead(const QString& filePath, const QString& failure, const model::PhotoInfo& info);
    void onSynchronizationAnswer(int code, const QByteArray& body, const model::PhotoInfo& info);
    void onRemovalAnswer(int code, const QByteArray& body);
    void onGeocodeAnswer(const std::shared_ptr<GeocodeRun>& run, const QString& path, const model::PhotoInfo& info,
                         int code, const QByteArray& body);
    void finishPhoto(GeocodeRun& run, const model::PhotoGeocode& result);
    // One connection attempt to the web service before a run or a
    // synchronization; shows one box and returns false when it fails.
    bool serviceReachable();
    bool knowsCamera(const model::PhotoInfo& info) const;
    QString outputFolderProblem() const;
    void importNextTrack();
    void onTrackImportAnswer(const QString& name, int code, const QByteArray& body);
    void finishTrack(bool imported, const QString& text);
    // Asks whether to start a local service that does not answer.
    void offerToStartService();
    // Blocks until at least one event has arrived and handles it.
    static void waitForEvents();

    std::shared_ptr<model::Model> model;
    Screen screen = Menu;
    BarcodeReader* barcodeReader = nullptr;
    ExifInfo* exifInfo = nullptr;
    RestClient* restClient = nullptr;
    bool stopRequested = false;
    // The geotagging run in progress, if any; answers of earlier runs are
    // recognised by their own run object and dropped.
    std::shared_ptr<GeocodeRun> activeRun;
    int runCount = 0;
    // Track files waiting to be sent (the first one is on its way) and what
    // the answers of this batch said.
    QStringList trackQueue;
    QStringList trackReport;
    int trackFailures = 0;
    bool startOffered = false;
};

} // namespace controller

Q_DECLARE_METATYPE(controller::Screen)
