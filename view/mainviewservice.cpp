// The main window's part in the desktop's own use of the web service: the
// service menu, track import, the on-screen synchronization code and the
// phone page's address on the how-to pages.

#include <QAction>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QProgressDialog>
#include <QPushButton>

#include "ui_mainview.h"
#include "view/droplabel.h"
#include "view/messagebox.h"
#include "view/mainview.h"
#include "view/qrcodewidget.h"
#include "view/synccodeview.h"

namespace view {

void MainView::buildServiceParts()
{
    auto* button = new QPushButton(tr("    MORE    "), m_ui->bottomMenu);
    button->setObjectName(QStringLiteral("serviceMenuButton"));
    button->setFont(m_ui->previousButton->font());
    auto* menu = new QMenu(button);
    menu->addAction(tr("Import a track..."), this, &MainView::importTrack);
    menu->addAction(tr("Show the synchronization code"), this, &MainView::showSyncCode);
    m_openPageAction = menu->addAction(tr("Open the phone page in the browser"));
    // Starting the service, or a demo phone in its database, is for a service on this computer only.
    m_networkAction = menu->addAction(tr("Let phones on this network reach the web service"));
    m_demoAction = menu->addAction(tr("Try it with demo positions around Munich"));
    m_networkAction->setEnabled(controller::MainController::isLocalService());
    m_demoAction->setEnabled(controller::MainController::isLocalService());
    menu->addSeparator();
    menu->addAction(tr("About Kestrel"), this, &MainView::showAbout);
    button->setMenu(menu);
    auto* bar = qobject_cast<QBoxLayout*>(m_ui->bottomMenu->layout());
    bar->insertWidget(bar->count() - 1, button);

    // The folder page takes track files too.
    m_ui->geotagDropFolderLabel->setAcceptDroppedFiles(true);
    m_ui->geotagDropFolderLabel->setText(
        tr("<html><head/><body><p><br/></p><p>Drag folder that contains photos to be geo-tagged here</p>"
           "<p>or track files to import<br/>(GPX, KML, KMZ, GeoJSON, NMEA, CSV, Google Takeout)</p>"
           "<p><br/>or if you prefer...</p></body></html>"));
    connect(m_ui->geotagDropFolderLabel, &DropLabel::fileDropped, this,
            [this](const QString& path) { emit trackFilesSelected({ path }); });

    m_codeView = new SyncCodeView(this);

    // The how-to pages: where the phone page is, and a way to show the code
    // here when no phone is at hand.
    m_phonePageQr = new QLabel(m_ui->howTo1Page);
    m_phonePageQr->setObjectName(QStringLiteral("phonePageCodeLabel"));
    auto* pictures = new QHBoxLayout;
    pictures->setSpacing(24);
    pictures->addStretch();
    auto* page = qobject_cast<QBoxLayout*>(m_ui->howTo1Page->layout());
    const int index = page->indexOf(m_ui->label_3);
    delete page->takeAt(index);
    pictures->addWidget(m_ui->label_3);
    pictures->addWidget(m_phonePageQr);
    pictures->addStretch();
    page->insertLayout(index, pictures);

    const QString showHere = tr("<html><head/><body><p>Open the phone page to show a Synchronization code,<br/>"
                                "or <a href=\"#code\" style=\"color:#7fd4ff\">show the code on this screen</a></p></body></html>");
    m_codeLink = new QLabel(m_ui->synchronizePage);
    m_codeLink->setObjectName(QStringLiteral("showCodeLabel"));
    m_codeLink->setAlignment(Qt::AlignCenter);
    auto* syncLayout = qobject_cast<QBoxLayout*>(m_ui->synchronizePage->layout());
    syncLayout->insertWidget(syncLayout->indexOf(m_ui->howTo4Label) + 1, m_codeLink);
    for (QLabel* label : { m_ui->label_8, m_codeLink }) {
        label->setText(showHere);
        label->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
        connect(label, &QLabel::linkActivated, this, &MainView::showSyncCode);
    }
    showPhonePage(controller::ServiceStatus());
}

void MainView::connectServiceParts(controller::MainController& controller)
{
    using controller::MainController;
    connect(this, &MainView::trackFilesSelected, &controller, &MainController::importTracks);
    connect(&controller, &MainController::trackImportProgress, this, &MainView::onTrackImportProgress);
    connect(&controller, &MainController::trackImportFinished, this, &MainView::onTrackImportFinished);
    connect(m_codeView, &SyncCodeView::codeWanted, &controller, &MainController::requestSyncCode);
    connect(m_codeView, &SyncCodeView::fileDropped, &controller, &MainController::synchronizeCamera);
    connect(&controller, &MainController::syncCodeUpdated, m_codeView, &SyncCodeView::setCode);
    connect(m_codeView, &SyncCodeView::statusWanted, &controller, &MainController::requestServiceStatus);
    connect(&controller, &MainController::serviceStatusUpdated, m_codeView, &SyncCodeView::setServiceStatus);
    connect(this, &MainView::serviceStatusWanted, &controller, &MainController::requestServiceStatus);
    connect(&controller, &MainController::serviceStatusUpdated, this, &MainView::showPhonePage);
    connect(m_openPageAction, &QAction::triggered, &controller, &MainController::openPhonePage);
    connect(m_networkAction, &QAction::triggered, &controller, &MainController::letPhonesReachService);
    connect(m_demoAction, &QAction::triggered, &controller, &MainController::createDemo);
}

void MainView::updateServiceParts(controller::Screen screen)
{
    m_codeLink->setVisible(screen == controller::SynchronizeHowTo);
    // The how-to pages want the phone page's address; asked for once.
    if (!m_statusAsked && screen <= controller::SynchronizeHowTo) {
        m_statusAsked = true;
        emit serviceStatusWanted();
    }
}

void MainView::showPhonePage(const controller::ServiceStatus& status)
{
    m_phonePage = status.phonePageUrl();
    const bool loopback = status.listening == QLatin1String("loopback");
    m_networkAction->setEnabled(controller::MainController::isLocalService()
                                && status.listening != QLatin1String("network"));
    m_phonePageQr->setVisible(!m_phonePage.isEmpty());
    if (!m_phonePage.isEmpty()) {
        m_ui->label_5->setText(tr("<html><head/><body><p>Open the phone page on your phone: <b>%1</b><br/>"
                                  "<span style=\"font-size:11pt\">or let a tracker app send your positions: settings "
                                  "on the phone page</span></p></body></html>")
                                   .arg(m_phonePage.toHtmlEscaped()));
        m_phonePageQr->setPixmap(QrCodeWidget::codePixmap(m_phonePage.toUtf8(), 3));
        return;
    }
    // No address a phone reaches: why, and the one step that gives one.
    const QString why = loopback
        ? tr("The web service listens on this computer only; a phone cannot reach it.")
        : tr("A phone cannot reach the web service at %1.").arg(model::Model::baseUrl().toHtmlEscaped());
    m_ui->label_5->setText(tr("<html><head/><body><p>%1<br/><span style=\"font-size:11pt\">%2</span></p></body></html>")
                               .arg(why, controller::ServiceStatus::networkStep()));
}

void MainView::importTrack()
{
    const QStringList paths = chooseTrackFiles();
    if (!paths.isEmpty())
        emit trackFilesSelected(paths);
}

QStringList MainView::chooseTrackFiles()
{
    return QFileDialog::getOpenFileNames(
        this, tr("Import a track"), QString(),
        tr("Tracks (*.gpx *.kml *.kmz *.geojson *.json *.nmea *.nma *.txt *.log *.csv);;All files (*)"));
}

void MainView::showSyncCode()
{
    m_codeView->show();
    m_codeView->raise();
    m_codeView->activateWindow();
}

QString MainView::aboutText()
{
    return tr("Kestrel %1\nGeotags photos from your phone's positions at the moments the camera's clock says.\n\n"
              "Place names: GeoNames (CC BY 4.0), borders ©\u00a0OpenStreetMap contributors (ODbL)")
        .arg(model::Model::version());
}

void MainView::showAbout()
{
    MessageBox box;
    box.display(controller::code(controller::Status::Information), tr("About Kestrel"), aboutText());
}

void MainView::onTrackImportProgress(QString fileName, qint64 sent, qint64 total)
{
    if (!m_trackProgress) {
        m_trackProgress = new QProgressDialog(this);
        m_trackProgress->setWindowTitle(tr("Import a track"));
        m_trackProgress->setCancelButton(nullptr);
        // Small files are done before the dialog would show.
        m_trackProgress->setMinimumDuration(700);
        m_trackProgress->setRange(0, 1000);
    }
    m_trackProgress->setLabelText(tr("Sending %1").arg(fileName));
    m_trackProgress->setValue(total > 0 ? int(sent * 1000 / total) : 0);
}

void MainView::onTrackImportFinished()
{
    if (m_trackProgress)
        m_trackProgress->reset();
}

} // namespace view
