#include "view/menubutton.h"

#include <QMouseEvent>

#include "ui_menubutton.h"
#include "view/resources.h"

namespace view {

MenuButton::MenuButton(QWidget* parent)
    : QFrame(parent)
    , ui(std::make_unique<Ui::MenuButton>())
{
    ui->setupUi(this);
}

MenuButton::~MenuButton() = default;

QString MenuButton::text() const
{
    return ui->htmlLabel->text();
}

void MenuButton::setText(const QString& text)
{
    ui->htmlLabel->setText(text);
}

QPixmap MenuButton::pixmap() const
{
    return ui->iconLabel->pixmap(Qt::ReturnByValue);
}

void MenuButton::setPixmap(const QPixmap& pixmap)
{
    ui->iconLabel->setPixmap(sharperPixmap(pixmap, this));
    ui->iconLabel->setAlignment(Qt::AlignBottom);
}

void MenuButton::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        emit clicked();
    QWidget::mouseReleaseEvent(event);
}

} // namespace view
