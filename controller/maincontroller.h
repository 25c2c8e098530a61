#pragma once

#include <QObject>
#include <QString>
#include <memory>

#include "model/model.h"

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

private:
    void goTo(Screen next);
    Screen userScreen() const;

    std::shared_ptr<model::Model> model;
    Screen screen = Menu;
    BarcodeReader* barcodeReader = nullptr;
    ExifInfo* exifInfo = nullptr;
    RestClient* restClient = nullptr;
    bool stopRequested = false;
};

} // namespace controller

Q_DECLARE_METATYPE(controller::Screen)
