#include "view/menubutton.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QTextDocumentFragment>

#include "ui_menubutton.h"
#include "view/resources.h"

namespace view {

MenuButton::MenuButton(QWidget* parent)
    : QFrame(parent)
    , m_ui(std::make_unique<Ui::MenuButton>())
{
    m_ui->setupUi(this);
    // Reached with Tab and pressed with Enter or Space like a push button.
    setFocusPolicy(Qt::StrongFocus);
}

MenuButton::~MenuButton() = default;

QString MenuButton::text() const
{
    return m_ui->htmlLabel->text();
}

void MenuButton::setText(const QString& text)
{
    m_ui->htmlLabel->setText(text);
    // Screen readers get the words without the markup.
    setAccessibleName(QTextDocumentFragment::fromHtml(text).toPlainText().simplified());
    m_ui->iconLabel->setAccessibleName(accessibleName());
}

QPixmap MenuButton::pixmap() const
{
    return m_ui->iconLabel->pixmap(Qt::ReturnByValue);
}

void MenuButton::setPixmap(const QPixmap& pixmap)
{
    m_ui->iconLabel->setPixmap(sharperPixmap(pixmap, this));
    m_ui->iconLabel->setAlignment(Qt::AlignBottom);
}

void MenuButton::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Space:
        if (!event->isAutoRepeat())
            emit clicked();
        break;
    default:
        QFrame::keyPressEvent(event);
    }
}

void MenuButton::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        emit clicked();
    QWidget::mouseReleaseEvent(event);
}

} // namespace view
