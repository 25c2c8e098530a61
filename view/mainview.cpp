#include "view/mainview.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
#include <QProgressBar>
#include <QScreen>
#include <QGuiApplication>
#include <QLayout>
#include <QSpacerItem>
#include <QStandardPaths>
#include <QTableWidgetItem>

#include <algorithm>

#include "controller/photolisting.h"
#include "ui_mainview.h"
#include "view/cameraframe.h"
#include "view/detailinfoview.h"
#include "view/droplabel.h"
#include "view/mappage.h"
#include "view/menubutton.h"
#include "view/photowidget.h"

namespace view {

namespace {

// What a screen shows: its page and the two bottom buttons. A null caption
// hides the button.
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
    /* GeotagSelectFolder */ {"geotagPage", QT_TRANSLATE_NOOP("view::MainView", "    CANCEL    "), QT_TRANSLATE_NOOP("view::MainView", "    START GEOTAGGING    ")},
    /* GeotagReady */ {"geotag2Page", QT_TRANSLATE_NOOP("view::MainView", "    CANCEL    "), QT_TRANSLATE_NOOP("view::MainView", "    START GEOTAGGING    ")},
    /* GeotagProgress */ {"geotag3Page", QT_TRANSLATE_NOOP("view::MainView", "    STOP    "), nullptr},
    /* GeotagResults */ {"geotag5Page", nullptr, QT_TRANSLATE_NOOP("view::MainView", "    DONE    ")},
    /* SynchronizeCameras */ {"synchronizePage", QT_TRANSLATE_NOOP("view::MainView", "    BACK    "), nullptr},
    /* SynchronizeDone */ {"synchronizePage", nullptr, QT_TRANSLATE_NOOP("view::MainView", "    DONE    ")},
    /* Settings */ {"settingsPage", QT_TRANSLATE_NOOP("view::MainView", "    BACK    "), nullptr},
    /* GeotagMap */ {"mapPage", QT_TRANSLATE_NOOP("view::MainView", "    BACK    "), QT_TRANSLATE_NOOP("view::MainView", "    DONE    ")},
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
                      | Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint)
    , m_ui(std::make_unique<Ui::MainWindow>())
{
    m_ui->setupUi(this);
    // The pages are laid out for this size; more room goes to the results
    // and the map.
    setMinimumSize(size());
    setWindowTitle(windowTitle() + QLatin1String(" - ") + model::Model::version());

    QHeaderView* header = m_ui->geotagTable->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::ResizeToContents);
    header->setSectionResizeMode(1, QHeaderView::Stretch);
    // The place as wide as its names, up to a limit (see assignPhotoList).
    header->setSectionResizeMode(6, QHeaderView::Interactive);
    header->setDefaultAlignment(Qt::AlignLeft);

    // The synchronization page takes one photo; anything else is shown as
    // refused while it is dragged over it.
    for (DropLabel* label : {m_ui->synchronizationIconLabel, m_ui->synchronizationDropFileLabel}) {
        label->setSingleItem(true);
        label->setFileFilters(model::Model::photoFilePatterns());
        // The two labels share one drop area: light all of it.
        connect(label, &DropLabel::dropStateChanged, this, [this](const QString& state) {
            m_ui->frame->setProperty("dropState", state);
            m_ui->frame->style()->unpolish(m_ui->frame);
            m_ui->frame->style()->polish(m_ui->frame);
        });
    }

