#pragma once

#include <QMainWindow>
#include <memory>

#include "controller/maincontroller.h"
#include "model/model.h"

namespace Ui {
class MainWindow;
}

class QLayout;

namespace view {

// The program's only main window: one page per screen of the controller above
// a bar with the previous and next buttons. It keeps no navigation logic of its
// own; user actions go to controller slots, state comes back through its
// signals.
class MainView : public QMainWindow {
    Q_OBJECT
public:
    explicit MainView(QWidget* parent = nullptr);
    ~MainView() override;

    // Makes every connection between this window and the controller.
    void connectController(controller::MainController& controller);

signals:
    void synchronizationImageSelected(QString filePath);
    void geocodingFolderSelected(QString folderPath);

public slots:
    void changeScreen(controller::Screen screen);
    void assignCameraList(model::CameraList& cameras);
    void onRequestSynchronizationsStarted();
    void onSynchronizationStarted(QString filePath);
    void onGeocodingRequested(QString inputFolder, QString outputFolder, int imageCount);
    void onGeocodeProgress(int processed, int failed, int total);
    void assignPhotoList(model::PhotoGeocodeList& photos);

private slots:
    void on_selectSynchronizationImageButton_clicked();
    void on_selectGeocodingFolderButton_clicked();
    void on_geocodeTable_cellClicked(int row, int column);

protected:
    void keyPressEvent(QKeyEvent* event) override;

    // The file and folder choosers; a null result means cancelled. Tests
    // override them to answer without a dialog.
    virtual QString chooseSynchronizationImage();
    virtual QString chooseGeocodingFolder();
    // Runs the modal detail dialog of one result.
    virtual void showDetails(const model::PhotoGeocode& photo);

private:
    void nameWidgets();
    // Puts the keyboard focus where a screen's work starts.
    void focusScreen(controller::Screen screen);
    void setSynchronizationEnabled(bool enabled);
    static void clearLayout(QLayout* layout);

    std::unique_ptr<Ui::MainWindow> ui;
    // The records the result table shows; each row's first item holds an
    // index into this copy, so a row always finds its own record.
    model::PhotoGeocodeList shownPhotos;
};

} // namespace view
