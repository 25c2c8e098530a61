#include "view/mapview.h"

#include <QApplication>
#include <QBuffer>
#include <QCache>
#include <QDir>
#include <QDragEnterEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QMouseEvent>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>
#include <QStandardPaths>
#include <QTimer>
#include <QToolTip>
#include <QWheelEvent>
#include <QtMath>

#include <marble/FileManager.h>
#include <marble/GeoPainter.h>
#include <marble/MarbleDirs.h>
#include <marble/MarbleMap.h>
#include <marble/MarbleModel.h>
#include <marble/RenderPlugin.h>
#include <marble/ViewportParams.h>

#include "view/maplayer.h"
#include "view/photopreview.h"

namespace view {

namespace {

// Marble's Atlas: coastlines, borders and relief shipped with Marble.
const QString offlineThemeId = QStringLiteral("earth/srtm/srtm.dgml");
const QString openStreetMapThemeId = QStringLiteral("earth/openstreetmap/openstreetmap.dgml");
// Marble's zoom is 200 ln(radius in pixels). Street level is OpenStreetMap's
// tile level 16; a single photo is shown a town's width around it.
constexpr double streetZoom = 2970;
constexpr double townZoom = 2700;
// Narrower views (a small map beside other settings) show neither the scale
// bar nor place names.
constexpr int detailWidth = 480;
// The height of a selected marker's pin above its tip, kept free by fitAll.
constexpr double pinHeight = 33;
const QSize thumbnailSize(160, 120);

double radiusOf(double zoom)
{
    return std::exp(zoom / 200.0);
}

double zoomOf(double radius)
{
    return 200.0 * std::log(qMax(1.0, radius));
}

// Marble 22.12 keeps downloaded tiles under the data folder and has no
// setting for that. So the OpenStreetMap theme is used from a copy in
// QStandardPaths::CacheLocation + "/marble" whose tile folders are absolute
// paths there; its id is the copy's path relative to Marble's theme folder.
// Each tile folder starts with Marble's own base tile. When the copy cannot
// be made, Marble's own theme is used.
QString cachedOpenStreetMapThemeId()
{
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + QStringLiteral("/marble");
    QFile original(Marble::MarbleDirs::path(QStringLiteral("maps/") + openStreetMapThemeId));
    if (!original.open(QIODevice::ReadOnly))
        return openStreetMapThemeId;
    const QString text = QString::fromUtf8(original.readAll());
    static const QRegularExpression sourceDir(QStringLiteral("(<sourcedir[^>]*>)\\s*([^<\\s]+)\\s*</sourcedir>"));
    QString copy;
    int done = 0;
    for (auto matches = sourceDir.globalMatch(text); matches.hasNext();) {
        const QRegularExpressionMatch match = matches.next();
        const QString folder = cache + QStringLiteral("/maps/") + match.captured(2);
        const QString baseTile = QStringLiteral("/0/0/0.png");
        if (!QFile::exists(folder + baseTile)
            && !(QDir().mkpath(folder + QStringLiteral("/0/0"))
                 && QFile::copy(Marble::MarbleDirs::path(QStringLiteral("maps/") + match.captured(2) + baseTile),
                                folder + baseTile)))
            return openStreetMapThemeId;
        copy += text.mid(done, match.capturedStart() - done) + match.captured(1) + folder.toHtmlEscaped()
                + QStringLiteral("</sourcedir>");
        done = match.capturedEnd();
    }
    copy += text.mid(done);
    QSaveFile file(cache + QStringLiteral("/openstreetmap.dgml"));
    if (!file.open(QIODevice::WriteOnly) || file.write(copy.toUtf8()) < 0 || !file.commit())
        return openStreetMapThemeId;
    // Marble resolves the id's ".." after the links in its folder's path.
    const QFileInfo themes(Marble::MarbleDirs::systemPath() + QStringLiteral("/maps"));
    return QDir(themes.canonicalFilePath()).relativeFilePath(QFileInfo(file.fileName()).canonicalFilePath());
}

// Marble's model drops (and never frees) the data its threads are still
// reading when it goes: a model still loading stays until it is done.
void retire(Marble::MarbleModel* model)
{
    // Never freed, so that the models in it are not taken for leaks at exit.
    static auto* loading = new QSet<Marble::MarbleModel*>;
    if (model->fileManager()->pendingFiles() == 0) {
        delete model;
        return;
    }
    model->setParent(nullptr);
    loading->insert(model);
    auto* poll = new QTimer(model);
    QObject::connect(poll, &QTimer::timeout, model, [model] {
        if (model->fileManager()->pendingFiles() == 0 && loading->remove(model))
            model->deleteLater();
    });
    poll->start(100);
}

} // namespace

struct MapView::Private {
    // The map holds the layer and uses the model; it goes first.
    MapLayer layer;
    Marble::MarbleModel* model = nullptr;
    std::unique_ptr<Marble::MarbleMap> map;
    Theme theme = Theme::Offline;
    bool detailed = true;
    bool placement = false;
    // fitAll holds until the user moves the map.
    bool fitting = false;
    // The left button: the marker pressed (-1: the map), where, whether the
    // pointer went further than a click, whether the marker is being dragged
    // and from the pointer to its tip.
    bool pressed = false;
    int pressIndex = -1;
    QPoint pressPos;
    QPoint lastPos;
    bool moved = false;
    bool dragging = false;
    QPointF grabOffset;
    // The marker whose tool tip is shown, and where.
    int tipIndex = -1;
    QPoint tipPos;
    QPoint tipGlobalPos;
    // Per photo file, the thumbnail as an <img> of the tool tip (empty when
    // the file has no picture); cost in KiB.
    QCache<QString, QString> thumbnails{8 * 1024};
    QSet<QString> reading;

