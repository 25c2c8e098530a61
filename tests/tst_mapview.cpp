#include <QDir>
#include <QMimeData>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QToolTip>
#include <QtTest>

#include <marble/HttpDownloadManager.h>
#include <marble/MarbleModel.h>

#include "view/mapview.h"
#include "view/photopreview.h"

using view::MapMarker;
using view::MapView;

Q_DECLARE_METATYPE(MapMarker)
Q_DECLARE_METATYPE(QVector<MapMarker>)
Q_DECLARE_METATYPE(model::Track)

namespace {

const QColor red(0xe5, 0x46, 0x3a), purple(0x8e, 0x44, 0xad), amber(0xff, 0xb3, 0x00);

MapMarker marker(int index, double latitude, double longitude, bool byHand = false)
{
    MapMarker m;
    m.index = index;
    m.latitude = latitude;
    m.longitude = longitude;
    m.name = QStringLiteral("IMG_%1.JPG").arg(index);
    m.byHand = byHand;
    return m;
}

model::Track line(double lat1, double lon1, double lat2, double lon2, int n)
{
    model::Track track;
    for (int i = 0; i < n; ++i)
        track.append({i * 1000LL, lat1 + (lat2 - lat1) * i / (n - 1), lon1 + (lon2 - lon1) * i / (n - 1)});
    return track;
}

// The pixels of color around a marker's tip: how many, their mean position
// and the lowest of them.
struct Found {
    int count = 0;
    QPointF mean;
    int bottom = -1;
};

Found find(const QImage& image, const QPoint& tip, const QColor& color)
{
    Found found;
    for (int y = tip.y() - 30; y <= tip.y() + 8; ++y)
        for (int x = tip.x() - 15; x <= tip.x() + 15; ++x)
            if (image.valid(x, y) && image.pixelColor(x, y).rgb() == color.rgb()) {
                found.mean = (found.mean * found.count + QPointF(x, y)) / (found.count + 1);
                found.bottom = y;
                ++found.count;
            }
    return found;
}

// A pin stands on its tip (pixel centres are half a pixel off; the fill
// ends 5 pixels above the tip, in the outline).
bool pinAt(const QImage& image, const QPoint& tip, const QColor& color)
{
    const Found pin = find(image, tip, color);
    return pin.count > 40 && qAbs(pin.mean.x() + 0.5 - tip.x()) <= 0.5 && qAbs(pin.bottom - tip.y() + 5) <= 1;
}

bool dotAt(const QImage& image, const QPoint& tip, const QColor& color)
{
    const Found dot = find(image, tip, color);
    return dot.count > 10 && (dot.mean + QPointF(0.5, 0.5) - tip).manhattanLength() <= 1;
}

QPoint at(const MapView& view, double latitude, double longitude)
{
    QPoint point(-1, -1);
    view.screenPosition(latitude, longitude, &point);
    return point;
}

void send(QWidget* widget, QEvent::Type type, const QPoint& pos, Qt::MouseButtons buttons = Qt::NoButton)
{
    QMouseEvent event(type, pos, type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
}

} // namespace

// One view for all cases (each Marble model reads its map data for a while),
// on the offline theme until the last two cases.
class TestMapView : public QObject {
    Q_OBJECT
    // A proxy that takes every connection of the program and notes where it was to go.
    QTcpServer m_proxy;
    QStringList m_requests;
    std::unique_ptr<MapView> m_view;

    MapView& freshView(const QSize& size)
    {
        m_view->resize(size);
        m_view->setMarkers({});
        m_view->setTrack({});
        m_view->setSelected(-1);
        m_view->setPlacementEnabled(false);
        return *m_view;
    }

private slots:
    void initTestCase();
    void markerDrawnAtItsPosition_data();
    void markerDrawnAtItsPosition();
    void fitAllShowsEverything_data();
    void fitAllShowsEverything();
    void mouse_data();
    void mouse();
    void drop_data();
    void drop();
    void toolTipShowsNameTimeAndPicture();
    void offlineThemeFetchesNothing();
    void openStreetMapTilesComeFromTheCacheFolder();
};

void TestMapView::initTestCase()
{
    QVERIFY(m_proxy.listen(QHostAddress::LocalHost));
    connect(&m_proxy, &QTcpServer::newConnection, this, [this] {
        QTcpSocket* socket = m_proxy.nextPendingConnection();
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
            m_requests << QString::fromLatin1(socket->readLine()).section(QLatin1Char(' '), 1, 1);
            socket->disconnectFromHost();
        });
    });
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), m_proxy.serverPort()));
    // Magenta OpenStreetMap tiles for the world's views.
    QImage tile(256, 256, QImage::Format_RGB32);
    tile.fill(Qt::magenta);
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::CacheLocation)
                           + QStringLiteral("/marble/maps/earth/openstreetmap/%1/%2");
    for (int level = 0; level <= 2; ++level)
        for (int x = 0; x < (1 << level); ++x) {
            QVERIFY(QDir().mkpath(folder.arg(level).arg(x)));
            for (int y = 0; y < (1 << level); ++y)
                QVERIFY(tile.save(folder.arg(level).arg(x) + QStringLiteral("/%1.png").arg(y)));
        }
    m_view.reset(new MapView);
}

