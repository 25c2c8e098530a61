#include <QtTest>

#include <QFileDialog>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTemporaryDir>

#include "controller/maincontroller.h"
#include "model/model.h"
#include "support/files.h"
#include "support/drops.h"
#include "support/widgets.h"
#include "view/droplabel.h"
#include "view/mainview.h"
#include "view/mapview.h"
#include "view/menubutton.h"
#include "view/photowidget.h"
#include "view/resources.h"

using controller::MainController;
using controller::Screen;
using model::PhotoGeotag;
using model::PhotoGeotagList;
using testsupport::firstArguments;

// The main window with its choosers and detail dialog answered by the test.
class TestableMainView : public view::MainView {
public:
    QString chosenImage;
    QString chosenFolder;
    QStringList detailsShown;
    QString exportPath;
    using view::MainView::newExportChooser;
    using view::MainView::newFolderChooser;
    using view::MainView::newPhotoChooser;

protected:
    QString chooseExportFile() override { return exportPath; }
    QString chooseSynchronizationImage() override { return chosenImage; }
    QString chooseGeotaggingFolder() override { return chosenFolder; }
    void showDetails(const PhotoGeotag& photo) override { detailsShown << photo.filePath; }
};

class TestMainView : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void navigationByClicks();
    void choosers();
    void choosersReadable();
    void drops();
    void keyboard_data();
    void keyboard();
    void bottomButtonsStay();
    void synchronizationScreens();
    void folderChosen_data();
    void folderChosen();
    void geotaggingRun();
    void remainingTime_data();
    void remainingTime();
    void resultRows();
    void exportChooser();
    void photoWidgets();
    void version();
    void windowPlacement();

private:
    template <typename T = QWidget> T* child(const char* name) const { return testsupport::child<T>(m_view, name); }
    QString page() const { return testsupport::currentPage(m_view); }
    QTableWidget* table() const { return child<QTableWidget>("geotagTable"); }
    QStringList rowTexts(int row) const
    {
        QStringList texts;
        for (int column = 0; column < table()->columnCount(); ++column)
            texts << table()->item(row, column)->text();
        return texts;
    }

    std::shared_ptr<model::Model> m_state;
    MainController* m_controller = nullptr;
    TestableMainView* m_view = nullptr;
};

static PhotoGeotag photo(const QString& name, bool success, double latitude = 0, double longitude = 0,
                         double altitude = 0)
{
    PhotoGeotag record;
    record.filePath = QStringLiteral("/data/photos/") + name;
    record.success = success;
    if (success) {
        record.latitude = latitude;
        record.longitude = longitude;
        record.altitude = altitude;
    } else {
        record.errorTitle = QStringLiteral("Network error");
        record.errorText = QStringLiteral("Connection refused");
    }
    return record;
}

void TestMainView::init()
{
    QFile::remove(model::Model::configFilePath());
    m_state = std::make_shared<model::Model>();
    m_controller = new MainController(m_state);
    m_view = new TestableMainView;
    m_view->connectController(*m_controller);
    m_controller->start();
    QVERIFY(m_view->isVisible());
}

void TestMainView::cleanup()
{
    delete m_view;
    m_view = nullptr;
    delete m_controller;
    m_controller = nullptr;
}

// Every button of the window leads the controller where it says.
void TestMainView::navigationByClicks()
{
    const char* const steps[][2]{
        {"nextButton", "howTo2Page"}, {"previousButton", "howTo1Page"}, {"nextButton", "howTo2Page"},
        {"nextButton", "howTo3Page"}, {"nextButton", "synchronizePage"}, {"previousButton", "howTo3Page"},
        {"nextButton", "synchronizePage"}, {"", "user-1"}, {"previousButton", "menuPage"},
        {"geotagScreenButton", "geotagPage"}, {"previousButton", "menuPage"}, {"settingsScreenButton", "menuPage"},
        {"", ""}, {"synchronizeScreenButton", "synchronizePage"}};
    for (const auto& step : steps) {
        if (!*step[0]) { // the user becomes known, or forgotten
            m_state->userID = QLatin1String(step[1]);
            continue;
        }
        QVERIFY2(child(step[0])->isVisible() && child(step[0])->isEnabled(), step[0]);
        QTest::mouseClick(child(step[0]), Qt::LeftButton);
        QCOMPARE(page(), QLatin1String(step[1]));
    }
    // The settings button let the controller store the settings; an unknown
    // user sees the how-to picture instead of the camera list.
    QVERIFY(QFile::exists(model::Model::configFilePath()));
    QVERIFY(child("howTo4Label")->isVisible() && !child("synchronizeScrollArea")->isVisible());
    // Values outside the screens change nothing.
    for (int outside : {-1, 13, 1000})
        m_view->changeScreen(static_cast<Screen>(outside));
    QCOMPARE(page(), QStringLiteral("synchronizePage"));
    // Next waits for a folder.
    m_view->changeScreen(controller::GeotagSelectFolder);
    QVERIFY(!child("nextButton")->isEnabled());
    m_view->changeScreen(controller::GeotagReady);
    QVERIFY(child("nextButton")->isEnabled());
}

