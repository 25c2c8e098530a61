#include "view/mainview.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QLayout>
#include <QSpacerItem>
#include <QTableWidgetItem>

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
            tableItem(QFileInfo(photo.filePath).fileName()),
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

QString MainView::chooseSynchronizationImage()
{
    return QFileDialog::getOpenFileName(this, QString(), QString(), QString());
}

QString MainView::chooseGeocodingFolder()
{
    return QFileDialog::getExistingDirectory(this, QString(), QString(), QFileDialog::ShowDirsOnly);
}

} // namespace view
