#include "view/maplayer.h"

#include <QLineF>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QStringList>
#include <QtMath>

#include <marble/GeoPainter.h>
#include <marble/MarbleGlobal.h>
#include <marble/ViewportParams.h>

namespace view {

namespace {

const QColor styleColors[] = {QColor(0xe5, 0x46, 0x3a), QColor(0x8e, 0x44, 0xad), QColor(0xff, 0xb3, 0x00)};
const QColor trackColor(0x1f, 0x66, 0xe0);
// Beyond this latitude Marble's flat map ends.
constexpr double maxLatitude = 85.0511;
// Below this radius (pixels) whole countries fit on the screen and the
// markers are drawn as dots.
constexpr int farRadius = 1400;
constexpr qreal dotRadius = 4;
// How far from a marker (pixels) a click still hits it.
constexpr qreal hitSlack = 4;
// Transparent room around each pixmap for its outline.
constexpr qreal pixmapMargin = 2;

qreal distanceToSegment(const QPointF& p, const QPointF& a, const QPointF& b)
{
    const QPointF ab = b - a;
    const qreal length2 = QPointF::dotProduct(ab, ab);
    const qreal t = length2 > 0 ? qBound<qreal>(0, QPointF::dotProduct(p - a, ab) / length2, 1) : 0;
    return QLineF(p, a + t * ab).length();
}

// Leaves out the points of a line closer than tolerance to the simpler line
// through the points kept (Douglas and Peucker's way).
QPolygonF simplified(const QPolygonF& line, qreal tolerance)
{
    if (line.size() < 3)
        return line;
    QVector<bool> keep(line.size(), false);
    keep.first() = keep.last() = true;
    QVector<QPair<int, int>> spans{{0, line.size() - 1}};
    while (!spans.isEmpty()) {
        const auto span = spans.takeLast();
        int farthest = -1;
        qreal distance = tolerance;
        for (int i = span.first + 1; i < span.second; ++i) {
            const qreal d = distanceToSegment(line[i], line[span.first], line[span.second]);
            if (d > distance) {
                distance = d;
                farthest = i;
            }
        }
        if (farthest < 0)
            continue;
        keep[farthest] = true;
        spans.append({span.first, farthest});
        spans.append({farthest, span.second});
    }
    QPolygonF result;
    for (int i = 0; i < line.size(); ++i)
        if (keep[i])
            result << line[i];
    return result;
}

int outcode(const QPointF& p, const QRectF& r)
{
    return (p.x() < r.left() ? 1 : 0) | (p.x() > r.right() ? 2 : 0) | (p.y() < r.top() ? 4 : 0)
           | (p.y() > r.bottom() ? 8 : 0);
}

// Draws a shape with a thin dark rim and a white outline.
void drawOutlined(QPainter& painter, const QPainterPath& path, const QColor& fill)
{
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(0, 0, 0, 110), 2.6));
    painter.drawPath(path);
    painter.setPen(QPen(Qt::white, 1.4));
    painter.setBrush(fill);
    painter.drawPath(path);
}

QPixmap newPixmap(const QSizeF& size, qreal ratio)
{
    QPixmap pixmap((size * ratio).toSize());
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

} // namespace

QStringList MapLayer::renderPosition() const
{
    return {QStringLiteral("ALWAYS_ON_TOP")};
}

void MapLayer::setMarkers(const QVector<MapMarker>& markers)
{
    m_markers = markers;
}

void MapLayer::setDragged(int index, const QPointF& tip)
{
    m_dragged = index;
    m_dragTip = tip;
}

const MapMarker* MapLayer::marker(int index) const
{
    for (const MapMarker& marker : m_markers)
        if (marker.index == index)
            return &marker;
    return nullptr;
}

MapLayer::Style MapLayer::styleOf(const MapMarker& marker, int selected)
{
    return marker.index == selected && selected >= 0 ? Selected : marker.byHand ? Hand : Normal;
}

MapLayer::Shape MapLayer::shapeOf(Style style, bool far)
{
    if (far && style != Selected)
        return {QPointF(0, 0), dotRadius};
    return style == Selected ? Shape{QPointF(0, -22), 9} : Shape{QPointF(0, -17), 7};
}

bool MapLayer::farOut(const Marble::ViewportParams* viewport)
{
    return viewport->radius() < farRadius;
}

bool MapLayer::project(const Marble::ViewportParams* viewport, double latitude, double longitude, QPointF* point)
{
    if (!(qAbs(latitude) <= maxLatitude) || !(qAbs(longitude) <= 360))
        return false;
    qreal x = 0, y = 0;
    viewport->screenCoordinates(longitude * Marble::DEG2RAD, latitude * Marble::DEG2RAD, x, y);
    // The flat map repeats every 4 radii across; take the copy nearest the
    // middle of the screen.
    const qreal worldWidth = 4.0 * viewport->radius();
    const qreal middle = viewport->width() / 2.0;
    *point = QPointF(middle + std::remainder(x - middle, worldWidth), y);
    return true;
}

QVector<int> MapLayer::drawOrder() const
{
    QVector<int> order;
    order.reserve(m_markers.size());
    int selected = -1, dragged = -1;
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 0; i < m_markers.size(); ++i) {
            const MapMarker& marker = m_markers[i];
            if (marker.index == m_dragged && m_dragged >= 0)
                dragged = i;
            else if (marker.index == m_selected && m_selected >= 0)
                selected = i;
            else if (marker.byHand == (pass == 1))
                order.append(i);
        }
    }
    for (int last : {selected, dragged})
        if (last >= 0)
            order.append(last);
    return order;
}