void TestMainView::choosers()
{
    QSignalSpy images(m_view, &view::MainView::synchronizationImageSelected);
    QSignalSpy started(m_controller, &MainController::synchronizationStarted);
    QSignalSpy folders(m_view, &view::MainView::geotaggingFolderSelected);
    // First cancelled, then answered.
    for (const QString& image : {QString(), QStringLiteral("/data/sync/DSCF0001.JPG")}) {
        m_view->chosenImage = image;
        m_view->chosenFolder = image.isEmpty() ? QString() : QStringLiteral("/data/photos");
        m_view->changeScreen(controller::SynchronizeHowTo);
        QTRY_VERIFY(child("selectSynchronizationImageButton")->isEnabled());
        QTest::mouseClick(child("selectSynchronizationImageButton"), Qt::LeftButton);
        m_view->changeScreen(controller::GeotagSelectFolder);
        QTest::mouseClick(child("selectGeotaggingFolderButton"), Qt::LeftButton);
    }
    QCOMPARE(firstArguments(images), QStringList{"/data/sync/DSCF0001.JPG"});
    QCOMPARE(firstArguments(started), QStringList{"/data/sync/DSCF0001.JPG"});
    QCOMPARE(firstArguments(folders), QStringList{"/data/photos"});
    // The controller took the folder.
    QCOMPARE(page(), QStringLiteral("geotag2Page"));
    QCOMPARE(child<QLabel>("geotagInputFolderLabel")->text(), QStringLiteral("/data/photos/"));
}

// Under the application's style sheet the choosers keep dark text on their
// light background, open in the Pictures folder, and list photos first.
void TestMainView::choosersReadable()
{
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    QVERIFY(QDir().mkpath(pictures));
    view::initResources();
    qApp->setStyleSheet(view::styleSheetText());
    for (bool photos : {true, false}) {
        const std::unique_ptr<QFileDialog> dialog(photos ? m_view->newPhotoChooser() : m_view->newFolderChooser());
        dialog->setOption(QFileDialog::DontUseNativeDialog);
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        QCOMPARE(QDir(dialog->directory()).absolutePath(), QDir(pictures).absolutePath());
        QCOMPARE(dialog->nameFilters().first().contains(" *.jpeg "), photos);
        const QPalette palette = dialog->findChild<QLineEdit*>()->palette();
        QVERIFY(palette.color(QPalette::Text).lightness() < 100 && palette.color(QPalette::Base).lightness() > 155);
        QVERIFY(dialog->findChild<QLabel*>()->palette().color(QPalette::WindowText).lightness() < 100);
    }
    qApp->setStyleSheet(QString());
}