    // Keyboard order: the page's own controls, then the bottom bar from left
    // to right. Hidden pages and buttons drop out of the chain by themselves.
    QWidget* const chain[] = {
        m_ui->geotagScreenButton, m_ui->synchronizeScreenButton, m_ui->settingsScreenButton,
        m_ui->selectSynchronizationImageButton, m_ui->synchronizeScrollArea, m_ui->selectGeotaggingFolderButton,
        m_ui->geotagTable, m_ui->exportResultsButton, m_ui->backButton_3, m_ui->previousButton, m_ui->nextButton,
    };
    for (size_t i = 1; i < std::size(chain); ++i)
        setTabOrder(chain[i - 1], chain[i]);
    m_ui->geotagTable->setTabKeyNavigation(false);
    m_synchronizationBusyBar = new QProgressBar(m_ui->frame);
    m_synchronizationBusyBar->setObjectName(QStringLiteral("synchronizationBusyBar"));
    m_synchronizationBusyBar->setRange(0, 0);
    m_synchronizationBusyBar->setTextVisible(false);
    m_synchronizationBusyBar->setMaximumWidth(120);
    m_synchronizationBusyBar->hide();
    m_ui->frameLayout->insertWidget(m_ui->frameLayout->indexOf(m_ui->selectSynchronizationImageButton),
                                    m_synchronizationBusyBar);
    buildServiceParts();
    buildMapPage();
    // MORE, made with the service parts, takes its turn between its neighbours.
    if (auto* more = m_ui->bottomMenu->findChild<QPushButton*>(QStringLiteral("serviceMenuButton"))) {
        setTabOrder(m_ui->previousButton, more);
        setTabOrder(more, m_ui->nextButton);
    }
    // NEXT keeps its place and size at the right on every page, shown or
    // not, so that no other button moves between pages.
    QSizePolicy keepPlace = m_ui->nextButton->sizePolicy();
    keepPlace.setRetainSizeWhenHidden(true);
    m_ui->nextButton->setSizePolicy(keepPlace);
    m_ui->nextButton->ensurePolished();
    int widest = 0;
    for (const ScreenLayout& layout : screenLayouts) {
        if (layout.next) {
            m_ui->nextButton->setText(tr(layout.next));
            widest = qMax(widest, m_ui->nextButton->sizeHint().width());
        }
    }
    m_ui->nextButton->setMinimumWidth(widest);
    // Nothing to export before the first run.
    m_ui->exportResultsButton->setEnabled(false);
    m_ui->cameraDriftLabel->hide();
    nameWidgets();
}

