// Renders the program's dialogs and widgets to PNG files, so that anyone can
// review the look without clicking through the program. Run it through
// scripts/screenshots.sh (offscreen platform or Xvfb).
//
//   kestrel-screenshots OUTPUT_FOLDER [NAME_FILTER]
//
// Each shot is one entry of shots() below: a name and a function that builds
// the view, brings it into the state to show and hands it to save(). Add new
// screens there.

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QScreen>
#include <QTemporaryDir>
#include <QMimeData>
#include <QFileDialog>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QTextStream>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>

#include "model/model.h"
#include "controller/maincontroller.h"
#include "view/servicestatuspage.h"
#include "view/synccodeview.h"
#include "view/cameraframe.h"
#include "view/camerawidget.h"
#include "view/detailinfoview.h"
#include "view/mainview.h"
#include "view/mappage.h"
#include "view/mapview.h"
#include "view/menubutton.h"
#include "view/messagebox.h"
#include "view/messageboxfactory.h"
#include "view/resources.h"
#include "view/settingsview.h"

namespace {

QDir outputFolder;
QStringList written;

// Under a window manager (KESTREL_SHOT_FRAMES set) the shots are taken from
// the screen, frame and title bar included; else from the widget alone.
bool framedShots()
{
    return qEnvironmentVariableIsSet("KESTREL_SHOT_FRAMES");
}

// Lets the window manager place and decorate what was just shown.
void settle()
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < (framedShots() ? 700 : 0) || clock.elapsed() == 0)
        QApplication::processEvents(QEventLoop::AllEvents, 50);
}

// Saves what widget shows (its window, when it is one) as name.png.
void save(const QString& name, QWidget* widget)
{
    settle();
    QPixmap pixmap;
    if (framedShots() && widget->isWindow()) {
        // The window manager frames a window in its own time, on a busy
        // machine later than settle() waits.
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 5000 && widget->frameGeometry() == widget->geometry())
            QApplication::processEvents(QEventLoop::AllEvents, 50);
        const QRect frame = widget->frameGeometry();
        pixmap = widget->screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    } else {
        pixmap = widget->grab();
    }
    const QString path = outputFolder.filePath(name + QStringLiteral(".png"));
    if (pixmap.save(path))
        written << path;
    else
        QTextStream(stderr) << "cannot write " << path << '\n';
}

model::CameraList sampleCameras()
{
    model::CameraList cameras;
    cameras.phoneName = QStringLiteral("Pixel 8 Pro");
    model::Camera first{QStringLiteral("Fujifilm X-T4"), QStringLiteral("9AB04321"), {}};
    first.synchronizations << model::Synchronization{QStringLiteral("a1"), QStringLiteral("2026-05-14 09:12:40"),
                                                     QStringLiteral("+02:00"), QStringLiteral("Europe/Vienna")};
    first.synchronizations << model::Synchronization{QStringLiteral("a2"), QStringLiteral("2026-08-02 17:45:03"),
                                                     QStringLiteral("-04:00"), QStringLiteral("America/Halifax")};
    first.drift = QStringLiteral("drifts 7 s a week");
    first.driftMsPerWeek = 7200;
    cameras << first;
    cameras << model::Camera{QStringLiteral("Canon EOS R6"), QStringLiteral("032021004578"), {}};
    cameras << model::Camera{QStringLiteral("Sony ILCE-7M3"), QStringLiteral("4520117"), {}};
    return cameras;
}

void messageBox(const QString& name, int code, const QString& title, const QString& text)
{
    view::MessageBoxFactory factory;
    factory.setShownHandler([name](view::MessageBox& box) {
        save(name, &box);
        box.accept();
    });
    factory.displayInfoBox(code, title, text);
}

void settings(const QString& name, const std::function<void(view::SettingsView&)>& prepare)
{
    model::Model model;
    model.rewrite = false;
    model.modifyTimeDate = true;
    model::CameraList cameras = sampleCameras();
    view::SettingsView view;
    view.assignCameraList(cameras);
    view.setShownHandler([&](view::SettingsView& shown) {
        prepare(shown);
        save(name, &shown);
        shown.reject();
    });
    view.showSettings(model);
}

void clickTab(view::SettingsView& view, const char* tab)
{
    view.findChild<QPushButton*>(QLatin1String(tab))->click();
}

// ------------------------------------------------ Main window and details

