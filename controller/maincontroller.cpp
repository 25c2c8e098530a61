#include "controller/maincontroller.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include "controller/barcodereader.h"
#include "controller/exifinfo.h"
#include "controller/restclient.h"
#include "controller/servicemessages.h"
#include "json/jsonvalue.h"

namespace controller {

// The counters of one geotagging run. Every answer handler holds the run that
// sent its request, so an answer arriving after its run has ended (stopped,
// or followed by a new run) is recognised and dropped.
struct MainController::GeocodeRun {
    int number = 0;
    int processed = 0;
    int failed = 0;
    bool ended = false;
    // Folders already rid of the temporary files of a killed run.
    QSet<QString> cleanedFolders;
};

namespace {

bool isSuccess(quint16 status)
{
    return status == 200 || status == 201;
}

quint16 statusOf(int code)
{
    return quint16(code & 0xFFFF);
}

} // namespace

MainController::MainController(QObject* parent)
    : QObject(parent)
    , model(std::make_shared<model::Model>(this))
    , barcodeReader(new BarcodeReader(this))
    , exifInfo(new ExifInfo(this))
    , restClient(new RestClient(this))
{
    qRegisterMetaType<controller::Screen>("controller::Screen");
    model->load(model::Model::configFilePath());
    model->loadPreferences(model::Model::preferencesFilePath());
}

MainController::~MainController()
{
    saveSettings();
}

void MainController::saveSettings()
{
    model->save(model::Model::configFilePath());
    model->savePreferences(model::Model::preferencesFilePath());
}

void MainController::start()
{
    screen = model->userID.isEmpty() ? HowTo1 : Menu;
    emit screenChanged(screen);
    emit showMainWindow();
}

void MainController::goTo(Screen next)
{
    screen = next;
    emit screenChanged(screen);
}

Screen MainController::userScreen() const
{
    return model->userID.isEmpty() ? HowTo3 : Menu;
}

void MainController::toGeocodePhotos()
{
    goTo(GeocodeSelectFolder);
}

void MainController::toSynchronizeCamera()
{
    if (model->userID.isEmpty()) {
        goTo(SynchronizeHowTo);
        return;
    }
    screen = SynchronizeCameras;
    requestCameraSynchronizations();
    emit screenChanged(screen);
}

void MainController::toSettings()
{
    emit showSettings(*model);
    saveSettings();
}

void MainController::toPreviousScreen()
{
    switch (screen) {
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
    case GeocodeSelectFolder:
    case GeocodeResults:
    case Settings:
        goTo(Menu);
        break;
    case GeocodeReady:
        goTo(GeocodeSelectFolder);
        break;
    case GeocodeProgress:
        stopRequested = true;
        break;
    }
}

void MainController::toNextScreen()
{
    switch (screen) {
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
    case GeocodeResults:
        goTo(Menu);
        break;
    case GeocodeReady:
        goTo(GeocodeProgress);
        startGeocoding();
        break;
    case Menu:
    case GeocodeSelectFolder:
    case GeocodeProgress:
    case Settings:
        break;
    }
}

quint16 MainController::handleResponse(int requestCode, quint16 status, const QByteArray& body, JsonValue& answer,
                                       bool notify)
{
    QByteArray reason = body;
    if (status >= 200 && status <= 204) {
        answer = JsonValue::parse(body.toStdString());
        // A success whose body is no JSON object is a broken answer, not an
        // empty one: it fails like a failed transfer.
        if (!isSuccess(status) || answer.kind == JsonValue::Object) {
            if (notify && status != 200)
                emit infoPending(status, ServiceMessages::text(answer, "head"), ServiceMessages::text(answer, "body"));
            return status;
        }
        status = 0;
        reason = QByteArrayLiteral("invalid answer");
    }
    const QString head = QStringLiteral("Network error");
    const QString text = QStringLiteral("Network error (") + QString::fromUtf8(reason) + QStringLiteral(") on ")
        + QString::number(requestCode)
        + QStringLiteral(".\nPlease check your internet connection or try again later...");
    answer = JsonValue();
    answer["head"] = head.toUtf8().toStdString();
    answer["body"] = text.toUtf8().toStdString();
    if (notify)
        emit infoPending(status, head, text);
    return status;
}

// Camera list ----------------------------------------------------------------

void MainController::requestCameraSynchronizations()
{
    emit requestSynchronizationsStarted();
    restClient->put(ServiceMessages::cameraListUrl(), ServiceMessages::cameraListRequest(model->userID),
                    [this](int code, QByteArray body) { onCameraListAnswer(code, body); });
}

void MainController::onCameraListAnswer(int code, const QByteArray& body)
{
    JsonValue answer;
    const quint16 status = handleResponse(CameraListRequest, statusOf(code), body, answer, true);
    if (isSuccess(status)) {
        ServiceMessages::readCameraList(answer, &model->cameras);
    } else if (status == 203) {
        // The service does not know this user: forget the identifier. It is
        // written with the next save of the settings file.
        model->cameras.clear();
        model->userID = QString();
        goTo(HowTo1);
    }
    emit camerasUpdated(model->cameras);
}

void MainController::requestRemoveCamera(model::Camera& camera)
{
    // The question runs a nested event loop in which a camera-list answer may
    // rebuild the list that owns the caller's camera: keep a copy.
    const model::Camera removed = camera;
    const QString question = removed.name.isEmpty()
        ? tr("Do you really want to remove this camera?")
        : tr("Do you really want to remove the camera %1?").arg(removed.name);
    if (!emit infoPending(222, question,
                          tr("Kestrel forgets its synchronizations: its photos cannot be geotagged until it is "
                             "synchronized again.")))
        return;
    restClient->put(ServiceMessages::removalUrl(), ServiceMessages::removalRequest(model->userID, removed),
                    [this](int code, QByteArray body) { onRemovalAnswer(code, body); });
}

void MainController::onRemovalAnswer(int code, const QByteArray& body)
{
    JsonValue answer;
    const quint16 status = handleResponse(RemovalRequest, statusOf(code), body, answer, true);
    if (isSuccess(status))
        requestCameraSynchronizations();
    else
        emit camerasUpdated(model->cameras);
}

// Camera synchronization -----------------------------------------------------

void MainController::synchronizeCamera(QString filePath)
{
    emit synchronizationStarted(filePath);
    model::PhotoInfo info;
    info.clear();
    if (!exifInfo->read(filePath, &info)) {
        emit infoPending(204, QStringLiteral("Cannot read EXIF data"), filePath);
        emit camerasUpdated(model->cameras);
        return;
    }
    if (!barcodeReader->read(filePath, &info)) {
        emit infoPending(204, QStringLiteral("Cannot read QR code"), filePath);
        emit camerasUpdated(model->cameras);
        return;
    }
    const QByteArray request = ServiceMessages::synchronizationRequest(model->userID, info);
    qDebug().noquote() << "syncCamera" << QString::fromUtf8(request);
    restClient->put(ServiceMessages::synchronizationUrl(), request,
                    [this](int code, QByteArray body) { onSynchronizationAnswer(code, body); });
}

void MainController::onSynchronizationAnswer(int code, const QByteArray& body)
{
    JsonValue answer;
    const quint16 status = handleResponse(SynchronizationRequest, statusOf(code), body, answer, true);
    if (!isSuccess(status)) {
        emit camerasUpdated(model->cameras);
        return;
    }
    model->userID = ServiceMessages::text(answer, "userID");
    model->save(model::Model::configFilePath());
    requestCameraSynchronizations();
    goTo(SynchronizeDone);
}

// Folder geotagging ----------------------------------------------------------

namespace {

// Photo files directly in folder (no subfolders), each once, any case of suffix.
QDirIterator photoListing(const QString& folder)
{
    return QDirIterator(folder, model::Model::photoFilePatterns(), QDir::Files);
}

} // namespace

void MainController::geocodePhotos(QString folderPath)
{
    int count = 0;
    for (QDirIterator it = photoListing(folderPath); it.hasNext(); it.next())
        ++count;
    goTo(GeocodeReady);
    model->imageCount = count;
    if (folderPath.endsWith(QLatin1Char('/')))
        folderPath.chop(1);
    model->inputFolder = folderPath + QLatin1Char('/');
    model->outputFolder = model->rewrite ? model->inputFolder : folderPath + QStringLiteral("/KESTREL/");
    emit geocodingRequested(model->inputFolder, model->outputFolder, model->imageCount);
}

void MainController::waitForEvents()
{
    // Sleeps until an answer, a click or a timer arrives instead of spinning.
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

QString MainController::outputFolderProblem() const
{
    if (model->rewrite)
        return QString();
    QString folder = model->outputFolder;
    if (folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    const QFileInfo info(folder);
    if (info.isSymLink())
        return tr("The output folder %1 is a link; nothing is written through it.").arg(folder);
    if (!info.isDir())
        return tr("The output folder %1 cannot be created: a file of that name is in the way.")
            .arg(folder);
    return QString();
}

void MainController::startGeocoding()
{
    // The run's own event processing could deliver a second start; one run
    // at a time.
    if (activeRun)
        return;
    stopRequested = false;
    goTo(GeocodeProgress);
    model->photos.clear();
    auto run = std::make_shared<GeocodeRun>();
    run->number = ++runCount;
    activeRun = run;
    exifInfo->setRawSidecars(model->rawSidecars);

    if (!model->rewrite)
        QDir().mkdir(model->outputFolder);
    const QString outputProblem = outputFolderProblem();
    // A run killed earlier may have left temporary files where this one writes.
    if (outputProblem.isEmpty()) {
        const QString written = QDir::cleanPath(model->outputFolder);
        run->cleanedFolders.insert(written);
        ExifInfo::removeStaleTemporaries(written);
    }
    emit geocodeProgress(0, 0, model->imageCount);

    const int maxPending = model::Model::maxPendingRequests();
    int taken = 0;
    for (QDirIterator it = photoListing(model->inputFolder); it.hasNext();) {
        const QString path = it.next();
        ++taken;
        model::PhotoInfo info;
        info.clear();
        const bool readable = exifInfo->read(path, &info);
        if (!readable || !outputProblem.isEmpty()) {
            model::PhotoGeocode result;
            result.filePath = path;
            result.errorTitle = QStringLiteral("EXIF Error");
            result.errorText = readable ? outputProblem : exifInfo->errorString();
            ++run->failed;
            finishPhoto(*run, result);
            continue;
        }
        restClient->put(ServiceMessages::geotagUrl(), ServiceMessages::geotagRequest(model->userID, info),
                        [this, run, path, info](int code, QByteArray body) {
                            onGeocodeAnswer(run, path, info, code, body);
                        });
        // At most maxPending answers are awaited at any moment.
        while (run->processed <= taken - maxPending && !stopRequested)
            waitForEvents();
        if (stopRequested)
            break;
    }
    // Every photo taken from the listing has been sent or handled; wait for
    // the answers still out. Files that vanished after the folder was chosen
    // were never taken, so they are not waited for.
    while (run->processed < taken && !stopRequested)
        waitForEvents();
    qDebug() << "geotagging run" << run->number << "ended:" << run->processed << "processed," << run->failed
             << "failed," << taken << "taken," << model->imageCount << "counted";

    emit geocodeProgress(run->processed, run->failed, model->imageCount);
    QCoreApplication::processEvents();
    run->ended = true;
    activeRun.reset();
    goTo(GeocodeResults);
    emit photosUpdated(model->photos);
}

void MainController::finishPhoto(GeocodeRun& run, const model::PhotoGeocode& result)
{
    model->photos.append(result);
    ++run.processed;
    emit geocodeProgress(run.processed, run.failed, model->imageCount);
    QCoreApplication::processEvents();
}

void MainController::onGeocodeAnswer(const std::shared_ptr<GeocodeRun>& run, const QString& path,
                                     const model::PhotoInfo& info, int code, const QByteArray& body)
{
    if (run->ended || stopRequested)
        return;
    JsonValue answer;
    const quint16 status = handleResponse(GeotagRequest, statusOf(code), body, answer, false);

    model::PhotoGeocode result;
    result.filePath = path;
    result.errorTitle = ServiceMessages::text(answer, "head");
    result.errorText = ServiceMessages::text(answer, "body");
    if (!isSuccess(status)) {
        ++run->failed;
        finishPhoto(*run, result);
        return;
    }
    ServiceMessages::readGeotag(answer, &result);
    result.dateTimeOriginal = info.dateTimeOriginal;

    // The same for a subfolder's photos, rewritten where they are.
    const QString folder = QDir::cleanPath(model->rewrite ? QFileInfo(path).absolutePath() : model->outputFolder);
    if (!run->cleanedFolders.contains(folder)) {
        run->cleanedFolders.insert(folder);
        ExifInfo::removeStaleTemporaries(folder);
    }

    QString writeError;
    if (model->rewrite) {
        // The writer replaces the photo only once the tagged file is complete.
        result.success = exifInfo->write(path, model->modifyTimeDate, &result);
    } else {
        const QString target = model->outputFolder + QFileInfo(path).fileName();
        const QFileInfo targetInfo(target);
        if (targetInfo.exists() && targetInfo.canonicalFilePath() == QFileInfo(path).canonicalFilePath()) {
            // Never delete the original to make room for its own copy.
            writeError = QStringLiteral("The copy would replace the photo itself; nothing was written.");
        } else {
            // An old copy of the same name is replaced; a failed write leaves
            // no copy at all.
            QFile::remove(target);
            result.success = exifInfo->writeCopy(path, target, model->modifyTimeDate, &result);
        }
    }
    result.timeWritten = result.success && model->modifyTimeDate;
    if (!result.success) {
        result.errorTitle = QStringLiteral("EXIF Error");
        result.errorText = writeError.isEmpty() ? exifInfo->errorString() : writeError;
        ++run->failed;
    }
    finishPhoto(*run, result);
}

} // namespace controller