void MainView::nameWidgets()
{
    const struct {
        QWidget* widget;
        const char* name;
        const char* description;
    } names[] = {
        {m_ui->label_3, QT_TR_NOOP("Kestrel application on a mobile phone"), nullptr},
        {m_ui->label_7, QT_TR_NOOP("Synchronization code on the phone's screen"), nullptr},
        {m_ui->label_10, QT_TR_NOOP("Camera taking a photo of the synchronization code"), nullptr},
        {m_ui->howTo4Label, QT_TR_NOOP("Drop the photo of the synchronization code on this window"), nullptr},
        {m_ui->synchronizationIconLabel, QT_TR_NOOP("Drop area for the synchronization photo"),
         QT_TR_NOOP("Accepts one photo of the synchronization code")},
        {m_ui->synchronizationDropFileLabel, QT_TR_NOOP("Drop area for the synchronization photo"),
         QT_TR_NOOP("Accepts one photo of the synchronization code")},
        {m_ui->selectSynchronizationImageButton, QT_TR_NOOP("Select the synchronization photo"),
         QT_TR_NOOP("Opens a file chooser for the photo of the synchronization code")},
        {m_ui->synchronizeScrollArea, QT_TR_NOOP("Synchronized cameras"), nullptr},
        {m_ui->scrollArea_2, QT_TR_NOOP("Geotagged photos"), nullptr},
        {m_ui->geotagDropFolderLabel, QT_TR_NOOP("Drop area for the photo folder"),
         QT_TR_NOOP("Accepts one folder of photos to geotag")},
        {m_ui->selectGeotaggingFolderButton, QT_TR_NOOP("Select the photo folder"),
         QT_TR_NOOP("Opens a folder chooser for the photos to geotag")},
        {m_ui->imageCountLabel, QT_TR_NOOP("Number of recognized photos"), nullptr},
        {m_ui->geotagProgressBar, QT_TR_NOOP("Geotagging progress"), nullptr},
        {m_synchronizationBusyBar, QT_TR_NOOP("Reading and sending the synchronization photo"), nullptr},
        {m_phonePageQr, QT_TR_NOOP("QR code of the phone page's address"), nullptr},
        {m_ui->geotagTable, QT_TR_NOOP("Geotagging results"), QT_TR_NOOP("Press Enter on a row to see its details")},
        {m_ui->backButton_3, QT_TR_NOOP("Back"), nullptr},
        {m_ui->previousButton, QT_TR_NOOP("Back or cancel"), QT_TR_NOOP("Escape")},
        {m_ui->nextButton, QT_TR_NOOP("Continue"), QT_TR_NOOP("Enter")},
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
        target = m_ui->geotagScreenButton;
        break;
    case controller::SynchronizeHowTo:
    case controller::SynchronizeCameras:
        target = m_ui->selectSynchronizationImageButton;
        break;
    case controller::GeotagSelectFolder:
        target = m_ui->selectGeotaggingFolderButton;
        break;
    case controller::GeotagProgress:
        // Nothing to press by accident during a run; Escape stops it.
        target = this;
        break;
    case controller::GeotagResults:
        target = m_ui->geotagTable;
        if (m_ui->geotagTable->rowCount() > 0 && !m_ui->geotagTable->currentItem())
            m_ui->geotagTable->setCurrentCell(0, 0, QItemSelectionModel::NoUpdate);
        break;
    case controller::Settings:
        target = m_ui->backButton_3;
        break;
    default:
        target = m_ui->nextButton;
        break;
    }
    if (!target->isEnabled() || target->isHidden())
        target = m_ui->nextButton->isHidden() || !m_ui->nextButton->isEnabled() ? static_cast<QWidget*>(this)
                                                                                 : m_ui->nextButton;
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
        if (focused == m_ui->geotagTable && m_ui->geotagTable->currentRow() >= 0) {
            on_geotagTable_cellClicked(m_ui->geotagTable->currentRow(), 0);
            return;
        }
        if (press(m_ui->nextButton))
            return;
        break;
    case Qt::Key_Escape:
        if (m_ui->stackedWidget->currentWidget() == m_ui->settingsPage && press(m_ui->backButton_3))
            return;
        if (press(m_ui->previousButton))
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
    connect(&controller, &MainController::showMainWindow, this, &MainView::showAt);
    connect(this, &MainView::windowPlacementChanged, &controller, &MainController::keepWindowPlacement);
    connect(&controller, &MainController::screenChanged, this, &MainView::changeScreen);
    connect(&controller, &MainController::camerasUpdated, this, &MainView::assignCameraList);
    connect(&controller, &MainController::photosUpdated, this, &MainView::assignPhotoList);
    connect(m_ui->previousButton, &QPushButton::clicked, &controller, &MainController::toPreviousScreen);
    connect(m_ui->nextButton, &QPushButton::clicked, &controller, &MainController::toNextScreen);
    connect(m_ui->geotagScreenButton, &MenuButton::clicked, &controller, &MainController::toGeotagPhotos);
    connect(m_ui->synchronizeScreenButton, &MenuButton::clicked, &controller, &MainController::toSynchronizeCamera);
    connect(m_ui->settingsScreenButton, &MenuButton::clicked, &controller, &MainController::toSettings);
    connect(m_ui->synchronizationDropFileLabel, &DropLabel::fileDropped, &controller,
            &MainController::synchronizeCamera);
    connect(m_ui->synchronizationIconLabel, &DropLabel::fileDropped, &controller, &MainController::synchronizeCamera);
    connect(this, &MainView::synchronizationImageSelected, &controller, &MainController::synchronizeCamera);
    connect(&controller, &MainController::synchronizationStarted, this, &MainView::onSynchronizationStarted);
    connect(m_ui->geotagDropFolderLabel, &DropLabel::folderDropped, &controller, &MainController::geotagPhotos);
    connect(this, &MainView::geotaggingFolderSelected, &controller, &MainController::geotagPhotos);
    connect(&controller, &MainController::geotaggingRequested, this, &MainView::onGeotaggingRequested);
    connect(&controller, &MainController::geotagProgress, this, &MainView::onGeotagProgress);
    connectServiceParts(controller);
    connectMapPage(controller);
    connect(&controller, &MainController::photoFolderNote, this, &MainView::onPhotoFolderNote);
    connect(&controller, &MainController::geotagPhotoStarted, this, &MainView::onGeotagPhotoStarted);
    connect(&controller, &MainController::geotagStopped, this, &MainView::onGeotagStopped);
    connect(&controller, &MainController::cameraSynchronized, this, &MainView::onCameraSynchronized);
    connect(this, &MainView::resultsExportRequested, &controller, &MainController::exportResults);
}