// The clock offset of a camera synchronized twice, before and after the
// photos of the trip.
model::ClockOffset sampleClock()
{
    model::ClockOffset clock;
    clock.method = QStringLiteral("interpolated");
    clock.synchronizations = QStringList{QStringLiteral("2026-07-10 08:15:02"), QStringLiteral("2026-07-20 19:40:11")};
    clock.text = QStringLiteral("The clock offset is interpolated between the synchronizations of %1 and %2.")
                     .arg(clock.synchronizations.at(0), clock.synchronizations.at(1));
    clock.camera = QStringLiteral("The camera FUJIFILM X-T4 (serial number 9AB04321)");
    clock.drift = QStringLiteral("drifts 7 s a week");
    clock.offsetMs = 48120;
    clock.uncertaintyMs = 500;
    return clock;
}

model::PhotoGeotag sampleResult(const QString& name, bool success, double latitude, double longitude,
                                double altitude)
{
    model::PhotoGeotag photo;
    photo.filePath = QStringLiteral("/home/ann/Pictures/Julian Alps 2026/") + name;
    photo.success = success;
    if (success) {
        photo.dateTimeOriginal = QStringLiteral("2026:07:14 10:42:17");
        photo.photoTime = QStringLiteral("2026-07-14 10:43:05");
        photo.timeZone = QStringLiteral("+02:00");
        photo.timeZoneId = QStringLiteral("Europe/Ljubljana");
        photo.timeZoneName = QStringLiteral("Central European Summer Time");
        photo.latitude = latitude;
        photo.longitude = longitude;
        photo.altitude = altitude;
        photo.accuracy = 23.4;
        photo.accuracyParts = {true, 5.0, 20.1, 2.0};
        photo.errorTitle = QStringLiteral("Geotagged");
        photo.clock = sampleClock();
        photo.place = {QStringLiteral("Trenta"), QString(), QStringLiteral("Bovec"), QStringLiteral("Slovenia"),
                       QStringLiteral("SI"), 2300};
    } else {
        photo.errorTitle = QStringLiteral("No position");
        photo.errorText = QStringLiteral("The phone recorded no position within an hour of the time this photo was "
                                         "taken. Was the Kestrel application running?");
    }
    return photo;
}

// A camera whose clock runs on UTC, in Japan, with a demo position.
model::PhotoGeotag demoResult()
{
    model::PhotoGeotag photo = sampleResult(QStringLiteral("DSCF0431.JPG"), true, 35.6585805, 139.7454329, 30.0);
    photo.dateTimeOriginal = QStringLiteral("2026:12:03 03:40:30");
    photo.photoTime = QStringLiteral("2026-12-03 12:33:17");
    photo.timeZone = QStringLiteral("+09:00");
    photo.timeZoneId = QStringLiteral("Asia/Tokyo");
    photo.timeZoneName = QStringLiteral("Japan Standard Time");
    photo.demo = true;
    photo.clock.method = QStringLiteral("extrapolated");
    photo.clock.synchronizations = QStringList{QStringLiteral("2026-11-20 10:00:00"), QStringLiteral("2026-11-27 10:02:05")};
    photo.clock.text = QStringLiteral("The clock offset is extrapolated from the synchronizations of 2026-11-20 10:00:00 "
                                      "and 2026-11-27 10:02:05 with the camera's drift.");
    photo.clock.camera = QStringLiteral("The camera SONY ILCE-7M3 (serial number 4520117)");
    photo.clock.drift = QStringLiteral("drifts 2 min 5 s a week");
    photo.place = {QStringLiteral("Tokyo"), QStringLiteral("Minato"), QStringLiteral("Tokyo"), QStringLiteral("Japan"),
                   QStringLiteral("JP"), 900};
    return photo;
}

// A photo taken after the camera's clock was set between two synchronizations.
model::PhotoGeotag clockSetResult()
{
    model::PhotoGeotag photo = sampleResult(QStringLiteral("DSCF0412.JPG"), true, 46.3786125, 13.8365477, 2864.2);
    photo.clock.method = QStringLiteral("nearer");
    photo.clock.clockChanged = true;
    photo.clock.text = QStringLiteral("The camera's clock was set between the synchronizations of 2026-07-10 08:15:02 "
                                      "and 2026-07-20 19:40:11; the clock offset comes from the nearer one, of "
                                      "2026-07-10 08:15:02.");
    photo.clock.drift.clear();
    // A summit far from any village: the country alone.
    photo.place = {QString(), QString(), QString(), QStringLiteral("Slovenia"), QStringLiteral("SI"), 0};
    return photo;
}

