#include "view/cameraframe.h"

#include <QLabel>

#include "ui_cameraframe.h"
#include "view/resources.h"

namespace view {

CameraFrame::CameraFrame(QWidget* parent)
    : QFrame(parent)
    , ui(std::make_unique<Ui::CameraFrame>())
{
    ui->setupUi(this);
    // Names and serials come from the web service: never read them as markup.
    ui->nameLabel->setTextFormat(Qt::PlainText);
    ui->serialNumberLabel->setTextFormat(Qt::PlainText);
    sharpenPictures(this);
}

CameraFrame::~CameraFrame() = default;

void CameraFrame::setCamera(const model::Camera& camera)
{
    ui->nameLabel->setText(camera.name);
    ui->iconLabel->setAccessibleName(tr("Camera %1").arg(camera.name));
    ui->serialNumberLabel->setText(camera.serial);
    for (const model::Synchronization& synchronization : camera.synchronizations) {
        auto* label = new QLabel(synchronization.timeZoneTime + QLatin1Char(' ') + synchronization.timeZoneName, this);
        label->setTextFormat(Qt::PlainText);
        ui->verticalLayout->addWidget(label);
    }
}

} // namespace view