void TestMapView::markerDrawnAtItsPosition_data()
{
    QTest::addColumn<MapMarker>("shown");
    QTest::addColumn<bool>("selected");
    QTest::addColumn<bool>("centred");
    QTest::addColumn<QColor>("color");
    QTest::newRow("photo, centred") << marker(3, 47.37, 8.54) << false << true << red;
    QTest::newRow("placed by hand, centred") << marker(4, -33.86, 151.2, true) << false << true << purple;
    QTest::newRow("selected, centred") << marker(5, 64.1, -21.9) << true << true << amber;
    QTest::newRow("photo, fitted") << marker(6, 40.71, -74.0) << false << false << red;
    QTest::newRow("selected, fitted") << marker(7, 35.68, 139.69) << true << false << amber;
}

void TestMapView::markerDrawnAtItsPosition()
{
    QFETCH(MapMarker, shown);
    QFETCH(bool, selected);
    QFETCH(bool, centred);
    QFETCH(QColor, color);
    MapView& view = freshView(QSize(500, 400));
    // A second photo across the world when fitted.
    view.setMarkers({shown, marker(9, -shown.latitude / 2, shown.longitude + (shown.longitude > 0 ? -150 : 150))});
    view.setSelected(selected ? shown.index : -1);
    if (centred)
        view.centerOn(shown.latitude, shown.longitude);
    else
        view.fitAll();
    QPoint tip;
    QVERIFY(view.screenPosition(shown.latitude, shown.longitude, &tip));
    if (centred)
        QVERIFY((tip - QPoint(250, 200)).manhattanLength() <= 2);
    const QImage image = view.grab().toImage();
    if (centred || selected)
        QVERIFY(pinAt(image, tip, color));
    else  // Far out, a dot at the position itself.
        QVERIFY(dotAt(image, tip, color));
}

void TestMapView::fitAllShowsEverything_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QVector<MapMarker>>("markers");
    QTest::addColumn<model::Track>("track");
    QTest::addColumn<bool>("resized");
    const QVector<MapMarker> europe{marker(0, 38.72, -9.14), marker(1, 60.17, 24.94), marker(2, 37.98, 23.73)};
    const model::Track atlantic = line(40.71, -74.0, 51.5, -0.12, 500);
    QTest::newRow("photos across Europe") << QSize(800, 600) << europe << model::Track() << false;
    QTest::newRow("a track over the Atlantic") << QSize(800, 600) << QVector<MapMarker>() << atlantic << false;
    QTest::newRow("both, small") << QSize(300, 160) << europe << atlantic << false;
    QTest::newRow("both, made small after") << QSize(900, 700) << europe << atlantic << true;
    QTest::newRow("one photo") << QSize(400, 300) << QVector<MapMarker>{marker(0, 47.37, 8.54)} << model::Track() << false;
    QTest::newRow("a walk in town") << QSize(640, 480) << QVector<MapMarker>{marker(0, 47.3712, 8.5425)}
                                    << line(47.3701, 8.5401, 47.3745, 8.5466, 200) << false;
    QTest::newRow("nothing: the world") << QSize(800, 500) << QVector<MapMarker>() << model::Track() << false;
}

void TestMapView::fitAllShowsEverything()
{
    QFETCH(QSize, size);
    QFETCH(QVector<MapMarker>, markers);
    QFETCH(model::Track, track);
    QFETCH(bool, resized);
    MapView& view = freshView(size);
    view.setMarkers(markers);
    view.setTrack(track);
    view.fitAll();
    if (resized)
        view.resize(300, 160);
    for (const MapMarker& m : markers) {
        QPoint tip;
        QVERIFY(view.screenPosition(m.latitude, m.longitude, &tip));
        QVERIFY2(tip.y() >= 24, "the pin's head is out of sight");
    }
    for (const model::TrackPoint& p : track)
        QVERIFY(view.screenPosition(p.latitude, p.longitude, nullptr));
    if (markers.isEmpty() && track.isEmpty()) {
        for (auto place : {QPointF(40.71, -74.0), QPointF(35.68, 139.69), QPointF(-33.86, 151.2)})
            QVERIFY(view.screenPosition(place.x(), place.y(), nullptr));
    }
}

