#pragma once

#include <QString>
#include <QVector>
#include <QWidget>
#include <memory>

#include "model/model.h"

namespace Marble {
class MarbleMap;
}

namespace view {

// A photo on the map.
struct MapMarker {
    int index = -1;
    double latitude = 0, longitude = 0;
    QString name;
    QString localTime;
    QString filePath;
    bool byHand = false;
};

// A map (KDE Marble) with the photos as markers and the phone's track as a
// line. The offline theme needs no network at all; the OpenStreetMap theme
// downloads its tiles into the per-user cache folder. Dragging pans, the
// wheel zooms; a hovered marker shows the photo's name, time and picture.
class MapView : public QWidget {
    Q_OBJECT
public:
    enum class Theme { Offline, OpenStreetMap };

    explicit MapView(QWidget* parent = nullptr);
    ~MapView() override;

    void setTheme(Theme theme);
    Theme theme() const;
    void setMarkers(const QVector<MapMarker>& markers);
    void setTrack(const model::Track& track);
    // -1: none; selecting does not emit markerSelected.
    void setSelected(int index);
    int selected() const;
    // Shows every marker and the whole track; keeps doing so while the view
    // is resized, until the user moves the map.
    void fitAll();
    // Centres on the position at street level (as far as the theme allows).
    void centerOn(double latitude, double longitude);
    // Markers draggable, photo drops accepted.
    void setPlacementEnabled(bool on);
    // Screen position of a coordinate in this widget's coordinates; false when not visible.
    bool screenPosition(double latitude, double longitude, QPoint* point) const;
    // Whether Marble is still reading the map's data files in the background
    // (the view repaints as they come).
    bool isLoading() const;
    // "application/x-kestrel-photo-index": the index as text.
    static QString photoMimeType();

signals:
    void markerSelected(int index);
    void markerActivated(int index);
    void placeRequested(int index, double latitude, double longitude);

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    struct Private;

    void applyTheme();
    void applyDetail();
    Marble::MarbleMap* sizedMap() const;
    void showToolTip(const QPoint& pos, const QPoint& globalPos);
    QString toolTipText(int index) const;
    void readThumbnail(const QString& filePath);
    void panBy(const QPoint& delta);
    void zoomAt(const QPoint& pos, double zoom);
    bool geoPosition(const QPointF& pos, double* latitude, double* longitude) const;

    std::unique_ptr<Private> d;
};

} // namespace view
