// The main window's map of a run: the page beside the results, kept in step
// with the results table's selection.

#include <QPushButton>
#include <QStackedWidget>
#include <QTableWidget>

#include "ui_mainview.h"
#include "view/mainview.h"
#include "view/mappage.h"

namespace view {

void MainView::buildMapPage()
{
    m_mapPage = new MapPage(m_ui->stackedWidget);
    m_mapPage->setObjectName(QStringLiteral("mapPage"));
    m_ui->stackedWidget->addWidget(m_mapPage);
    m_mapButton = new QPushButton(tr("  SHOW ON MAP  "), m_ui->geotag5Page);
    m_mapButton->setObjectName(QStringLiteral("showMapButton"));
    m_mapButton->setEnabled(false);
    m_ui->resultsHeaderLayout->insertWidget(m_ui->resultsHeaderLayout->indexOf(m_ui->exportResultsButton),
                                            m_mapButton);
    setTabOrder(m_ui->geotagTable, m_mapButton);
    setTabOrder(m_mapButton, m_ui->exportResultsButton);

    // A row selected in the results selects its marker, and the reverse.
    connect(m_ui->geotagTable, &QTableWidget::itemSelectionChanged, this, [this] {
        const QList<QTableWidgetItem*> items = m_ui->geotagTable->selectedItems();
        if (!items.isEmpty())
            m_mapPage->select(m_ui->geotagTable->item(items.first()->row(), 0)->data(Qt::UserRole).toInt());
    });
    connect(m_mapPage, &MapPage::selected, this, &MainView::selectResultRow);
    connect(m_mapPage, &MapPage::detailsRequested, this, [this](int index) {
        if (index >= 0 && index < m_shownPhotos.size())
            showDetails(m_shownPhotos.at(index));
    });
}

void MainView::connectMapPage(controller::MainController& controller)
{
    using controller::MainController;
    connect(m_mapButton, &QPushButton::clicked, &controller, [&controller] { controller.showMap(); });
    connect(this, &MainView::mapWanted, &controller, &MainController::showMap);
    connect(&controller, &MainController::mapFocusWanted, m_mapPage, &MapPage::focusPhoto);
    connect(&controller, &MainController::trackUpdated, this, [this](const model::Track& track, const QString& problem) {
        m_mapPage->setTrack(track, problem);
        if (m_mapUntouched)
            m_mapPage->setPhotos(m_shownPhotos, true);
    });
    connect(&controller, &MainController::undoChanged, this, [this](const QString& text) {
        m_mapUntouched = m_mapUntouched && text.isEmpty();
        m_mapPage->setUndo(text);
    });
    connect(m_mapPage, &MapPage::placeRequested, &controller, &MainController::placePhoto);
    connect(m_mapPage, &MapPage::snapRequested, &controller, &MainController::snapPhoto);
    connect(m_mapPage, &MapPage::undoRequested, &controller, &MainController::undoPlacement);
    connect(m_mapPage, &MapPage::onlineMapChosen, &controller, &MainController::setOnlineMap);
    connect(&controller, &MainController::showMainWindow, m_mapPage,
            [this, &controller] { m_mapPage->setOnlineMap(controller.onlineMap()); });
}

void MainView::selectResultRow(int index)
{
    QTableWidget* table = m_ui->geotagTable;
    for (int row = 0; row < table->rowCount(); ++row) {
        if (table->item(row, 0)->data(Qt::UserRole).toInt() != index)
            continue;
        const QSignalBlocker blocker(table);
        table->selectRow(row);
        table->scrollToItem(table->item(row, 0));
        return;
    }
}

} // namespace view
