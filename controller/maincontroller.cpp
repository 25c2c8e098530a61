#include "controller/maincontroller.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QEventLoop>
#include <QThread>

#include <algorithm>

#include <exiv2/exiv2.hpp>

#include "controller/barcodereader.h"
#include "controller/exifinfo.h"
#include "controller/photolisting.h"
#include "controller/placement.h"
#include "controller/resultexport.h"
#include "controller/restclient.h"
#include "controller/servicemessages.h"
#include "json/jsonvalue.h"

namespace controller {

// The counters of one geotagging run. Every answer handler holds the run that
// sent its request, so an answer arriving after its run has ended (stopped,
// or followed by a new run) is recognised and dropped.
struct MainController::GeotagRun {
    int number = 0;
    int processed = 0;
    int failed = 0;
    bool ended = false;
    // Folders already rid of the temporary files of a killed run.
    QSet<QString> cleanedFolders;
    // Whether the output folder takes the new files, and why not.
    bool outputUsable = true;
    model::Failure outputFailure;
};

MainController::MainController(std::shared_ptr<model::Model> sharedModel, RestClient* client, QObject* parent)
    : QObject(parent)
    , m_model(sharedModel ? std::move(sharedModel) : std::make_shared<model::Model>())
    , m_barcodeReader(new BarcodeReader(this))
    , m_exifInfo(new ExifInfo(this))
    , m_restClient(client ? client : new RestClient)
{
    m_restClient->setParent(this);
    qRegisterMetaType<controller::Screen>("controller::Screen");
    m_model->load(model::Model::configFilePath());
    m_model->loadPreferences(model::Model::preferencesFilePath());
}

MainController::~MainController()
{
    saveSettings();
}

void MainController::saveSettings()
{
    m_model->save(model::Model::configFilePath());
    m_model->savePreferences(model::Model::preferencesFilePath());
}

void MainController::start()
{
    m_screen = m_model->userID.isEmpty() ? HowTo1 : Menu;
    emit screenChanged(m_screen);
    emit showMainWindow(m_model->windowGeometry, m_model->windowMaximized);
}

void MainController::keepWindowPlacement(QRect geometry, bool maximized)
{
    m_model->windowGeometry = geometry;
    m_model->windowMaximized = maximized;
}

void MainController::goTo(Screen next)
{
    m_screen = next;
    emit screenChanged(m_screen);
}

Screen MainController::userScreen() const
{
    return m_model->userID.isEmpty() ? HowTo3 : Menu;
}

void MainController::toGeotagPhotos()
{
    goTo(GeotagSelectFolder);
}

void MainController::toSynchronizeCamera()
{
    if (m_model->userID.isEmpty()) {
        goTo(SynchronizeHowTo);
        return;
    }
    m_screen = SynchronizeCameras;
    requestCameraSynchronizations();
    emit screenChanged(m_screen);
}

void MainController::toSettings()
{
    emit showSettings(*m_model);
    saveSettings();
}

void MainController::toPreviousScreen()
{
    switch (m_screen) {
    case HowTo1:
    case Menu:
        QCoreApplication::exit(0);
        break;
    case HowTo2:
        goTo(HowTo1);
        break;
    case HowTo3:
        goTo(HowTo2);
        break;
    case SynchronizeHowTo:
    case SynchronizeCameras:
    case SynchronizeDone:
        goTo(userScreen());
        break;
    case GeotagSelectFolder:
    case GeotagResults:
    case Settings:
        goTo(Menu);
        break;
    case GeotagReady:
        goTo(GeotagSelectFolder);
        break;
    case GeotagMap:
        goTo(GeotagResults);
        break;
    case GeotagProgress:
        m_stopRequested = true;
        break;
    }
}

void MainController::toNextScreen()
{
    switch (m_screen) {
    case HowTo1:
        goTo(HowTo2);
        break;
    case HowTo2:
        goTo(HowTo3);
        break;
    case HowTo3:
        toSynchronizeCamera();
        break;
    case SynchronizeHowTo:
    case SynchronizeCameras:
    case SynchronizeDone:
        goTo(userScreen());
        break;
    case GeotagResults:
    case GeotagMap:
        goTo(Menu);
        break;
    case GeotagReady:
        // The run shows its own page once the service answered.
        startGeotagging();
        break;
    case Menu:
    case GeotagSelectFolder:
    case GeotagProgress:
    case Settings:
        break;
    }
}

bool MainController::readAnswer(Request request, quint16 status, const QByteArray& body, JsonValue* answer,
                                model::Failure* failure)
{
    const RestClient::Result result { status };
    QByteArray reason = body;
    if (status >= code(Status::Ok) && status <= code(Status::Error)) {
        *answer = JsonValue::parse(body.toStdString());
        if (!result.succeeded()) {
            model::fail(failure, ServiceMessages::text(*answer, "head"), ServiceMessages::text(*answer, "body"));
            return false;
        }
        if (answer->kind == JsonValue::Object)
            return true;
        // A success whose body is no JSON object is a broken answer, not an
        // empty one: it fails like a failed transfer.
        reason = QByteArrayLiteral("invalid answer");
    }
    *answer = JsonValue();
    // A service on this machine does not depend on the internet.
    const QString text = tr("Network error (%1) on %2.").arg(QString::fromUtf8(reason), QString::number(code(request)))
        + QLatin1Char('\n')
        + (isLocalService() ? tr("Please check that the web service is running or try again later...")
                            : tr("Please check your internet connection or try again later..."));
    model::fail(failure, tr("Network error"), text);
    return false;
}

bool MainController::readAndShowAnswer(Request request, quint16 status, const QByteArray& body, JsonValue* answer,
                                       model::Failure* failure)
{
    model::Failure message;
    const bool read = readAnswer(request, status, body, answer, &message);
    if (failure)
        *failure = message;
    if (read) {
        if (status != code(Status::Ok))
            emit infoPending(status, ServiceMessages::text(*answer, "head"), ServiceMessages::text(*answer, "body"));
        return true;
    }
    // A broken answer to a request that succeeded is shown as one that never came.
    emit infoPending(RestClient::Result { status }.succeeded() ? 0 : status, message.title, message.detail);
    return false;
}

void MainController::showMessage(Status status, const QString& title, const QString& text)
{
    emit infoPending(code(status), title, text);
}

void MainController::showFailure(const model::Failure& failure)
{
    showMessage(Status::Error, failure.title, failure.detail);
}

// Camera list ----------------------------------------------------------------

void MainController::requestCameraSynchronizations()
{
    emit requestSynchronizationsStarted();
    m_restClient->put(ServiceMessages::cameraListUrl(), ServiceMessages::cameraListRequest(m_model->userID),
                      [this](RestClient::Result result, QByteArray body) { onCameraListAnswer(result, body); });
}

void MainController::onCameraListAnswer(RestClient::Result result, const QByteArray& body)
{
    JsonValue answer;
    if (readAndShowAnswer(Request::CameraList, result.status, body, &answer)) {
        ServiceMessages::readCameraList(answer, &m_model->cameras);
    } else if (result.is(Status::Warning)) {
        // The service does not know this user: forget the identifier. It is
        // written with the next save of the settings file.
        m_model->cameras.clear();
        m_model->userID = QString();
        goTo(HowTo1);
    }
    emit camerasUpdated(m_model->cameras);
}

void MainController::requestRemoveCamera(model::Camera& camera)
{
    // The question runs a nested event loop in which a camera-list answer may
    // rebuild the list that owns the caller's camera: keep a copy.
    const model::Camera removed = camera;
    const QString question = removed.name.isEmpty()
        ? tr("Do you really want to remove this camera?")
        : tr("Do you really want to remove the camera %1?").arg(removed.name);
    if (!emit infoPending(code(Status::Question), question,
                          tr("Kestrel forgets its synchronizations: its photos cannot be geotagged until it is "
                             "synchronized again.")))
        return;
    m_restClient->put(ServiceMessages::removalUrl(), ServiceMessages::removalRequest(m_model->userID, removed),
                      [this](RestClient::Result result, QByteArray body) { onRemovalAnswer(result, body); });
}

void MainController::onRemovalAnswer(RestClient::Result result, const QByteArray& body)
{
    JsonValue answer;
    if (readAndShowAnswer(Request::Removal, result.status, body, &answer))
        requestCameraSynchronizations();
    else
        emit camerasUpdated(m_model->cameras);
}

// Camera synchronization -----------------------------------------------------

void MainController::synchronizeCamera(QString filePath)
{
    emit synchronizationStarted(filePath);
    model::Failure failure;
    if (!serviceReachable(&failure)) {
        showFailure(failure);
        emit camerasUpdated(m_model->cameras);
        return;
    }
    // The photo is read on a thread of its own: looking for the code in a
    // large photo takes up to a second or two, and the window keeps answering
    // meanwhile. The thread has readers of its own, so readings never share
    // state, and it holds nothing of the controller, which may be gone by
    // the time it ends; the result then finds no receiver and is dropped.
    struct Reading {
        model::PhotoInfo info;
        bool read = false;
        model::Failure failure;
    };
    auto reading = std::make_shared<Reading>();
    // exiv2 sets its XMP parser up on first use, which is not safe on two
    // threads at once; done here, on the GUI thread, it is done before any.
    Exiv2::XmpParser::initialize();
    QThread* thread = QThread::create([filePath, reading] {
        reading->info.clear();
        if (!ExifInfo().read(filePath, &reading->info))
            model::fail(&reading->failure, tr("Cannot read EXIF data"), filePath);
        else if (!BarcodeReader().read(filePath, &reading->info))
            model::fail(&reading->failure, tr("Cannot read QR code"), filePath);
        else
            reading->read = true;
    });
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    connect(thread, &QThread::finished, this,
            [this, reading] { onSynchronizationPhotoRead(reading->read, reading->failure, reading->info); });
    thread->start();
}

// Folder geotagging ----------------------------------------------------------

void MainController::geotagPhotos(QString folderPath)
{
    const PhotoListing listing(folderPath, m_model->includeSubfolders);
    goTo(GeotagReady);
    m_model->imageCount = listing.paths().size();
    if (folderPath.endsWith(QLatin1Char('/')))
        folderPath.chop(1);
    m_model->inputFolder = folderPath + QLatin1Char('/');
    m_model->outputFolder = m_model->rewrite ? m_model->inputFolder : folderPath + QStringLiteral("/KESTREL/");
    emit geotaggingRequested(m_model->inputFolder, m_model->outputFolder, m_model->imageCount);
    emit photoFolderNote(listing.emptyReason(m_model->includeSubfolders));
}

void MainController::waitForEvents()
{
    // Sleeps until an answer, a click or a timer arrives instead of spinning.
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

bool MainController::outputFolderUsable(model::Failure* failure) const
{
    if (m_model->rewrite)
        return true;
    QString folder = m_model->outputFolder;
    if (folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    const QFileInfo info(folder);
    if (info.isSymLink()) {
        model::fail(failure, tr("EXIF Error"),
                    tr("The output folder %1 is a link; nothing is written through it.").arg(folder));
        return false;
    }
    if (!info.isDir()) {
        model::fail(failure, tr("EXIF Error"),
                    tr("The output folder %1 cannot be created: a file of that name is in the way.").arg(folder));
        return false;
    }
    return true;
}

void MainController::startGeotagging()
{
    // The run's own event processing could deliver a second start; one run
    // at a time.
    if (m_activeRun)
        return;
    model::Failure failure;
    if (!serviceReachable(&failure)) {
        showFailure(failure);
        return;
    }
    const QStringList paths = PhotoListing(m_model->inputFolder, m_model->includeSubfolders).paths();
    if (!mayReplaceCopies(paths))
        return;
    const std::shared_ptr<GeotagRun> run = beginRun();
    const int taken = sendPhotos(run, paths);
    flushWritten(*run);
    qDebug() << "geotagging run" << run->number << "ended:" << run->processed << "processed," << run->failed
             << "failed," << taken << "taken," << m_model->imageCount << "counted";

    emit geotagProgress(run->processed, run->failed, m_model->imageCount);
    QCoreApplication::processEvents();
    run->ended = true;
    m_activeRun.reset();

    listResults(paths);
    goTo(GeotagResults);
    if (m_stopRequested)
        emit geotagStopped(run->processed, m_model->imageCount);
    emit photosUpdated(m_model->photos);
    requestRunTrack();
}

QString MainController::copyPath(const QString& path) const
{
    // Photos of subfolders go to the same subfolders of the output folder.
    return Placement::copyPath(*m_model, path);
}

bool MainController::mayReplaceCopies(const QStringList& paths)
{
    if (m_model->rewrite)
        return true;
    int existing = 0;
    for (const QString& path : paths)
        existing += QFileInfo::exists(copyPath(path)) ? 1 : 0;
    if (existing == 0)
        return true;
    QString folder = QDir::toNativeSeparators(m_model->outputFolder);
    folder.chop(1);
    return emit infoPending(code(Status::Question), tr("Replace the earlier copies?"),
                            tr("The folder %1 already holds copies of %n of these photos, made by an earlier run. OK "
                               "replaces them with new copies; Cancel leaves every file as it is.",
                               nullptr, existing)
                                .arg(folder));
}

std::shared_ptr<MainController::GeotagRun> MainController::beginRun()
{
    m_stopRequested = false;
    goTo(GeotagProgress);
    m_model->photos.clear();
    // Undo reaches back to this run's placements only.
    m_placement = std::make_unique<Placement>();
    m_undoIndex = -1;
    emit undoChanged(QString());
    auto run = std::make_shared<GeotagRun>();
    run->number = ++m_runCount;
    m_activeRun = run;
    m_exifInfo->setRawSidecars(m_model->rawSidecars);
    m_exifInfo->setPlaceNames(m_model->writePlaceNames, m_model->replacePlaceNames);
    // New files reach the disk at one go when the run ends, not one by one.
    m_exifInfo->setDeferredFlush(true);

    if (!m_model->rewrite)
        QDir().mkdir(m_model->outputFolder);
    run->outputUsable = outputFolderUsable(&run->outputFailure);
    // A run killed earlier may have left temporary files where this one writes.
    if (run->outputUsable) {
        const QString written = QDir::cleanPath(m_model->outputFolder);
        run->cleanedFolders.insert(written);
        ExifInfo::removeStaleTemporaries(written);
    }
    emit geotagProgress(0, 0, m_model->imageCount);
    return run;
}

int MainController::sendPhotos(const std::shared_ptr<GeotagRun>& run, const QStringList& paths)
{
    const int maxPending = model::Model::maxPendingRequests();
    int taken = 0;
    for (const QString& path : paths) {
        ++taken;
        emit geotagPhotoStarted(path);
        model::PhotoInfo info;
        info.clear();
        model::Failure unread;
        const bool readable = m_exifInfo->read(path, &info, &unread);
        if (!readable || !run->outputUsable) {
            model::PhotoGeotag result;
            result.filePath = path;
            result.errorTitle = tr("EXIF Error");
            result.errorText = readable ? run->outputFailure.detail : unread.detail;
            ++run->failed;
            finishPhoto(*run, result);
            continue;
        }
        m_restClient->put(ServiceMessages::geotagUrl(), ServiceMessages::geotagRequest(m_model->userID, info),
                          [this, run, path, info](RestClient::Result result, QByteArray body) {
                              onGeotagAnswer(run, path, info, result, body);
                          });
        // At most maxPending answers are awaited at any moment.
        while (run->processed <= taken - maxPending && !m_stopRequested)
            waitForEvents();
        if (m_stopRequested)
            break;
    }
    // Every photo taken from the listing has been sent or handled; wait for
    // the answers still out. Files that vanished after the folder was chosen
    // were never taken, so they are not waited for.
    while (run->processed < taken && !m_stopRequested)
        waitForEvents();
    return taken;
}

void MainController::flushWritten(GeotagRun& run)
{
    // Nothing counts as written before it is in place and on the disk.
    QHash<QString, model::Failure> unwritten;
    model::Failure unflushed;
    const bool flushed = m_exifInfo->flushWritten(&unwritten, &unflushed);
    m_exifInfo->setDeferredFlush(false);
    for (model::PhotoGeotag& result : m_model->photos) {
        if (!result.success || (flushed && !unwritten.contains(result.filePath)))
            continue;
        result.success = false;
        result.timeWritten = false;
        result.errorTitle = tr("EXIF Error");
        result.errorText = flushed ? unwritten.value(result.filePath).detail : unflushed.detail;
        result.errorCause = unwritten.value(result.filePath).cause;
        ++run.failed;
    }
}

void MainController::listResults(const QStringList& paths)
{
    // The results in the order the photos were taken, each listed photo
    // once: those a STOP left out say so.
    QHash<QString, int> order;
    for (int index = 0; index < paths.size(); ++index)
        order.insert(paths.at(index), index);
    if (m_stopRequested) {
        QSet<QString> finished;
        for (const model::PhotoGeotag& result : qAsConst(m_model->photos))
            finished.insert(result.filePath);
        for (const QString& path : paths) {
            if (finished.contains(path))
                continue;
            model::PhotoGeotag result;
            result.filePath = path;
            result.errorTitle = tr(notProcessedTitle);
            result.errorText = tr("The run was stopped before this photo was geotagged; it was not changed.");
            m_model->photos.append(result);
        }
    }
    std::stable_sort(m_model->photos.begin(), m_model->photos.end(),
                     [&order](const model::PhotoGeotag& a, const model::PhotoGeotag& b) {
                         return order.value(a.filePath, -1) < order.value(b.filePath, -1);
                     });
}

void MainController::exportResults(QString csvPath)
{
    if (!csvPath.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive))
        csvPath += QStringLiteral(".csv");
    const QString gpxPath = csvPath.left(csvPath.size() - 4) + QStringLiteral(".gpx");
    model::Failure failure;
    if (!ResultExport::writeCsv(m_model->photos, csvPath, &failure)
        || !ResultExport::writeGpx(m_model->photos, gpxPath, &failure)) {
        showFailure(failure);
        return;
    }
    showMessage(Status::Success, tr("Results exported"),
                QDir::toNativeSeparators(csvPath) + QLatin1Char('\n') + QDir::toNativeSeparators(gpxPath));
}

void MainController::finishPhoto(GeotagRun& run, const model::PhotoGeotag& result)
{
    m_model->photos.append(result);
    ++run.processed;
    emit geotagProgress(run.processed, run.failed, m_model->imageCount);
    QCoreApplication::processEvents();
}

void MainController::onGeotagAnswer(const std::shared_ptr<GeotagRun>& run, const QString& path,
                                    const model::PhotoInfo& info, RestClient::Result answered,
                                    const QByteArray& body)
{
    if (run->ended || m_stopRequested)
        return;
    JsonValue answer;
    model::Failure failure;
    model::PhotoGeotag result;
    result.filePath = path;
    if (!readAnswer(Request::Geotag, answered.status, body, &answer, &failure)) {
        result.errorTitle = failure.title;
        result.errorText = failure.detail;
        // A refusal that knows when the photo was taken says so: the map
        // puts such a photo on the track. It names the synchronizations
        // the time came from too.
        model::PhotoGeotag taken;
        ServiceMessages::readGeotag(answer, &taken);
        result.utcTime = taken.utcTime;
        result.photoTime = taken.photoTime;
        result.timeZone = taken.timeZone;
        result.timeZoneId = taken.timeZoneId;
        result.timeZoneName = taken.timeZoneName;
        result.clock = taken.clock;
        result.dateTimeOriginal = info.dateTimeOriginal;
        ++run->failed;
        finishPhoto(*run, result);
        return;
    }
    result.errorTitle = ServiceMessages::text(answer, "head");
    result.errorText = ServiceMessages::text(answer, "body");
    ServiceMessages::readGeotag(answer, &result);
    result.dateTimeOriginal = info.dateTimeOriginal;

    // Photos of subfolders are rewritten where they are, or copied to the
    // same subfolders of the output folder.
    const QString target = m_model->rewrite ? path : copyPath(path);
    if (!m_model->rewrite && target.mid(m_model->outputFolder.size()).contains(QLatin1Char('/')))
        QDir().mkpath(QFileInfo(target).absolutePath());
    // Each folder written to loses the temporaries of a killed run once.
    const QString folder = QDir::cleanPath(QFileInfo(target).absolutePath());
    if (!run->cleanedFolders.contains(folder)) {
        run->cleanedFolders.insert(folder);
        ExifInfo::removeStaleTemporaries(folder);
    }

    QString writeError;
    model::Failure unwritten;
    if (m_model->rewrite) {
        // The writer replaces the photo only once the tagged file is complete.
        result.success = m_exifInfo->write(path, m_model->modifyTimeDate, &result, &unwritten);
    } else {
        const QFileInfo targetInfo(target);
        if (targetInfo.exists() && targetInfo.canonicalFilePath() == QFileInfo(path).canonicalFilePath()) {
            // Never delete the original to make room for its own copy.
            writeError = tr("The copy would replace the photo itself; nothing was written.");
        } else {
            // An old copy of the same name is replaced; a failed write leaves
            // no copy at all.
            QFile::remove(target);
            result.success = m_exifInfo->writeCopy(path, target, m_model->modifyTimeDate, &result, &unwritten);
        }
    }
    result.timeWritten = result.success && m_model->modifyTimeDate;
    if (!result.success) {
        result.errorTitle = tr("EXIF Error");
        result.errorText = writeError.isEmpty() ? unwritten.detail : writeError;
        ++run->failed;
    }
    finishPhoto(*run, result);
}

} // namespace controller