// A raw photo tagged through its XMP sidecar, and a write that failed.
model::PhotoGeotag sidecarResult()
{
    model::PhotoGeotag photo = sampleResult(QStringLiteral("DSCF0425.RAF"), true, 46.3861, 13.7956, 1843.0);
    photo.sidecarPath = QStringLiteral("/home/ann/Pictures/Julian Alps 2026/DSCF0425.xmp");
    return photo;
}

model::PhotoGeotag writeFailure()
{
    model::PhotoGeotag photo = sampleResult(QStringLiteral("DSCF0427.JPG"), false, 0, 0, 0);
    photo.errorTitle = QStringLiteral("EXIF Error");
    photo.errorText = QStringLiteral("Error writing EXIF data to the image file");
    photo.errorCause = QStringLiteral("the folder is read-only");
    return photo;
}

// A photo the phone has no position for, its clock offset known.
model::PhotoGeotag noPositionResult()
{
    model::PhotoGeotag photo = sampleResult(QStringLiteral("DSCF0415.RAF"), false, 0, 0, 0);
    photo.clock = sampleClock();
    return photo;
}

model::PhotoGeotagList sampleResults()
{
    return {sidecarResult(), writeFailure(), sampleResult(QStringLiteral("DSCF0412.JPG"), true, 46.3786125, 13.8365477, 2864.2),
            sampleResult(QStringLiteral("DSCF0407.JPG"), true, 46.3569211, 13.8571864, 1702.5),
            noPositionResult(),
            sampleResult(QStringLiteral("DSCF0409.JPG"), true, 46.3647802, 13.8480033, 2105.8),
            sampleResult(QStringLiteral("DSCF0418.JPG"), true, 46.3814429, 13.8252116, 2410.0),
            sampleResult(QStringLiteral("DSCF0421.JPG"), false, 0, 0, 0),
            sampleResult(QStringLiteral("DSCF0423.JPG"), true, 46.3850071, 13.8010402, 1987.3), demoResult()};
}

// The main window on one screen, filled as after a synchronization and a
// geotagging run; running adds a synchronization in progress.
void mainWindow(const QString& name, controller::Screen screen, bool running = false,
                const QString& dragged = QString(), const char* focused = nullptr)
{
    view::MainView window;
    model::CameraList cameras = sampleCameras();
    model::PhotoGeotagList photos = sampleResults();
    window.assignCameraList(cameras);
    if (running)
        window.onSynchronizationStarted(QStringLiteral("/home/ann/Pictures/DSCF0400.JPG"));
    window.onGeotaggingRequested(QStringLiteral("/home/ann/Pictures/Julian Alps 2026/"),
                                 QStringLiteral("/home/ann/Pictures/Julian Alps 2026/KESTREL/"), 128);
    window.onGeotagProgress(47, 3, 128);
    window.onGeotagPhotoStarted(QStringLiteral("/home/ann/Pictures/Julian Alps 2026/DSCF0448.JPG"));
    window.onCameraSynchronized(QStringLiteral("Fujifilm X-T4: clock 7 min 13 s ahead\nagainst the local time at "
                                               "the phone's position (Central European Summer Time)"));
    if (screen == controller::GeotagResults)
        window.onGeotagProgress(photos.size(), 2, photos.size());
    window.assignPhotoList(photos);
    window.changeScreen(screen);
    window.show();
    if (!dragged.isEmpty()) {
        // Something held over the page's drop area, which lights up.
        settle();
        const QString label = screen == controller::GeotagSelectFolder ? QStringLiteral("geotagDropFolderLabel")
                                                                        : QStringLiteral("synchronizationDropFileLabel");
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(dragged)});
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.findChild<QWidget*>(label), &enter);
    }
    if (focused) {
        window.activateWindow();
        window.findChild<QWidget*>(QLatin1String(focused))->setFocus(Qt::TabFocusReason);
    }
    save(name, &window);
}

