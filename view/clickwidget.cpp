#include "view/clickwidget.h"

#include <QMouseEvent>
#include <QPainter>
#include <QStyleOption>

namespace view {

ClickWidget::ClickWidget(QWidget* parent)
    : QWidget(parent)
{
}

void ClickWidget::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        emit clicked();
}

void ClickWidget::paintEvent(QPaintEvent*)
{
    QStyleOption option;
    option.initFrom(this);
    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
}

} // namespace view
