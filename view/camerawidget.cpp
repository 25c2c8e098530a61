#include "view/camerawidget.h"

#include <QKeyEvent>
#include <QMouseEvent>

#include "ui_camerawidget.h"

namespace view {

CameraWidget::CameraWidget(QWidget* parent)
    : QFrame(parent)
    , m_ui(std::make_unique<Ui::CameraWidget>())
{
    m_ui->setupUi(this);
    // Names and serials come from the web service: never read them as markup.
    m_ui->nameLabel->setTextFormat(Qt::PlainText);
    m_ui->serialNumberLabel->setTextFormat(Qt::PlainText);
    m_ui->driftLabel->setTextFormat(Qt::PlainText);
    m_ui->driftLabel->hide();
    m_ui->removeButton->hide();
    // Tab selects an entry as a click does; its remove button comes next in
    // the chain, and Delete removes the focused entry too.
    setFocusPolicy(Qt::StrongFocus);
    m_ui->removeButton->setFocusPolicy(Qt::StrongFocus);
}

CameraWidget::~CameraWidget() = default;

void CameraWidget::setCamera(const model::Camera& camera)
{
    this->m_camera = camera;
    m_ui->nameLabel->setText(camera.name);
    m_ui->serialNumberLabel->setText(camera.serial);
    // How far its clock drifts, once the service knows.
    m_ui->driftLabel->setText(camera.drift);
    m_ui->driftLabel->setVisible(!camera.drift.isEmpty());
    setAccessibleName(camera.name);
    const QString serial = tr("Serial number %1").arg(camera.serial);
    setAccessibleDescription(camera.drift.isEmpty() ? serial : tr("%1, %2").arg(serial, camera.drift));
    m_ui->removeButton->setAccessibleName(tr("Remove %1").arg(camera.name));
}

void CameraWidget::on_removeButton_clicked()
{
    // The receiver may ask the user first; the list can be rebuilt meanwhile,
    // deleting this widget. Hand out a copy that outlives it.
    model::Camera removed = m_camera;
    emit removeClicked(removed);
}

void CameraWidget::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    select();
    setFocus(Qt::OtherFocusReason);
}

void CameraWidget::setSelected(bool selected)
{
    m_ui->removeButton->setVisible(selected);
}

void CameraWidget::select()
{
    if (!m_ui->removeButton->isHidden())
        return;
    setSelected(true);
    emit selected(this);
}

void CameraWidget::focusInEvent(QFocusEvent* event)
{
    select();
    QFrame::focusInEvent(event);
}

void CameraWidget::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Delete)
        on_removeButton_clicked();
    else
        QFrame::keyPressEvent(event);
}

} // namespace view