// Drags paths over widget and drops them there when the widget takes them,
// through the application's event delivery (which skips disabled widgets).
// Returns how the widget lit up meanwhile: "accepted", "refused" or "" when
// the drag never reached it; the light is off again afterwards.
static QString dragOver(QWidget* widget, const QStringList& paths)
{
    QMimeData data;
    testsupport::setFiles(data, paths);
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
    const QString image = folder.filePath(QStringLiteral("DSCF0001.JPG"));
    const QString notes = folder.filePath(QStringLiteral("notes.txt"));
    QVERIFY(testsupport::writeFile(image, "x") && testsupport::writeFile(notes, "x"));
    const QString photos = folder.filePath(QStringLiteral("photos"));
    QVERIFY(QDir().mkdir(photos));

    auto* fileLabel = child<QWidget>("synchronizationDropFileLabel");
    auto* iconLabel = child<QWidget>("synchronizationIconLabel");
    auto* folderLabel = child<QWidget>("geotagDropFolderLabel");
    QSignalSpy fromFileLabel(fileLabel, SIGNAL(fileDropped(QString)));
    QSignalSpy fromIconLabel(iconLabel, SIGNAL(fileDropped(QString)));
    QSignalSpy fromFolderLabel(folderLabel, SIGNAL(folderDropped(QString)));

    m_view->changeScreen(controller::SynchronizeHowTo);
    QCOMPARE(dragOver(fileLabel, {image}), QStringLiteral("accepted"));
    // The targets refuse photos until the synchronization has ended.
    QTRY_VERIFY(iconLabel->isEnabled());
    QCOMPARE(dragOver(iconLabel, {image}), QStringLiteral("accepted"));
    QTRY_VERIFY(iconLabel->isEnabled());
    // A folder, two photos at once or a file of another type is no
    // synchronization photo.
    for (const QStringList& refused : {QStringList{photos}, QStringList{image, image}, QStringList{notes}})
        QCOMPARE(dragOver(fileLabel, refused), QStringLiteral("refused"));
    QCOMPARE(firstArguments(fromFileLabel), QStringList{image});
    QCOMPARE(fromIconLabel.count(), 1);

    // While a synchronization runs the targets refuse further photos.
    emit m_controller->synchronizationStarted(image);
    QCOMPARE(dragOver(iconLabel, {image}), QString());
    QCOMPARE(fromIconLabel.count(), 1);

    m_view->changeScreen(controller::GeotagSelectFolder);
    QCOMPARE(dragOver(folderLabel, {image}), QStringLiteral("accepted")); // a file is taken as a track
    QCOMPARE(dragOver(folderLabel, {photos}), QStringLiteral("accepted"));
    QCOMPARE(firstArguments(fromFolderLabel), QStringList{photos});
}

void TestMainView::keyboard_data()
{
    QTest::addColumn<int>("screen");
    QTest::addColumn<QString>("focus"); // where the screen puts the focus
    QTest::addColumn<QString>("enter"); // what Enter presses there: a button, "details" or nothing
    QTest::addColumn<QString>("escape");

    const QString next = QStringLiteral("nextButton");
    const QString previous = QStringLiteral("previousButton");
    QTest::newRow("HowTo2") << 1 << next << next << previous;
    QTest::newRow("Menu") << 4 << "geotagScreenButton" << "geotagScreenButton" << "";
    QTest::newRow("SynchronizeCameras") << 9 << "selectSynchronizationImageButton"
                                        << "selectSynchronizationImageButton" << previous;
    QTest::newRow("GeotagSelectFolder") << 5 << "selectGeotaggingFolderButton" << "selectGeotaggingFolderButton" << previous;
    // Nothing to press by accident while photos are written; Escape stops.
    QTest::newRow("GeotagProgress") << 7 << "MainWindow" << "" << previous;
    QTest::newRow("GeotagResults") << 8 << "geotagTable" << "details" << "";
}

// Every screen works from the keyboard: where the focus starts, what Enter
// and Escape press.
void TestMainView::keyboard()
{
    QFETCH(int, screen);
    // Without a controller, so that nothing leaves for another screen.
    delete m_view;
    m_view = new TestableMainView;
    m_view->show();
    m_view->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_view));
    model::CameraList none;
    m_view->assignCameraList(none);
    PhotoGeotagList photos{photo(QStringLiteral("b.jpg"), true), photo(QStringLiteral("a.jpg"), false)};
    m_view->assignPhotoList(photos);
    QStringList pressed;
    for (QPushButton* button : m_view->findChildren<QPushButton*>())
        connect(button, &QPushButton::clicked, this, [&pressed, button] { pressed << button->objectName(); });
    for (view::MenuButton* button : m_view->findChildren<view::MenuButton*>())
        connect(button, &view::MenuButton::clicked, this, [&pressed, button] { pressed << button->objectName(); });

    m_view->changeScreen(static_cast<Screen>(screen));
    QTEST(QApplication::focusWidget()->objectName(), "focus");
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    pressed << m_view->detailsShown.replaceInStrings(QRegularExpression(".+"), QStringLiteral("details"));
    QTEST(pressed.join(QLatin1Char(',')), "enter");
    pressed.clear();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    QTEST(pressed.join(QLatin1Char(',')), "escape");
}

