#include <QtTest>

#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QStandardPaths>
#include <QLayout>
#include <algorithm>
#include <QMimeData>
#include <QTemporaryDir>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QTableWidget>

#include "controller/maincontroller.h"
#include "model/model.h"
#include "view/droplabel.h"
#include "view/mainview.h"
#include "view/menubutton.h"
#include "view/photowidget.h"
#include "view/resources.h"

using controller::MainController;
using controller::Screen;
using model::PhotoGeocode;
using model::PhotoGeocodeList;

// The main window with its choosers and detail dialog answered by the test.
class TestableMainView : public view::MainView {
public:
    QString chosenImage;
    QString chosenFolder;
    QStringList detailsShown;
    QString exportPath;
    using view::MainView::newFolderChooser;
    using view::MainView::newPhotoChooser;

protected:
    QString chooseExportFile() override { return exportPath; }
    QString chooseSynchronizationImage() override { return chosenImage; }
    QString chooseGeocodingFolder() override { return chosenFolder; }
    void showDetails(const PhotoGeocode& photo) override { detailsShown << photo.filePath; }
};

class TestMainView : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void window();
    void screenTable_data();
    void screenTable();
    void stateCarriedAcrossScreens();
    void choosers();
    void choosersReadable_data();
    void choosersReadable();
    void drops();
    void keyboard_data();
    void keyboard();
    void everyConnection();
    void synchronizationTargetsDisabledUntilCameraList();
    void geocodingRequested_data();
    void geocodingRequested();
    void geocodeProgress();
    void remainingTime_data();
    void remainingTime();
    void stoppedRunAndExport();
    void synchronizationReport();
    void resultTexts_data();
    void resultTexts();
    void failedRowsGrey();
    void rowsOpenTheirOwnRecord();
    void secondRunReplacesResults();
    void photoWidgets();
    void photoListRebuiltWhileDetailsOpen();

private:
    template <typename T> T* child(const char* name) const
    {
        T* widget = view->findChild<T*>(QLatin1String(name));
        if (!widget)
            qFatal("no widget %s", name);
        return widget;
    }
    QString page() const { return child<QStackedWidget>("stackedWidget")->currentWidget()->objectName(); }
    QTableWidget* table() const { return child<QTableWidget>("geocodeTable"); }
    QStringList rowTexts(int row) const
    {
        QStringList texts;
        for (int column = 0; column < table()->columnCount(); ++column)
            texts << table()->item(row, column)->text();
        return texts;
    }

    MainController* controller = nullptr;
    TestableMainView* view = nullptr;
};

static PhotoGeocode photo(const QString& name, bool success, double latitude = 0, double longitude = 0,
                          double altitude = 0)
{
    PhotoGeocode record;
    record.filePath = QStringLiteral("/data/photos/") + name;
    record.success = success;
    if (success) {
        record.latitude = latitude;
        record.longitude = longitude;
        record.altitude = altitude;
        record.photoTime = QStringLiteral("2026-07-14 12:35:01");
        record.dateTimeOriginal = QStringLiteral("2026:07:14 12:34:56");
    } else {
        record.errorTitle = QStringLiteral("Network error");
        record.errorText = QStringLiteral("Connection refused");
    }
    return record;
}

void TestMainView::init()
{
    QFile::remove(model::Model::configFilePath());
    controller = new MainController;
    view = new TestableMainView;
    view->connectController(*controller);
    controller->start();
    QVERIFY(view->isVisible());
}

void TestMainView::cleanup()
{
    delete view;
    view = nullptr;
    delete controller;
    controller = nullptr;
}