void MapLayer::makePixmaps(qreal ratio)
{
    for (int style = 0; style < StyleCount; ++style) {
        const Shape pin = shapeOf(Style(style), false);
        const qreal r = pin.headRadius, h = -pin.headOffset.y();
        m_pins[style] = newPixmap(QSizeF(2 * (r + pixmapMargin), h + r + 2 * pixmapMargin), ratio);
        QPainter painter(&m_pins[style]);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.translate(r + pixmapMargin, r + pixmapMargin);
        // A round head with a tail tapering to the tip, which is h below it.
        const qreal angle = qAcos(r / h);
        QPainterPath tail;
        tail.moveTo(0, h);
        tail.lineTo(r * qSin(angle), r * qCos(angle));
        tail.lineTo(-r * qSin(angle), r * qCos(angle));
        tail.closeSubpath();
        QPainterPath head;
        head.addEllipse(QPointF(0, 0), r, r);
        drawOutlined(painter, head.united(tail), styleColors[style]);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Qt::white);
        painter.drawEllipse(QPointF(0, 0), r * 0.32, r * 0.32);

        m_dots[style] = newPixmap(QSizeF(2 * (dotRadius + pixmapMargin), 2 * (dotRadius + pixmapMargin)), ratio);
        QPainter dotPainter(&m_dots[style]);
        dotPainter.setRenderHint(QPainter::Antialiasing);
        QPainterPath dot;
        dot.addEllipse(QPointF(dotRadius + pixmapMargin, dotRadius + pixmapMargin), dotRadius, dotRadius);
        drawOutlined(dotPainter, dot, styleColors[style]);
    }
    m_pixmapRatio = ratio;
}

void MapLayer::drawTrack(QPainter* painter, const Marble::ViewportParams* viewport) const
{
    const QRectF bounds = QRectF(0, 0, viewport->width(), viewport->height()).adjusted(-8, -8, 8, 8);
    const qreal halfWorld = 2.0 * viewport->radius();
    QVector<QPolygonF> lines;
    QPolygonF line;
    auto flush = [&] {
        if (line.size() > 1)
            lines.append(simplified(line, 0.5));
        line.clear();
    };
    QPointF previous;
    int previousCode = 0;
    bool hasPrevious = false;
    for (const model::TrackPoint& position : m_track) {
        QPointF point;
        if (!project(viewport, position.latitude, position.longitude, &point)) {
            flush();
            hasPrevious = false;
            continue;
        }
        const int code = outcode(point, bounds);
        // A new line after a jump across the date line, and none for the
        // parts that run outside the screen.
        if (!hasPrevious || qAbs(point.x() - previous.x()) > halfWorld || (code & previousCode)) {
            flush();
        } else {
            if (line.isEmpty())
                line << previous;
            // Points closer than a pixel to the last one drawn add nothing.
            if ((point - line.last()).manhattanLength() >= 0.7)
                line << point;
        }
        previous = point;
        previousCode = code;
        hasPrevious = true;
    }
    flush();
    const QPen pens[] = {QPen(QColor(255, 255, 255, 210), 5.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin),
                         QPen(trackColor, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin)};
    for (const QPen& pen : pens) {
        painter->setPen(pen);
        for (const QPolygonF& polyline : qAsConst(lines))
            painter->drawPolyline(polyline);
    }
}

bool MapLayer::render(Marble::GeoPainter* geoPainter, Marble::ViewportParams* viewport, const QString&,
                      Marble::GeoSceneLayer*)
{
    // Qt's own drawing calls, which GeoPainter's overloads hide.
    QPainter* painter = geoPainter;
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    drawTrack(painter, viewport);
    const qreal ratio = painter->device()->devicePixelRatioF();
    if (ratio != m_pixmapRatio)
        makePixmaps(ratio);
    const bool far = farOut(viewport);
    // Pins below or beside the screen may still reach into it.
    const QRectF area = QRectF(0, 0, viewport->width(), viewport->height()).adjusted(-12, -12, 12, 40);
    for (int i : drawOrder()) {
        const MapMarker& marker = m_markers[i];
        const bool dragged = marker.index == m_dragged;
        QPointF tip = m_dragTip;
        if (!dragged && (!project(viewport, marker.latitude, marker.longitude, &tip) || !area.contains(tip)))
            continue;
        const Style style = styleOf(marker, m_selected);
        const bool dot = far && style != Selected && !dragged;
        const Shape shape = shapeOf(style, dot);
        // The pixmap's top left corner, whole pixels so that it stays sharp.
        const QPointF corner = tip + shape.headOffset - QPointF(1, 1) * (shape.headRadius + pixmapMargin);
        painter->drawPixmap(corner.toPoint(), dot ? m_dots[style] : m_pins[style]);
    }
    painter->restore();
    return true;
}

int MapLayer::markerAt(const Marble::ViewportParams* viewport, const QPointF& pos) const
{
    const bool far = farOut(viewport);
    const QVector<int> order = drawOrder();
    int best = -1;
    qreal bestDistance = hitSlack + 0.01;
    for (int k = order.size() - 1; k >= 0; --k) {
        const MapMarker& marker = m_markers[order[k]];
        QPointF tip;
        if (marker.index == m_dragged || !project(viewport, marker.latitude, marker.longitude, &tip))
            continue;
        const Style style = styleOf(marker, m_selected);
        const Shape shape = shapeOf(style, far);
        const QPointF head = tip + shape.headOffset;
        // Outside the head (with its outline) or the tail, how far.
        qreal distance = qMax<qreal>(0, QLineF(pos, head).length() - shape.headRadius - 1);
        if (!shape.headOffset.isNull())
            distance = qMin(distance, qMax<qreal>(0, distanceToSegment(pos, tip, head) - 2.5));
        if (distance == 0)
            return marker.index;
        if (distance < bestDistance) {
            bestDistance = distance;
            best = marker.index;
        }
    }
    return best;
}

} // namespace view
