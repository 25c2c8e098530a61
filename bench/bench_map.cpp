// How fast the map view draws 2,000 photo markers over a 10,000-point track
// on the offline theme: the time from making the view (markers, track and
// fitAll included) to its first frame, then the frame times of panning and
// of zooming (mean and 95th percentile), beside those of the same view with
// no markers and no track. Usage: bench_map [frames] [--shot folder] (PNGs
// of the view, of it at street level and of a 300x160 mini map with the
// track only, on the offline and the OpenStreetMap theme).
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QPixmap>
#include <QTextStream>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <vector>

#include "view/mapview.h"

namespace {

// A trip of 10,000 positions about 35 m apart, turning slowly, from Zurich.
model::Track walk()
{
    model::Track track;
    quint32 seed = 42;
    double latitude = 47.37, longitude = 8.54, heading = 0.3;
    for (int i = 0; i < 10000; ++i) {
        seed = seed * 1664525u + 1013904223u;
        heading += (double(seed >> 8) / double(1 << 24) - 0.5) * 0.12;
        latitude += std::cos(heading) * 3.1e-4;
        longitude += std::sin(heading) * 4.6e-4;
        track.append({1777000000000 + i * 5000LL, latitude, longitude});
    }
    return track;
}

// A photo at every fifth position, a little off the track; every tenth placed by hand.
QVector<view::MapMarker> photos(const model::Track& track)
{
    QVector<view::MapMarker> markers;
    for (int i = 0; i < 2000; ++i) {
        const model::TrackPoint& at = track[i * 5];
        view::MapMarker marker;
        marker.index = i;
        marker.latitude = at.latitude + (i % 7 - 3) * 2e-5;
        marker.longitude = at.longitude + (i % 5 - 2) * 3e-5;
        marker.name = QStringLiteral("IMG_%1.JPG").arg(1000 + i);
        marker.byHand = i % 10 == 0;
        markers.append(marker);
    }
    return markers;
}

double milliseconds(const QElapsedTimer& clock)
{
    return clock.nsecsElapsed() / 1e6;
}

QString figures(std::vector<double> times)
{
    std::sort(times.begin(), times.end());
    double sum = 0;
    for (double t : times)
        sum += t;
    return QStringLiteral("mean %1 ms, p95 %2 ms")
        .arg(sum / times.size(), 0, 'f', 1)
        .arg(times[std::min(times.size() - 1, size_t(times.size() * 0.95))], 0, 'f', 1);
}

void send(QWidget* widget, QEvent::Type type, const QPoint& pos, Qt::MouseButtons buttons)
{
    QMouseEvent event(type, pos, type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
}

// Frame times of dragging the map by 12 pixels a frame, then of zooming in
// and out a wheel notch a frame.
void measure(view::MapView* view, int frames, const QString& what)
{
    std::vector<double> pan, zoom;
    const QPoint middle = view->rect().center();
    send(view, QEvent::MouseButtonPress, middle, Qt::LeftButton);
    for (int i = 1; i <= frames; ++i) {
        send(view, QEvent::MouseMove, middle + QPoint(12 * (i % 20 < 10 ? i % 10 : 10 - i % 10), 6), Qt::LeftButton);
        QElapsedTimer clock;
        clock.start();
        view->grab();
        pan.push_back(milliseconds(clock));
    }
    send(view, QEvent::MouseButtonRelease, middle, Qt::NoButton);
    for (int i = 0; i < frames; ++i) {
        QWheelEvent wheel(QPointF(middle), QPointF(view->mapToGlobal(middle)), QPoint(), QPoint(0, i % 8 < 4 ? 120 : -120),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(view, &wheel);
        QElapsedTimer clock;
        clock.start();
        view->grab();
        zoom.push_back(milliseconds(clock));
    }
    QTextStream(stdout) << what << ": panning " << figures(pan) << "; zooming " << figures(zoom) << Qt::endl;
}

// Lets Marble read its data files and draw with them.
void settle(view::MapView* view)
{
    QElapsedTimer clock;
    clock.start();
    while (view->isLoading() || clock.elapsed() < 500)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
}

void screenshots(const QString& folder, const model::Track& track, const QVector<view::MapMarker>& markers)
{
    QDir().mkpath(folder);
    for (auto theme : {view::MapView::Theme::Offline, view::MapView::Theme::OpenStreetMap}) {
        const QString name = theme == view::MapView::Theme::Offline ? QStringLiteral("offline") : QStringLiteral("osm");
        view::MapView view;
        view.setTheme(theme);
        view.resize(1000, 650);
        QVector<view::MapMarker> some;
        for (int i = 0; i < markers.size(); i += 16)
            some.append(markers[i]);
        view.setMarkers(some);
        view.setTrack(track);
        view.setSelected(some[40].index);
        view.fitAll();
        settle(&view);
        view.grab().save(folder + QStringLiteral("/map-%1.png").arg(name));
        view.centerOn(some[40].latitude, some[40].longitude);
        settle(&view);
        view.grab().save(folder + QStringLiteral("/street-%1.png").arg(name));
        view::MapView mini;
        mini.setTheme(theme);
        mini.resize(300, 160);
        mini.setTrack(track);
        mini.fitAll();
        settle(&mini);
        mini.grab().save(folder + QStringLiteral("/mini-%1.png").arg(name));
    }
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const int frames = std::max(10, arguments.value(1).toInt());
    const model::Track track = walk();
    const QVector<view::MapMarker> markers = photos(track);
    if (arguments.contains(QStringLiteral("--shot"))) {
        screenshots(arguments.value(arguments.indexOf(QStringLiteral("--shot")) + 1), track, markers);
        return 0;
    }

    QElapsedTimer clock;
    clock.start();
    view::MapView view;
    view.resize(1200, 800);
    view.setMarkers(markers);
    view.setTrack(track);
    view.setSelected(1000);
    view.fitAll();
    view.grab();
    QTextStream(stdout) << "first frame (view made, 2,000 markers, 10,000-point track, fitAll, drawn): "
                        << QString::number(milliseconds(clock), 'f', 1) << " ms" << Qt::endl;
    measure(&view, frames, QStringLiteral("2,000 markers and the track, 1200x800"));

    view::MapView bare;
    bare.resize(1200, 800);
    bare.setTrack(track);
    bare.fitAll();
    bare.setTrack({});
    bare.grab();
    measure(&bare, frames, QStringLiteral("the map alone, same place, 1200x800"));
    return 0;
}
