#include "view/detailinfoview.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QLabel>
#include <QRegularExpression>
#include <QTimer>
#include <QUrl>
#include <cmath>
#include <iterator>
#include <utility>

#include "ui_detailinfoview.h"
#include "view/photopreview.h"

namespace view {

namespace {

// A value rounded to the decimals shown, without the sign of a value that
// rounds to zero ("-0.0").
double rounded(double value, int decimals)
{
    const double scale = std::pow(10.0, decimals);
    const double result = std::round(value * scale) / scale;
    return result == 0 ? 0.0 : result;
}

QString degreesText(double value, QChar positive, QChar negative)
{
    const double shown = rounded(value, 6);
    return QString::number(std::fabs(shown), 'f', 6) + (shown >= 0 ? positive : negative);
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
        // A photo without a position may still know its clock offset.
        m_ui->errorClockLabel->setText(photo.clock.text);
        m_ui->errorClockLabel->setVisible(!photo.clock.text.isEmpty());
    } else {
        showPosition(photo);
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
    m_ui->showOnMapButton->setAccessibleDescription(tr("Shows the photo on Kestrel's map"));
    m_ui->webMapButton->setAccessibleName(tr("Web map"));
    m_ui->webMapButton->setAccessibleDescription(tr("Opens the position in the web browser"));
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

    // Wide enough for the accuracy's parts on one line; wrapped texts (the
    // clock's, a long failure) open with the height they need at that width.
    setMinimumWidth(minimumWidth);
    adjustSize();

    m_mapUrl = mapBaseAddress()
        + QStringLiteral("%1,%2").arg(photo.latitude, 0, 'g', 9).arg(photo.longitude, 0, 'g', 9);
}

DetailInfoView::~DetailInfoView() = default;

void DetailInfoView::showPosition(const model::PhotoGeotag& photo)
{
    m_ui->stackedWidget->setCurrentWidget(m_ui->successPage);
    // The camera's clock has no known zone: its time stands alone. The
    // time beside the zone is the local time there, which was written
    // into the photo or, with the original time kept, is only shown.
    m_ui->originalDateTimeLabel->setText(dateTimeText(photo.dateTimeOriginal));
    m_ui->correctedDateTimeLabel->setText(dateTimeText(photo.photoTime));
    m_ui->correctedDateTimeLabel->setVisible(!photo.photoTime.isEmpty());
    m_ui->label_3->setText(photo.timeWritten           ? tr("Corrected Date and Time")
                           : photo.photoTime.isEmpty() ? tr("Time Zone")
                                                       : tr("Local Date and Time"));
    m_ui->timeZoneLabel->setText(tr("%1 (%2)").arg(photo.timeZoneName, photo.timeZone));
    m_ui->latitudeLabel->setText(latitudeText(photo.latitude));
    m_ui->longitudeLabel->setText(longitudeText(photo.longitude));
    // A placed position has neither altitude nor accuracy of its own.
    m_ui->altitudeLabel->setText(photo.placed() ? tr("Not known") : altitudeText(photo.altitude));
    m_ui->accuracyLabel->setText(photo.placed() ? tr("None: the position was placed, not measured")
                                                : accuracyText(photo));
    // Which synchronizations the camera's clock offset came from.
    m_ui->clockLabel->setText(photo.clock.text);
    m_ui->clockLabel->setVisible(!photo.clock.text.isEmpty());
    m_ui->clockTitleLabel->setVisible(!photo.clock.text.isEmpty());
    // The named place, a row per field the service knows.
    const model::Place& place = photo.place;
    const QString country = place.countryCode.isEmpty() || place.country.isEmpty()
        ? place.country
        : tr("%1 (%2)").arg(place.country, place.countryCode);
    const std::pair<QLabel*, QLabel*> rows[] = {
        { m_ui->cityTitleLabel, m_ui->cityLabel },
        { m_ui->sublocationTitleLabel, m_ui->sublocationLabel },
        { m_ui->regionTitleLabel, m_ui->regionLabel },
        { m_ui->countryTitleLabel, m_ui->countryLabel },
    };
    const QString texts[] = { place.city, place.sublocation, place.region, country };
    for (size_t row = 0; row < std::size(rows); ++row) {
        rows[row].first->setVisible(!texts[row].isEmpty());
        rows[row].second->setVisible(!texts[row].isEmpty());
        rows[row].second->setText(texts[row]);
    }
    // Notes below the position: where it came from when that is worth
    // saying, and where the tags went.
    QStringList notes;
    if (photo.demo)
        notes << tr("%1, not from your phone").arg(model::PhotoGeotag::demoNote());
    if (photo.placed())
        notes << model::PhotoGeotag::originNote(photo.origin);
    if (!photo.sidecarPath.isEmpty())
        notes << tr("GPS written to %1").arg(QFileInfo(photo.sidecarPath).fileName());
    m_ui->precisionLabel->setText(notes.join(QLatin1Char('\n')));
    m_ui->precisionLabel->setVisible(!notes.isEmpty());
}

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
    return tr("%1 m").arg(rounded(altitude, 1), 0, 'f', 1);
}

QString DetailInfoView::accuracyText(const model::PhotoGeotag& photo)
{
    using model::PhotoGeotag;
    const QString total = PhotoGeotag::metresText(photo.accuracy);
    const model::AccuracyParts& parts = photo.accuracyParts;
    if (!parts.known)
        return total;
    return tr("%1 (fixes %2, movement %3, clock %4)")
        .arg(total, PhotoGeotag::metresText(parts.fixes), PhotoGeotag::metresText(parts.movement),
             PhotoGeotag::metresText(parts.clock));
}

QString DetailInfoView::dateTimeText(const QString& exifDateTime)
{
    // EXIF writes the date with colons ("2026:12:03 12:33:17").
    static const QRegularExpression exif(QStringLiteral("^(\\d{4}):(\\d{2}):(\\d{2})(?=\\s|$)"));
    QString text = exifDateTime;
    return text.replace(exif, QStringLiteral("\\1-\\2-\\3"));
}

void DetailInfoView::on_closeButton_clicked()
{
    close();
}

void DetailInfoView::on_showOnMapButton_clicked()
{
    done(ShowOnMap);
}

void DetailInfoView::on_webMapButton_clicked()
{
    QDesktopServices::openUrl(QUrl(m_mapUrl, QUrl::TolerantMode));
}

} // namespace view
