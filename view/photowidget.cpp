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
    , m_ui(std::make_unique<Ui::PhotoWidget>())
{
    m_ui->setupUi(this);
}

PhotoWidget::~PhotoWidget() = default;

void PhotoWidget::setPhoto(const model::PhotoGeotag& photo)
{
    m_record = photo;
    m_ui->fileNameLabel->setText(QFileInfo(m_record.filePath).fileName());
    setAccessibleName(m_ui->fileNameLabel->text());
    const QStyle::StandardPixmap sign = m_record.success ? QStyle::SP_DialogOkButton : QStyle::SP_DialogCancelButton;
    const int extent = style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, this);
    m_ui->iconLabel->setPixmap(style()->standardIcon(sign, nullptr, this).pixmap(extent, extent));
    if (m_record.success)
        m_ui->geoLabel->setText(QStringLiteral("%1, %2, %3")
                                    .arg(DetailInfoView::latitudeText(m_record.latitude),
                                         DetailInfoView::longitudeText(m_record.longitude),
                                         DetailInfoView::altitudeText(m_record.altitude))
                                + (m_record.demo ? QStringLiteral(" (%1)").arg(model::PhotoGeotag::demoNote())
                                                 : QString()));
    else
        m_ui->geoLabel->setText(m_record.summary());
    setAccessibleDescription(m_ui->geoLabel->text());
    m_ui->iconLabel->setAccessibleName(m_record.success ? tr("Geotagged") : tr("Not geotagged"));
}

void PhotoWidget::enterEvent(QEvent* event)
{
    setFocus(Qt::OtherFocusReason);
    QFrame::enterEvent(event);
}

void PhotoWidget::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !m_ui->geoLabel->isVisible())
        return;
    // The dialog shows a copy: the list may rebuild (and delete this widget)
    // while the dialog's event loop runs.
    const model::PhotoGeotag shown = m_record;
    QPointer<DetailInfoView> details = new DetailInfoView(shown, this);
    details->exec();
    delete details;
}

} // namespace view
