#include "view/detailinfoview.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>
#include <cmath>

#include "ui_detailinfoview.h"

namespace view {

namespace {

QString degreesText(double value, QChar positive, QChar negative)
{
    return QString::number(std::fabs(value), 'g', 9) + (value >= 0 ? positive : negative);
}

} // namespace

DetailInfoView::DetailInfoView(const model::PhotoGeocode& photo, QWidget* parent)
    : QDialog(parent, Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
    , ui(std::make_unique<Ui::DetailInfoView>())
    , photo(&photo)
{
    ui->setupUi(this);
    setWindowTitle(QFileInfo(photo.filePath).fileName());

    if (!photo.success) {
        ui->stackedWidget->setCurrentWidget(ui->errorPage);
        ui->errorTitleLabel->setText(photo.errorTitle);
        ui->errorDescriptionLabel->setText(photo.errorCause.isEmpty() ? photo.errorText
                                                                      : photo.errorText + QStringLiteral(": ")
                                                                          + photo.errorCause);
    } else {
        ui->stackedWidget->setCurrentWidget(ui->successPage);
        ui->originalDateTimeLabel->setText(photo.dateTimeOriginal);
        ui->correctedDateTimeLabel->setText(photo.photoTime);
        ui->timeZoneLabel->setText(photo.timeZoneName + QLatin1String(" (") + photo.timeZone + QLatin1Char(')'));
        ui->latitudeLabel->setText(latitudeText(photo.latitude));
        ui->longitudeLabel->setText(longitudeText(photo.longitude));
        ui->altitudeLabel->setText(altitudeText(photo.altitude));
        ui->accuracyLabel->setText(QString::number(photo.accuracy));
        QString precision = tr("Recorded in high precision mode");
        if (!photo.sidecarPath.isEmpty())
            precision += QStringLiteral("\nGPS written to ") + QFileInfo(photo.sidecarPath).fileName();
        ui->precisionLabel->setText(precision);
    }

    mapUrl = mapBaseAddress()
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
    QDesktopServices::openUrl(QUrl(mapUrl, QUrl::TolerantMode));
}

} // namespace view
