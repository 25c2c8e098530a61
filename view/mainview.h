#pragma once

#include <QElapsedTimer>
#include <QMainWindow>
#include <memory>

#include "controller/maincontroller.h"
#include "model/model.h"

class QProgressBar;
class QPushButton;

namespace Ui {
class MainWindow;
}

class QAction;
class QLabel;
class QFileDialog;
class QLayout;
class QProgressDialog;

namespace view {

class MapPage;
class QrCodeWidget;
class SyncCodeView;

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
    void geotaggingFolderSelected(QString folderPath);
    void trackFilesSelected(QStringList filePaths);
    void serviceStatusWanted();
    void resultsExportRequested(QString csvPath);
    // The window is closing: where it is, unmaximized, and whether maximized.
    void windowPlacementChanged(QRect geometry, bool maximized);
    // The map, centred on the photo at index of the results.
    void mapWanted(int index);

public slots:
    // Shows the window at geometry when that is on a screen, else where the
    // system puts it; maximized when asked.
    void showAt(QRect geometry, bool maximized);
    void changeScreen(controller::Screen screen);
    void assignCameraList(model::CameraList& cameras);
    void onRequestSynchronizationsStarted();
    void onSynchronizationStarted(QString filePath);
    void onGeotaggingRequested(QString inputFolder, QString outputFolder, int imageCount);
    void onGeotagProgress(int processed, int failed, int total);
    void assignPhotoList(model::PhotoGeotagList& photos);
    // Shows where a phone opens the phone page, as text and as a QR code, or
    // why a phone cannot reach the service and how to change that.
    void showPhonePage(const controller::ServiceStatus& status);
    void onTrackImportProgress(QString fileName, qint64 sent, qint64 total);
    void onTrackImportFinished();
    void importTrack();
    void showSyncCode();
    // The program's version and the attributions its data asks for.
    void showAbout();

public:
    SyncCodeView* syncCodeView() const { return m_codeView; }
    QString phonePageUrl() const { return m_phonePage; }
    QLabel* phonePageCodeLabel() const { return m_phonePageQr; }
    void onPhotoFolderNote(QString note);
    void onGeotagPhotoStarted(QString filePath);
    void onGeotagStopped(int processed, int total);
    void onCameraSynchronized(QString report);

public:
    // "About 2 min 10 s left" for a remaining time in milliseconds.
    static QString remainingText(qint64 milliseconds);
    // What About says, one line each.
    static QString aboutText();

private slots:
    void on_exportResultsButton_clicked();
    void on_selectSynchronizationImageButton_clicked();
    void on_selectGeotaggingFolderButton_clicked();
    void on_geotagTable_cellClicked(int row, int column);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

    // The file and folder choosers; a null result means cancelled. Tests
    // override them to answer without a dialog.
    virtual QString chooseSynchronizationImage();
    virtual QString chooseGeotaggingFolder();
    virtual QStringList chooseTrackFiles();
    // Where the results export goes (the CSV file); null when cancelled.
    virtual QString chooseExportFile();
    // Its chooser, built and not yet shown: in the photo folder of the run,
    // with a file name after that folder.
    QFileDialog* newExportChooser();
    // The choosers the two select buttons run, built and not yet shown. They
    // open in the folder used last (else the user's Pictures folder); the
    // photo chooser lists the photo types first.
    QFileDialog* newPhotoChooser();
    QFileDialog* newFolderChooser();
    // Runs the modal detail dialog of one result.
    virtual void showDetails(const model::PhotoGeotag& photo);

private:
    // The widest the results' place column opens, in pixels.
    static constexpr int maxPlaceWidth = 170;

    void nameWidgets();
    // Puts the keyboard focus where a screen's work starts.
    void focusScreen(controller::Screen screen);
    void setSynchronizationEnabled(bool enabled);
    QString chooserFolder() const;
    // Runs a chooser and returns its first selection; null when cancelled.
    QString runChooser(QFileDialog* dialog);
    static void clearLayout(QLayout* layout);
    void buildServiceParts();
    void connectServiceParts(controller::MainController& controller);
    void updateServiceParts(controller::Screen screen);
    void buildMapPage();
    void connectMapPage(controller::MainController& controller);
    // Selects the results row of the photo at index, without telling the map.
    void selectResultRow(int index);

    std::unique_ptr<Ui::MainWindow> m_ui;
    // Runs on the synchronize page while a photo is read and its request is on its way.
    QProgressBar* m_synchronizationBusyBar = nullptr;
    // The records the result table shows; each row's first item holds an
    // index into this copy, so a row always finds its own record.
    model::PhotoGeotagList m_shownPhotos;
    SyncCodeView* m_codeView = nullptr;
    QLabel* m_phonePageQr = nullptr;
    QLabel* m_codeLink = nullptr;
    QString m_phonePage;
    QAction* m_openPageAction = nullptr;
    QAction* m_networkAction = nullptr;
    QAction* m_demoAction = nullptr;
    QProgressDialog* m_trackProgress = nullptr;
    bool m_statusAsked = false;
    QString m_lastFolder;
    // The photo folder of the last run, where its results are exported.
    QString m_photoFolder;
    // Time since the run's first progress step, for the remaining time.
    QElapsedTimer m_runClock;
    MapPage* m_mapPage = nullptr;
    QPushButton* m_mapButton = nullptr;
    // No photo was placed since the run: the map fits to what comes.
    bool m_mapUntouched = true;
};

} // namespace view
