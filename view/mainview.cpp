#include "view/mainview.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QProgressBar>
#include <QLayout>
#include <QSpacerItem>
#include <QStandardPaths>
#include <QTableWidgetItem>

#include "controller/photolisting.h"
#include "ui_mainview.h"
#include "view/cameraframe.h"
#include "view/detailinfoview.h"
#include "view/droplabel.h"
#include "view/menubutton.h"
#include "view/photowidget.h"

namespace view {

namespace {

const char versionText[] = "1.0.36.474";

// What a screen shows: its page and the two bottom buttons. A null caption
// hides the button (which keeps its previous caption).
struct ScreenLayout {
    const char* page;
    const char* previous;
    const char* next;
};

const ScreenLayout screenLayouts[] = {
    /* HowTo1 */ {"howTo1Page", nullptr, "    NEXT    "},
    /* HowTo2 */ {"howTo2Page", "    BACK    ", "    NEXT    "},
    /* HowTo3 */ {"howTo3Page", "    BACK    ", "    NEXT    "},
    /* SynchronizeHowTo */ {"synchronizePage", "    BACK    ", nullptr},
    /* Menu */ {"menuPage", nullptr, nullptr},
    /* GeocodeSelectFolder */ {"geocodePage", "    CANCEL    ", "    START GEOTAGGING    "},
    /* GeocodeReady */ {"geocode2Page", "    CANCEL    ", "    START GEOTAGGING    "},
    /* GeocodeProgress */ {"geocode3Page", "    STOP    ", nullptr},
    /* GeocodeResults */ {"geocode5Page", nullptr, "    DONE    "},
    /* SynchronizeCameras */ {"synchronizePage", "    BACK    ", nullptr},
    /* SynchronizeDone */ {"synchronizePage", nullptr, "    DONE    "},
    /* Settings */ {"settingsPage", "    BACK    ", nullptr},
};

void showCaption(QPushButton* button, const char* caption)
{
    if (caption)
        button->setText(QString::fromLatin1(caption));
    button->setVisible(caption != nullptr);
}

QTableWidgetItem* tableItem(const QString& text)
{
    return new QTableWidgetItem(text);
}

// A file name cell that sorts in natural order: "P2" before "P10".
class NameItem : public QTableWidgetItem {
public:
    using QTableWidgetItem::QTableWidgetItem;
    bool operator<(const QTableWidgetItem& other) const override
    {
        return controller::PhotoListing::naturalLess(text(), other.text());
    }
};

} // namespace

MainView::MainView(QWidget* parent)
    : QMainWindow(parent,
                  Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                      | Qt::WindowCloseButtonHint)
    , ui(std::make_unique<Ui::MainWindow>())
{
    ui->setupUi(this);
    setFixedSize(size());
    setWindowTitle(windowTitle() + QLatin1String(" - ") + QLatin1String(versionText));

    QHeaderView* header = ui->geocodeTable->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::ResizeToContents);
    header->setSectionResizeMode(1, QHeaderView::Stretch);
    header->setDefaultAlignment(Qt::AlignLeft);

    synchronizationBusyBar = new QProgressBar(ui->frame);
    synchronizationBusyBar->setObjectName(QStringLiteral("synchronizationBusyBar"));
    synchronizationBusyBar->setRange(0, 0);
    synchronizationBusyBar->setTextVisible(false);
    synchronizationBusyBar->setMaximumWidth(120);
    synchronizationBusyBar->hide();
    ui->frameLayout->insertWidget(ui->frameLayout->indexOf(ui->selectSynchronizationImageButton),
                                  synchronizationBusyBar);
    buildServiceParts();
    // Nothing to export before the first run.
    ui->exportResultsButton->setEnabled(false);
}

MainView::~MainView() = default;

