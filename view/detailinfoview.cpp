#include "view/detailinfoview.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QLabel>
#include <QTimer>
#include <QUrl>
#include <cmath>

#include "ui_detailinfoview.h"
#include "view/photopreview.h"

namespace view {

namespace {

QString degreesText(double value, QChar positive, QChar negative)
{
    return QString::number(std::fabs(value), 'g', 9) + (value >= 0 ? positive : negative);
}

} // namespace

DetailInfoView::DetailInfoView(const model::PhotoGeotag& photo, QWidget* parent)
    : QDialog(parent, Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
    , m_ui(std::make_unique<Ui::DetailInfoView>())
    , m_photo(&photo)
{
    m_ui->setupUi(this);
    setWindowTitle(QFileInfo(photo.filePath).fileName());

    if (!photo.success) {
        m_ui->stackedWidget->setCurrentWidget(m_ui->errorPage);
        m_ui->errorTitleLabel->setText(photo.errorTitle);
        m_ui->errorDescriptionLabel->setText(photo.errorCause.isEmpty() ? photo.errorText
                                                                        : photo.errorText + QStringLiteral(": ")
                                                                            + photo.errorCause);
    } else {
        m_ui->stackedWidget->setCurrentWidget(m_ui->successPage);
        m_ui->originalDateTimeLabel->setText(photo.dateTimeOriginal);
        // The corrected time is shown only when it was written; the time
        // zone is worth knowing either way.
        m_ui->correctedDateTimeLabel->setText(photo.photoTime);
        m_ui->correctedDateTimeLabel->setVisible(photo.timeWritten);
        if (!photo.timeWritten)
            m_ui->label_3->setText(tr("Time Zone"));
        m_ui->timeZoneLabel->setText(tr("%1 (%2)").arg(photo.timeZoneName, photo.timeZone));
        m_ui->latitudeLabel->setText(latitudeText(photo.latitude));
        m_ui->longitudeLabel->setText(longitudeText(photo.longitude));
        m_ui->altitudeLabel->setText(tr("%1 m").arg(altitudeText(photo.altitude)));
        m_ui->accuracyLabel->setText(tr("%1 m").arg(photo.accuracy));
        QString precision = tr("Recorded in high precision mode");
        if (!photo.sidecarPath.isEmpty())
            precision += QLatin1Char('\n') + tr("GPS written to %1").arg(QFileInfo(photo.sidecarPath).fileName());
        m_ui->precisionLabel->setText(precision);
    }

    // A small picture of the photo beside the map button, read once the
    // dialog runs (a large JPEG without a preview of its own on a worker
    // thread), so that the dialog never waits for it.
    m_thumbnailLabel = new QLabel(m_ui->successPage);
    m_thumbnailLabel->setObjectName(QStringLiteral("thumbnailLabel"));
    m_thumbnailLabel->setFixedSize(thumbnailSize);
    m_thumbnailLabel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_thumbnailLabel->setAccessibleName(tr("Picture of %1").arg(windowTitle()));
    m_ui->mapButtonLayout->insertWidget(0, m_thumbnailLabel);
    m_ui->showOnMapButton->setAccessibleName(tr("Show on map"));
    m_ui->showOnMapButton->setAccessibleDescription(tr("Opens the position in the web browser"));
    m_ui->closeButton->setAccessibleName(tr("Close"));
    if (photo.success) {
        const QString path = photo.filePath;
        QTimer::singleShot(0, this, [this, path] {
            readPreview(path, thumbnailSize, m_thumbnailLabel, [this](const QImage& preview) {
                if (!preview.isNull())
                    m_thumbnailLabel->setPixmap(QPixmap::fromImage(preview));
            });
        });
    }

    m_mapUrl = mapBaseAddress()
        + QStringLiteral("%1,%2").arg(photo.latitude, 0, 'g', 9).arg(photo.longitude, 0, 'g', 9);
}

DetailInfoView::~DetailInfoView() = default;

QString DetailInfoView::mapBaseAddress()
{
    return QStringLiteral("https://www.google.com/maps?q=");
}

QString DetailInfoView::latitudeText(double latitude)
{
    return degreesText(latitude, QLatin1Char('N'), QLatin1Char('S'));
}

QString DetailInfoView::longitudeText(double longitude)
{
    return degreesText(longitude, QLatin1Char('E'), QLatin1Char('W'));
}

QString DetailInfoView::altitudeText(double altitude)
{
    return QString::number(altitude, 'g', 6);
}

void DetailInfoView::on_closeButton_clicked()
{
    close();
}

void DetailInfoView::on_showOnMapButton_clicked()
{
    QDesktopServices::openUrl(QUrl(m_mapUrl, QUrl::TolerantMode));
}

} // namespace view
