#include "view/mainview.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
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

// What a screen shows: its page and the two bottom buttons. A null caption
// hides the button (which keeps its previous caption).
struct ScreenLayout {
    const char* page;
    const char* previous;
    const char* next;
};

// Captions are marked for translation here and translated when shown.
const ScreenLayout screenLayouts[] = {
    /* HowTo1 */ {"howTo1Page", nullptr, QT_TRANSLATE_NOOP("view::MainView", "    NEXT    ")},
    /* HowTo2 */ {"howTo2Page", QT_TRANSLATE_NOOP("view::MainView", "    BACK    "), QT_TRANSLATE_NOOP("view::MainView", "    NEXT    ")},
    /* HowTo3 */ {"howTo3Page", QT_TRANSLATE_NOOP("view::MainView", "    BACK    "), QT_TRANSLATE_NOOP("view::MainView", "    NEXT    ")},
    /* SynchronizeHowTo */ {"synchronizePage", QT_TRANSLATE_NOOP("view::MainView", "    BACK    "), nullptr},
    /* Menu */ {"menuPage", nullptr, nullptr},
    /* GeocodeSelectFolder */ {"geocodePage", QT_TRANSLATE_NOOP("view::MainView", "    CANCEL    "), QT_TRANSLATE_NOOP("view::MainView", "    START GEOTAGGING    ")},
    /* GeocodeReady */ {"geocode2Page", QT_TRANSLATE_NOOP("view::MainView", "    CANCEL    "), QT_TRANSLATE_NOOP("view::MainView", "    START GEOTAGGING    ")},
    /* GeocodeProgress */ {"geocode3Page", QT_TRANSLATE_NOOP("view::MainView", "    STOP    "), nullptr},
    /* GeocodeResults */ {"geocode5Page", nullptr, QT_TRANSLATE_NOOP("view::MainView", "    DONE    ")},
    /* SynchronizeCameras */ {"synchronizePage", QT_TRANSLATE_NOOP("view::MainView", "    BACK    "), nullptr},
    /* SynchronizeDone */ {"synchronizePage", nullptr, QT_TRANSLATE_NOOP("view::MainView", "    DONE    ")},
    /* Settings */ {"settingsPage", QT_TRANSLATE_NOOP("view::MainView", "    BACK    "), nullptr},
};

void showCaption(QPushButton* button, const char* caption)
{
    if (caption)
        button->setText(QCoreApplication::translate("view::MainView", caption));
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
    setWindowTitle(windowTitle() + QLatin1String(" - ") + model::Model::version());

    QHeaderView* header = ui->geocodeTable->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::ResizeToContents);
    header->setSectionResizeMode(1, QHeaderView::Stretch);
    header->setDefaultAlignment(Qt::AlignLeft);

    // The synchronization page takes one photo; anything else is shown as
    // refused while it is dragged over it.
    for (DropLabel* label : {ui->synchronizationIconLabel, ui->synchronizationDropFileLabel}) {
        label->setSingleItem(true);
        label->setFileFilters(model::Model::photoFilePatterns());
        // The two labels share one drop area: light all of it.
        connect(label, &DropLabel::dropStateChanged, this, [this](const QString& state) {
            ui->frame->setProperty("dropState", state);
            ui->frame->style()->unpolish(ui->frame);
            ui->frame->style()->polish(ui->frame);
        });
    }

    // Keyboard order: the page's own controls, then the bottom bar from left
    // to right. Hidden pages and buttons drop out of the chain by themselves.
    QWidget* const chain[] = {
        ui->geocodeScreenButton, ui->synchronizeScreenButton, ui->settingsScreenButton,
        ui->selectSynchronizationImageButton, ui->synchronizeScrollArea, ui->selectGeocodingFolderButton,
        ui->geocodeTable, ui->exportResultsButton, ui->backButton_3, ui->previousButton, ui->nextButton,
    };
    for (size_t i = 1; i < std::size(chain); ++i)
        setTabOrder(chain[i - 1], chain[i]);
    ui->geocodeTable->setTabKeyNavigation(false);
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
    nameWidgets();
}