void TestMapView::mouse_data()
{
    QTest::addColumn<bool>("placement");
    QTest::addColumn<QPoint>("press");  // from the tip of photo 1
    QTest::addColumn<QPoint>("move");
    QTest::addColumn<bool>("doubleClick");
    QTest::addColumn<int>("selected");
    QTest::addColumn<int>("activated");
    QTest::addColumn<int>("placed");
    QTest::addColumn<QPoint>("shift");  // of photo 1 on the screen
    QTest::newRow("click on the head") << false << QPoint(0, -17) << QPoint() << false << 1 << -1 << -1 << QPoint();
    QTest::newRow("click on the tip") << true << QPoint(0, -1) << QPoint() << false << 1 << -1 << -1 << QPoint();
    QTest::newRow("click just beside") << false << QPoint(10, -17) << QPoint() << false << 1 << -1 << -1 << QPoint();
    QTest::newRow("click on the map") << false << QPoint(0, 60) << QPoint() << false << -1 << -1 << -1 << QPoint();
    QTest::newRow("click where the selected one is on top") << false << QPoint(-48, -20) << QPoint() << false << 2
                                                            << -1 << -1 << QPoint();
    QTest::newRow("double click") << false << QPoint(0, -17) << QPoint() << true << 1 << 1 << -1 << QPoint();
    QTest::newRow("drag, placing") << true << QPoint(0, -17) << QPoint(60, 40) << false << -1 << -1 << 1 << QPoint();
    QTest::newRow("drag, not placing: pans") << false << QPoint(0, -17) << QPoint(60, 40) << false << -1 << -1 << -1
                                             << QPoint(60, 40);
}

void TestMapView::mouse()
{
    QFETCH(bool, placement);
    QFETCH(QPoint, press);
    QFETCH(QPoint, move);
    QFETCH(bool, doubleClick);
    QFETCH(int, selected);
    QFETCH(int, activated);
    QFETCH(int, placed);
    QFETCH(QPoint, shift);
    MapView& view = freshView(QSize(600, 400));
    view.setPlacementEnabled(placement);
    view.setMarkers({marker(0, 47.0, 8.0), marker(1, 47.0, 8.12, true), marker(2, 47.0, 8.0)});
    view.setSelected(2);
    view.centerOn(47.0, 8.06);
    QSignalSpy selections(&view, &MapView::markerSelected), activations(&view, &MapView::markerActivated),
        placements(&view, &MapView::placeRequested);
    const QPoint tip = at(view, 47.0, 8.12), from = tip + press;
    send(&view, QEvent::MouseButtonPress, from, Qt::LeftButton);
    for (int step = 1; step <= 3 && !move.isNull(); ++step)
        send(&view, QEvent::MouseMove, from + move * step / 3, Qt::LeftButton);
    send(&view, QEvent::MouseButtonRelease, from + move);
    if (doubleClick) {
        send(&view, QEvent::MouseButtonDblClick, from, Qt::LeftButton);
        send(&view, QEvent::MouseButtonRelease, from);
    }
    QCOMPARE(selections.count(), selected < 0 ? 0 : 1);
    if (selected >= 0)
        QCOMPARE(selections.first().first().toInt(), selected);
    QCOMPARE(view.selected(), selected < 0 ? 2 : selected);
    QCOMPARE(activations.count(), activated < 0 ? 0 : 1);
    if (activated >= 0)
        QCOMPARE(activations.first().first().toInt(), activated);
    QCOMPARE(placements.count(), placed < 0 ? 0 : 1);
    if (placed >= 0) {
        QCOMPARE(placements.first().first().toInt(), placed);
        const QPoint drop = at(view, placements.first().at(1).toDouble(), placements.first().at(2).toDouble());
        QVERIFY((drop - (tip + move)).manhattanLength() <= 3);
    }
    // Until new markers come, the photo is drawn in its place (which moved when the map was panned).
    QVERIFY((at(view, 47.0, 8.12) - (tip + shift)).manhattanLength() <= 2);
    QVERIFY(pinAt(view.grab().toImage(), tip + shift, view.selected() == 1 ? amber : purple));
}

void TestMapView::drop_data()
{
    QTest::addColumn<bool>("placement");
    QTest::addColumn<QString>("format");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("placed");
    QTest::newRow("a photo") << true << MapView::photoMimeType() << QByteArray("7") << 7;
    QTest::newRow("not placing") << false << MapView::photoMimeType() << QByteArray("7") << -1;
    QTest::newRow("no index") << true << MapView::photoMimeType() << QByteArray("seven") << -1;
    QTest::newRow("other data") << true << QStringLiteral("text/plain") << QByteArray("7") << -1;
}

