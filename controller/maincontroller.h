#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QRect>
#include <QString>
#include <QStringList>
#include <memory>

#include "controller/launcher.h"
#include "controller/restclient.h"
#include "controller/serviceinstall.h"
#include "controller/servicestatus.h"
#include "model/failure.h"
#include "model/model.h"
#include "model/photoinfo.h"

class JsonValue;

namespace controller {

class BarcodeReader;
class ExifInfo;
class Placement;

// The screens of the main window.
enum Screen {
    HowTo1 = 0,
    HowTo2 = 1,
    HowTo3 = 2,
    SynchronizeHowTo = 3,
    Menu = 4,
    GeotagSelectFolder = 5,
    GeotagReady = 6,
    GeotagProgress = 7,
    GeotagResults = 8,
    SynchronizeCameras = 9,
    SynchronizeDone = 10,
    Settings = 11,
    GeotagMap = 12,
};

// The one object that runs the program's workflows. It shares the model with
// whoever made it and owns the workers; views talk to it through its slots
// and learn the state from its signals only.
class MainController : public QObject {
    Q_OBJECT
public:
    // Works on sharedModel and sends its requests through client, which it
    // takes over as its child; each left out is made here. The model is read
    // from the settings files now and written to them when the controller goes.
    explicit MainController(std::shared_ptr<model::Model> sharedModel = nullptr, RestClient* client = nullptr,
                            QObject* parent = nullptr);
    ~MainController() override;

    // Picks the first screen and shows the main window; called once at start-up.
    void start();

    Screen currentScreen() const { return m_screen; }
    // The map shows the online tiles, as last chosen.
    bool onlineMap() const { return m_model->onlineMap; }

    // Reads an answer of the web service into *answer: true for a 200 or 201
    // answer whose body is a JSON object. Otherwise false, and *failure gets
    // the message for the user: the head and body of the service's answer
    // (202 to 204, which *answer then holds), or "Network error" and a text
    // that names the request.
    static bool readAnswer(Request request, quint16 status, const QByteArray& body, JsonValue* answer,
                           model::Failure* failure = nullptr);
    // The first step of the handlers that tell the user how a request went:
    // readAnswer, then the message shown through infoPending, the service's
    // own (201 to 204) or the network error's.
    bool readAndShowAnswer(Request request, quint16 status, const QByteArray& body, JsonValue* answer,
                           model::Failure* failure = nullptr);

signals:
    // Shows the main window where it was last (an invalid geometry: where
    // the system puts it), maximized when it was.
    void showMainWindow(QRect geometry, bool maximized);
    void showSettings(model::Model& model);
    void screenChanged(controller::Screen screen);
    // A message for the user. code is a Status (which gives the box its sign,
    // and Cancel to a Question), or the HTTP status of a failed transfer, 0
    // when no answer came. Returns true when the user accepted the message.
    bool infoPending(int code, QString title, QString text);
    void requestSynchronizationsStarted();
    void synchronizationStarted(QString filePath);
    void camerasUpdated(model::CameraList& cameras);
    void geotaggingRequested(QString inputFolder, QString outputFolder, int imageCount);
    void geotagProgress(int processed, int failed, int total);
    void photosUpdated(model::PhotoGeotagList& photos);
    // Bytes of the track file being sent; finished once the last answer is in.
    void trackImportProgress(QString fileName, qint64 sent, qint64 total);
    void trackImportFinished();
    // A fresh synchronization code, or an empty identifier and the reason.
    // unlinked: no account answers for this computer (it has no identifier,
    // or the service knows none), so there is no code until it is linked.
    void syncCodeUpdated(QString syncId, qint64 elapsedMs, qint64 validForMs, QString problem, bool unlinked);
    void serviceStatusUpdated(controller::ServiceStatus status);
    // Why a chosen folder offers nothing to geotag; empty when it has photos.
    void photoFolderNote(QString note);
    // The photo a run reads now, before its request is sent.
    void geotagPhotoStarted(QString filePath);
    // A run ended by STOP after `processed` of `total` photos.
    void geotagStopped(int processed, int total);
    // The camera of a successful synchronization and how far its clock is off.
    void cameraSynchronized(QString report);
    // The map page opens; index is the photo to centre on, -1 for all.
    void mapFocusWanted(int index);
    // The track of the last run's period; problem says why there is none.
    void trackUpdated(model::Track track, QString problem);
    // The track of the last day with positions, for the service's settings.
    void statusTrackUpdated(model::Track track);
    // What Undo on the map would undo; empty when nothing.
    void undoChanged(QString text);

public slots:
    void toGeotagPhotos();
    void toSynchronizeCamera();
    void toSettings();
    void toPreviousScreen();
    void toNextScreen();
    void requestCameraSynchronizations();
    void synchronizeCamera(QString filePath);
    void requestRemoveCamera(model::Camera& camera);
    void geotagPhotos(QString folderPath);
    void startGeotagging();
    // Sends track files one after the other to the service; one message
    // tells how each went.
    void importTracks(QStringList filePaths);
    // The same for track files given when the program starts: sent once the
    // web service answers (after the offer to start it, when it did not),
    // or after 20 s at the latest, when sending them tells what is wrong.
    void importTracksOnceServiceAnswers(QStringList filePaths);
    void requestSyncCode();
    void requestServiceStatus();
    // Keeps where the main window is, for the next start.
    void keepWindowPlacement(QRect geometry, bool maximized);
    // Starts the local web service when the base URL is local, for phones on
    // this network or this computer only as last chosen: the user unit of an
    // installed Kestrel, else the service program beside this one. False when
    // it cannot be started (a failure of the unit's start, which comes
    // later, is shown then).
    bool startLocalService();
    // Restarts the local service that Kestrel (or the start script) started,
    // or the user unit, or starts it, listening on all addresses; the choice
    // is remembered.
    void letPhonesReachService();
    // Makes a demo phone with positions around Munich in the local service's
    // database and uses its account from now on.
    void createDemo();
    // Opens the phone page in the browser, or says where it is.
    void openPhonePage();
    // Tells how this computer is linked to a phone, the phone page of status
    // named.
    void explainLinking(const controller::ServiceStatus& status);
    // Asks first; then forgets the identifier and the cameras (the service
    // keeps them) and shows the first how-to page. True when forgotten.
    bool forgetLink();