    // Fitting and the wheel go deeper than the offline theme's own limit:
    // its background grows coarse there, but the markers and the track stay
    // sharp, and a day's photos a few hundred metres apart come apart. A
    // single photo is shown no deeper than the theme's detail.
    double clampedRadius(double radius, bool withinTheme = false) const
    {
        const double deepest = withinTheme ? map->maximumZoom() : qMax<double>(map->maximumZoom(), streetZoom);
        return qBound(radiusOf(map->minimumZoom()), radius, radiusOf(deepest));
    }
};

MapView::MapView(QWidget* parent)
    : QWidget(parent)
    , d(new Private)
{
    d->model = new Marble::MarbleModel(this);
    d->map.reset(new Marble::MarbleMap(d->model));
    d->map->setProjection(Marble::Mercator);
    d->map->setMapQualityForViewContext(Marble::HighQuality, Marble::Still);
    d->map->addLayer(&d->layer);
    connect(d->map.get(), &Marble::MarbleMap::repaintNeeded, this, [this] { update(); });
    setMouseTracking(true);
    setCursor(Qt::OpenHandCursor);
    applyTheme();
    fitAll();
}

MapView::~MapView()
{
    d->map.reset();
    retire(d->model);
}

QString MapView::photoMimeType()
{
    return QStringLiteral("application/x-kestrel-photo-index");
}

void MapView::setTheme(Theme theme)
{
    if (theme == d->theme)
        return;
    d->theme = theme;
    applyTheme();
}

MapView::Theme MapView::theme() const
{
    return d->theme;
}

void MapView::applyTheme()
{
    Marble::MarbleMap* map = d->map.get();
    const bool offline = d->theme == Theme::Offline;
    // Offline, Marble would still fetch finer relief for the Atlas from its server.
    d->model->setWorkOffline(offline);
    if (offline) {
        map->setMapThemeId(offlineThemeId);
    } else {
        static const QString cachedId = cachedOpenStreetMapThemeId();
        map->setMapThemeId(cachedId);
    }
    // No mountain or pole symbols; the Atlas's relief shading shows the
    // coarse steps of its offline data from the regional scale on.
    map->setShowTerrain(false);
    map->setShowOtherPlaces(false);
    map->setShowRelief(false);
    applyDetail();
}

// Of Marble's extras only the theme's license (the attribution) and the scale
// bar: every other one is clutter or fetches data online. A narrow view has
// no scale bar and no place names, and shows the Atlas's license ("Public
// Domain") only when wide.
void MapView::applyDetail()
{
    d->detailed = width() >= detailWidth;
    const bool attribution = d->detailed || d->theme != Theme::Offline;
    for (Marble::RenderPlugin* plugin : d->map->renderPlugins()) {
        const bool keep = (plugin->nameId() == QLatin1String("license") && attribution)
                          || (plugin->nameId() == QLatin1String("scalebar") && d->detailed);
        plugin->setEnabled(keep);
        plugin->setVisible(keep);
    }
    d->map->setShowPlaces(d->detailed);
    d->map->setShowCities(d->detailed);
    update();
}

// The map at the view's size; a size not yet seen (the view may be drawn or
// asked before its resize event) sets the detail and refits.
Marble::MarbleMap* MapView::sizedMap() const
{
    Marble::MarbleMap* map = d->map.get();
    if (map->width() == width() && map->height() == height())
        return map;
    map->setSize(size());
    auto* self = const_cast<MapView*>(this);
    if ((width() >= detailWidth) != d->detailed)
        self->applyDetail();
    if (d->fitting)
        self->fitAll();
    return map;
}

bool MapView::isLoading() const
{
    return d->model->fileManager()->pendingFiles() > 0;
}

void MapView::setMarkers(const QVector<MapMarker>& markers)
{
    d->layer.setMarkers(markers);
    update();
}

void MapView::setTrack(const model::Track& track)
{
    d->layer.setTrack(track);
    update();
}

void MapView::setSelected(int index)
{
    d->layer.setSelected(index);
    update();
}

int MapView::selected() const
{
    return d->layer.selected();
}

void MapView::setPlacementEnabled(bool on)
{
    d->placement = on;
    setAcceptDrops(on);
    if (!on && d->dragging) {
        d->pressed = d->dragging = false;
        d->layer.setDragged(-1);
        update();
    }
}

bool MapView::screenPosition(double latitude, double longitude, QPoint* point) const
{
    QPointF position;
    if (!MapLayer::project(sizedMap()->viewport(), latitude, longitude, &position))
        return false;
    if (point)
        *point = position.toPoint();
    return rect().contains(position.toPoint());
}

bool MapView::geoPosition(const QPointF& pos, double* latitude, double* longitude) const
{
    qreal lon = 0, lat = 0;
    if (!sizedMap()->geoCoordinates(qRound(pos.x()), qRound(pos.y()), lon, lat, Marble::GeoDataCoordinates::Degree))
        return false;
    *latitude = lat;
    *longitude = std::remainder(lon, 360.0);
    return true;
}

void MapView::fitAll()
{
    Marble::MarbleMap* map = sizedMap();
    d->fitting = true;
    double south = 90, north = -90, west = 180, east = -180;
    auto include = [&](double latitude, double longitude) {
        if (!(qAbs(latitude) <= 90 && qAbs(longitude) <= 180))
            return;
        south = qMin(south, qBound(-85.0, latitude, 85.0));
        north = qMax(north, qBound(-85.0, latitude, 85.0));
        west = qMin(west, longitude);
        east = qMax(east, longitude);
    };
    for (const MapMarker& marker : d->layer.markers())
        include(marker.latitude, marker.longitude);
    for (const model::TrackPoint& position : d->layer.track())
        include(position.latitude, position.longitude);
    if (south > north) {
        // Nothing to show: the world, its width filling the view.
        map->setRadius(qRound(d->clampedRadius(width() / 4.0)));
        map->centerOn(0, 20);
        update();
        return;
    }
    // The middle of the box on the flat map, then the radius that fits its
    // span there (spans grow with the radius) with a margin and the pins' height.
    auto mercator = [](double latitude) { return std::asinh(std::tan(qDegreesToRadians(latitude))); };
    map->centerOn((west + east) / 2, qRadiansToDegrees(std::atan(std::sinh((mercator(south) + mercator(north)) / 2))));
    double radius = radiusOf(north - south < 1e-6 && east - west < 1e-6 ? townZoom : streetZoom);
    QPointF northWest, southEast;
    if (MapLayer::project(map->viewport(), north, west, &northWest)
        && MapLayer::project(map->viewport(), south, east, &southEast)) {
        const double margin = qMin(40.0, qMin(width(), height()) / 8.0);
        const QSizeF room(qMax(10.0, width() - 2 * margin), qMax(10.0, height() - 2 * margin - pinHeight));
        const QPointF span = southEast - northWest;
        if (span.x() > 0.5)
            radius = qMin(radius, map->radius() * room.width() / span.x());
        if (span.y() > 0.5)
            radius = qMin(radius, map->radius() * room.height() / span.y());
    }
    map->setRadius(qRound(d->clampedRadius(radius)));
    // Half the pins' height lower, so that their heads fit too.
    panBy(QPoint(0, qRound(pinHeight / 2)));
    update();
}

void MapView::centerOn(double latitude, double longitude)
{
    d->fitting = false;
    Marble::MarbleMap* map = sizedMap();
    map->centerOn(longitude, latitude);
    map->setRadius(qRound(d->clampedRadius(radiusOf(streetZoom), true)));
    update();
}

void MapView::panBy(const QPoint& delta)
{
    Marble::MarbleMap* map = sizedMap();
    const QPointF target = QPointF(width() / 2.0, height() / 2.0) - delta;
    double latitude = 0, longitude = 0;
    if (geoPosition(target, &latitude, &longitude)) {
        map->centerOn(longitude, latitude);
    } else if (geoPosition(QPointF(target.x(), height() / 2.0), &latitude, &longitude)) {
        // Beyond the top or bottom of the map: sideways only.
        map->centerOn(longitude, map->centerLatitude());
    }
}

void MapView::zoomAt(const QPoint& pos, double zoom)
{
    Marble::MarbleMap* map = sizedMap();
    double latitude = 0, longitude = 0;
    const bool anchored = geoPosition(pos, &latitude, &longitude);
    map->setRadius(qRound(d->clampedRadius(radiusOf(zoom))));
    // The place under the pointer stays there.
    QPointF now;
    if (anchored && MapLayer::project(map->viewport(), latitude, longitude, &now))
        panBy(pos - now.toPoint());
}

void MapView::paintEvent(QPaintEvent* event)
{
    Marble::MarbleMap* map = sizedMap();
    Marble::GeoPainter painter(this, map->viewport(), map->mapQuality());
    map->paint(painter, event->rect());
}

void MapView::resizeEvent(QResizeEvent* event)
{
    sizedMap();
    QWidget::resizeEvent(event);
}

void MapView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(event);
    QToolTip::hideText();
    const Marble::ViewportParams* viewport = sizedMap()->viewport();
    d->pressed = true;
    d->moved = d->dragging = false;
    d->pressPos = d->lastPos = event->pos();
    d->pressIndex = d->layer.markerAt(viewport, event->pos());
    const MapMarker* marker = d->layer.marker(d->pressIndex);
    QPointF tip;
    if (d->placement && marker && MapLayer::project(viewport, marker->latitude, marker->longitude, &tip))
        d->grabOffset = tip - event->pos();
    else
        setCursor(Qt::ClosedHandCursor);
}