void MainView::showAt(QRect geometry, bool maximized)
{
    // A window placed on a screen that is gone would open out of sight.
    bool onScreen = false;
    for (const QScreen* screen : QGuiApplication::screens())
        onScreen = onScreen || screen->availableGeometry().intersects(geometry);
    if (geometry.isValid() && onScreen) {
        setGeometry(QRect(geometry.topLeft(), geometry.size().expandedTo(minimumSize())));
    }
    if (maximized)
        showMaximized();
    else
        show();
}

void MainView::closeEvent(QCloseEvent* event)
{
    emit windowPlacementChanged(isMaximized() ? normalGeometry() : geometry(), isMaximized());
    QMainWindow::closeEvent(event);
}

void MainView::changeScreen(controller::Screen screen)
{
    const int index = static_cast<int>(screen);
    if (index < 0 || index >= static_cast<int>(std::size(screenLayouts)))
        return;
    const ScreenLayout& layout = screenLayouts[index];
    m_ui->stackedWidget->setCurrentWidget(m_ui->stackedWidget->findChild<QWidget*>(QLatin1String(layout.page)));
    showCaption(m_ui->previousButton, layout.previous);
    showCaption(m_ui->nextButton, layout.next);
    m_ui->synchronizationReportLabel->setVisible(screen == controller::SynchronizeDone
                                                 && !m_ui->synchronizationReportLabel->text().isEmpty());

    switch (screen) {
    case controller::SynchronizeHowTo:
        m_ui->howTo4Label->setVisible(true);
        m_ui->synchronizeScrollArea->setVisible(false);
        break;
    case controller::SynchronizeCameras:
    case controller::SynchronizeDone:
        m_ui->howTo4Label->setVisible(false);
        m_ui->synchronizeScrollArea->setVisible(true);
        break;
    case controller::Menu:
        m_ui->nextButton->setEnabled(true);
        break;
    case controller::GeotagSelectFolder:
        m_ui->nextButton->setEnabled(false);
        break;
    case controller::GeotagReady:
        m_ui->nextButton->setEnabled(true);
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
    QLayout* list = m_ui->scrollAreaWidgetContents->layout();
    clearLayout(list);
    for (const model::Camera& camera : cameras) {
        auto* frame = new CameraFrame(m_ui->scrollAreaWidgetContents);
        list->addWidget(frame);
        frame->setCamera(camera);
    }
    list->addItem(new QSpacerItem(0, 0, QSizePolicy::Minimum, QSizePolicy::Expanding));
    setSynchronizationEnabled(true);
}

void MainView::setSynchronizationEnabled(bool enabled)
{
    m_ui->synchronizationDropFileLabel->setEnabled(enabled);
    m_ui->synchronizationIconLabel->setEnabled(enabled);
    m_ui->selectSynchronizationImageButton->setEnabled(enabled);
    m_synchronizationBusyBar->setVisible(!enabled);
}

void MainView::onRequestSynchronizationsStarted()
{
    setSynchronizationEnabled(false);
}

void MainView::onSynchronizationStarted(QString)
{
    setSynchronizationEnabled(false);
}

void MainView::onGeotaggingRequested(QString inputFolder, QString outputFolder, int imageCount)
{
    m_ui->imageCountLabel->setText(QString::number(imageCount));
    m_mapUntouched = true;
    m_ui->geotagInputFolderLabel->setText(inputFolder);
    m_photoFolder = inputFolder;
    m_ui->geotagOutputFolderLabel->setText(outputFolder);
    m_ui->nextButton->setVisible(imageCount > 0);
    // Rewrite mode: the output folder is the photo folder itself.
    m_ui->geotagRewriteLabel->setText(
        imageCount > 0 && inputFolder == outputFolder
            ? tr("Careful: your original photos will be changed. The geotags are written into the photo files "
                 "themselves, and no copies are kept.")
            : QString());
    m_ui->geotagFolderNoteLabel->clear();
}

void MainView::onPhotoFolderNote(QString note)
{
    m_ui->geotagFolderNoteLabel->setText(note);
}

void MainView::onGeotagPhotoStarted(QString filePath)
{
    m_ui->geotagCurrentPhotoLabel->setText(QFileInfo(filePath).fileName());
}

void MainView::onGeotagStopped(int processed, int total)
{
    m_ui->geotagStoppedLabel->setText(tr("Stopped after %1 of %2 photos").arg(processed).arg(total));
}

void MainView::onCameraSynchronized(QString report)
{
    m_ui->synchronizationReportLabel->setText(report);
    m_ui->synchronizationReportLabel->setVisible(!report.isEmpty());
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

void MainView::onGeotagProgress(int processed, int failed, int total)
{
    const int ok = processed - failed;
    m_ui->geotagSuccessCountLabel->setText(tr("%1 successfully geotagged photo(s)").arg(ok));
    m_ui->geotagProgressLabel->setText(tr("%1/%2").arg(processed).arg(total));
    m_ui->geotagSuccessLabel->setText(tr("%1/%2").arg(ok).arg(total));
    m_ui->geotagFailCountLabel->setText(tr("Unable to geotag %1 photo(s)").arg(failed));
    m_ui->geotagProgressBar->setMaximum(total);
    m_ui->geotagProgressBar->setValue(processed);
    // A new run starts at 0; the estimate waits for a few photos, so that
    // it rests on more than the first answer.
    if (processed == 0) {
        m_runClock.start();
        m_ui->geotagStoppedLabel->clear();
        m_ui->geotagCurrentPhotoLabel->clear();
    }
    const int estimateAfter = 3;
    m_ui->geotagRemainingLabel->setText(
        processed >= estimateAfter && processed < total && m_runClock.isValid()
            ? remainingText(m_runClock.elapsed() * (total - processed) / processed)
            : QString());
    repaint();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void MainView::assignPhotoList(model::PhotoGeotagList& photos)
{
    // Copy first: the list may be the one the table showed until now.
    m_shownPhotos = photos;

    QLayout* list = m_ui->geotagScrollAreaContents->layout();
    clearLayout(list);
    for (const model::PhotoGeotag& photo : qAsConst(m_shownPhotos)) {
        auto* widget = new PhotoWidget(m_ui->geotagScrollAreaContents);
        list->addWidget(widget);
        widget->setPhoto(photo);
    }
    list->addItem(new QSpacerItem(0, 0, QSizePolicy::Minimum, QSizePolicy::Expanding));

    QTableWidget* table = m_ui->geotagTable;
    table->setSortingEnabled(false);
    table->setRowCount(0);
    for (int index = 0; index < m_shownPhotos.size(); ++index) {
        const model::PhotoGeotag& photo = m_shownPhotos.at(index);
        const int row = table->rowCount();
        table->insertRow(row);
        // A placed position has no accuracy of its own.
        const bool measured = photo.success && !photo.placed();
        QTableWidgetItem* items[8] = {
            new NameItem(QFileInfo(photo.filePath).fileName()),
            tableItem(photo.summary()),
            tableItem(photo.success ? DetailInfoView::latitudeText(photo.latitude) : QString()),
            tableItem(photo.success ? DetailInfoView::longitudeText(photo.longitude) : QString()),
            tableItem(photo.success ? DetailInfoView::altitudeText(photo.altitude) : QString()),
            tableItem(measured ? model::PhotoGeotag::metresText(photo.accuracy) : QString()),
            tableItem(photo.success ? photo.place.text() : QString()),
            tableItem(photo.success ? tr("OK") : tr("FAIL")),
        };
        items[0]->setData(Qt::UserRole, index);
        // A long description is cut at the column's edge; its full text stays at hand.
        items[1]->setToolTip(items[1]->text());
        items[6]->setToolTip(items[6]->text());
        for (int column = 0; column < int(std::size(items)); ++column) {
            if (!photo.success) {
                // Dimmer than the white of the other rows, yet readable (4.5:1).
                items[column]->setForeground(QColor(185, 185, 185));
                items[column]->setBackground(row % 2 == 0 ? QColor(70, 70, 70) : QColor(60, 60, 60));
            }
            table->setItem(row, column, items[column]);
        }
    }
    table->sortByColumn(0, Qt::AscendingOrder);
    // Long place names leave the description room; their full text is the tip.
    table->resizeColumnToContents(6);
    table->setColumnWidth(6, std::min(table->columnWidth(6), maxPlaceWidth));
    // Below the counts: how far the clocks of the run's cameras drift.
    const QStringList drifts = model::cameraDrifts(m_shownPhotos);
    m_ui->cameraDriftLabel->setText(drifts.join(QLatin1Char('\n')));
    m_ui->cameraDriftLabel->setVisible(!drifts.isEmpty());
    // A current row for the keyboard, without selecting (colouring) it.
    if (table->rowCount() > 0)
        table->setCurrentCell(0, 0, QItemSelectionModel::NoUpdate);
    m_ui->exportResultsButton->setEnabled(!m_shownPhotos.isEmpty());
    m_mapButton->setEnabled(!m_shownPhotos.isEmpty());
    m_mapPage->setPhotos(m_shownPhotos, m_mapUntouched);
}

void MainView::on_geotagTable_cellClicked(int row, int)
{
    const QTableWidgetItem* item = m_ui->geotagTable->item(row, 0);
    if (!item)
        return;
    bool valid = false;
    const int index = item->data(Qt::UserRole).toInt(&valid);
    if (!valid || index < 0 || index >= m_shownPhotos.size())
        return;
    // The dialog gets its own copy: a nested event loop may replace the list.
    const model::PhotoGeotag photo = m_shownPhotos.at(index);
    showDetails(photo);
}

void MainView::showDetails(const model::PhotoGeotag& photo)
{
    DetailInfoView details(photo, this);
    if (details.exec() != DetailInfoView::ShowOnMap)
        return;
    for (int index = 0; index < m_shownPhotos.size(); ++index) {
        if (m_shownPhotos.at(index).filePath == photo.filePath)
            emit mapWanted(index);
    }
}

void MainView::on_selectSynchronizationImageButton_clicked()
{
    const QString path = chooseSynchronizationImage();
    if (!path.isEmpty())
        emit synchronizationImageSelected(path);
}

void MainView::on_selectGeotaggingFolderButton_clicked()
{
    const QString path = chooseGeotaggingFolder();
    if (!path.isEmpty())
        emit geotaggingFolderSelected(path);
}

void MainView::on_exportResultsButton_clicked()
{
    const QString path = chooseExportFile();
    if (!path.isEmpty())
        emit resultsExportRequested(path);
}

QString MainView::chooserFolder() const
{
    if (!m_lastFolder.isEmpty() && QFileInfo(m_lastFolder).isDir())
        return m_lastFolder;
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
    m_lastFolder = dialog->directory().absolutePath();
    return dialog->selectedFiles().constFirst();
}

QString MainView::chooseSynchronizationImage()
{
    return runChooser(newPhotoChooser());
}

QString MainView::chooseGeotaggingFolder()
{
    return runChooser(newFolderChooser());
}

QFileDialog* MainView::newExportChooser()
{
    const QDir photos(m_photoFolder);
    const bool known = !m_photoFolder.isEmpty() && photos.exists();
    auto* dialog = new QFileDialog(this, tr("Export the results"), known ? photos.absolutePath() : chooserFolder());
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setNameFilter(tr("CSV table, with a GPX file beside it (*.csv)"));
    dialog->setDefaultSuffix(QStringLiteral("csv"));
    const QString name = known ? photos.dirName() : QString();
    dialog->selectFile(name.isEmpty() || photos.isRoot() ? QStringLiteral("kestrel-results.csv")
                                                         : tr("%1 geotags.csv").arg(name));
    return dialog;
}

QString MainView::chooseExportFile()
{
    return runChooser(newExportChooser());
}

} // namespace view