    // The map of the last run, centred on the photo at index (-1: all).
    void showMap(int index = -1);
    void setOnlineMap(bool online);
    // Puts the photo at index where the user placed it on the map, or on the
    // track at its corrected time, with the run's write; one message says
    // why when it could not be written (nothing changed then).
    void placePhoto(int index, double latitude, double longitude);
    void snapPhoto(int index);
    // Brings the files of the last placement back as they were.
    void undoPlacement();
    // Asks for the track of the day up to the last position (ISO 8601 UTC).
    void requestStatusTrack(const QString& lastPosition);

    // Writes the last run's results to csvPath and, beside it, the same name
    // ending in ".gpx"; one box tells how it went.
    void exportResults(QString csvPath);

public:
    static constexpr const char* notProcessedTitle = QT_TR_NOOP("Not processed (stopped)");
    // The text of the synchronization report; clockOffset is the camera's
    // clock minus the local time in seconds, or missing (offsetKnown false).
    // zoneSource ("phone" or "computer") and zoneName say which local time.
    static QString synchronizationReport(const QString& camera, bool again, bool offsetKnown, qint64 clockOffset,
                                         const QString& zoneSource = QString(), const QString& zoneName = QString());
    // True when the web service's host is this machine.
    static bool isLocalService();
    // Test seam: what starts the service program and the browser.
    void setLauncher(std::unique_ptr<Launcher> launcher);
    // Test seam: whether Kestrel is installed with the service's user unit.
    void setServiceInstall(const ServiceInstall& install);

private:
    struct GeotagRun;