void MainView::nameWidgets()
{
    const struct {
        QWidget* widget;
        const char* name;
        const char* description;
    } names[] = {
        {ui->label_3, QT_TR_NOOP("Kestrel application on a mobile phone"), nullptr},
        {ui->label_7, QT_TR_NOOP("Synchronization code on the phone's screen"), nullptr},
        {ui->label_10, QT_TR_NOOP("Camera taking a photo of the synchronization code"), nullptr},
        {ui->howTo4Label, QT_TR_NOOP("Drop the photo of the synchronization code on this window"), nullptr},
        {ui->synchronizationIconLabel, QT_TR_NOOP("Drop area for the synchronization photo"),
         QT_TR_NOOP("Accepts one photo of the synchronization code")},
        {ui->synchronizationDropFileLabel, QT_TR_NOOP("Drop area for the synchronization photo"),
         QT_TR_NOOP("Accepts one photo of the synchronization code")},
        {ui->selectSynchronizationImageButton, QT_TR_NOOP("Select the synchronization photo"),
         QT_TR_NOOP("Opens a file chooser for the photo of the synchronization code")},
        {ui->synchronizeScrollArea, QT_TR_NOOP("Synchronized cameras"), nullptr},
        {ui->scrollArea_2, QT_TR_NOOP("Geotagged photos"), nullptr},
        {ui->geocodeDropFolderLabel, QT_TR_NOOP("Drop area for the photo folder"),
         QT_TR_NOOP("Accepts one folder of photos to geotag")},
        {ui->selectGeocodingFolderButton, QT_TR_NOOP("Select the photo folder"),
         QT_TR_NOOP("Opens a folder chooser for the photos to geotag")},
        {ui->imageCountLabel, QT_TR_NOOP("Number of recognized photos"), nullptr},
        {ui->geocodeProgressBar, QT_TR_NOOP("Geotagging progress"), nullptr},
        {synchronizationBusyBar, QT_TR_NOOP("Reading and sending the synchronization photo"), nullptr},
        {phonePageQr, QT_TR_NOOP("QR code of the phone page's address"), nullptr},
        {ui->geocodeTable, QT_TR_NOOP("Geotagging results"), QT_TR_NOOP("Press Enter on a row to see its details")},
        {ui->backButton_3, QT_TR_NOOP("Back"), nullptr},
        {ui->previousButton, QT_TR_NOOP("Back or cancel"), QT_TR_NOOP("Escape")},
        {ui->nextButton, QT_TR_NOOP("Continue"), QT_TR_NOOP("Enter")},
    };
    for (const auto& entry : names) {
        if (!entry.widget)
            continue;
        entry.widget->setAccessibleName(tr(entry.name));
        if (entry.description)
            entry.widget->setAccessibleDescription(tr(entry.description));
    }
}

void MainView::focusScreen(controller::Screen screen)
{
    QWidget* target = nullptr;
    switch (screen) {
    case controller::Menu:
        target = ui->geocodeScreenButton;
        break;
    case controller::SynchronizeHowTo:
    case controller::SynchronizeCameras:
        target = ui->selectSynchronizationImageButton;
        break;
    case controller::GeocodeSelectFolder:
        target = ui->selectGeocodingFolderButton;
        break;
    case controller::GeocodeProgress:
        // Nothing to press by accident during a run; Escape stops it.
        target = this;
        break;
    case controller::GeocodeResults:
        target = ui->geocodeTable;
        if (ui->geocodeTable->rowCount() > 0 && !ui->geocodeTable->currentItem())
            ui->geocodeTable->setCurrentCell(0, 0, QItemSelectionModel::NoUpdate);
        break;
    case controller::Settings:
        target = ui->backButton_3;
        break;
    default:
        target = ui->nextButton;
        break;
    }
    if (!target->isEnabled() || target->isHidden())
        target = ui->nextButton->isHidden() || !ui->nextButton->isEnabled() ? static_cast<QWidget*>(this)
                                                                             : ui->nextButton;
    target->setFocus(Qt::OtherFocusReason);
}

void MainView::keyPressEvent(QKeyEvent* event)
{
    // Keys reach the window when the focused control does not use them.
    // Enter presses the focused button, opens the focused result row, or
    // else runs the page's main action; Escape goes back or cancels.
    const auto press = [](QPushButton* button) {
        if (button->isHidden() || !button->isEnabled())
            return false;
        button->click();
        return true;
    };
    QWidget* focused = focusWidget();
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (auto* button = qobject_cast<QPushButton*>(focused)) {
            if (press(button))
                return;
        }
        if (focused == ui->geocodeTable && ui->geocodeTable->currentRow() >= 0) {
            on_geocodeTable_cellClicked(ui->geocodeTable->currentRow(), 0);
            return;
        }
        if (press(ui->nextButton))
            return;
        break;
    case Qt::Key_Escape:
        if (ui->stackedWidget->currentWidget() == ui->settingsPage && press(ui->backButton_3))
            return;
        if (press(ui->previousButton))
            return;
        break;
    default:
        break;
    }
    QMainWindow::keyPressEvent(event);
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
    focusScreen(screen);
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
    ui->geocodeProgressLabel->setText(tr("%1/%2").arg(processed).arg(total));
    ui->geocodeSuccessLabel->setText(tr("%1/%2").arg(ok).arg(total));
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
            tableItem(photo.success ? tr("OK") : tr("FAIL")),
        };
        items[0]->setData(Qt::UserRole, index);
        // A long description is cut at the column's edge; its full text stays at hand.
        items[1]->setToolTip(items[1]->text());
        for (int column = 0; column < 6; ++column) {
            if (!photo.success) {
                // Dimmer than the white of the other rows, yet readable (4.5:1).
                items[column]->setForeground(QColor(185, 185, 185));
                items[column]->setBackground(row % 2 == 0 ? QColor(70, 70, 70) : QColor(60, 60, 60));
            }
            table->setItem(row, column, items[column]);
        }
    }
    table->sortByColumn(0, Qt::AscendingOrder);
    // A current row for the keyboard, without selecting (colouring) it.
    if (table->rowCount() > 0)
        table->setCurrentCell(0, 0, QItemSelectionModel::NoUpdate);
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