void MapView::mouseMoveEvent(QMouseEvent* event)
{
    if (!d->pressed) {
        setCursor(d->layer.markerAt(sizedMap()->viewport(), event->pos()) >= 0 ? Qt::PointingHandCursor
                                                                                        : Qt::OpenHandCursor);
        return;
    }
    if ((event->pos() - d->pressPos).manhattanLength() >= QApplication::startDragDistance())
        d->moved = true;
    if (d->placement && d->pressIndex >= 0) {
        if (d->moved) {
            d->dragging = true;
            d->layer.setDragged(d->pressIndex, event->pos() + d->grabOffset);
            update();
        }
        return;
    }
    d->fitting = false;
    d->map->setViewContext(Marble::Animation);
    panBy(event->pos() - d->lastPos);
    d->lastPos = event->pos();
    update();
}

void MapView::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !d->pressed)
        return QWidget::mouseReleaseEvent(event);
    d->pressed = false;
    d->map->setViewContext(Marble::Still);
    setCursor(Qt::OpenHandCursor);
    update();
    const int index = d->pressIndex;
    double latitude = 0, longitude = 0;
    if (d->dragging) {
        // The marker goes back to its place until new markers come.
        d->dragging = false;
        d->layer.setDragged(-1);
        if (geoPosition(event->pos() + d->grabOffset, &latitude, &longitude))
            emit placeRequested(index, latitude, longitude);
    } else if (index >= 0 && !d->moved) {
        setSelected(index);
        emit markerSelected(index);
    }
}