// MORE stays where it is on every screen, whether NEXT shows beside it or not.
void TestMainView::bottomButtonsStay()
{
    m_view->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_view));
    QWidget* more = m_view->findChild<QWidget*>(QStringLiteral("serviceMenuButton"));
    QVERIFY(more);
    QSet<bool> nextShown;
    QSet<int> places;
    for (const Screen screen : {Screen(1), Screen(4), Screen(5), Screen(8), Screen(9)}) {
        m_view->changeScreen(screen);
        QCoreApplication::processEvents();
        if (!more->isVisible())
            continue;
        nextShown << child("nextButton")->isVisible();
        places << more->mapTo(m_view, QPoint()).x();
    }
    QCOMPARE(nextShown.size(), 2);
    QCOMPARE(places.size(), 1);
}

// The report of a synchronization shows on its own screen only. The photo
// targets are out of use, with a busy bar shown, while a photo is read or
// the camera list is asked for.
void TestMainView::synchronizationScreens()
{
    const auto state = [this] {
        QString enabled;
        for (const char* name : {"synchronizationDropFileLabel", "synchronizationIconLabel",
                                 "selectSynchronizationImageButton"})
            enabled += child(name)->isEnabled() ? '1' : '0';
        return enabled + (child("synchronizationBusyBar")->isHidden() ? "" : " busy");
    };
    emit m_controller->cameraSynchronized(QStringLiteral("Canon EOS 80D: clock 7 min 13 s ahead"));
    m_view->changeScreen(controller::SynchronizeDone);
    QVERIFY(child("synchronizationReportLabel")->isVisible());
    QCOMPARE(child<QLabel>("synchronizationReportLabel")->text(), QStringLiteral("Canon EOS 80D: clock 7 min 13 s ahead"));
    m_view->changeScreen(controller::SynchronizeCameras);
    QVERIFY(!child("synchronizationReportLabel")->isVisible());
    QCOMPARE(state(), QStringLiteral("111"));
    m_controller->disconnect(m_view); // nothing re-enables them behind the test's back
    m_view->onSynchronizationStarted(QStringLiteral("/data/sync/DSCF0001.JPG"));
    QCOMPARE(state(), QStringLiteral("000 busy"));
    model::CameraList empty;
    m_view->assignCameraList(empty);
    QCOMPARE(state(), QStringLiteral("111"));
    m_view->onRequestSynchronizationsStarted();
    QCOMPARE(state(), QStringLiteral("000 busy"));
    m_view->assignCameraList(empty);
    QCOMPARE(state(), QStringLiteral("111"));
}

void TestMainView::folderChosen_data()
{
    QTest::addColumn<int>("count");
    QTest::newRow("photos") << 128;
    QTest::newRow("none") << 0;
}

void TestMainView::folderChosen()
{
    QFETCH(int, count);
    const QString folder = QStringLiteral("/data/photos/");
    m_view->changeScreen(controller::GeotagReady);
    emit m_controller->geotaggingRequested(folder, folder + QStringLiteral("KESTREL/"), count);
    QCOMPARE(child<QLabel>("imageCountLabel")->text(), QString::number(count));
    QCOMPARE(child<QLabel>("geotagInputFolderLabel")->text(), folder);
    QCOMPARE(child<QLabel>("geotagOutputFolderLabel")->text(), QStringLiteral("/data/photos/KESTREL/"));
    QCOMPARE(child("nextButton")->isVisible(), count > 0);
    QVERIFY(child<QLabel>("geotagRewriteLabel")->text().isEmpty());
    emit m_controller->photoFolderNote(QStringLiteral("no photos found"));
    QCOMPARE(child<QLabel>("geotagFolderNoteLabel")->text(), QStringLiteral("no photos found"));
    // Rewrite mode says so before the start; another folder drops the note.
    emit m_controller->geotaggingRequested(folder, folder, count);
    QCOMPARE(child<QLabel>("geotagRewriteLabel")->text().contains("original photos will be changed"), count > 0);
    QVERIFY(child<QLabel>("geotagFolderNoteLabel")->text().isEmpty());
}

