#include "view/mappage.h"

#include <QFileInfo>
#include <QLocale>
#include <QMimeData>

#include "ui_mappage.h"
#include "view/detailinfoview.h"
#include "view/mapview.h"

namespace view {

QStringList PhotoDragList::mimeTypes() const
{
    return {MapView::photoMimeType()};
}

QMimeData* PhotoDragList::mimeData(const QList<QListWidgetItem*> items) const
{
    if (items.isEmpty())
        return nullptr;
    auto* data = new QMimeData;
    data->setData(MapView::photoMimeType(), items.first()->data(Qt::UserRole).toString().toUtf8());
    return data;
}

namespace {

// "2026-05-01 10:00:00 (UTC+02:00)", or the camera's time when no corrected one is known.
QString localTime(const model::PhotoGeotag& photo)
{
    if (photo.photoTime.isEmpty())
        return DetailInfoView::dateTimeText(photo.dateTimeOriginal);
    const QString time = DetailInfoView::dateTimeText(photo.photoTime);
    return photo.timeZone.isEmpty() ? time : time + QStringLiteral(" (UTC") + photo.timeZone + QLatin1Char(')');
}

} // namespace

MapPage::MapPage(QWidget* parent)
    : QWidget(parent)
    , m_ui(std::make_unique<Ui::MapPage>())
{
    m_ui->setupUi(this);
    m_ui->unplacedList->setAccessibleName(tr("Photos without a position"));
    connect(m_ui->unplacedList, &QListWidget::itemSelectionChanged, this, [this] {
        updateButtons();
        if (listedIndex() >= 0) {
            map()->setSelected(-1);
            emit selected(listedIndex());
        }
    });
    connect(m_ui->unplacedList, &QListWidget::itemActivated, this, [this] { emit detailsRequested(listedIndex()); });
    connect(m_ui->snapButton, &QPushButton::clicked, this, [this] { emit snapRequested(listedIndex()); });
    connect(m_ui->undoButton, &QPushButton::clicked, this, &MapPage::undoRequested);
    m_ui->undoButton->setShortcut(QKeySequence::Undo);
    connect(m_ui->themeBox, qOverload<int>(&QComboBox::activated), this, [this](int item) {
        setOnlineMap(item == 1);
        emit onlineMapChosen(item == 1);
    });
    setUndo(QString());
    updateButtons();
}

MapPage::~MapPage() = default;

MapView* MapPage::map()
{
    // Made on first use: a map holds tens of megabytes of map data.
    if (m_map)
        return m_map;
    m_map = new MapView(m_ui->mapHolder);
    m_map->setObjectName(QStringLiteral("mapView"));
    m_ui->mapHolderLayout->addWidget(m_map);
    m_map->setPlacementEnabled(true);
    m_map->setAccessibleName(tr("Map of the photos"));
    m_map->setTheme(m_online ? MapView::Theme::OpenStreetMap : MapView::Theme::Offline);
    connect(m_map, &MapView::placeRequested, this, &MapPage::placeRequested);
    connect(m_map, &MapView::markerSelected, this, [this](int index) {
        m_ui->unplacedList->clearSelection();
        emit selected(index);
        emit detailsRequested(index);
    });
    connect(m_map, &MapView::markerActivated, this, &MapPage::detailsRequested);
    return m_map;
}

void MapPage::setPhotos(const model::PhotoGeotagList& photos, bool fit)
{
    m_photos = photos;
    const int current = listedIndex();
    QVector<MapMarker> markers;
    m_ui->unplacedList->clear();
    for (int index = 0; index < photos.size(); ++index) {
        const model::PhotoGeotag& photo = photos.at(index);
        const QString name = QFileInfo(photo.filePath).fileName();
        if (photo.success) {
            markers.append({index, photo.latitude, photo.longitude, name, localTime(photo), photo.filePath,
                            photo.origin != model::PhotoGeotag::Origin::Service});
            continue;
        }
        const QString time = localTime(photo);
        auto* item = new QListWidgetItem(time.isEmpty() ? name : name + QLatin1Char('\n') + time, m_ui->unplacedList);
        item->setData(Qt::UserRole, index);
        item->setToolTip(photo.errorTitle + QLatin1Char('\n') + photo.errorText);
        if (index == current)
            m_ui->unplacedList->setCurrentItem(item);
    }
    m_ui->unplacedTitleLabel->setText(tr("Without a position: %L1").arg(m_ui->unplacedList->count()));
    map()->setMarkers(markers);
    m_fitPending = m_fitPending || fit;
    if (m_fitPending && isVisible()) {
        m_fitPending = false;
        map()->fitAll();
    }
    updateButtons();
}

void MapPage::setTrack(const model::Track& track, const QString& problem)
{
    map()->setTrack(track);
    m_trackShown = !track.isEmpty();
    m_ui->trackLabel->setText(!problem.isEmpty() ? problem
                              : track.isEmpty()  ? tr("The phone recorded no positions in this period.")
                                                 : tr("Track: %L1 positions").arg(track.size()));
    updateButtons();
}

void MapPage::setUndo(const QString& text)
{
    m_ui->undoButton->setEnabled(!text.isEmpty());
    m_ui->undoButton->setToolTip(text);
}

void MapPage::setOnlineMap(bool online)
{
    m_online = online;
    m_ui->themeBox->setCurrentIndex(online ? 1 : 0);
    if (m_map)
        m_map->setTheme(online ? MapView::Theme::OpenStreetMap : MapView::Theme::Offline);
}

void MapPage::select(int index)
{
    const QSignalBlocker blocker(m_ui->unplacedList);
    m_ui->unplacedList->clearSelection();
    for (int row = 0; row < m_ui->unplacedList->count(); ++row) {
        if (m_ui->unplacedList->item(row)->data(Qt::UserRole).toInt() == index)
            m_ui->unplacedList->setCurrentRow(row);
    }
    map()->setSelected(index >= 0 && index < m_photos.size() && m_photos.at(index).success ? index : -1);
    updateButtons();
}

void MapPage::focusPhoto(int index)
{
    select(index);
    if (index >= 0 && index < m_photos.size() && m_photos.at(index).success)
        map()->centerOn(m_photos.at(index).latitude, m_photos.at(index).longitude);
}

void MapPage::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_fitPending) {
        m_fitPending = false;
        map()->fitAll();
    }
}

int MapPage::listedIndex() const
{
    const QListWidgetItem* item = m_ui->unplacedList->currentItem();
    return item && item->isSelected() ? item->data(Qt::UserRole).toInt() : -1;
}

void MapPage::updateButtons()
{
    // Only a photo whose corrected time is known can go on the track.
    const int index = listedIndex();
    m_ui->snapButton->setEnabled(m_trackShown && index >= 0 && index < m_photos.size()
                                 && !m_photos.at(index).utcTime.isEmpty());
}

} // namespace view
