#include "view/cameraframe.h"

#include <QLabel>

#include "ui_cameraframe.h"
#include "view/resources.h"

namespace view {

CameraFrame::CameraFrame(QWidget* parent)
    : QFrame(parent)
    , m_ui(std::make_unique<Ui::CameraFrame>())
{
    m_ui->setupUi(this);
    // Names and serials come from the web service: never read them as markup.
    m_ui->nameLabel->setTextFormat(Qt::PlainText);
    m_ui->serialNumberLabel->setTextFormat(Qt::PlainText);
    sharpenPictures(this);
}

CameraFrame::~CameraFrame() = default;

void CameraFrame::setCamera(const model::Camera& camera)
{
    m_ui->nameLabel->setText(camera.name);
    m_ui->iconLabel->setAccessibleName(tr("Camera %1").arg(camera.name));
    m_ui->serialNumberLabel->setText(camera.serial);
    m_ui->driftLabel->setText(camera.drift);
    m_ui->driftLabel->setVisible(!camera.drift.isEmpty());
    for (const model::Synchronization& synchronization : camera.synchronizations) {
        auto* label = new QLabel(synchronization.timeZoneTime + QLatin1Char(' ') + synchronization.timeZoneName, this);
        label->setTextFormat(Qt::PlainText);
        m_ui->verticalLayout->addWidget(label);
    }
}

} // namespace view