    void goTo(Screen next);
    // Writes config.dat and the preferences file.
    void saveSettings();
    Screen userScreen() const;
    // Shows a message through infoPending.
    void showMessage(Status status, const QString& title, const QString& text);
    void showFailure(const model::Failure& failure);
    void onCameraListAnswer(RestClient::Result result, const QByteArray& body);
    // Sends the synchronization request once the photo has been read off the
    // GUI thread, or shows why it could not be read.
    void onSynchronizationPhotoRead(bool read, const model::Failure& failure, const model::PhotoInfo& info);
    // Sends the synchronization request of the photo; linkUser once the user
    // agreed to link this computer to the code's owner.
    void sendSynchronization(const model::PhotoInfo& info, bool linkUser);
    void onSynchronizationAnswer(RestClient::Result result, const QByteArray& body, const model::PhotoInfo& info,
                                 bool linkUser);
    // A refusal that offers to link this computer to the code's owner is a
    // question: true when it was one (and asked).
    bool askToLink(RestClient::Result result, const QByteArray& body, const model::PhotoInfo& info);
    void onRemovalAnswer(RestClient::Result result, const QByteArray& body);
    // The steps of startGeotagging: the new run, sending every photo (the
    // number sent or handled is returned), writing the new files to the disk
    // and the list of results.
    std::shared_ptr<GeotagRun> beginRun();
    // Where the copy of a photo goes when the originals are kept.
    QString copyPath(const QString& path) const;
    // When copies of the same names are in the output folder already, asks
    // once whether to replace them; false when the user would rather not.
    bool mayReplaceCopies(const QStringList& paths);
    int sendPhotos(const std::shared_ptr<GeotagRun>& run, const QStringList& paths);
    void flushWritten(GeotagRun& run);
    void listResults(const QStringList& paths);
    void onGeotagAnswer(const std::shared_ptr<GeotagRun>& run, const QString& path, const model::PhotoInfo& info,
                        RestClient::Result answered, const QByteArray& body);
    void finishPhoto(GeotagRun& run, const model::PhotoGeotag& result);
    // One connection attempt to the web service before a run or a
    // synchronization; false when the service cannot be reached.
    bool serviceReachable(model::Failure* failure = nullptr) const;
    bool knowsCamera(const model::PhotoInfo& info) const;
    // False when the run's output folder cannot take the new files.
    bool outputFolderUsable(model::Failure* failure = nullptr) const;
    // Reads the first track file of the queue; false when it is not sent.
    bool readTrack(const QString& path, QByteArray* data, model::Failure* failure = nullptr) const;
    void importNextTrack();
    void onTrackImportAnswer(const QString& name, RestClient::Result result, const QByteArray& body);
    void finishTrack(bool imported, const QString& text);
    void onSyncCodeAnswer(RestClient::Result result, const QByteArray& body);
    void onServiceStatusAnswer(RestClient::Result result, const QByteArray& body);
    // Asks whether to start a local service that does not answer, and
    // whether phones on this network may reach it.
    void offerToStartService();
    // Starts the local service: through the user unit when installed with
    // it, else the program beside this one.
    bool startService(bool network);
    // Starts the service program detached, its process id in the pid file;
    // false when it did not start.
    bool startServiceProgram(bool network);
    // Writes the address and port into the user unit's options file, then
    // enables and restarts the unit; false when the file cannot be written.
    bool startUserUnit(bool network);
    // Runs "systemctl --user <verb> <unit>" for each verb in turn; asks for
    // the service's status after the last. When one fails, starts the
    // program itself and says why, or says that neither worked.
    void runSystemctl(QStringList verbs, bool network);
    // Starts the service and asks for its status once it had time to start;
    // says so when the program is missing.
    void startAndAsk(bool network);
    void requestRunTrack();
    void requestRunTrack(const QDateTime& from, const QDateTime& to, bool forStatus);
    void place(int index, double latitude, double longitude, model::PhotoGeotag::Origin origin);
    // Blocks until at least one event has arrived and handles it.
    static void waitForEvents();

    std::shared_ptr<model::Model> m_model;
    Screen m_screen = Menu;
    BarcodeReader* m_barcodeReader = nullptr;
    ExifInfo* m_exifInfo = nullptr;
    RestClient* m_restClient = nullptr;
    bool m_stopRequested = false;
    // The geotagging run in progress, if any; answers of earlier runs are
    // recognised by their own run object and dropped.
    std::shared_ptr<GeotagRun> m_activeRun;
    int m_runCount = 0;
    // Track files waiting to be sent (the first one is on its way) and what
    // the answers of this batch said.
    QStringList m_trackQueue;
    QStringList m_waitingTracks; // until the web service answers
    QStringList m_trackReport;
    int m_trackFailures = 0;
    bool m_startOffered = false;
    std::unique_ptr<Launcher> m_launcher = std::make_unique<Launcher>();
    ServiceInstall m_serviceInstall;
    // The last run's placements on the map and the photo Undo would restore.
    std::unique_ptr<Placement> m_placement;
    int m_undoIndex = -1;
};

} // namespace controller

Q_DECLARE_METATYPE(controller::Screen)
