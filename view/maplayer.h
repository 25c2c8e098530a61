#pragma once

#include <QPixmap>
#include <QPointF>
#include <QVector>

#include <marble/LayerInterface.h>

#include "model/model.h"
#include "view/mapview.h"

namespace Marble {
class ViewportParams;
}

namespace view {

// What the map view draws over Marble's map: the track as a line and each
// photo as a pin whose tip is at its position (a dot when the map is zoomed
// far out), the hand-placed ones in their own color and the selected one
// larger on top. One marker may be shown away from its place while it is
// dragged.
class MapLayer : public Marble::LayerInterface {
public:
    QStringList renderPosition() const override;
    bool render(Marble::GeoPainter* painter, Marble::ViewportParams* viewport, const QString& renderPos,
                Marble::GeoSceneLayer* layer) override;

    void setMarkers(const QVector<MapMarker>& markers);
    const QVector<MapMarker>& markers() const { return m_markers; }
    void setTrack(const model::Track& track) { m_track = track; }
    const model::Track& track() const { return m_track; }
    void setSelected(int index) { m_selected = index; }
    int selected() const { return m_selected; }
    // Shows the marker of index with its tip at tip (widget coordinates);
    // index -1 puts it back in its place.
    void setDragged(int index, const QPointF& tip = QPointF());

    // The marker (its index) drawn at pos: the topmost one under pos, else
    // the nearest within a few pixels; -1 when there is none.
    int markerAt(const Marble::ViewportParams* viewport, const QPointF& pos) const;
    // The marker's tip on the screen; false when its position is off the map.
    static bool project(const Marble::ViewportParams* viewport, double latitude, double longitude, QPointF* point);
    // The marker of index, or nullptr.
    const MapMarker* marker(int index) const;

private:
    enum Style { Normal, Hand, Selected, StyleCount };
    struct Shape {
        QPointF headOffset;   // from the tip to the centre of the round head
        qreal headRadius = 0;
    };
    static Style styleOf(const MapMarker& marker, int selected);
    static Shape shapeOf(Style style, bool far);
    static bool farOut(const Marble::ViewportParams* viewport);
    // Marker positions in the vector, in the order they are drawn.
    QVector<int> drawOrder() const;
    void drawTrack(QPainter* painter, const Marble::ViewportParams* viewport) const;
    void makePixmaps(qreal ratio);

    QVector<MapMarker> m_markers;
    model::Track m_track;
    int m_selected = -1;
    int m_dragged = -1;
    QPointF m_dragTip;
    // Per style, the pin and the dot, drawn once for the device's pixel ratio.
    QPixmap m_pins[StyleCount];
    QPixmap m_dots[StyleCount];
    qreal m_pixmapRatio = 0;
};

} // namespace view
