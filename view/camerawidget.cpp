#include "view/camerawidget.h"

#include <QMouseEvent>

#include "ui_camerawidget.h"

namespace view {

CameraWidget* CameraWidget::selectedCameraWidget = nullptr;

CameraWidget::CameraWidget(QWidget* parent)
    : QFrame(parent)
    , ui(std::make_unique<Ui::CameraWidget>())
{
    ui->setupUi(this);
    // Names and serials come from the web service: never read them as markup.
    ui->nameLabel->setTextFormat(Qt::PlainText);
    ui->serialNumberLabel->setTextFormat(Qt::PlainText);
    ui->removeButton->hide();
}

CameraWidget::~CameraWidget()
{
    if (selectedCameraWidget == this)
        selectedCameraWidget = nullptr;
}

void CameraWidget::setCamera(const model::Camera& camera)
{
    this->camera = camera;
    ui->nameLabel->setText(camera.name);
    ui->serialNumberLabel->setText(camera.serial);
}

void CameraWidget::on_removeButton_clicked()
{
    // The receiver may ask the user first; the list can be rebuilt meanwhile,
    // deleting this widget. Hand out a copy that outlives it.
    model::Camera removed = camera;
    emit removeClicked(removed);
}

void CameraWidget::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    if (selectedCameraWidget)
        selectedCameraWidget->ui->removeButton->hide();
    ui->removeButton->show();
    selectedCameraWidget = this;
    setFocus(Qt::OtherFocusReason);
}

} // namespace view