// A run as the progress page shows it, stopped early, then exported.
void TestMainView::geotaggingRun()
{
    m_view->changeScreen(controller::GeotagProgress);
    emit m_controller->geotagProgress(17, 3, 40);
    QCOMPARE(child<QLabel>("geotagSuccessCountLabel")->text(), QStringLiteral("14 successfully geotagged photo(s)"));
    QCOMPARE(child<QLabel>("geotagProgressLabel")->text(), QStringLiteral("17/40"));
    QCOMPARE(child<QLabel>("geotagSuccessLabel")->text(), QStringLiteral("14/40"));
    QCOMPARE(child<QLabel>("geotagFailCountLabel")->text(), QStringLiteral("Unable to geotag 3 photo(s)"));
    QCOMPARE(child<QProgressBar>("geotagProgressBar")->maximum(), 40);
    QCOMPARE(child<QProgressBar>("geotagProgressBar")->value(), 17);
    // From its start: the current photo, and an estimate after a few photos.
    emit m_controller->geotagStopped(1, 2);
    emit m_controller->geotagProgress(0, 0, 40);
    QVERIFY(child<QLabel>("geotagStoppedLabel")->text().isEmpty());
    emit m_controller->geotagPhotoStarted(QStringLiteral("/data/photos/trip/P2.jpg"));
    QCOMPARE(child<QLabel>("geotagCurrentPhotoLabel")->text(), QStringLiteral("P2.jpg"));
    for (int processed = 1; processed <= 3; ++processed) {
        emit m_controller->geotagProgress(processed, 0, 40);
        QCOMPARE(child<QLabel>("geotagRemainingLabel")->text().startsWith("About "), processed == 3);
    }
    emit m_controller->geotagProgress(40, 0, 40);
    QVERIFY(child<QLabel>("geotagRemainingLabel")->text().isEmpty());

    emit m_controller->geotagStopped(195, 600);
    m_view->changeScreen(controller::GeotagResults);
    QCOMPARE(child<QLabel>("geotagStoppedLabel")->text(), QStringLiteral("Stopped after 195 of 600 photos"));
    auto* exportButton = child("exportResultsButton");
    QVERIFY(!exportButton->isEnabled()); // nothing to export yet
    PhotoGeotagList photos{photo(QStringLiteral("P10.jpg"), true)};
    emit m_controller->photosUpdated(photos);
    QSignalSpy exports(m_view, &view::MainView::resultsExportRequested);
    for (const QString& path : {QString(), QStringLiteral("/data/out.csv")}) { // cancelled, then chosen
        m_view->exportPath = path;
        QTest::mouseClick(exportButton, Qt::LeftButton);
    }
    QCOMPARE(firstArguments(exports), QStringList{"/data/out.csv"});
}

void TestMainView::remainingTime_data()
{
    QTest::addColumn<qint64>("milliseconds");
    QTest::addColumn<QString>("text");
    QTest::newRow("seconds, rounded up") << 4001LL << "About 5 s left";
    QTest::newRow("one minute") << 60000LL << "About 1 min 0 s left";
    QTest::newRow("minutes") << 130000LL << "About 2 min 10 s left";
    QTest::newRow("one hour") << 3600000LL << "About 1 h 0 min left";
    QTest::newRow("hours") << 7260000LL << "About 2 h 1 min left";
}

void TestMainView::remainingTime()
{
    QFETCH(qint64, milliseconds);
    QTEST(view::MainView::remainingText(milliseconds), "text");
}

