#include "controller/maincontroller.h"

#include <QCoreApplication>

#include "controller/barcodereader.h"
#include "controller/exifinfo.h"
#include "controller/restclient.h"

namespace controller {

MainController::MainController(QObject* parent)
    : QObject(parent)
    , model(std::make_shared<model::Model>(this))
    , barcodeReader(new BarcodeReader(this))
    , exifInfo(new ExifInfo(this))
    , restClient(new RestClient(this))
{
    qRegisterMetaType<controller::Screen>("controller::Screen");
    model->load(model::Model::configFilePath());
}

MainController::~MainController()
{
    model->save(model::Model::configFilePath());
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
    emit screenChanged(screen);
}

void MainController::toSettings()
{
    emit showSettings(*model);
    model->save(model::Model::configFilePath());
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
        // The geotagging run itself starts here once it exists.
        break;
    case Menu:
    case GeocodeSelectFolder:
    case GeocodeProgress:
    case Settings:
        break;
    }
}

// The workflows below are built in their own steps.
void MainController::requestCameraSynchronizations()
{
}

void MainController::synchronizeCamera(QString)
{
}

void MainController::requestRemoveCamera(model::Camera&)
{
}

void MainController::geocodePhotos(QString)
{
}

void MainController::startGeocoding()
{
}

} // namespace controller