void TestMainView::window()
{
    QCOMPARE(view->windowTitle(), QStringLiteral("Kestrel - Professional Geotagging Tool - 1.0.36.474"));
    QCOMPARE(view->size(), QSize(668, 461));
    QCOMPARE(view->minimumSize(), QSize(668, 461));
    QCOMPARE(view->maximumSize(), QSize(668, 461));
    QVERIFY(!(view->windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(view->windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(view->windowFlags() & Qt::WindowCloseButtonHint);
    QStringList headers;
    for (int column = 0; column < 6; ++column)
        headers << table()->horizontalHeaderItem(column)->text();
    QCOMPARE(table()->columnCount(), 6);
    QCOMPARE(headers, (QStringList{"Photo", "Description", "Latitude", "Longitude", "Altitude", "Status"}));
}

void TestMainView::screenTable_data()
{
    QTest::addColumn<int>("screen");
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("previous"); // empty: hidden
    QTest::addColumn<QString>("next");     // empty: hidden
    QTest::addColumn<bool>("nextEnabled");
    QTest::addColumn<int>("cameraList"); // 1 shown, 0 how-to picture shown, -1 not touched

    QTest::newRow("HowTo1") << 0 << "howTo1Page" << "" << "    NEXT    " << true << -1;
    QTest::newRow("HowTo2") << 1 << "howTo2Page" << "    BACK    " << "    NEXT    " << true << -1;
    QTest::newRow("HowTo3") << 2 << "howTo3Page" << "    BACK    " << "    NEXT    " << true << -1;
    QTest::newRow("SynchronizeHowTo") << 3 << "synchronizePage" << "    BACK    " << "" << true << 0;
    QTest::newRow("Menu") << 4 << "menuPage" << "" << "" << true << -1;
    QTest::newRow("GeocodeSelectFolder") << 5 << "geocodePage" << "    CANCEL    " << "    START GEOTAGGING    "
                                         << false << -1;
    QTest::newRow("GeocodeReady") << 6 << "geocode2Page" << "    CANCEL    " << "    START GEOTAGGING    " << true
                                  << -1;
    QTest::newRow("GeocodeProgress") << 7 << "geocode3Page" << "    STOP    " << "" << true << -1;
    QTest::newRow("GeocodeResults") << 8 << "geocode5Page" << "" << "    DONE    " << true << -1;
    QTest::newRow("SynchronizeCameras") << 9 << "synchronizePage" << "    BACK    " << "" << true << 1;
    QTest::newRow("SynchronizeDone") << 10 << "synchronizePage" << "" << "    DONE    " << true << 1;
    QTest::newRow("Settings") << 11 << "settingsPage" << "    BACK    " << "" << true << -1;
}

void TestMainView::screenTable()
{
    QFETCH(int, screen);
    QFETCH(QString, previous);
    QFETCH(QString, next);
    QFETCH(int, cameraList);
    auto* previousButton = child<QPushButton>("previousButton");
    auto* nextButton = child<QPushButton>("nextButton");
    // Start from the opposite state of the synchronization page.
    view->changeScreen(cameraList == 0 ? controller::SynchronizeCameras : controller::SynchronizeHowTo);

    view->changeScreen(static_cast<Screen>(screen));
    // Values outside the table change nothing.
    for (int outside : {-1, 12, 1000})
        view->changeScreen(static_cast<Screen>(outside));

    QTEST(page(), "page");
    QCOMPARE(previousButton->isVisible(), !previous.isEmpty());
    if (!previous.isEmpty())
        QCOMPARE(previousButton->text(), previous);
    QCOMPARE(nextButton->isVisible(), !next.isEmpty());
    if (!next.isEmpty())
        QCOMPARE(nextButton->text(), next);
    QTEST(nextButton->isEnabled(), "nextEnabled");
    if (cameraList >= 0) {
        QCOMPARE(child<QScrollArea>("synchronizeScrollArea")->isVisible(), cameraList == 1);
        QCOMPARE(child<QLabel>("howTo4Label")->isVisible(), cameraList == 0);
    }
}

// What a screen does not set stays as the previous screen left it.
void TestMainView::stateCarriedAcrossScreens()
{
    auto* next = child<QPushButton>("nextButton");
    view->changeScreen(controller::GeocodeProgress);
    view->changeScreen(controller::GeocodeResults);
    QVERIFY(!child<QPushButton>("previousButton")->isVisible());
    QCOMPARE(child<QPushButton>("previousButton")->text(), QStringLiteral("    STOP    "));
    view->changeScreen(controller::GeocodeSelectFolder);
    QVERIFY(!next->isEnabled());
    view->changeScreen(controller::Menu);
    QVERIFY(next->isEnabled());
    view->changeScreen(controller::HowTo1);
    QVERIFY(next->isEnabled());
}

void TestMainView::choosers()
{
    QSignalSpy images(view, &view::MainView::synchronizationImageSelected);
    QSignalSpy folders(view, &view::MainView::geocodingFolderSelected);
    // First cancelled, then answered.
    for (const QString& image : {QString(), QStringLiteral("/data/sync/DSCF0001.JPG")}) {
        view->chosenImage = image;
        view->chosenFolder = image.isEmpty() ? QString() : QStringLiteral("/data/photos");
        view->changeScreen(controller::SynchronizeHowTo);
        QTest::mouseClick(child<QPushButton>("selectSynchronizationImageButton"), Qt::LeftButton);
        view->changeScreen(controller::GeocodeSelectFolder);
        QTest::mouseClick(child<QPushButton>("selectGeocodingFolderButton"), Qt::LeftButton);
    }
    QCOMPARE(images.count(), 1);
    QCOMPARE(images.first().first().toString(), QStringLiteral("/data/sync/DSCF0001.JPG"));
    QCOMPARE(folders.count(), 1);
    QCOMPARE(folders.first().first().toString(), QStringLiteral("/data/photos"));
}

void TestMainView::choosersReadable_data()
{
    QTest::addColumn<bool>("photos");
    QTest::newRow("photo chooser") << true;
    QTest::newRow("folder chooser") << false;
}

// Under the application's style sheet the choosers keep dark text on their
// light background, open in the Pictures folder, and list photos first.
void TestMainView::choosersReadable()
{
    QFETCH(bool, photos);
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    QVERIFY(QDir().mkpath(pictures));
    view::initResources();
    qApp->setStyleSheet(view::styleSheetText());
    const std::unique_ptr<QFileDialog> dialog(photos ? view->newPhotoChooser() : view->newFolderChooser());
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
    QCOMPARE(QDir(dialog->directory()).absolutePath(), QDir(pictures).absolutePath());
    QCOMPARE(dialog->nameFilters().first().contains(" *.jpeg "), photos);
    const QPalette palette = dialog->findChild<QLineEdit*>()->palette();
    const auto lightness = [](const QColor& color) { return color.lightness(); };
    QVERIFY(lightness(palette.color(QPalette::Text)) < 100 && lightness(palette.color(QPalette::Base)) > 155);
    QVERIFY(lightness(dialog->findChild<QLabel*>()->palette().color(QPalette::WindowText)) < 100);
    qApp->setStyleSheet(QString());
}

// Drags paths over widget and drops them there when the widget takes them,
// through the application's event delivery (which skips disabled widgets).
// Returns how the widget lit up meanwhile: "accepted", "refused" or "" when
// the drag never reached it; the light is off again afterwards.
static QString dragOver(QWidget* widget, const QStringList& paths)
{
    QMimeData data;
    QList<QUrl> urls;
    for (const QString& path : paths)
        urls << QUrl::fromLocalFile(path);
    data.setUrls(urls);
    const QPoint position = widget->rect().center();
    QDragEnterEvent enter(position, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    enter.ignore();
    QApplication::sendEvent(widget, &enter);
    const QString state = widget->property("dropState").toString();
    if (state != (enter.isAccepted() ? "accepted" : widget->isEnabled() ? "refused" : ""))
        return QStringLiteral("light does not match: ") + state;
    if (enter.isAccepted()) {
        QDropEvent drop(position, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(widget, &drop);
    } else {
        // Straight to the widget: the application delivers a leave only
        // when it comes from the window system.
        QDragLeaveEvent leave;
        static_cast<QObject*>(widget)->event(&leave);
    }
    return widget->property("dropState").toString().isEmpty() ? state : QStringLiteral("still lit");
}

void TestMainView::drops()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString image = folder.filePath(QStringLiteral("DSCF0001.JPG"));
    const QString notes = folder.filePath(QStringLiteral("notes.txt"));
    for (const QString& path : {image, notes}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const QString photos = folder.filePath(QStringLiteral("photos"));
    QVERIFY(QDir().mkdir(photos));

    auto* fileLabel = child<QWidget>("synchronizationDropFileLabel");
    auto* iconLabel = child<QWidget>("synchronizationIconLabel");
    auto* folderLabel = child<QWidget>("geocodeDropFolderLabel");
    QSignalSpy fromFileLabel(fileLabel, SIGNAL(fileDropped(QString)));
    QSignalSpy fromIconLabel(iconLabel, SIGNAL(fileDropped(QString)));
    QSignalSpy fromFolderLabel(folderLabel, SIGNAL(folderDropped(QString)));

    view->changeScreen(controller::SynchronizeHowTo);
    QCOMPARE(dragOver(fileLabel, {image}), QStringLiteral("accepted"));
    // The targets refuse photos until the synchronization has ended.
    QTRY_VERIFY(iconLabel->isEnabled());
    QCOMPARE(dragOver(iconLabel, {image}), QStringLiteral("accepted"));
    QTRY_VERIFY(iconLabel->isEnabled());
    // A folder, two photos at once or a file of another type is no
    // synchronization photo.
    for (const QStringList& refused : {QStringList{photos}, QStringList{image, image}, QStringList{notes}})
        QCOMPARE(dragOver(fileLabel, refused), QStringLiteral("refused"));
    QCOMPARE(fromFileLabel.count(), 1);
    QCOMPARE(fromFileLabel.first().first().toString(), image);
    QCOMPARE(fromIconLabel.count(), 1);

    // While a synchronization runs the targets refuse further photos.
    emit controller->synchronizationStarted(image);
    QCOMPARE(dragOver(iconLabel, {image}), QString());
    QCOMPARE(fromIconLabel.count(), 1);

    view->changeScreen(controller::GeocodeSelectFolder);
    QCOMPARE(dragOver(folderLabel, {image}), QStringLiteral("accepted")); // a file is taken as a track
    QCOMPARE(dragOver(folderLabel, {photos}), QStringLiteral("accepted"));
    QCOMPARE(fromFolderLabel.count(), 1);
    QCOMPARE(fromFolderLabel.first().first().toString(), photos);
}

void TestMainView::keyboard_data()
{
    QTest::addColumn<int>("screen");
    QTest::addColumn<QStringList>("chain"); // where the screen puts the focus, then each Tab
    QTest::addColumn<QString>("enter"); // what Enter presses at the start: a button, "details" or nothing
    QTest::addColumn<QString>("escape");

    const QString next = QStringLiteral("nextButton");
    const QString previous = QStringLiteral("previousButton");
    const QString service = QStringLiteral("serviceMenuButton");
    QTest::newRow("HowTo1") << 0 << QStringList{next, service} << next << "";
    QTest::newRow("HowTo2") << 1 << QStringList{next, service, "label_8"} << next << previous;
    QTest::newRow("Menu") << 4
                          << QStringList{"geocodeScreenButton", "synchronizeScreenButton", "settingsScreenButton",
                                         service}
                          << "geocodeScreenButton" << "";
    QTest::newRow("SynchronizeCameras")
        << 9 << QStringList{"selectSynchronizationImageButton", "synchronizeScrollArea", previous, service}
        << "selectSynchronizationImageButton" << previous;
    QTest::newRow("GeocodeSelectFolder") << 5 << QStringList{"selectGeocodingFolderButton", previous, service}
                                         << "selectGeocodingFolderButton" << previous;
    QTest::newRow("GeocodeReady") << 6 << QStringList{next, service, previous} << next << previous;
    // Nothing to press by accident while photos are written; Escape stops.
    QTest::newRow("GeocodeProgress") << 7 << QStringList{"MainWindow", previous, service} << "" << previous;
    QTest::newRow("GeocodeResults") << 8 << QStringList{"geocodeTable", "exportResultsButton", next, service}
                                    << "details" << "";
    QTest::newRow("SynchronizeDone")
        << 10 << QStringList{next, service, "selectSynchronizationImageButton", "synchronizeScrollArea"} << next << "";
}

// Every screen works from the keyboard: where the focus starts, where Tab
// takes it, what Enter and Escape press.
void TestMainView::keyboard()
{
    QFETCH(int, screen);
    QFETCH(QStringList, chain);
    QFETCH(QString, enter);
    QFETCH(QString, escape);
    view->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(view));
    model::CameraList none;
    view->assignCameraList(none);
    PhotoGeocodeList photos{photo(QStringLiteral("b.jpg"), true), photo(QStringLiteral("a.jpg"), false)};
    view->assignPhotoList(photos);
    view->changeScreen(static_cast<Screen>(screen));
    // Nothing may leave for another screen while the keys are tried.
    controller->disconnect(view);
    view->disconnect(controller);
    for (QObject* button : view->findChildren<QPushButton*>())
        button->disconnect(controller);
    for (QObject* button : view->findChildren<view::MenuButton*>())
        button->disconnect(controller);

    QStringList reached{QApplication::focusWidget()->objectName()};
    while (reached.size() < chain.size()) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        reached << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(reached, chain);

    QStringList pressed;
    for (QPushButton* button : view->findChildren<QPushButton*>())
        connect(button, &QPushButton::clicked, this, [&pressed, button] { pressed << button->objectName(); });
    for (view::MenuButton* button : view->findChildren<view::MenuButton*>())
        connect(button, &view::MenuButton::clicked, this, [&pressed, button] { pressed << button->objectName(); });
    view->changeScreen(static_cast<Screen>(screen)); // Enter where the screen starts
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    pressed << view->detailsShown.replaceInStrings(QRegularExpression(".+"), QStringLiteral("details"));
    QCOMPARE(pressed.join(QLatin1Char(',')), enter);
    pressed.clear();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    QCOMPARE(pressed.join(QLatin1Char(',')), escape);
}

// Disconnecting a connection of the window's wiring succeeds once: it
// existed, and exactly once.
template <typename Sender, typename Signal, typename Receiver, typename Slot>
static void expectWiredOnce(Sender* sender, Signal signal, Receiver* receiver, Slot slot)
{
    QVERIFY(QObject::disconnect(sender, signal, receiver, slot));
    QVERIFY(!QObject::disconnect(sender, signal, receiver, slot));
}

void TestMainView::everyConnection()
{
    using view::MainView;
    MainController* c = controller;
    MainView* w = view;
    expectWiredOnce(c, &MainController::showMainWindow, w, &MainView::show);
    expectWiredOnce(c, &MainController::screenChanged, w, &MainView::changeScreen);
    expectWiredOnce(c, &MainController::camerasUpdated, w, &MainView::assignCameraList);
    expectWiredOnce(c, &MainController::photosUpdated, w, &MainView::assignPhotoList);
    expectWiredOnce(child<QPushButton>("previousButton"), &QPushButton::clicked, c, &MainController::toPreviousScreen);
    expectWiredOnce(child<QPushButton>("nextButton"), &QPushButton::clicked, c, &MainController::toNextScreen);
    expectWiredOnce(child<view::MenuButton>("geocodeScreenButton"), &view::MenuButton::clicked, c,
                    &MainController::toGeocodePhotos);
    expectWiredOnce(child<view::MenuButton>("synchronizeScreenButton"), &view::MenuButton::clicked, c,
                    &MainController::toSynchronizeCamera);
    expectWiredOnce(child<view::MenuButton>("settingsScreenButton"), &view::MenuButton::clicked, c,
                    &MainController::toSettings);
    for (const char* label : {"synchronizationDropFileLabel", "synchronizationIconLabel"})
        expectWiredOnce(child<DropLabel>(label), &DropLabel::fileDropped, c, &MainController::synchronizeCamera);
    expectWiredOnce(w, &MainView::synchronizationImageSelected, c, &MainController::synchronizeCamera);
    expectWiredOnce(c, &MainController::synchronizationStarted, w, &MainView::onSynchronizationStarted);
    expectWiredOnce(child<DropLabel>("geocodeDropFolderLabel"), &DropLabel::folderDropped, c,
                    &MainController::geocodePhotos);
    expectWiredOnce(w, &MainView::geocodingFolderSelected, c, &MainController::geocodePhotos);
    expectWiredOnce(c, &MainController::geocodingRequested, w, &MainView::onGeocodingRequested);
    expectWiredOnce(c, &MainController::geocodeProgress, w, &MainView::onGeocodeProgress);
    // Started camera-list requests are not wired to the window.
    QVERIFY(!QObject::disconnect(c, &MainController::requestSynchronizationsStarted, w,
                                 &MainView::onRequestSynchronizationsStarted));
}

void TestMainView::synchronizationTargetsDisabledUntilCameraList()
{
    const QList<QWidget*> targets{child<QWidget>("synchronizationDropFileLabel"),
                                  child<QWidget>("synchronizationIconLabel"),
                                  child<QWidget>("selectSynchronizationImageButton")};
    const auto enabledCount = [&] { return int(std::count_if(targets.begin(), targets.end(),
                                                             [](QWidget* w) { return w->isEnabled(); })); };
    view->changeScreen(controller::SynchronizeCameras);
    QCOMPARE(enabledCount(), 3);

    auto* busy = child<QProgressBar>("synchronizationBusyBar");
    QVERIFY(busy->isHidden());
    emit controller->synchronizationStarted(QStringLiteral("/data/sync/DSCF0001.JPG"));
    QCOMPARE(enabledCount(), 0);
    QVERIFY(!busy->isHidden());
    // A click on the disabled chooser button chooses nothing.
    QSignalSpy images(view, &view::MainView::synchronizationImageSelected);
    view->chosenImage = QStringLiteral("/data/sync/DSCF0002.JPG");
    QTest::mouseClick(child<QPushButton>("selectSynchronizationImageButton"), Qt::LeftButton);
    QCOMPARE(images.count(), 0);

    model::CameraList empty;
    emit controller->camerasUpdated(empty);
    QCOMPARE(enabledCount(), 3);
    QVERIFY(busy->isHidden());

    view->onRequestSynchronizationsStarted();
    QCOMPARE(enabledCount(), 0);
    emit controller->camerasUpdated(controller->modelRef().cameras);
    QCOMPARE(enabledCount(), 3);
}

void TestMainView::geocodingRequested_data()
{
    QTest::addColumn<int>("count");
    QTest::newRow("photos") << 128;
    QTest::newRow("none") << 0;
}

void TestMainView::geocodingRequested()
{
    QFETCH(int, count);
    view->changeScreen(controller::GeocodeSelectFolder);
    emit controller->geocodingRequested(QStringLiteral("/data/photos/"), QStringLiteral("/data/photos/KESTREL/"),
                                        count);
    view->changeScreen(controller::GeocodeReady);
    emit controller->geocodingRequested(QStringLiteral("/data/photos/"), QStringLiteral("/data/photos/KESTREL/"),
                                        count);
    QCOMPARE(child<QLabel>("imageCountLabel")->text(), QString::number(count));
    QCOMPARE(child<QLabel>("geocodeInputFolderLabel")->text(), QStringLiteral("/data/photos/"));
    QCOMPARE(child<QLabel>("geocodeOutputFolderLabel")->text(), QStringLiteral("/data/photos/KESTREL/"));
    QCOMPARE(child<QPushButton>("nextButton")->isVisible(), count > 0);
    QVERIFY(child<QPushButton>("previousButton")->isVisible());
    QVERIFY(child<QLabel>("geocodeRewriteLabel")->text().isEmpty());
    // Rewrite mode says so before the start.
    emit controller->geocodingRequested(QStringLiteral("/data/photos/"), QStringLiteral("/data/photos/"), count);
    QCOMPARE(child<QLabel>("geocodeRewriteLabel")->text().contains("original photos will be changed"), count > 0);
    emit controller->photoFolderNote(QStringLiteral("no photos found"));
    QCOMPARE(child<QLabel>("geocodeFolderNoteLabel")->text(), QStringLiteral("no photos found"));
}

void TestMainView::geocodeProgress()
{
    view->changeScreen(controller::GeocodeProgress);
    emit controller->geocodeProgress(17, 3, 40);
    QCOMPARE(child<QLabel>("geocodeSuccessCountLabel")->text(), QStringLiteral("14 successfully geotagged photo(s)"));
    QCOMPARE(child<QLabel>("geocodeProgressLabel")->text(), QStringLiteral("17/40"));
    QCOMPARE(child<QLabel>("geocodeSuccessLabel")->text(), QStringLiteral("14/40"));
    QCOMPARE(child<QLabel>("geocodeFailCountLabel")->text(), QStringLiteral("Unable to geotag 3 photo(s)"));
    QCOMPARE(child<QProgressBar>("geocodeProgressBar")->maximum(), 40);
    QCOMPARE(child<QProgressBar>("geocodeProgressBar")->value(), 17);
    // A run from its start: the current photo, and an estimate after a few photos.
    emit controller->geocodeProgress(0, 0, 40);
    emit controller->geocodePhotoStarted(QStringLiteral("/data/photos/trip/P2.jpg"));
    QCOMPARE(child<QLabel>("geocodeCurrentPhotoLabel")->text(), QStringLiteral("P2.jpg"));
    for (int processed = 1; processed <= 3; ++processed) {
        emit controller->geocodeProgress(processed, 0, 40);
        QCOMPARE(child<QLabel>("geocodeRemainingLabel")->text().startsWith("About "), processed == 3);
    }
    emit controller->geocodeProgress(40, 0, 40);
    QVERIFY(child<QLabel>("geocodeRemainingLabel")->text().isEmpty());
}

void TestMainView::remainingTime_data()
{
    QTest::addColumn<qint64>("milliseconds");
    QTest::addColumn<QString>("text");
    QTest::newRow("seconds, rounded up") << 4001LL << "About 5 s left";
    QTest::newRow("minutes") << 130000LL << "About 2 min 10 s left";
    QTest::newRow("hours") << 3700000LL << "About 1 h 1 min left";
}

void TestMainView::remainingTime()
{
    QFETCH(qint64, milliseconds);
    QFETCH(QString, text);
    QCOMPARE(view::MainView::remainingText(milliseconds), text);
}

void TestMainView::stoppedRunAndExport()
{
    auto* exportButton = child<QPushButton>("exportResultsButton");
    QSignalSpy exports(view, &view::MainView::resultsExportRequested);
    view->changeScreen(controller::GeocodeResults);
    emit controller->geocodeStopped(195, 600);
    PhotoGeocodeList photos{photo(QStringLiteral("P10.jpg"), true), photo(QStringLiteral("P2.jpg"), false)};
    emit controller->photosUpdated(photos);
    QCOMPARE(child<QLabel>("geocodeStoppedLabel")->text(), QStringLiteral("Stopped after 195 of 600 photos"));
    QCOMPARE(table()->item(0, 0)->text(), QStringLiteral("P2.jpg")); // natural order
    for (const QString& path : {QString(), QStringLiteral("/data/out.csv")}) {
        view->exportPath = path;
        QTest::mouseClick(exportButton, Qt::LeftButton);
    }
    QCOMPARE(exports.size(), 1);
    QCOMPARE(exports[0][0].toString(), QStringLiteral("/data/out.csv"));
    emit controller->geocodeProgress(0, 0, 5); // the next run
    QVERIFY(child<QLabel>("geocodeStoppedLabel")->text().isEmpty());
}

void TestMainView::synchronizationReport()
{
    emit controller->cameraSynchronized(QStringLiteral("Canon EOS 80D: clock 7 min 13 s fast"));
    view->changeScreen(controller::SynchronizeDone);
    QVERIFY(child<QLabel>("synchronizationReportLabel")->isVisible());
    QCOMPARE(child<QLabel>("synchronizationReportLabel")->text(), QStringLiteral("Canon EOS 80D: clock 7 min 13 s fast"));
    view->changeScreen(controller::SynchronizeCameras);
    QVERIFY(!child<QLabel>("synchronizationReportLabel")->isVisible());
}

void TestMainView::resultTexts_data()
{
    QTest::addColumn<double>("latitude");
    QTest::addColumn<double>("longitude");
    QTest::addColumn<double>("altitude");
    QTest::addColumn<QStringList>("cells");

    QTest::newRow("zero") << 0.0 << 0.0 << 0.0 << QStringList{"0N", "0E", "0"};
    QTest::newRow("west") << 46.0569465 << -0.5 << -12.5 << QStringList{"46.0569465N", "0.5W", "-12.5"};
    QTest::newRow("south") << -33.86881971 << 151.20929551 << 58.123456 << QStringList{"33.8688197S", "151.209296E", "58.1235"};
    QTest::newRow("nine digits") << 123456789.123 << 0.0 << 8848.86 << QStringList{"123456789N", "0E", "8848.86"};
}

void TestMainView::resultTexts()
{
    QFETCH(double, latitude);
    QFETCH(double, longitude);
    QFETCH(double, altitude);
    QFETCH(QStringList, cells);
    PhotoGeocodeList photos{photo(QStringLiteral("DSCF0042.JPG"), true, latitude, longitude, altitude)};
    emit controller->photosUpdated(photos);

    QCOMPARE(table()->rowCount(), 1);
    QCOMPARE(rowTexts(0), (QStringList{"DSCF0042.JPG", ""} + cells + QStringList{"OK"}));
}

void TestMainView::failedRowsGrey()
{
    PhotoGeocodeList photos{photo(QStringLiteral("a.jpg"), false), photo(QStringLiteral("b.jpg"), true, 1, 2, 3),
                            photo(QStringLiteral("c.jpg"), false)};
    photos[2].errorTitle = QStringLiteral("EXIF Error");
    photos[2].errorCause = QStringLiteral("the disk is full");
    photos[1].sidecarPath = QStringLiteral("/data/photos/b.xmp");
    view->assignPhotoList(photos);

    QCOMPARE(table()->rowCount(), 3);
    QCOMPARE(rowTexts(0), (QStringList{"a.jpg", "Network error", "", "", "", "FAIL"}));
    QCOMPARE(rowTexts(1).mid(0, 2), (QStringList{"b.jpg", "GPS written to b.xmp"}));
    QCOMPARE(rowTexts(2), (QStringList{"c.jpg", "EXIF Error: the disk is full", "", "", "", "FAIL"}));
    for (int column = 0; column < 6; ++column) {
        QCOMPARE(table()->item(1, column)->data(Qt::ForegroundRole), QVariant());
        QCOMPARE(table()->item(1, column)->data(Qt::BackgroundRole), QVariant());
        for (int row : {0, 2}) {
            const QTableWidgetItem* item = table()->item(row, column);
            QCOMPARE(item->foreground().color(), QColor(185, 185, 185));
            QCOMPARE(item->background().color(), QColor(70, 70, 70));
            QCOMPARE(item->background().style(), Qt::SolidPattern);
        }
    }

    // An odd insertion index gives the darker grey.
    PhotoGeocodeList second{photo(QStringLiteral("x.jpg"), true, 1, 2, 3), photo(QStringLiteral("y.jpg"), false)};
    view->assignPhotoList(second);
    QCOMPARE(table()->item(1, 3)->background().color(), QColor(60, 60, 60));
}

void TestMainView::rowsOpenTheirOwnRecord()
{
    // Finished in an order different from the names.
    PhotoGeocodeList photos{photo(QStringLiteral("IMG_0300.JPG"), true, 46.1, 14.5, 300),
                            photo(QStringLiteral("IMG_0100.JPG"), false),
                            photo(QStringLiteral("IMG_0200.JPG"), true, -33.9, -70.7, 500)};
    view->changeScreen(controller::GeocodeResults);
    emit controller->photosUpdated(photos);
    photos.clear(); // the table keeps what it shows

    const QStringList names{"IMG_0100.JPG", "IMG_0200.JPG", "IMG_0300.JPG"};
    for (int row = 0; row < 3; ++row) {
        QCOMPARE(table()->item(row, 0)->text(), names.at(row));
        for (int column : {0, 3, 5}) {
            view->detailsShown.clear();
            const QRect cell = table()->visualItemRect(table()->item(row, column));
            QTest::mouseClick(table()->viewport(), Qt::LeftButton, {}, cell.center());
            QCOMPARE(view->detailsShown, QStringList{QStringLiteral("/data/photos/") + names.at(row)});
        }
    }
    QCOMPARE(table()->item(0, 5)->text(), QStringLiteral("FAIL"));
    QCOMPARE(table()->item(1, 2)->text(), QStringLiteral("33.9S"));
}

void TestMainView::secondRunReplacesResults()
{
    auto* contents = child<QWidget>("geocodeScrollAreaContents");
    PhotoGeocodeList first;
    for (int i = 0; i < 5; ++i)
        first << photo(QStringLiteral("first%1.jpg").arg(i), i % 2 == 0, i, i, i);
    emit controller->photosUpdated(first);
    QCOMPARE(table()->rowCount(), 5);
    QCOMPARE(contents->findChildren<view::PhotoWidget*>().size(), 5);

    PhotoGeocodeList second{photo(QStringLiteral("second.jpg"), true, 1, 2, 3),
                            photo(QStringLiteral("another.jpg"), false)};
    emit controller->photosUpdated(second);
    QCOMPARE(table()->rowCount(), 2);
    QCOMPARE(table()->item(0, 0)->text(), QStringLiteral("another.jpg"));
    QCOMPARE(table()->item(1, 0)->text(), QStringLiteral("second.jpg"));
    const auto widgets = contents->findChildren<view::PhotoWidget*>();
    QCOMPARE(widgets.size(), 2);
    // One layout entry per photo, in list order, then the closing spacer.
    QLayout* list = contents->layout();
    QCOMPARE(list->count(), 3);
    QCOMPARE(static_cast<view::PhotoWidget*>(list->itemAt(0)->widget())->photo().filePath, second[0].filePath);
    QCOMPARE(static_cast<view::PhotoWidget*>(list->itemAt(1)->widget())->photo().filePath, second[1].filePath);
    QVERIFY(list->itemAt(2)->spacerItem());

    PhotoGeocodeList none;
    emit controller->photosUpdated(none);
    QCOMPARE(table()->rowCount(), 0);
    QCOMPARE(contents->findChildren<view::PhotoWidget*>().size(), 0);
}

void TestMainView::photoWidgets()
{
    view::PhotoWidget good;
    good.setPhoto(photo(QStringLiteral("IMG_0007.JPG"), true, -33.8688197, 151.2092955, -12.5));
    QCOMPARE(good.findChild<QLabel*>(QStringLiteral("fileNameLabel"))->text(), QStringLiteral("IMG_0007.JPG"));
    QCOMPARE(good.findChild<QLabel*>(QStringLiteral("geoLabel"))->text(), QStringLiteral("-33.8688, 151.209, -12.5"));
    const QImage goodIcon = good.findChild<QLabel*>(QStringLiteral("iconLabel"))->pixmap(Qt::ReturnByValue).toImage();
    QVERIFY(!goodIcon.isNull());

    view::PhotoWidget bad;
    bad.setPhoto(photo(QStringLiteral("bad.jpg"), false));
    QCOMPARE(bad.findChild<QLabel*>(QStringLiteral("fileNameLabel"))->text(), QStringLiteral("bad.jpg"));
    QCOMPARE(bad.findChild<QLabel*>(QStringLiteral("geoLabel"))->text(), QStringLiteral("Network error"));
    QVERIFY(bad.findChild<QLabel*>(QStringLiteral("iconLabel"))->pixmap(Qt::ReturnByValue).toImage() != goodIcon);

    // A left click opens the photo's details, a right click nothing.
    good.show();
    QVERIFY(QTest::qWaitForWindowExposed(&good));
    QStringList opened;
    QTimer::singleShot(0, this, [&opened] {
        if (QWidget* dialog = QApplication::activeModalWidget()) {
            opened << dialog->windowTitle();
            dialog->close();
        }
    });
    QTest::mouseClick(&good, Qt::LeftButton);
    QCOMPARE(opened, QStringList{"IMG_0007.JPG"});
    QTest::mouseClick(&good, Qt::RightButton);
    QCOMPARE(opened.size(), 1);
}

void TestMainView::photoListRebuiltWhileDetailsOpen()
{
    // The photo widget whose dialog is open goes away with its list; the
    // dialog goes with it and nothing else is touched.
    PhotoGeocodeList first{photo(QStringLiteral("IMG_0001.JPG"), true, 1, 2, 3)};
    view->assignPhotoList(first);
    auto* contents = child<QWidget>("geocodeScrollAreaContents");
    child<QStackedWidget>("stackedWidget")->setCurrentWidget(child<QWidget>("geocode4Page"));
    view::PhotoWidget* widget = contents->findChildren<view::PhotoWidget*>().value(0);
    QVERIFY(widget);

    QStringList opened;
    QTimer::singleShot(0, this, [this, &opened] {
        QWidget* dialog = QApplication::activeModalWidget();
        if (!dialog)
            return;
        opened << dialog->windowTitle();
        PhotoGeocodeList second{photo(QStringLiteral("IMG_0002.JPG"), false)};
        view->assignPhotoList(second);
    });
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(5, 5), Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &release);

    QCOMPARE(opened, QStringList{"IMG_0001.JPG"});
    QVERIFY(!QApplication::activeModalWidget());
    const auto widgets = contents->findChildren<view::PhotoWidget*>();
    QCOMPARE(widgets.size(), 1);
    QCOMPARE(widgets.first()->photo().filePath, QStringLiteral("/data/photos/IMG_0002.JPG"));
}

QTEST_MAIN(TestMainView)
#include "tst_mainview.moc"