void MainView::connectController(controller::MainController& controller)
{
    using controller::MainController;
    connect(&controller, &MainController::showMainWindow, this, &MainView::show);
    connect(&controller, &MainController::screenChanged, this, &MainView::changeScreen);
    connect(&controller, &MainController::camerasUpdated, this, &MainView::assignCameraList);
    connect(&controller, &MainController::photosUpdated, this, &MainView::assignPhotoList);
    connect(ui->previousButton, &QPushButton::clicked, &controller, &MainController::toPreviousScreen);
    connect(ui->nextButton, &QPushButton::clicked, &controller, &MainController::toNextScreen);
    connect(ui->geocodeScreenButton, &MenuButton::clicked, &controller, &MainController::toGeocodePhotos);
    connect(ui->synchronizeScreenButton, &MenuButton::clicked, &controller, &MainController::toSynchronizeCamera);
    connect(ui->settingsScreenButton, &MenuButton::clicked, &controller, &MainController::toSettings);
    connect(ui->synchronizationDropFileLabel, &DropLabel::fileDropped, &controller,
            &MainController::synchronizeCamera);
    connect(ui->synchronizationIconLabel, &DropLabel::fileDropped, &controller, &MainController::synchronizeCamera);
    connect(this, &MainView::synchronizationImageSelected, &controller, &MainController::synchronizeCamera);
    connect(&controller, &MainController::synchronizationStarted, this, &MainView::onSynchronizationStarted);
    connect(ui->geocodeDropFolderLabel, &DropLabel::folderDropped, &controller, &MainController::geocodePhotos);
    connect(this, &MainView::geocodingFolderSelected, &controller, &MainController::geocodePhotos);
    connect(&controller, &MainController::geocodingRequested, this, &MainView::onGeocodingRequested);
    connect(&controller, &MainController::geocodeProgress, this, &MainView::onGeocodeProgress);
    connectServiceParts(controller);
    connect(&controller, &MainController::photoFolderNote, this, &MainView::onPhotoFolderNote);
    connect(&controller, &MainController::geocodePhotoStarted, this, &MainView::onGeocodePhotoStarted);
    connect(&controller, &MainController::geocodeStopped, this, &MainView::onGeocodeStopped);
    connect(&controller, &MainController::cameraSynchronized, this, &MainView::onCameraSynchronized);
    connect(this, &MainView::resultsExportRequested, &controller, &MainController::exportResults);
}

void MainView::changeScreen(controller::Screen screen)
{
    const int index = static_cast<int>(screen);
    if (index < 0 || index >= static_cast<int>(std::size(screenLayouts)))
        return;
    const ScreenLayout& layout = screenLayouts[index];
    ui->stackedWidget->setCurrentWidget(ui->stackedWidget->findChild<QWidget*>(QLatin1String(layout.page)));
    showCaption(ui->previousButton, layout.previous);
    showCaption(ui->nextButton, layout.next);
    ui->synchronizationReportLabel->setVisible(screen == controller::SynchronizeDone
                                               && !ui->synchronizationReportLabel->text().isEmpty());

    switch (screen) {
    case controller::SynchronizeHowTo:
        ui->howTo4Label->setVisible(true);
        ui->synchronizeScrollArea->setVisible(false);
        break;
    case controller::SynchronizeCameras:
    case controller::SynchronizeDone:
        ui->howTo4Label->setVisible(false);
        ui->synchronizeScrollArea->setVisible(true);
        break;
    case controller::Menu:
        ui->nextButton->setEnabled(true);
        break;
    case controller::GeocodeSelectFolder:
        ui->nextButton->setEnabled(false);
        break;
    case controller::GeocodeReady:
        ui->nextButton->setEnabled(true);
        break;
    default:
        break;
    }
    updateServiceParts(screen);
}