void MapView::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return QWidget::mouseDoubleClickEvent(event);
    const int index = d->layer.markerAt(sizedMap()->viewport(), event->pos());
    if (index >= 0) {
        emit markerActivated(index);
        return;
    }
    d->fitting = false;
    zoomAt(event->pos(), zoomOf(d->map->radius()) + 100);
    update();
}

void MapView::wheelEvent(QWheelEvent* event)
{
    const int delta = event->angleDelta().y();
    if (delta == 0)
        return QWidget::wheelEvent(event);
    d->fitting = false;
    // 40 zoom steps (a fifth more or less) per notch.
    zoomAt(event->position().toPoint(), zoomOf(sizedMap()->radius()) + delta / 3.0);
    update();
}

bool MapView::event(QEvent* event)
{
    if (event->type() == QEvent::ToolTip) {
        const auto* help = static_cast<QHelpEvent*>(event);
        showToolTip(help->pos(), help->globalPos());
        return true;
    }
    return QWidget::event(event);
}

void MapView::showToolTip(const QPoint& pos, const QPoint& globalPos)
{
    d->tipIndex = d->pressed ? -1 : d->layer.markerAt(sizedMap()->viewport(), pos);
    const MapMarker* marker = d->layer.marker(d->tipIndex);
    if (!marker) {
        QToolTip::hideText();
        return;
    }
    d->tipPos = pos;
    d->tipGlobalPos = globalPos;
    readThumbnail(marker->filePath);
    QToolTip::showText(globalPos, toolTipText(d->tipIndex), this, QRect(pos - QPoint(6, 6), QSize(12, 12)));
}