void TestMapView::drop()
{
    QFETCH(bool, placement);
    QFETCH(QString, format);
    QFETCH(QByteArray, data);
    QFETCH(int, placed);
    MapView& view = freshView(QSize(400, 300));
    view.centerOn(51.5, -0.12);
    view.setPlacementEnabled(placement);
    QSignalSpy placements(&view, &MapView::placeRequested);
    QMimeData mime;
    mime.setData(format, data);
    const QPoint pos(120, 90);
    QDragEnterEvent enter(pos, Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&view, &enter);
    QCOMPARE(enter.isAccepted(), placement && format == MapView::photoMimeType());
    QDropEvent drop(pos, Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&view, &drop);
    QCOMPARE(placements.count(), placed < 0 ? 0 : 1);
    if (placed >= 0) {
        QCOMPARE(placements.first().first().toInt(), placed);
        QVERIFY((at(view, placements.first().at(1).toDouble(), placements.first().at(2).toDouble()) - pos)
                    .manhattanLength() <= 2);
    }
}

void TestMapView::toolTipShowsNameTimeAndPicture()
{
    QTemporaryDir folder;
    QImage picture(64, 48, QImage::Format_RGB32);
    picture.fill(Qt::darkGreen);
    MapMarker photo = marker(0, 47.37, 8.54);
    photo.filePath = folder.filePath(QStringLiteral("IMG_0.JPG"));
    photo.localTime = QStringLiteral("2026-05-01 10:00:00");
    QVERIFY(picture.save(photo.filePath, "JPEG"));
    MapView& view = freshView(QSize(400, 300));
    view.setMarkers({photo});
    view.centerOn(photo.latitude, photo.longitude);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    auto hover = [&](const QPoint& pos) {
        QHelpEvent event(QEvent::ToolTip, pos, view.mapToGlobal(pos));
        QApplication::sendEvent(&view, &event);
    };
    hover(at(view, photo.latitude, photo.longitude) - QPoint(0, 15));
    QVERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), QStringLiteral("<b>IMG_0.JPG</b><br>2026-05-01 10:00:00"));
    // The picture, once read (on a worker, however long a busy machine takes), joins the text.
    view::waitForPreviews();
    QCoreApplication::processEvents();
    QTRY_VERIFY(QToolTip::text().contains(QLatin1String("<br><img src=\"data:image/png;base64,"))
                || !QToolTip::isVisible());
    hover(at(view, photo.latitude, photo.longitude) - QPoint(0, 15));
    QVERIFY(QToolTip::text().startsWith(QLatin1String("<b>IMG_0.JPG</b><br>2026-05-01 10:00:00<br><img src=\"data:image/png;base64,")));
    hover(QPoint(20, 20));
    QTRY_VERIFY(!QToolTip::isVisible());
    view.hide();
}

// Rendered, panned, zoomed and fitted, the offline map asks for nothing: the
// only requests the proxy sees come after the switch to OpenStreetMap.
void TestMapView::offlineThemeFetchesNothing()
{
    m_requests.clear();
    MapView& view = freshView(QSize(640, 480));
    QSignalSpy jobs(view.findChild<Marble::MarbleModel*>()->downloadManager(), &Marble::HttpDownloadManager::jobAdded);
    view.setMarkers({marker(0, 47.37, 8.54), marker(1, 46.2, 6.14)});
    view.setTrack(line(47.37, 8.54, 46.2, 6.14, 300));
    view.fitAll();
    view.grab();
    send(&view, QEvent::MouseButtonPress, QPoint(300, 300), Qt::LeftButton);
    send(&view, QEvent::MouseMove, QPoint(100, 200), Qt::LeftButton);
    send(&view, QEvent::MouseButtonRelease, QPoint(100, 200));
    view.grab();
    for (int notch : {120, 120, 120, -360, -360}) {
        QWheelEvent wheel(QPointF(200, 150), QPointF(200, 150), QPoint(), QPoint(0, notch), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(&view, &wheel);
        view.grab();
    }
    view.centerOn(46.2, 6.14);
    view.grab();
    QCoreApplication::processEvents();
    QCOMPARE(jobs.count(), 0);
    view.setTheme(MapView::Theme::OpenStreetMap);
    view.grab();
    QTRY_VERIFY(jobs.count() > 0 && !m_requests.isEmpty());
    for (const QString& request : qAsConst(m_requests))
        QVERIFY2(request.endsWith(QLatin1String(".tile.openstreetmap.org:443")), qPrintable(request));
}

// Tiles put in the cache folder (before the first use of the theme) are drawn.
void TestMapView::openStreetMapTilesComeFromTheCacheFolder()
{
    MapView& view = freshView(QSize(400, 300));
    QCOMPARE(view.theme(), MapView::Theme::OpenStreetMap);
    view.fitAll();
    QTRY_COMPARE(view.grab().toImage().pixelColor(200, 150), QColor(Qt::magenta));
}

QTEST_MAIN(TestMapView)
#include "tst_mapview.moc"
