#include "view/photowidget.h"

#include <QFileInfo>
#include <QMouseEvent>
#include <QPointer>
#include <QStyle>

#include "ui_photowidget.h"
#include "view/detailinfoview.h"

namespace view {

PhotoWidget::PhotoWidget(QWidget* parent)
    : QFrame(parent)
    , ui(std::make_unique<Ui::PhotoWidget>())
{
    ui->setupUi(this);
}

PhotoWidget::~PhotoWidget() = default;

void PhotoWidget::setPhoto(const model::PhotoGeocode& photo)
{
    record = photo;
    ui->fileNameLabel->setText(QFileInfo(record.filePath).fileName());
    setAccessibleName(ui->fileNameLabel->text());
    const QStyle::StandardPixmap sign = record.success ? QStyle::SP_DialogOkButton : QStyle::SP_DialogCancelButton;
    const int extent = style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, this);
    ui->iconLabel->setPixmap(style()->standardIcon(sign, nullptr, this).pixmap(extent, extent));
    if (record.success)
        ui->geoLabel->setText(
            QStringLiteral("%1, %2, %3").arg(record.latitude).arg(record.longitude).arg(record.altitude));
    else
        ui->geoLabel->setText(record.summary());
    setAccessibleDescription(ui->geoLabel->text());
    ui->iconLabel->setAccessibleName(record.success ? tr("Geotagged") : tr("Not geotagged"));
}

void PhotoWidget::enterEvent(QEvent* event)
{
    setFocus(Qt::OtherFocusReason);
    QFrame::enterEvent(event);
}

void PhotoWidget::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !ui->geoLabel->isVisible())
        return;
    // The dialog shows a copy: the list may rebuild (and delete this widget)
    // while the dialog's event loop runs.
    const model::PhotoGeocode shown = record;
    QPointer<DetailInfoView> details = new DetailInfoView(shown, this);
    details->exec();
    delete details;
}

} // namespace view
