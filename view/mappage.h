#pragma once

#include <QListWidget>
#include <QWidget>
#include <memory>

#include "model/model.h"

namespace Ui {
class MapPage;
}

namespace view {

class MapView;

// The photos without a position, each dragged with its index in the run as
// the map's photo data.
class PhotoDragList : public QListWidget {
    Q_OBJECT
public:
    using QListWidget::QListWidget;

protected:
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QList<QListWidgetItem*> items) const override;
};

// The map of a run: its photos as markers over the track of its period, and
// beside it the photos without a position, which are dragged onto the map
// to place them. It shows what it is given and tells what the user asks.
class MapPage : public QWidget {
    Q_OBJECT
public:
    explicit MapPage(QWidget* parent = nullptr);
    ~MapPage() override;

    // The map, made on first use.
    MapView* map();
    // The run's photos: markers for those with a position, the list for the
    // others. With fit, the view is fitted to the markers and the track.
    void setPhotos(const model::PhotoGeotagList& photos, bool fit);
    // The track of the run's period; problem says why there is none.
    void setTrack(const model::Track& track, const QString& problem);
    // What Undo would undo; empty when there is nothing.
    void setUndo(const QString& text);
    void setOnlineMap(bool online);
    // Selects the photo's marker or list entry, without telling.
    void select(int index);
    // Centres the map on the photo's marker and selects it.
    void focusPhoto(int index);

signals:
    void placeRequested(int index, double latitude, double longitude);
    void snapRequested(int index);
    void undoRequested();
    void detailsRequested(int index);
    // The user selected a photo on the map or in the list.
    void selected(int index);
    void onlineMapChosen(bool online);

protected:
    // A fit asked for while hidden waits for the page's real size.
    void showEvent(QShowEvent* event) override;

private:
    int listedIndex() const;
    void updateButtons();

    std::unique_ptr<Ui::MapPage> m_ui;
    MapView* m_map = nullptr;
    model::PhotoGeotagList m_photos;
    bool m_trackShown = false;
    bool m_fitPending = false;
    bool m_online = false;
};

} // namespace view