void MainView::clearLayout(QLayout* layout)
{
    while (QLayoutItem* item = layout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
}

void MainView::assignCameraList(model::CameraList& cameras)
{
    QLayout* list = ui->scrollAreaWidgetContents->layout();
    clearLayout(list);
    for (const model::Camera& camera : cameras) {
        auto* frame = new CameraFrame(ui->scrollAreaWidgetContents);
        list->addWidget(frame);
        frame->setCamera(camera);
    }
    list->addItem(new QSpacerItem(0, 0, QSizePolicy::Minimum, QSizePolicy::Expanding));
    setSynchronizationEnabled(true);
}

void MainView::setSynchronizationEnabled(bool enabled)
{
    ui->synchronizationDropFileLabel->setEnabled(enabled);
    ui->synchronizationIconLabel->setEnabled(enabled);
    ui->selectSynchronizationImageButton->setEnabled(enabled);
    synchronizationBusyBar->setVisible(!enabled);
}

void MainView::onRequestSynchronizationsStarted()
{
    setSynchronizationEnabled(false);
}

void MainView::onSynchronizationStarted(QString)
{
    setSynchronizationEnabled(false);
}

void MainView::onGeocodingRequested(QString inputFolder, QString outputFolder, int imageCount)
{
    ui->imageCountLabel->setText(QString::number(imageCount));
    ui->geocodeInputFolderLabel->setText(inputFolder);
    ui->geocodeOutputFolderLabel->setText(outputFolder);
    ui->nextButton->setVisible(imageCount > 0);
    // Rewrite mode: the output folder is the photo folder itself.
    ui->geocodeRewriteLabel->setText(
        imageCount > 0 && inputFolder == outputFolder
            ? tr("Careful: your original photos will be changed. The geotags are written into the photo files "
                 "themselves, and no copies are kept.")
            : QString());
    ui->geocodeFolderNoteLabel->clear();
}

void MainView::onPhotoFolderNote(QString note)
{
    ui->geocodeFolderNoteLabel->setText(note);
}

void MainView::onGeocodePhotoStarted(QString filePath)
{
    ui->geocodeCurrentPhotoLabel->setText(QFileInfo(filePath).fileName());
}

void MainView::onGeocodeStopped(int processed, int total)
{
    ui->geocodeStoppedLabel->setText(tr("Stopped after %1 of %2 photos").arg(processed).arg(total));
}

void MainView::onCameraSynchronized(QString report)
{
    ui->synchronizationReportLabel->setText(report);
    ui->synchronizationReportLabel->setVisible(!report.isEmpty());
}

QString MainView::remainingText(qint64 milliseconds)
{
    const qint64 seconds = (milliseconds + 999) / 1000;
    if (seconds >= 3600)
        return tr("About %1 h %2 min left").arg(seconds / 3600).arg(seconds % 3600 / 60);
    if (seconds >= 60)
        return tr("About %1 min %2 s left").arg(seconds / 60).arg(seconds % 60);
    return tr("About %1 s left").arg(seconds);
}

void MainView::onGeocodeProgress(int processed, int failed, int total)
{
    const int ok = processed - failed;
    ui->geocodeSuccessCountLabel->setText(tr("%1 successfully geotagged photo(s)").arg(ok));
    ui->geocodeProgressLabel->setText(QStringLiteral("%1/%2").arg(processed).arg(total));
    ui->geocodeSuccessLabel->setText(QStringLiteral("%1/%2").arg(ok).arg(total));
    ui->geocodeFailCountLabel->setText(tr("Unable to geotag %1 photo(s)").arg(failed));
    ui->geocodeProgressBar->setMaximum(total);
    ui->geocodeProgressBar->setValue(processed);
    // A new run starts at 0; the estimate waits for a few photos, so that
    // it rests on more than the first answer.
    if (processed == 0) {
        runClock.start();
        ui->geocodeStoppedLabel->clear();
        ui->geocodeCurrentPhotoLabel->clear();
    }
    const int estimateAfter = 3;
    ui->geocodeRemainingLabel->setText(
        processed >= estimateAfter && processed < total && runClock.isValid()
            ? remainingText(runClock.elapsed() * (total - processed) / processed)
            : QString());
    repaint();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void MainView::assignPhotoList(model::PhotoGeocodeList& photos)
{
    // Copy first: the list may be the one the table showed until now.
    shownPhotos = photos;

    QLayout* list = ui->geocodeScrollAreaContents->layout();
    clearLayout(list);
    for (const model::PhotoGeocode& photo : qAsConst(shownPhotos)) {
        auto* widget = new PhotoWidget(ui->geocodeScrollAreaContents);
        list->addWidget(widget);
        widget->setPhoto(photo);
    }
    list->addItem(new QSpacerItem(0, 0, QSizePolicy::Minimum, QSizePolicy::Expanding));

    QTableWidget* table = ui->geocodeTable;
    table->setSortingEnabled(false);
    table->setRowCount(0);
    for (int index = 0; index < shownPhotos.size(); ++index) {
        const model::PhotoGeocode& photo = shownPhotos.at(index);
        const int row = table->rowCount();
        table->insertRow(row);
        QTableWidgetItem* items[6] = {
            new NameItem(QFileInfo(photo.filePath).fileName()),
            tableItem(photo.summary()),
            tableItem(photo.success ? DetailInfoView::latitudeText(photo.latitude) : QString()),
            tableItem(photo.success ? DetailInfoView::longitudeText(photo.longitude) : QString()),
            tableItem(photo.success ? DetailInfoView::altitudeText(photo.altitude) : QString()),
            tableItem(photo.success ? QStringLiteral("OK") : QStringLiteral("FAIL")),
        };
        items[0]->setData(Qt::UserRole, index);
        // A long description is cut at the column's edge; its full text stays at hand.
        items[1]->setToolTip(items[1]->text());
        for (int column = 0; column < 6; ++column) {
            if (!photo.success) {
                items[column]->setForeground(QColor(126, 126, 126, 255));
                items[column]->setBackground(row % 2 == 0 ? QColor(70, 70, 70) : QColor(60, 60, 60));
            }
            table->setItem(row, column, items[column]);
        }
    }
    table->sortByColumn(0, Qt::AscendingOrder);
    ui->exportResultsButton->setEnabled(!shownPhotos.isEmpty());
}

void MainView::on_geocodeTable_cellClicked(int row, int)
{
    const QTableWidgetItem* item = ui->geocodeTable->item(row, 0);
    if (!item)
        return;
    bool valid = false;
    const int index = item->data(Qt::UserRole).toInt(&valid);
    if (!valid || index < 0 || index >= shownPhotos.size())
        return;
    // The dialog gets its own copy: a nested event loop may replace the list.
    const model::PhotoGeocode photo = shownPhotos.at(index);
    showDetails(photo);
}

void MainView::showDetails(const model::PhotoGeocode& photo)
{
    DetailInfoView details(photo, this);
    details.exec();
}

void MainView::on_selectSynchronizationImageButton_clicked()
{
    const QString path = chooseSynchronizationImage();
    if (!path.isEmpty())
        emit synchronizationImageSelected(path);
}

void MainView::on_selectGeocodingFolderButton_clicked()
{
    const QString path = chooseGeocodingFolder();
    if (!path.isEmpty())
        emit geocodingFolderSelected(path);
}

void MainView::on_exportResultsButton_clicked()
{
    const QString path = chooseExportFile();
    if (!path.isEmpty())
        emit resultsExportRequested(path);
}

QString MainView::chooserFolder() const
{
    if (!lastFolder.isEmpty() && QFileInfo(lastFolder).isDir())
        return lastFolder;
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    return QFileInfo(pictures).isDir() ? pictures : QDir::homePath();
}

QFileDialog* MainView::newPhotoChooser()
{
    auto* dialog = new QFileDialog(this, tr("Select the synchronization photo"), chooserFolder());
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setNameFilters({ tr("Photos (%1)").arg(model::Model::photoFilePatterns().join(QLatin1Char(' '))),
                             tr("All files (*)") });
    return dialog;
}

QFileDialog* MainView::newFolderChooser()
{
    auto* dialog = new QFileDialog(this, tr("Select the folder of the photos"), chooserFolder());
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly);
    return dialog;
}

QString MainView::runChooser(QFileDialog* chooser)
{
    const std::unique_ptr<QFileDialog> dialog(chooser);
    if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty())
        return QString();
    lastFolder = dialog->directory().absolutePath();
    return dialog->selectedFiles().constFirst();
}

QString MainView::chooseSynchronizationImage()
{
    return runChooser(newPhotoChooser());
}

QString MainView::chooseGeocodingFolder()
{
    return runChooser(newFolderChooser());
}

QString MainView::chooseExportFile()
{
    auto* dialog = new QFileDialog(this, tr("Export the results"), chooserFolder());
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setNameFilter(tr("CSV table, with a GPX file beside it (*.csv)"));
    dialog->setDefaultSuffix(QStringLiteral("csv"));
    dialog->selectFile(QStringLiteral("kestrel-results.csv"));
    return runChooser(dialog);
}

} // namespace view