// The run's map in a larger window: the photos over the day's track, one
// placed by hand, the others without a position beside it.
void mapPage(const QString& name, QSize size, bool online)
{
    view::MainView window;
    model::PhotoGeotagList photos = sampleResults();
    photos.removeLast(); // the demo position in Tokyo
    photos[3].origin = model::PhotoGeotag::Origin::Hand;
    window.onGeotaggingRequested(QStringLiteral("/home/ann/Pictures/Julian Alps 2026/"),
                                 QStringLiteral("/home/ann/Pictures/Julian Alps 2026/KESTREL/"), photos.size());
    window.assignPhotoList(photos);
    // A walk through the places of the photos, a fix every few seconds.
    model::Track track;
    QVector<QPointF> stops;
    for (const model::PhotoGeotag& photo : photos)
        if (photo.success)
            stops << QPointF(photo.longitude, photo.latitude);
    std::sort(stops.begin(), stops.end(), [](QPointF a, QPointF b) { return a.x() > b.x(); });
    for (int leg = 0; leg + 1 < stops.size(); ++leg)
        for (int step = 0; step < 200; ++step) {
            const double f = step / 200.0;
            const QPointF at = stops[leg] * (1 - f) + stops[leg + 1] * f;
            track.append({qint64(track.size()) * 5000, at.y() + 0.0015 * std::sin(f * 12), at.x()});
        }
    auto* page = window.findChild<view::MapPage*>();
    page->setOnlineMap(online);
    page->setTrack(track, QString());
    page->setUndo(QStringLiteral("Undo placing DSCF0407.JPG"));
    window.changeScreen(controller::GeotagMap);
    window.resize(size);
    window.show();
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 10000 && window.findChild<view::MapView*>()->isLoading())
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    page->setPhotos(photos, true);
    page->select(5);
    settle();
    save(name, &window);
}

// The MORE menu open on the results page, its second entry under the pointer.
void moreMenu(const QString& name)
{
    view::MainView window;
    window.changeScreen(controller::GeotagResults);
    window.show();
    auto* button = window.findChild<QPushButton*>(QStringLiteral("serviceMenuButton"));
    QMenu* menu = button->menu();
    menu->popup(button->mapToGlobal(QPoint(0, button->height())));
    menu->setActiveAction(menu->actions().value(1));
    save(name, menu);
    menu->hide();
}

// A chooser of the main window, as its button opens it.
struct ChooserWindow : view::MainView {
    void shoot(const QString& name, bool photos)
    {
        show();
        const std::unique_ptr<QFileDialog> dialog(photos ? newPhotoChooser() : newFolderChooser());
        dialog->show();
        save(name, dialog.get());
    }
    // The export chooser after a run over a folder of that name.
    void shootExport(const QString& name)
    {
        QTemporaryDir root;
        const QString folder = root.filePath(QStringLiteral("Julian Alps 2026"));
        QDir().mkpath(folder);
        onGeotaggingRequested(folder + QLatin1Char('/'), folder + QStringLiteral("/KESTREL/"), 9);
        show();
        const std::unique_ptr<QFileDialog> dialog(newExportChooser());
        dialog->show();
        save(name, dialog.get());
    }
};

void details(const QString& name, model::PhotoGeotag photo)
{
    // A real photo file, so that the dialog shows its picture.
    QTemporaryDir folder;
    QImage picture(1200, 800, QImage::Format_RGB32);
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x)
            picture.setPixel(x, y, y < 420 - x / 6 ? qRgb(90 + y / 6, 150 + y / 8, 230)
                                                  : qRgb(60 + (x * 7 + y * 3) % 40, 110 + y / 10, 70));
    }
    photo.filePath = folder.filePath(QFileInfo(photo.filePath).fileName());
    picture.save(photo.filePath, "JPEG");
    view::DetailInfoView dialog(photo);
    dialog.show();
    save(name, &dialog);
}

struct Shot {
    QString name;
    std::function<void()> take;
};