QString MapView::toolTipText(int index) const
{
    const MapMarker* marker = d->layer.marker(index);
    if (!marker)
        return QString();
    const QString name = marker->name.isEmpty() ? QFileInfo(marker->filePath).fileName() : marker->name;
    QString text = QStringLiteral("<b>%1</b>").arg(name.toHtmlEscaped());
    if (!marker->localTime.isEmpty())
        text += QStringLiteral("<br>") + marker->localTime.toHtmlEscaped();
    if (const QString* picture = d->thumbnails.object(marker->filePath))
        text += *picture;
    return text;
}

// Reads the thumbnail once per file (while it stays cached); the tool tip
// shows it as soon as it is read.
void MapView::readThumbnail(const QString& filePath)
{
    if (filePath.isEmpty() || d->thumbnails.contains(filePath) || d->reading.contains(filePath))
        return;
    d->reading.insert(filePath);
    readPreview(filePath, thumbnailSize, this, [this, filePath](const QImage& image) {
        d->reading.remove(filePath);
        auto* picture = new QString;
        if (!image.isNull()) {
            QByteArray bytes;
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::WriteOnly);
            image.save(&buffer, "PNG");
            *picture = QStringLiteral("<br><img src=\"data:image/png;base64,%1\">").arg(QString::fromLatin1(bytes.toBase64()));
        }
        d->thumbnails.insert(filePath, picture, qMax(1, picture->size() / 512));
        const MapMarker* marker = d->layer.marker(d->tipIndex);
        if (marker && marker->filePath == filePath && QToolTip::isVisible())
            QToolTip::showText(d->tipGlobalPos, toolTipText(d->tipIndex), this,
                               QRect(d->tipPos - QPoint(6, 6), QSize(12, 12)));
    });
}

void MapView::dragEnterEvent(QDragEnterEvent* event)
{
    if (d->placement && event->mimeData()->hasFormat(photoMimeType()))
        event->acceptProposedAction();
}

void MapView::dragMoveEvent(QDragMoveEvent* event)
{
    if (d->placement && event->mimeData()->hasFormat(photoMimeType()))
        event->acceptProposedAction();
}

void MapView::dropEvent(QDropEvent* event)
{
    bool ok = false;
    const int index = QString::fromUtf8(event->mimeData()->data(photoMimeType())).trimmed().toInt(&ok);
    double latitude = 0, longitude = 0;
    if (!d->placement || !ok || !geoPosition(event->posF(), &latitude, &longitude)) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    emit placeRequested(index, latitude, longitude);
}

} // namespace view