// The table sorts by name (numbers by value), says why a photo failed, greys
// failed rows, opens the record of the row clicked; a new list replaces it.
void TestMainView::resultRows()
{
    PhotoGeotagList photos{photo(QStringLiteral("IMG_10.JPG"), true, -33.86881971, 151.20929551, 58.123456),
                           photo(QStringLiteral("IMG_2.JPG"), false), photo(QStringLiteral("IMG_3.JPG"), false)};
    photos[0].sidecarPath = QStringLiteral("/data/photos/IMG_10.xmp");
    photos[0].demo = true;
    photos[2].errorTitle = QStringLiteral("EXIF Error");
    photos[2].errorCause = QStringLiteral("the disk is full");
    photos[0].accuracy = 23.4;
    photos[0].place = {"Berlin", "Mitte", "Land Berlin", "Germany", "DE", 850};
    // Two cameras, one of them with two photos: each comes once, with the
    // drift of its first photo that has one.
    const QString cameras[] = {"The camera NIKON D750 (serial number 3001234)", "The camera X-T3 (serial number 9)"};
    const QString drifts[] = {"drifts 7 s a week", "drifts less than 1 s a week", "drifts 8 s a week"};
    for (int i = 0; i < 3; ++i)
        photos[i].clock = {QString(), QString(), {}, false, cameras[i % 2], drifts[i], 0, 0};
    m_view->changeScreen(controller::GeotagResults);
    emit m_controller->photosUpdated(photos);
    photos.clear(); // the table keeps what it shows

    QCOMPARE(table()->rowCount(), 3);
    QCOMPARE(rowTexts(0), (QStringList{"IMG_2.JPG", "Network error", "", "", "", "", "", "FAIL"}));
    QCOMPARE(rowTexts(1), (QStringList{"IMG_3.JPG", "EXIF Error: the disk is full", "", "", "", "", "", "FAIL"}));
    QCOMPARE(rowTexts(2), (QStringList{"IMG_10.JPG", "Demo position; GPS written to IMG_10.xmp", "33.868820S",
                                       "151.209296E", "58.1 m", "23.4 m", "Mitte, Berlin, Germany", "OK"}));
    auto* drift = child<QLabel>("cameraDriftLabel");
    QCOMPARE(drift->text(), QStringLiteral("The camera NIKON D750 (serial number 3001234) drifts 7 s a week.\n"
                                           "The camera X-T3 (serial number 9) drifts less than 1 s a week."));
    QVERIFY(drift->isVisibleTo(m_view));
    for (int column = 0; column < 7; ++column) {
        QCOMPARE(table()->item(2, column)->data(Qt::BackgroundRole), QVariant());
        QCOMPARE(table()->item(1, column)->background().style(), Qt::SolidPattern);
    }
    for (int row = 0; row < 3; ++row) {
        for (int column : {0, 3, 5}) {
            m_view->detailsShown.clear();
            const QRect cell = table()->visualItemRect(table()->item(row, column));
            QTest::mouseClick(table()->viewport(), Qt::LeftButton, {}, cell.center());
            QCOMPARE(m_view->detailsShown, QStringList{QStringLiteral("/data/photos/") + rowTexts(row).first()});
        }
    }

    // The row selected is the map's photo, and the reverse; the photos
    // without a position are dragged from the map's list with their index.
    auto* map = m_view->findChild<view::MapView*>();
    table()->selectRow(2);
    QCOMPARE(map->selected(), 0);
    auto* list = m_view->findChild<QListWidget*>("unplacedList");
    QCOMPARE(list->count(), 2);
    list->setCurrentRow(1);
    QCOMPARE(table()->selectedItems().value(0)->text(), QStringLiteral("IMG_3.JPG"));
    QCOMPARE(map->selected(), -1);
    const std::unique_ptr<QMimeData> dragged(list->model()->mimeData({list->model()->index(1, 0)}));
    QCOMPARE(dragged->data(view::MapView::photoMimeType()), QByteArray("2"));

    PhotoGeotagList second{photo(QStringLiteral("second.jpg"), true, 1, 2, 3),
                           photo(QStringLiteral("another.jpg"), false)};
    emit m_controller->photosUpdated(second);
    QCOMPARE(table()->rowCount(), 2);
    QCOMPARE(table()->item(0, 0)->text(), QStringLiteral("another.jpg"));
    QVERIFY(!drift->isVisibleTo(m_view));
    PhotoGeotagList none;
    emit m_controller->photosUpdated(none);
    QCOMPARE(table()->rowCount(), 0);
}

// The export chooser opens in the photo folder of the run, with a file
// named after it; before any run where the other choosers open.
void TestMainView::exportChooser()
{
    QTemporaryDir root;
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    QVERIFY(QDir().mkpath(root.filePath("Trip 2026")) && QDir().mkpath(pictures));
    for (const QString& folder : {QString(), root.filePath("Trip 2026")}) {
        if (!folder.isEmpty())
            emit m_controller->geotaggingRequested(folder + '/', folder + "/KESTREL/", 3);
        const std::unique_ptr<QFileDialog> chooser(m_view->newExportChooser());
        const QString expected = folder.isEmpty() ? QDir(pictures).absolutePath() : folder;
        QCOMPARE(chooser->directory().absolutePath() + '|' + chooser->selectedFiles().value(0),
                 expected + '|' + expected + (folder.isEmpty() ? "/kestrel-results.csv" : "/Trip 2026 geotags.csv"));
    }
}