QList<Shot> shots()
{
    return {
        {"messagebox-201-ok", [] { messageBox("messagebox-201-ok", 201, "Camera synchronized",
                                              "Your camera Fujifilm X-T4 is synchronized with Pixel 8 Pro."); }},
        {"messagebox-201-no-title", [] { messageBox("messagebox-201-no-title", 201, QString(),
                                                    "All photos were geo-tagged."); }},
        {"messagebox-about", [] { messageBox("messagebox-about", 202, "About Kestrel", view::MainView::aboutText()); }},
        {"messagebox-202-info", [] { messageBox("messagebox-202-info", 202, "No photos found",
                                                "The folder holds no photos this program can geo-tag."); }},
        {"messagebox-203-warning", [] { messageBox("messagebox-203-warning", 203, "Camera clock",
                                                   "The camera clock differs from the phone by more than a day."); }},
        {"messagebox-204-error", [] { messageBox("messagebox-204-error", 204, "Cannot read EXIF data",
                                                 "/home/user/Pictures/DSCF0042.JPG"); }},
        {"messagebox-222-question", [] { messageBox("messagebox-222-question", 222,
                                                    "Do you really want to remove the camera Fujifilm X-T4?",
                                                    "Kestrel forgets its synchronizations: its photos cannot be "
                                                    "geotagged until it is synchronized again."); }},
        {"messagebox-404-network", [] { messageBox("messagebox-404-network", 404, "Network error",
                                                   "The web service answered with status 404. Please check your "
                                                   "internet connection and try again in a few minutes; your photos "
                                                   "were not changed."); }},
        {"settings-geotag", [] { settings("settings-geotag", [](view::SettingsView&) {}); }},
        {"settings-timedate", [] { settings("settings-timedate", [](view::SettingsView& v) {
                                       clickTab(v, "timeDateButton"); }); }},
        {"settings-cameras", [] { settings("settings-cameras", [](view::SettingsView& v) {
                                      clickTab(v, "cameraButton"); }); }},
        {"settings-cameras-selected", [] { settings("settings-cameras-selected", [](view::SettingsView& v) {
                                               clickTab(v, "cameraButton");
                                               auto entries = v.findChildren<view::CameraWidget*>();
                                               QMouseEvent release(QEvent::MouseButtonRelease, QPointF(5, 5),
                                                                   Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
                                               QApplication::sendEvent(entries.value(1), &release);
                                           }); }},
        {"cameraframe", [] {
             // As on the main window's dark page.
             QWidget page;
             page.setObjectName(QStringLiteral("stackedWidget"));
             page.setStyleSheet(QStringLiteral("#stackedWidget { background: #323232; }"));
             page.resize(420, 150);
             auto* frame = new view::CameraFrame(&page);
             frame->setCamera(sampleCameras().first());
             frame->setGeometry(10, 10, 400, 130);
             page.show();
             save("cameraframe", &page);
         }},
        {"menubutton", [] {
             QWidget page;
             page.setStyleSheet(QStringLiteral("QWidget#page { background: #323232; }"));
             page.setObjectName(QStringLiteral("page"));
             page.resize(300, 130);
             auto* button = new view::MenuButton(&page);
             button->setText(QStringLiteral("<font size=\"5\">Settings</font><br/>Cameras and options"));
             button->setPixmap(view::picture(QStringLiteral(":/assets/settingsIcon2.png"), button));
             button->setGeometry(20, 10, 260, 110);
             page.show();
             save("menubutton", &page);
         }},
        {"mainwindow-01-howto1", [] { mainWindow("mainwindow-01-howto1", controller::HowTo1); }},
        {"mainwindow-02-howto2", [] { mainWindow("mainwindow-02-howto2", controller::HowTo2); }},
        {"mainwindow-03-howto3", [] { mainWindow("mainwindow-03-howto3", controller::HowTo3); }},
        {"mainwindow-04-synchronize-howto", [] {
             mainWindow("mainwindow-04-synchronize-howto", controller::SynchronizeHowTo); }},
        {"mainwindow-05-menu", [] { mainWindow("mainwindow-05-menu", controller::Menu); }},
        {"mainwindow-06-geotag-folder", [] {
             mainWindow("mainwindow-06-geotag-folder", controller::GeotagSelectFolder); }},
        {"mainwindow-07-geotag-ready", [] { mainWindow("mainwindow-07-geotag-ready", controller::GeotagReady); }},
        {"mainwindow-08-geotag-progress", [] {
             mainWindow("mainwindow-08-geotag-progress", controller::GeotagProgress); }},
        {"mainwindow-09-geotag-results", [] {
             mainWindow("mainwindow-09-geotag-results", controller::GeotagResults); }},
        {"mainwindow-10-synchronize-cameras", [] {
             mainWindow("mainwindow-10-synchronize-cameras", controller::SynchronizeCameras); }},
        {"mainwindow-11-synchronize-done", [] {
             mainWindow("mainwindow-11-synchronize-done", controller::SynchronizeDone); }},
        {"mainwindow-12-synchronize-running", [] {
             mainWindow("mainwindow-12-synchronize-running", controller::SynchronizeCameras, true); }},
        {"mainwindow-14-drop-folder", [] {
             mainWindow("mainwindow-14-drop-folder", controller::GeotagSelectFolder, false, QDir::tempPath());
         }},
        {"mainwindow-15-drop-refused", [] {
             mainWindow("mainwindow-15-drop-refused", controller::SynchronizeCameras, false, QDir::tempPath());
         }},
        {"mainwindow-16-more-menu", [] { moreMenu("mainwindow-16-more-menu"); }},
        {"mainwindow-17-more-focused", [] {
             mainWindow("mainwindow-17-more-focused", controller::SynchronizeCameras, false, QString(),
                        "serviceMenuButton"); }},
        {"messagebox-222-replace", [] { messageBox("messagebox-222-replace", 222, "Replace the earlier copies?",
                                                   "The folder /home/ann/Pictures/Julian Alps 2026/KESTREL already "
                                                   "holds copies of 9 of these photos, made by an earlier run. OK "
                                                   "replaces them with new copies; Cancel leaves every file as it "
                                                   "is."); }},
        {"mainwindow-18-map", [] { mapPage("mainwindow-18-map", QSize(1000, 640), false); }},
        {"mainwindow-19-map-small", [] { mapPage("mainwindow-19-map-small", QSize(668, 461), false); }},
        {"mainwindow-13-settings-page", [] { mainWindow("mainwindow-13-settings-page", controller::Settings); }},
        {"settings-webservice", [] { settings("settings-webservice", [](view::SettingsView& v) {
                                         clickTab(v, "serviceButton");
                                         controller::ServiceStatus status;
                                         status.address = QStringLiteral("http://127.0.0.1:8470/");
                                         status.answers = true;
                                         status.phoneName = QStringLiteral("Pixel 8 Pro");
                                         status.positions = 12418;
                                         status.first = QStringLiteral("2026-05-03T07:12:00Z");
                                         status.last = QStringLiteral("2026-05-07T16:40:00Z");
                                         status.phonePageUrls << QStringLiteral("http://192.168.1.23:8470/phone");
                                         status.linked = true;
                                         status.userId = QStringLiteral("5d41402abc4b2a76b9719d911017c592");
                                         v.serviceStatusPage()->setStatus(status);
                                         // The last day's walk through Munich.
                                         model::Track day;
                                         for (int i = 0; i < 2000; ++i)
                                             day.append({i * 20000LL, 48.137 + 0.02 * std::sin(i / 300.0),
                                                         11.54 + 0.06 * i / 2000.0});
                                         v.serviceStatusPage()->setTrack(day);
                                         settle();
                                     }); }},
        {"synccode", [] {
             view::SyncCodeView window;
             window.setCode(QStringLiteral("7f3c9a1e5b2d4c6e8a0f1b3d5c7e9a2b"), 4200, 14 * 60 * 1000, QString());
             window.show();
             save("synccode", &window);
         }},
        {"synccode-link", [] {
             view::SyncCodeView window;
             controller::ServiceStatus status;
             status.answers = true;
             status.phonePageUrls << QStringLiteral("http://192.168.1.23:8470/phone");
             window.setServiceStatus(status);
             window.setCode(QString(), 0, 0, QString(), true);
             window.show();
             save("synccode-link", &window);
         }},
        {"chooser-photo", [] { ChooserWindow().shoot("chooser-photo", true); }},
        {"chooser-folder", [] { ChooserWindow().shoot("chooser-folder", false); }},
        {"chooser-export", [] { ChooserWindow().shootExport("chooser-export"); }},
        {"details-success", [] {
             model::PhotoGeotag photo = sampleResults().at(2);
             photo.timeWritten = true;
             details("details-success", photo);
         }},
        {"details-time-kept", [] { details("details-time-kept", sampleResults().at(3)); }},
        {"details-failure", [] { details("details-failure", sampleResults().at(4)); }},
        {"details-sidecar", [] { details("details-sidecar", sidecarResult()); }},
        {"details-write-failure", [] { details("details-write-failure", writeFailure()); }},
        {"details-demo-local-time", [] { details("details-demo-local-time", demoResult()); }},
        {"details-clock-set", [] { details("details-clock-set", clockSetResult()); }},
    };
}

} // namespace

int main(int argc, char* argv[])
{
    // Sharp pictures on high-density screens: scale the interface by the
    // screen's factor and use the double-size pictures of the bundle there.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 2) {
        QTextStream(stderr) << "usage: kestrel-screenshots OUTPUT_FOLDER [NAME_FILTER]\n";
        return 2;
    }
    outputFolder = QDir(arguments.at(1));
    outputFolder.mkpath(QStringLiteral("."));
    const QString filter = arguments.value(2);

    // As start-up does.
    view::initResources();
    view::installFont();
    application.setStyleSheet(view::styleSheetText());

    for (const Shot& shot : shots()) {
        if (filter.isEmpty() || shot.name.contains(filter))
            shot.take();
    }
    QTextStream out(stdout);
    for (const QString& path : written)
        out << path << '\n';
    return written.isEmpty() ? 1 : 0;
}