// One photo widget per photo, in list order (not the table's), with the
// photo's name and position or failure; a left click opens the details, a
// right click nothing. A new list replaces the widget whose dialog is open:
// the dialog goes with it and nothing else is touched.
void TestMainView::photoWidgets()
{
    PhotoGeotagList first{photo(QStringLiteral("IMG_0007.JPG"), true, -33.8688197, 151.2092955, -12.5),
                          photo(QStringLiteral("DSC_bad.jpg"), false)};
    m_view->assignPhotoList(first);
    child<QStackedWidget>("stackedWidget")->setCurrentWidget(child("geotag4Page"));
    const auto widgets = [this] {
        QList<view::PhotoWidget*> shown;
        QLayout* layout = child("geotagScrollAreaContents")->layout();
        for (int i = 0; i < layout->count(); ++i) {
            if (auto* widget = qobject_cast<view::PhotoWidget*>(layout->itemAt(i)->widget()))
                shown << widget;
        }
        return shown;
    };
    QStringList texts;
    for (view::PhotoWidget* widget : widgets())
        texts << testsupport::child<QLabel>(widget, "fileNameLabel")->text() + '|'
                + testsupport::child<QLabel>(widget, "geoLabel")->text();
    QCOMPARE(texts, (QStringList{"IMG_0007.JPG|33.868820S, 151.209296E, -12.5 m", "DSC_bad.jpg|Network error"}));
    const auto icon = [](view::PhotoWidget* widget) {
        return testsupport::child<QLabel>(widget, "iconLabel")->pixmap(Qt::ReturnByValue).toImage();
    };
    QVERIFY(!icon(widgets()[0]).isNull() && icon(widgets()[0]) != icon(widgets()[1]));

    QTest::mouseClick(widgets()[0], Qt::RightButton); // opens nothing: a dialog would block here
    QStringList opened;
    testsupport::onNextModal(this, [this, &opened](QWidget* dialog) {
        opened << dialog->windowTitle();
        PhotoGeotagList second{photo(QStringLiteral("IMG_0002.JPG"), false)};
        m_view->assignPhotoList(second);
    });
    QTest::mouseClick(widgets()[0], Qt::LeftButton);
    QCOMPARE(opened, QStringList{"IMG_0007.JPG"});
    QVERIFY(!QApplication::activeModalWidget());
    QCOMPARE(widgets().size(), 1);
    QCOMPARE(widgets().first()->photo().filePath, QStringLiteral("/data/photos/IMG_0002.JPG"));
}

// The window title and "kestrel --version" name the version the build sets;
// the program prints it without a display and opens no window.
void TestMainView::version()
{
    QCOMPARE(m_view->windowTitle(), QStringLiteral("Kestrel - Professional Geotagging Tool - " KESTREL_EXPECTED_VERSION));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        environment.remove(QLatin1String(name));
    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(KESTREL_BINARY), {QStringLiteral("--version")});
    QVERIFY(program.waitForFinished(30000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QCOMPARE(program.readAllStandardOutput(), QByteArray("kestrel " KESTREL_EXPECTED_VERSION "\n"));
    // About, in MORE, names the version and the sources of the place names.
    const QStringList about = view::MainView::aboutText().split('\n');
    QCOMPARE(about.first() + '|' + about.last(), QString::fromUtf8("Kestrel " KESTREL_EXPECTED_VERSION "|Place names: "
                                                                   "GeoNames (CC BY 4.0), borders ©\u00a0OpenStreetMap contributors (ODbL)"));
}

// The window opens where it was, never smaller than its pages need, and
// leaves where it is with the controller when it closes.
void TestMainView::windowPlacement()
{
    m_view->showAt(QRect(20, 30, 900, 650), false);
    QCOMPARE(m_view->geometry(), QRect(20, 30, 900, 650));
    m_view->showAt(QRect(20, 30, 100, 100), false);
    QCOMPARE(m_view->size(), QSize(668, 461));
    m_view->close();
    QCOMPARE(m_state->windowGeometry, QRect(20, 30, 668, 461));
    QVERIFY(!m_state->windowMaximized);
}

QTEST_MAIN(TestMainView)
#include "tst_mainview.moc"
